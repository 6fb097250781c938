// prefixtool: prepares and reads back the state of a Wine prefix for the
// installer's Wine scenarios. Several commands can be given in one run,
// separated by a lone "+", so that one Wine session does the work of many.
// Each command's output starts with a line "== <command>"; a failing command
// prints "error <where> <last error>" and makes the exit code 1.
#include <windows.h>
#include <setupapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System setup class.
const GUID SystemClassGuid = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

typedef std::vector<std::string> Args;

int fail(const char* where) {
    std::printf("error %s %lu\n", where, static_cast<unsigned long>(GetLastError()));
    return 1;
}

// A command's result for the answer of a registry call: 0 on success, else
// its failure; with missingIsAnswer, a key or value that does not exist is
// the answer "missing".
int registryResult(LONG rc, const char* where, bool missingIsAnswer = false) {
    if (rc == ERROR_SUCCESS) return 0;
    if (missingIsAnswer && rc == ERROR_FILE_NOT_FOUND) {
        std::printf("missing\n");
        return 0;
    }
    SetLastError(static_cast<DWORD>(rc));
    return fail(where);
}

bool splitKey(const std::string& path, HKEY& root, std::string& sub) {
    size_t slash = path.find('\\');
    std::string head = path.substr(0, slash);
    sub = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE") root = HKEY_LOCAL_MACHINE;
    else if (head == "HKCU" || head == "HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
    else return false;
    return true;
}

std::string multiSz(const Args& ids) {
    std::string data;
    for (const std::string& id : ids) {
        data += id;
        data += '\0';
    }
    data += '\0';
    return data;
}

// Reads a device's registry property as bytes; empty when it has none.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, nullptr, 0, &size);
    if (size == 0) return std::string();
    std::string data(size, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, reinterpret_cast<BYTE*>(&data[0]), size,
                                           &size))
        return std::string();
    data.resize(size);
    return data;
}

std::string joinMultiSz(const std::string& data) {
    std::string out;
    size_t pos = 0;
    while (pos < data.size() && data[pos] != '\0') {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) end = data.size();
        if (!out.empty()) out += ';';
        out += data.substr(pos, end - pos);
        pos = end + 1;
    }
    return out;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Whether text contains one of the words, letter case not counting.
bool containsAny(const std::string& text, const Args& words) {
    std::string lower = lowerCase(text);
    for (const std::string& w : words)
        if (lower.find(lowerCase(w)) != std::string::npos) return true;
    return false;
}

std::string regString(HKEY key, const char* name) {
    char buffer[1024];
    DWORD type = 0, size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return std::string();
    buffer[size] = '\0';
    return buffer;
}

