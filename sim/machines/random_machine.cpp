#include "sim/machines/random_machine.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/machine_json.h"
#include "sim/machines/presets.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace sim {

namespace {

// A small generator of its own (splitmix64), so that a seed means the same
// machine with every standard library.
class Dice {
public:
    explicit Dice(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    bool chance(unsigned percent) { return next() % 100 < percent; }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    template <typename T>
    const T& pick(const std::vector<T>& options) {
        return options[below(options.size())];
    }

private:
    uint64_t state_;
};

const char* const SystemDir = "C:\\WINNT\\system32";
const char* const StagedWin2000 = "C:\\WINNT\\system32\\drivers\\korpa\\win2000\\";
const char* const MediaVersion = "5.10.0";

struct Language {
    uint16_t id;
    const char* file;  // below the media's nls folder
};
const std::vector<Language> Languages = {
    {0x0409, "english.nls"}, {0x0407, "german.nls"}, {0x040C, "french.nls"},
    {0x040A, "spanish.nls"}, {0x0411, "japanese.nls"},
};

// Version texts older than, equal to and newer than the media's, as the
// installer compares them (the digits as one whole number).
const std::vector<std::string> OlderVersions = {"5.02.0", "4.99.0", "5.0.9"};
const std::vector<std::string> NewerVersions = {"5.20.0", "5.10.1", "7.00.0"};

std::string stampedVersion(Dice& dice) {
    switch (dice.below(3)) {
        case 0: return dice.pick(OlderVersions);
        case 1: return MediaVersion;
        default: return dice.pick(NewerVersions);
    }
}

// What a description holds beside the machine: files by Windows path.
struct Builder {
    Machine m;
    std::map<std::string, std::string> fileText;  // Windows path -> bytes

    void file(const std::string& windowsPath, const std::string& text) { fileText[windowsPath] = text; }

    // A driver package file of an earlier installation, with its stamp.
    void stampedFile(const std::string& windowsPath, const std::string& version) {
        std::string name = windowsPath.substr(windowsPath.find_last_of('\\') + 1);
        file(windowsPath, "Placeholder " + name + " of an earlier installation\r\n!@#$" + version + "$#@!\r\n");
    }

