#include "sim/outcome/outcome.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>


namespace fs = std::filesystem;
using nlohmann::json;

namespace oracle {

namespace {

const std::string ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// The built-in catalogue's texts that end a run.
const std::string CompleteText = "Installation complete\n\r";
const std::string RebootForDriverText = "Reboot the machine for the device driver to start. \n\r";
const std::string RemovedOldText = "Removed the old device drivers. \nReboot the machine to install the new drivers.\n";
const std::string FailedText = "\nInstallation failed\n";
const std::string PressAnyKeyText = "Press any key to exit.";

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "";
    std::string bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}
const std::string RunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The family's hardware ids in table order with the INF that installs each;
// the older adapter counts for every id that contains its id.
struct FamilyId {
    const char* id;
    bool contained;
    const char* inf;
};
const FamilyId FamilyIds[] = {
    {"PCI\\VEN_1D3C&DEV_0207&CC_0680", false, "korpa.inf"},
    {"PCI\\VEN_1D3C&DEV_01A4", true, "korpa.inf"},
    {"*QRV51A1", false, "korp.inf"},
    {"*QRV51A5", false, "korp.inf"},
    {"*QRV51A6", false, "korp.inf"},
    {"*QRV5190", false, "korp.inf"},
    {"MF\\MGTPROC_DEV0", false, "serw.inf"},
    {"MF\\MGTPROC_DEV1", false, "mpw.inf"},
    {"MF\\MGTPROC_DEV2", false, "rmtptr.inf"},
    {"MF\\MGTPROC_DEV3", false, "serw.inf"},
    {"MF\\MGTPROC_DEV4", false, "mpw.inf"},
    {"MF\\MGTPROC_DEV5", false, "mpw.inf"},
};

}  // namespace

const char* familyInf(const sim::Device& d) {
    std::vector<std::string> ids = d.hardwareIds;
    if (d.rawIds) {
        ids.clear();
        std::string cur;
        for (char c : d.rawHardwareIds) {
            if (c) {
                cur += c;
                continue;
            }
            if (cur.empty()) break;
            ids.push_back(cur);
            cur.clear();
        }
    }
    for (const auto& id : ids)
        for (const auto& f : FamilyIds)
            if (f.contained ? id.find(f.id) != std::string::npos : id == f.id) return f.inf;
    return nullptr;
}

namespace {

std::string textOf(const sim::RegValue& v) { return v.data.substr(0, v.data.find('\0')); }

uint32_t dwordOf(const sim::RegKey& k, const char* name) {
    auto it = k.values.find(name);
    if (it == k.values.end() || it->second.data.size() != 4) return 0xFFFFFFFF;
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(it->second.data[i]);
    return d;
}

std::string stagedSetup(const sim::Machine& m) { return m.systemDirectory + "\\drivers\\korpa\\win2000\\SETUP.EXE"; }

// An image path as the service control manager expands it.
std::string expandSystemRoot(const sim::Machine& m, std::string path) {
    std::string root = m.systemDirectory.substr(0, m.systemDirectory.find_last_of('\\'));
    const std::string var = "%SYSTEMROOT%";
    size_t at = sim::upper(path).find(var);
    if (at != std::string::npos) path.replace(at, var.size(), root);
    return path;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool containsAny(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& p : parts)
        if (!p.empty() && text.find(p) != std::string::npos) return true;
    return false;
}

// Whether the console ends with one of the texts (each the concatenation of
// one alternative of every part), followed by the key prompt unless quiet.
bool endsWithText(const Claim& c, const Texts& t, const std::vector<const std::vector<std::string>*>& parts) {
    std::vector<std::string> endings{""};
    for (const auto* part : parts) {
        std::vector<std::string> longer;
        for (const auto& e : endings)
            for (const auto& alternative : *part) longer.push_back(e + alternative);
        endings = longer;
    }
    for (const auto& e : endings) {
        if (c.quiet && endsWith(c.console, e)) return true;
        if (!c.quiet)
            for (const auto& key : t.pressAnyKey)
                if (endsWith(c.console, e + key)) return true;
    }
    return false;
}

// The texts of a language file: a count byte, then NUL-ended texts.
std::vector<std::string> languageTexts(const std::string& path) {
    std::string bytes = readBytes(path);
    std::vector<std::string> texts;
    size_t count = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
    for (size_t at = 1; at < bytes.size() && texts.size() < count;) {
        size_t end = bytes.find('\0', at);
        if (end == std::string::npos) end = bytes.size();
        texts.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}

const char* languageFile(uint16_t langId) {
    switch (langId) {
        case 0x0407: return "german.nls";
        case 0x040C: return "french.nls";
        case 0x040A: return "spanish.nls";
        case 0x0411: return "japanese.nls";
        default: return "english.nls";
    }
}

}  // namespace

// Read in blocks and mixed a word at a time (the staged programs are
// megabytes under the sanitizers).
std::string contentHash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](uint64_t word) {
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    };
    char block[16384];
    uint64_t length = 0;
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        size_t n = static_cast<size_t>(in.gcount()), at = 0;
        length += n;
        for (; at + 8 <= n; at += 8) {
            uint64_t word;
            std::memcpy(&word, block + at, 8);
            mix(word);
        }
        if (at < n) {
            uint64_t tail = 0;
            std::memcpy(&tail, block + at, n - at);
            mix(tail);
        }
    }
    mix(length);
    return std::to_string(hash);
}

