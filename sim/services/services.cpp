// The simulated service control manager over the services kept in the
// registry, and the event log.
#include <cstring>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/registry/registry.h"
#include "sim/core/runtime.h"
#include "sim/services/services.h"
#include "sim/core/win_codes.h"

using namespace sim;

namespace sim {

const char* const ServicesRoot = "SYSTEM\\CurrentControlSet\\Services";

RegKey* serviceKey(const std::string& name) {
    if (name.empty() || name.find('\\') != std::string::npos) return nullptr;
    RegKey* k = findKey(machine(), std::string(ServicesRoot) + "\\" + name);
    if (!k || k->values.find("Type") == k->values.end()) return nullptr;
    return k;
}

void loadServiceDatabase() {
    Machine& m = machine();
    m.serviceDatabase = servicesInRegistry(m);
    m.serviceDatabaseLoaded = true;
}

void ensureServiceDatabase() {
    if (!machine().serviceDatabaseLoaded) loadServiceDatabase();
}

std::string knownService(const std::string& name) {
    ensureServiceDatabase();
    const auto& db = machine().serviceDatabase;
    auto it = db.find(name);
    return it == db.end() ? std::string() : it->first;
}

void registerService(const std::string& name, const std::string& displayName) {
    ensureServiceDatabase();
    auto& db = machine().serviceDatabase;
    db.erase(name);  // a name in another letter case is the same service
    db[name] = displayName.empty() ? name : displayName;
}

static uint32_t managerRights() {
    return isAdministrator() ? SC_MANAGER_ALL_ACCESS : (SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                                         SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL);
}

static uint32_t serviceRights() {
    return isAdministrator() ? SERVICE_ALL_ACCESS
                             : (SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL);
}

void removeServiceIfUnused(const std::string& name) {
    Machine& m = machine();
    auto it = m.services.find(name);
    if (it == m.services.end() || !it->second.deletePending) return;
    if (it->second.state != SERVICE_STOPPED) return;  // goes when it stops
    std::string path = std::string(ServicesRoot) + "\\" + name;
    // The service's key and everything below it go, and the manager forgets
    // it.
    size_t cut = path.find_last_of('\\');
    if (RegKey* parent = findKey(m, path.substr(0, cut))) parent->subkeys.erase(path.substr(cut + 1));
    ensureServiceDatabase();
    m.serviceDatabase.erase(name);
    m.services.erase(it);
    commit();
}

bool serviceHandleOpenFor(const std::string& name) {
    return anyHandle([&](const HandleRec& r) { return r.kind == HandleKind::Service && equalNoCase(r.name, name); });
}

}  // namespace sim

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR database, DWORD access) {
    Call c("OpenSCManagerA", {arg(machineName), arg(database), argHex(access)});
    if (c.injected()) return nullptr;
    if (machineName && *machineName) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (database && std::strcmp(database, "ServicesActive") != 0) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (access & ~managerRights()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(newHandle(HandleKind::SCManager, "ServicesActive", access));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    Call c("OpenServiceA", {arg(static_cast<const void*>(manager)), arg(name), argHex(access)});
    if (c.injected()) return nullptr;
    if (!findHandle(reinterpret_cast<uintptr_t>(manager), HandleKind::SCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!name) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    // The manager answers from its database, whatever the registry holds now.
    std::string known = knownService(name);
    if (known.empty()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (access & ~serviceRights()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(newHandle(HandleKind::Service, known, access));
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access, DWORD type,
                                DWORD start, DWORD errorControl, LPCSTR binaryPath, LPCSTR group, LPDWORD tag,
                                LPCSTR dependencies, LPCSTR startName, LPCSTR password) {
    Call c("CreateServiceA", {arg(static_cast<const void*>(manager)), arg(name), arg(displayName), argHex(access),
                              argHex(type), arg(start), arg(errorControl), arg(binaryPath), arg(group),
                              arg(static_cast<const void*>(tag)), arg(dependencies), arg(startName),
                              arg(password)});
    if (c.injected()) return nullptr;
    HandleRec* mgr = findHandle(reinterpret_cast<uintptr_t>(manager), HandleKind::SCManager);
    if (!mgr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(mgr->access & SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!name || !*name || std::strchr(name, '\\') || !binaryPath || !*binaryPath) {
        SetLastError(!name || !*name || std::strchr(name, '\\') ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Machine& m = machine();
    auto rt = m.services.find(name);
    if (rt != m.services.end() && rt->second.deletePending) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    if (!knownService(name).empty()) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    std::string display = displayName && *displayName ? displayName : name;
    for (const auto& [other, otherDisplay] : m.serviceDatabase) {
        if (equalNoCase(display, otherDisplay) || equalNoCase(display, other)) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return nullptr;
        }
    }
    RegKey& k = ensureKey(m, std::string(ServicesRoot) + "\\" + name);
    k.values["Type"] = RegValue{REG_DWORD, regDword(type)};
    k.values["Start"] = RegValue{REG_DWORD, regDword(start)};
    k.values["ErrorControl"] = RegValue{REG_DWORD, regDword(errorControl)};
    k.values["ImagePath"] = RegValue{REG_EXPAND_SZ, regSz(binaryPath)};
    k.values["DisplayName"] = RegValue{REG_SZ, regSz(display)};
    k.values["ObjectName"] = RegValue{REG_SZ, regSz(startName ? startName : "LocalSystem")};
    if (group && *group) k.values["Group"] = RegValue{REG_SZ, regSz(group)};
    registerService(name, display);
    m.services[name] = ServiceRuntime{};
    commit();
    return reinterpret_cast<SC_HANDLE>(newHandle(HandleKind::Service, name, access));
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
    Call c("DeleteService", {arg(static_cast<const void*>(service))});
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(service), HandleKind::Service);
    if (!r) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(r->access & DELETE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Machine& m = machine();
    ServiceRuntime& rt = m.services[r->name];
    if (rt.deletePending) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // A service whose key was deleted behind the manager's back is still
    // the manager's to mark (as Wine's manager does too).
    if (knownService(r->name).empty()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    rt.deletePending = true;
    commit();
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE h) {
    Call c("CloseServiceHandle", {arg(static_cast<const void*>(h))}, false);
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    HandleRec* r = findAnyHandle(v);
    if (!r || (r->kind != HandleKind::SCManager && r->kind != HandleKind::Service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string name = r->kind == HandleKind::Service ? r->name : "";
    closeHandle(v);
    // A service marked for deletion goes once no handle of it is open.
    if (!name.empty() && !serviceHandleOpenFor(name)) removeServiceIfUnused(name);
    return TRUE;
}

// ---- event log -------------------------------------------------------------

HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    Call c("RegisterEventSourceA", {arg(server), arg(source)});
    if (c.injected()) return nullptr;
    if (server && *server) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (!source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(newHandle(HandleKind::EventSource, source));
}

BOOL WINAPI ReportEventA(HANDLE log, WORD type, WORD category, DWORD eventId, PSID sid, WORD numStrings,
                         DWORD dataSize, LPCSTR* strings, LPVOID rawData) {
    std::vector<std::string> a = {arg(log), arg(static_cast<uint32_t>(type)), arg(static_cast<uint32_t>(category)),
                                  arg(eventId), arg(static_cast<const void*>(sid)), arg(static_cast<uint32_t>(numStrings)),
                                  arg(dataSize)};
    for (WORD i = 0; strings && i < numStrings; ++i) a.push_back(arg(strings[i]));
    a.push_back(arg(static_cast<const void*>(rawData)));
    Call c("ReportEventA", a);
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(log), HandleKind::EventSource);
    if (!r) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (numStrings && !strings) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EventEntry e;
    e.source = r->name;
    e.type = type;
    e.category = category;
    e.eventId = eventId;
    for (WORD i = 0; i < numStrings; ++i) e.strings.push_back(strings[i] ? strings[i] : "");
    e.process = processName();
    machine().eventLog.push_back(e);
    commit();
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE log) {
    Call c("DeregisterEventSource", {arg(log)}, false);
    if (!findHandle(reinterpret_cast<uintptr_t>(log), HandleKind::EventSource)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closeHandle(reinterpret_cast<uintptr_t>(log));
    return TRUE;
}
