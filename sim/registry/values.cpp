// Values of the simulated registry's keys: read with the size protocol,
// written and deleted (each change takes the service control manager's
// database first, see keys.cpp), and listed as RegEnumValueA lists them on
// Windows: the name and the data of the value at an index, each checked
// against the room the caller gives.
#include <cstring>
#include <iterator>
#include <string>

#include "sim/core/current_machine.h"
#include "sim/registry/registry.h"

using namespace sim;

namespace {

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

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
    ensureServiceDatabase(machine());
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
    ensureServiceDatabase(machine());
    key->values.erase(name ? name : "");
    commit();
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY h, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD cbData) {
    Call c("RegEnumValueA", {hkeyArg(h), arg(index), cchName ? arg(*cchName) : "null",
                             arg(static_cast<const void*>(data)), cbData ? arg(*cbData) : "null"});
    if (c.injected()) return static_cast<LONG>(c.error());
    if ((data && !cbData) || reserved || !name || !cchName) return ERROR_INVALID_PARAMETER;
    RegKey* key = nullptr;
    if (long rc = keyWithAccess(h, KEY_QUERY_VALUE, key)) return rc;
    if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->values.begin();
    std::advance(it, index);
    const std::string& valueName = it->first;
    const RegValue& v = it->second;

    LONG status = ERROR_SUCCESS;
    if (data) {
        if (v.data.size() > *cbData) {
            status = ERROR_MORE_DATA;
        } else {
            std::memcpy(data, v.data.data(), v.data.size());
            // A text stored without its terminator gets one when there is room.
            if (isStringType(v.type) && !v.data.empty() && v.data.size() < *cbData && v.data.back() != '\0')
                data[v.data.size()] = 0;
        }
    }
    if (status == ERROR_SUCCESS) {
        if (valueName.size() >= *cchName) {
            // The name is cut to the room given, and the count stays.
            status = ERROR_MORE_DATA;
            if (*cchName) {
                std::memcpy(name, valueName.data(), *cchName - 1);
                name[*cchName - 1] = '\0';
            }
        } else {
            std::memcpy(name, valueName.c_str(), valueName.size() + 1);
            *cchName = static_cast<DWORD>(valueName.size());
        }
    }
    if (type) *type = v.type;
    if (cbData) *cbData = static_cast<DWORD>(v.data.size());
    return status;
}