namespace {

// The content hash of the media's file of that name in its win2000 folder;
// empty when there is none. The media does not change while the tests run:
// each file is read once.
std::string mediaHash(const std::string& mediaDir, const std::string& name) {
    static std::mutex guard;
    static std::map<std::string, std::string> known;
    std::lock_guard<std::mutex> g(guard);
    auto [known_it, added] = known.emplace(mediaDir + "\n" + sim::upper(name), "");
    std::error_code ec;
    for (auto it = fs::directory_iterator(fs::path(mediaDir) / "win2000", ec); added && !ec && it != fs::end(it);
         it.increment(ec))
        if (sim::equalNoCase(it->path().filename().string(), name)) known_it->second = contentHash(it->path().string());
    return known_it->second;
}

}  // namespace

Texts textsFor(uint16_t langId, const std::string& mediaDir) {
    Texts t{{CompleteText}, {RebootForDriverText}, {RemovedOldText}, {FailedText}, {PressAnyKeyText}};
    std::vector<std::string> file = languageTexts(mediaDir + "/nls/" + languageFile(langId));
    auto add = [&](std::vector<std::string>& alternatives, size_t entry) {
        if (entry < file.size() && file[entry] != alternatives.front()) alternatives.push_back(file[entry]);
    };
    add(t.complete, 13);
    add(t.reboot, 32);
    add(t.removedOld, 78);
    add(t.failed, 28);
    add(t.pressAnyKey, 33);
    return t;
}

bool secondPhaseScheduled(sim::Machine& m) {
    std::string staged = stagedSetup(m);
    if (const sim::RegKey* k = sim::findKey(m, ServicesKey + "mpsetup")) {
        auto image = k->values.find("ImagePath");
        bool known = !m.serviceDatabaseLoaded || m.serviceDatabase.count("mpsetup");
        auto runtime = m.services.find("mpsetup");
        bool deleting = runtime != m.services.end() && runtime->second.deletePending;
        if (known && !deleting && (dwordOf(*k, "Type") & ~0x100u) == 0x10 && dwordOf(*k, "Start") == 2 &&
            image != k->values.end() && sim::equalNoCase(expandSystemRoot(m, textOf(image->second)), staged))
            return true;
    }
    if (const sim::RegKey* k = sim::findKey(m, RunOnceKey))
        for (const auto& [name, v] : k->values)
            if ((v.type == 1 || v.type == 2) && sim::equalNoCase(textOf(v), staged + " -R")) return true;
    return false;
}

