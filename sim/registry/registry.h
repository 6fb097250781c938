// Registry keys of the simulated machine behind open key handles, and the
// access check of a key's DACL against the caller's account.
#pragma once

#include <string>
#include <vector>

#include "sim/core/machine.h"
#include "platform/win_registry.h"
#include "sim/core/runtime.h"

namespace sim {

// Security identifiers of the calling process's account, user first.
std::vector<std::string> tokenSids();

// Maps generic rights onto key rights and checks them against the key's
// owner and DACL. Returns true when every right asked for is granted.
bool accessGranted(const RegKey& key, uint32_t desired);

// A key reached through a handle: the key, its path and the rights the
// handle holds.
struct KeyHandle {
    RegKey* key = nullptr;
    std::string path;
    uint32_t access = 0;
};

// The key behind a handle (HKEY_LOCAL_MACHINE included). Returns
// ERROR_SUCCESS, ERROR_INVALID_HANDLE or ERROR_KEY_DELETED.
long keyOfHandle(HKEY h, KeyHandle& out);

// The key behind a handle that holds every right asked for: ERROR_SUCCESS,
// an error of keyOfHandle, or ERROR_ACCESS_DENIED.
long keyWithAccess(HKEY h, uint32_t needed, RegKey*& key);

// A key handle as the record of calls shows it.
std::string hkeyArg(HKEY h);

// Joins a handle's path and a subkey text ("A\\B\\"), or fails for an
// ill-formed subkey (ERROR_BAD_PATHNAME).
bool joinKeyPath(const std::string& base, const char* subKey, std::string& out);

// One call of a registry function. The registry functions answer with their
// result and never set the thread's last error: an injected failure is the
// result, and the last error stays what it was before the call.
class RegistryCall {
public:
    RegistryCall(const char* function, std::vector<std::string> args, bool injectable = true)
        : before_(GetLastError()), call_(function, std::move(args), injectable) {
        if (call_.injected()) SetLastError(before_);
    }
    bool injected() const { return call_.injected(); }
    LONG error() const { return static_cast<LONG>(call_.error()); }

private:
    DWORD before_;
    Call call_;
};

}  // namespace sim
