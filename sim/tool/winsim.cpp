// winsim: creates simulated Windows machines, runs programs inside them and
// shows what they hold.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "sim/core/machine_json.h"
#include "sim/core/power.h"
#include "sim/core/runtime.h"
#include "sim/files/paths.h"
#include "sim/machines/presets.h"
#include "sim/machines/random_machine.h"
#include "sim/process/programs.h"
#include "sim/tool/commands.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim {

namespace {
std::vector<std::function<void(CLI::App&)>>& adders() {
    static std::vector<std::function<void(CLI::App&)>> a;
    return a;
}
}  // namespace

Command::Command(std::function<void(CLI::App&)> add) { adders().push_back(std::move(add)); }

void registerAll(CLI::App& app) {
    for (auto& a : adders()) a(app);
}

sim::Machine loadOrExit(const std::string& folder) {
    sim::Machine m;
    std::string error;
    if (!sim::loadFolder(folder, m, error)) {
        std::cerr << "winsim: " << error << "\n";
        std::exit(2);
    }
    return m;
}

void saveOrExit(const std::string& folder, const sim::Machine& m) {
    std::string error;
    if (!sim::saveFolder(folder, m, error)) {
        std::cerr << "winsim: " << error << "\n";
        std::exit(2);
    }
}

static std::string absolute(const std::string& p) { return fs::absolute(p).lexically_normal().string(); }

int runInMachine(const std::string& folder, const std::string& commandLine, const RunOptions& o) {
    std::string error;
    std::string abs = absolute(folder);
    if (!sim::attachFolder(abs, error)) {
        std::cerr << "winsim: " << error << "\n";
        return -1;
    }
    sim::Machine& m = sim::machine();
    if (!o.cwd.empty()) {
        std::string cwd = o.cwd;
        if (cwd.size() >= 2 && cwd[1] == ':') {
            std::string drive(1, static_cast<char>(std::toupper(static_cast<unsigned char>(cwd[0]))));
            m.currentDrive = drive[0] - 'A' + 1;
            std::string rest = cwd.substr(2);
            m.cwd[drive] = rest.empty() ? "\\" : rest;
        }
        sim::commit();
    }
    sim::SpawnOptions so;
    so.console = o.service.empty() ? (o.outputFile.empty() ? sim::Console::Shared : sim::Console::New)
                                   : sim::Console::Service;
    so.outputFile = o.outputFile;
    so.inputFile = o.inputFile;
    if (!o.account.empty()) so.env["WINSIM_ACCOUNT"] = o.account;
    if (!o.faults.empty()) so.env["WINSIM_FAIL"] = o.faults;
    if (!o.trace.empty()) so.env["WINSIM_TRACE"] = absolute(o.trace);
    if (!o.report.empty()) so.env["WINSIM_REPORT"] = absolute(o.report);
    if (!o.service.empty()) so.env["WINSIM_SERVICE"] = o.service;
    if (!o.control.empty()) so.env["WINSIM_CONTROL"] = absolute(o.control);
    if (!o.power.empty()) so.env["WINSIM_POWER"] = o.power;
    unsigned long werr = 0;
    pid_t pid = sim::spawnProgram(commandLine, so, werr);
    if (pid < 0) {
        std::cerr << "winsim: cannot start " << commandLine << ": error " << werr << "\n";
        return -1;
    }
    unsigned long code = sim::waitProgram(pid);
    // The program's platform calls may come from whoever calls first again.
    sim::handTurnTo(0);
    bool cut = sim::powerWentOut();
    sim::reload();
    sim::ProcessRecord rec;
    rec.commandLine = commandLine;
    rec.console = o.service.empty() ? "shared" : "service";
    rec.exitCode = cut ? -1 : static_cast<int>(code);
    sim::machine().processes.push_back(rec);
    sim::commit();
    return cut ? PowerCutOff : static_cast<int>(code);
}

void armPowerOrExit(const std::string& folder, const std::string& spec) {
    sim::CutPlan plan;
    std::string error;
    if (!sim::parseCutPlan(spec, plan, error) || !sim::armPower(absolute(folder), plan, error)) {
        std::cerr << "winsim: --cut: " << error << "\n";
        std::exit(2);
    }
}

std::string powerCutText() {
    return "the machine lost power at platform call " + std::to_string(sim::powerCutCall()) + " (" +
           sim::powerCutFunction() + ")";
}

}  // namespace winsim

