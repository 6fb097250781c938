// The service side of a process that the simulated service control manager
// started: the control dispatcher, the handler registration, the status
// reports and the controls sent to the service (see control_channel.h for
// the channel they come through).
#include "sim/services/dispatcher.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/win_services.h"
#include "sim/core/runtime.h"
#include "sim/core/win_codes.h"
#include "sim/services/control_channel.h"
#include "sim/services/services.h"

using namespace sim;

namespace {

// How long a call that a control is due at waits for the handler: long
// enough for any handler, short enough that a handler blocked on the
// machine lock that the waiting thread holds cannot hang the process.
const auto DueControlWait = std::chrono::seconds(5);
const auto ChannelPoll = std::chrono::milliseconds(2);
// How long the dispatcher, once every service has stopped, lets the
// ServiceMain thread finish the platform call it is in before the process
// ends. It only lets the simulator's own bookkeeping settle: the thread does
// not get to start another call.
const auto CutOffWait = std::chrono::seconds(2);

struct Pending {
    uint32_t control = 0;
    std::string function;  // empty: as soon as the service can take it
    unsigned nth = 0;
    bool triggered = false;
    unsigned long ticket = 0;
};

struct ServiceProcess {
    std::mutex m;
    std::condition_variable cv;
    std::string name;  // the service this process was started as
    LPHANDLER_FUNCTION handler = nullptr;
    bool dispatching = false;
    bool mainDone = false;
    bool reported = false;  // a status report has been made
    uint32_t state = SERVICE_START_PENDING;
    uint32_t accepted = 0;
    std::thread::id mainThread;
    std::thread::id dispatcherThread;
    bool stopped = false;  // the service has reported SERVICE_STOPPED: the process ends
    bool frozen = false;   // the ServiceMain thread was stopped at a platform call
    std::map<std::string, unsigned> mainCalls;  // calls of the ServiceMain thread
    std::vector<Pending> waiting;               // waiting for their call
    std::deque<Pending> due;                    // to be sent, in order
    unsigned long queued = 0, handled = 0;      // tickets
    std::vector<ControlOutcome> outcomes;
};

ServiceProcess& self() {
    static ServiceProcess s;
    return s;
}

void clearServiceProcess() {
    ServiceProcess& s = self();
    std::lock_guard<std::mutex> g(s.m);
    s.name.clear();
    s.handler = nullptr;
    s.dispatching = s.mainDone = s.reported = false;
    s.state = SERVICE_START_PENDING;
    s.accepted = 0;
    s.mainThread = std::thread::id();
    s.dispatcherThread = std::thread::id();
    s.stopped = s.frozen = false;
    s.mainCalls.clear();
    s.waiting.clear();
    s.due.clear();
    s.queued = s.handled = 0;
    s.outcomes.clear();
}

const bool serviceProcessClearedOnReset = (onTestReset(clearServiceProcess), true);

// Why the service control manager would refuse the control now; 0 when the
// handler gets it.
uint32_t refusal(const ServiceProcess& s, uint32_t control) {
    if (!s.handler) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (s.reported && s.state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (control == SERVICE_CONTROL_INTERROGATE) return 0;
    if (control >= 128 && control <= 255) return 0;
    if (control < SERVICE_CONTROL_STOP || control > SERVICE_CONTROL_SHUTDOWN) return ERROR_INVALID_SERVICE_CONTROL;
    if (s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    uint32_t needed = control == SERVICE_CONTROL_STOP       ? SERVICE_ACCEPT_STOP
                      : control == SERVICE_CONTROL_SHUTDOWN ? SERVICE_ACCEPT_SHUTDOWN
                                                            : SERVICE_ACCEPT_PAUSE_CONTINUE;
    return (s.accepted & needed) ? 0 : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

// Sends the controls that can go now; called with the lock held, which it
// drops while a handler runs.
void sendDueControls(ServiceProcess& s, std::unique_lock<std::mutex>& lk) {
    while (!s.due.empty()) {
        Pending p = s.due.front();
        if (!p.triggered && !s.reported && !s.mainDone) return;  // waits for the first report
        s.due.pop_front();
        uint32_t error = refusal(s, p.control);
        if (!error) {
            LPHANDLER_FUNCTION handler = s.handler;
            lk.unlock();
            handler(p.control);
            lk.lock();
        }
        s.outcomes.push_back({p.control, error});
        if (p.ticket > s.handled) s.handled = p.ticket;
        s.cv.notify_all();
    }
}

void queueLocked(ServiceProcess& s, uint32_t control, const std::string& function, unsigned nth) {
    Pending p;
    p.control = control;
    p.function = function;
    p.nth = nth;
    if (function.empty()) {
        p.ticket = ++s.queued;
        s.due.push_back(p);
    } else {
        s.waiting.push_back(p);
    }
    s.cv.notify_all();
}

// Threads of a service process that ended while they still ran. Kept for
// the life of the host process (unit tests run one dispatcher after
// another), never freed.
std::vector<std::thread::id>& cutOffThreads() {
    static auto* threads = new std::vector<std::thread::id>;
    return *threads;
}
bool anyThreadCutOff = false;

// A thread that has ended is no longer cut off: its id may be given again.
void forgetCutOff(std::thread::id thread) {
    auto& threads = cutOffThreads();
    for (auto it = threads.begin(); it != threads.end();) it = *it == thread ? threads.erase(it) : it + 1;
}

bool isCutOff(const ServiceProcess& s, std::thread::id thread) {
    if (s.stopped && s.dispatching && thread != s.dispatcherThread) return true;
    for (const auto& t : cutOffThreads())
        if (t == thread) return true;
    return false;
}

// The process has ended for this thread: it never makes another call, as
// Windows ends a process's other threads wherever they are.
[[noreturn]] void freezeThread(ServiceProcess& s, std::unique_lock<std::mutex>& lk) {
    s.frozen = true;
    s.cv.notify_all();
    lk.unlock();
    for (;;) ::pause();
}

// Told of every platform call: a thread of a process that has ended stops
// here; a control due at this call of the ServiceMain thread is sent now,
// and the call waits for the handler.
void observeCall(const char* function) {
    ServiceProcess& s = self();
    std::unique_lock<std::mutex> lk(s.m);
    if (isCutOff(s, std::this_thread::get_id())) freezeThread(s, lk);
    if (!s.dispatching || std::this_thread::get_id() != s.mainThread) return;
    unsigned n = ++s.mainCalls[function];
    unsigned long last = 0;
    for (auto it = s.waiting.begin(); it != s.waiting.end();) {
        if (it->function == function && it->nth == n) {
            it->triggered = true;
            it->ticket = last = ++s.queued;
            s.due.push_back(*it);
            it = s.waiting.erase(it);
        } else {
            ++it;
        }
    }
    if (!last) return;
    s.cv.notify_all();
    s.cv.wait_for(lk, DueControlWait, [&] { return s.handled >= last; });
    if (isCutOff(s, std::this_thread::get_id())) freezeThread(s, lk);  // the handler stopped the service
}

// Queues a line of the channel as a control; a bad line is told on
// standard error and left out.
void take(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    uint32_t control = 0;
    std::string function, error;
    unsigned nth = 0;
    if (!parseServiceControl(line, control, function, nth, error)) {
        std::fprintf(stderr, "winsim: WINSIM_CONTROL: %s\n", error.c_str());
        return;
    }
    queueServiceControl(control, function, nth);
}

// The account a service runs as, from its ObjectName: local system unless
// the service is set up to run as an administrator or another account.
std::string serviceAccount(const std::string& name) {
    RegKey* k = serviceKey(name);
    if (!k) return "system";
    auto it = k->values.find("ObjectName");
    if (it == k->values.end()) return "system";
    std::string who = upper(it->second.data.substr(0, it->second.data.find('\0')));
    if (who.empty() || who == "LOCALSYSTEM" || who == "NT AUTHORITY\\SYSTEM") return "system";
    if (who.find("ADMINISTRATOR") != std::string::npos) return "administrator";
    return "user";
}

}  // namespace

namespace sim {

void queueServiceControl(uint32_t control, const std::string& beforeFunction, unsigned nth) {
    ServiceProcess& s = self();
    std::lock_guard<std::mutex> g(s.m);
    queueLocked(s, control, beforeFunction, nth);
}

std::vector<ControlOutcome> serviceControlOutcomes() {
    ServiceProcess& s = self();
    std::lock_guard<std::mutex> g(s.m);
    return s.outcomes;
}

}  // namespace sim

BOOL WINAPI StartServiceCtrlDispatcherA(CONST SERVICE_TABLE_ENTRYA* table) {
    LPSERVICE_MAIN_FUNCTIONA main = nullptr;
    std::string started;
    ServiceProcess& s = self();
    {
        // The call's record and lock end here: the service's own calls run
        // on another thread while the dispatcher waits.
        Call c("StartServiceCtrlDispatcherA", {table && table->lpServiceName ? arg(table->lpServiceName) : "null"});
        if (c.injected()) return FALSE;
        const char* env = std::getenv("WINSIM_SERVICE");
        if (!env || !*env) return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);  // not started by the manager
        if (!table) return fail(ERROR_INVALID_PARAMETER);
        for (const SERVICE_TABLE_ENTRYA* e = table; e->lpServiceName; ++e)
            if (equalNoCase(e->lpServiceName, env)) main = e->lpServiceProc;
        if (!main) return fail(ERROR_SERVICE_NOT_IN_EXE);
        std::lock_guard<std::mutex> g(s.m);
        if (s.dispatching) return fail(ERROR_SERVICE_ALREADY_RUNNING);
        started = env;
        s.name = started;
        s.dispatching = true;
        s.mainDone = false;
        s.stopped = s.frozen = false;
        s.dispatcherThread = std::this_thread::get_id();
        setProcessAccount(serviceAccount(started));
    }
    ControlChannel channel(std::getenv("WINSIM_CONTROL"));
    for (const auto& line : channel.newLines()) take(line);  // sent before the start: known before ServiceMain runs
    setCallObserver(observeCall);
    std::thread worker([main, started, &s]() {
        {
            std::lock_guard<std::mutex> g(s.m);
            s.mainThread = std::this_thread::get_id();
        }
        std::vector<char> name(started.begin(), started.end());
        name.push_back('\0');
        char* argv[] = {name.data(), nullptr};
        main(1, argv);
        std::lock_guard<std::mutex> g(s.m);
        forgetCutOff(std::this_thread::get_id());
        s.mainDone = true;
        s.cv.notify_all();
    });
    bool mainEnded;
    {
        // The dispatcher's own thread: controls arrive here while
        // ServiceMain runs. It returns as soon as the service has reported
        // stopped, whatever ServiceMain's thread is still doing; the process
        // then ends when main returns, and that thread with it.
        std::unique_lock<std::mutex> lk(s.m);
        for (;;) {
            lk.unlock();
            for (const auto& line : channel.newLines()) take(line);
            lk.lock();
            sendDueControls(s, lk);
            if (s.mainDone || s.stopped) break;
            s.cv.wait_for(lk, ChannelPoll);
        }
        // Controls never sent: those whose call never came, and those still
        // due when the service stopped. A call waiting for its control goes
        // on, and stops at once if the process has ended.
        for (const Pending& p : s.waiting) s.outcomes.push_back({p.control, ERROR_SERVICE_NOT_ACTIVE});
        for (const Pending& p : s.due) s.outcomes.push_back({p.control, ERROR_SERVICE_NOT_ACTIVE});
        s.waiting.clear();
        s.due.clear();
        s.handled = s.queued;
        s.cv.notify_all();
        if (!s.mainDone) {
            cutOffThreads().push_back(worker.get_id());
            s.cv.wait_for(lk, CutOffWait, [&] { return s.mainDone || s.frozen; });
        }
        mainEnded = s.mainDone;
        if (!mainEnded) anyThreadCutOff = true;
        s.dispatching = false;
    }
    if (mainEnded) {
        worker.join();
    } else {
        worker.detach();  // stopped at its next platform call, for good
    }
    // A thread that was cut off still has to be stopped at its next call.
    if (!anyThreadCutOff) setCallObserver(nullptr);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler) {
    Call c("RegisterServiceCtrlHandlerA", {arg(name)});
    if (c.injected()) return nullptr;
    ServiceProcess& s = self();
    std::lock_guard<std::mutex> g(s.m);
    if (s.name.empty() || !name || !equalNoCase(name, s.name)) return fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    if (!handler) return fail(ERROR_INVALID_PARAMETER, nullptr);
    s.handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(newHandle(HandleKind::ServiceStatus, s.name));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE h, LPSERVICE_STATUS status) {
    Call c("SetServiceStatus", {arg(static_cast<const void*>(h)),
                                status ? "state=" + arg(status->dwCurrentState) : "null",
                                status ? "type=" + argHex(status->dwServiceType) : "",
                                status ? "accepted=" + arg(status->dwControlsAccepted) : "",
                                status ? "exit=" + arg(status->dwWin32ExitCode) : "",
                                status ? "specific=" + arg(status->dwServiceSpecificExitCode) : "",
                                status ? "checkpoint=" + arg(status->dwCheckPoint) : "",
                                status ? "wait=" + arg(status->dwWaitHint) : ""});
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::ServiceStatus);
    if (!r) return fail(ERROR_INVALID_HANDLE);
    if (!status) return fail(ERROR_INVALID_PARAMETER);
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED ||
        !(status->dwServiceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)))
        return fail(ERROR_INVALID_DATA);
    // A service that was deleted once it had reported stopped and its last
    // handle closed keeps no state to report into.
    Machine& m = machine();
    if (m.services.count(r->name) || serviceKey(r->name)) {
        ServiceRuntime& rt = m.services[r->name];
        rt.state = status->dwCurrentState;
        rt.reported.push_back(status->dwCurrentState);
        commit();
    }
    ServiceProcess& s = self();
    std::lock_guard<std::mutex> g(s.m);
    s.reported = true;
    s.state = status->dwCurrentState;
    s.accepted = status->dwControlsAccepted;
    // The process's only service has stopped: the dispatcher returns, and
    // every other thread of the process stops at its next platform call.
    if (s.state == SERVICE_STOPPED && s.dispatching) s.stopped = true;
    s.cv.notify_all();
    return TRUE;
}