// device-add <hardware id>... [--compatible <compatible id>...]: a
// root-enumerated device of the System class carrying the ids, registered
// with the Plug and Play manager.
int deviceAdd(const Args& a) {
    Args hardware, compatible;
    bool compatiblePart = false;
    for (const std::string& word : a) {
        if (word == "--compatible") compatiblePart = true;
        else (compatiblePart ? compatible : hardware).push_back(word);
    }
    if (hardware.empty()) return fail("usage");
    HDEVINFO set = SetupDiCreateDeviceInfoList(&SystemClassGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    int rc = 0;
    std::string ids = multiSz(hardware), compatibleIds = multiSz(compatible);
    char instance[512] = "";
    if (!SetupDiCreateDeviceInfoA(set, "KORPATEST", &SystemClassGuid, nullptr, nullptr, DICD_GENERATE_ID, &info))
        rc = fail("SetupDiCreateDeviceInfoA");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.data()),
                                                static_cast<DWORD>(ids.size())))
        rc = fail("SetupDiSetDeviceRegistryPropertyA");
    else if (!compatible.empty() &&
             !SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_COMPATIBLEIDS,
                                                reinterpret_cast<const BYTE*>(compatibleIds.data()),
                                                static_cast<DWORD>(compatibleIds.size())))
        rc = fail("SetupDiSetDeviceRegistryPropertyA-compatible");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info))
        rc = fail("DIF_REGISTERDEVICE");
    else if (!SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr))
        rc = fail("SetupDiGetDeviceInstanceIdA");
    else
        std::printf("%s\n", instance);
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// device-remove <instance id>
int deviceRemove(const Args& a) {
    if (a.size() != 1) return fail("usage");
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    int rc = 0;
    if (!SetupDiOpenDeviceInfoA(set, a[0].c_str(), nullptr, 0, &info)) rc = fail("SetupDiOpenDeviceInfoA");
    else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &info)) rc = fail("DIF_REMOVE");
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// devices-remove <text>...: removes every device, present or not, whose
// instance id or hardware ids contain one of the texts (letter case not
// counting); prints each removed instance.
int devicesRemove(const Args& a) {
    if (a.empty()) return fail("usage");
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    int rc = 0;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &info)) ++count;
    // From the last to the first, so that a removal moves no device still to
    // be looked at.
    for (DWORD i = count; i-- > 0;) {
        if (!SetupDiEnumDeviceInfo(set, i, &info)) continue;
        char instance[512] = "";
        SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr);
        std::string ids = joinMultiSz(deviceProperty(set, &info, SPDRP_HARDWAREID));
        if (!containsAny(instance, a) && !containsAny(ids, a)) continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &info)) std::printf("removed %s\n", instance);
        else rc = fail("DIF_REMOVE");
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// devices [text]: every present device whose instance id or hardware ids
// contain the text, as "instance|ids|InfPath|InfSection".
int devices(const Args& a) {
    std::string filter = a.empty() ? std::string() : a[0];
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        char instance[512] = "";
        SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr);
        std::string ids = joinMultiSz(deviceProperty(set, &info, SPDRP_HARDWAREID));
        if (!filter.empty() && std::string(instance).find(filter) == std::string::npos &&
            ids.find(filter) == std::string::npos)
            continue;
        std::string infPath, infSection;
        HKEY driverKey = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (driverKey != INVALID_HANDLE_VALUE) {
            infPath = regString(driverKey, "InfPath");
            infSection = regString(driverKey, "InfSection");
            RegCloseKey(driverKey);
        }
        std::printf("%s|%s|%s|%s\n", instance, ids.c_str(), infPath.c_str(), infSection.c_str());
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

// Opens the service control manager. Under qemu its pipe can be missing for
// a moment while it serves another client: such a failure is tried again for
// up to 10 s.
SC_HANDLE openManager(DWORD access) {
    for (int attempt = 0;; ++attempt) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
        DWORD error = GetLastError();
        if (manager || attempt == 50 || (error != RPC_S_SERVER_UNAVAILABLE && error != RPC_S_SERVER_TOO_BUSY))
            return manager;
        Sleep(200);
    }
}

// service-create <name> <type> <start> <image path> <display name>
int serviceCreate(const Args& a) {
    if (a.size() != 5) return fail("usage");
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    SC_HANDLE service = CreateServiceA(manager, a[0].c_str(), a[4].c_str(), SERVICE_ALL_ACCESS,
                                       std::strtoul(a[1].c_str(), nullptr, 0), std::strtoul(a[2].c_str(), nullptr, 0),
                                       SERVICE_ERROR_NORMAL, a[3].c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    int rc = service ? 0 : fail("CreateServiceA");
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

// Prints an open service's configuration and state as one line:
// "type=0x10 start=2 state=1 image=... display=...".
int printService(SC_HANDLE service) {
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } buffer;
    DWORD needed = 0;
    SERVICE_STATUS status;
    if (!QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed)) return fail("QueryServiceConfigA");
    if (!QueryServiceStatus(service, &status)) return fail("QueryServiceStatus");
    std::printf("type=0x%lx start=%lu state=%lu image=%s display=%s\n",
                static_cast<unsigned long>(buffer.config.dwServiceType),
                static_cast<unsigned long>(buffer.config.dwStartType), static_cast<unsigned long>(status.dwCurrentState),
                buffer.config.lpBinaryPathName, buffer.config.lpDisplayName);
    return 0;
}

