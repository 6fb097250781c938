// The platform calls of this process: every platform function of the
// simulator goes through a Call guard, which takes the machine's lock,
// counts and records the call, and injects the faults asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_base.h"

namespace sim {

// ---- the record of calls ----------------------------------------------------

struct CallRecord {
    std::string function;
    std::vector<std::string> args;
    uint32_t lastError = 0;  // the thread's last error when the call returned
    bool injected = false;
    bool changedMachine = false;  // the call changed the machine's state
    uint64_t machineCall = 0;     // its number among the machine's calls, while a cut is armed (power.h)
};

// Unit tests keep the record in memory; a program started in a machine
// folder keeps none (WINSIM_TRACE writes it to a file instead).
void recordCalls(bool on);
const std::vector<CallRecord>& calls();
std::vector<CallRecord> callsOf(const std::string& function);
void clearCalls();
size_t callCount();  // platform calls made so far by this process

// Formatting of call arguments for the record.
std::string arg(const char* s);
std::string arg(const std::string& s);
std::string arg(uint32_t v);
std::string arg(int v);
std::string arg(const void* p);
std::string argHex(uint32_t v);
std::string argGuid(const void* guid);

// ---- injected faults --------------------------------------------------------

// Make the nth call (1-based) of a function fail with an error; nth 0 makes
// every call fail. function "*" counts calls of every function together.
void failCall(const std::string& function, unsigned nth, uint32_t error);
void clearFaults();
// Faults as text, "RegOpenKeyExA#2=5,CopyFileA#0=5,*#17=8" (the form of
// WINSIM_FAIL).
bool parseFaults(const std::string& spec, std::string& error);

// ---- one call ---------------------------------------------------------------

// One platform call: takes the machine lock, records the call, and tells
// whether a fault is to be injected (the last error is then already set).
class Call {
public:
    // Release functions (handles, keys, sets, heap blocks) pass injectable
    // false: they are recorded but never made to fail, as on Windows a
    // release of a valid handle does not fail.
    Call(const char* function, std::vector<std::string> args, bool injectable = true);
    ~Call();
    bool injected() const { return injected_; }
    uint32_t error() const { return error_; }
    // The power goes during this call (power.h): a copy or write that had
    // begun keeps what of it reached the disk, then calls cut(). A call
    // that ends without it ends the process as it returns.
    bool cutting() const { return cutting_; }
    [[noreturn]] void cut();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    std::unique_lock<std::recursive_mutex> guard_;
    size_t index_;
    size_t commitsBefore_;
    bool injected_ = false;
    uint32_t error_ = 0;
    bool cutting_ = false;
    const char* function_;
};

// Told of every platform call of this process before the call takes the
// machine lock (the service dispatcher delivers controls that are due at a
// call). Null: nobody.
void setCallObserver(void (*observer)(const char* function));

// The failure of a platform function: the last error set, the function's
// failure value given back (FALSE unless another is named).
inline BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}
template <typename Failure>
Failure fail(DWORD error, Failure failure) {
    SetLastError(error);
    return failure;
}

// Process exit report (WINSIM_REPORT): the handles and heap blocks the
// process left, and how many calls it made.
void writeExitReport();

// Starts the record afresh: recording on, nothing recorded, counted or to
// be injected (between unit tests).
void resetCalls();

}  // namespace sim
