// Devices: every present device as the Setup API enumerates it, with the
// HID attributes the installer reads and the INF and section of its driver.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/owned.h"
#include "platform/win_devices.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "snapshot.h"

namespace snapshot {

namespace {

const size_t InstanceIdSize = 512;     // MAX_DEVICE_ID_LEN is 200
const DWORD PropertyStartSize = 1024;  // most properties fit; larger ones are read again
const DWORD DriverValueSize = 520;     // InfPath, InfSection and InfSectionExt
const char* const ClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
const char* const EnumKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";

struct HidDevice {
    char instance[InstanceIdSize];
    WORD vendor, product, version;
};

// The HID devices that the installer can open, sorted by instance id for
// the look-up of each device.
struct HidList {
    HidDevice* items = nullptr;
    size_t count = 0, room = 0;
    ~HidList() { std::free(items); }
    bool add(const HidDevice& d, Failure& failure) {
        if (count == room) {
            size_t grown = room ? room * 2 : 16;
            void* p = std::realloc(items, grown * sizeof *items);
            if (!p) return outOfMemory(failure);
            items = static_cast<HidDevice*>(p);
            room = grown;
        }
        items[count++] = d;
        return true;
    }
};

int byInstance(const void* a, const void* b) {
    return _stricmp(static_cast<const HidDevice*>(a)->instance, static_cast<const HidDevice*>(b)->instance);
}

bool instanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* info, char* id, Failure& failure) {
    if (SetupDiGetDeviceInstanceIdA(set, info, id, InstanceIdSize, nullptr)) return true;
    return fail(failure, GetLastError(), "cannot read a device's instance id (SetupDiGetDeviceInstanceIdA)");
}

// A registry property of a device into the buffer; its size, or false with
// `absent` set when the device has none (ERROR_INVALID_DATA).
bool property(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD which, const char* name, const char* device, Buffer& buffer,
              DWORD& size, bool& absent, Failure& failure) {
    absent = false;
    size = 0;
    if (!buffer.grow(PropertyStartSize, failure)) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, info, which, nullptr, buffer.data, buffer.size, &required)) {
            size = required;
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA) {
            absent = true;
            return true;
        }
        if (error != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size) break;
        if (!buffer.grow(required, failure)) return false;
    }
    return fail(failure, GetLastError(), "cannot read the %s of device %s (SetupDiGetDeviceRegistryPropertyA)", name,
                device);
}

// The length of a text of at most n bytes.
size_t boundedLength(const unsigned char* bytes, size_t n) {
    const void* nul = std::memchr(bytes, 0, n);
    return nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - bytes) : n;
}

// A property's text up to its NUL, as a JSON text.
void appendPropertyText(Text& t, const Buffer& b, DWORD size, bool absent) {
    if (absent) {
        appendText(t, "\"\"");
        return;
    }
    appendJsonString(t, reinterpret_cast<const char*>(b.data), boundedLength(b.data, size));
}

// The texts of a REG_MULTI_SZ as a JSON list.
void appendIdList(Text& t, const Buffer& b, DWORD size) {
    appendText(t, "[");
    bool first = true;
    for (DWORD pos = 0; pos < size && b.data[pos];) {
        const char* id = reinterpret_cast<const char*>(b.data + pos);
        size_t n = boundedLength(b.data + pos, size - pos);
        appendText(t, first ? "" : ", ");
        appendJsonString(t, id, n);
        first = false;
        pos += static_cast<DWORD>(n) + 1;
    }
    appendText(t, "]");
}

