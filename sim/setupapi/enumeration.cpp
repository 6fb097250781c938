// What the simulated Setup API tells about a device beyond its hardware ids:
// its instance id and its driver key.
#include <cstring>

#include "sim/setupapi/device_sets.h"
#include "platform/win_registry.h"
#include "sim/core/runtime.h"

using namespace sim;

namespace sim {

std::string driverProperty(const Device& d) {
    const RegKey* e = findKey(machine(), "SYSTEM\\CurrentControlSet\\Enum\\" + d.instanceId);
    if (!e) return "";
    auto it = e->values.find("Driver");
    if (it == e->values.end() || it->second.type != REG_SZ || it->second.data.size() <= 1) return "";
    return it->second.data;
}

}  // namespace sim

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO h, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required) {
    Call c("SetupDiGetDeviceInstanceIdA",
           {arg(h), data ? arg(data->DevInst) : "null", arg(static_cast<const void*>(id)), arg(size)});
    if (c.injected()) return FALSE;
    if (!findSet(h)) return FALSE;
    // A record of the wrong size is a wrong parameter here, not a wrong buffer.
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    DWORD need = static_cast<DWORD>(d->instanceId.size() + 1);
    if (required) *required = need;
    if (!id && size) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(id, d->instanceId.c_str(), need);
    return TRUE;
}
