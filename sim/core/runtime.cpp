#include "sim/core/runtime.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/win_base.h"

using nlohmann::json;

namespace sim {

namespace {

struct State {
    bool ready = false;
    Machine machine;
    std::string folder;
    std::string account;  // empty: the machine's
    std::map<uintptr_t, HandleRec> handles;
    uintptr_t nextHandle = 0x100;
    std::map<void*, size_t> heap;
    bool record = true;
    std::vector<CallRecord> calls;
    size_t totalCalls = 0;
    std::map<std::string, unsigned, std::less<>> perFunction;  // found by a function's name as given
    struct Fault {
        std::string function;
        unsigned nth;
        uint32_t error;
    };
    std::vector<Fault> faults;
    std::string traceFile;
    FILE* trace = nullptr;  // traceFile, opened at the first call
};

State& S() {
    static State s;
    return s;
}

std::recursive_mutex& M() {
    static std::recursive_mutex m;
    return m;
}

void applyEnvironment() {
    State& s = S();
    if (const char* a = std::getenv("WINSIM_ACCOUNT")) s.account = a;
    if (const char* f = std::getenv("WINSIM_FAIL")) {
        std::string error;
        if (!parseFaults(f, error)) std::fprintf(stderr, "winsim: WINSIM_FAIL: %s\n", error.c_str());
    }
    if (const char* t = std::getenv("WINSIM_TRACE")) s.traceFile = t;
}

}  // namespace

std::recursive_mutex& lock() { return M(); }

void useMachine(const Machine& m) {
    std::lock_guard<std::recursive_mutex> g(M());
    State& s = S();
    s.machine = m;
    s.folder.clear();
    s.ready = true;
}

static std::vector<void (*)()>& resetFunctions() {
    static std::vector<void (*)()> f;
    return f;
}

static void (*callObserver)(const char*) = nullptr;

void onTestReset(void (*clear)()) { resetFunctions().push_back(clear); }
void setCallObserver(void (*observer)(const char*)) { callObserver = observer; }

void resetForTest(const Machine& m) {
    for (auto clear : resetFunctions()) clear();
    std::lock_guard<std::recursive_mutex> g(M());
    State& s = S();
    for (auto& [p, n] : s.heap) std::free(p);
    s = State();
    s.machine = m;
    s.ready = true;
    s.record = true;
    SetLastError(0);
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
    std::lock_guard<std::recursive_mutex> g(M());
    Machine m;
    if (!loadFolder(folder, m, error)) return false;
    State& s = S();
    s.machine = std::move(m);
    s.folder = folder;
    s.ready = true;
    return true;
}

Machine& machine() {
    State& s = S();
    if (!s.ready) {
        std::lock_guard<std::recursive_mutex> g(M());
        if (!s.ready) {
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
            // Only unit tests read the record of calls; a program started in
            // a machine folder keeps none (WINSIM_TRACE writes it out instead).
            s.record = false;
            applyEnvironment();
        }
    }
    return s.machine;
}

const std::string& machineFolder() { return S().folder; }

void commit() {
    std::lock_guard<std::recursive_mutex> g(M());
    State& s = S();
    if (s.folder.empty()) return;
    std::string error;
    if (!saveFolder(s.folder, s.machine, error)) std::fprintf(stderr, "winsim: %s\n", error.c_str());
}

void reload() {
    std::lock_guard<std::recursive_mutex> g(M());
    State& s = S();
    if (s.folder.empty()) return;
    std::string error;
    Machine m;
    if (loadFolder(s.folder, m, error)) s.machine = std::move(m);
    else std::fprintf(stderr, "winsim: %s\n", error.c_str());
}

std::string account() {
    State& s = S();
    machine();
    return s.account.empty() ? s.machine.account : s.account;
}

void setProcessAccount(const std::string& acct) { S().account = acct; }

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
    const std::string& folder = S().folder;
    return (folder.empty() ? std::string(".") : folder) + "/" + p;
}

