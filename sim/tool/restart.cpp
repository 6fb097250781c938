// winsim restart: the next start of Windows in a machine folder, its steps
// in the order Windows takes them: the pending reboot, the services stopped
// and those marked for deletion removed, the files that waited for this
// start put in their places, the Plug and Play enumeration, the service
// control manager's database, the auto-start services, and the logon with
// its RunOnce programs.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/core/power.h"
#include "sim/core/runtime.h"
#include "sim/core/win_codes.h"
#include "sim/files/next_start.h"
#include "sim/process/programs.h"
#include "sim/registry/registry.h"
#include "sim/services/services.h"
#include "sim/setupapi/device_sets.h"
#include "sim/tool/commands.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// %SystemRoot% and %windir% expanded; a relative image path is below the
// Windows directory, as the service control manager takes it.
std::string expandPath(const sim::Machine& m, std::string text) {
    std::string root = sim::windowsDirectory(m);
    for (const char* var : {"%SystemRoot%", "%windir%"}) {
        std::string v = var;
        for (size_t at; (at = sim::upper(text).find(sim::upper(v))) != std::string::npos;)
            text.replace(at, v.size(), root);
    }
    size_t start = text.find_first_not_of(" \t\"");
    if (start != std::string::npos && !(text.size() > start + 1 && text[start + 1] == ':') && text[start] != '\\')
        text.insert(start, root + "\\");
    return text;
}

