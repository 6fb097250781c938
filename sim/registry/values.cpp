// Value enumeration of the simulated registry, as RegEnumValueA behaves on
// Windows: the name and the data of the value at an index, each checked
// against the room the caller gives.
#include <cstring>

#include "sim/registry/registry.h"
#include "sim/core/runtime.h"

using namespace sim;

namespace {

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

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