std::string restartPending(const sim::Machine& m) {
    std::vector<std::string> reasons = sim::pendingRestarts(m);
    return reasons.empty() ? "" : reasons.front();
}

std::vector<std::string> familyDevicesWithoutStagedDriver(const sim::Machine& m) {
    std::vector<std::string> out;
    std::string staged = m.systemDirectory + "\\drivers\\korpa\\win2000\\";
    for (const auto& d : m.devices) {
        const char* inf = d.present ? familyInf(d) : nullptr;
        if (inf && !sim::equalNoCase(d.boundInf, staged + inf))
            out.push_back(d.instanceId + " (" + (d.boundInf.empty() ? "no driver" : d.boundInf) + ", not " + inf + ")");
    }
    return out;
}

std::vector<std::string> owedDevices(const sim::Machine& m, const sim::Machine* usbRoadStart) {
    return usbRoadStart ? familyDriversChanged(*usbRoadStart, m) : familyDevicesWithoutStagedDriver(m);
}

bool settled(sim::Machine& m, const sim::Machine* usbRoadStart) {
    return !secondPhaseScheduled(m) && restartPending(m).empty() && owedDevices(m, usbRoadStart).empty();
}

std::string notSettled(sim::Machine& m, const sim::Machine* usbRoadStart) {
    if (secondPhaseScheduled(m)) return "a second phase is still scheduled";
    std::string pending = restartPending(m);
    if (!pending.empty()) return pending;
    std::vector<std::string> owed = owedDevices(m, usbRoadStart);
    return owed.empty() ? "" : owed.front() + " is present";
}

bool hasUsbManagementDevice(const sim::Machine& m) {
    for (const auto& d : m.devices)
        if (d.present && d.hid.present && d.hid.vendorId == 0x1D3C && d.hid.productId == 0x7301) return true;
    return false;
}

std::vector<std::string> familyDriversChanged(const sim::Machine& before, const sim::Machine& after) {
    std::vector<std::string> out;
    for (const auto& d : after.devices) {
        if (!d.present || !familyInf(d)) continue;
        std::string earlier = "(not there)";
        for (const auto& b : before.devices)
            if (sim::equalNoCase(b.instanceId, d.instanceId)) earlier = b.present ? b.boundInf : "(not present)";
        if (!sim::equalNoCase(earlier, d.boundInf))
            out.push_back(d.instanceId + " (" + earlier + " -> " + (d.boundInf.empty() ? "no driver" : d.boundInf) + ")");
    }
    return out;
}

std::string disagreement(const Claim& c, sim::Machine& after, const Texts& t) {
    bool scheduled = secondPhaseScheduled(after);
    std::string pending = restartPending(after);
    bool rebootText = containsAny(c.console, t.reboot) || containsAny(c.console, t.removedOld);
    if (rebootText && !scheduled && pending.empty())
        return c.what + " printed a reboot message, but no second phase is scheduled and no restart is pending";
    switch (c.exitCode) {
        case 0: {
            if (!endsWithText(c, t, {&t.complete})) return c.what + " ended with 0 without \"Installation complete\"";
            std::vector<std::string> unbound = c.usbRoadBefore ? familyDriversChanged(*c.usbRoadBefore, after)
                                                               : familyDevicesWithoutStagedDriver(after);
            if (!unbound.empty())
                return c.what + " ended with 0, but " + unbound.front() +
                       (c.usbRoadBefore ? " changed on the USB management device's road" : " is present");
            if (scheduled) return c.what + " ended with 0, but a second phase is scheduled";
            if (!pending.empty()) return c.what + " ended with 0, but a restart is pending: " + pending;
            return "";
        }
        case 1:
            if (!(c.console.empty() || endsWithText(c, t, {&t.removedOld}) ||
                  endsWithText(c, t, {&t.complete, &t.reboot})))
                return c.what + " ended with 1 without the reboot message";
            if (!scheduled && pending.empty())
                return c.what + " ended with 1, but no second phase is scheduled and no restart is pending";
            return "";
        case 2:
        case 8:
            if (!endsWithText(c, t, {&t.failed}))
                return c.what + " ended with " + std::to_string(c.exitCode) + " without \"Installation failed\"";
            return "";
        default:
            return c.what + " ended with " + std::to_string(c.exitCode) + ", none of the installer's exit codes";
    }
}