void printIndented(const std::string& text, std::ostream& out) {
    if (text.empty()) {
        out << "      (no output)\n";
        return;
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out << "      | " << line << "\n";
}

struct StartOptions {
    std::string faults;
    std::string power;            // the armed power of a cut (WINSIM_POWER)
    std::string report;           // file for the exit reports of the programs started
    json reports = json::array();  // gathered so far, one per program
};

// One program of the start, its console captured. With a report asked for,
// the program's exit report (handles and heap blocks it left) joins the
// others. Returns its exit code.
int runCaptured(const std::string& folder, const std::string& commandLine, winsim::RunOptions o, const char* console,
                StartOptions& so, std::ostream& out) {
    fs::remove(o.outputFile);
    if (!so.report.empty()) {
        o.report = (fs::path(folder) / "report-program.json").string();
        fs::remove(o.report);
    }
    o.power = so.power;
    int code = winsim::runInMachine(folder, commandLine, o);
    if (!so.report.empty()) {
        json entry{{"commandLine", commandLine}, {"console", console}, {"exitCode", code}};
        if (sim::powerArmed()) entry["machineCalls"] = sim::machineCalls();
        if (code == winsim::PowerCutOff) {
            entry["exitCode"] = nullptr;
            entry["powerCut"] = sim::powerCutCall();
        }
        std::ifstream in(o.report);
        json report;
        if (in) {
            try {
                in >> report;
            } catch (const json::exception&) {
                report = json();
            }
        }
        // A program that ended without writing one (killed, or not started)
        // has no report: the entry says so.
        if (report.is_object()) entry.update(report);
        else entry["report"] = "none";
        so.reports.push_back(entry);
        fs::remove(o.report);
    }
    std::string text = readText(o.outputFile);
    fs::remove(o.outputFile);
    sim::Machine& m = sim::machine();
    if ((code >= 0 || code == winsim::PowerCutOff) && !m.processes.empty()) {
        m.processes.back().output = text;
        m.processes.back().console = console;
        sim::commit();
    }
    if (code == winsim::PowerCutOff) out << "    no exit code: " << winsim::powerCutText() << "\n";
    else if (code < 0) out << "    could not be started\n";
    else out << "    exit code " << code << "\n";
    out << "    console:\n";
    printIndented(winsim::consoleText(text, m.defaultLangId), out);
    return code;
}

// ---- the steps of a start ---------------------------------------------------

// The start is counted in the machine's life and announced.
void countStart(int number, std::ostream& out) {
    sim::Machine& m = sim::machine();
    int starts = m.extra.value("starts", 0) + 1;
    m.extra["starts"] = starts;
    out << "Start " << number << " of machine '" << m.name << "' (start " << starts << " of its life)\n";
}

// The reboot that a program asked for is the one taking place: its requests
// are honoured (counted in the machine's life) and cleared.
void honourRebootRequests(std::ostream& out) {
    sim::Machine& m = sim::machine();
    if (m.rebootRequests.empty()) {
        out << "  no reboot request pending\n";
        return;
    }
    std::ostringstream flags;
    for (uint32_t f : m.rebootRequests) flags << " 0x" << std::hex << std::uppercase << f;
    out << "  reboot request honoured (ExitWindowsEx flags" << flags.str() << ")\n";
    m.extra["rebootsHonoured"] = m.extra.value("rebootsHonoured", 0) + static_cast<int>(m.rebootRequests.size());
    m.rebootRequests.clear();
}

// Nothing runs across a restart: every service is stopped. Gives those
// marked for deletion, which go at this start.
std::vector<std::string> stopServices() {
    std::vector<std::string> deleting;
    for (auto& [name, rt] : sim::machine().services) {
        rt.state = SERVICE_STOPPED;
        if (rt.deletePending) deleting.push_back(name);
    }
    return deleting;
}

// The session manager, early in the start and before any driver or service
// runs, puts the files that waited for this start in their places.
void replaceFilesForTheStart(std::ostream& out) {
    for (const std::string& line : sim::carryOutPendingFileRenames()) out << "  " << line << "\n";
}

// Hardware ids of the child functions that a bound multifunction parent's
// configuration declares (Child<NNNN>\HardwareID below its Device
// Parameters), as its driver exposes them; empty when it declares none.
std::vector<std::string> declaredChildren(sim::Machine& m, const sim::Device& parent) {
    std::vector<std::string> ids;
    if (parent.boundInf.empty()) return ids;
    sim::RegKey* params = sim::findKey(m, sim::EnumKey + parent.instanceId + "\\Device Parameters");
    if (!params) return ids;
    for (const auto& [name, key] : params->subkeys) {
        auto v = key.values.find("HardwareID");
        if (name.size() > 5 && sim::equalNoCase(name.substr(0, 5), "Child") && v != key.values.end())
            ids.push_back(sim::valueText(v->second));
    }
    return ids;
}

// A device enumerated again comes back without the driver it had.
void foundAgain(sim::Device& d, std::ostream& out) {
    d.present = true;
    d.boundInf.clear();
    d.boundSection.clear();
    d.restartAsked = false;
    out << "  device " << d.instanceId << ": found again, to be bound to a driver\n";
}

// The Plug and Play manager enumerates the hardware again: a device that
// software removed comes back while its hardware is there, without its
// driver binding; a root device that software made and removed is gone; a
// child function is there only while its parent is and, once the parent's
// driver declares its child functions, only when it is one of them.
void enumerateDevices(sim::Machine& m, std::ostream& out) {
    std::vector<sim::Device> kept;
    for (auto& d : m.devices) {
        // The restart that a binding asked for has happened: the device runs
        // its new driver, and the earlier one that could not be replaced
        // while it ran is gone.
        if (d.restartAsked) {
            d.restartAsked = false;
            d.needsRestart = false;
        }
        if (d.rootCreated && (!d.present || !d.registered)) {
            out << "  device " << d.instanceId << ": made by software and removed, gone\n";
            continue;
        }
        if (!d.present && d.hardware && !d.rootCreated && d.parent.empty()) foundAgain(d, out);
        kept.push_back(d);
    }
    m.devices = std::move(kept);
    for (auto& d : m.devices) {
        if (d.parent.empty() || d.rootCreated) continue;
        const sim::Device* parent = nullptr;
        for (const auto& p : m.devices)
            if (sim::equalNoCase(p.instanceId, d.parent)) parent = &p;
        bool exposed = d.hardware && parent && parent->present;
        if (exposed) {
            std::vector<std::string> declared = declaredChildren(m, *parent);
            if (!declared.empty()) {
                exposed = false;
                for (const auto& id : declared)
                    for (const auto& own : d.hardwareIds)
                        if (sim::equalNoCase(id, own)) exposed = true;
            }
        }
        if (exposed && !d.present) {
            foundAgain(d, out);
        } else if (!exposed && d.present) {
            d.present = false;
            out << "  device " << d.instanceId << ": no longer exposed by its parent's driver\n";
        }
    }
}

void removeServicesMarkedForDeletion(const std::vector<std::string>& names, std::ostream& out) {
    for (const auto& name : names) {
        sim::removeServiceIfUnused(name);
        out << "  service " << name << ": marked for deletion, removed\n";
    }
}

// The service control manager starts and loads its database from the
// registry as it is now.
void startServiceControlManager() {
    sim::loadServiceDatabase(sim::machine());
    sim::commit();
}

struct ServiceToStart {
    std::string name, group, commandLine;
};

// The auto-start services of their own process, services of a load order
// group first (by group), then by name.
std::vector<ServiceToStart> autoStartServices(const sim::Machine& m) {
    std::vector<ServiceToStart> out;
    const sim::RegKey* services = sim::findKey(m, sim::ServicesRoot);
    if (!services) return out;
    for (const auto& [name, key] : services->subkeys) {
        uint32_t type = sim::valueDword(key, "Type", 0);
        if ((type & ~SERVICE_INTERACTIVE_PROCESS) != SERVICE_WIN32_OWN_PROCESS ||
            sim::valueDword(key, "Start", SERVICE_DISABLED) != SERVICE_AUTO_START)
            continue;
        auto image = key.values.find("ImagePath");
        if (image == key.values.end()) continue;
        auto group = key.values.find("Group");
        out.push_back({key.name, group == key.values.end() ? "" : sim::valueText(group->second),
                       expandPath(m, sim::valueText(image->second))});
    }
    std::stable_sort(out.begin(), out.end(), [](const ServiceToStart& a, const ServiceToStart& b) {
        if (a.group.empty() != b.group.empty()) return !a.group.empty();
        if (!sim::equalNoCase(a.group, b.group)) return sim::upper(a.group) < sim::upper(b.group);
        return sim::upper(a.name) < sim::upper(b.name);
    });
    return out;
}

// An auto-start service whose image maps to a program runs as local system
// (unless its ObjectName says otherwise), with the controls sent to it
// before this start; the service control manager sees its process end, and
// a service marked for deletion meanwhile goes.
void startService(const std::string& folder, const ServiceToStart& s, StartOptions& so, std::ostream& out) {
    std::string win, host;
    unsigned long e = 0;
    if (!sim::findProgram(s.commandLine, win, host, e)) return;  // system services of Windows itself
    sim::ServiceRuntime& rt = sim::machine().services[s.name];
    rt.state = SERVICE_START_PENDING;
    rt.reported.clear();
    sim::commit();
    out << "  service " << s.name << ": " << s.commandLine << "\n";
    winsim::RunOptions o;
    o.service = s.name;
    o.account = "system";
    o.faults = so.faults;
    o.outputFile = (fs::path(folder) / ("console-service-" + sim::lower(s.name) + ".txt")).string();
    std::string control = winsim::controlFile(folder, s.name);
    if (fs::exists(control)) o.control = control;
    int code = runCaptured(folder, s.commandLine, o, "service", so, out);
    if (!o.control.empty()) fs::remove(o.control);  // consumed by this start
    if (code == winsim::PowerCutOff) return;
    sim::Machine& after = sim::machine();
    auto it = after.services.find(s.name);
    if (it == after.services.end()) {
        out << "    service " << s.name << " deleted while it ran\n";
        return;
    }
    std::ostringstream states;
    for (uint32_t r : it->second.reported) states << " " << r;
    out << "    states reported:" << (states.str().empty() ? " none" : states.str()) << "\n";
    it->second.state = SERVICE_STOPPED;
    bool deleting = it->second.deletePending;
    sim::commit();
    sim::removeServiceIfUnused(s.name);
    if (deleting) out << "    service " << s.name << " was marked for deletion: removed\n";
}

// The logon: each RunOnce value is deleted, then its program runs. The
// values wait for the logon of an account that may delete them (a plain
// user may not, with the key's default security).
void logOn(const std::string& folder, StartOptions& so, std::ostream& out) {
    out << "  logon (" << sim::machine().account << ")\n";
    for (;;) {
        sim::Machine& m = sim::machine();
        sim::RegKey* key = sim::findKey(m, sim::RunOnceKey);
        if (!key || key->values.empty()) return;
        if (!sim::accessGranted(*key, KEY_SET_VALUE)) {
            out << "  RunOnce: " << key->values.size() << " value(s) left for an account that may delete them\n";
            return;
        }
        auto first = key->values.begin();
        std::string name = first->first;
        sim::RegValue value = first->second;
        key->values.erase(first);
        sim::commit();
        if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
            out << "  RunOnce " << name << ": not a text value, dropped\n";
            continue;
        }
        std::string line = value.type == REG_EXPAND_SZ ? expandPath(m, sim::valueText(value)) : sim::valueText(value);
        out << "  RunOnce " << (name.empty() ? "(default)" : name) << ": " << line << "\n";
        winsim::RunOptions o;
        o.faults = so.faults;
        o.outputFile = (fs::path(folder) / "console-runonce.txt").string();
        if (runCaptured(folder, line, o, "new", so, out) == winsim::PowerCutOff) return;
    }
}

