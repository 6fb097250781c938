// The process's view of the simulated machine: which machine it runs in, its
// handles and heap blocks, the record of platform calls and the faults to
// inject. Every platform function of the simulator goes through a Call guard.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/core/machine.h"

namespace sim {

// ---- the current machine -------------------------------------------------

// In-memory machine for unit tests: replaces whatever the process had, resets
// handles, heap, records and faults.
void useMachine(const Machine& m);
// Folder-backed machine: loads <folder>/state.json; every change is written
// back. Returns false with a message when the folder holds no machine.
bool attachFolder(const std::string& folder, std::string& error);
bool saveFolder(const std::string& folder, const Machine& m, std::string& error);
bool loadFolder(const std::string& folder, Machine& m, std::string& error);
// The machine of this process. A process started without one (and outside
// any unit test) attaches the folder named by WINSIM_MACHINE, or stops with
// a message on standard error.
Machine& machine();
const std::string& machineFolder();  // empty for an in-memory machine
void commit();   // write the machine back to its folder, if it has one
void reload();   // read it again (after a child process has run)
std::recursive_mutex& lock();

// Account of this process: the machine's logged-on account unless
// WINSIM_ACCOUNT or a service start says otherwise.
std::string account();
void setProcessAccount(const std::string& acct);
bool isAdministrator();  // administrator or local system

// Host path of a drive letter's root.
std::string driveRoot(char letter);

// ---- handles and heap ------------------------------------------------------

enum class HandleKind { RegKey, SCManager, Service, EventSource, Token, DevInfo, Find, File,
                        Process, Thread, ServiceStatus };
const char* kindName(HandleKind k);

struct HandleRec {
    HandleKind kind;
    std::string name;      // key path, service name, file path, ...
    uint32_t access = 0;
    intptr_t value = 0;    // kind-specific (pid, fd, set id)
};

uintptr_t newHandle(HandleKind kind, const std::string& name, uint32_t access = 0,
                    intptr_t value = 0);
HandleRec* findHandle(uintptr_t h, HandleKind kind);
HandleRec* findAnyHandle(uintptr_t h);
bool closeHandle(uintptr_t h);
size_t openHandleCount();
bool anyHandle(const std::function<bool(const HandleRec&)>& pred);
// The program of this process as Windows names it (its argv[0]).
std::string processName();
std::map<std::string, size_t> openHandlesByKind();

void* heapAlloc(size_t n, bool zero);
bool heapFree(void* p);
size_t heapBlockCount();

// ---- record of calls and injected faults ---------------------------------

struct CallRecord {
    std::string function;
    std::vector<std::string> args;
    uint32_t lastError = 0;  // the thread's last error when the call returned
    bool injected = false;
};

void recordCalls(bool on);
const std::vector<CallRecord>& calls();
std::vector<CallRecord> callsOf(const std::string& function);
void clearCalls();
size_t callCount();  // platform calls made so far by this process

// Make the nth call (1-based) of a function fail with an error; nth 0 makes
// every call fail. function "*" counts calls of every function together.
void failCall(const std::string& function, unsigned nth, uint32_t error);
void clearFaults();
// Faults as text, "RegOpenKeyExA#2=5,CopyFileA#0=5,*#17=8" (the form of
// WINSIM_FAIL).
bool parseFaults(const std::string& spec, std::string& error);

// Formatting of call arguments for the record.
std::string arg(const char* s);
std::string arg(const std::string& s);
std::string arg(uint32_t v);
std::string arg(int v);
std::string arg(const void* p);
std::string argHex(uint32_t v);
std::string argGuid(const void* guid);

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
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    std::unique_lock<std::recursive_mutex> guard_;
    size_t index_;
    bool injected_ = false;
    uint32_t error_ = 0;
};

// Process exit report (WINSIM_REPORT): open handles and heap blocks left.
void writeExitReport();

// Unit tests call this before each test: a fresh machine built by the
// given function, with recording on.
void resetForTest(const Machine& m);

// Process state kept outside this file (the token's privileges, the service
// dispatcher) registers a function that resetForTest calls to clear it.
void onTestReset(void (*clear)());

// Told of every platform call of this process before the call takes the
// machine lock (the service dispatcher delivers controls that are due at a
// call). Null: nobody.
void setCallObserver(void (*observer)(const char* function));

}  // namespace sim
