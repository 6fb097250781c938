// The captures of a fleet: found below SOURCE, and each checked before any
// of it becomes a machine. Captures come from many servers and are copied
// around by hand: a description may be cut short, hold fields of the wrong
// type, unknown or twice, or name host files outside its capture folder;
// each is refused with its reason, and nothing below SOURCE is written.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim/tool/fleet.h"
#include "sim/core/machine.h"
#include "sim/core/machine_json.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim::fleet {

namespace {

const char* const DescriptionFile = "machine.json";
const char* const FilesFolder = "files";
// A description larger than this is no capture (the largest machines the
// benchmarks capture, 10,000 devices, take a few megabytes).
const uintmax_t MaxDescriptionBytes = 64u << 20;

// The kind of a folder entry, without following a symbolic link.
fs::file_type kindOf(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type();
}

// The folders below one folder, in byte order of their names; symbolic
// links are left out (not followed).
bool subfolders(const fs::path& folder, std::vector<std::string>& names, std::string& error) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            error = ec.message();
            return false;
        }
        if (kindOf(it->path()) == fs::file_type::directory) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return true;
}

void walk(const fs::path& root, const std::string& rel, std::vector<Server>& out) {
    fs::path folder = rel == "." ? root : root / rel;
    Server s;
    s.source = rel;
    s.folder = folder.string();
    s.name = rel == "." ? fs::absolute(root).lexically_normal().filename().string() : fs::path(rel).filename().string();
    if (s.name.empty()) s.name = fs::absolute(root).lexically_normal().parent_path().filename().string();
    fs::file_type description = kindOf(folder / DescriptionFile);
    if (description != fs::file_type::not_found) {
        out.push_back(s);
        return;
    }
    if (kindOf(folder / FilesFolder) == fs::file_type::directory) {
        // The snapshot program writes the description last: copies without
        // it are what a failed capture leaves.
        s.problem = "no machine.json beside files/: the capture is incomplete (the snapshot program did not finish)";
        out.push_back(s);
        return;
    }
    std::vector<std::string> names;
    std::string error;
    if (!subfolders(folder, names, error)) {
        if (rel != ".") {
            s.problem = "the folder cannot be read: " + error;
            out.push_back(s);
        }
        return;
    }
    for (const auto& n : names) walk(root, rel == "." ? n : rel + "/" + n, out);
}

bool isWindowsPathOnC(const std::string& p) {
    if (p.size() < 3 || (p[0] != 'C' && p[0] != 'c') || p[1] != ':' || p[2] != '\\') return false;
    std::string part;
    for (size_t i = 3; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '\\' || p[i] == '/') {
            if (part == "..") return false;
            part.clear();
        } else {
            part += p[i];
        }
    }
    return true;
}

// The checks of a description's fields: each returns an empty text when
// the value is of the kind the field takes, else what is wrong.
using Check = std::string (*)(const json&);

std::string text(const json& j) { return j.is_string() ? "" : "must be a text"; }
std::string flag(const json& j) { return j.is_boolean() ? "" : "must be true or false"; }
std::string texts(const json& j) {
    if (!j.is_array()) return "must be a list of texts";
    for (const auto& e : j)
        if (!e.is_string()) return "must be a list of texts";
    return "";
}
bool hexDigits(const std::string& s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && !std::isspace(static_cast<unsigned char>(c))) return false;
    return true;
}
// A number up to `max`, or a text that gives one ("0x0409").
std::string numberUpTo(const json& j, uint64_t max) {
    if (j.is_number_unsigned() && j.get<uint64_t>() <= max) return "";
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(s.c_str(), &end, 0);
        if (!s.empty() && end && *end == '\0' && errno == 0 && v <= max && s[0] != '-') return "";
    }
    return "must be a number from 0 to " + std::to_string(max);
}
std::string word16(const json& j) { return numberUpTo(j, 0xFFFF); }
std::string dword(const json& j) { return numberUpTo(j, 0xFFFFFFFFu); }
std::string hexText(const json& j) {
    if (!j.is_string() || !hexDigits(j.get<std::string>())) return "must be a text of hexadecimal digits";
    size_t digits = 0;
    for (char c : j.get<std::string>()) digits += std::isxdigit(static_cast<unsigned char>(c)) ? 1 : 0;
    return digits % 2 ? "must be whole bytes of hexadecimal digits" : "";
}
std::string account(const json& j) {
    static const std::set<std::string> accounts = {"administrator", "user", "system"};
    return j.is_string() && accounts.count(j.get<std::string>()) ? "" : "must be administrator, user or system";
}
std::string systemDirectory(const json& j) {
    if (!j.is_string()) return "must be a text";
    return isWindowsPathOnC(j.get<std::string>()) ? "" : "must be a folder on drive C:";
}
std::string integer(const json& j) {
    return j.is_number_integer() && j.get<int64_t>() >= INT32_MIN && j.get<int64_t>() <= INT32_MAX ? ""
                                                                                                   : "must be a whole number";
}

