// The built-in machines: a plain Windows 2000 server, the devices of the
// product family as Windows enumerates them, and the presets that carry the
// devices and earlier software of each installation branch.
#include "sim/machines/presets.h"

#include <functional>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/pending_renames.h"

namespace sim {

namespace {

// The compatible ids that a PCI device reports after its hardware ids, from
// the most to the least specific: "PCI\VEN_v&DEV_d&REV_r", "PCI\VEN_v&DEV_d",
// then by class code (cc: class, subclass and interface, "078000").
std::vector<std::string> pciCompatibleIds(const std::string& vendorDevice, const std::string& revision,
                                          const std::string& cc) {
    std::string vendor = vendorDevice.substr(0, vendorDevice.find('&'));
    return {"PCI\\" + vendorDevice + "&REV_" + revision, "PCI\\" + vendorDevice,
            "PCI\\" + vendor + "&CC_" + cc, "PCI\\" + vendor + "&CC_" + cc.substr(0, 4),
            "PCI\\" + vendor, "PCI\\CC_" + cc, "PCI\\CC_" + cc.substr(0, 4)};
}

// A management adapter on the PCI bus at a location, as Windows enumerates
// it: its hardware ids from the most to the least specific, then its
// compatible ids.
Device pciAdapter(const std::string& vendorDevice, const std::string& subsystem, const std::string& revision,
                  const std::string& cc, const std::string& location, const std::string& description) {
    std::string id = "PCI\\" + vendorDevice;
    Device d = plainDevice(id + "&" + subsystem + "&REV_" + revision + "\\" + location, "MultiFunction",
                           MultifunctionClassGuid,
                           {id + "&" + subsystem + "&REV_" + revision, id + "&" + subsystem, id + "&CC_" + cc,
                            id + "&CC_" + cc.substr(0, 4)},
                           description);
    d.compatibleIds = pciCompatibleIds(vendorDevice, revision, cc);
    return d;
}

}  // namespace

Device plainDevice(const std::string& instance, const std::string& cls, const std::string& guid,
                   std::vector<std::string> ids, const std::string& description) {
    Device d;
    d.instanceId = instance;
    d.className = cls;
    d.classGuid = guid;
    d.hardwareIds = std::move(ids);
    d.description = description;
    return d;
}

void addService(Machine& m, const std::string& name, uint32_t type, uint32_t start, const std::string& image,
                const std::string& display) {
    RegKey& k = ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\" + name);
    k.values["Type"] = RegValue{REG_DWORD, regDword(type)};
    k.values["Start"] = RegValue{REG_DWORD, regDword(start)};
    k.values["ErrorControl"] = RegValue{REG_DWORD, regDword(SERVICE_ERROR_NORMAL)};
    k.values["ImagePath"] = RegValue{REG_EXPAND_SZ, regSz(image)};
    k.values["DisplayName"] = RegValue{REG_SZ, regSz(display)};
}

Machine baseMachine(const std::string& mediaDir) {
    Machine m;
    m.name = "Windows 2000 Server";
    m.drives["C"] = "drives/C";
    m.drives["D"] = mediaDir;
    m.cwd["C"] = "\\";
    m.cwd["D"] = "\\";
    m.devices = {
        plainDevice("ROOT\\ACPI_HAL\\0000", "Computer", "{4D36E966-E325-11CE-BFC1-08002BE10318}",
                    {"acpipic_up"}, "Advanced Configuration and Power Interface (ACPI) PC"),
        plainDevice("ACPI\\PNP0A03\\0", "System", SystemClassGuid, {"ACPI\\PNP0A03", "*PNP0A03"}, "PCI bus"),
        plainDevice("PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_01\\3&61AAA01&0&38", "System", SystemClassGuid,
                    {"PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_01", "PCI\\VEN_8086&DEV_7110&SUBSYS_00000000",
                     "PCI\\VEN_8086&DEV_7110&CC_060100", "PCI\\VEN_8086&DEV_7110&CC_0601"},
                    "PCI to ISA bridge"),
        plainDevice("ROOT\\LEGACY_BEEP\\0000", "LegacyDriver", "{8ECC055D-047F-11D1-A537-0000F8753ED1}", {},
                    "Beep"),
        plainDevice("ACPI\\PNP0303\\4&1D401FB5&0", "Keyboard", "{4D36E96B-E325-11CE-BFC1-08002BE10318}",
                    {"ACPI\\PNP0303", "*PNP0303"}, "Standard 101/102-Key Keyboard"),
    };
    Device mouse = plainDevice("HID\\VID_045E&PID_0040\\6&2C1F0F2E&0&0000", "HIDClass", HidClassGuid,
                               {"HID\\VID_045E&PID_0040&REV_0300", "HID\\VID_045E&PID_0040", "HID_DEVICE"},
                               "HID-compliant mouse");
    mouse.hid = {true, 0x045E, 0x0040, 0x0300};
    m.devices.push_back(mouse);

    ensureKey(m, RunOnceKey);
    ensureKey(m, "SYSTEM\\CurrentControlSet\\Control");
    ensureKey(m, SessionManagerKey);  // whose list of file operations waits for the next start
    addService(m, "EventLog", SERVICE_WIN32_SHARE_PROCESS, SERVICE_AUTO_START,
               "%SystemRoot%\\system32\\services.exe", "Event Log");
    addService(m, "PlugPlay", SERVICE_WIN32_SHARE_PROCESS, SERVICE_AUTO_START,
               "%SystemRoot%\\system32\\services.exe", "Plug and Play");
    addService(m, "Tcpip", SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
               "System32\\DRIVERS\\tcpip.sys", "TCP/IP Protocol Driver");
    addService(m, "Beep", SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, "System32\\DRIVERS\\beep.sys", "Beep");
    addService(m, "Schedule", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
               "%SystemRoot%\\system32\\MSTask.exe", "Task Scheduler");
    return m;
}

Device newerAdapter() {
    return pciAdapter("VEN_1D3C&DEV_0207", "SUBSYS_02071D3C", "01", "068000", "3&61AAA01&0&58", "Management adapter");
}

// Among its compatible ids "PCI\VEN_1D3C&DEV_01A4", the table's id that
// force code W binds.
Device olderAdapter() {
    return pciAdapter("VEN_1D3C&DEV_01A4", "SUBSYS_01A41D3C", "02", "078000", "3&61AAA01&0&60",
                      "Management adapter (older)");
}

Device childFunction(int n, const std::string& parent) {
    std::string id = "MF\\MGTPROC_DEV" + std::to_string(n);
    std::string tail = parent.substr(parent.find_last_of('\\') + 1);
    Device d = plainDevice("MF\\MGTPROC_DEV" + std::to_string(n) + "\\4&" + tail + "&0&0" + std::to_string(n),
                           "System", SystemClassGuid, {id}, "Management processor function " + std::to_string(n));
    d.parent = parent;
    return d;
}

Device onboardProcessor(const std::string& id, int instance) {
    return plainDevice("ISAPNP\\" + id.substr(1) + "\\" + std::to_string(instance), "System", SystemClassGuid, {id},
                       "On-board management processor");
}

Device usbManagementDevice() {
    Device d = plainDevice("HID\\VID_1D3C&PID_7301\\6&1A2B3C4D&0&0000", "HIDClass", HidClassGuid,
                           {"HID\\VID_1D3C&PID_7301&REV_0100", "HID\\VID_1D3C&PID_7301", "HID_DEVICE"},
                           "USB management device");
    d.hid = {true, 0x1D3C, 0x7301, 0x0100};
    return d;
}

namespace {

struct Preset {
    const char* name;
    const char* description;
    std::function<void(Machine&)> build;
};

void earlierSoftware(Machine& m) {
    addService(m, "qrvmpw", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
               "System32\\DRIVERS\\qrvmpw.sys", "QRV Service Processor (Version 4.21)");
    addService(m, "qrvrvosv", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
               "%SystemRoot%\\system32\\qrvrvosv.exe", "QRV Restivo service");
    ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\qrvrvosv\\Parameters").values["Interval"] =
        RegValue{REG_DWORD, regDword(30)};
    ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\qrvrvosv\\Security");
    addService(m, "qrvrvoex", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
               "%SystemRoot%\\system32\\qrvrvoex.exe", "QRV Restivo extension");
    ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\qrvrvoex\\Enum");
    addService(m, "qrvmprem", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
               "%SystemRoot%\\system32\\QRVMPREM.EXE", "QRV remote support");
    ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\qrvmprem\\Parameters");
}

// Earlier software whose service keys resist the cleanup: a key three levels
// below qrvrvosv, a qrvrvoex key whose security cannot be read, and a first
// qrvmprem key that administrators may only read, before a second one.
void stubbornEarlierSoftware(Machine& m) {
    earlierSoftware(m);
    const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
    ensureKey(m, services + "qrvrvosv\\Parameters\\Ports\\COM1").values["Baud"] = RegValue{REG_DWORD, regDword(9600)};
    findKey(m, services + "qrvrvoex")->securityReadable = false;
    RegKey& locked = *findKey(m, services + "qrvmprem");
    locked.owner = "S-1-5-18";
    locked.dacl = {Ace{true, "S-1-5-18", KEY_ALL_ACCESS, 0}, Ace{true, "S-1-5-32-544", KEY_READ, 0}};
    addService(m, "qrvmprem2", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
               "%SystemRoot%\\system32\\QRVMPREM2.EXE", "QRV remote support 2");
    ensureKey(m, services + "qrvmprem2\\Parameters");
}

const std::vector<Preset>& presets() {
    static const std::vector<Preset> p = {
        {"default",
         "the typical unattended run: the newer adapter with child function 4 of the old driver generation",
         [](Machine& m) {
             // Its new driver replaces one in use: the binding asks for a restart.
             Device a = newerAdapter();
             a.needsRestart = true;
             m.devices.push_back(a);
             m.devices.push_back(childFunction(4, a.instanceId));
         }},
        {"newer-adapter", "the newer adapter alone, its child functions not yet enumerated",
         [](Machine& m) { m.devices.push_back(newerAdapter()); }},
        {"clean", "no device of the product family: the legacy setup program does the work", [](Machine&) {}},
        {"usb", "the USB management device", [](Machine& m) { m.devices.push_back(usbManagementDevice()); }},
        {"old-adapter", "the older adapter and the on-board processor *QRV5190, no processor driver registered",
         [](Machine& m) {
             m.devices.push_back(olderAdapter());
             m.devices.push_back(onboardProcessor("*QRV5190", 1));
         }},
        {"onboard", "the four on-board processors", [](Machine& m) {
             int i = 1;
             for (const char* id : {"*QRV51A1", "*QRV51A5", "*QRV51A6", "*QRV5190"})
                 m.devices.push_back(onboardProcessor(id, i++));
         }},
        {"earlier-software", "the USB management device with earlier software and its service keys",
         [](Machine& m) {
             m.devices.push_back(usbManagementDevice());
             earlierSoftware(m);
         }},
        {"stubborn-keys",
         "the USB management device with earlier service keys that resist deletion (deep, unreadable, locked)",
         [](Machine& m) {
             m.devices.push_back(usbManagementDevice());
             stubbornEarlierSoftware(m);
         }},
        {"old-driver",
         "the older adapter and the on-board processor *QRV5190 with the old processor driver (version 4.21)",
         [](Machine& m) {
             m.devices.push_back(olderAdapter());
             m.devices.push_back(onboardProcessor("*QRV5190", 1));
             addService(m, "qrvmpw", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                        "System32\\DRIVERS\\qrvmpw.sys", "QRV Service Processor (Version 4.21)");
             m.extra["presetFiles"][m.systemDirectory + "\\drivers\\qrvmpw.sys"] = "processor driver 4.21\n";
         }},
        {"processor-service", "the newer adapter with the processor service program of an earlier installation",
         [](Machine& m) {
             m.devices.push_back(newerAdapter());
             addService(m, "qrvmpsvc", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                        "%SystemRoot%\\system32\\qrvmpsvc.exe", "QRV processor service");
             m.extra["presetFiles"][m.systemDirectory + "\\qrvmpsvc.exe"] = {{"host", m.drives["D"] + "/win2000/QRVMPSVC.EXE"}};
         }},
    };
    return p;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> presetList() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& p : presets()) out.emplace_back(p.name, p.description);
    return out;
}

bool makePreset(const std::string& name, const std::string& mediaDir, Machine& m) {
    for (const auto& p : presets()) {
        if (name != p.name) continue;
        m = baseMachine(mediaDir);
        m.name = name;
        p.build(m);
        return true;
    }
    return false;
}

}  // namespace sim
