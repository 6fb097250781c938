// winsim restart: the next start of Windows in a machine folder (the pending
// reboot, the Plug and Play enumeration, the auto-start services, the logon
// with its RunOnce programs); winsim control: a control for a service.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sim/core/runtime.h"
#include "sim/process/programs.h"
#include "sim/registry/registry.h"
#include "sim/services/control_channel.h"
#include "sim/services/services.h"
#include "sim/tool/commands.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* const RunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const uint32_t OwnProcess = 0x10, InteractiveFlag = 0x100, AutoStart = 2, Stopped = 1, StartPending = 2;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string textOf(const sim::RegValue& v) { return v.data.substr(0, v.data.find('\0')); }

uint32_t dwordOf(const sim::RegKey& k, const char* name, uint32_t fallback) {
    auto it = k.values.find(name);
    if (it == k.values.end() || it->second.type != 4 || it->second.data.size() != 4) return fallback;
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(it->second.data[i]);
    return d;
}

// %SystemRoot% and %windir% expanded; a relative image path is below the
// Windows directory, as the service control manager takes it.
std::string expandPath(const sim::Machine& m, std::string text) {
    std::string root = m.systemDirectory.substr(0, m.systemDirectory.find_last_of('\\'));
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
    std::string report;           // file for the exit reports of the programs started
    json reports = json::array();  // gathered so far, one per program
};

std::string controlFile(const std::string& folder, const std::string& service) {
    return (fs::path(folder) / "controls" / (sim::lower(service) + ".txt")).string();
}

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
    int code = winsim::runInMachine(folder, commandLine, o);
    if (!so.report.empty()) {
        json entry{{"commandLine", commandLine}, {"console", console}, {"exitCode", code}};
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
    if (code >= 0 && !m.processes.empty()) {
        m.processes.back().output = text;
        m.processes.back().console = console;
        sim::commit();
    }
    if (code < 0) out << "    could not be started\n";
    else out << "    exit code " << code << "\n";
    out << "    console:\n";
    printIndented(winsim::consoleText(text, m.defaultLangId), out);
    return code;
}

// Hardware ids of the child functions that a bound multifunction parent's
// configuration declares (Child<NNNN>\HardwareID below its Device
// Parameters), as its driver exposes them; empty when it declares none.
std::vector<std::string> declaredChildren(sim::Machine& m, const sim::Device& parent) {
    std::vector<std::string> ids;
    if (parent.boundInf.empty()) return ids;
    sim::RegKey* params =
        sim::findKey(m, "SYSTEM\\CurrentControlSet\\Enum\\" + parent.instanceId + "\\Device Parameters");
    if (!params) return ids;
    for (const auto& [name, key] : params->subkeys) {
        auto v = key.values.find("HardwareID");
        if (name.size() > 5 && sim::equalNoCase(name.substr(0, 5), "Child") && v != key.values.end())
            ids.push_back(v->second.data.substr(0, v->second.data.find('\0')));
    }
    return ids;
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
        if (!d.present && d.hardware && !d.rootCreated && d.parent.empty()) {
            d.present = true;
            d.boundInf.clear();
            d.boundSection.clear();
            d.restartAsked = false;
            out << "  device " << d.instanceId << ": found again, to be bound to a driver\n";
        }
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
            d.present = true;
            d.boundInf.clear();
            d.boundSection.clear();
            d.restartAsked = false;
            out << "  device " << d.instanceId << ": found again, to be bound to a driver\n";
        } else if (!exposed && d.present) {
            d.present = false;
            out << "  device " << d.instanceId << ": no longer exposed by its parent's driver\n";
        }
    }
}

struct ServiceToStart {
    std::string name, group, commandLine;
};

