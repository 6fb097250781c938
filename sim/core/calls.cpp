#include "sim/core/calls.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/names.h"
#include "sim/core/power.h"

using nlohmann::json;

namespace sim {

namespace {

struct Fault {
    std::string function;
    unsigned nth;
    uint32_t error;
};

struct Record {
    bool record = true;
    std::vector<CallRecord> calls;
    size_t totalCalls = 0;
    std::map<std::string, unsigned, std::less<>> perFunction;  // found by a function's name as given
    std::vector<Fault> faults;
    bool environmentRead = false;
    std::string traceFile;
    FILE* trace = nullptr;  // traceFile, opened at the first call
};

Record& R() {
    static Record r;
    return r;
}

void (*callObserver)(const char*) = nullptr;

// A program started in a machine folder keeps no record in memory and
// takes its faults and its trace file from the environment.
void readEnvironment(Record& s) {
    s.environmentRead = true;
    s.record = false;
    if (const char* f = std::getenv("WINSIM_FAIL")) {
        std::string error;
        if (!parseFaults(f, error)) std::fprintf(stderr, "winsim: WINSIM_FAIL: %s\n", error.c_str());
    }
    if (const char* t = std::getenv("WINSIM_TRACE")) s.traceFile = t;
    // The machine's power: joined when a process of the machine armed it,
    // armed by the first process that is asked for a cut.
    const char* shared = std::getenv("WINSIM_POWER");
    const char* cut = std::getenv("WINSIM_CUT");
    if (shared && *shared) {
        if (!joinPower(shared)) std::fprintf(stderr, "winsim: WINSIM_POWER: cannot join %s\n", shared);
    } else if (cut && *cut) {
        CutPlan plan;
        std::string error;
        if (!parseCutPlan(cut, plan, error) || !armPower(machineFolder(), plan, error))
            std::fprintf(stderr, "winsim: WINSIM_CUT: %s\n", error.c_str());
        else
            ::setenv("WINSIM_POWER", powerEnvironment().c_str(), 1);
    }
}

}  // namespace

void recordCalls(bool on) { R().record = on; }
const std::vector<CallRecord>& calls() { return R().calls; }

std::vector<CallRecord> callsOf(const std::string& function) {
    std::vector<CallRecord> out;
    for (const auto& c : R().calls)
        if (c.function == function) out.push_back(c);
    return out;
}

void clearCalls() { R().calls.clear(); }
size_t callCount() { return R().totalCalls; }

void failCall(const std::string& function, unsigned nth, uint32_t error) {
    std::lock_guard<std::recursive_mutex> g(lock());
    R().faults.push_back({function, nth, error});
}

void clearFaults() { R().faults.clear(); }

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
std::string argGuid(const void* guid) { return guid ? guidText(*static_cast<const GUID*>(guid)) : "null"; }

void setCallObserver(void (*observer)(const char*)) { callObserver = observer; }

Call::Call(const char* function, std::vector<std::string> args, bool injectable)
    : guard_(lock(), std::defer_lock), function_(function) {
    if (callObserver) callObserver(function);
    guard_.lock();
    machine();  // attach before anything is counted
    Record& s = R();
    if (!s.environmentRead && attachedFromEnvironment()) readEnvironment(s);
    if (powerAtCall(function)) {
        if (!cutMidCall(function)) cutPower(function);
        cutting_ = true;
    }
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
    commitsBefore_ = commitCount();
    if (s.record || !s.traceFile.empty())
        s.calls.push_back(CallRecord{function, std::move(args), 0, injected_, false, machineCalls()});
    if (injected_) SetLastError(error_);
}

void Call::cut() { cutPower(function_); }

Call::~Call() {
    if (cutting_) cutPower(function_);
    Record& s = R();
    if (index_ < s.calls.size()) {
        s.calls[index_].lastError = GetLastError();
        s.calls[index_].changedMachine = commitCount() != commitsBefore_;
        if (!s.traceFile.empty()) {
            const CallRecord& c = s.calls[index_];
            json j{{"function", c.function}, {"args", c.args}, {"lastError", c.lastError}};
            if (c.injected) j["injected"] = true;
            if (c.changedMachine) j["changedMachine"] = true;
            if (c.machineCall) j["machineCall"] = c.machineCall;
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

void resetCalls() {
    std::lock_guard<std::recursive_mutex> g(lock());
    Record& s = R();
    if (s.trace) std::fclose(s.trace);
    s = Record();
}

// A process that is to report at exit registers the report at start, after
// the state it reads exists (its handles and its record of calls), so that
// the report runs before that state is destroyed; a process that makes no
// platform call reports too.
static const bool exitReportRegistered = [] {
    if (!std::getenv("WINSIM_REPORT")) return false;
    openHandleCount();
    callCount();
    std::atexit(writeExitReport);
    return true;
}();

void writeExitReport() {
    const char* path = std::getenv("WINSIM_REPORT");
    if (!path || !*path) return;
    json handles = json::array();
    for (const auto& r : openHandles()) handles.push_back({{"kind", kindName(r.kind)}, {"name", r.name}});
    json j{{"openHandles", handles.size()}, {"heapBlocks", heapBlockCount()}, {"handles", handles},
           {"calls", callCount()}};
    if (FILE* f = std::fopen(path, "w")) {
        std::fprintf(f, "%s\n", j.dump(2).c_str());
        std::fclose(f);
    }
}

}  // namespace sim
