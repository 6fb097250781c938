// The simulated registry: keys and values under HKEY_LOCAL_MACHINE, opened
// through handles and checked against each key's DACL.
#include "sim/registry/registry.h"

#include <cstring>

#include "sim/core/runtime.h"
#include "sim/services/services.h"
#include "sim/core/win_codes.h"

using namespace sim;

namespace sim {

std::vector<std::string> tokenSids() {
    std::string a = account();
    if (a == "system") return {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-11"};
    if (a == "user") return {"S-1-5-21-1-2-3-1001", "S-1-5-32-545", "S-1-1-0", "S-1-5-11"};
    return {"S-1-5-21-1-2-3-500", "S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-11"};
}

static uint32_t mapGeneric(uint32_t desired) {
    uint32_t out = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | SYNCHRONIZE);
    if (desired & GENERIC_READ) out |= KEY_READ;
    if (desired & GENERIC_WRITE) out |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) out |= KEY_READ;
    if (desired & GENERIC_ALL) out |= KEY_ALL_ACCESS;
    return out;
}

bool accessGranted(const RegKey& key, uint32_t desired) {
    uint32_t want = mapGeneric(desired);
    // A key whose security cannot be read grants nobody READ_CONTROL: on
    // Windows that is what makes it unreadable (another owner, and no entry
    // that allows it), so every open that asks for it is refused.
    if (!key.securityReadable && (want & READ_CONTROL)) return false;
    if (key.nullDacl) return true;
    std::vector<std::string> sids = tokenSids();
    auto holds = [&](const std::string& sid) {
        for (const auto& s : sids)
            if (s == sid) return true;
        return false;
    };
    uint32_t granted = 0, denied = 0;
    if (holds(key.owner)) granted |= READ_CONTROL | WRITE_DAC;
    for (const auto& ace : key.dacl) {
        // An inherit-only entry applies to the keys below, not to this one.
        if ((ace.flags & 0x08) || !holds(ace.sid)) continue;
        uint32_t mask = mapGeneric(ace.mask);
        if (ace.allow) granted |= mask & ~denied;
        else denied |= mask & ~granted;
    }
    return (want & ~granted) == 0;
}

bool joinKeyPath(const std::string& base, const char* subKey, std::string& out) {
    out = base;
    if (!subKey || !*subKey) return true;
    if (subKey[0] == '\\') return false;
    std::string cur;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!cur.empty()) out += (out.empty() ? "" : "\\") + cur;
            cur.clear();
            if (!*p) break;
        } else {
            cur += *p;
        }
    }
    return true;
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

long keyWithAccess(HKEY h, uint32_t needed, RegKey*& key) {
    KeyHandle k;
    long rc = keyOfHandle(h, k);
    key = k.key;
    if (rc == ERROR_SUCCESS && (k.access & needed) != needed) rc = ERROR_ACCESS_DENIED;
    return rc;
}

}  // namespace sim

std::string sim::hkeyArg(HKEY h) {
    return h == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : arg(static_cast<const void*>(h));
}