std::vector<ServiceToStart> autoStartServices(const sim::Machine& m) {
    std::vector<ServiceToStart> out;
    const sim::RegKey* k = &m.hklm;
    for (const char* part : {"SYSTEM", "CurrentControlSet", "Services"}) {
        auto it = k->subkeys.find(part);
        if (it == k->subkeys.end()) return out;
        k = &it->second;
    }
    for (const auto& [name, key] : k->subkeys) {
        uint32_t type = dwordOf(key, "Type", 0);
        if ((type & ~InteractiveFlag) != OwnProcess || dwordOf(key, "Start", 4) != AutoStart) continue;
        auto image = key.values.find("ImagePath");
        if (image == key.values.end()) continue;
        auto group = key.values.find("Group");
        out.push_back({key.name, group == key.values.end() ? "" : textOf(group->second),
                       expandPath(m, textOf(image->second))});
    }
    // Services of a load order group first, by group, then by name.
    std::stable_sort(out.begin(), out.end(), [](const ServiceToStart& a, const ServiceToStart& b) {
        if (a.group.empty() != b.group.empty()) return !a.group.empty();
        if (!sim::equalNoCase(a.group, b.group)) return sim::upper(a.group) < sim::upper(b.group);
        return sim::upper(a.name) < sim::upper(b.name);
    });
    return out;
}

