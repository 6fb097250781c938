// Detection of the known Plug and Play devices and of the USB management
// device.
#include <cstring>

#include "base/text_search.h"
#include "devices/device_table.h"
#include "devices/hardware_ids.h"
#include "platform/owned.h"
#include "platform/win_devices.h"
#include "platform/win_files.h"

const DeviceTableEntry DeviceTable[] = {
    {"PCI\\VEN_1D3C&DEV_0207&CC_0680", "\\win2000\\korpa.inf",
     entryBit(NewGenerationProcessorAccessEntry) | entryBit(NewerAdapterSerialPortEntry)},
    {"PCI\\VEN_1D3C&DEV_01A4", "\\win2000\\korpa.inf", 0},
    {"*QRV51A1", "\\win2000\\korp.inf", 0},
    {"*QRV51A5", "\\win2000\\korp.inf", 0},
    {"*QRV51A6", "\\win2000\\korp.inf", 0},
    {"*QRV5190", "\\win2000\\korp.inf", 0},
    {"MF\\MGTPROC_DEV0", "\\win2000\\serw.inf", 0},
    {"MF\\MGTPROC_DEV1", "\\win2000\\mpw.inf", 0},
    {"MF\\MGTPROC_DEV2", "\\win2000\\rmtptr.inf", entryBit(NewGenerationProcessorAccessEntry)},
    {"MF\\MGTPROC_DEV3", "\\win2000\\serw.inf", 0},
    {"MF\\MGTPROC_DEV4", "\\win2000\\mpw.inf", entryBit(NewGenerationProcessorAccessEntry)},
    {"MF\\MGTPROC_DEV5", "\\win2000\\mpw.inf", 0},
};
static_assert(sizeof DeviceTable / sizeof DeviceTable[0] == DeviceEntryCount,
              "one table row for every entry");

void markPresent(DetectionStateRecord& detection, DeviceEntry entry) {
    detection.present[entry] = true;
    for (int k = 0; k < DeviceEntryCount; ++k)
        if (DeviceTable[entry].implies & entryBit(static_cast<DeviceEntry>(k))) detection.present[k] = true;
}

bool anyKnownDevicePresent(const DetectionStateRecord& detection) {
    for (bool present : detection.present)
        if (present) return true;
    return false;
}

namespace {

bool equalsBytes(const char* text, size_t len, const char* id) {
    return std::strlen(id) == len && std::memcmp(text, id, len) == 0;
}

// Tests one hardware id string (len bytes) against the table, entry 0 first.
// True when the string was taken by an entry whose flag was still clear.
bool takeHardwareId(DetectionStateRecord& detection, const char* id, size_t len) {
    for (int k = 0; k < DeviceEntryCount; ++k) {
        if (detection.present[k]) continue;
        bool match = k == OlderAdapterEntry ? containsText(id, len, DeviceTable[k].hardwareId)
                                            : equalsBytes(id, len, DeviceTable[k].hardwareId);
        if (!match) continue;
        if (k == OlderAdapterEntry) {
            // The id is kept whole for the binding; one that does not fit the
            // buffer does not count, so that a shorter form of the same id
            // later in the list is taken instead.
            if (len >= sizeof detection.oldAdapterHardwareId) continue;
            std::memcpy(detection.oldAdapterHardwareId, id, len);
            detection.oldAdapterHardwareId[len] = '\0';
        }
        markPresent(detection, static_cast<DeviceEntry>(k));
        return true;
    }
    return false;
}

bool takeHardwareIdVisit(const char* id, size_t len, void* detection) {
    return takeHardwareId(*static_cast<DetectionStateRecord*>(detection), id, len);
}

}  // namespace

Result detectKnownDevices(DetectionStateRecord& detection) {
    if (detection.forceCode != 0 && detection.forceCode != 'U') return Result::success();

    DeviceSet present(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!present) return Result::failure("SetupDiEnumDeviceInfo", GetLastError(), "the present devices");
    HDEVINFO devices = present.get();

    LocalBlock property;
    DWORD propertySize = 0;  // passed as the buffer's size; receives the size reported
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        HardwareIdsRead read = readHardwareIds(devices, &device, property, &propertySize);
        if (read == HardwareIdsUnreadable) break;
        if (read == HardwareIdsFound)
            walkHardwareIds(static_cast<const char*>(property.get()), propertySize, takeHardwareIdVisit, &detection);
    }

    // The list ends with ERROR_NO_MORE_ITEMS; any other error broke it off.
    DWORD scanError = GetLastError();
    if (scanError != ERROR_SUCCESS && scanError != ERROR_NO_MORE_ITEMS)
        return Result::failure("SetupDiEnumDeviceInfo", scanError, "the present devices");
    return Result::success();
}

bool isUsbManagementDevicePresent(const DetectionStateRecord& detection) {
    if (detection.forceCode == 'U') return true;

    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    DeviceSet interfaceSet(SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!interfaceSet) return false;
    HDEVINFO interfaces = interfaceSet.get();

    bool found = false;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInterfaces(interfaces, nullptr, &hidGuid, index, &interfaceData);
         ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        // Declared in the reverse of the order of their release.
        FileHandle device;
        LocalBlock detailBlock(LocalAlloc(LMEM_ZEROINIT, required));
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detailBlock.get());
        if (!detail) continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, detail, required, nullptr, nullptr)) continue;
        device.reset(CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
        if (!device) continue;
        HIDD_ATTRIBUTES attributes;
        attributes.Size = sizeof attributes;
        found = HidD_GetAttributes(device.get(), &attributes) && attributes.VendorID == UsbManagementVendorId &&
                attributes.ProductID == UsbManagementProductId;
    }
    return found;
}

HardwareIdsRead readHardwareIds(HDEVINFO devices, SP_DEVINFO_DATA* device, LocalBlock& property,
                                DWORD* propertySize) {
    for (;;) {
        DWORD passed = *propertySize;
        if (SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_HARDWAREID, nullptr,
                                              static_cast<PBYTE>(property.get()), *propertySize, propertySize))
            return HardwareIdsFound;
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA) return NoHardwareIds;
        if (error != ERROR_INSUFFICIENT_BUFFER) return HardwareIdsUnreadable;
        // A report that asks for no more than was offered would repeat for
        // ever: it ends the walk like any other error.
        if (*propertySize <= passed) return HardwareIdsUnreadable;
        // The old block goes before the larger one is asked for: one block
        // at a time.
        property.reset();
        property.reset(LocalAlloc(LMEM_ZEROINIT, *propertySize));
        if (!property) {
            *propertySize = 0;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return HardwareIdsUnreadable;
        }
    }
}

bool walkHardwareIds(const char* ids, DWORD size, bool (*visit)(const char* id, size_t len, void* context),
                     void* context) {
    if (!ids || size == 0 || ids[0] == '\0') return false;
    DWORD pos = 0;
    while (pos < size) {
        const char* s = ids + pos;
        const void* nul = std::memchr(s, '\0', size - pos);
        size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - s) : size - pos;
        if (visit(s, len, context)) return true;
        pos += static_cast<DWORD>(len) + 1;
        if (pos < size && ids[pos] == '\0') return false;
    }
    return false;
}
