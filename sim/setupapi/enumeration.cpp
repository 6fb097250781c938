// The simulated Setup API's enumeration side: device information sets of
// the present devices (or of all), their members, and what it tells of each
// device: its instance id and its registry properties (hardware and
// compatible ids, setup class, driver key, description). Every successful
// call but SetupDiGetDeviceInstanceIdA leaves ERROR_SUCCESS as the last
// error.
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/win_devices.h"
#include "platform/win_registry.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/device_names.h"
#include "sim/setupapi/device_sets.h"

using namespace sim;

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    Call c("SetupDiGetClassDevsA", {argGuid(classGuid), arg(enumerator), arg(static_cast<const void*>(parent)),
                                    argHex(flags)});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    DevInfoSet set;
    set.interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    // The first device of each instance id, as a search by id finds it.
    std::unordered_map<std::string, size_t> first;
    const auto& devices = machine().devices;
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device& d = devices[i];
        size_t firstAt = first.emplace(upper(d.instanceId), i).first->second;
        if ((flags & DIGCF_PRESENT) && !d.present) continue;
        if (!d.registered) continue;  // a device still being created lives only in its own set
        if (set.interfaces) {
            // Only the HID interface class exists on this machine.
            if (!(flags & DIGCF_ALLCLASSES) && (!classGuid || !sameGuid(*classGuid, hidGuid()))) continue;
            if (!d.hid.present) continue;
        } else if (!(flags & DIGCF_ALLCLASSES)) {
            GUID g{};
            if (!parseGuid(d.classGuid, g) || !sameGuid(g, *classGuid)) continue;
        }
        if (enumerator && *enumerator) {
            std::string prefix = std::string(enumerator) + "\\";
            if (!equalNoCase(d.instanceId.substr(0, prefix.size()), prefix)) continue;
        }
        set.members.push_back(d.instanceId);
        set.positions.push_back(firstAt);
    }
    SetLastError(NO_ERROR);  // a successful Setup API call clears the last error
    return reinterpret_cast<HDEVINFO>(newSet(set));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    Call c("SetupDiDestroyDeviceInfoList", {arg(h)}, false);
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    // Devices created in the set and never registered go with it. Most
    // machines have none, and then no member needs looking for.
    Machine& m = machine();
    size_t before = m.devices.size();
    bool anyUnregistered = false;
    for (const auto& d : m.devices) anyUnregistered = anyUnregistered || !d.registered;
    for (size_t k = 0; anyUnregistered && k < set->members.size(); ++k) {
        const std::string& member = set->members[k];
        for (size_t i = 0; i < m.devices.size(); ++i) {
            if (!m.devices[i].registered && equalNoCase(m.devices[i].instanceId, member)) {
                m.devices.erase(m.devices.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    if (m.devices.size() != before) commit();
    destroySet(h);
    return succeeded();  // as Windows does, the release leaves the last error cleared
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
    Call c("SetupDiEnumDeviceInfo", {arg(h), arg(index), data ? arg(data->cbSize) : "null"});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (set->interfaces) {
        // A set of interfaces still lists the devices behind them.
    }
    if (index >= set->members.size()) return fail(ERROR_NO_MORE_ITEMS);
    Device* d = memberDevice(*set, index);
    if (!d) return fail(ERROR_NO_SUCH_DEVINST);
    fillDevInfoData(h, index, *d, data);
    return succeeded();
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO h, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required) {
    Call c("SetupDiGetDeviceInstanceIdA",
           {arg(h), data ? arg(data->DevInst) : "null", arg(static_cast<const void*>(id)), arg(size)});
    if (c.injected()) return FALSE;
    if (!findSet(h)) return FALSE;
    // A record of the wrong size is a wrong parameter here, not a wrong buffer.
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_PARAMETER);
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    DWORD need = static_cast<DWORD>(d->instanceId.size() + 1);
    if (required) *required = need;
    if (!id && size) return fail(ERROR_INVALID_USER_BUFFER);
    if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, d->instanceId.c_str(), need);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD regType, PBYTE buffer, DWORD size, PDWORD required) {
    Call c("SetupDiGetDeviceRegistryPropertyA",
           {arg(h), data ? arg(data->DevInst) : "null", arg(property), arg(static_cast<const void*>(buffer)),
            arg(size)});
    if (c.injected()) return FALSE;
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    std::string value;
    DWORD type = REG_SZ;
    switch (property) {
        case SPDRP_HARDWAREID:
            value = hardwareIdProperty(*d);
            type = REG_MULTI_SZ;
            break;
        case SPDRP_COMPATIBLEIDS:
            for (const auto& id : d->compatibleIds) value += id + std::string(1, '\0');
            if (!value.empty()) value += std::string(1, '\0');
            type = REG_MULTI_SZ;
            break;
        case SPDRP_CLASS:
            value = d->className.empty() ? "" : regSz(d->className);
            break;
        case SPDRP_CLASSGUID:
            value = d->classGuid.empty() ? "" : regSz(d->classGuid);
            break;
        case SPDRP_DRIVER:
            value = driverProperty(*d);
            break;
        case SPDRP_DEVICEDESC:
            value = d->description.empty() ? "" : regSz(d->description);
            break;
        default:
            break;
    }
    if (value.empty()) return fail(ERROR_INVALID_DATA);
    if (required) *required = static_cast<DWORD>(value.size());
    if (regType) *regType = type;
    if (!buffer || size < value.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, value.data(), value.size());
    return succeeded();
}