// ---- handles ---------------------------------------------------------------

const char* kindName(HandleKind k) {
    switch (k) {
        case HandleKind::RegKey: return "registry key";
        case HandleKind::SCManager: return "service manager";
        case HandleKind::Service: return "service";
        case HandleKind::EventSource: return "event source";
        case HandleKind::Token: return "token";
        case HandleKind::DevInfo: return "device information set";
        case HandleKind::Find: return "file search";
        case HandleKind::File: return "file";
        case HandleKind::Process: return "process";
        case HandleKind::Thread: return "thread";
        case HandleKind::ServiceStatus: return "service status";
    }
    return "?";
}

uintptr_t newHandle(HandleKind kind, const std::string& name, uint32_t access, intptr_t value) {
    std::lock_guard<std::recursive_mutex> g(M());
    State& s = S();
    uintptr_t h = s.nextHandle;
    s.nextHandle += 4;
    s.handles[h] = HandleRec{kind, name, access, value};
    return h;
}

HandleRec* findHandle(uintptr_t h, HandleKind kind) {
    HandleRec* r = findAnyHandle(h);
    return (r && r->kind == kind) ? r : nullptr;
}

HandleRec* findAnyHandle(uintptr_t h) {
    auto& hs = S().handles;
    auto it = hs.find(h);
    return it == hs.end() ? nullptr : &it->second;
}

bool closeHandle(uintptr_t h) {
    std::lock_guard<std::recursive_mutex> g(M());
    return S().handles.erase(h) == 1;
}

// Status handles of a service are never closed, on Windows as here.
size_t openHandleCount() {
    size_t n = 0;
    for (const auto& [h, r] : S().handles)
        if (r.kind != HandleKind::ServiceStatus) ++n;
    return n;
}

bool anyHandle(const std::function<bool(const HandleRec&)>& pred) {
    for (const auto& [h, r] : S().handles)
        if (pred(r)) return true;
    return false;
}

std::string processName() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string first;
    std::getline(in, first, '\0');
    return first;
}

std::map<std::string, size_t> openHandlesByKind() {
    std::map<std::string, size_t> out;
    for (const auto& [h, r] : S().handles)
        if (r.kind != HandleKind::ServiceStatus) out[kindName(r.kind)]++;
    return out;
}

void* heapAlloc(size_t n, bool zero) {
    std::lock_guard<std::recursive_mutex> g(M());
    void* p = zero ? std::calloc(n ? n : 1, 1) : std::malloc(n ? n : 1);
    if (p) S().heap[p] = n;
    return p;
}

bool heapFree(void* p) {
    std::lock_guard<std::recursive_mutex> g(M());
    auto& heap = S().heap;
    auto it = heap.find(p);
    if (it == heap.end()) return false;
    heap.erase(it);
    std::free(p);
    return true;
}

size_t heapBlockCount() { return S().heap.size(); }

// ---- records and faults ----------------------------------------------------

void recordCalls(bool on) { S().record = on; }
const std::vector<CallRecord>& calls() { return S().calls; }

std::vector<CallRecord> callsOf(const std::string& function) {
    std::vector<CallRecord> out;
    for (const auto& c : S().calls)
        if (c.function == function) out.push_back(c);
    return out;
}

void clearCalls() { S().calls.clear(); }
size_t callCount() { return S().totalCalls; }

void failCall(const std::string& function, unsigned nth, uint32_t error) {
    std::lock_guard<std::recursive_mutex> g(M());
    S().faults.push_back({function, nth, error});
}

void clearFaults() { S().faults.clear(); }

