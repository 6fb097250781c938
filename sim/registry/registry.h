// Registry keys of the simulated machine behind open key handles, each key
// checked against its DACL for the caller's account; what the registry's
// functions (keys.cpp, values.cpp, key_security.cpp) share.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/win_registry.h"
#include "sim/core/calls.h"
#include "sim/core/machine.h"

namespace sim {

// A key's rights asked for, generic ones mapped onto key rights.
uint32_t keyRights(uint32_t desired);

// Whether the account is granted every right asked for (generic ones
// mapped) by the key's owner and DACL.
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
// an error of keyOfHandle, ERROR_INVALID_PARAMETER when the caller's
// arguments are not `given`, or ERROR_ACCESS_DENIED.
long keyWithAccess(HKEY h, uint32_t needed, RegKey*& key, bool given = true);

// The path of a handle's key joined with a subkey text ("A\\B\\"):
// ERROR_SUCCESS, an error of keyOfHandle, ERROR_INVALID_PARAMETER when the
// caller's arguments are not `given`, or ERROR_BAD_PATHNAME for an
// ill-formed subkey.
long subkeyPath(HKEY h, const char* subKey, bool given, std::string& path);

// A key handle as the record of calls shows it.
std::string hkeyArg(HKEY h);

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