// What the start left: the new entries of the event log, and each reason
// another restart is asked for.
void reportStart(size_t eventsBefore, std::ostream& out) {
    const sim::Machine& m = sim::machine();
    size_t added = m.eventLog.size() - eventsBefore;
    out << "  event log: " << added << " new entr" << (added == 1 ? "y" : "ies") << "\n";
    for (size_t i = eventsBefore; i < m.eventLog.size(); ++i) {
        const sim::EventEntry& ev = m.eventLog[i];
        out << "    " << ev.source << " type " << ev.type << ":";
        for (const auto& s : ev.strings) out << " \"" << s << "\"";
        out << "\n";
    }
    std::vector<std::string> waiting = sim::pendingRestarts(m);
    out << "  another restart asked for: " << (waiting.empty() ? "no" : "yes") << "\n";
    for (const auto& why : waiting) out << "    " << why << "\n";
}

// One start of Windows. Returns false when the machine cannot be used.
bool startWindows(const std::string& folder, int number, StartOptions& so, std::ostream& out) {
    std::string error;
    if (!sim::attachFolder(folder, error)) {
        std::cerr << "winsim: " << error << "\n";
        return false;
    }
    size_t eventsBefore = sim::machine().eventLog.size();
    countStart(number, out);
    honourRebootRequests(out);
    std::vector<std::string> deleting = stopServices();
    replaceFilesForTheStart(out);
    enumerateDevices(sim::machine(), out);
    sim::commit();
    removeServicesMarkedForDeletion(deleting, out);
    startServiceControlManager();
    for (const ServiceToStart& s : autoStartServices(sim::machine())) {
        startService(folder, s, so, out);
        if (sim::powerWentOut()) return true;
    }
    logOn(folder, so, out);
    if (sim::powerWentOut()) return true;
    reportStart(eventsBefore, out);
    return true;
}

