// The Setup API and the new-device library: the present devices enumerated
// to their end, a root-enumerated device made, found and removed, a driver
// bound to it (and to the machine's device whose binding asks for a
// restart, and to no device at all). On Windows every successful Setup API
// call leaves ERROR_SUCCESS as the last error.
#include <cstring>
#include <string>

#include "conformance.h"

namespace conformance {

const char* const RestartDeviceId = "KORPACONF_RESTART";

namespace {

const char* const BindDeviceId = "KORPACONF_BIND";
// Wine leaves the last error of most successful Setup API calls as it was.
const char* const LastError = "wine-setupapi-last-error";
const char* const MissingDeviceId = "KORPACONF_MISSING";
// How the instance ids of the root devices made here begin.
const char* const RootInstancePrefix = "ROOT\\KORPACONF\\";

// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System setup class.
const GUID SystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The room for a device's instance id.
const DWORD InstanceIdSize = 512;
// Enough members for any machine the checks run on.
const DWORD MostDevices = 4096;

// A driver package with one model for both ids and no function driver of
// its own (a null service).
const char* const InfText =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=System\r\n"
    "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider=%Korpa%\r\n"
    "DriverVer=01/01/2024,1.0.0.0\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Korpa%=Models\r\n"
    "\r\n"
    "[Models]\r\n"
    "%Device%=Conformance,KORPACONF_BIND\r\n"
    "%Device%=Conformance,KORPACONF_RESTART\r\n"
    "\r\n"
    "[Conformance.NT]\r\n"
    "\r\n"
    "[Conformance.NT.Services]\r\n"
    "AddService=,2\r\n"
    "\r\n"
    "[Strings]\r\n"
    "Korpa=\"Korpa\"\r\n"
    "Device=\"Korpa conformance device\"\r\n";

std::string instanceId(HDEVINFO set, SP_DEVINFO_DATA* info) {
    char id[InstanceIdSize] = "";
    SetupDiGetDeviceInstanceIdA(set, info, id, sizeof id, nullptr);
    return id;
}

// Enumerates the present devices to the end: each member's answer, then
// ERROR_NO_MORE_ITEMS; whether `instance` is among them.
bool presentDevicesInclude(const std::string& instance) {
    DeviceSet set;
    Answer a = answer([&] {
        set.reset(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
        return given(set.get());
    });
    known_answer(LastError, "SetupDiGetClassDevsA of every present device", a, TRUE, ERROR_SUCCESS, TRUE, Sentinel);
    if (!set) return false;
    bool found = false;
    DWORD index = 0;
    Answer each{TRUE, ERROR_SUCCESS};  // the first member's answer that is not this, or the last's
    for (; index < MostDevices; ++index) {
        SP_DEVINFO_DATA info;
        info.cbSize = sizeof info;
        Answer member = answer([&] { return SetupDiEnumDeviceInfo(set.get(), index, &info); });
        if (!member.result) {
            expect_answer("SetupDiEnumDeviceInfo past the last member", member, FALSE, ERROR_NO_MORE_ITEMS);
            break;
        }
        if (each.error == ERROR_SUCCESS) each = member;
        found = found || _stricmp(instanceId(set.get(), &info).c_str(), instance.c_str()) == 0;
    }
    ok(index > 0 && index < MostDevices, "SetupDiEnumDeviceInfo ends");
    known_answer(LastError, "SetupDiEnumDeviceInfo of each member", each, TRUE, ERROR_SUCCESS, TRUE, Sentinel);
    return found;
}

bool writeInf(const std::string& path) {
    FileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    DWORD size = static_cast<DWORD>(std::strlen(InfText));
    return file && WriteFile(file.get(), InfText, size, &written, nullptr) && written == size;
}

// A root-enumerated device of the System class with the hardware id, made
// and registered in `set`; its instance id, or empty.
std::string makeRootDevice(HDEVINFO set, SP_DEVINFO_DATA& info) {
    info.cbSize = sizeof info;
    Answer a = answer([&] {
        return SetupDiCreateDeviceInfoA(set, "KorpaConf", &SystemClass, nullptr, nullptr, DICD_GENERATE_ID, &info);
    });
    known_answer(LastError, "SetupDiCreateDeviceInfoA of a root device", a, TRUE, ERROR_SUCCESS, TRUE, Sentinel);
    if (!a.result) return std::string();
    const char ids[] = "KORPACONF_BIND\0";  // and the list's terminator
    a = answer([&] {
        return SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
                                                 sizeof ids);
    });
    known_answer(LastError, "SetupDiSetDeviceRegistryPropertyA of its hardware id", a, TRUE, ERROR_SUCCESS, TRUE,
                 Sentinel);
    a = answer([&] { return SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info); });
    known_answer(LastError, "SetupDiCallClassInstaller DIF_REGISTERDEVICE", a, TRUE, ERROR_SUCCESS, TRUE, Sentinel);
    return a.result ? instanceId(set, &info) : std::string();
}

Answer bind(const char* id, const std::string& inf, BOOL& restart) {
    restart = -1;  // not written
    return answer(
        [&] { return UpdateDriverForPlugAndPlayDevicesA(nullptr, id, inf.c_str(), INSTALLFLAG_FORCE, &restart); });
}

}  // namespace

