// The known hardware ids with their INF files, and which of them are present.
#pragma once

#include "base/result.h"

// The entries of the table, in the order in which detection tries them. The
// child functions are those of the adapters' multifunction devices: a
// shared serial port and processor access on the older adapter; on the newer
// adapter a shared serial port and the processor access of the new driver
// generation, where the old generation had a remote pointer and a processor
// access of its own.
enum DeviceEntry {
    NewerAdapterEntry,                   // PCI\VEN_1D3C&DEV_0207&CC_0680
    OlderAdapterEntry,                   // PCI\VEN_1D3C&DEV_01A4
    OnboardRvoEntry,                     // *QRV51A1
    OnboardFerrixEntry,                  // *QRV51A5
    OnboardQuilloEntry,                  // *QRV51A6
    OnboardBlennaEntry,                  // *QRV5190
    OlderAdapterSerialPortEntry,         // MF\MGTPROC_DEV0
    OlderAdapterProcessorAccessEntry,    // MF\MGTPROC_DEV1
    OldGenerationRemotePointerEntry,     // MF\MGTPROC_DEV2
    NewerAdapterSerialPortEntry,         // MF\MGTPROC_DEV3
    OldGenerationProcessorAccessEntry,   // MF\MGTPROC_DEV4
    NewGenerationProcessorAccessEntry,   // MF\MGTPROC_DEV5
    DeviceEntryCount
};

// A set of entries, one bit for each.
typedef unsigned DeviceEntrySet;
constexpr DeviceEntrySet entryBit(DeviceEntry entry) { return 1u << entry; }

struct DeviceTableEntry {
    const char* hardwareId;
    const char* infPath;  // below the staging tree, always starting "\win2000\"
    // The entries that count as present whenever this one is detected or
    // forced.
    DeviceEntrySet implies;
};

extern const DeviceTableEntry DeviceTable[DeviceEntryCount];

// Room for the older adapter's hardware id and its terminator.
constexpr unsigned AdapterIdSize = 256;

// What detection (or a force code) found on the machine; all clear before.
struct DetectionStateRecord {
    bool present[DeviceEntryCount];
    char oldAdapterHardwareId[AdapterIdSize];
    char forceCode;  // 0 without a force code
};

// Marks the entry present, with the entries it implies.
void markPresent(DetectionStateRecord& detection, DeviceEntry entry);

// Whether any entry is marked present.
bool anyKnownDevicePresent(const DetectionStateRecord& detection);

// USB management device: a HID device with these ids.
constexpr unsigned short UsbManagementVendorId = 0x1D3C;
constexpr unsigned short UsbManagementProductId = 0x7301;

// Scans every present device of every setup class for the known ids, unless
// a force code other than U stands for the scan. Fails as
// "SetupDiEnumDeviceInfo", with the Setup API's error, when the devices
// could not be listed or their ids read to the end of the list: the flags
// then say only what was found before.
Result detectKnownDevices(DetectionStateRecord& detection);

// Whether force code U was given or the USB management device is present.
bool isUsbManagementDevicePresent(const DetectionStateRecord& detection);
