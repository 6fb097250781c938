// Device information sets of the simulated Setup API, and what its
// functions share: the devices of a set, their records and properties, and
// the last error of a successful call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_devices.h"
#include "sim/core/machine.h"

namespace sim {

// Where the registry keeps each device's key (its instance id below it).
extern const char* const EnumKey;  // "SYSTEM\\CurrentControlSet\\Enum\\"

struct DevInfoSet {
    bool interfaces = false;       // made with DIGCF_DEVICEINTERFACE
    bool hasClass = false;         // made for one setup class
    GUID classGuid{};
    std::vector<std::string> members;  // instance ids, in enumeration order
    // Where each member stood in the machine's device list when the set was
    // made, so that finding it does not search the whole list; members added
    // later have none.
    std::vector<size_t> positions;
};

// The set behind a handle, or null (last error ERROR_INVALID_HANDLE).
DevInfoSet* findSet(HDEVINFO h);
uintptr_t newSet(const DevInfoSet& set);
void destroySet(HDEVINFO h);

// The device that a device record of the set names, or null with the last
// error set (ERROR_INVALID_USER_BUFFER for a wrong cbSize,
// ERROR_INVALID_PARAMETER for a record of another set,
// ERROR_NO_SUCH_DEVINST for a device that is gone).
Device* deviceOf(HDEVINFO h, PSP_DEVINFO_DATA data);
void fillDevInfoData(HDEVINFO h, size_t index, const Device& d, PSP_DEVINFO_DATA data);

Device* findDevice(const std::string& instanceId);
// The device of the set's member at `index` (the first device with its
// instance id), or null when it is gone.
Device* memberDevice(const DevInfoSet& set, size_t index);

// REG_MULTI_SZ value of a device's hardware ids, as the Setup API returns it.
std::string hardwareIdProperty(const Device& d);

// SPDRP_DRIVER: the device's driver key below the class key
// ("{guid}\\0003", REG_SZ with its NUL), the Driver value of its Enum key;
// empty for a device that was never bound.
std::string driverProperty(const Device& d);

// A successful Setup API call leaves ERROR_SUCCESS as the last error.
inline BOOL succeeded() {
    SetLastError(NO_ERROR);
    return TRUE;
}

}  // namespace sim
