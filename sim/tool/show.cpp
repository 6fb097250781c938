// The text view of a machine and of what a run changed.
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/machine_json.h"
#include "sim/tool/commands.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim {

namespace {

const char* stateName(uint32_t s) {
    switch (s) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start pending";
        case SERVICE_STOP_PENDING: return "stop pending";
        case SERVICE_RUNNING: return "running";
        default: return "?";
    }
}

std::string sidName(const std::string& sid) {
    if (sid == "S-1-5-32-544") return "Administrators";
    if (sid == "S-1-5-32-545") return "Users";
    if (sid == "S-1-5-18") return "SYSTEM";
    if (sid == "S-1-1-0") return "Everyone";
    return sid;
}

std::string daclText(const sim::RegKey& k) {
    if (k.nullDacl) return "null DACL (everyone: full)";
    std::ostringstream s;
    for (size_t i = 0; i < k.dacl.size(); ++i) {
        const auto& a = k.dacl[i];
        s << (i ? ", " : "") << (a.allow ? "" : "deny ") << sidName(a.sid) << ":0x" << std::hex << std::uppercase
          << a.mask << std::dec;
    }
    if (k.dacl.empty()) s << "empty (nobody)";
    if (!k.securityReadable) s << " [security unreadable]";
    return s.str();
}

std::string valueShown(const sim::RegValue& v) {
    std::ostringstream s;
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = 0;
        for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
        s << "REG_DWORD " << d;
    } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
        s << (v.type == REG_SZ ? "REG_SZ " : "REG_EXPAND_SZ ") << v.data.substr(0, v.data.find('\0'));
    } else if (v.type == REG_MULTI_SZ) {
        s << "REG_MULTI_SZ";
        std::string cur;
        for (char c : v.data) {
            if (c == '\0') {
                if (!cur.empty()) s << " \"" << cur << "\"";
                cur.clear();
            } else {
                cur += c;
            }
        }
    } else {
        s << "type " << v.type << ", " << v.data.size() << " bytes";
    }
    return s.str();
}

void printKeys(const sim::RegKey& k, const std::string& path, int depth, std::ostream& out) {
    out << std::string(2 + 2 * depth, ' ') << path << "  [" << daclText(k) << "]\n";
    for (const auto& [name, v] : k.values)
        out << std::string(4 + 2 * depth, ' ') << (name.empty() ? "(default)" : name) << " = " << valueShown(v) << "\n";
    for (const auto& [name, child] : k.subkeys) printKeys(child, child.name, depth + 1, out);
}

}  // namespace