std::map<std::string, std::string> machineContent(const std::string& folder) {
    std::map<std::string, std::string> out;
    json state = json::parse(readBytes(folder + "/state.json"), nullptr, false);
    if (state.is_discarded()) return {{"state.json", "unreadable"}};
    for (const char* kept : {"processes", "cwd", "currentDrive"}) state.erase(kept);
    json flat = state.flatten();
    for (const auto& [path, value] : flat.items()) out["state" + path] = value.dump();
    fs::path drives = fs::path(folder) / "drives";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(drives, ec); !ec && it != fs::end(it); it.increment(ec)) {
        std::string rel = "file " + it->path().lexically_relative(drives).string();
        out[rel] = it->is_directory() ? "folder" : contentHash(it->path().string());
    }
    return out;
}

std::vector<std::string> filesUnlikeMedia(const std::string& folder, const std::string& below,
                                          const std::string& mediaDir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path(folder) / "drives" / below, ec);
         !ec && it != fs::end(it); it.increment(ec)) {
        if (it->is_directory()) continue;
        std::string name = it->path().filename().string();
        std::string media = mediaHash(mediaDir, name);
        if (!media.empty() && contentHash(it->path().string()) != media) out.push_back(name);
    }
    return out;
}

void setAsideMediaCopies(std::map<std::string, std::string>& before, std::map<std::string, std::string>& after,
                         const std::vector<std::string>& names, const std::string& mediaDir) {
    std::vector<std::string> windowsPaths;
    for (const auto& name : names) {
        std::string media = mediaHash(mediaDir, name);
        for (auto it = after.begin(); it != after.end();) {
            const std::string& key = it->first;
            bool named = key.rfind("file ", 0) == 0 && key.size() > name.size() &&
                         key[key.size() - name.size() - 1] == '/' &&
                         sim::equalNoCase(key.substr(key.size() - name.size()), name);
            if (!named || it->second != media) {
                ++it;
                continue;
            }
            // "file C/WINNT/x/NAME" is C:\WINNT\x\NAME on the machine.
            std::string windows = key.substr(5, 1) + ":" + key.substr(6);
            for (auto& c : windows)
                if (c == '/') c = '\\';
            windowsPaths.push_back("state/fileAttributes/" + windows);
            before.erase(key);
            it = after.erase(it);
        }
    }
    for (auto* content : {&before, &after}) {
        for (auto it = content->begin(); it != content->end();) {
            bool attributes = false;
            for (const auto& w : windowsPaths) attributes = attributes || sim::equalNoCase(it->first, w);
            it = attributes ? content->erase(it) : std::next(it);
        }
        // The attribute map that only those files filled.
        auto all = content->find("state/fileAttributes");
        if (all != content->end() && all->second == "null") content->erase(all);
    }
}

std::string contentChanges(const std::map<std::string, std::string>& before,
                           const std::map<std::string, std::string>& after) {
    std::ostringstream out;
    int shown = 0;
    auto note = [&](const std::string& line) {
        if (shown++ < 8) out << "  " << line << "\n";
    };
    for (const auto& [k, v] : before) {
        auto it = after.find(k);
        if (it == after.end()) note("- " + k + " = " + v);
        else if (it->second != v) note("~ " + k + ": " + v + " -> " + it->second);
    }
    for (const auto& [k, v] : after)
        if (!before.count(k)) note("+ " + k + " = " + v);
    if (shown > 8) out << "  (" << shown - 8 << " more)\n";
    return out.str();
}

}  // namespace oracle
