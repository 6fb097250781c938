// The simulated Windows machine: the state that outlives a process, and the
// rules that the state itself keeps.
//
// A machine lives in memory (unit tests) or in a folder (state.json plus the
// drives, see current_machine.h), so that phase one, a simulated restart,
// the service phase and a logon each see what the one before left behind.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/core/names.h"

namespace sim {

struct RegValue {
    uint32_t type = 1;  // REG_SZ
    std::string data;   // the bytes as stored, terminators included
};

struct Ace {
    bool allow = true;
    std::string sid;     // "S-1-5-32-544"
    uint32_t mask = 0;
    uint8_t flags = 0;   // inheritance flags
};

struct RegKey {
    std::string name;  // as created (case preserved)
    std::map<std::string, RegValue, CaseLess> values;
    std::map<std::string, RegKey, CaseLess> subkeys;
    std::string owner = "S-1-5-32-544";
    bool nullDacl = false;   // a null DACL grants everybody everything
    std::vector<Ace> dacl;
    bool securityReadable = true;  // false: RegGetKeySecurity is refused
};

struct HidInfo {
    bool present = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
};

// The setup classes of the machines' devices, by the GUIDs Windows gives them.
constexpr const char* SystemClassGuid = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";
constexpr const char* MultifunctionClassGuid = "{4D36E971-E325-11CE-BFC1-08002BE10318}";
constexpr const char* HidClassGuid = "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";

struct Device {
    std::string instanceId;
    std::string className = "System";
    std::string classGuid = SystemClassGuid;
    std::string description;
    std::vector<std::string> hardwareIds;
    // Raw SPDRP_HARDWAREID data, when a description gives it byte for byte
    // (ids without terminators, odd sizes). Empty with rawIds false: use
    // hardwareIds.
    bool rawIds = false;
    std::string rawHardwareIds;
    std::vector<std::string> compatibleIds;  // SPDRP_COMPATIBLEIDS, after the hardware ids
    bool present = true;          // currently enumerated as present
    bool hardware = true;         // physically there (comes back at a restart)
    bool rootCreated = false;     // made by software (DICD_GENERATE_ID)
    bool registered = true;       // DIF_REGISTERDEVICE done (root-created ones)
    std::string parent;           // instance id of a multifunction parent
    HidInfo hid;
    bool needsRestart = false;    // binding a driver to it asks for a restart
    std::string boundInf;         // INF bound to the device (Windows path)
    std::string boundSection;
    bool restartAsked = false;    // the last binding asked for a restart
};

struct EventEntry {
    std::string source;
    uint16_t type = 0;
    uint16_t category = 0;
    uint32_t eventId = 0;
    std::vector<std::string> strings;
    std::string process;  // program that wrote it
};

struct ServiceRuntime {
    uint32_t state = 1;  // SERVICE_STOPPED
    bool deletePending = false;
    std::vector<uint32_t> reported;  // states reported with SetServiceStatus, in order
};

struct ProcessRecord {
    std::string commandLine;
    std::string console;  // "shared", "new" or "service"
    int exitCode = -1;
    std::string output;   // console output of a new console, as captured
};

struct Machine {
    std::string name = "machine";
    std::string systemDirectory = "C:\\WINNT\\system32";
    uint16_t defaultLangId = 0x0409;
    int currentDrive = 3;  // 1 is A:
    std::string account = "administrator";  // "administrator", "user" or "system"
    // Drive letter (upper case) to host directory; relative paths are below
    // the machine's folder.
    std::map<std::string, std::string> drives;
    std::map<std::string, std::string> cwd;  // per drive: "\\" or "\\DIR\\SUB"
    std::vector<Device> devices;
    RegKey hklm;
    std::map<std::string, ServiceRuntime, CaseLess> services;
    // The service control manager's own database, by service name with its
    // display name: loaded from the registry when the machine starts, then
    // changed only through the manager itself. Saved only while it differs
    // from what the registry holds (a key deleted behind the manager's back).
    bool serviceDatabaseLoaded = false;
    std::map<std::string, std::string, CaseLess> serviceDatabase;
    std::vector<EventEntry> eventLog;
    std::vector<uint32_t> rebootRequests;  // ExitWindowsEx flags, in order
    std::map<std::string, uint32_t, CaseLess> fileAttributes;  // by full Windows path
    // Full Windows paths of files that something running holds (an earlier
    // driver that its device cannot let go of, a program that runs): they
    // can be read, not written, replaced or deleted, until a start replaces
    // them (pending_renames.h).
    std::vector<std::string> filesInUse;
    std::map<std::string, int, CaseLess> programExitCodes;     // by program file name
    std::vector<ProcessRecord> processes;
    // Host folders whose programs stand in for Windows images on the drives
    // (the copies of real programs that a capture brings), by file name.
    std::vector<std::string> programFolders;
    int nextInstance = 0;  // for generated instance ids
    nlohmann::json extra = nlohmann::json::object();  // room for later parts
};

// Registry helpers over the in-memory tree. Paths are below HKLM, separated
// by backslashes ("SYSTEM\\CurrentControlSet\\Services").
RegKey* findKey(Machine& m, const std::string& path);
const RegKey* findKey(const Machine& m, const std::string& path);
RegKey& ensureKey(Machine& m, const std::string& path);
std::string regSz(const std::string& text);  // REG_SZ data with its NUL
std::string regDword(uint32_t v);
// A value's text up to its first NUL.
std::string valueText(const RegValue& v);
// The number of a key's REG_DWORD value, or `fallback` where the key has no
// such value of that type.
uint32_t valueDword(const RegKey& k, const std::string& name, uint32_t fallback);

// The Windows directory: the folder that holds the system directory.
std::string windowsDirectory(const Machine& m);

// The keys of the services, and the key whose values the logon runs once
// each.
extern const char* const ServicesRoot;  // "SYSTEM\\CurrentControlSet\\Services"
extern const char* const RunOnceKey;    // "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

// The services the registry holds (the keys below ServicesRoot with a Type
// value), each with its display name (its name when it has none): what the
// service control manager loads at the machine's start.
std::map<std::string, std::string, CaseLess> servicesInRegistry(const Machine& m);

// The manager's database (see Machine::serviceDatabase), loaded from the
// registry at the machine's start. A machine that has not started the
// manager yet (a fresh description, a unit test's machine) loads it at the
// first use of the manager or at the first change of the registry, so that
// a key deleted behind the manager's back stays a service until the next
// start: the registry and the manager both call ensureServiceDatabase.
void loadServiceDatabase(Machine& m);
void ensureServiceDatabase(Machine& m);

// Why the machine is not done until its next start, one reason a line
// (empty when nothing waits for a restart): a reboot was requested, a
// binding asked for a restart (whoever bound it), a service is marked for
// deletion, the service control manager's database differs from the
// services in the registry (a service key deleted behind its back), or a
// file replacement or deletion waits for the session manager
// (pending_renames.h).
std::vector<std::string> pendingRestarts(const Machine& m);

// Default access list of a key: Administrators and SYSTEM full control,
// Users read.
std::vector<Ace> defaultDacl();

}  // namespace sim