// One start of Windows. Returns false when the machine cannot be used.
bool startWindows(const std::string& folder, int number, StartOptions& so, std::ostream& out) {
    std::string error;
    if (!sim::attachFolder(folder, error)) {
        std::cerr << "winsim: " << error << "\n";
        return false;
    }
    sim::Machine& m = sim::machine();
    size_t events = m.eventLog.size();
    int starts = m.extra.value("starts", 0) + 1;
    m.extra["starts"] = starts;
    out << "Start " << number << " of machine '" << m.name << "' (start " << starts << " of its life)\n";
    if (!m.rebootRequests.empty()) {
        std::ostringstream flags;
        for (uint32_t f : m.rebootRequests) flags << " 0x" << std::hex << std::uppercase << f;
        out << "  reboot request honoured (ExitWindowsEx flags" << flags.str() << ")\n";
        m.extra["rebootsHonoured"] = m.extra.value("rebootsHonoured", 0) + static_cast<int>(m.rebootRequests.size());
        m.rebootRequests.clear();
    } else {
        out << "  no reboot request pending\n";
    }
    // Nothing runs across a restart: every service is stopped, and one
    // marked for deletion goes now.
    std::vector<std::string> pending;
    for (auto& [name, rt] : m.services) {
        rt.state = Stopped;
        if (rt.deletePending) pending.push_back(name);
    }
    enumerateDevices(m, out);
    sim::commit();
    for (const auto& name : pending) {
        sim::removeServiceIfUnused(name);
        out << "  service " << name << ": marked for deletion, removed\n";
    }
    // The service control manager starts and loads its database from the
    // registry as it is now.
    sim::loadServiceDatabase(sim::machine());
    sim::commit();

    for (const ServiceToStart& s : autoStartServices(sim::machine())) {
        std::string win, host;
        unsigned long e = 0;
        if (!sim::findProgram(s.commandLine, win, host, e)) continue;  // system services of Windows itself
        sim::Machine& mm = sim::machine();
        sim::ServiceRuntime& rt = mm.services[s.name];
        rt.state = StartPending;
        rt.reported.clear();
        sim::commit();
        out << "  service " << s.name << ": " << s.commandLine << "\n";
        winsim::RunOptions o;
        o.service = s.name;
        o.account = "system";
        o.faults = so.faults;
        o.outputFile = (fs::path(folder) / ("console-service-" + sim::lower(s.name) + ".txt")).string();
        std::string control = controlFile(folder, s.name);
        if (fs::exists(control)) o.control = control;
        runCaptured(folder, s.commandLine, o, "service", so, out);
        if (!o.control.empty()) fs::remove(o.control);  // consumed by this start
        // The service control manager sees the process end.
        sim::Machine& after = sim::machine();
        auto it = after.services.find(s.name);
        if (it != after.services.end()) {
            std::ostringstream states;
            for (uint32_t r : it->second.reported) states << " " << r;
            out << "    states reported:" << (states.str().empty() ? " none" : states.str()) << "\n";
            it->second.state = Stopped;
            bool deleting = it->second.deletePending;
            sim::commit();
            sim::removeServiceIfUnused(s.name);
            if (deleting) out << "    service " << s.name << " was marked for deletion: removed\n";
        } else {
            out << "    service " << s.name << " deleted while it ran\n";
        }
    }

    // The logon: each RunOnce value is deleted, then its program runs. The
    // values wait for the logon of an account that may delete them (a
    // plain user may not, with the key's default security).
    sim::Machine& logon = sim::machine();
    out << "  logon (" << logon.account << ")\n";
    for (;;) {
        sim::Machine& cur = sim::machine();
        sim::RegKey* key = sim::findKey(cur, RunOnceKey);
        if (!key || key->values.empty()) break;
        if (!sim::accessGranted(*key, KEY_SET_VALUE)) {
            out << "  RunOnce: " << key->values.size() << " value(s) left for an account that may delete them\n";
            break;
        }
        auto first = key->values.begin();
        std::string name = first->first;
        sim::RegValue value = first->second;
        key->values.erase(first);
        sim::commit();
        if (value.type != 1 && value.type != 2) {
            out << "  RunOnce " << name << ": not a text value, dropped\n";
            continue;
        }
        std::string line = value.type == 2 ? expandPath(cur, textOf(value)) : textOf(value);
        out << "  RunOnce " << (name.empty() ? "(default)" : name) << ": " << line << "\n";
        winsim::RunOptions o;
        o.faults = so.faults;
        o.outputFile = (fs::path(folder) / "console-runonce.txt").string();
        runCaptured(folder, line, o, "new", so, out);
    }

    sim::Machine& end = sim::machine();
    out << "  event log: " << (end.eventLog.size() - events) << " new entr"
        << (end.eventLog.size() - events == 1 ? "y" : "ies") << "\n";
    for (size_t i = events; i < end.eventLog.size(); ++i) {
        const sim::EventEntry& ev = end.eventLog[i];
        out << "    " << ev.source << " type " << ev.type << ":";
        for (const auto& s : ev.strings) out << " \"" << s << "\"";
        out << "\n";
    }
    std::vector<std::string> waiting = sim::pendingRestarts(end);
    out << "  another restart asked for: " << (waiting.empty() ? "no" : "yes") << "\n";
    for (const auto& why : waiting) out << "    " << why << "\n";
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
    cmd->callback([] {
        std::string abs = fs::absolute(folder).lexically_normal().string();
        winsim::loadOrExit(abs);
        // The state before the restart, for 'winsim changes'.
        std::ofstream(fs::path(abs) / "before.json") << winsim::snapshot(abs).dump(1) << "\n";
        int limit = untilSettled ? maxStarts : 1;
        int status = untilSettled ? 1 : 0;
        for (int n = 1; n <= limit; ++n) {
            if (!startWindows(abs, n, so, std::cout)) std::exit(2);
            if (sim::pendingRestarts(sim::machine()).empty()) {
                status = 0;
                break;
            }
        }
        if (!so.report.empty()) {
            std::ofstream report(so.report);
            report << so.reports.dump(2) << "\n";
            if (!report) {
                std::cerr << "winsim: cannot write " << so.report << "\n";
                std::exit(2);
            }
        }
        if (status) std::cout << "still waiting for a restart after " << maxStarts << " starts\n";
        std::exit(status);
    });
}

void addControl(CLI::App& app) {
    auto* cmd = app.add_subcommand("control", "Send a control to a service: at its next start, or at once "
                                              "when it is running");
    static std::string folder, service, control, before;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_option("service", service, "Service name")->required();
    cmd->add_option("control", control, "stop, pause, continue, interrogate, shutdown or a number")->required();
    cmd->add_option("--before", before, "Send it when the service's main thread starts this call: FUNCTION#N");
    cmd->callback([] {
        winsim::loadOrExit(folder);
        std::string line = control + (before.empty() ? "" : " before " + before);
        uint32_t code = 0;
        std::string function, error;
        unsigned nth = 0;
        if (!sim::parseServiceControl(line, code, function, nth, error)) {
            std::cerr << "winsim: " << error << "\n";
            std::exit(2);
        }
        std::string path = controlFile(folder, service);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::app) << line << "\n";
    });
}

winsim::Command restartCommand(addRestart), controlCommand(addControl);

}  // namespace
