// The simulated Setup API's installation side: the setup class of an INF,
// device information sets made empty, root-enumerated devices created,
// given ids, registered and removed, and driver lists built (empty: the
// machine keeps no INF store).
//
// Error codes, as Windows answers them:
// - SetupDiGetINFClassA: ERROR_FILE_NOT_FOUND for a missing INF,
//   ERROR_WRONG_INF_STYLE without a Windows NT signature, ERROR_GENERAL_SYNTAX
//   for a malformed file, ERROR_INVALID_CLASS when [Version] names no class,
//   ERROR_INSUFFICIENT_BUFFER (with the required size) for a short buffer.
// - SetupDiCreateDeviceInfoA: ERROR_CLASS_MISMATCH for a class other than
//   the set's, ERROR_INVALID_DEVINST_NAME for a generated id from a name
//   with a backslash, ERROR_DEVINST_ALREADY_EXISTS for a taken instance id.
// - SetupDiSetDeviceRegistryPropertyA: ERROR_INVALID_DATA for an id list
//   that is not a well-formed multi-string, ERROR_INVALID_REG_PROPERTY for a
//   property the machine does not keep.
// - SetupDiCreateDeviceInfoA, SetupDiSetDeviceRegistryPropertyA and the
//   class installer's DIF_REGISTERDEVICE and DIF_REMOVE: ERROR_ACCESS_DENIED
//   for a caller that is not an administrator.
// - Every successful call leaves ERROR_SUCCESS as the last error.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win_devices.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/device_names.h"
#include "sim/core/win_codes.h"
#include "sim/setupapi/device_sets.h"
#include "sim/setupapi/inf.h"

using namespace sim;

BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className, DWORD size, PDWORD required) {
    Call c("SetupDiGetINFClassA", {arg(infName), arg(static_cast<const void*>(classGuid)),
                                   arg(static_cast<const void*>(className)), arg(size),
                                   arg(static_cast<const void*>(required))});
    if (c.injected()) return FALSE;
    if (!infName || !classGuid || !className) return fail(ERROR_INVALID_PARAMETER);
    Inf inf;
    unsigned long error = 0;
    if (!loadInf(infName, inf, error)) return fail(static_cast<DWORD>(error));
    std::string name = inf.value("Version", "Class");
    std::string guidText = inf.value("Version", "ClassGuid");
    GUID g{};
    if ((guidText.empty() && name.empty()) || (!guidText.empty() && !parseGuid(guidText, g)))
        return fail(ERROR_INVALID_CLASS);
    DWORD need = static_cast<DWORD>(name.size() + 1);
    if (required) *required = need;
    if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(className, name.c_str(), need);
    *classGuid = g;
    return succeeded();  // a successful Setup API call clears the last error
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(CONST GUID* classGuid, HWND parent) {
    Call c("SetupDiCreateDeviceInfoList", {argGuid(classGuid), arg(static_cast<const void*>(parent))});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    DevInfoSet set;
    if (classGuid) {
        set.hasClass = true;
        set.classGuid = *classGuid;
    }
    SetLastError(NO_ERROR);
    return reinterpret_cast<HDEVINFO>(newSet(set));
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO h, PCSTR name, CONST GUID* classGuid, PCSTR description, HWND parent,
                                     DWORD flags, PSP_DEVINFO_DATA data) {
    Call c("SetupDiCreateDeviceInfoA", {arg(h), arg(name), argGuid(classGuid), arg(description),
                                        arg(static_cast<const void*>(parent)), argHex(flags),
                                        data ? arg(data->cbSize) : "null"});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!name || !*name || !classGuid) return fail(!classGuid ? ERROR_INVALID_PARAMETER : ERROR_INVALID_DEVINST_NAME);
    if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (set->hasClass && !sameGuid(set->classGuid, *classGuid)) return fail(ERROR_CLASS_MISMATCH);
    if (!isAdministrator()) return fail(ERROR_ACCESS_DENIED);  // a device node is made for it at once
    std::string instance;
    if (flags & DICD_GENERATE_ID) {
        if (std::strchr(name, '\\')) return fail(ERROR_INVALID_DEVINST_NAME);
        // ROOT\<NAME>\<nnnn>, the first number that is free.
        std::string prefix = "ROOT\\" + upper(name) + "\\";
        for (int n = 0; n < 10000; ++n) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", n);
            if (!findDevice(prefix + number)) {
                instance = prefix + number;
                break;
            }
        }
    } else {
        instance = name;
        if (findDevice(instance)) return fail(ERROR_DEVINST_ALREADY_EXISTS);
    }
    Device d;
    d.instanceId = instance;
    d.className = name;
    d.classGuid = guidText(*classGuid);
    if (description) d.description = description;
    d.present = false;
    d.hardware = false;
    d.rootCreated = (flags & DICD_GENERATE_ID) != 0;
    d.registered = false;  // it exists only in the set until it is registered
    machine().devices.push_back(d);
    set->members.push_back(instance);
    if (data) fillDevInfoData(h, set->members.size() - 1, d, data);
    commit();
    return succeeded();
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property,
                                              CONST BYTE* buffer, DWORD size) {
    std::string value = buffer ? std::string(reinterpret_cast<const char*>(buffer), size) : std::string();
    std::string shown;
    for (char ch : value) shown += ch == '\0' ? std::string("\\0") : std::string(1, ch);
    Call c("SetupDiSetDeviceRegistryPropertyA",
           {arg(h), data ? arg(data->DevInst) : "null", arg(property), buffer ? shown : "null", arg(size)});
    if (c.injected()) return FALSE;
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    if (!buffer && size) return fail(ERROR_INVALID_PARAMETER);
    if (!isAdministrator()) return fail(ERROR_ACCESS_DENIED);  // the device's registry key is the administrators'
    switch (property) {
        case SPDRP_HARDWAREID:
        case SPDRP_COMPATIBLEIDS: {
            // A multi-string: non-empty strings, each with its NUL, and one
            // more NUL that ends the list at the very end of the data.
            std::vector<std::string> ids;
            size_t pos = 0;
            bool ok = size >= 2 && value[size - 1] == '\0' && value[size - 2] == '\0';
            while (ok && pos < size - 1) {
                size_t nul = value.find('\0', pos);
                if (nul == pos) {
                    ok = false;
                    break;
                }
                ids.push_back(value.substr(pos, nul - pos));
                pos = nul + 1;
            }
            if (!ok || ids.empty()) return fail(ERROR_INVALID_DATA);
            if (property == SPDRP_HARDWAREID) {
                d->rawIds = false;
                d->rawHardwareIds.clear();
                d->hardwareIds = ids;
            } else {
                d->compatibleIds = ids;
            }
            break;
        }
        case SPDRP_DEVICEDESC:
            d->description = value.substr(0, value.find('\0'));
            break;
        default:
            return fail(ERROR_INVALID_REG_PROPERTY);
    }
    commit();
    return succeeded();
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO h, PSP_DEVINFO_DATA data) {
    Call c("SetupDiCallClassInstaller", {argHex(function), arg(h), data ? arg(data->DevInst) : "null"});
    if (c.injected()) return FALSE;
    if (!findSet(h)) return FALSE;
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    if ((function == DIF_REGISTERDEVICE || function == DIF_REMOVE) && !isAdministrator())
        return fail(ERROR_ACCESS_DENIED);
    switch (function) {
        case DIF_REGISTERDEVICE:
            if (d->registered) return fail(ERROR_DEVINST_ALREADY_EXISTS);
            d->registered = true;
            d->present = true;
            break;
        case DIF_REMOVE: {
            std::string instance = d->instanceId;
            Machine& m = machine();
            // Its child functions go with it.
            for (auto& other : m.devices)
                if (equalNoCase(other.parent, instance)) other.present = false;
            for (size_t i = 0; i < m.devices.size(); ++i) {
                Device& dev = m.devices[i];
                if (!equalNoCase(dev.instanceId, instance)) continue;
                if (dev.rootCreated || !dev.hardware) {
                    m.devices.erase(m.devices.begin() + static_cast<long>(i));
                } else {
                    // The hardware stays: it is enumerated again at the next
                    // start, without the driver it had.
                    dev.present = false;
                    dev.boundInf.clear();
                    dev.boundSection.clear();
                    dev.restartAsked = false;
                }
                break;
            }
            size_t slash = instance.find_last_of('\\');
            if (slash != std::string::npos)
                if (RegKey* e = findKey(m, EnumKey + instance.substr(0, slash)))
                    e->subkeys.erase(instance.substr(slash + 1));
            break;
        }
        default:
            return fail(ERROR_DI_DO_DEFAULT);
    }
    commit();
    return succeeded();
}

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD type) {
    Call c("SetupDiBuildDriverInfoList", {arg(h), data ? arg(data->DevInst) : "null", arg(type)});
    if (c.injected()) return FALSE;
    if (!findSet(h)) return FALSE;
    if (type != SPDIT_CLASSDRIVER && type != SPDIT_COMPATDRIVER) return fail(ERROR_INVALID_PARAMETER);
    if (type == SPDIT_COMPATDRIVER && !data) return fail(ERROR_INVALID_PARAMETER);
    if (data && !deviceOf(h, data)) return FALSE;
    // The machine keeps no INF store: the list is built, and empty.
    return succeeded();
}