void setupApiCases() {
    Answer a = answer([] { return given(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT)); });
    expect_answer("SetupDiGetClassDevsA without a class", a, FALSE, ERROR_INVALID_PARAMETER);

    DeviceSet set;
    a = answer([&] {
        set.reset(SetupDiCreateDeviceInfoList(&SystemClass, nullptr));
        return given(set.get());
    });
    known_answer(LastError, "SetupDiCreateDeviceInfoList", a, TRUE, ERROR_SUCCESS, TRUE, Sentinel);
    if (!set) return;
    SP_DEVINFO_DATA device;
    std::string instance = makeRootDevice(set.get(), device);
    ok(_strnicmp(instance.c_str(), RootInstancePrefix, std::strlen(RootInstancePrefix)) == 0,
       "the root device's instance id");
    ok(presentDevicesInclude(instance), "the registered root device is present");

    // Bindings: to the root device, to the machine's device that asks for a
    // restart, and to an id that no device carries.
    std::string inf = std::string(WorkFolder) + "\\korpaconf.inf";
    CreateDirectoryA(WorkFolder, nullptr);
    ok(writeInf(inf), "the driver package is written");
    BOOL restart = FALSE;
    expect_answer("UpdateDriverForPlugAndPlayDevicesA", bind(BindDeviceId, inf, restart), TRUE, ERROR_SUCCESS);
    ok(restart == FALSE, "a binding that needs no restart says so");
    a = bind(RestartDeviceId, inf, restart);
    expect_answer("UpdateDriverForPlugAndPlayDevicesA of a device that needs a restart", a, TRUE, ERROR_SUCCESS);
    Answer asked{restart, 0};
    known_answer("wine-no-restart-flag", "UpdateDriverForPlugAndPlayDevicesA's restart asked for", asked, TRUE, 0, FALSE,
                 0);
    a = bind(MissingDeviceId, inf, restart);
    known_answer("wine-binding-without-device", "UpdateDriverForPlugAndPlayDevicesA of an id no device carries", a,
                 FALSE, ERROR_NO_SUCH_DEVINST, TRUE, AnyError);

    // Removed, and no longer enumerated.
    if (!instance.empty()) {
        a = answer([&] { return SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device); });
        expect_answer("SetupDiCallClassInstaller DIF_REMOVE", a, TRUE, ERROR_SUCCESS);
        ok(!presentDevicesInclude(instance), "the removed device is no longer present");
    }
    a = answer([&] { return DeleteFileA(inf.c_str()); });
    expect_answer("DeleteFileA of the driver package", a, TRUE, Sentinel);
}

}  // namespace conformance