bool captureHid(HidList& found, Failure& failure) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    DeviceSet interfaces(SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!interfaces)
        return fail(failure, GetLastError(), "cannot list the HID devices (SetupDiGetClassDevsA)");
    Buffer detailBytes;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    DWORD index = 0;
    for (; SetupDiEnumDeviceInterfaces(interfaces.get(), nullptr, &hidGuid, index, &data); ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(interfaces.get(), &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return fail(failure, GetLastError(),
                        "cannot read the path of a HID device (SetupDiGetDeviceInterfaceDetailA)");
        if (!detailBytes.grow(required, failure)) return false;
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detailBytes.data);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info;
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(interfaces.get(), &data, detail, required, nullptr, &info))
            return fail(failure, GetLastError(),
                        "cannot read the path of a HID device (SetupDiGetDeviceInterfaceDetailA)");
        HidDevice device;
        if (!instanceIdOf(interfaces.get(), &info, device.instance, failure)) return false;
        // Opened as the installer opens it: a device it cannot open (a
        // keyboard or a mouse that the system holds) is not one it can read.
        FileHandle hid(CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!hid) continue;
        HIDD_ATTRIBUTES attributes;
        attributes.Size = sizeof attributes;
        bool read = HidD_GetAttributes(hid.get(), &attributes);
        hid.reset();
        if (!read) continue;
        device.vendor = attributes.VendorID;
        device.product = attributes.ProductID;
        device.version = attributes.VersionNumber;
        if (!found.add(device, failure)) return false;
    }
    if (GetLastError() != ERROR_NO_MORE_ITEMS)
        return fail(failure, GetLastError(), "cannot list the HID devices (SetupDiEnumDeviceInterfaces)");
    if (found.count) std::qsort(found.items, found.count, sizeof *found.items, byInstance);
    return true;
}

// A text value of an open key; empty when the key has none.
bool textValue(HKEY key, const char* name, char* text, const char* device, Failure& failure) {
    DWORD size = DriverValueSize - 1, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        size = 0;
    else if (rc != ERROR_SUCCESS)
        return fail(failure, static_cast<DWORD>(rc), "cannot read %s of device %s's driver key", name, device);
    text[size] = '\0';
    return true;
}

// The INF and section of the device's driver, from its driver key: into the
// device's entry, and the two keys that name them into the registry.
bool captureDriver(HDEVINFO set, SP_DEVINFO_DATA* info, const char* instance, Buffer& buffer, Capture& capture,
                   Failure& failure) {
    DWORD size = 0;
    bool absent = false;
    if (!property(set, info, SPDRP_DRIVER, "driver key", instance, buffer, size, absent, failure)) return false;
    char driver[DriverValueSize];
    if (absent || size == 0 || !buffer.data[0]) return true;
    std::snprintf(driver, sizeof driver, "%.*s", static_cast<int>(boundedLength(buffer.data, size)),
                  reinterpret_cast<char*>(buffer.data));
    char path[KeyPathSize], enumPath[KeyPathSize], classPath[KeyPathSize + 8];
    std::snprintf(path, sizeof path, "%s%s", ClassKey, driver);
    std::snprintf(enumPath, sizeof enumPath, "%s%s", EnumKey, instance);
    std::snprintf(classPath, sizeof classPath, "HKLM\\%s", path);
    startKeyEntry(capture.registry, capture.firstKey, enumPath);
    appendText(capture.registry, ", \"values\": {\"Driver\": ");
    appendJsonText(capture.registry, driver);
    appendText(capture.registry, "}}");

    RegistryKey key;
    LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE, key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;  // a driver key that names nothing
    if (rc != ERROR_SUCCESS)
        return fail(failure, static_cast<DWORD>(rc), "cannot open the driver key of device %s", instance);
    char infPath[DriverValueSize], infSection[DriverValueSize], infSectionExt[DriverValueSize];
    bool read = textValue(key.get(), "InfPath", infPath, instance, failure) &&
                textValue(key.get(), "InfSection", infSection, instance, failure) &&
                textValue(key.get(), "InfSectionExt", infSectionExt, instance, failure);
    key.reset();
    if (!read) return false;
    if (!infPath[0]) return true;
    startKeyEntry(capture.registry, capture.firstKey, classPath);
    appendText(capture.registry, ", \"values\": {\"InfPath\": ");
    appendJsonText(capture.registry, infPath);
    appendText(capture.registry, ", \"InfSection\": ");
    appendJsonText(capture.registry, infSection);
    if (infSectionExt[0]) {
        appendText(capture.registry, ", \"InfSectionExt\": ");
        appendJsonText(capture.registry, infSectionExt);
    }
    appendText(capture.registry, "}}");
    appendText(capture.devices, ", \"boundInf\": ");
    appendJsonText(capture.devices, infPath);
    appendText(capture.devices, ", \"boundSection\": ");
    appendJsonText(capture.devices, infSection);
    ++capture.boundDevices;
    return true;
}

