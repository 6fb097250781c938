#include "sim/registry/registry.h"

#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"
#include "sim/security/access.h"

namespace sim {

namespace {

bool joinKeyPath(const std::string& base, const char* subKey, std::string& out) {
    out = base;
    if (!subKey || !*subKey) return true;
    if (subKey[0] == '\\') return false;
    for (const auto& name : pathNames(subKey, "\\")) out += (out.empty() ? "" : "\\") + name;
    return true;
}

}  // namespace

uint32_t keyRights(uint32_t desired) {
    uint32_t out = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | SYNCHRONIZE);
    if (desired & GENERIC_READ) out |= KEY_READ;
    if (desired & GENERIC_WRITE) out |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) out |= KEY_READ;
    if (desired & GENERIC_ALL) out |= KEY_ALL_ACCESS;
    return out;
}

bool accessGranted(const RegKey& key, uint32_t desired) {
    uint32_t want = keyRights(desired);
    // A key whose security cannot be read grants nobody READ_CONTROL: on
    // Windows that is what makes it unreadable (another owner, and no entry
    // that allows it), so every open that asks for it is refused.
    if (!key.securityReadable && (want & READ_CONTROL)) return false;
    return daclGrants(key.owner, key.nullDacl, key.dacl, want, keyRights);
}

long keyOfHandle(HKEY h, KeyHandle& out) {
    if (h == HKEY_LOCAL_MACHINE) {
        // The predefined handle holds what the account may do at the root.
        out.key = &machine().hklm;
        out.path.clear();
        out.access = isAdministrator() ? KEY_ALL_ACCESS : KEY_READ;
        return ERROR_SUCCESS;
    }
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::RegKey);
    if (!r) return ERROR_INVALID_HANDLE;
    out.key = findKey(machine(), r->name);
    if (!out.key) return ERROR_KEY_DELETED;
    out.path = r->name;
    out.access = r->access;
    return ERROR_SUCCESS;
}

long keyWithAccess(HKEY h, uint32_t needed, RegKey*& key, bool given) {
    KeyHandle k;
    long rc = keyOfHandle(h, k);
    key = k.key;
    if (rc == ERROR_SUCCESS && !given) rc = ERROR_INVALID_PARAMETER;
    if (rc == ERROR_SUCCESS && (k.access & needed) != needed) rc = ERROR_ACCESS_DENIED;
    return rc;
}

long subkeyPath(HKEY h, const char* subKey, bool given, std::string& path) {
    KeyHandle base;
    if (long rc = keyOfHandle(h, base)) return rc;
    if (!given) return ERROR_INVALID_PARAMETER;
    if (!joinKeyPath(base.path, subKey, path)) return ERROR_BAD_PATHNAME;
    return ERROR_SUCCESS;
}

std::string hkeyArg(HKEY h) {
    return h == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : arg(static_cast<const void*>(h));
}

}  // namespace sim
