// Keys of the simulated registry under HKEY_LOCAL_MACHINE: opened and made
// through handles that hold the rights the key's DACL grants, listed, and
// deleted one level at a time. Every change takes the service control
// manager's database first: a service's key changed here stays the
// manager's service as it was until the next start.
#include <cstring>
#include <iterator>
#include <string>

#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/registry/registry.h"
#include "sim/security/token.h"

using namespace sim;

LONG WINAPI RegOpenKeyExA(HKEY h, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    RegistryCall c("RegOpenKeyExA", {hkeyArg(h), arg(subKey), arg(options), argHex(sam)});
    if (c.injected()) return c.error();
    std::string path;
    if (long rc = subkeyPath(h, subKey, result != nullptr, path)) return rc;
    RegKey* key = findKey(machine(), path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (!accessGranted(*key, sam)) return ERROR_ACCESS_DENIED;
    // The handle holds the rights granted, generic ones mapped.
    *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, keyRights(sam)));
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY h, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                            LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
    RegistryCall c("RegCreateKeyExA", {hkeyArg(h), arg(subKey), arg(reserved), arg(cls), arg(options), argHex(sam),
                               arg(static_cast<const void*>(sa))});
    if (c.injected()) return c.error();
    std::string path;
    if (long rc = subkeyPath(h, subKey, result && subKey, path)) return rc;
    Machine& m = machine();
    if (RegKey* existing = findKey(m, path)) {
        if (!accessGranted(*existing, sam)) return ERROR_ACCESS_DENIED;
        *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, keyRights(sam)));
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
    ensureServiceDatabase(m);  // the registry changes behind the manager's back
    RegKey& created = ensureKey(m, path);
    created.owner = isAdministrator() ? "S-1-5-32-544" : tokenSids().front();
    *result = reinterpret_cast<HKEY>(newHandle(HandleKind::RegKey, path, keyRights(sam)));
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
    // An empty name opens the handle's own key, and that key is deleted.
    std::string path;
    if (long rc = subkeyPath(h, subKey, subKey != nullptr, path)) return rc;
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
    ensureServiceDatabase(m);  // a service's key deleted here stays the manager's service
    parent->subkeys.erase(leaf);
    commit();
    return ERROR_SUCCESS;
}