// An object whose every field is known and of its kind.
std::string fields(const json& j, const std::map<std::string, Check>& known, const std::string& where) {
    if (!j.is_object()) return where + " must be an object";
    for (const auto& [name, value] : j.items()) {
        auto it = known.find(name);
        if (it == known.end()) return where + ": unknown field \"" + name + "\"";
        std::string wrong = it->second(value);
        if (!wrong.empty()) return where + ": \"" + name + "\" " + wrong;
    }
    return "";
}

std::string hid(const json& j) {
    static const std::map<std::string, Check> known = {{"vendorId", word16}, {"productId", word16}, {"version", word16}};
    std::string wrong = fields(j, known, "the HID attributes");
    return wrong.empty() ? "" : "is wrong: " + wrong;
}

std::string device(const json& j, size_t n) {
    static const std::map<std::string, Check> known = {
        {"instanceId", text}, {"class", text}, {"classGuid", text}, {"description", text},
        {"hardwareIds", texts}, {"hardwareIdsHex", hexText}, {"hardwareIdsRaw", text}, {"compatibleIds", texts},
        {"present", flag}, {"hardware", flag}, {"rootCreated", flag}, {"registered", flag}, {"parent", text},
        {"hid", hid}, {"needsRestart", flag}, {"boundInf", text}, {"boundSection", text}, {"restartAsked", flag}};
    std::string where = "device " + std::to_string(n + 1);
    if (j.is_object() && j.contains("instanceId") && j["instanceId"].is_string())
        where += " (" + j["instanceId"].get<std::string>() + ")";
    std::string wrong = fields(j, known, where);
    if (!wrong.empty()) return wrong;
    if (!j.contains("instanceId") || j["instanceId"].get<std::string>().empty()) return where + " has no instanceId";
    int idLists = static_cast<int>(j.contains("hardwareIds")) + static_cast<int>(j.contains("hardwareIdsHex")) +
                  static_cast<int>(j.contains("hardwareIdsRaw"));
    if (idLists > 1) return where + " gives its hardware ids more than one way";
    return "";
}

std::string aceCheck(const json& j) {
    static const std::map<std::string, Check> known = {
        {"sid", text}, {"mask", dword}, {"deny", flag}, {"flags", [](const json& v) { return numberUpTo(v, 255); }}};
    std::string wrong = fields(j, known, "an access entry");
    if (wrong.empty() && !j.contains("sid")) wrong = "an access entry has no sid";
    return wrong.empty() ? "" : "is wrong: " + wrong;
}

std::string dacl(const json& j) {
    if (!j.is_array()) return "must be a list of access entries";
    for (const auto& e : j) {
        std::string wrong = aceCheck(e);
        if (!wrong.empty()) return wrong;
    }
    return "";
}

std::string registryValue(const json& v) {
    if (v.is_string()) return "";
    if (v.is_number_integer()) return v.get<int64_t>() >= 0 && v.get<int64_t>() <= 0xFFFFFFFFll ? "" : "is out of range";
    if (!v.is_object()) return "must be a text, a number or an object";
    static const std::map<std::string, Check> known = {
        {"type", [](const json& t) { return t.is_string() || t.is_number_unsigned() ? "" : std::string("must be a type"); }},
        {"data", [](const json& d) { return d.is_string() || d.is_number_unsigned() || d.is_array() ? "" : std::string("must be a text, a number or a list"); }},
        {"hex", hexText}};
    std::string wrong = fields(v, known, "the value");
    if (!wrong.empty()) return "is wrong: " + wrong;
    if (v.contains("data") && v.contains("hex")) return "gives both data and hex";
    return "";
}