// service-query <name>: "missing", or the service's line (printService).
int serviceQuery(const Args& a) {
    if (a.size() != 1) return fail("usage");
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    int rc = 0;
    SC_HANDLE service = OpenServiceA(manager, a[0].c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) std::printf("missing\n");
        else rc = fail("OpenServiceA");
    } else {
        rc = printService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return rc;
}

// The names of the registered services (drivers too) that contain one of the
// words, letter case not counting.
bool matchingServices(SC_HANDLE manager, const Args& words, std::vector<std::string>& names) {
    union {
        ENUM_SERVICE_STATUSA entries[1];
        char bytes[65536];
    } buffer;
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        BOOL done = EnumServicesStatusA(manager, SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL, buffer.entries,
                                        sizeof buffer, &needed, &count, &resume);
        if (!done && GetLastError() != ERROR_MORE_DATA) return false;
        for (DWORD i = 0; i < count; ++i)
            if (containsAny(buffer.entries[i].lpServiceName, words)) names.push_back(buffer.entries[i].lpServiceName);
        if (done || count == 0) return true;
    }
}

// services <word>...: "name line" (printService) for every registered
// service whose name contains one of the words.
int services(const Args& a) {
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    std::vector<std::string> names;
    int rc = matchingServices(manager, a, names) ? 0 : fail("EnumServicesStatusA");
    for (const std::string& name : names) {
        SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
        if (!service) {
            rc = fail("OpenServiceA");
            continue;
        }
        std::printf("%s ", name.c_str());
        if (printService(service) != 0) rc = 1;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return rc;
}

// service-delete <name>
int serviceDelete(const Args& a) {
    if (a.size() != 1) return fail("usage");
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    int rc = 0;
    SC_HANDLE service = OpenServiceA(manager, a[0].c_str(), DELETE);
    if (!service) rc = fail("OpenServiceA");
    else {
        if (!DeleteService(service)) rc = fail("DeleteService");
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return rc;
}

// service-start <name>
int serviceStart(const Args& a) {
    if (a.size() != 1) return fail("usage");
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    int rc = 0;
    SC_HANDLE service = OpenServiceA(manager, a[0].c_str(), SERVICE_START);
    if (!service) rc = fail("OpenServiceA");
    else {
        if (!StartServiceA(service, 0, nullptr)) rc = fail("StartServiceA");
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return rc;
}

// service-wait-gone <name> <seconds>: waits until the service is no longer
// registered, keeping the session (and so the service) alive meanwhile.
int serviceWaitGone(const Args& a) {
    if (a.size() != 2) return fail("usage");
    DWORD deadline = GetTickCount() + 1000 * std::strtoul(a[1].c_str(), nullptr, 10);
    for (;;) {
        SC_HANDLE manager = openManager(SC_MANAGER_CONNECT);
        if (!manager) return fail("OpenSCManagerA");
        SC_HANDLE service = OpenServiceA(manager, a[0].c_str(), SERVICE_QUERY_STATUS);
        DWORD error = GetLastError();
        SERVICE_STATUS status;
        bool stopped = false;
        if (service) {
            stopped = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        if (!service && error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("gone\n");
            return 0;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
            std::printf("still registered%s\n", stopped ? " (stopped)" : "");
            return 1;
        }
        Sleep(200);
    }
}

// service-stop-when-running <name> <seconds>: waits until the service
// reports running, sends it a stop through the service control manager and
// prints the status that the service answered: "state=<n> wait=<hint>".
int serviceStopWhenRunning(const Args& a) {
    if (a.size() != 2) return fail("usage");
    DWORD deadline = GetTickCount() + 1000 * std::strtoul(a[1].c_str(), nullptr, 10);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return fail("OpenSCManagerA");
    int rc = 1;
    while (rc && static_cast<LONG>(GetTickCount() - deadline) < 0) {
        SC_HANDLE service = OpenServiceA(manager, a[0].c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
        SERVICE_STATUS status;
        if (service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
            if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                std::printf("state=%lu wait=%lu\n", static_cast<unsigned long>(status.dwCurrentState),
                            static_cast<unsigned long>(status.dwWaitHint));
                rc = 0;
            } else {
                fail("ControlService");
            }
        }
        if (service) CloseServiceHandle(service);
        if (rc) Sleep(10);
    }
    CloseServiceHandle(manager);
    if (rc) std::printf("never running\n");
    return rc;
}

const DWORD Sentinel = 0xDEADBEEF;

// One line of a conformance check: what was called, its result and the last
// error it left (0xdeadbeef when it left the one set before the call).
void check(const char* what, long result) {
    std::printf("%s %ld 0x%lx\n", what, result, static_cast<unsigned long>(GetLastError()));
}

SC_HANDLE createDemandService(SC_HANDLE manager, const std::string& name, const std::string& display) {
    return CreateServiceA(manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\windows\\system32\\notepad.exe", nullptr,
                          nullptr, nullptr, nullptr, nullptr);
}

// service-database <name>: a service whose key is deleted with the registry
// functions, and what the service control manager then answers for it.
int serviceDatabase(const Args& a) {
    if (a.size() != 1) return fail("usage");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    SC_HANDLE service = createDemandService(manager, a[0], a[0] + " display");
    if (!service) {
        CloseServiceHandle(manager);
        return fail("CreateServiceA");
    }
    CloseServiceHandle(service);
    SetLastError(Sentinel);
    check("RegDeleteKeyA", RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Services\\" + a[0]).c_str()));
    SetLastError(Sentinel);
    service = OpenServiceA(manager, a[0].c_str(), SERVICE_ALL_ACCESS);
    check("OpenServiceA", service != nullptr);
    const std::pair<std::string, std::string> creations[] = {{a[0], "another display"}, {a[0] + "2", a[0] + " display"}};
    for (const auto& [name, display] : creations) {
        SetLastError(Sentinel);
        SC_HANDLE created = createDemandService(manager, name, display);
        check(name == a[0] ? "CreateServiceA-same-name" : "CreateServiceA-same-display", created != nullptr);
        if (created) {
            DeleteService(created);
            CloseServiceHandle(created);
        }
    }
    if (service) {
        SetLastError(Sentinel);
        check("DeleteService", DeleteService(service));
        CloseServiceHandle(service);
    }
    SetLastError(Sentinel);
    service = OpenServiceA(manager, a[0].c_str(), SERVICE_ALL_ACCESS);
    check("OpenServiceA-after-close", service != nullptr);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

// last-errors: the last error that a failing registry call and successful
// Setup API calls leave.
int lastErrors(const Args&) {
    HKEY key;
    SetLastError(Sentinel);
    check("RegOpenKeyExA-missing", RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KorpaMissing", 0, KEY_READ, &key));
    SetLastError(Sentinel);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    check("SetupDiGetClassDevsA", set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return 1;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    SetLastError(Sentinel);
    check("SetupDiEnumDeviceInfo", SetupDiEnumDeviceInfo(set, 0, &info));
    SetLastError(Sentinel);
    check("SetupDiDestroyDeviceInfoList", SetupDiDestroyDeviceInfoList(set));
    return 0;
}

// The service "korpaearly" (this program started by the service control
// manager with "serve-early-stop"): it reports stopped first and only then
// goes on working; main returns as soon as the dispatcher does. Each step
// leaves a file in C:\ behind.
SERVICE_STATUS_HANDLE earlyStatus;

void markStep(const char* path) {
    if (FILE* f = std::fopen(path, "w")) std::fclose(f);
}

void WINAPI ignoreControls(DWORD) {}

void WINAPI stopsEarly(DWORD, LPSTR*) {
    const DWORD WorkAfterTheStop = 1500;
    earlyStatus = RegisterServiceCtrlHandlerA("korpaearly", ignoreControls);
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    SetServiceStatus(earlyStatus, &status);
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(earlyStatus, &status);
    Sleep(WorkAfterTheStop);
    markStep("C:\\korpaearly-after-stop");
}

int serveEarlyStop() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("korpaearly"), stopsEarly}, {nullptr, nullptr}};
    markStep(StartServiceCtrlDispatcherA(table) ? "C:\\korpaearly-returned" : "C:\\korpaearly-failed");
    return 0;
}

std::string typeName(DWORD type) {
    switch (type) {
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_BINARY: return "REG_BINARY";
        default: return "type" + std::to_string(type);
    }
}

std::string keyDacl(HKEY key) {
    DWORD size = 0;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) return "?";
    std::vector<char> sd(size);
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS) return "?";
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "?";
    std::string out = text;
    LocalFree(text);
    return out;
}

std::vector<std::string> subkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

void dumpKey(HKEY key, const std::string& name) {
    std::printf("key %s %s\n", name.c_str(), keyDacl(key).c_str());
    char valueName[512];
    BYTE data[4096];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof valueName, dataSize = sizeof data - 2, type = 0;
        if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        data[dataSize] = data[dataSize + 1] = 0;
        std::string shown;
        if (type == REG_DWORD && dataSize == 4) {
            DWORD v;
            std::memcpy(&v, data, sizeof v);
            shown = std::to_string(v);
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            shown = reinterpret_cast<char*>(data);
        } else if (type == REG_MULTI_SZ) {
            shown = joinMultiSz(std::string(reinterpret_cast<char*>(data), dataSize));
        } else {
            for (DWORD b = 0; b < dataSize; ++b) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", data[b]);
                shown += hex;
            }
        }
        std::printf("value %s\\%s %s %s\n", name.c_str(), valueName, typeName(type).c_str(), shown.c_str());
    }
    for (const std::string& c : subkeyNames(key)) {
        HKEY sub;
        if (RegOpenKeyExA(key, c.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
            std::printf("key %s\\%s unreadable %lu\n", name.c_str(), c.c_str(), static_cast<unsigned long>(GetLastError()));
            continue;
        }
        dumpKey(sub, name + "\\" + c);
        RegCloseKey(sub);
    }
}

// reg-dump <key> [word...]: the key, its values and subkeys, each key with
// its DACL; "missing" when the key does not exist. With words, only the
// subkeys whose names contain one of them (letter case not counting), each
// with everything below it.
int regDump(const Args& a) {
    HKEY root, key;
    std::string sub;
    if (a.empty() || !splitKey(a[0], root, sub)) return fail("usage");
    LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return registryResult(rc, "RegOpenKeyExA", true);
    Args words(a.begin() + 1, a.end());
    if (words.empty()) dumpKey(key, a[0]);
    for (const std::string& c : words.empty() ? std::vector<std::string>() : subkeyNames(key)) {
        HKEY child;
        if (!containsAny(c, words)) continue;
        if (RegOpenKeyExA(key, c.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) {
            std::printf("key %s\\%s unreadable\n", a[0].c_str(), c.c_str());
            continue;
        }
        dumpKey(child, a[0] + "\\" + c);
        RegCloseKey(child);
    }
    RegCloseKey(key);
    return 0;
}

// reg-set <key> <value name> <REG_SZ|REG_EXPAND_SZ|REG_DWORD> <data>: creates
// the key when needed; a value name "@" means the default value.
// reg-set KEY NAME TYPE DATA...: REG_DWORD (a number), REG_SZ and
// REG_EXPAND_SZ (a text), REG_MULTI_SZ (one word an entry), or any other type
// by its number with the data in hex.
int regSet(const Args& a) {
    HKEY root, key;
    std::string sub;
    if (a.size() < 3 || (a.size() != 4 && a[2] != "REG_MULTI_SZ") || !splitKey(a[0], root, sub)) return fail("usage");
    std::string data;
    DWORD type = REG_SZ;
    if (a[2] == "REG_DWORD") {
        DWORD v = std::strtoul(a[3].c_str(), nullptr, 0);
        type = REG_DWORD;
        data.assign(reinterpret_cast<const char*>(&v), sizeof v);
    } else if (a[2] == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        data = multiSz(Args(a.begin() + 3, a.end()));
    } else if (a[2] == "REG_SZ" || a[2] == "REG_EXPAND_SZ") {
        type = a[2] == "REG_EXPAND_SZ" ? REG_EXPAND_SZ : REG_SZ;
        data.assign(a[3].c_str(), a[3].size() + 1);
    } else {
        type = std::strtoul(a[2].c_str(), nullptr, 0);
        for (size_t i = 0; i + 1 < a[3].size(); i += 2)
            data += static_cast<char>(std::strtoul(a[3].substr(i, 2).c_str(), nullptr, 16));
    }
    LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return registryResult(rc, "RegCreateKeyExA");
    const char* name = a[1] == "@" ? nullptr : a[1].c_str();
    rc = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return registryResult(rc, "RegSetValueExA");
}

// reg-create <key>
int regCreate(const Args& a) {
    HKEY root, key;
    std::string sub;
    if (a.size() != 1 || !splitKey(a[0], root, sub)) return fail("usage");
    LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return registryResult(rc, "RegCreateKeyExA");
    RegCloseKey(key);
    return 0;
}

LONG setKeyDacl(HKEY parent, const std::string& name, const char* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return static_cast<LONG>(GetLastError());
    HKEY key;
    LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, WRITE_DAC, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
        RegCloseKey(key);
    }
    LocalFree(sd);
    return rc;
}

// reg-dacl <key> <SDDL>: replaces the key's DACL, e.g. "D:P(A;;KR;;;SY)".
int regDacl(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    return registryResult(setKeyDacl(root, sub, a[1].c_str()), "RegSetKeySecurity");
}

// reg-security KEY SDDL: the DACL of the descriptor, and its owner where it
// names one, as an administrator may set them.
int regSecurity(const Args& a) {
    HKEY root, key;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(a[1].c_str(), SDDL_REVISION_1, &sd, nullptr))
        return fail("ConvertStringSecurityDescriptorToSecurityDescriptorA");
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
    if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner) parts |= OWNER_SECURITY_INFORMATION;
    LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, WRITE_DAC | WRITE_OWNER, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetKeySecurity(key, parts, sd);
        RegCloseKey(key);
    }
    LocalFree(sd);
    return registryResult(rc, "RegSetKeySecurity");
}