using namespace winsim;

// The description's "files": Windows paths of the machine mapped to host
// files (relative ones below the description's folder), copied in at
// creation.
static void copyDescribedFiles(const std::string& folder, const json& files, const fs::path& base) {
    if (!files.is_object()) {
        std::cerr << "winsim: \"files\" must map Windows paths to host files\n";
        std::exit(2);
    }
    std::string error;
    if (!sim::attachFolder(absolute(folder), error)) {
        std::cerr << "winsim: " << error << "\n";
        std::exit(2);
    }
    for (const auto& [windowsPath, source] : files.items()) {
        fs::path from = source.is_string() ? fs::path(source.get<std::string>()) : fs::path();
        if (from.is_relative()) from = base / from;
        sim::ResolvedPath target;
        unsigned long werr = 0;
        std::error_code ec;
        if (!source.is_string() || !fs::is_regular_file(from)) {
            std::cerr << "winsim: " << windowsPath << ": no host file " << from.string() << "\n";
            std::exit(2);
        }
        if (!sim::resolve(windowsPath, target, werr) || target.directory) {
            std::cerr << "winsim: " << windowsPath << ": not a file path of the machine (error " << werr << ")\n";
            std::exit(2);
        }
        fs::create_directories(fs::path(target.host).parent_path(), ec);
        if (ec || !fs::copy_file(from, target.host, fs::copy_options::overwrite_existing, ec)) {
            std::cerr << "winsim: cannot copy " << from.string() << " to " << windowsPath << ": " << ec.message()
                      << "\n";
            std::exit(2);
        }
    }
}

// The description's "directories": Windows paths of folders made at creation
// (empty folders of a captured machine among them).
static void makeDescribedDirectories(const std::string& folder, const json& dirs) {
    std::string error;
    if (!dirs.is_array() || !sim::attachFolder(absolute(folder), error)) {
        std::cerr << "winsim: " << (error.empty() ? "\"directories\" must list Windows paths" : error) << "\n";
        std::exit(2);
    }
    for (const auto& d : dirs) {
        sim::ResolvedPath target;
        unsigned long werr = 0;
        std::error_code ec;
        if (!d.is_string() || !sim::resolve(d.get<std::string>(), target, werr) || (target.exists && !target.directory)) {
            std::cerr << "winsim: " << d.dump() << ": not a folder path of the machine\n";
            std::exit(2);
        }
        fs::create_directories(target.host, ec);
        if (ec) {
            std::cerr << "winsim: cannot make " << d.get<std::string>() << ": " << ec.message() << "\n";
            std::exit(2);
        }
    }
}

// Files a preset puts on the machine's drives: Windows paths mapped to the
// text each file holds, or to {"host": path} for a copy of a host file.
static void writePresetFiles(const std::string& folder, const json& files) {
    std::string error;
    if (!sim::attachFolder(absolute(folder), error)) {
        std::cerr << "winsim: " << error << "\n";
        std::exit(2);
    }
    for (const auto& [windowsPath, text] : files.items()) {
        sim::ResolvedPath target;
        unsigned long werr = 0;
        std::error_code ec;
        if (!sim::resolve(windowsPath, target, werr) || target.directory) {
            std::cerr << "winsim: preset file " << windowsPath << ": not a file path of the machine\n";
            std::exit(2);
        }
        fs::create_directories(fs::path(target.host).parent_path(), ec);
        if (text.is_object() && text.contains("host")) {
            fs::copy_file(text["host"].get<std::string>(), target.host, fs::copy_options::overwrite_existing, ec);
        } else if (text.is_string()) {
            std::ofstream(target.host, std::ios::binary) << text.get<std::string>();
        }
        if (ec) {
            std::cerr << "winsim: preset file " << windowsPath << ": " << ec.message() << "\n";
            std::exit(2);
        }
    }
}

