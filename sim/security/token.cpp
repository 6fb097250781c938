// The process token of the simulated machine (the security identifiers of
// the process's account, the privileges it holds and which of them are
// enabled) and the shutdown request.
#include "sim/security/token.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/win_services.h"
#include "sim/core/runtime.h"
#include "sim/core/win_codes.h"

using namespace sim;

std::vector<std::string> sim::tokenSids() {
    std::string a = account();
    if (a == "system") return {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-11"};
    if (a == "user") return {"S-1-5-21-1-2-3-1001", "S-1-5-32-545", "S-1-1-0", "S-1-5-11"};
    return {"S-1-5-21-1-2-3-500", "S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-11"};
}

namespace {

// Windows' own LUIDs of the privileges.
struct Privilege {
    const char* name;
    DWORD luid;
};
const Privilege Privileges[] = {
    {"SeCreateTokenPrivilege", 2},         {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},          {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},      {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},            {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},         {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},         {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14}, {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},            {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},              {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},  {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},     {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},          {"SeEnableDelegationPrivilege", 27},
};
const DWORD ShutdownLuid = 19;
const DWORD ChangeNotifyLuid = 23;

// What the accounts hold on a Windows 2000 server: local system every
// privilege, administrators the administrative ones (shutdown among them),
// plain users only change notification.
bool held(const std::string& account, DWORD luid) {
    if (account == "system") return luid >= 2 && luid <= 27;
    if (account == "administrator") {
        static const DWORD Admin[] = {5, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 22, 23, 24, 25};
        for (DWORD l : Admin)
            if (l == luid) return true;
        return false;
    }
    return luid == ChangeNotifyLuid;
}

bool enabledByDefault(const std::string& account, DWORD luid) {
    if (account == "system") {
        static const DWORD System[] = {4, 7, 13, 14, 15, 16, 20, 21, 23};
        for (DWORD l : System)
            if (l == luid) return true;
        return false;
    }
    return luid == ChangeNotifyLuid;
}

// Privileges this process has enabled or disabled since it started.
std::map<DWORD, bool>& adjusted() {
    static std::map<DWORD, bool> a;
    return a;
}

void clearToken() { adjusted().clear(); }
const bool tokenClearedOnReset = (onTestReset(clearToken), true);

bool isEnabled(const std::string& account, DWORD luid) {
    if (!held(account, luid)) return false;
    auto it = adjusted().find(luid);
    return it == adjusted().end() ? enabledByDefault(account, luid) : it->second;
}

LUID_AND_ATTRIBUTES* entries(PTOKEN_PRIVILEGES p) {
    return reinterpret_cast<LUID_AND_ATTRIBUTES*>(reinterpret_cast<char*>(p) + offsetof(TOKEN_PRIVILEGES, Privileges));
}

HANDLE const CurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) {
    Call c("GetCurrentProcess", {}, false);  // a pseudo handle: never fails
    return CurrentProcess;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    Call c("OpenProcessToken", {arg(process), argHex(access), arg(static_cast<const void*>(token))});
    if (c.injected()) return FALSE;
    if (process != CurrentProcess) {
        // Only the process's own token is modelled.
        SetLastError(findHandle(reinterpret_cast<uintptr_t>(process), HandleKind::Process) ? ERROR_ACCESS_DENIED
                                                                                            : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!token) return fail(ERROR_NOACCESS);
    if (access & ~(TOKEN_ALL_ACCESS | MAXIMUM_ALLOWED)) return fail(ERROR_ACCESS_DENIED);
    if (access & MAXIMUM_ALLOWED) access = TOKEN_ALL_ACCESS;
    *token = reinterpret_cast<HANDLE>(newHandle(HandleKind::Token, account(), access));
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    Call c("LookupPrivilegeValueA", {arg(systemName), arg(name), arg(static_cast<const void*>(luid))});
    if (c.injected()) return FALSE;
    if (systemName && *systemName) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);  // no other machine here
        return FALSE;
    }
    if (!name || !luid) return fail(ERROR_NOACCESS);
    for (const Privilege& p : Privileges) {
        if (!equalNoCase(p.name, name)) continue;
        luid->LowPart = p.luid;
        luid->HighPart = 0;
        return TRUE;
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                  PTOKEN_PRIVILEGES previous, PDWORD returnLength) {
    std::vector<std::string> a = {arg(token), arg(disableAll), arg(static_cast<const void*>(newState)),
                                  arg(bufferLength), arg(static_cast<const void*>(previous)),
                                  arg(static_cast<const void*>(returnLength))};
    if (newState && !disableAll) {
        a.push_back("count=" + arg(newState->PrivilegeCount));
        LUID_AND_ATTRIBUTES* e = entries(newState);
        for (DWORD i = 0; i < newState->PrivilegeCount && i < 64; ++i)
            a.push_back("luid=" + arg(e[i].Luid.LowPart) + ":" + arg(static_cast<int>(e[i].Luid.HighPart)) +
                        " attributes=" + argHex(e[i].Attributes));
    }
    Call c("AdjustTokenPrivileges", a);
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(token), HandleKind::Token);
    if (!r) return fail(ERROR_INVALID_HANDLE);
    if (!(r->access & TOKEN_ADJUST_PRIVILEGES) || (previous && !(r->access & TOKEN_QUERY)))
        return fail(ERROR_ACCESS_DENIED);
    if (!disableAll && !newState) return fail(ERROR_INVALID_PARAMETER);
    if (previous && !returnLength) return fail(ERROR_NOACCESS);
    const std::string& acct = r->name;
    // The changes, worked out before anything is applied.
    std::map<DWORD, bool> changes;
    bool notAll = false;
    if (disableAll) {
        for (const Privilege& p : Privileges)
            if (isEnabled(acct, p.luid)) changes[p.luid] = false;
    } else {
        LUID_AND_ATTRIBUTES* e = entries(newState);
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            DWORD luid = e[i].Luid.LowPart;
            if (e[i].Luid.HighPart != 0 || !held(acct, luid)) {
                notAll = true;
                continue;
            }
            bool enable = (e[i].Attributes & SE_PRIVILEGE_ENABLED) && !(e[i].Attributes & SE_PRIVILEGE_REMOVED);
            if (enable != isEnabled(acct, luid)) changes[luid] = enable;
        }
    }
    if (previous) {
        DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                          changes.size() * sizeof(LUID_AND_ATTRIBUTES));
        *returnLength = needed;
        if (bufferLength < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        previous->PrivilegeCount = static_cast<DWORD>(changes.size());
        LUID_AND_ATTRIBUTES* out = entries(previous);
        size_t i = 0;
        for (const auto& [luid, enable] : changes) {
            out[i].Luid.LowPart = luid;
            out[i].Luid.HighPart = 0;
            out[i].Attributes = enable ? 0 : SE_PRIVILEGE_ENABLED;
            ++i;
        }
    }
    for (const auto& [luid, enable] : changes) adjusted()[luid] = enable;
    // The call succeeds even when a privilege is not held; only the last
    // error tells.
    SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason) {
    Call c("ExitWindowsEx", {argHex(flags), argHex(reason)});
    if (c.injected()) return FALSE;
    if (flags & ~(EWX_SHUTDOWN | EWX_REBOOT | EWX_FORCE | EWX_POWEROFF | EWX_FORCEIFHUNG))
        return fail(ERROR_INVALID_PARAMETER);
    if (!(flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF))) return TRUE;  // a logoff: nothing to keep
    if (!isEnabled(account(), ShutdownLuid)) return fail(ERROR_PRIVILEGE_NOT_HELD);
    machine().rebootRequests.push_back(flags);
    commit();
    return TRUE;
}