// Deletes a key with everything below it. A key whose DACL refuses the
// deletion gets Administrators' full control first.
LONG deleteTree(HKEY parent, const std::string& name) {
    HKEY key;
    LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc == ERROR_ACCESS_DENIED) {
        rc = setKeyDacl(parent, name, "D:(A;;KA;;;BA)");
        if (rc == ERROR_SUCCESS) rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
    }
    if (rc != ERROR_SUCCESS) return rc;
    for (const std::string& c : subkeyNames(key)) {
        rc = deleteTree(key, c);
        if (rc != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? RegDeleteKeyA(parent, name.c_str()) : rc;
}

// reg-delete <key>: deletes the key and everything below it; "missing" when
// there is no such key.
int regDelete(const Args& a) {
    HKEY root;
    std::string sub;
    if (a.size() != 1 || !splitKey(a[0], root, sub) || sub.empty()) return fail("usage");
    return registryResult(deleteTree(root, sub), "deleteTree", true);
}

// reg-delete-value <key> <value name>; "missing" when there is no such value.
int regDeleteValue(const Args& a) {
    HKEY root, key;
    std::string sub;
    if (a.size() != 2 || !splitKey(a[0], root, sub)) return fail("usage");
    LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_SET_VALUE, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueA(key, a[1].c_str());
        RegCloseKey(key);
    }
    return registryResult(rc, "RegDeleteValueA", true);
}

