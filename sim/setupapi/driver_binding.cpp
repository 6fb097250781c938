// The new-device library's binding of an INF to the present devices that
// carry a hardware id (UpdateDriverForPlugAndPlayDevicesA), as Windows 2000
// installs a driver: the model that the device's ids select, the files its
// install section copies, the registry values it adds, the services it
// installs, the driver key it records, and the child functions that the
// bound parent then exposes. A file to copy that the machine marks in use is
// written beside it and left for the session manager to put in its place at
// the next start, which the binding then asks for.
//
// Error codes, as Windows answers them: ERROR_INVALID_FLAGS,
// ERROR_ACCESS_DENIED for a caller that is not an administrator,
// ERROR_FILE_NOT_FOUND for a missing INF, ERROR_NO_SUCH_DEVINST when no
// present device carries the id or the INF has no model for any such
// device, ERROR_SECTION_NOT_FOUND for a model whose install section is
// missing, ERROR_FILE_NOT_FOUND / ERROR_LINE_NOT_FOUND for a file to copy
// that is missing from the INF's folder or from [SourceDisksFiles]. A
// successful binding leaves ERROR_SUCCESS as the last error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/win_devices.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/power.h"
#include "sim/core/win_codes.h"
#include "sim/files/next_start.h"
#include "sim/files/paths.h"
#include "sim/services/services.h"
#include "sim/setupapi/device_sets.h"
#include "sim/setupapi/inf.h"

using namespace sim;

