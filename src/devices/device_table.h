// The known hardware ids with their INF files, and which of them are present.
#pragma once

// The entries of the table, in the order in which detection tries them.
enum DeviceEntry {
    NewerAdapterEntry,
    OlderAdapterEntry,
    OnboardRvoEntry,
    OnboardFerrixEntry,
    OnboardQuilloEntry,
    OnboardBlennaEntry,
    ChildFunction0Entry,
    ChildFunction1Entry,
    ChildFunction2Entry,
    ChildFunction3Entry,
    ChildFunction4Entry,
    ChildFunction5Entry,
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

// What detection (or a force code) found on the machine; all zero before.
struct DetectionStateRecord {
    int present[DeviceEntryCount];
    char oldAdapterHardwareId[256];
    char forceCode;
};

// Marks the entry present, with the entries it implies.
void markPresent(DetectionStateRecord& detection, DeviceEntry entry);

// USB management device: a HID device with these ids.
#define USB_MANAGEMENT_VENDOR_ID 0x1D3C
#define USB_MANAGEMENT_PRODUCT_ID 0x7301

// Scans every present device of every setup class for the known ids.
// Returns 1 when a force code other than U skipped the scan, or when the
// scan ended normally with a present flag set; 0 otherwise.
int detectKnownDevices(DetectionStateRecord& detection);

// 1 when force code U was given or the USB management device is present.
int isUsbManagementDevicePresent(const DetectionStateRecord& detection);