void addRestart(CLI::App& app) {
    auto* cmd = app.add_subcommand("restart", "Simulate the next start of Windows: pending reboot, devices, "
                                              "auto-start services, logon with RunOnce");
    static std::string folder;
    static bool untilSettled = false;
    static int maxStarts = 5;
    static StartOptions so;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_flag("--until-settled", untilSettled, "Start again while a reboot was asked for");
    cmd->add_option("--max-starts", maxStarts, "Bound of --until-settled (default 5)")->check(CLI::Range(1, 100));
    cmd->add_option("--fail", so.faults, "Faults for the programs started: FUNCTION#N=ERROR,...");
    cmd->add_option("--report", so.report, "Write the exit reports of the programs started (JSON) to this file");
    static std::string cut;
    cmd->add_option("--cut", cut,
                    "Cut the machine's power at the N-th platform call of the programs started: "
                    "N[,lazy=CALLS][,kept=PERCENT]");
    cmd->callback([] {
        std::string abs = fs::absolute(folder).lexically_normal().string();
        winsim::loadOrExit(abs);
        // The state before the restart, for 'winsim changes'.
        std::ofstream(fs::path(abs) / "before.json") << winsim::snapshot(abs).dump(1) << "\n";
        if (!cut.empty()) {
            winsim::armPowerOrExit(abs, cut);
            so.power = sim::powerEnvironment();
        }
        int limit = untilSettled ? maxStarts : 1;
        int status = untilSettled ? 1 : 0;
        for (int n = 1; n <= limit; ++n) {
            if (!startWindows(abs, n, so, std::cout)) std::exit(2);
            if (sim::powerWentOut()) {
                std::cout << "  " << winsim::powerCutText() << ": the start ends there\n";
                status = winsim::PowerCutStatus;
                break;
            }
            if (sim::pendingRestarts(sim::machine()).empty()) {
                status = 0;
                break;
            }
            sim::writeBackAtShutdown();  // the next start follows an orderly shutdown
        }
        sim::disarmPower();
        if (!so.report.empty()) {
            std::ofstream report(so.report);
            report << so.reports.dump(2) << "\n";
            if (!report) {
                std::cerr << "winsim: cannot write " << so.report << "\n";
                std::exit(2);
            }
        }
        if (status == 1) std::cout << "still waiting for a restart after " << maxStarts << " starts\n";
        std::exit(status);
    });
}

winsim::Command restartCommand(addRestart);

}  // namespace