// Whether the service manager still knows a service (one marked for deletion
// included, whose name a new service cannot take yet).
bool serviceRegistered(SC_HANDLE manager, const std::string& name) {
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (!service) return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    CloseServiceHandle(service);
    return true;
}

// services-remove <word>...: stops and deletes every registered service
// whose name contains one of the words and waits (10 s at most) until the
// service manager has let go of each; then deletes the keys under Services
// that match and that no service owns. Prints what it removed.
int servicesRemove(const Args& a) {
    if (a.empty()) return fail("usage");
    SC_HANDLE manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    std::vector<std::string> names;
    int rc = matchingServices(manager, a, names) ? 0 : fail("EnumServicesStatusA");
    for (const std::string& name : names) {
        SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        if (!service) {
            rc = fail("OpenServiceA");
            continue;
        }
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (int wait = 0; wait < 100 && QueryServiceStatus(service, &status) &&
                               status.dwCurrentState != SERVICE_STOPPED; ++wait)
                Sleep(100);
        }
        if (DeleteService(service)) std::printf("deleted service %s\n", name.c_str());
        else rc = fail("DeleteService");
        CloseServiceHandle(service);
    }
    for (const std::string& name : names) {
        for (int wait = 0; wait < 100 && serviceRegistered(manager, name); ++wait) Sleep(100);
        if (serviceRegistered(manager, name)) {
            std::printf("error still-registered %s\n", name.c_str());
            rc = 1;
        }
    }
    CloseServiceHandle(manager);
    HKEY servicesKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_ALL_ACCESS, &servicesKey) !=
        ERROR_SUCCESS)
        return fail("RegOpenKeyExA");
    for (const std::string& name : subkeyNames(servicesKey)) {
        bool owned = false;
        for (const std::string& service : names) owned = owned || lowerCase(service) == lowerCase(name);
        if (owned || !containsAny(name, a)) continue;
        LONG deleted = deleteTree(servicesKey, name);
        if (deleted == ERROR_SUCCESS) std::printf("deleted key %s\n", name.c_str());
        else rc = registryResult(deleted, "deleteTree");
    }
    RegCloseKey(servicesKey);
    return rc;
}

