// Devices: root-enumerated devices of the System class that stand in for the
// family's hardware, made and removed through the Setup API, and the present
// devices with their drivers' INF and section.
#include "prefixtool.h"

#include <cstdio>

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System setup class.
const GUID SystemClassGuid = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The room for a device's instance id.
const DWORD InstanceIdSize = 512;

// Every device of every class (only the present ones with DIGCF_PRESENT).
DeviceSet allDevices(DWORD flags) {
    return DeviceSet(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, flags | DIGCF_ALLCLASSES));
}

std::string instanceId(HDEVINFO set, SP_DEVINFO_DATA* info) {
    char instance[InstanceIdSize] = "";
    SetupDiGetDeviceInstanceIdA(set, info, instance, sizeof instance, nullptr);
    return instance;
}

// Reads a device's registry property as bytes; empty when it has none.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, nullptr, 0, &size);
    if (size == 0) return std::string();
    std::string data(size, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, reinterpret_cast<BYTE*>(&data[0]), size,
                                           &size))
        return std::string();
    data.resize(size);
    return data;
}

// A device's hardware ids, joined by ';'.
std::string hardwareIds(HDEVINFO set, SP_DEVINFO_DATA* info) {
    return joinMultiSz(deviceProperty(set, info, SPDRP_HARDWAREID));
}

bool setIds(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property, const std::string& ids) {
    return SetupDiSetDeviceRegistryPropertyA(set, info, property, reinterpret_cast<const BYTE*>(ids.data()),
                                             static_cast<DWORD>(ids.size()));
}

}  // namespace

// device-add <hardware id>... [--compatible <compatible id>...]: a
// root-enumerated device of the System class carrying the ids, registered
// with the Plug and Play manager.
int deviceAdd(const Args& a) {
    Args hardware, compatible;
    bool compatiblePart = false;
    for (const std::string& word : a) {
        if (word == "--compatible") compatiblePart = true;
        else (compatiblePart ? compatible : hardware).push_back(word);
    }
    if (hardware.empty()) return fail("usage");
    DeviceSet set(SetupDiCreateDeviceInfoList(&SystemClassGuid, nullptr));
    if (!set) return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    char instance[InstanceIdSize] = "";
    if (!SetupDiCreateDeviceInfoA(set.get(), "KORPATEST", &SystemClassGuid, nullptr, nullptr, DICD_GENERATE_ID, &info))
        return fail("SetupDiCreateDeviceInfoA");
    if (!setIds(set.get(), &info, SPDRP_HARDWAREID, multiSz(hardware)))
        return fail("SetupDiSetDeviceRegistryPropertyA");
    if (!compatible.empty() && !setIds(set.get(), &info, SPDRP_COMPATIBLEIDS, multiSz(compatible)))
        return fail("SetupDiSetDeviceRegistryPropertyA-compatible");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &info)) return fail("DIF_REGISTERDEVICE");
    if (!SetupDiGetDeviceInstanceIdA(set.get(), &info, instance, sizeof instance, nullptr))
        return fail("SetupDiGetDeviceInstanceIdA");
    std::printf("%s\n", instance);
    return 0;
}

// device-remove <instance id>
int deviceRemove(const Args& a) {
    if (a.size() != 1) return fail("usage");
    DeviceSet set = allDevices(0);
    if (!set) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    if (!SetupDiOpenDeviceInfoA(set.get(), a[0].c_str(), nullptr, 0, &info)) return fail("SetupDiOpenDeviceInfoA");
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &info)) return fail("DIF_REMOVE");
    return 0;
}

// devices-remove <text>...: removes every device, present or not, whose
// instance id or hardware ids contain one of the texts (letter case not
// counting); prints each removed instance.
int devicesRemove(const Args& a) {
    if (a.empty()) return fail("usage");
    DeviceSet set = allDevices(0);
    if (!set) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    int rc = 0;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set.get(), count, &info)) ++count;
    // From the last to the first, so that a removal moves no device still to
    // be looked at.
    for (DWORD i = count; i-- > 0;) {
        if (!SetupDiEnumDeviceInfo(set.get(), i, &info)) continue;
        std::string instance = instanceId(set.get(), &info);
        if (!containsAny(instance, a) && !containsAny(hardwareIds(set.get(), &info), a)) continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &info)) std::printf("removed %s\n", instance.c_str());
        else rc = fail("DIF_REMOVE");
    }
    return rc;
}

// devices [text]: every present device whose instance id or hardware ids
// contain the text, as "instance|ids|InfPath|InfSection".
int devices(const Args& a) {
    std::string filter = a.empty() ? std::string() : a[0];
    DeviceSet set = allDevices(DIGCF_PRESENT);
    if (!set) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &info); ++i) {
        std::string instance = instanceId(set.get(), &info);
        std::string ids = hardwareIds(set.get(), &info);
        if (!filter.empty() && instance.find(filter) == std::string::npos && ids.find(filter) == std::string::npos)
            continue;
        std::string infPath, infSection;
        HKEY opened = SetupDiOpenDevRegKey(set.get(), &info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        RegistryKey driverKey(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
        if (driverKey) {
            infPath = regString(driverKey.get(), "InfPath");
            infSection = regString(driverKey.get(), "InfSection");
        }
        std::printf("%s|%s|%s|%s\n", instance.c_str(), ids.c_str(), infPath.c_str(), infSection.c_str());
    }
    return 0;
}
