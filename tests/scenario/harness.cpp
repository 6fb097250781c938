#include "harness.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/files/host_copy.h"
#include "sim/core/runtime.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace scenario {

std::string readFile(const std::string& path) {
    // Sized once and read in one go: the staged programs are megabytes under
    // the sanitizers, and a growing buffer copies them several times over.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "";
    std::string bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

void writeFile(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

static std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

static int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fresh folder for a machine of the current test.
static std::string testFolder(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scenario";
    name += suffix;
    for (auto& c : name)
        if (c == '/') c = '_';
    std::string folder = std::string(SCENARIO_WORK_DIR) + "/" + name;
    fs::remove_all(folder);
    fs::create_directories(fs::path(folder).parent_path());
    return folder;
}

Machine::Machine(const Machine& original, const std::string& suffix) : folder_(testFolder(suffix)) {
    std::error_code ec;
    fs::create_directory(folder_, ec);
    for (auto it = fs::recursive_directory_iterator(original.folder_, ec); !ec && it != fs::end(it); it.increment(ec)) {
        fs::path to = fs::path(folder_) / fs::relative(it->path(), original.folder_);
        if (it->is_directory()) fs::create_directory(to, ec);
        // Copied through descriptors that no child process inherits: a
        // program that another thread starts meanwhile must not hold the
        // copy open for writing, or running the copy would fail (ETXTBSY).
        else if (sim::copyHostFile(it->path().string(), to.string()) != sim::HostCopy::Done)
            ec = std::make_error_code(std::errc::io_error);
    }
    if (ec) ADD_FAILURE() << "cannot copy " << original.folder_ << ": " << ec.message();
}

Machine::Machine(const std::string& preset, const std::string& suffix) {
    create(suffix, preset.size() > 5 && preset.substr(preset.size() - 5) == ".json" ? "--from " + quote(preset)
                                                                                    : "--preset " + quote(preset));
}

Machine::Machine(Seed seed, const std::string& suffix) { create(suffix, "--random " + std::to_string(seed.value)); }

void Machine::create(const std::string& suffix, const std::string& source) {
    folder_ = testFolder(suffix);
    int rc = shell(std::string(WINSIM_BINARY) + " create " + quote(folder_) + " " + source + " > /dev/null");
    if (rc != 0) ADD_FAILURE() << "winsim create failed: " << source;
}

Machine::~Machine() = default;

std::string Machine::prefix() const {
    return timeoutSeconds > 0 ? "timeout -k 5 " + std::to_string(timeoutSeconds) + " " : "";
}

RunResult Machine::run(const std::string& commandLine, const std::string& input, const std::string& cwd,
                       const std::vector<std::string>& extra) {
    std::string in = folder_ + "/stdin.txt", out = folder_ + "/console.txt", rep = folder_ + "/report.json",
                trace = folder_ + "/trace.jsonl";
    writeFile(in, input);
    fs::remove(rep);
    fs::remove(trace);
    std::string cmd = prefix() + std::string(WINSIM_BINARY) + " run " + quote(folder_) + " --cwd " + quote(cwd) + " --input " +
                      quote(in) + " --output " + quote(out) + " --report " + quote(rep);
    if (traced) cmd += " --trace " + quote(trace);
    for (const auto& e : extra) cmd += " " + quote(e);
    cmd += " -- " + quote(commandLine);
    RunResult r;
    r.exitCode = shell(cmd);
    r.output = readFile(out);
    std::string report = readFile(rep);
    if (!report.empty()) r.report = json::parse(report);
    std::ifstream t(trace);
    for (std::string line; std::getline(t, line);)
        if (!line.empty()) r.trace.push_back(json::parse(line));
    return r;
}

RunResult Machine::winsim(const std::vector<std::string>& args) {
    std::string out = folder_ + "/winsim-output.txt";
    std::string cmd = prefix() + std::string(WINSIM_BINARY);
    for (size_t i = 0; i < args.size(); ++i) {
        cmd += " " + quote(args[i]);
        if (i == 0) cmd += " " + quote(folder_);
    }
    cmd += " > " + quote(out) + " 2>&1";
    RunResult r;
    r.exitCode = shell(cmd);
    r.output = readFile(out);
    return r;
}

sim::Machine Machine::state() const {
    sim::Machine m;
    std::string error;
    if (!sim::loadFolder(folder_, m, error)) ADD_FAILURE() << error;
    return m;
}

void Machine::edit(const std::function<void(sim::Machine&)>& change) {
    sim::Machine m = state();
    change(m);
    std::string error;
    if (!sim::saveFolder(folder_, m, error)) ADD_FAILURE() << error;
}

std::string Machine::hostPath(const std::string& windowsPath) const {
    std::string rest = windowsPath.substr(2);
    for (auto& c : rest)
        if (c == '\\') c = '/';
    return folder_ + "/drives/C" + rest;
}

}  // namespace scenario
