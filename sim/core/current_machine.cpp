#include "sim/core/current_machine.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "sim/core/machine_json.h"
#include "sim/core/power.h"

using nlohmann::json;

namespace sim {

namespace {

struct Current {
    bool ready = false;
    bool fromEnvironment = false;
    Machine machine;
    std::string folder;
    std::string account;  // empty: the machine's
};

Current& C() {
    static Current c;
    return c;
}

}  // namespace

std::recursive_mutex& lock() {
    static std::recursive_mutex m;
    return m;
}

void useMachine(const Machine& m) {
    std::lock_guard<std::recursive_mutex> g(lock());
    Current& c = C();
    c.machine = m;
    c.folder.clear();
    c.ready = true;
    c.fromEnvironment = false;
}

bool loadFolder(const std::string& folder, Machine& m, std::string& error) {
    std::ifstream in(folder + "/state.json");
    if (!in) {
        error = "no machine in " + folder + " (state.json missing)";
        return false;
    }
    json j;
    try {
        in >> j;
    } catch (const json::exception& e) {
        error = folder + "/state.json: " + e.what();
        return false;
    }
    Machine fresh;
    if (!fromJson(j, fresh, error)) return false;
    m = std::move(fresh);
    return true;
}

bool saveFolder(const std::string& folder, const Machine& m, std::string& error) {
    json j;
    toJson(m, j);
    // Each process writes its own temporary file, so that two processes
    // saving at once never rename each other's half-written state.
    std::string tmp = folder + "/state.json.tmp." + std::to_string(static_cast<long>(::getpid()));
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
        out << j.dump(2) << "\n";
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), (folder + "/state.json").c_str()) != 0) {
        error = "cannot replace " + folder + "/state.json";
        return false;
    }
    return true;
}

bool attachFolder(const std::string& folder, std::string& error) {
    std::lock_guard<std::recursive_mutex> g(lock());
    Machine m;
    if (!loadFolder(folder, m, error)) return false;
    Current& c = C();
    c.machine = std::move(m);
    c.folder = folder;
    c.ready = true;
    return true;
}

Machine& machine() {
    Current& c = C();
    if (!c.ready) {
        std::lock_guard<std::recursive_mutex> g(lock());
        if (!c.ready) {
            const char* folder = std::getenv("WINSIM_MACHINE");
            if (!folder || !*folder) {
                std::fprintf(stderr,
                             "This program runs inside a simulated Windows machine: start it with "
                             "'winsim run MACHINE COMMAND-LINE'.\n");
                std::exit(3);
            }
            std::string error;
            if (!attachFolder(folder, error)) {
                std::fprintf(stderr, "winsim: %s\n", error.c_str());
                std::exit(3);
            }
            c.fromEnvironment = true;
            if (const char* a = std::getenv("WINSIM_ACCOUNT")) c.account = a;
        }
    }
    return c.machine;
}

const std::string& machineFolder() { return C().folder; }

bool attachedFromEnvironment() { return C().fromEnvironment; }

namespace {
size_t commits = 0;
}  // namespace

size_t commitCount() { return commits; }

void commit() {
    std::lock_guard<std::recursive_mutex> g(lock());
    Current& c = C();
    ++commits;
    if (c.folder.empty()) return;
    std::string error;
    if (!saveFolder(c.folder, c.machine, error)) std::fprintf(stderr, "winsim: %s\n", error.c_str());
    noteMachineChange();
}

void reload() {
    std::lock_guard<std::recursive_mutex> g(lock());
    Current& c = C();
    if (c.folder.empty()) return;
    std::string error;
    Machine m;
    if (loadFolder(c.folder, m, error)) c.machine = std::move(m);
    else std::fprintf(stderr, "winsim: %s\n", error.c_str());
}

std::string account() {
    Current& c = C();
    machine();
    return c.account.empty() ? c.machine.account : c.account;
}

void setProcessAccount(const std::string& acct) { C().account = acct; }

bool isAdministrator() {
    std::string a = account();
    return a == "administrator" || a == "system";
}

std::string driveRoot(char letter) {
    Machine& m = machine();
    std::string key(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    auto it = m.drives.find(key);
    if (it == m.drives.end()) return "";
    const std::string& p = it->second;
    if (!p.empty() && p[0] == '/') return p;
    const std::string& folder = C().folder;
    return (folder.empty() ? std::string(".") : folder) + "/" + p;
}

std::string processName() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string first;
    std::getline(in, first, '\0');
    return first;
}

}  // namespace sim
