// The known hardware ids with their INF files, and which of them are present.
#pragma once

#define KNOWN_DEVICE_COUNT 12

struct DeviceTableEntry {
    const char* hardwareId;
    const char* infPath;  // below the staging tree, always starting "\win2000\"
};

extern const DeviceTableEntry DeviceTable[KNOWN_DEVICE_COUNT];

struct DetectionStateRecord {
    int present[KNOWN_DEVICE_COUNT];
    char oldAdapterHardwareId[256];
    char forceCode;
};
extern DetectionStateRecord DetectionState;

// USB management device: a HID device with these ids.
#define USB_MANAGEMENT_VENDOR_ID 0x1D3C
#define USB_MANAGEMENT_PRODUCT_ID 0x7301

// Scans every present device of every setup class for the known ids.
// Returns 1 when a force code other than U skipped the scan, or when the
// scan ended normally with a present flag set; 0 otherwise.
int detectKnownDevices();

// 1 when force code U was given or the USB management device is present.
int isUsbManagementDevicePresent();