// hold <seconds>: keeps the Wine session alive. The session's end runs no
// pending work, but the next session's start does (RunOnce, auto-start
// services), and Wine keeps a key's security only for the session.
int hold(const Args& a) {
    if (a.size() != 1) return fail("usage");
    std::fflush(stdout);
    Sleep(1000 * std::strtoul(a[0].c_str(), nullptr, 10));
    return 0;
}

// info: what the installer will see of the machine.
int info(const Args&) {
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, sizeof dir);
    std::printf("systemDirectory=%s\nlangId=0x%04X\n", dir, static_cast<unsigned>(GetSystemDefaultLangID()));
    return 0;
}

struct Command {
    const char* name;
    int (*run)(const Args&);
};

const Command Commands[] = {
    {"device-add", deviceAdd},
    {"device-remove", deviceRemove},
    {"devices-remove", devicesRemove},
    {"devices", devices},
    {"service-create", serviceCreate},
    {"service-query", serviceQuery},
    {"services", services},
    {"services-remove", servicesRemove},
    {"service-delete", serviceDelete},
    {"service-start", serviceStart},
    {"service-wait-gone", serviceWaitGone},
    {"service-stop-when-running", serviceStopWhenRunning},
    {"service-database", serviceDatabase},
    {"last-errors", lastErrors},
    {"reg-dump", regDump},
    {"reg-set", regSet},
    {"reg-create", regCreate},
    {"reg-dacl", regDacl},
    {"reg-security", regSecurity},
    {"reg-delete", regDelete},
    {"reg-delete-value", regDeleteValue},
    {"info", info},
    {"hold", hold},
};

int runCommand(const Args& words) {
    std::printf("== %s\n", words[0].c_str());
    for (const Command& c : Commands)
        if (words[0] == c.name) return c.run(Args(words.begin() + 1, words.end()));
    std::printf("error unknown-command 0\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "serve-early-stop") == 0) return serveEarlyStop();
    int rc = 0;
    Args words;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::strcmp(argv[i], "+") == 0) {
            if (!words.empty() && runCommand(words) != 0) rc = 1;
            std::fflush(stdout);
            words.clear();
        } else {
            words.push_back(argv[i]);
        }
    }
    return rc;
}
