#include "sim/core/power.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "sim/core/current_machine.h"

namespace sim {

namespace {

// Host paths of files whose data the lazy writer has not written back, at
// most this many (the oldest is taken as written when a newer one needs
// its place) and this long.
const size_t UnwrittenFiles = 64;
const size_t HostPathRoom = 1024;
const size_t FunctionNameRoom = 64;
const uint32_t SharedMagic = 0x52574F50;  // "POWR"

// The power as the machine's processes share it, in a file that each maps.
// Only the process whose turn it is writes to it, apart from the turn and
// the cut, which are read and written atomically.
struct Shared {
    uint32_t magic;
    uint32_t keptPercent;
    uint64_t cutAt;
    uint64_t lazyCalls;
    uint64_t calls;
    uint64_t firstUnwritten;  // the call count when the first change since the last write-back was made, plus 1
    int32_t holder;           // the process whose turn it is; 0: whoever calls first
    uint32_t cut;
    uint64_t cutCall;
    char cutFunction[FunctionNameRoom];
    uint32_t unwrittenCount;
    char unwritten[UnwrittenFiles][HostPathRoom];
};

struct Power {
    Shared* shared = nullptr;
    std::string folder;      // the machine's power folder
    bool armedHere = false;  // this process armed it (and removes it)
};

Power& P() {
    static Power p;
    return p;
}

std::string sharedPath(const std::string& folder) { return folder + "/shared"; }
std::string writtenStatePath(const std::string& folder) { return folder + "/state.json"; }

Shared* mapShared(const std::string& path, bool create) {
    int fd = ::open(path.c_str(), create ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    if (create && ::ftruncate(fd, sizeof(Shared)) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    Shared* s = static_cast<Shared*>(p);
    if (!create && s->magic != SharedMagic) {
        ::munmap(p, sizeof(Shared));
        return nullptr;
    }
    return s;
}

// The lazy writer writes back: the machine's state as its folder holds it
// now is what the disk holds (a link to the file, which every later save
// replaces rather than changes), and every file's data is on the disk.
void writeBack(Power& p) {
    Shared& s = *p.shared;
    std::string state = machineFolder() + "/state.json";
    std::string written = writtenStatePath(p.folder);
    std::string linking = written + ".new";
    ::unlink(linking.c_str());
    if (::link(state.c_str(), linking.c_str()) == 0) std::rename(linking.c_str(), written.c_str());
    s.firstUnwritten = 0;
    s.unwrittenCount = 0;
}

bool pidAlive(int pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

[[noreturn]] void endNow() {
    std::fflush(nullptr);
    ::kill(::getpid(), SIGKILL);
    std::abort();
}

// The machine's state after the cut: what the disk holds of the registry
// and the rest that Windows writes back lazily, with what the file system
// journaled and the simulator's own records as they were at the cut.
Machine stateAfterCut(const Machine& atCut, const Machine& written) {
    Machine m = atCut;
    m.devices = written.devices;
    m.hklm = written.hklm;
    m.services = written.services;
    m.serviceDatabaseLoaded = written.serviceDatabaseLoaded;
    m.serviceDatabase = written.serviceDatabase;
    m.eventLog = written.eventLog;
    m.rebootRequests = written.rebootRequests;
    return m;
}

// The data of the files written since the last write-back reads as zeros;
// their length stays.
void zeroUnwrittenData(const Shared& s) {
    static const char zeros[4096] = {};
    for (uint32_t i = 0; i < s.unwrittenCount; ++i) {
        int fd = ::open(s.unwritten[i], O_WRONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            for (off_t at = 0; at < st.st_size;) {
                size_t n = static_cast<size_t>(std::min<off_t>(st.st_size - at, sizeof zeros));
                ssize_t done = ::pwrite(fd, zeros, n, at);
                if (done <= 0) break;
                at += done;
            }
        }
        ::close(fd);
    }
}

}  // namespace

bool parseCutPlan(const std::string& text, CutPlan& plan, std::string& error) {
    CutPlan out;
    std::stringstream ss(text);
    std::string item;
    bool first = true;
    auto number = [&](const std::string& digits, uint64_t& value) {
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 18)
            return false;
        value = std::stoull(digits);
        return true;
    };
    while (std::getline(ss, item, ',')) {
        uint64_t value = 0;
        if (first) {
            first = false;
            if (!number(item, out.atCall)) {
                error = "expected CALL[,lazy=CALLS][,kept=PERCENT], got " + text;
                return false;
            }
            continue;
        }
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        if (eq == std::string::npos || !number(item.substr(eq + 1), value)) {
            error = "expected KEY=NUMBER, got " + item;
            return false;
        }
        if (key == "lazy" && value >= 1) {
            out.lazyCalls = value;
        } else if (key == "kept" && value <= 100) {
            out.keptPercent = static_cast<unsigned>(value);
        } else {
            error = "expected lazy=CALLS (1 or more) or kept=PERCENT (0 to 100), got " + item;
            return false;
        }
    }
    if (first) {
        error = "expected CALL[,lazy=CALLS][,kept=PERCENT], got nothing";
        return false;
    }
    plan = out;
    return true;
}

bool armPower(const std::string& folder, const CutPlan& plan, std::string& error) {
    Power& p = P();
    std::string power = folder + "/power";
    std::error_code ec;
    std::filesystem::remove_all(power, ec);
    std::filesystem::create_directories(power, ec);
    Shared* s = ec ? nullptr : mapShared(sharedPath(power), true);
    if (!s) {
        error = "cannot arm the power in " + power;
        return false;
    }
    std::memset(s, 0, sizeof *s);
    s->magic = SharedMagic;
    s->cutAt = plan.atCall;
    s->lazyCalls = plan.lazyCalls;
    s->keptPercent = plan.keptPercent;
    p.shared = s;
    p.folder = power;
    p.armedHere = true;
    // Before the run, everything the machine holds is on its disk.
    if (plan.lazyCalls && ::link((folder + "/state.json").c_str(), writtenStatePath(power).c_str()) != 0) {
        error = "cannot keep the written state in " + power;
        disarmPower();
        return false;
    }
    return true;
}

bool joinPower(const std::string& sharedFile) {
    Power& p = P();
    Shared* s = mapShared(sharedFile, false);
    if (!s) return false;
    p.shared = s;
    p.folder = std::filesystem::path(sharedFile).parent_path().string();
    return true;
}

std::string powerEnvironment() {
    const Power& p = P();
    return p.shared ? sharedPath(p.folder) : "";
}

bool powerArmed() { return P().shared != nullptr; }

bool powerWentOut() {
    const Power& p = P();
    return p.shared && __atomic_load_n(&p.shared->cut, __ATOMIC_ACQUIRE) != 0;
}

uint64_t powerCutCall() { return P().shared ? P().shared->cutCall : 0; }
std::string powerCutFunction() { return P().shared ? std::string(P().shared->cutFunction) : ""; }
uint64_t machineCalls() { return P().shared ? P().shared->calls : 0; }

void disarmPower() {
    Power& p = P();
    if (!p.shared) return;
    ::munmap(p.shared, sizeof(Shared));
    p.shared = nullptr;
    if (p.armedHere) {
        std::error_code ec;
        std::filesystem::remove_all(p.folder, ec);
    }
    p.folder.clear();
    p.armedHere = false;
}

bool powerAtCall(const char* function) {
    Power& p = P();
    if (!p.shared) return false;
    Shared& s = *p.shared;
    const int self = static_cast<int>(::getpid());
    // One process at a time: wait for this process's turn.
    for (;;) {
        if (__atomic_load_n(&s.cut, __ATOMIC_ACQUIRE)) endNow();
        int holder = __atomic_load_n(&s.holder, __ATOMIC_ACQUIRE);
        if (holder == self) break;
        if ((holder == 0 || !pidAlive(holder)) &&
            __atomic_compare_exchange_n(&s.holder, &holder, self, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            break;
        ::usleep(200);
    }
    uint64_t call = ++s.calls;
    if (s.lazyCalls && s.firstUnwritten && call >= s.firstUnwritten - 1 + s.lazyCalls) writeBack(p);
    if (s.cutAt == 0 || call != s.cutAt) return false;
    std::snprintf(s.cutFunction, sizeof s.cutFunction, "%s", function);
    s.cutCall = call;
    return true;
}

bool cutMidCall(const char* function) {
    return std::strcmp(function, "CopyFileA") == 0 || std::strcmp(function, "WriteFile") == 0;
}

uint64_t bytesKeptOf(uint64_t size) {
    const Power& p = P();
    // With a lazy writer nothing of a copy in progress has reached the disk.
    if (!p.shared || p.shared->lazyCalls) return 0;
    return size * p.shared->keptPercent / 100;
}

void cutPower(const char* function) {
    Power& p = P();
    if (!p.shared) endNow();
    Shared& s = *p.shared;
    if (!s.cutCall) {
        std::snprintf(s.cutFunction, sizeof s.cutFunction, "%s", function);
        s.cutCall = s.calls;
    }
    if (s.lazyCalls) {
        zeroUnwrittenData(s);
        const std::string& folder = machineFolder();
        Machine atCut, written;
        std::string error;
        if (loadFolder(folder, atCut, error) && loadFolder(p.folder, written, error))
            saveFolder(folder, stateAfterCut(atCut, written), error);
        if (!error.empty()) std::fprintf(stderr, "winsim: after the power cut: %s\n", error.c_str());
    }
    __atomic_store_n(&s.cut, 1u, __ATOMIC_RELEASE);
    endNow();
}

void endIfPowerWentOut() {
    if (powerWentOut()) endNow();
}

void handTurnTo(int pid) {
    if (Shared* s = P().shared) __atomic_store_n(&s->holder, pid, __ATOMIC_RELEASE);
}

void takeTurnBack() {
    if (Shared* s = P().shared) __atomic_store_n(&s->holder, static_cast<int>(::getpid()), __ATOMIC_RELEASE);
}

void noteMachineChange() {
    Shared* s = P().shared;
    if (!s || !s->lazyCalls || s->firstUnwritten) return;
    s->firstUnwritten = s->calls + 1;
}

void noteFileData(const std::string& hostPath) {
    Shared* s = P().shared;
    if (!s || !s->lazyCalls || hostPath.size() >= HostPathRoom) return;
    if (!s->firstUnwritten) s->firstUnwritten = s->calls + 1;
    for (uint32_t i = 0; i < s->unwrittenCount; ++i)
        if (hostPath == s->unwritten[i]) return;
    if (s->unwrittenCount == UnwrittenFiles) {
        std::memmove(s->unwritten[0], s->unwritten[1], (UnwrittenFiles - 1) * HostPathRoom);
        --s->unwrittenCount;
    }
    std::snprintf(s->unwritten[s->unwrittenCount++], HostPathRoom, "%s", hostPath.c_str());
}

void noteFileMoved(const std::string& fromHost, const std::string& toHost) {
    Shared* s = P().shared;
    if (!s || !s->lazyCalls) return;
    for (uint32_t i = 0; i < s->unwrittenCount; ++i) {
        std::string path = s->unwritten[i];
        bool below = path.size() > fromHost.size() && path[fromHost.size()] == '/' &&
                     path.compare(0, fromHost.size(), fromHost) == 0;
        if (path != fromHost && !below) continue;
        std::string moved = toHost + path.substr(fromHost.size());
        if (moved.size() < HostPathRoom) std::snprintf(s->unwritten[i], HostPathRoom, "%s", moved.c_str());
    }
}

void writeBackAtShutdown() {
    Power& p = P();
    if (p.shared && p.shared->lazyCalls) writeBack(p);
}

}  // namespace sim
