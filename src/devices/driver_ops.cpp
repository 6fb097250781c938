// The Plug and Play operations of the installer: binding an INF to the
// present devices with a hardware id, creating a root-enumerated device, and
// removing the first present device with a hardware id.
#include "devices/driver_ops.h"

#include <cstdio>
#include <cstring>

#include "devices/hardware_ids.h"
#include "platform/owned.h"
#include "platform/win_files.h"

Result installDeviceDriver(const Catalogue& messages, const char* hardwareId, const char* infPath,
                           BOOL* restartIndication) {
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA(infPath, &found));
    bool infFound = static_cast<bool>(search);
    DWORD findError = infFound ? ERROR_SUCCESS : GetLastError();
    search.reset();

    messages.print(MsgInstallingDrivers, infPath);

    // The binding is asked for even without the INF: its own answer then
    // reports the missing file, and the result below is a failure anyway.
    BOOL bound = UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, restartIndication);
    if (!bound) return Result::failure("UpdateDriverForPlugAndPlayDevicesA", GetLastError(), hardwareId);
    if (!infFound) return Result::failure("FindFirstFileA", findError, infPath);
    return Result::success();
}

Result createRootDevice(const char* hardwareId, const char* infPath, DeviceSet& deviceSet, SP_DEVINFO_DATA* device) {
    GUID classGuid;
    char className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(infPath, &classGuid, className, sizeof className, nullptr))
        return Result::failure("SetupDiGetINFClassA", GetLastError(), infPath);

    deviceSet.reset(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!deviceSet) return Result::failure("SetupDiCreateDeviceInfoList", GetLastError(), className);
    HDEVINFO set = deviceSet.get();

    device->cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiCreateDeviceInfoA(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, device))
        return Result::failure("SetupDiCreateDeviceInfoA", GetLastError(), hardwareId);

    // A multi-string of one id: the id, its NUL and the NUL that ends the list.
    char property[LINE_LEN + 2];
    size_t length = std::strlen(hardwareId);
    if (length + 2 > sizeof property)
        return Result::failure("SetupDiSetDeviceRegistryPropertyA", ERROR_INVALID_PARAMETER, hardwareId);
    std::memcpy(property, hardwareId, length);
    property[length] = '\0';
    property[length + 1] = '\0';
    if (!SetupDiSetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(property),
                                           static_cast<DWORD>(length + 2)))
        return Result::failure("SetupDiSetDeviceRegistryPropertyA", GetLastError(), hardwareId);

    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, device))
        return Result::failure("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)", GetLastError(), hardwareId);

    // Without a compatible driver the device is still made; the binding
    // that follows brings its driver.
    SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER);
    return Result::success();
}

namespace {

// Room for a device instance id (MAX_DEVICE_ID_LEN is 200).
const DWORD InstanceIdSize = 256;

// The digits that a generated device id (DICD_GENERATE_ID) ends with.
const size_t GeneratedNumberLength = 4;

// The property holds the one id and no other, as createRootDevice writes it.
bool isOnlyHardwareId(const char* ids, DWORD size, const char* id, size_t length) {
    return size >= length + 1 && std::memcmp(ids, id, length) == 0 && ids[length] == '\0' &&
           (size == length + 1 || ids[length + 1] == '\0');
}

// The instance id is the prefix (ROOT\<name>\, in any case) and the four
// digits of a generated id, as SetupDiCreateDeviceInfoA names a device made
// under that name.
bool isGeneratedRootName(const char* instance, const char* prefix) {
    const size_t prefixLength = std::strlen(prefix);
    if (_strnicmp(instance, prefix, prefixLength) != 0) return false;
    const char* number = instance + prefixLength;
    for (size_t i = 0; i < GeneratedNumberLength; ++i)
        if (number[i] < '0' || number[i] > '9') return false;
    return number[GeneratedNumberLength] == '\0';
}

struct WantedId {
    const char* id;
    size_t length;
};

bool isWantedId(const char* id, size_t len, void* context) {
    const WantedId* wanted = static_cast<const WantedId*>(context);
    return len == wanted->length && std::memcmp(id, wanted->id, len) == 0;
}

// Walks the devices of a set in enumeration order with their hardware ids
// (a device without any is passed over), until the visit returns false or
// the ids of a device cannot be read. A device that the visit removes keeps
// its place in the set: the walk goes on.
template <typename Visit>
void walkDevicesWithIds(HDEVINFO devices, Visit visit) {
    LocalBlock property;
    DWORD propertySize = 0;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        HardwareIdsRead read = readHardwareIds(devices, &device, property, &propertySize);
        if (read == HardwareIdsUnreadable) break;
        if (read == NoHardwareIds) continue;
        if (!visit(devices, &device, static_cast<const char*>(property.get()), propertySize)) break;
    }
}

// Visits the present devices that have the hardware id, in enumeration
// order, until the visit returns false.
template <typename Visit>
void forEachPresentDeviceWithId(const char* hardwareId, Visit visit) {
    DeviceSet present(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!present) return;
    WantedId wanted = {hardwareId, std::strlen(hardwareId)};
    walkDevicesWithIds(present.get(), [&](HDEVINFO devices, SP_DEVINFO_DATA* device, const char* ids, DWORD size) {
        return !walkHardwareIds(ids, size, isWantedId, &wanted) || visit(devices, device);
    });
}

}  // namespace

void removeDeviceById(const char* hardwareId) {
    // Only the first device with the id: the others stay.
    forEachPresentDeviceWithId(hardwareId, [](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        SetupDiCallClassInstaller(DIF_REMOVE, devices, device);
        return false;
    });
}

void removeLeftoverRootDevices(const char* hardwareId, const char* infPath) {
    GUID classGuid;
    char className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(infPath, &classGuid, className, sizeof className, nullptr)) return;
    char prefix[sizeof "ROOT\\" + MAX_CLASS_NAME_LEN];
    std::snprintf(prefix, sizeof prefix, "ROOT\\%s\\", className);

    // Only the root-enumerated devices of the INF's class: the real child
    // function, which its adapter enumerates, is never among them.
    DeviceSet roots(SetupDiGetClassDevsA(&classGuid, "ROOT", nullptr, DIGCF_PRESENT));
    if (!roots) return;
    const size_t idLength = std::strlen(hardwareId);
    walkDevicesWithIds(roots.get(), [&](HDEVINFO devices, SP_DEVINFO_DATA* device, const char* ids, DWORD size) {
        char instance[InstanceIdSize];
        if (isOnlyHardwareId(ids, size, hardwareId, idLength) &&
            SetupDiGetDeviceInstanceIdA(devices, device, instance, sizeof instance, nullptr) &&
            isGeneratedRootName(instance, prefix))
            SetupDiCallClassInstaller(DIF_REMOVE, devices, device);
        return true;
    });
}

int countPresentDevices(const char* hardwareId) {
    int count = 0;
    forEachPresentDeviceWithId(hardwareId, [&count](HDEVINFO, SP_DEVINFO_DATA*) {
        ++count;
        return true;
    });
    return count;
}