static void addCreate(CLI::App& app) {
    auto* cmd = app.add_subcommand("create", "Create a machine folder from a preset or a description file");
    static std::string folder, preset = "default", from, media;
    static uint64_t seed = 0;
    static bool force = false;
    auto* presetOption = cmd->add_option("--preset", preset, "Built-in machine (see 'winsim presets')");
    cmd->add_option("folder", folder, "Machine folder to create")->required();
    auto* fromOption = cmd->add_option("--from", from, "Description file (JSON, see docs/winsim.md)");
    cmd->add_option("--random", seed, "A machine made from this seed (its description goes to FOLDER/random)")
        ->excludes(presetOption)
        ->excludes(fromOption);
    cmd->add_option("--media", media, "Host folder mapped as drive D: (default: this build's media)");
    cmd->add_flag("--force", force, "Replace an existing machine folder");
    cmd->callback([cmd] {
        std::string mediaDir = media.empty() ? std::string(WINSIM_DEFAULT_MEDIA) : absolute(media);
        if (cmd->count("--random")) {
            // The description is written into the new folder and read back
            // from there, so that the machine is what the file describes.
            if (fs::exists(folder / fs::path("state.json"))) {
                if (!force) {
                    std::cerr << "winsim: " << folder << " already holds a machine (use --force)\n";
                    std::exit(2);
                }
                fs::remove_all(folder);
            }
            std::string error;
            from = (fs::path(folder) / "random" / "machine.json").string();
            if (!sim::writeRandomMachine(sim::randomMachine(seed, mediaDir), (fs::path(folder) / "random").string(),
                                         error)) {
                std::cerr << "winsim: " << error << "\n";
                std::exit(2);
            }
        }
        sim::Machine m;
        json files, directories;
        if (!sim::makePreset(from.empty() ? preset : "clean", mediaDir, m)) {
            std::cerr << "winsim: unknown preset " << preset << "\n";
            std::exit(2);
        }
        if (!from.empty()) {
            std::ifstream in(from);
            json j;
            try {
                in >> j;
            } catch (const json::exception& e) {
                std::cerr << "winsim: " << from << ": " << e.what() << "\n";
                std::exit(2);
            }
            if (j.value("base", std::string("windows2000")) == "empty") m = sim::Machine();
            m.name = fs::path(from).stem().string();
            std::string error;
            if (j.contains("files")) files = j["files"];
            if (j.contains("directories")) directories = j["directories"];
            // Windows programs that a capture brought run as the build's own.
            if (!j.contains("programFolders"))
                m.programFolders = {mediaDir + "/win2000", mediaDir + "/nt", std::string(WINSIM_PROGRAMS_DIR)};
            if (!sim::fromJson(j, m, error)) {
                std::cerr << "winsim: " << from << ": " << error << "\n";
                std::exit(2);
            }
            if (m.drives.find("D") == m.drives.end()) m.drives["D"] = mediaDir;
        }
        if (fs::exists(folder / fs::path("state.json"))) {
            if (!force) {
                std::cerr << "winsim: " << folder << " already holds a machine (use --force)\n";
                std::exit(2);
            }
            fs::remove_all(folder);
        }
        fs::create_directories(folder);
        for (const auto& [letter, path] : m.drives)
            if (!path.empty() && path[0] != '/') fs::create_directories(fs::path(folder) / path);
        // The system directory and its drivers folder exist on every machine.
        std::string sys = m.systemDirectory;
        if (sys.size() > 2 && sys[1] == ':') {
            auto it = m.drives.find(std::string(1, static_cast<char>(std::toupper(sys[0]))));
            if (it != m.drives.end() && !it->second.empty() && it->second[0] != '/') {
                std::string rel = sys.substr(3);
                for (auto& c : rel)
                    if (c == '\\') c = '/';
                fs::create_directories(fs::path(folder) / it->second / rel / "drivers");
            }
        }
        json presetFiles = m.extra.contains("presetFiles") ? m.extra["presetFiles"] : json();
        m.extra.erase("presetFiles");
        saveOrExit(folder, m);
        if (!directories.is_null()) makeDescribedDirectories(folder, directories);
        if (!files.is_null()) copyDescribedFiles(folder, files, fs::absolute(from).parent_path());
        if (presetFiles.is_object()) writePresetFiles(folder, presetFiles);
        std::cout << "Created machine '" << m.name << "' in " << folder << "\n";
    });
}