std::string registryKey(const json& j, size_t n) {
    static const std::map<std::string, Check> known = {
        {"path", text}, {"values", [](const json& v) { return v.is_object() ? "" : std::string("must be an object"); }},
        {"owner", text}, {"dacl", dacl}, {"nullDacl", flag}, {"securityReadable", flag}};
    std::string where = "registry entry " + std::to_string(n + 1);
    if (j.is_object() && j.contains("path") && j["path"].is_string()) where += " (" + j["path"].get<std::string>() + ")";
    std::string wrong = fields(j, known, where);
    if (!wrong.empty()) return wrong;
    std::string path = j.contains("path") ? j["path"].get<std::string>() : "";
    std::string head = sim::upper(path.substr(0, path.find('\\')));
    if (head != "HKLM" && head != "HKEY_LOCAL_MACHINE") return where + ": the path must start with HKLM\\";
    if (j.contains("values"))
        for (const auto& [name, v] : j["values"].items()) {
            std::string bad = registryValue(v);
            if (!bad.empty()) return where + ": the value \"" + name + "\" " + bad;
        }
    return "";
}

// Drops the "[json.exception.parse_error.101] " of a parser's message.
std::string plainMessage(const std::string& what) {
    size_t close = what.find("] ");
    return what.rfind("[json.exception", 0) == 0 && close != std::string::npos ? what.substr(close + 2) : what;
}

// Parses a description, refusing a field that an object holds twice (a
// JSON reader would silently keep one of them).
bool parseStrict(const std::string& bytes, json& out, std::string& error) {
    std::vector<std::set<std::string>> open;
    std::string duplicate;
    json::parser_callback_t callback = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) open.emplace_back();
        else if (event == json::parse_event_t::object_end && !open.empty()) open.pop_back();
        else if (event == json::parse_event_t::key && !open.empty() && !open.back().insert(parsed.get<std::string>()).second &&
                 duplicate.empty())
            duplicate = parsed.get<std::string>();
        return true;
    };
    try {
        out = json::parse(bytes, callback);
    } catch (const json::exception& e) {
        error = "machine.json is not valid JSON (cut short or damaged?): " + plainMessage(e.what());
        return false;
    }
    if (!duplicate.empty()) {
        error = "machine.json gives the field \"" + duplicate + "\" twice in one object";
        return false;
    }
    return true;
}

// Whether `inner` lies inside `outer` (both canonical).
bool inside(const fs::path& inner, const fs::path& outer) {
    auto o = outer.begin(), i = inner.begin();
    for (; o != outer.end(); ++o, ++i)
        if (i == inner.end() || *i != *o) return false;
    return true;
}

}  // namespace

bool listCaptures(const std::string& source, std::vector<Server>& out, std::string& error) {
    out.clear();
    std::error_code ec;
    if (!fs::is_directory(source, ec)) {
        error = source + " is not a folder";
        return false;
    }
    std::vector<std::string> probe;
    if (!subfolders(source, probe, error)) {
        error = "cannot read " + source + ": " + error;
        return false;
    }
    walk(fs::path(source), ".", out);
    if (out.empty()) {
        error = source + " holds no capture (a folder with machine.json, as the snapshot program writes it)";
        return false;
    }
    std::sort(out.begin(), out.end(), [](const Server& a, const Server& b) { return a.source < b.source; });
    std::map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].index = i;
        byName[sim::upper(out[i].name)].push_back(i);
    }
    for (const auto& [name, indexes] : byName) {
        if (indexes.size() < 2) continue;
        std::string all;
        for (size_t i : indexes) all += (all.empty() ? "" : ", ") + out[i].source;
        for (size_t i : indexes)
            if (out[i].problem.empty())
                out[i].problem = std::to_string(indexes.size()) + " captures of the server " + out[i].name + " (" +
                                 all + "): keep the one to rehearse";
    }
    return true;
}