void printMachine(const sim::Machine& m, const std::string& folder, std::ostream& out) {
    out << "Machine '" << m.name << "' (" << folder << ")\n";
    out << "  system directory " << m.systemDirectory << ", default language 0x" << std::hex << std::uppercase
        << std::setw(4) << std::setfill('0') << m.defaultLangId << std::dec << std::setfill(' ') << ", account "
        << m.account << "\n";
    out << "  drives:";
    for (const auto& [l, p] : m.drives) out << " " << l << ": -> " << p;
    out << "\n\nDevices:\n";
    for (const auto& d : m.devices) {
        out << "  " << d.instanceId << (d.present ? "" : "  (not present)") << (d.rootCreated ? "  (root, made by software)" : "")
            << "\n    class " << d.className << ", ids:";
        if (d.rawIds) out << " (raw, " << d.rawHardwareIds.size() << " bytes)";
        for (const auto& id : d.hardwareIds) out << " " << id;
        if (!d.compatibleIds.empty()) {
            out << "; compatible:";
            for (const auto& id : d.compatibleIds) out << " " << id;
        }
        if (!d.parent.empty()) out << "; parent " << d.parent;
        if (d.hid.present) {
            out << "\n    HID vendor 0x" << std::hex << std::uppercase << d.hid.vendorId << " product 0x" << d.hid.productId
                << std::dec;
        }
        out << "\n    driver: " << (d.boundInf.empty() ? "none" : d.boundInf + " [" + d.boundSection + "]")
            << (d.restartAsked ? ", asked for a restart" : "") << "\n";
    }
    out << "\nRegistry (services and RunOnce):\n";
    if (const auto* svc = sim::findKey(m, sim::ServicesRoot)) {
        out << "  HKLM\\" << sim::ServicesRoot << "  [" << daclText(*svc) << "]\n";
        for (const auto& [name, k] : svc->subkeys) printKeys(k, k.name, 1, out);
    }
    if (const auto* ro = sim::findKey(m, sim::RunOnceKey))
        printKeys(*ro, std::string("HKLM\\") + sim::RunOnceKey, 0, out);
    out << "\nService states:\n";
    if (m.services.empty()) out << "  (none reported)\n";
    for (const auto& [name, s] : m.services) {
        out << "  " << name << ": " << stateName(s.state) << (s.deletePending ? ", marked for deletion" : "");
        if (!s.reported.empty()) {
            out << "; reported";
            for (auto r : s.reported) out << " " << stateName(r);
        }
        out << "\n";
    }
    out << "\nEvent log:\n";
    if (m.eventLog.empty()) out << "  (empty)\n";
    for (const auto& e : m.eventLog) {
        out << "  " << e.source << " type " << e.type << ":";
        for (const auto& s : e.strings) out << " \"" << s << "\"";
        out << "\n";
    }
    out << "\nFiles in use:" << (m.filesInUse.empty() ? " none" : "") << "\n";
    for (const auto& f : m.filesInUse) out << "  " << f << "\n";
    out << "\nReboot requests: " << m.rebootRequests.size() << "\n";
    std::vector<std::string> pending = sim::pendingRestarts(m);
    out << "\nRestart pending: " << (pending.empty() ? "no" : "yes") << "\n";
    for (const auto& why : pending) out << "  " << why << "\n";
    out << "\nPrograms run:\n";
    if (m.processes.empty()) out << "  (none)\n";
    for (const auto& p : m.processes) {
        out << "  [" << p.console << "] " << p.commandLine << "  -> exit " << p.exitCode << "\n";
        std::istringstream text(consoleText(p.output, m.defaultLangId));
        for (std::string line; std::getline(text, line);) out << "      | " << line << "\n";
    }
}

json snapshot(const std::string& folder) {
    json j;
    std::ifstream in(fs::path(folder) / "state.json");
    if (in) in >> j;
    // Console output compares as the text it shows, in the machine's code page.
    sim::Machine m;
    std::string error;
    bool parsed = sim::fromJson(j, m, error);
    if (parsed && j.contains("processes")) {
        for (size_t i = 0; i < m.processes.size() && i < j["processes"].size(); ++i) {
            j["processes"][i].erase("outputHex");
            j["processes"][i]["output"] = consoleText(m.processes[i].output, m.defaultLangId);
        }
    }
    json files = json::object();
    fs::path c = fs::path(folder) / "drives";
    if (fs::exists(c)) {
        for (const auto& e : fs::recursive_directory_iterator(c)) {
            std::string rel = fs::relative(e.path(), c).string();
            files[rel] = e.is_directory() ? json("dir") : json(static_cast<uint64_t>(e.file_size()));
        }
    }
    j["files"] = files;
    // What waits for the next start, as reasons that 'changes' lists.
    if (parsed) j["pendingRestart"] = sim::pendingRestarts(m);
    return j;
}

namespace {
void flatten(const json& j, const std::string& prefix, std::map<std::string, std::string>& out) {
    if (j.is_object()) {
        for (const auto& [k, v] : j.items()) flatten(v, prefix.empty() ? k : prefix + " / " + k, out);
    } else if (j.is_array() && !j.empty() && j[0].is_object()) {
        for (size_t i = 0; i < j.size(); ++i) {
            std::string key = std::to_string(i);
            for (const char* id : {"path", "instanceId", "commandLine"})
                if (j[i].contains(id)) key = j[i][id].get<std::string>();
            flatten(j[i], prefix + " / " + key, out);
        }
    } else {
        out[prefix] = j.dump();
    }
}
}  // namespace

void printChanges(const json& before, const json& after, std::ostream& out) {
    std::map<std::string, std::string> a, b;
    flatten(before, "", a);
    flatten(after, "", b);
    size_t n = 0;
    for (const auto& [k, v] : b) {
        auto it = a.find(k);
        if (it == a.end()) out << "+ " << k << " = " << v << "\n", ++n;
        else if (it->second != v) out << "~ " << k << ": " << it->second << " -> " << v << "\n", ++n;
    }
    for (const auto& [k, v] : a)
        if (b.find(k) == b.end()) out << "- " << k << " (was " << v << ")\n", ++n;
    if (!n) out << "(no changes)\n";
}

}  // namespace winsim