static void addRun(CLI::App& app) {
    auto* cmd = app.add_subcommand("run", "Run a Windows command line inside a machine");
    static std::string folder;
    static std::vector<std::string> words;
    static RunOptions o;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_option("command", words, "Windows command line (one text, or several words joined by spaces)")
        ->required();
    cmd->add_option("--cwd", o.cwd, "Current directory, a Windows path such as D:\\WIN2000");
    cmd->add_option("--account", o.account, "administrator, user or system");
    cmd->add_option("--fail", o.faults, "Faults to inject: FUNCTION#N=ERROR,... (N 0: every call)");
    cmd->add_option("--trace", o.trace, "Write the record of platform calls (JSON lines) to this file");
    cmd->add_option("--report", o.report, "Write the exit report (open handles, heap blocks) to this file");
    cmd->add_option("--input", o.inputFile, "Standard input from this file");
    cmd->add_option("--output", o.outputFile, "Console output to this file");
    static std::string cut;
    cmd->add_option("--cut", cut,
                    "Cut the machine's power at its N-th platform call: N[,lazy=CALLS][,kept=PERCENT] "
                    "(N 0: count the calls)");
    cmd->callback([] {
        std::string line;
        for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
        if (!o.inputFile.empty() && ::access(o.inputFile.c_str(), R_OK) != 0) {
            std::cerr << "winsim: cannot read the input file " << o.inputFile << "\n";
            std::exit(125);
        }
        // The state before the run, for 'winsim changes'.
        std::ofstream(fs::path(folder) / "before.json") << snapshot(folder).dump(1) << "\n";
        if (!cut.empty()) {
            // A program that the power takes writes no report: none from before stays.
            if (!o.report.empty()) fs::remove(o.report);
            armPowerOrExit(folder, cut);
            o.power = sim::powerEnvironment();
        }
        int code = runInMachine(folder, line, o);
        if (!cut.empty()) {
            // The calls of the machine's processes join the exit report.
            if (!o.report.empty()) {
                json report = json::parse(std::ifstream(o.report), nullptr, false);
                if (!report.is_object()) report = json::object();
                report["machineCalls"] = sim::machineCalls();
                if (code == PowerCutOff) report["powerCut"] = sim::powerCutCall();
                std::ofstream(o.report) << report.dump(2) << "\n";
            }
            if (code == PowerCutOff) std::cerr << "winsim: " << powerCutText() << ": the program has no exit code\n";
            sim::disarmPower();
        }
        std::exit(code == PowerCutOff ? PowerCutStatus : code < 0 ? 125 : code);
    });
}

static void addShow(CLI::App& app) {
    auto* cmd = app.add_subcommand("show", "Show a machine's state");
    static std::string folder;
    static bool asJson = false;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_flag("--json", asJson, "The whole state as JSON");
    cmd->callback([] {
        sim::Machine m = loadOrExit(folder);
        if (asJson) {
            json j;
            sim::toJson(m, j);
            std::cout << j.dump(2) << "\n";
        } else {
            printMachine(m, folder, std::cout);
        }
    });
}

static void addChanges(CLI::App& app) {
    auto* cmd = app.add_subcommand("changes", "Show what the last 'winsim run' (or restart) changed");
    static std::string folder;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->callback([] {
        std::ifstream in(fs::path(folder) / "before.json");
        if (!in) {
            std::cerr << "winsim: no earlier state in " << folder << "\n";
            std::exit(2);
        }
        json before;
        in >> before;
        printChanges(before, snapshot(folder), std::cout);
    });
}

static void addPresets(CLI::App& app) {
    auto* cmd = app.add_subcommand("presets", "List the built-in machines");
    cmd->callback([] {
        for (const auto& [name, description] : sim::presetList()) std::printf("%-18s %s\n", name.c_str(), description.c_str());
    });
}

static void addExitCode(CLI::App& app) {
    auto* cmd = app.add_subcommand("exit-code", "Choose the exit status of a family program in a machine");
    static std::string folder, program;
    static int code = 0;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_option("program", program, "Program file name, such as RVOSETUP.EXE")->required();
    cmd->add_option("code", code, "Exit status")->required();
    cmd->callback([] {
        sim::Machine m = loadOrExit(folder);
        m.programExitCodes[program] = code;
        saveOrExit(folder, m);
    });
}

static Command createCommand(addCreate), runCommand(addRun), showCommand(addShow), changesCommand(addChanges),
    presetsCommand(addPresets), exitCodeCommand(addExitCode);

int main(int argc, char** argv) {
    CLI::App app{"winsim: a simulated Windows 2000 machine for the installer"};
    app.require_subcommand(1);
    registerAll(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        // winsim fleet reports a wrong command line as it reports every
        // other refusal, with exit status 2.
        return status != 0 && argc > 1 && std::string(argv[1]) == "fleet" ? 2 : status;
    }
    return 0;
}
