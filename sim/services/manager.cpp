// The simulated service control manager: it answers from its own database
// of services (loaded from the registry at the machine's start), keeps each
// service's key below SYSTEM\CurrentControlSet\Services, and grants an
// administrator every right and a plain user those of Windows' default
// security.
#include <cstring>
#include <string>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"
#include "sim/services/services.h"

using namespace sim;

namespace {

uint32_t managerRights() {
    return isAdministrator() ? SC_MANAGER_ALL_ACCESS : (SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                                         SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL);
}

uint32_t serviceRights() {
    return isAdministrator() ? SERVICE_ALL_ACCESS
                             : (SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL);
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR database, DWORD access) {
    Call c("OpenSCManagerA", {arg(machineName), arg(database), argHex(access)});
    if (c.injected()) return nullptr;
    if (machineName && *machineName) return fail(RPC_S_SERVER_UNAVAILABLE, nullptr);
    if (database && std::strcmp(database, "ServicesActive") != 0) return fail(ERROR_DATABASE_DOES_NOT_EXIST, nullptr);
    if (access & ~managerRights()) return fail(ERROR_ACCESS_DENIED, nullptr);
    return reinterpret_cast<SC_HANDLE>(newHandle(HandleKind::SCManager, "ServicesActive", access));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    Call c("OpenServiceA", {arg(static_cast<const void*>(manager)), arg(name), argHex(access)});
    if (c.injected()) return nullptr;
    if (!findHandle(reinterpret_cast<uintptr_t>(manager), HandleKind::SCManager))
        return fail(ERROR_INVALID_HANDLE, nullptr);
    if (!name) return fail(ERROR_INVALID_NAME, nullptr);
    // The manager answers from its database, whatever the registry holds now.
    std::string known = knownService(name);
    if (known.empty()) return fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    if (access & ~serviceRights()) return fail(ERROR_ACCESS_DENIED, nullptr);
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
    if (!mgr) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (!(mgr->access & SC_MANAGER_CREATE_SERVICE)) return fail(ERROR_ACCESS_DENIED, nullptr);
    if (!name || !*name || std::strchr(name, '\\') || !binaryPath || !*binaryPath)
        return fail(!name || !*name || std::strchr(name, '\\') ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER, nullptr);
    Machine& m = machine();
    auto rt = m.services.find(name);
    if (rt != m.services.end() && rt->second.deletePending) return fail(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
    if (!knownService(name).empty()) return fail(ERROR_SERVICE_EXISTS, nullptr);
    std::string display = displayName && *displayName ? displayName : name;
    for (const auto& [other, otherDisplay] : m.serviceDatabase) {
        if (equalNoCase(display, otherDisplay) || equalNoCase(display, other))
            return fail(ERROR_DUPLICATE_SERVICE_NAME, nullptr);
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
    if (!r) return fail(ERROR_INVALID_HANDLE);
    if (!(r->access & DELETE)) return fail(ERROR_ACCESS_DENIED);
    Machine& m = machine();
    ServiceRuntime& rt = m.services[r->name];
    if (rt.deletePending) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    // A service whose key was deleted behind the manager's back is still
    // the manager's to mark (as Wine's manager does too).
    if (knownService(r->name).empty()) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    rt.deletePending = true;
    commit();
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE h) {
    Call c("CloseServiceHandle", {arg(static_cast<const void*>(h))}, false);
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    HandleRec* r = findAnyHandle(v);
    if (!r || (r->kind != HandleKind::SCManager && r->kind != HandleKind::Service)) return fail(ERROR_INVALID_HANDLE);
    std::string name = r->kind == HandleKind::Service ? r->name : "";
    closeHandle(v);
    // A service marked for deletion goes once no handle of it is open.
    if (!name.empty() && !serviceHandleOpenFor(name)) removeServiceIfUnused(name);
    return TRUE;
}