bool captureDevice(HDEVINFO set, SP_DEVINFO_DATA* info, const HidList& hid, Buffer& buffer, Capture& capture,
                   Failure& failure) {
    HidDevice key;
    char* instance = key.instance;
    if (!instanceIdOf(set, info, instance, failure)) return false;
    DWORD size = 0;
    bool absent = false;
    Text& out = capture.devices;
    nextEntry(out, capture.firstDevice, "  ");
    appendText(out, "{\"instanceId\": ");
    appendJsonText(out, instance);
    appendText(out, ", \"class\": ");
    if (!property(set, info, SPDRP_CLASS, "setup class", instance, buffer, size, absent, failure)) return false;
    appendPropertyText(out, buffer, size, absent);
    appendText(out, ", \"classGuid\": ");
    if (!property(set, info, SPDRP_CLASSGUID, "class GUID", instance, buffer, size, absent, failure)) return false;
    appendPropertyText(out, buffer, size, absent);
    // The hardware ids as the installer reads them: byte for byte when they
    // are not a plain list.
    if (!property(set, info, SPDRP_HARDWAREID, "hardware ids", instance, buffer, size, absent, failure)) return false;
    if (absent || plainMultiSz(buffer.data, size)) {
        appendText(out, ", \"hardwareIds\": ");
        appendIdList(out, buffer, absent ? 0 : size);
    } else {
        appendText(out, ", \"hardwareIdsHex\": ");
        appendHex(out, buffer.data, size);
    }
    if (!property(set, info, SPDRP_COMPATIBLEIDS, "compatible ids", instance, buffer, size, absent, failure))
        return false;
    if (!absent) {
        appendText(out, ", \"compatibleIds\": ");
        appendIdList(out, buffer, size);
    }
    // A root-enumerated device was made by software: once removed, it is gone.
    if (_strnicmp(instance, "ROOT\\", 5) == 0) appendText(out, ", \"rootCreated\": true");
    const void* h = hid.count ? std::bsearch(&key, hid.items, hid.count, sizeof key, byInstance) : nullptr;
    if (h) {
        const HidDevice* d = static_cast<const HidDevice*>(h);
        appendFormat(out, ", \"hid\": {\"vendorId\": \"0x%04X\", \"productId\": \"0x%04X\", \"version\": \"0x%04X\"}",
                     d->vendor, d->product, d->version);
    }
    if (!captureDriver(set, info, instance, buffer, capture, failure)) return false;
    appendText(out, "}");
    ++capture.deviceCount;
    return true;
}

}  // namespace

bool captureDevices(Capture& capture, Failure& failure) {
    HidList hid;
    if (!captureHid(hid, failure)) return false;
    DeviceSet devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!devices)
        return fail(failure, GetLastError(), "cannot list the devices (SetupDiGetClassDevsA)");
    Buffer buffer;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    DWORD index = 0;
    for (; SetupDiEnumDeviceInfo(devices.get(), index, &info); ++index)
        if (!captureDevice(devices.get(), &info, hid, buffer, capture, failure)) return false;
    if (GetLastError() != ERROR_NO_MORE_ITEMS)
        return fail(failure, GetLastError(), "cannot list the devices (SetupDiEnumDeviceInfo)");
    return true;
}

bool captureSystem(Capture& capture, Failure& failure) {
    UINT length = GetSystemDirectoryA(capture.systemDirectory, sizeof capture.systemDirectory);
    if (length == 0 || length >= sizeof capture.systemDirectory)
        return fail(failure, GetLastError(), "cannot read the system directory (GetSystemDirectoryA)");
    capture.defaultLangId = GetSystemDefaultLangID();
    return true;
}

}  // namespace snapshot