namespace {

const char* ClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";

// The folder of a directory id of [DestinationDirs].
bool dirIdPath(const std::string& id, std::string& out) {
    long n = std::strtol(id.c_str(), nullptr, 10);
    switch (n) {
        case DIRID_WINDOWS: out = windowsDirectory(machine()); return true;
        case DIRID_SYSTEM: out = machine().systemDirectory; return true;
        case DIRID_DRIVERS: out = machine().systemDirectory + "\\drivers"; return true;
        default: return false;
    }
}

// Replaces %10%, %11% and %12% in a text by their folders.
std::string expandDirIds(const std::string& text) {
    std::string out = text;
    for (int id : {DIRID_WINDOWS, DIRID_SYSTEM, DIRID_DRIVERS}) {
        std::string folder;
        dirIdPath(std::to_string(id), folder);
        std::string mark = "%" + std::to_string(id) + "%";
        for (size_t at; (at = out.find(mark)) != std::string::npos;) out.replace(at, mark.size(), folder);
    }
    return out;
}

uint32_t parseNumber(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }

// Every id of a device, hardware ids first, then compatible ids.
std::vector<std::string> deviceIds(const Device& d) {
    std::vector<std::string> ids;
    std::string v = hardwareIdProperty(d);
    size_t pos = 0;
    while (pos < v.size()) {
        size_t nul = v.find('\0', pos);
        std::string s = v.substr(pos, nul == std::string::npos ? std::string::npos : nul - pos);
        if (s.empty()) break;
        ids.push_back(s);
        if (nul == std::string::npos) break;
        pos = nul + 1;
    }
    ids.insert(ids.end(), d.compatibleIds.begin(), d.compatibleIds.end());
    return ids;
}

bool carriesId(const Device& d, const std::string& id) {
    for (const auto& i : deviceIds(d))
        if (equalNoCase(i, id)) return true;
    return false;
}

// The section of a Windows 2000 install: decorated for NT first.
const std::vector<InfLine>* installSection(const Inf& inf, const std::string& name, std::string& used) {
    for (const char* suffix : {".NTx86", ".NT", ""}) {
        if (const auto* s = inf.section(name + suffix)) {
            used = name + suffix;
            return s;
        }
    }
    return nullptr;
}

std::vector<std::string> directiveValues(const std::vector<InfLine>& section, const char* directive) {
    std::vector<std::string> out;
    for (const auto& l : section)
        if (equalNoCase(l.key, directive))
            for (const auto& f : l.fields)
                if (!f.empty()) out.push_back(f);
    return out;
}

struct FileCopy {
    std::string sourceHost;
    std::string targetFolder;  // Windows path
    std::string targetName;
};

// Collects the copies of the CopyFiles directives, checking that every
// source is there before anything is copied.
bool collectCopies(const Inf& inf, const std::vector<InfLine>& section, std::vector<FileCopy>& copies,
                   unsigned long& error) {
    auto destination = [&](const std::string& list, std::string& folder) {
        const auto* dirs = inf.section("DestinationDirs");
        if (!dirs) return false;
        const InfLine* chosen = nullptr;
        for (const auto& l : *dirs) {
            if (equalNoCase(l.key, list)) chosen = &l;
            if (!chosen && equalNoCase(l.key, "DefaultDestDir")) chosen = &l;
        }
        for (const auto& l : *dirs)
            if (equalNoCase(l.key, list)) chosen = &l;
        if (!chosen || chosen->fields.empty() || !dirIdPath(chosen->fields[0], folder)) return false;
        if (chosen->fields.size() > 1 && !chosen->fields[1].empty()) folder += "\\" + chosen->fields[1];
        return true;
    };
    auto addFile = [&](const std::string& list, const std::string& target, const std::string& source) {
        std::string folder;
        if (!destination(list, folder)) {
            error = ERROR_LINE_NOT_FOUND;
            return false;
        }
        std::string disk, subdir;
        bool listed = false;
        if (const auto* files = inf.section("SourceDisksFiles")) {
            for (const auto& l : *files) {
                if (!equalNoCase(l.key, source)) continue;
                listed = true;
                if (!l.fields.empty()) disk = l.fields[0];
                if (l.fields.size() > 1) subdir = l.fields[1];
            }
        }
        if (!listed) {
            error = ERROR_LINE_NOT_FOUND;
            return false;
        }
        std::string path = inf.folder;
        if (const auto* disks = inf.section("SourceDisksNames")) {
            for (const auto& l : *disks)
                if (l.key == disk && l.fields.size() > 3 && !l.fields[3].empty() && l.fields[3] != "\\")
                    path += (l.fields[3][0] == '\\' ? "" : "\\") + l.fields[3];
        }
        if (!subdir.empty()) path += "\\" + subdir;
        std::string host = hostFile(path + "\\" + source);
        if (host.empty()) {
            error = ERROR_FILE_NOT_FOUND;
            return false;
        }
        copies.push_back(FileCopy{host, folder, target});
        return true;
    };
    for (const auto& list : directiveValues(section, "CopyFiles")) {
        if (list[0] == '@') {
            if (!addFile("", list.substr(1), list.substr(1))) return false;
            continue;
        }
        const auto* lines = inf.section(list);
        if (!lines) {
            error = ERROR_SECTION_NOT_FOUND;
            return false;
        }
        for (const auto& l : *lines) {
            std::string target = !l.key.empty() ? l.key : (l.fields.empty() ? "" : l.fields[0]);
            if (target.empty()) continue;
            std::string source = l.fields.size() > 1 && !l.fields[1].empty() && l.key.empty() ? l.fields[1] : target;
            if (!addFile(list, target, source)) return false;
        }
    }
    return true;
}

// Copies the files. A target that the machine marks in use cannot be
// replaced now: the new file is written beside it and the replacement left
// for the next start, which the binding then needs.
bool doCopies(const std::vector<FileCopy>& copies, bool& needsRestart, unsigned long& error) {
    for (const auto& c : copies) {
        ResolvedPath folder;
        if (!resolve(c.targetFolder, folder, error)) return false;
        std::error_code ec;
        std::filesystem::create_directories(folder.host, ec);
        ResolvedPath target;
        if (!resolve(c.targetFolder + "\\" + c.targetName, target, error)) return false;
        if (target.exists && sharingRefuses(target.windows, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
            if (!replaceAtNextStart(c.sourceHost, target, error)) return false;
            needsRestart = true;
            continue;
        }
        std::filesystem::copy_file(c.sourceHost, target.host, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            error = ERROR_ACCESS_DENIED;
            return false;
        }
        // The new file has the attributes of a file just written.
        machine().fileAttributes.erase(target.windows);
        noteFileData(target.host);
    }
    return true;
}

// Carries out the AddReg directives of a section; HKR is `hkr`.
bool doAddReg(const Inf& inf, const std::vector<InfLine>& section, const std::string& hkr, unsigned long& error) {
    for (const auto& list : directiveValues(section, "AddReg")) {
        const auto* lines = inf.section(list);
        if (!lines) {
            error = ERROR_SECTION_NOT_FOUND;
            return false;
        }
        for (const auto& l : *lines) {
            if (l.fields.empty()) continue;
            const std::string& root = l.fields[0];
            std::string path;
            if (equalNoCase(root, "HKR")) path = hkr;
            else if (equalNoCase(root, "HKLM") || equalNoCase(root, "HKEY_LOCAL_MACHINE")) path = "";
            else if (equalNoCase(root, "HKCR")) path = "SOFTWARE\\Classes";
            else continue;  // user hives are not part of the machine
            std::string sub = l.fields.size() > 1 ? l.fields[1] : "";
            if (!sub.empty()) path = path.empty() ? sub : path + "\\" + sub;
            RegKey& key = ensureKey(machine(), path);
            uint32_t flags = l.fields.size() > 3 ? parseNumber(l.fields[3]) : 0;
            if (flags & FLG_ADDREG_KEYONLY) continue;
            if (l.fields.size() < 3) continue;
            const std::string& name = l.fields[2];
            if ((flags & FLG_ADDREG_NOCLOBBER) && key.values.count(name)) continue;
            RegValue v;
            if ((flags & FLG_ADDREG_TYPE_DWORD) == FLG_ADDREG_TYPE_DWORD) {
                v.type = REG_DWORD;
                v.data = regDword(l.fields.size() > 4 ? parseNumber(l.fields[4]) : 0);
            } else if (flags & FLG_ADDREG_TYPE_MULTI_SZ) {
                v.type = REG_MULTI_SZ;
                for (size_t i = 4; i < l.fields.size(); ++i) v.data += l.fields[i] + std::string(1, '\0');
                v.data += std::string(1, '\0');
            } else if (flags & FLG_ADDREG_BINVALUETYPE) {
                v.type = REG_BINARY;
                for (size_t i = 4; i < l.fields.size(); ++i) v.data += static_cast<char>(std::strtoul(l.fields[i].c_str(), nullptr, 16));
            } else {
                v.type = (flags & FLG_ADDREG_TYPE_EXPAND_SZ) ? REG_EXPAND_SZ : REG_SZ;
                v.data = regSz(l.fields.size() > 4 ? l.fields[4] : "");
            }
            key.values[name] = v;
        }
    }
    return true;
}

// The AddService directives of the install's .Services section.
bool doServices(const Inf& inf, const std::string& install, const std::string& instanceId, unsigned long& error) {
    const auto* section = inf.section(install + ".Services");
    if (!section) return true;
    for (const auto& l : *section) {
        if (!equalNoCase(l.key, "AddService") || l.fields.size() < 3) continue;
        const std::string& name = l.fields[0];
        uint32_t flags = parseNumber(l.fields[1]);
        const auto* svc = inf.section(l.fields[2]);
        if (!svc) {
            error = ERROR_SECTION_NOT_FOUND;
            return false;
        }
        RegKey& key = ensureKey(machine(), std::string(ServicesRoot) + "\\" + name);
        uint32_t type = parseNumber(inf.value(l.fields[2], "ServiceType"));
        key.values["Type"] = RegValue{REG_DWORD, regDword(type)};
        key.values["Start"] = RegValue{REG_DWORD, regDword(parseNumber(inf.value(l.fields[2], "StartType")))};
        key.values["ErrorControl"] = RegValue{REG_DWORD, regDword(parseNumber(inf.value(l.fields[2], "ErrorControl")))};
        std::string image = expandDirIds(inf.value(l.fields[2], "ServiceBinary"));
        // Kernel drivers are registered relative to the Windows folder.
        std::string windir = windowsDirectory(machine()) + "\\";
        if ((type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER) &&
            equalNoCase(image.substr(0, windir.size()), windir))
            image = image.substr(windir.size());
        key.values["ImagePath"] = RegValue{REG_EXPAND_SZ, regSz(image)};
        std::string display = inf.value(l.fields[2], "DisplayName");
        if (!display.empty()) key.values["DisplayName"] = RegValue{REG_SZ, regSz(display)};
        registerService(name, display);  // installed through the service control manager
        std::string description = inf.value(l.fields[2], "Description");
        if (!description.empty()) key.values["Description"] = RegValue{REG_SZ, regSz(description)};
        if (flags & SPSVCINST_ASSOCSERVICE)  // the device's function driver
            ensureKey(machine(), EnumKey + instanceId).values["Service"] = RegValue{REG_SZ, regSz(name)};
    }
    return true;
}

// The device's driver key below the class key, allocated at its first
// binding and kept in its Enum key's Driver value.
std::string driverKey(const Device& d, const std::string& classGuid) {
    RegKey& e = ensureKey(machine(), EnumKey + d.instanceId);
    auto it = e.values.find("Driver");
    if (it != e.values.end()) return ClassKey + valueText(it->second);
    std::string cls = upper(classGuid);
    RegKey& c = ensureKey(machine(), ClassKey + cls);
    int n = 0;
    char number[16];
    for (;; ++n) {
        std::snprintf(number, sizeof number, "%04d", n);
        if (!c.subkeys.count(number)) break;
    }
    std::string rel = cls + "\\" + number;
    e.values["Driver"] = RegValue{REG_SZ, regSz(rel)};
    ensureKey(machine(), ClassKey + rel);
    return ClassKey + rel;
}

// What the driver key tells of the binding, as Windows writes it: the INF's
// file name (Windows: the name of its copy in the INF folder), the install
// section as the model names it and the decoration that was used.
void recordDriverInf(const std::string& driver, const std::string& infPath, const std::string& section,
                     const std::string& used) {
    RegKey& k = ensureKey(machine(), driver);
    k.values["InfPath"] = RegValue{REG_SZ, regSz(infPath.substr(infPath.find_last_of('\\') + 1))};
    k.values["InfSection"] = RegValue{REG_SZ, regSz(section)};
    k.values["InfSectionExt"] = RegValue{REG_SZ, regSz(used.substr(section.size()))};
}

// Child functions that a multifunction parent's hardware key declares, in
// the form Windows' multifunction driver reads: one subkey Child<NNNN> of
// "Device Parameters" per function, with the function's hardware id in its
// value HardwareID. Each becomes a present device with the parent set. A
// parent that starts its new driver at once (no restart) exposes only those:
// the functions its earlier driver exposed and this one does not are gone.
void enumerateChildren(const std::string parentId, bool startedNow) {
    RegKey* params = findKey(machine(), EnumKey + parentId + "\\Device Parameters");
    if (!params) return;
    std::string tail = parentId.substr(parentId.find_last_of('\\') + 1);
    std::vector<std::pair<std::string, std::string>> found;  // instance id, hardware id
    for (const auto& [name, key] : params->subkeys) {
        if (name.size() < 6 || !equalNoCase(name.substr(0, 5), "Child")) continue;
        auto v = key.values.find("HardwareID");
        if (v == key.values.end()) continue;
        std::string id = v->second.data.substr(0, v->second.data.find('\0'));
        if (id.empty()) continue;
        char number[24];
        std::snprintf(number, sizeof number, "%02ld", std::strtol(name.c_str() + 5, nullptr, 10));
        found.emplace_back(id + "\\4&" + tail + "&0&" + number, id);
    }
    if (startedNow && !found.empty()) {
        for (auto& d : machine().devices) {
            if (!equalNoCase(d.parent, parentId) || d.rootCreated) continue;
            bool declared = false;
            for (const auto& f : found)
                for (const auto& own : d.hardwareIds) declared = declared || equalNoCase(f.second, own);
            if (!declared) d.present = false;
        }
    }
    for (const auto& [instance, id] : found) {
        if (Device* d = findDevice(instance)) {
            if (d->hardware) d->present = true;
            continue;
        }
        Device child;
        child.instanceId = instance;
        child.hardwareIds = {id};
        child.parent = parentId;
        child.description = "Multifunction device function";
        machine().devices.push_back(child);
    }
}

// Binds the install section to one device.
bool bindDevice(const Inf& inf, const InfModel& model, Device& d, bool& restart, unsigned long& error) {
    std::string used;
    const auto* section = installSection(inf, model.installSection, used);
    if (!section) {
        error = ERROR_SECTION_NOT_FOUND;
        return false;
    }
    std::vector<FileCopy> copies;
    if (!collectCopies(inf, *section, copies, error)) return false;
    bool inUse = false;
    if (!doCopies(copies, inUse, error)) return false;
    std::string classGuid = inf.value("Version", "ClassGuid");
    if (classGuid.empty()) classGuid = d.classGuid;
    std::string driver = driverKey(d, classGuid);
    if (!doAddReg(inf, *section, driver, error)) return false;
    recordDriverInf(driver, inf.path, model.installSection, used);
    if (const auto* hw = inf.section(used + ".HW"))
        if (!doAddReg(inf, *hw, EnumKey + d.instanceId + "\\Device Parameters", error)) return false;
    if (!doServices(inf, used, d.instanceId, error)) return false;
    std::string cls = inf.value("Version", "Class");
    if (!cls.empty()) d.className = cls;
    d.classGuid = classGuid;
    d.boundInf = inf.path;
    d.boundSection = used;
    d.restartAsked = d.needsRestart || inUse;
    if (d.restartAsked) restart = true;
    enumerateChildren(d.instanceId, !d.restartAsked);  // last: it may move the machine's devices
    return true;
}

}  // namespace

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                               PBOOL reboot) {
    Call c("UpdateDriverForPlugAndPlayDevicesA", {arg(static_cast<const void*>(parent)), arg(hardwareId),
                                                  arg(infPath), argHex(flags), arg(static_cast<const void*>(reboot))});
    if (c.injected()) return FALSE;
    if (!hardwareId || !*hardwareId || !infPath) return fail(ERROR_INVALID_PARAMETER);
    if (flags & ~(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE))
        return fail(ERROR_INVALID_FLAGS);
    if (!isAdministrator()) return fail(ERROR_ACCESS_DENIED);
    Inf inf;
    unsigned long error = 0;
    if (!loadInf(infPath, inf, error)) return fail(static_cast<DWORD>(error));
    std::vector<InfModel> models = infModels(inf);
    // The present devices that carry the id, each with the model that best
    // matches it: the first of its own ids that the INF lists.
    std::vector<std::pair<std::string, InfModel>> targets;
    for (const auto& d : machine().devices) {
        if (!d.present || !d.registered || !carriesId(d, hardwareId)) continue;
        for (const auto& id : deviceIds(d)) {
            if (const InfModel* m = findModel(models, id)) {
                targets.emplace_back(d.instanceId, *m);
                break;
            }
        }
    }
    if (targets.empty()) return fail(ERROR_NO_SUCH_DEVINST);
    bool restart = false;
    // Devices are looked up again for each binding: a binding may add child
    // functions to the machine's list.
    for (const auto& [instance, model] : targets) {
        Device* d = findDevice(instance);
        if (!d) continue;
        if (!bindDevice(inf, model, *d, restart, error)) {
            commit();
            SetLastError(static_cast<DWORD>(error));
            return FALSE;
        }
    }
    commit();
    if (reboot) *reboot = restart ? TRUE : FALSE;
    return succeeded();
}