std::string checkCapture(const std::string& folderText, const std::string& name, json& description) {
    std::error_code ec;
    fs::path folder = fs::canonical(folderText, ec);
    if (ec) return "the capture folder cannot be read: " + ec.message();
    fs::path file = folder / DescriptionFile;
    if (kindOf(file) != fs::file_type::regular) return "machine.json is not a plain file (a link or a folder?)";
    uintmax_t size = fs::file_size(file, ec);
    if (ec) return "machine.json cannot be read: " + ec.message();
    if (size > MaxDescriptionBytes) return "machine.json holds " + std::to_string(size) + " bytes, more than a capture";
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    if (!in) return "machine.json cannot be read";
    if (bytes.str().empty()) return "machine.json is empty";

    std::string error;
    json j;
    if (!parseStrict(bytes.str(), j, error)) return error;
    static const std::map<std::string, Check> known = {
        {"name", text}, {"seed", [](const json& v) { return v.is_number_unsigned() ? "" : std::string("must be a number"); }},
        {"systemDirectory", systemDirectory}, {"defaultLangId", word16}, {"account", account},
        {"devices", [](const json& v) { return v.is_array() ? "" : std::string("must be a list"); }},
        {"registry", [](const json& v) { return v.is_array() ? "" : std::string("must be a list"); }},
        {"directories", texts},
        {"filesInUse", texts},
        {"files", [](const json& v) { return v.is_object() ? "" : std::string("must map Windows paths to files"); }},
        {"fileAttributes", [](const json& v) { return v.is_object() ? "" : std::string("must be an object"); }},
        {"programExitCodes", [](const json& v) { return v.is_object() ? "" : std::string("must be an object"); }}};
    if (!j.is_object()) return "machine.json must hold one JSON object";
    for (const auto& [field, value] : j.items()) {
        if (field == "drives" || field == "programFolders")
            return "machine.json names host folders (\"" + field + "\"): a capture may not";
        auto it = known.find(field);
        if (it == known.end()) return "machine.json: unknown field \"" + field + "\"";
        std::string wrong = it->second(value);
        if (!wrong.empty()) return "machine.json: \"" + field + "\" " + wrong;
    }
    if (j.contains("devices"))
        for (size_t i = 0; i < j["devices"].size(); ++i) {
            std::string wrong = device(j["devices"][i], i);
            if (!wrong.empty()) return "machine.json: " + wrong;
        }
    if (j.contains("registry"))
        for (size_t i = 0; i < j["registry"].size(); ++i) {
            std::string wrong = registryKey(j["registry"][i], i);
            if (!wrong.empty()) return "machine.json: " + wrong;
        }
    if (j.contains("directories"))
        for (const auto& d : j["directories"])
            if (!isWindowsPathOnC(d.get<std::string>()))
                return "machine.json: the folder " + d.get<std::string>() + " is not a path on drive C:";
    if (j.contains("filesInUse"))
        for (const auto& f : j["filesInUse"])
            if (!isWindowsPathOnC(f.get<std::string>()))
                return "machine.json: the file in use " + f.get<std::string>() + " is not a path on drive C:";
    if (j.contains("fileAttributes"))
        for (const auto& [path, a] : j["fileAttributes"].items())
            if (!dword(a).empty()) return "machine.json: the attributes of " + path + " " + dword(a);
    if (j.contains("programExitCodes"))
        for (const auto& [program, code] : j["programExitCodes"].items())
            if (!integer(code).empty()) return "machine.json: the exit code of " + program + " " + integer(code);

    // The files: each a copy below the capture folder, for a path on C:.
    json files = json::object();
    if (j.contains("files")) {
        if (!j["files"].empty() && kindOf(folder / FilesFolder) != fs::file_type::directory)
            return "files/ is missing: the description names " + std::to_string(j["files"].size()) +
                   (j["files"].size() == 1 ? " copy" : " copies") + " in it";
        for (const auto& [windowsPath, host] : j["files"].items()) {
            if (!host.is_string() || host.get<std::string>().empty())
                return "machine.json: the copy of " + windowsPath + " must be named by a text";
            if (!isWindowsPathOnC(windowsPath)) return "machine.json: " + windowsPath + " is not a file path on drive C:";
            fs::path rel(host.get<std::string>());
            if (rel.is_absolute()) return "the copy of " + windowsPath + " is an absolute host path (" + rel.string() + ")";
            for (const auto& part : rel)
                if (part == "..")
                    return "the copy of " + windowsPath + " (" + rel.string() + ") leaves the capture folder through ..";
            fs::path full = folder / rel;
            fs::file_type kind = kindOf(full);
            if (kind == fs::file_type::not_found) {
                // A link whose target is missing counts as a link below.
                return rel.string() + ", the copy of " + windowsPath + ", is missing";
            }
            fs::path real = fs::canonical(full, ec);
            if (ec || !inside(real, folder))
                return "the copy of " + windowsPath + " (" + rel.string() +
                       ") is a symbolic link that leaves the capture folder";
            if (kindOf(real) != fs::file_type::regular) return "the copy of " + windowsPath + " (" + rel.string() + ") is not a file";
            files[windowsPath] = real.string();
        }
    }

    // The simulator must read it as it stands.
    sim::Machine m;
    if (!sim::fromJson(j, m, error)) return "machine.json: " + error;

    description = j;
    description["name"] = name;
    if (j.contains("files")) description["files"] = files;
    return "";
}

}  // namespace winsim::fleet