    // A program of an earlier installation: a Windows image, which the
    // simulator runs as the build's program of the same name.
    void earlierProgram(const std::string& windowsPath, const std::string& version) {
        std::string name = windowsPath.substr(windowsPath.find_last_of('\\') + 1);
        file(windowsPath, "MZ placeholder " + name + " of an earlier installation\r\n!@#$" + version + "$#@!\r\n");
    }
};

std::string instanceWithTail(const Device& d, const std::string& tail) {
    return d.instanceId.substr(0, d.instanceId.find_last_of('\\') + 1) + tail;
}

std::string earlierInf(Dice& dice) { return "C:\\WINNT\\inf\\oem" + std::to_string(2 + dice.below(8)) + ".inf"; }

// An earlier driver bound to a device, as an earlier installation left it.
void bindEarlier(Dice& dice, Device& d, const std::string& section) {
    d.boundInf = earlierInf(dice);
    d.boundSection = section;
}

// One adapter with the child functions that its hardware exposes. An
// earlier driver of the adapter is recorded as bound; like the presets', it
// leaves no declaration of child functions behind (the driver package
// declares them in the adapter's hardware key when it is bound), so that
// which functions appear after a restart is the media's driver's choice.
void addAdapter(Builder& b, Dice& dice, Device adapter, const std::vector<int>& functions, const char* section) {
    adapter.needsRestart = dice.chance(30);
    if (dice.chance(45)) bindEarlier(dice, adapter, section);
    b.m.devices.push_back(adapter);
    for (int n : functions) {
        if (!dice.chance(35)) continue;
        Device child = childFunction(n, adapter.instanceId);
        if (dice.chance(40)) bindEarlier(dice, child, n == 0 || n == 3 ? "Serw.NT" : (n == 2 ? "Rmtptr.NT" : "Mpw.NT"));
        b.m.devices.push_back(child);
    }
}

void addFamilyDevices(Builder& b, Dice& dice) {
    if (dice.chance(45)) {
        int count = dice.chance(8) ? 2 : 1;
        for (int i = 0; i < count; ++i) {
            Device a = newerAdapter();
            if (i) a.instanceId = instanceWithTail(a, "3&61AAA01&0&68");
            // The newer adapter's functions of both driver generations.
            addAdapter(b, dice, a, {2, 3, 4, 5}, "KorpaNewer.NT");
        }
    }
    if (dice.chance(30)) {
        int count = dice.chance(8) ? 2 : 1;
        for (int i = 0; i < count; ++i) {
            Device a = olderAdapter();
            if (i) a.instanceId = instanceWithTail(a, "3&61AAA01&0&70");
            addAdapter(b, dice, a, {0, 1}, "KorpaOlder.NT");
        }
    }
    int instance = 1;
    for (const char* id : {"*QRV51A1", "*QRV51A5", "*QRV51A6", "*QRV5190"}) {
        if (!dice.chance(22)) continue;
        Device p = onboardProcessor(id, instance++);
        if (dice.chance(40)) bindEarlier(dice, p, "Korp.NT");
        b.m.devices.push_back(p);
    }
    if (dice.chance(15)) b.m.devices.push_back(usbManagementDevice());
}

// Devices that are not of the family, some of them near misses of its ids.
void addUnrelatedDevices(Builder& b, Dice& dice) {
    const char* net = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    const char* scsi = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
    std::vector<Device> options;
    Device nic = plainDevice("PCI\\VEN_8086&DEV_1229&SUBSYS_000C8086&REV_08\\3&61AAA01&0&40", "Net", net,
                             {"PCI\\VEN_8086&DEV_1229&SUBSYS_000C8086&REV_08", "PCI\\VEN_8086&DEV_1229&CC_020000"},
                             "Network adapter");
    nic.boundInf = "C:\\WINNT\\inf\\net557.inf";
    nic.boundSection = "E100B.ndi";
    options.push_back(nic);
    options.push_back(plainDevice("PCI\\VEN_9005&DEV_00C0&SUBSYS_F6209005&REV_01\\3&61AAA01&0&48", "SCSIAdapter",
                                  scsi, {"PCI\\VEN_9005&DEV_00C0&SUBSYS_F6209005&REV_01", "PCI\\VEN_9005&DEV_00C0"},
                                  "SCSI controller"));
    // Another device of the family's vendor, without a driver.
    options.push_back(plainDevice("PCI\\VEN_1D3C&DEV_0300&SUBSYS_03001D3C&REV_01\\3&61AAA01&0&50", "Unknown", "",
                                  {"PCI\\VEN_1D3C&DEV_0300&SUBSYS_03001D3C&REV_01", "PCI\\VEN_1D3C&DEV_0300"},
                                  "PCI device"));
    // An on-board id one letter away from the family's.
    options.push_back(plainDevice("ISAPNP\\QRV51A2\\1", "System", SystemClassGuid, {"*QRV51A2"}, "ISA device"));
    // A child function id in the wrong letter case matches nothing.
    options.push_back(
        plainDevice("ROOT\\MGTPROC\\0000", "System", SystemClassGuid, {"mf\\mgtproc_dev3"}, "Root device"));
    Device hidOther = plainDevice("HID\\VID_1D3C&PID_7302\\6&2B3C4D5E&0&0000", "HIDClass", HidClassGuid,
                                  {"HID\\VID_1D3C&PID_7302&REV_0100", "HID\\VID_1D3C&PID_7302", "HID_DEVICE"},
                                  "HID device of the family's vendor");
    hidOther.hid = {true, 0x1D3C, 0x7302, 0x0100};
    options.push_back(hidOther);
    // A device whose hardware-id property is empty.
    Device empty = plainDevice("ROOT\\UNKNOWN\\0000", "Unknown", "", {}, "Device without ids");
    empty.rawIds = true;
    empty.rawHardwareIds = std::string(2, '\0');
    options.push_back(empty);
    size_t count = dice.below(4);
    for (size_t i = 0; i < count; ++i) {
        const Device& d = options[dice.below(options.size())];
        bool taken = false;
        for (const auto& have : b.m.devices) taken = taken || have.instanceId == d.instanceId;
        if (!taken) b.m.devices.push_back(d);
    }
}

// Security of an earlier service key: as Windows made it, or resisting the
// cleanup (owned by the system with administrators reading only; security
// that cannot be read; administrators denied).
void secureKey(Dice& dice, RegKey& k) {
    switch (dice.below(8)) {
        case 0:
            k.owner = "S-1-5-18";
            k.dacl = {Ace{true, "S-1-5-18", KEY_ALL_ACCESS, 0}, Ace{true, "S-1-5-32-544", KEY_READ, 0}};
            break;
        case 1: k.securityReadable = false; break;
        case 2:
            k.dacl.insert(k.dacl.begin(), Ace{false, "S-1-5-32-544", DELETE, 0});
            break;
        default: break;
    }
}

const std::string ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

void addEarlierService(Builder& b, Dice& dice, const std::string& name, uint32_t type, const std::string& image,
                       const std::string& display, const std::vector<std::string>& subkeys) {
    addService(b.m, name, type, type == SERVICE_KERNEL_DRIVER ? SERVICE_DEMAND_START : SERVICE_AUTO_START,
               image, display);
    for (const auto& sub : subkeys) ensureKey(b.m, ServicesKey + name + "\\" + sub);
    secureKey(dice, *findKey(b.m, ServicesKey + name));
}

void addEarlierSoftware(Builder& b, Dice& dice) {
    const std::string sys = SystemDir;
    bool processorDevices = false;
    for (const auto& d : b.m.devices)
        for (const auto& id : d.hardwareIds)
            processorDevices = processorDevices || id.rfind("*QRV5", 0) == 0 || id.find("DEV_01A4") != std::string::npos;

    // The processor driver, registered with a recognised version, an
    // unrecognised one or no display name; its file with a stamp.
    if (dice.chance(processorDevices ? 55 : 15)) {
        static const std::vector<std::string> names = {
            "QRV (Version 5.02) processor driver",  "QRV (Version 4.99) processor driver",
            "QRV (Version 6.1) processor driver",   "QRV Service Processor (Version 4.21)",
            "QRV (Version 10.0) processor driver",  "QRV (Version 4.98) processor driver",
        };
        addService(b.m, "qrvmpw", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                   "System32\\DRIVERS\\qrvmpw.sys", dice.pick(names));
        if (dice.chance(10)) findKey(b.m, ServicesKey + "qrvmpw")->values.erase("DisplayName");
        if (dice.chance(65)) b.stampedFile(sys + "\\drivers\\qrvmpw.sys", stampedVersion(dice));
    }
    // The restart feature's service and extension, and its program.
    if (dice.chance(30)) {
        addEarlierService(b, dice, "qrvrvosv", SERVICE_WIN32_OWN_PROCESS,
                          "%SystemRoot%\\system32\\qrvrvosv.exe", "QRV Restivo service",
                          dice.chance(30) ? std::vector<std::string>{"Parameters", "Security", "Parameters\\Ports\\COM1"}
                                          : std::vector<std::string>{"Parameters", "Security"});
        if (dice.chance(70))
            addEarlierService(b, dice, "qrvrvoex", SERVICE_WIN32_OWN_PROCESS, "%SystemRoot%\\system32\\qrvrvoex.exe",
                              "QRV Restivo extension", {"Enum"});
        if (dice.chance(60)) b.earlierProgram(sys + "\\qrvrvosv.exe", dice.pick(OlderVersions));
    }
    // The remote-support program's keys and program.
    if (dice.chance(25)) {
        addEarlierService(b, dice, "qrvmprem", SERVICE_WIN32_OWN_PROCESS,
                          "%SystemRoot%\\system32\\QRVMPREM.EXE", "QRV remote support",
                          {"Parameters"});
        if (dice.chance(30))
            addEarlierService(b, dice, "qrvmprem2", SERVICE_WIN32_OWN_PROCESS, "%SystemRoot%\\system32\\QRVMPREM2.EXE",
                              "QRV remote support 2", {"Parameters"});
        if (dice.chance(60)) b.earlierProgram(sys + "\\QRVMPREM.EXE", dice.pick(OlderVersions));
    }
    // The processor service program, registered with its program in place.
    if (dice.chance(20)) {
        addService(b.m, "qrvmpsvc", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                   "%SystemRoot%\\system32\\qrvmpsvc.exe", "QRV processor service");
        b.earlierProgram(sys + "\\qrvmpsvc.exe", dice.pick(OlderVersions));
    }
    // Installed files older, equal or newer than the media's.
    if (dice.chance(30)) b.stampedFile(sys + "\\QRVMPW.DLL", stampedVersion(dice));
    // The staging tree of an earlier installation, some files read-only.
    if (dice.chance(25)) {
        for (const char* name : {"QRVSERW.SYS", "QRVMPREM.DLL", "QRVMPW.DLL", "QRVMPW.SYS", "KORP.CAT", "KORPA.CAT",
                                 "SERW.CAT", "MPW.CAT", "COINFCP.DLL"}) {
            if (!dice.chance(60)) continue;
            std::string path = std::string(StagedWin2000) + name;
            b.stampedFile(path, stampedVersion(dice));
            if (dice.chance(15)) b.m.fileAttributes[path] = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
        }
    }
}

// The texts of a language file: a count byte, then NUL-ended texts.
std::vector<std::string> languageTexts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string bytes = ss.str();
    std::vector<std::string> texts;
    size_t at = 1;
    while (at < bytes.size() && texts.size() < (bytes.empty() ? 0u : static_cast<unsigned char>(bytes[0]))) {
        size_t end = bytes.find('\0', at);
        if (end == std::string::npos) end = bytes.size();
        texts.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}

// One line per prompt: yes or no in the machine's language, now and then a
// line that answers nothing (the prompt is asked again); a key at the end.
std::string answersFor(Dice& dice, const std::string& mediaDir, const Language& language) {
    std::vector<std::string> texts = languageTexts(mediaDir + "/nls/" + language.file);
    std::string no = texts.size() > 1 && !texts[0].empty() ? texts[0] : "n";
    std::string yes = texts.size() > 1 && !texts[1].empty() ? texts[1] : "y";
    std::string out;
    for (int i = 0; i < 24; ++i) {
        size_t roll = dice.below(20);
        out += (roll == 0 ? std::string("?") : (roll % 2 ? yes : no)) + "\n";
    }
    return out + "x";
}

// Now and then one of the earlier installation's files in the system
// directory or its drivers folder is in use: a driver that its device
// cannot let go of, a program that runs. The old processor driver's file is
// not held on a machine with the older adapter and *QRV5190, whose road
// deletes that file: a driver in use cannot be deleted, and the run would
// fail there as it fails on Windows.
void holdAFileInUse(Builder& b, Dice& dice) {
    bool deletionRoad = false, olderAdapter = false;
    for (const auto& d : b.m.devices)
        for (const auto& id : d.hardwareIds) {
            olderAdapter = olderAdapter || id.find("DEV_01A4") != std::string::npos;
            deletionRoad = deletionRoad || id == "*QRV5190";
        }
    deletionRoad = deletionRoad && olderAdapter;
    const std::string sys = SystemDir, drivers = sys + "\\drivers";
    std::vector<std::string> candidates;
    for (const auto& [path, text] : b.fileText) {
        std::string folder = path.substr(0, path.find_last_of('\\'));
        if (!equalNoCase(folder, sys) && !equalNoCase(folder, drivers)) continue;
        if (deletionRoad && equalNoCase(path, drivers + "\\qrvmpw.sys")) continue;
        candidates.push_back(path);
    }
    if (!candidates.empty() && dice.chance(30)) b.m.filesInUse.push_back(dice.pick(candidates));
}

}  // namespace

RandomMachine randomMachine(uint64_t seed, const std::string& mediaDir) {
    Dice dice(seed);
    Builder b;
    b.m = baseMachine(mediaDir);
    b.m.name = "random-" + std::to_string(seed);
    const Language& language = dice.pick(Languages);
    b.m.defaultLangId = language.id;
    b.m.account = dice.chance(12) ? "user" : "administrator";
    addFamilyDevices(b, dice);
    addUnrelatedDevices(b, dice);
    addEarlierSoftware(b, dice);
    RandomMachine r;
    r.answers = answersFor(dice, mediaDir, language);
    holdAFileInUse(b, dice);  // drawn last: the earlier draws of a seed stay as they were

    json state;
    toJson(b.m, state);
    json& d = r.description;
    d["name"] = b.m.name;
    d["seed"] = seed;
    for (const char* field : {"systemDirectory", "defaultLangId", "account", "devices", "registry"}) d[field] = state[field];
    if (!b.m.fileAttributes.empty()) d["fileAttributes"] = state["fileAttributes"];
    if (!b.m.filesInUse.empty()) d["filesInUse"] = state["filesInUse"];
    int n = 0;
    for (const auto& [windowsPath, text] : b.fileText) {
        std::string host = "files/" + std::to_string(++n) + "-" + windowsPath.substr(windowsPath.find_last_of('\\') + 1);
        d["files"][windowsPath] = host;
        r.files[host] = text;
    }
    return r;
}

bool writeRandomMachine(const RandomMachine& r, const std::string& folder, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(folder) / "files", ec);
    auto write = [&](const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out) error = "cannot write " + path.string();
        return static_cast<bool>(out);
    };
    if (ec) {
        error = "cannot make " + folder + ": " + ec.message();
        return false;
    }
    if (!write(fs::path(folder) / "machine.json", r.description.dump(2) + "\n")) return false;
    if (!write(fs::path(folder) / "answers.txt", r.answers)) return false;
    for (const auto& [path, bytes] : r.files)
        if (!write(fs::path(folder) / path, bytes)) return false;
    return true;
}

}  // namespace sim
