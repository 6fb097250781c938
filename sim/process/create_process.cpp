// Processes that a program of the simulated machine starts (CreateProcessA):
// each a real child process, recorded in the machine with its command line,
// its console and, once it ends, its exit code and the output of a console
// of its own; waited for and asked for its exit code through its handle.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win_process.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/power.h"
#include "sim/process/programs.h"

using namespace sim;

namespace {

// Children started with CreateProcessA.
struct Child {
    pid_t pid;
    size_t record;          // index in machine().processes
    std::string outputFile;
    bool ended = false;
    unsigned long exitCode = STILL_ACTIVE;
};
std::map<pid_t, Child>& children() {
    static std::map<pid_t, Child> c;
    return c;
}

void finish(Child& ch, unsigned long code) {
    // A machine that lost power while the child ran takes this process too;
    // otherwise the turn to call comes back to it.
    endIfPowerWentOut();
    takeTurnBack();
    ch.ended = true;
    ch.exitCode = code;
    reload();  // the child may have changed the machine
    Machine& m = machine();
    if (ch.record < m.processes.size()) {
        m.processes[ch.record].exitCode = static_cast<int>(code);
        if (!ch.outputFile.empty()) {
            std::ifstream in(ch.outputFile, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            m.processes[ch.record].output = ss.str();
            ::unlink(ch.outputFile.c_str());
        }
    }
    commit();
}

// The child behind a process handle, or null.
Child* childOf(HANDLE h) {
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::Process);
    if (!r) return nullptr;
    auto it = children().find(static_cast<pid_t>(r->value));
    return it == children().end() ? nullptr : &it->second;
}

}  // namespace

void WINAPI GetStartupInfoA(LPSTARTUPINFOA si) {
    Call c("GetStartupInfoA", {});
    static char desktop[] = "WinSta0\\Default";
    static char title[MAX_PATH] = "";
    if (!si) return;
    std::memset(si, 0, sizeof *si);
    si->cb = sizeof *si;
    si->lpDesktop = desktop;
    std::snprintf(title, sizeof title, "%s", processName().c_str());
    si->lpTitle = title;
    si->hStdInput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(3));
    si->hStdOutput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(7));
    si->hStdError = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(11));
}

BOOL WINAPI CreateProcessA(LPCSTR appName, LPSTR commandLine, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID env, LPCSTR cwd, LPSTARTUPINFOA si,
                           LPPROCESS_INFORMATION pi) {
    std::vector<std::string> a = {arg(appName), arg(commandLine), arg(static_cast<const void*>(pa)),
                                  arg(static_cast<const void*>(ta)), arg(inherit), argHex(flags),
                                  arg(static_cast<const void*>(env)), arg(cwd)};
    if (si) {
        a.push_back("dwFlags=" + argHex(si->dwFlags));
        a.push_back("wShowWindow=" + arg(static_cast<uint32_t>(si->wShowWindow)));
        a.push_back("lpReserved=" + arg(static_cast<const void*>(si->lpReserved)));
        a.push_back("cbReserved2=" + arg(static_cast<uint32_t>(si->cbReserved2)));
        a.push_back("lpReserved2=" + arg(static_cast<const void*>(si->lpReserved2)));
    }
    Call c("CreateProcessA", a);
    if (c.injected()) return FALSE;
    if (!si || !pi || (!appName && !commandLine)) return fail(ERROR_INVALID_PARAMETER);
    std::string line = commandLine ? commandLine : appName;
    SpawnOptions opts;
    Machine& m = machine();
    if (flags & CREATE_NEW_CONSOLE) {
        opts.console = Console::New;
        std::string dir = machineFolder().empty() ? std::string("/tmp") : machineFolder();
        char name[64];
        std::snprintf(name, sizeof name, "/console-%d-%zu.txt", static_cast<int>(::getpid()), m.processes.size());
        opts.outputFile = dir + name;
    }
    if (cwd) opts.env["WINSIM_CWD"] = cwd;
    unsigned long error = 0;
    ProcessRecord rec;
    rec.commandLine = line;
    rec.console = opts.console == Console::New ? "new" : "shared";
    // The record is written before the child starts: the child changes the
    // machine itself, and a write of this process after its start could undo
    // what it did.
    m.processes.push_back(rec);
    commit();
    size_t record = m.processes.size() - 1;
    pid_t pid = spawnProgram(line, opts, error);
    if (pid < 0) {
        m.processes.pop_back();
        commit();
        SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    children()[pid] = Child{pid, record, opts.outputFile};
    pi->hProcess = reinterpret_cast<HANDLE>(newHandle(HandleKind::Process, line, 0, pid));
    pi->hThread = reinterpret_cast<HANDLE>(newHandle(HandleKind::Thread, line, 0, pid));
    pi->dwProcessId = static_cast<DWORD>(pid);
    pi->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
    Call c("WaitForSingleObject", {arg(h), ms == INFINITE ? std::string("INFINITE") : arg(ms)});
    if (c.injected()) return WAIT_FAILED;
    Child* child = childOf(h);
    if (!child) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    Child& ch = *child;
    if (ch.ended) return WAIT_OBJECT_0;
    // The child's platform calls are the machine's while this process waits.
    handTurnTo(ch.pid);
    if (ms == INFINITE) {
        finish(ch, waitProgram(ch.pid));
        return WAIT_OBJECT_0;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        pid_t got = ::waitpid(ch.pid, &status, WNOHANG);
        if (got == ch.pid) {
            finish(ch, exitCodeOf(status));
            return WAIT_OBJECT_0;
        }
        if (std::chrono::steady_clock::now() >= until) {
            endIfPowerWentOut();
            takeTurnBack();
            return WAIT_TIMEOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

BOOL WINAPI GetExitCodeProcess(HANDLE h, LPDWORD code) {
    Call c("GetExitCodeProcess", {arg(h)});
    if (c.injected()) return FALSE;
    Child* child = childOf(h);
    if (!child || !code) return fail(ERROR_INVALID_HANDLE);
    Child& ch = *child;
    if (!ch.ended) {
        int status = 0;
        if (::waitpid(ch.pid, &status, WNOHANG) == ch.pid)
            finish(ch, exitCodeOf(status));
    }
    *code = static_cast<DWORD>(ch.exitCode);
    return TRUE;
}
