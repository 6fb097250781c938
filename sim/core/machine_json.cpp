// The machine as JSON: the state file of a machine folder and the
// description format of `winsim create --from` are the same object.
#include "sim/core/machine_json.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/win_registry.h"
#include "sim/core/win_codes.h"

using nlohmann::json;

namespace sim {

static std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

static bool unhex(const std::string& text, std::string& out) {
    out.clear();
    std::string t;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) t += c;
    if (t.size() % 2) return false;
    for (size_t i = 0; i < t.size(); i += 2) {
        auto val = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        int hi = val(t[i]), lo = val(t[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

static const std::map<std::string, uint32_t>& regTypes() {
    static const std::map<std::string, uint32_t> t = {
        {"REG_NONE", REG_NONE},
        {"REG_SZ", REG_SZ},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ},
        {"REG_BINARY", REG_BINARY},
        {"REG_DWORD", REG_DWORD},
        {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
        {"REG_LINK", REG_LINK},
        {"REG_MULTI_SZ", REG_MULTI_SZ},
        {"REG_RESOURCE_LIST", REG_RESOURCE_LIST},
        {"REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR},
        {"REG_RESOURCE_REQUIREMENTS_LIST", REG_RESOURCE_REQUIREMENTS_LIST},
        {"REG_QWORD", REG_QWORD}};
    return t;
}

static std::string regTypeName(uint32_t type) {
    for (const auto& [name, v] : regTypes())
        if (v == type) return name;
    return std::to_string(type);
}

// Printable ASCII with tabs and line ends: a JSON text keeps it as it is.
// Other bytes (code page characters among them) are not UTF-8 and go as hex.
static bool isPlainText(const std::string& s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x7F) return false;
    return true;
}

static json valueToJson(const RegValue& v) {
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = 0;
        for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
        return d;
    }
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !v.data.empty() && v.data.back() == '\0' &&
        isPlainText(v.data.substr(0, v.data.size() - 1))) {
        if (v.type == REG_SZ) return v.data.substr(0, v.data.size() - 1);
        return json{{"type", "REG_EXPAND_SZ"}, {"data", v.data.substr(0, v.data.size() - 1)}};
    }
    if (v.type == REG_MULTI_SZ) {
        // A well-formed multi-string: texts each ended by NUL, then one more NUL.
        std::vector<std::string> items;
        std::string cur;
        bool ok = v.data.size() >= 1 && v.data.back() == '\0';
        for (size_t i = 0; ok && i + 1 < v.data.size(); ++i) {
            if (v.data[i] == '\0') {
                if (cur.empty()) ok = false;
                items.push_back(cur);
                cur.clear();
            } else {
                cur += v.data[i];
            }
        }
        for (const auto& item : items) ok = ok && isPlainText(item);
        if (ok && cur.empty()) return json{{"type", "REG_MULTI_SZ"}, {"data", items}};
    }
    return json{{"type", regTypeName(v.type)}, {"hex", hex(v.data)}};
}

static bool valueFromJson(const json& j, RegValue& v, std::string& error) {
    if (j.is_string()) {
        v.type = REG_SZ;
        v.data = regSz(j.get<std::string>());
        return true;
    }
    if (j.is_number_unsigned() || j.is_number_integer()) {
        v.type = REG_DWORD;
        v.data = regDword(static_cast<uint32_t>(j.get<int64_t>()));
        return true;
    }
    if (!j.is_object()) {
        error = "a registry value must be a text, a number or an object";
        return false;
    }
    // A type by its name, or by its number for types without one.
    const json& t = j.contains("type") ? j["type"] : json("REG_SZ");
    std::string typeName = t.is_string() ? t.get<std::string>() : t.dump();
    auto it = regTypes().find(typeName);
    char* end = nullptr;
    unsigned long number = std::strtoul(typeName.c_str(), &end, 0);
    if (it != regTypes().end()) {
        v.type = it->second;
    } else if (!typeName.empty() && end && *end == '\0' && std::isdigit(static_cast<unsigned char>(typeName[0]))) {
        v.type = static_cast<uint32_t>(number);
    } else {
        error = "unknown registry value type " + typeName;
        return false;
    }
    if (j.contains("hex")) {
        if (!unhex(j["hex"].get<std::string>(), v.data)) {
            error = "malformed hex registry data";
            return false;
        }
        return true;
    }
    const json& d = j.contains("data") ? j["data"] : json();
    if (v.type == REG_MULTI_SZ) {
        v.data.clear();
        for (const auto& s : d) v.data += s.get<std::string>() + std::string(1, '\0');
        v.data += std::string(1, '\0');
    } else if (v.type == REG_DWORD) {
        v.data = regDword(static_cast<uint32_t>(d.get<int64_t>()));
    } else {
        v.data = regSz(d.is_string() ? d.get<std::string>() : std::string());
    }
    return true;
}

static json daclToJson(const std::vector<Ace>& dacl) {
    json a = json::array();
    for (const auto& ace : dacl) {
        json e{{"sid", ace.sid}, {"mask", ace.mask}};
        if (!ace.allow) e["deny"] = true;
        if (ace.flags) e["flags"] = ace.flags;
        a.push_back(e);
    }
    return a;
}

static const std::map<std::string, std::string>& sidNames() {
    static const std::map<std::string, std::string> n = {
        {"Administrators", "S-1-5-32-544"}, {"Users", "S-1-5-32-545"},
        {"SYSTEM", "S-1-5-18"}, {"Everyone", "S-1-1-0"}, {"PlainUser", "S-1-5-21-1-2-3-1001"}};
    return n;
}

static std::string sidFromText(const std::string& s) {
    auto it = sidNames().find(s);
    return it == sidNames().end() ? s : it->second;
}

static bool daclFromJson(const json& j, std::vector<Ace>& dacl, std::string& error) {
    dacl.clear();
    if (!j.is_array()) {
        error = "a DACL must be an array";
        return false;
    }
    for (const auto& e : j) {
        Ace ace;
        ace.sid = sidFromText(e.value("sid", ""));
        if (ace.sid.empty()) {
            error = "an access entry needs a sid";
            return false;
        }
        const json& mask = e.contains("mask") ? e["mask"] : json(0);
        ace.mask = mask.is_string() ? static_cast<uint32_t>(std::stoul(mask.get<std::string>(), nullptr, 0))
                                    : mask.get<uint32_t>();
        ace.allow = !e.value("deny", false);
        ace.flags = e.value("flags", static_cast<uint8_t>(0));
        dacl.push_back(ace);
    }
    return true;
}

static void keysToJson(const RegKey& k, const std::string& path, json& out) {
    json e{{"path", path.empty() ? "HKLM" : "HKLM\\" + path}};
    if (!k.values.empty()) {
        json vals = json::object();
        for (const auto& [name, v] : k.values) vals[name] = valueToJson(v);
        e["values"] = vals;
    }
    if (k.owner != "S-1-5-32-544") e["owner"] = k.owner;
    if (k.nullDacl) e["nullDacl"] = true;
    else if (k.dacl.size() != defaultDacl().size() ||
             daclToJson(k.dacl) != daclToJson(defaultDacl()))
        e["dacl"] = daclToJson(k.dacl);
    if (!k.securityReadable) e["securityReadable"] = false;
    // Keys that carry nothing of their own are implied by their children.
    bool plain = e.size() == 1 && !k.subkeys.empty();
    if (!plain) out.push_back(e);
    for (const auto& [name, child] : k.subkeys)
        keysToJson(child, path.empty() ? child.name : path + "\\" + child.name, out);
}

static json deviceToJson(const Device& d) {
    json j{{"instanceId", d.instanceId}, {"class", d.className}, {"classGuid", d.classGuid}};
    if (!d.description.empty()) j["description"] = d.description;
    if (d.rawIds) j["hardwareIdsHex"] = hex(d.rawHardwareIds);
    else j["hardwareIds"] = d.hardwareIds;
    if (!d.compatibleIds.empty()) j["compatibleIds"] = d.compatibleIds;
    if (!d.present) j["present"] = false;
    if (!d.hardware) j["hardware"] = false;
    if (d.rootCreated) j["rootCreated"] = true;
    if (!d.registered) j["registered"] = false;
    if (!d.parent.empty()) j["parent"] = d.parent;
    if (d.hid.present)
        j["hid"] = {{"vendorId", d.hid.vendorId}, {"productId", d.hid.productId},
                    {"version", d.hid.version}};
    if (d.needsRestart) j["needsRestart"] = true;
    if (!d.boundInf.empty()) {
        j["boundInf"] = d.boundInf;
        j["boundSection"] = d.boundSection;
    }
    if (d.restartAsked) j["restartAsked"] = true;
    return j;
}

static uint16_t number16(const json& j) {
    if (j.is_string()) return static_cast<uint16_t>(std::stoul(j.get<std::string>(), nullptr, 0));
    return j.get<uint16_t>();
}

static bool deviceFromJson(const json& j, Device& d, std::string& error) {
    d.instanceId = j.value("instanceId", "");
    d.className = j.value("class", d.className);
    d.classGuid = j.value("classGuid", d.classGuid);
    d.description = j.value("description", "");
    if (j.contains("hardwareIdsHex")) {
        d.rawIds = true;
        if (!unhex(j["hardwareIdsHex"].get<std::string>(), d.rawHardwareIds)) {
            error = "malformed hardwareIdsHex of device " + d.instanceId;
            return false;
        }
    } else if (j.contains("hardwareIdsRaw")) {
        // The bytes of the property as a text; \u0000 gives a NUL.
        d.rawIds = true;
        d.rawHardwareIds = j["hardwareIdsRaw"].get<std::string>();
    } else if (j.contains("hardwareIds")) {
        d.hardwareIds = j["hardwareIds"].get<std::vector<std::string>>();
    }
    if (j.contains("compatibleIds")) d.compatibleIds = j["compatibleIds"].get<std::vector<std::string>>();
    d.present = j.value("present", true);
    d.hardware = j.value("hardware", true);
    d.rootCreated = j.value("rootCreated", false);
    d.registered = j.value("registered", true);
    d.parent = j.value("parent", "");
    if (j.contains("hid")) {
        const json& h = j["hid"];
        d.hid.present = true;
        d.hid.vendorId = number16(h.value("vendorId", json(0)));
        d.hid.productId = number16(h.value("productId", json(0)));
        d.hid.version = number16(h.value("version", json(0)));
    }
    d.needsRestart = j.value("needsRestart", false);
    d.boundInf = j.value("boundInf", "");
    d.boundSection = j.value("boundSection", "");
    d.restartAsked = j.value("restartAsked", false);
    return true;
}

void toJson(const Machine& m, json& j) {
    j = json::object();
    j["name"] = m.name;
    j["systemDirectory"] = m.systemDirectory;
    char lang[8];
    std::snprintf(lang, sizeof lang, "0x%04X", m.defaultLangId);
    j["defaultLangId"] = lang;
    j["currentDrive"] = m.currentDrive;
    j["account"] = m.account;
    j["drives"] = m.drives;
    if (!m.cwd.empty()) j["cwd"] = m.cwd;
    json devs = json::array();
    for (const auto& d : m.devices) devs.push_back(deviceToJson(d));
    j["devices"] = devs;
    json keys = json::array();
    keysToJson(m.hklm, "", keys);
    j["registry"] = keys;
    json svcs = json::object();
    for (const auto& [name, s] : m.services) {
        json e{{"state", s.state}, {"reported", s.reported}};
        if (s.deletePending) e["deletePending"] = true;
        svcs[name] = e;
    }
    j["serviceStates"] = svcs;
    if (m.serviceDatabaseLoaded && m.serviceDatabase != servicesInRegistry(m)) j["serviceDatabase"] = m.serviceDatabase;
    json log = json::array();
    for (const auto& e : m.eventLog)
        log.push_back({{"source", e.source}, {"type", e.type}, {"category", e.category},
                       {"eventId", e.eventId}, {"strings", e.strings}, {"process", e.process}});
    j["eventLog"] = log;
    j["rebootRequests"] = m.rebootRequests;
    j["fileAttributes"] = m.fileAttributes;
    j["filesInUse"] = m.filesInUse;
    j["programExitCodes"] = m.programExitCodes;
    json procs = json::array();
    for (const auto& p : m.processes) {
        json e{{"commandLine", p.commandLine}, {"console", p.console}, {"exitCode", p.exitCode}};
        // Console bytes are the program's code page, not UTF-8: kept as they are.
        if (isPlainText(p.output)) e["output"] = p.output;
        else e["outputHex"] = hex(p.output);
        procs.push_back(e);
    }
    j["processes"] = procs;
    if (!m.programFolders.empty()) j["programFolders"] = m.programFolders;
    j["nextInstance"] = m.nextInstance;
    if (!m.extra.empty()) j["extra"] = m.extra;
}

bool fromJson(const json& j, Machine& m, std::string& error) {
    try {
        if (!j.is_object()) {
            error = "a machine description must be a JSON object";
            return false;
        }
        m.name = j.value("name", m.name);
        m.systemDirectory = j.value("systemDirectory", m.systemDirectory);
        if (j.contains("defaultLangId")) m.defaultLangId = number16(j["defaultLangId"]);
        m.currentDrive = j.value("currentDrive", m.currentDrive);
        m.account = j.value("account", m.account);
        if (m.account != "administrator" && m.account != "user" && m.account != "system") {
            error = "account must be administrator, user or system";
            return false;
        }
        if (j.contains("drives")) {
            for (const auto& [letter, path] : j["drives"].items())
                m.drives[upper(letter.substr(0, 1))] = path.get<std::string>();
        }
        if (j.contains("cwd")) m.cwd = j["cwd"].get<std::map<std::string, std::string>>();
        if (j.contains("devices")) {
            m.devices.clear();
            for (const auto& dj : j["devices"]) {
                Device d;
                if (!deviceFromJson(dj, d, error)) return false;
                m.devices.push_back(d);
            }
        }
        if (j.contains("registry")) {
            for (const auto& kj : j["registry"]) {
                std::string path = kj.value("path", "");
                RegKey& k = ensureKey(m, path);
                if (kj.contains("values")) {
                    for (const auto& [name, vj] : kj["values"].items()) {
                        RegValue v;
                        if (!valueFromJson(vj, v, error)) {
                            error = path + "\\" + name + ": " + error;
                            return false;
                        }
                        k.values[name] = v;
                    }
                }
                if (kj.contains("owner")) k.owner = sidFromText(kj["owner"].get<std::string>());
                k.nullDacl = kj.value("nullDacl", false);
                if (kj.contains("dacl") && !daclFromJson(kj["dacl"], k.dacl, error)) {
                    error = path + ": " + error;
                    return false;
                }
                k.securityReadable = kj.value("securityReadable", true);
            }
        }
        if (j.contains("serviceStates")) {
            for (const auto& [name, sj] : j["serviceStates"].items()) {
                ServiceRuntime s;
                s.state = sj.value("state", 1u);
                s.deletePending = sj.value("deletePending", false);
                if (sj.contains("reported")) s.reported = sj["reported"].get<std::vector<uint32_t>>();
                m.services[name] = s;
            }
        }
        if (j.contains("serviceDatabase")) {
            m.serviceDatabase.clear();
            for (const auto& [name, display] : j["serviceDatabase"].items())
                m.serviceDatabase[name] = display.get<std::string>();
            m.serviceDatabaseLoaded = true;
        }
        if (j.contains("eventLog")) {
            m.eventLog.clear();
            for (const auto& ej : j["eventLog"]) {
                EventEntry e;
                e.source = ej.value("source", "");
                e.type = ej.value("type", static_cast<uint16_t>(0));
                e.category = ej.value("category", static_cast<uint16_t>(0));
                e.eventId = ej.value("eventId", 0u);
                e.strings = ej.value("strings", std::vector<std::string>{});
                e.process = ej.value("process", "");
                m.eventLog.push_back(e);
            }
        }
        if (j.contains("rebootRequests"))
            m.rebootRequests = j["rebootRequests"].get<std::vector<uint32_t>>();
        if (j.contains("fileAttributes")) {
            for (const auto& [p, a] : j["fileAttributes"].items()) m.fileAttributes[p] = a.get<uint32_t>();
        }
        if (j.contains("filesInUse")) m.filesInUse = j["filesInUse"].get<std::vector<std::string>>();
        if (j.contains("programExitCodes")) {
            for (const auto& [p, c] : j["programExitCodes"].items()) m.programExitCodes[p] = c.get<int>();
        }
        if (j.contains("processes")) {
            m.processes.clear();
            for (const auto& pj : j["processes"]) {
                ProcessRecord p;
                p.commandLine = pj.value("commandLine", "");
                p.console = pj.value("console", "");
                p.exitCode = pj.value("exitCode", -1);
                p.output = pj.value("output", "");
                if (pj.contains("outputHex") && !unhex(pj["outputHex"].get<std::string>(), p.output)) {
                    error = "malformed outputHex of " + p.commandLine;
                    return false;
                }
                m.processes.push_back(p);
            }
        }
        if (j.contains("programFolders"))
            m.programFolders = j["programFolders"].get<std::vector<std::string>>();
        m.nextInstance = j.value("nextInstance", m.nextInstance);
        if (j.contains("extra")) m.extra = j["extra"];
        return true;
    } catch (const json::exception& e) {
        error = e.what();
        return false;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace sim