LONG WINAPI RegOpenKeyExA(HKEY h, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    RegistryCall c("RegOpenKeyExA", {hkeyArg(h), arg(subKey), arg(options), argHex(sam)});
    if (c.injected()) return c.error();
    KeyHandle base;
    if (long rc = keyOfHandle(h, base)) return rc;
    std::string path;
    if (!result) return ERROR_INVALID_PARAMETER;
    if (!joinKeyPath(base.path, subKey, path)) return ERROR_BAD_PATHNAME;
    RegKey* key = findKey(machine(), path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (!accessGranted(*key, sam)) return ERROR_ACCESS_DENIED;
    // The handle holds the rights granted, generic ones mapped.
    *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, mapGeneric(sam)));
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY h, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                            LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
    RegistryCall c("RegCreateKeyExA", {hkeyArg(h), arg(subKey), arg(reserved), arg(cls), arg(options), argHex(sam),
                               arg(static_cast<const void*>(sa))});
    if (c.injected()) return c.error();
    KeyHandle base;
    if (long rc = keyOfHandle(h, base)) return rc;
    std::string path;
    if (!result || !subKey) return ERROR_INVALID_PARAMETER;
    if (!joinKeyPath(base.path, subKey, path)) return ERROR_BAD_PATHNAME;
    Machine& m = machine();
    if (RegKey* existing = findKey(m, path)) {
        if (!accessGranted(*existing, sam)) return ERROR_ACCESS_DENIED;
        *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, mapGeneric(sam)));
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    // The nearest existing ancestor must let the caller create subkeys.
    std::string ancestor = path;
    RegKey* parent = nullptr;
    while (!parent) {
        size_t cut = ancestor.find_last_of('\\');
        ancestor = cut == std::string::npos ? "" : ancestor.substr(0, cut);
        parent = findKey(m, ancestor);
    }
    if (!accessGranted(*parent, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    ensureServiceDatabase();  // the registry changes behind the manager's back
    RegKey& created = ensureKey(m, path);
    created.owner = isAdministrator() ? "S-1-5-32-544" : tokenSids().front();
    *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, mapGeneric(sam)));
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    commit();
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY h) {
    RegistryCall c("RegCloseKey", {hkeyArg(h)}, false);
    if (h == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (!findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::RegKey)) return ERROR_INVALID_HANDLE;
    closeHandle(reinterpret_cast<uintptr_t>(h));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY h, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    RegistryCall c("RegQueryValueExA", {hkeyArg(h), arg(name), arg(static_cast<const void*>(reserved)),
                                arg(static_cast<const void*>(data)), cbData ? arg(*cbData) : "null"});
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, KEY_QUERY_VALUE, key)) return rc;
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    auto it = key->values.find(name ? name : "");
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const RegValue& v = it->second;
    if (type) *type = v.type;
    if (!data) {
        if (cbData) *cbData = static_cast<DWORD>(v.data.size());
        return ERROR_SUCCESS;
    }
    if (*cbData < v.data.size()) {
        *cbData = static_cast<DWORD>(v.data.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, v.data.data(), v.data.size());
    *cbData = static_cast<DWORD>(v.data.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY h, LPCSTR name, DWORD reserved, DWORD type, CONST BYTE* data, DWORD cbData) {
    std::string shown;
    if (data && (type == REG_SZ || type == REG_EXPAND_SZ)) shown = arg(std::string(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), cbData)));
    else shown = arg(static_cast<const void*>(data));
    RegistryCall c("RegSetValueExA", {hkeyArg(h), arg(name), arg(reserved), arg(type), shown, arg(cbData)});
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, KEY_SET_VALUE, key)) return rc;
    if (!data && cbData) return ERROR_INVALID_PARAMETER;
    ensureServiceDatabase();
    RegValue v;
    v.type = type;
    v.data.assign(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")), data ? cbData : 0);
    key->values[name ? name : ""] = v;
    commit();
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY h, LPCSTR name) {
    RegistryCall c("RegDeleteValueA", {hkeyArg(h), arg(name)});
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, KEY_SET_VALUE, key)) return rc;
    if (key->values.find(name ? name : "") == key->values.end()) return ERROR_FILE_NOT_FOUND;
    ensureServiceDatabase();
    key->values.erase(name ? name : "");
    commit();
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY h, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPSTR cls,
                          LPDWORD cchClass, PFILETIME lastWrite) {
    RegistryCall c("RegEnumKeyExA", {hkeyArg(h), arg(index), cchName ? arg(*cchName) : "null"});
    (void)reserved;
    (void)lastWrite;
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, KEY_ENUMERATE_SUB_KEYS, key)) return rc;
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, index);
    const std::string& n = it->second.name;
    // A name that does not fit leaves the caller's buffer as it was.
    if (n.size() + 1 > *cchName) return ERROR_MORE_DATA;
    std::memcpy(name, n.c_str(), n.size() + 1);
    *cchName = static_cast<DWORD>(n.size());
    if (cls && cchClass && *cchClass) cls[0] = '\0';
    if (cchClass) *cchClass = 0;
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY h, LPCSTR subKey) {
    RegistryCall c("RegDeleteKeyA", {hkeyArg(h), arg(subKey)});
    if (c.injected()) return c.error();
    KeyHandle base;
    if (long rc = keyOfHandle(h, base)) return rc;
    std::string path;
    if (!subKey) return ERROR_INVALID_PARAMETER;
    // An empty name opens the handle's own key, and that key is deleted.
    if (!joinKeyPath(base.path, subKey, path)) return ERROR_BAD_PATHNAME;
    Machine& m = machine();
    RegKey* key = findKey(m, path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (path.empty()) return ERROR_ACCESS_DENIED;  // the root itself
    if (!accessGranted(*key, DELETE)) return ERROR_ACCESS_DENIED;
    if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    size_t cut = path.find_last_of('\\');
    std::string parentPath = cut == std::string::npos ? "" : path.substr(0, cut);
    std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
    RegKey* parent = findKey(m, parentPath);
    if (!parent) return ERROR_FILE_NOT_FOUND;
    ensureServiceDatabase();  // a service's key deleted here stays the manager's service
    parent->subkeys.erase(leaf);
    commit();
    return ERROR_SUCCESS;
}