bool parseFaults(const std::string& spec, std::string& error) {
    std::stringstream ss(spec);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (item.empty()) continue;
        size_t hash = item.find('#'), eq = item.find('=');
        if (hash == std::string::npos || eq == std::string::npos || eq < hash) {
            error = "expected FUNCTION#N=ERROR, got " + item;
            return false;
        }
        try {
            unsigned nth = static_cast<unsigned>(std::stoul(item.substr(hash + 1, eq - hash - 1)));
            uint32_t code = static_cast<uint32_t>(std::stoul(item.substr(eq + 1), nullptr, 0));
            failCall(item.substr(0, hash), nth, code);
        } catch (const std::exception&) {
            error = "expected FUNCTION#N=ERROR, got " + item;
            return false;
        }
    }
    return true;
}

std::string arg(const char* s) {
    if (!s) return "null";
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        if (*p == '"' || *p == '\\') out += '\\';
        out += *p;
    }
    return out + "\"";
}
std::string arg(const std::string& s) { return arg(s.c_str()); }
std::string arg(uint32_t v) { return std::to_string(v); }
std::string arg(int v) { return std::to_string(v); }
std::string arg(const void* p) {
    if (!p) return "null";
    if (p == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%#" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return buf;
}
std::string argHex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}
std::string argGuid(const void* guid) {
    if (!guid) return "null";
    const GUID* g = static_cast<const GUID*>(guid);
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g->Data1, g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2],
                  g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
    return buf;
}

Call::Call(const char* function, std::vector<std::string> args, bool injectable) : guard_(M(), std::defer_lock) {
    if (callObserver) callObserver(function);
    guard_.lock();
    machine();  // attach before anything is counted
    State& s = S();
    s.totalCalls++;
    auto counted = s.perFunction.find(function);
    if (counted == s.perFunction.end()) counted = s.perFunction.emplace(function, 0).first;
    unsigned n = ++counted->second;
    for (const auto& f : s.faults) {
        if (!injectable) break;
        bool match = (f.function == function && (f.nth == 0 || f.nth == n)) ||
                     (f.function == "*" && (f.nth == 0 || f.nth == s.totalCalls));
        if (match) {
            injected_ = true;
            error_ = f.error;
            break;
        }
    }
    index_ = s.calls.size();
    if (s.record || !s.traceFile.empty())
        s.calls.push_back(CallRecord{function, std::move(args), 0, injected_});
    if (injected_) SetLastError(error_);
}

Call::~Call() {
    State& s = S();
    if (index_ < s.calls.size()) {
        s.calls[index_].lastError = GetLastError();
        if (!s.traceFile.empty()) {
            const CallRecord& c = s.calls[index_];
            json j{{"function", c.function}, {"args", c.args}, {"lastError", c.lastError}};
            if (c.injected) j["injected"] = true;
            // Opened once and written through line by line, so that the
            // record is whole up to the last call whatever ends the process.
            if (!s.trace) s.trace = std::fopen(s.traceFile.c_str(), "ae");
            if (s.trace) {
                std::fprintf(s.trace, "%s\n", j.dump().c_str());
                std::fflush(s.trace);
            }
            if (!s.record) s.calls.pop_back();
        }
    }
}

// A process that is to report at exit registers the report at start, after
// the state it reads exists, so that the report runs before that state is
// destroyed; a process that makes no platform call reports too.
static const bool exitReportRegistered = [] {
    if (!std::getenv("WINSIM_REPORT")) return false;
    S();
    std::atexit(writeExitReport);
    return true;
}();

void writeExitReport() {
    const char* path = std::getenv("WINSIM_REPORT");
    if (!path || !*path) return;
    State& s = S();
    json handles = json::array();
    for (const auto& [h, r] : s.handles)
        if (r.kind != HandleKind::ServiceStatus) handles.push_back({{"kind", kindName(r.kind)}, {"name", r.name}});
    json j{{"openHandles", handles.size()}, {"heapBlocks", s.heap.size()}, {"handles", handles},
           {"calls", s.totalCalls}};
    if (FILE* f = std::fopen(path, "w")) {
        std::fprintf(f, "%s\n", j.dump(2).c_str());
        std::fclose(f);
    }
}

}  // namespace sim
