// The machine's state and the rules that the state itself keeps: the
// registry tree, the services it holds and the service control manager's
// database of them, and why the machine waits for a restart.
#include "sim/core/machine.h"

#include "platform/win_registry.h"
#include "sim/core/pending_renames.h"

namespace sim {

const char* const ServicesRoot = "SYSTEM\\CurrentControlSet\\Services";
const char* const RunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

namespace {

std::string stripHklm(const std::string& path) {
    static const char* prefixes[] = {"HKLM\\", "HKEY_LOCAL_MACHINE\\"};
    for (const char* p : prefixes) {
        std::string pre = p;
        if (path.size() >= pre.size() && equalNoCase(path.substr(0, pre.size()), pre))
            return path.substr(pre.size());
    }
    if (equalNoCase(path, "HKLM") || equalNoCase(path, "HKEY_LOCAL_MACHINE")) return "";
    return path;
}

template <typename Key>
Key* keyBelow(Key* root, const std::string& path) {
    Key* k = root;
    for (const auto& part : pathNames(stripHklm(path), "\\")) {
        auto it = k->subkeys.find(part);
        if (it == k->subkeys.end()) return nullptr;
        k = &it->second;
    }
    return k;
}

}  // namespace

RegKey* findKey(Machine& m, const std::string& path) { return keyBelow(&m.hklm, path); }
const RegKey* findKey(const Machine& m, const std::string& path) { return keyBelow(&m.hklm, path); }

RegKey& ensureKey(Machine& m, const std::string& path) {
    RegKey* k = &m.hklm;
    for (const auto& part : pathNames(stripHklm(path), "\\")) {
        auto it = k->subkeys.find(part);
        if (it == k->subkeys.end()) {
            RegKey child;
            child.name = part;
            child.dacl = defaultDacl();
            it = k->subkeys.emplace(part, std::move(child)).first;
        }
        k = &it->second;
    }
    return *k;
}

std::string regSz(const std::string& text) { return text + std::string(1, '\0'); }

std::string regDword(uint32_t v) {
    std::string d(4, '\0');
    for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return d;
}

std::string valueText(const RegValue& v) { return v.data.substr(0, v.data.find('\0')); }

uint32_t valueDword(const RegKey& k, const std::string& name, uint32_t fallback) {
    auto it = k.values.find(name);
    if (it == k.values.end() || it->second.type != REG_DWORD || it->second.data.size() != 4) return fallback;
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(it->second.data[i]);
    return d;
}

std::string windowsDirectory(const Machine& m) {
    return m.systemDirectory.substr(0, m.systemDirectory.find_last_of('\\'));
}

std::vector<Ace> defaultDacl() {
    return {{true, "S-1-5-32-544", KEY_ALL_ACCESS, 0},
            {true, "S-1-5-18", KEY_ALL_ACCESS, 0},
            {true, "S-1-5-32-545", KEY_READ, 0}};
}

std::map<std::string, std::string, CaseLess> servicesInRegistry(const Machine& m) {
    std::map<std::string, std::string, CaseLess> out;
    const RegKey* k = findKey(m, ServicesRoot);
    if (!k) return out;
    for (const auto& [name, key] : k->subkeys) {
        if (!key.values.count("Type")) continue;
        std::string display;
        auto v = key.values.find("DisplayName");
        if (v != key.values.end() && (v->second.type == REG_SZ || v->second.type == REG_EXPAND_SZ))
            display = valueText(v->second);
        out[key.name] = display.empty() ? key.name : display;
    }
    return out;
}

void loadServiceDatabase(Machine& m) {
    m.serviceDatabase = servicesInRegistry(m);
    m.serviceDatabaseLoaded = true;
}

void ensureServiceDatabase(Machine& m) {
    if (!m.serviceDatabaseLoaded) loadServiceDatabase(m);
}

std::vector<std::string> pendingRestarts(const Machine& m) {
    std::vector<std::string> out;
    if (!m.rebootRequests.empty()) out.push_back("a reboot was requested");
    for (const auto& d : m.devices)
        if (d.present && d.restartAsked) out.push_back("the binding of " + d.instanceId + " asked for a restart");
    for (const auto& [name, s] : m.services)
        if (s.deletePending) out.push_back("service " + name + " is marked for deletion");
    if (m.serviceDatabaseLoaded && m.serviceDatabase != servicesInRegistry(m))
        out.push_back("the service control manager's database differs from the registry");
    for (const auto& r : pendingFileRenames(m))
        out.push_back(r.target.empty() ? "a file deletion waits for the next start: " + r.source
                                       : "a file replacement waits for the next start: " + r.target);
    return out;
}

}  // namespace sim
