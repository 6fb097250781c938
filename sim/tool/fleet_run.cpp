// winsim fleet: rehearses the installation on every server of a fleet, a
// few at a time, each in a process group of its own (winsim fleet-server)
// that is ended whole when it runs past its time limit or the fleet is
// interrupted. Records are appended to a journal as they come, in any
// order, and copied from there into servers.jsonl in the fleet's order; a
// run that was interrupted goes on from the journal (--resume). A share of
// the fleet (--shard K/N) runs anywhere, and `winsim fleet merge` joins the
// shares into what one run gives.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "sim/tool/commands.h"
#include "sim/tool/fleet.h"

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace winsim::fleet {

namespace {

const int CommandError = 2;         // the fleet's exit status when it cannot run at all
const int Interrupted = 130;        // ended by Ctrl-C (or another signal): --resume goes on
const char* const RunFolder = ".fleet-run";
const char* const RecordsFile = "servers.jsonl";

struct Options {
    std::string source, out, random, shard, work, media;
    Settings settings;
    int jobs = 0;
    int timeLimit = 300;
    bool resume = false;
};

[[noreturn]] void refuse(const std::string& message) {
    std::cerr << "winsim fleet: " << message << "\n";
    std::exit(CommandError);
}

bool parseRange(const std::string& text, uint64_t& first, uint64_t& last) {
    size_t dots = text.find("..");
    std::string a = dots == std::string::npos ? text : text.substr(0, dots);
    std::string b = dots == std::string::npos ? text : text.substr(dots + 2);
    auto number = [](const std::string& s, uint64_t& v) {
        if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 19) return false;
        v = std::stoull(s);
        return true;
    };
    return number(a, first) && number(b, last) && first <= last;
}

bool parseShard(const std::string& text, size_t& k, size_t& n) {
    size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    std::string a = text.substr(0, slash), b = text.substr(slash + 1);
    if (a.empty() || b.empty() || a.find_first_not_of("0123456789") != std::string::npos ||
        b.find_first_not_of("0123456789") != std::string::npos || a.size() > 6 || b.size() > 6)
        return false;
    k = std::stoul(a);
    n = std::stoul(b);
    return n >= 1 && k >= 1 && k <= n;
}

// The journal of a run: a header line that names the rehearsal, then each
// server's record as it comes. A line cut short by a killed run is dropped
// when the run goes on.
class Journal {
public:
    ~Journal() {
        if (fd_ >= 0) ::close(fd_);
    }

    // Opens the journal; with `resume`, takes the records of an earlier run
    // of the same header (false with a message when the header differs).
    bool open(const std::string& path, const std::string& header, bool resume,
              const std::function<bool(const ordered_json&)>& ours, std::map<size_t, std::pair<off_t, size_t>>& done,
              std::string& error) {
        path_ = path;
        std::string bytes;
        if (resume) {
            std::ifstream in(path, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            bytes = ss.str();
        }
        size_t end = bytes.find('\n');
        if (resume && end != std::string::npos) {
            if (bytes.substr(0, end) != header) {
                error = "the interrupted run in this folder rehearsed with other options or another SOURCE: run "
                        "without --resume to start again";
                return false;
            }
            size_t whole = end + 1;
            for (size_t at = whole; at < bytes.size();) {
                size_t eol = bytes.find('\n', at);
                if (eol == std::string::npos) break;  // cut short
                std::string line = bytes.substr(at, eol - at);
                ordered_json r = ordered_json::parse(line, nullptr, false);
                if (!r.is_object() || !r.contains("index") || !r["index"].is_number_unsigned() || !ours(r)) break;
                done[r["index"].get<size_t>()] = {static_cast<off_t>(at), eol + 1 - at};
                at = whole = eol + 1;
            }
            fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(whole)) != 0) {
                error = "cannot write " + path;
                return false;
            }
            end_ = static_cast<off_t>(whole);
            return true;
        }
        done.clear();
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error = "cannot write " + path;
            return false;
        }
        return append(header + "\n", end_);
    }

    bool append(const std::string& line, off_t& at) {
        at = end_;
        if (::pwrite(fd_, line.data(), line.size(), end_) != static_cast<ssize_t>(line.size())) return false;
        end_ += static_cast<off_t>(line.size());
        return true;
    }

    std::string read(off_t at, size_t size) const {
        std::string out(size, '\0');
        ssize_t got = ::pread(fd_, out.data(), size, at);
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return out;
    }

private:
    std::string path_;
    int fd_ = -1;
    off_t end_ = 0;
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string duration(double seconds) {
    char text[48];
    if (seconds < 60) std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 3600) std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
    else std::snprintf(text, sizeof text, "%d h %02d min", static_cast<int>(seconds) / 3600, static_cast<int>(seconds) / 60 % 60);
    return text;
}

class Fleet {
public:
    Fleet(Options o, std::vector<Server> servers, size_t fleetSize)
        : o_(std::move(o)), servers_(std::move(servers)), fleetSize_(fleetSize) {}

    int run() {
        prepareFolders();
        openJournal();
        ordered_.open(partFile_, std::ios::binary | std::ios::trunc);
        if (!ordered_) refuse("cannot write " + partFile_);
        for (const auto& s : servers_)
            if (!done_.count(s.index)) todo_.push_back(&s);
        resumed_ = servers_.size() - todo_.size();
        if (resumed_) std::cerr << "winsim fleet: " << resumed_ << " of " << servers_.size() << " servers recorded already\n";
        writeInOrder();
        loop();
        if (interrupted_) {
            clearProgress();
            ordered_.close();
            std::error_code ec;
            fs::remove(partFile_, ec);  // made again from the journal when the run goes on
            std::cerr << "winsim fleet: interrupted after " << done_.size() << " of " << servers_.size()
                      << " servers; the same command with --resume goes on\n";
            return Interrupted;
        }
        return finish();
    }

private:
    struct Running {
        const Server* server = nullptr;
        pid_t pid = -1;
        Clock::time_point started, deadline;
        std::string work, record;
        bool timedOut = false;
    };

    void prepareFolders() {
        std::error_code ec;
        fs::create_directories(o_.out, ec);
        runDir_ = (fs::path(o_.out) / RunFolder).string();
        fs::create_directories(runDir_, ec);
        if (ec || ::access(runDir_.c_str(), W_OK) != 0) refuse("cannot write in " + o_.out);
        lockFd_ = ::open((fs::path(runDir_) / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd_ < 0) refuse("cannot write in " + o_.out);
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) refuse("another winsim fleet is writing " + o_.out);
        // Named after DIR, so that a run that goes on finds (and clears) the
        // scratch machines a killed run left.
        std::string outName = fs::absolute(o_.out).lexically_normal().string();
        machinesDir_ = o_.work.empty() ? (fs::path(runDir_) / "servers").string()
                                       : (fs::path(o_.work) / ("fleet-" + std::to_string(std::hash<std::string>()(outName))))
                                             .string();
        fs::remove_all(machinesDir_, ec);
        fs::create_directories(machinesDir_, ec);
        if (ec) refuse("cannot make " + machinesDir_ + ": " + ec.message());
        partFile_ = (fs::path(o_.out) / ".servers.jsonl.part").string();
    }

    std::string header() const {
        ordered_json h;
        h["fleetJournal"] = 1;
        h["source"] = o_.random.empty() ? fs::absolute(o_.source).lexically_normal().string() : "random " + o_.random;
        h["command"] = o_.settings.command;
        h["cwd"] = o_.settings.cwd;
        h["maxStarts"] = o_.settings.maxStarts;
        h["media"] = o_.settings.media;
        h["shard"] = o_.shard.empty() ? "1/1" : o_.shard;
        h["fleetSize"] = fleetSize_;
        return h.dump();
    }

    // Whether a record is of this rehearsal and this share.
    bool ours(const ordered_json& r) const {
        if (!r.contains("index") || !r["index"].is_number_unsigned()) return false;
        size_t index = r["index"].get<size_t>();
        auto it = byIndex_.find(index);
        return it != byIndex_.end() && r.value("source", "") == it->second->source &&
               r.value("fleetSize", static_cast<size_t>(0)) == fleetSize_ &&
               r.value("command", "") == o_.settings.command && r.value("maxStarts", 0) == o_.settings.maxStarts;
    }

    void openJournal() {
        for (const auto& s : servers_) byIndex_[s.index] = &s;
        std::string path = (fs::path(runDir_) / "journal.jsonl").string();
        std::string finished = (fs::path(o_.out) / RecordsFile).string();
        std::string error;
        bool fromFinished = o_.resume && !fs::exists(path) && fs::exists(finished);
        if (!journal_.open(path, header(), o_.resume && !fromFinished, [this](const ordered_json& r) { return ours(r); },
                           done_, error))
            refuse(error);
        if (fromFinished) {
            // A finished run's records: each of them still stands.
            std::ifstream in(finished, std::ios::binary);
            for (std::string line; std::getline(in, line);) {
                ordered_json r = ordered_json::parse(line, nullptr, false);
                if (r.is_discarded() || !ours(r)) refuse(finished + " holds the records of another rehearsal");
                off_t at = 0;
                if (!journal_.append(line + "\n", at)) refuse("cannot write " + path);
                done_[r["index"].get<size_t>()] = {at, line.size() + 1};
            }
        }
    }

    void spawn(const Server* s) {
        Running r;
        r.server = s;
        r.work = (fs::path(machinesDir_) / std::to_string(s->index)).string();
        r.record = r.work + ".record";
        std::error_code ec;
        fs::remove_all(r.work, ec);
        fs::remove(r.record, ec);
        fs::create_directories(r.work, ec);
        std::vector<std::string> words = {"winsim",       "fleet-server", "--index",  std::to_string(s->index),
                                          "--fleet-size", std::to_string(fleetSize_), "--name", s->name,
                                          "--source",     s->source,     "--work",   r.work,
                                          "--record",     r.record,      "--command", o_.settings.command,
                                          "--cwd",        o_.settings.cwd, "--max-starts", std::to_string(o_.settings.maxStarts)};
        if (!o_.settings.media.empty()) words.insert(words.end(), {"--media", o_.settings.media});
        if (s->random) words.insert(words.end(), {"--seed", std::to_string(s->seed)});
        else words.insert(words.end(), {"--capture", s->folder});
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        std::string log = (fs::path(r.work) / "worker.log").string();
        pid_t parent = getpid();
        std::cout.flush();
        std::cerr.flush();
        pid_t pid = fork();
        if (pid < 0) refuse(std::string("cannot start a rehearsal: ") + std::strerror(errno));
        if (pid == 0) {
            // A process group of its own, ended with the fleet.
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
            execv("/proc/self/exe", argv.data());
            _exit(127);
        }
        setpgid(pid, pid);
        r.pid = pid;
        r.started = Clock::now();
        r.deadline = r.started + std::chrono::seconds(o_.timeLimit);
        running_.push_back(r);
    }

    std::string stepOf(const Running& r) const {
        std::string step = readText((fs::path(r.work) / "step").string());
        return step.empty() ? "starting" : step;
    }

    void reaped(pid_t pid, int status) {
        auto it = running_.begin();
        while (it != running_.end() && it->pid != pid) ++it;
        if (it == running_.end()) return;
        Running r = *it;
        running_.erase(it);
        double seconds = std::chrono::duration<double>(Clock::now() - r.started).count();
        if (interrupted_ && !r.timedOut && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            removeWork(r);
            return;  // ended by the interruption: rehearsed again by --resume
        }
        rehearsalSeconds_ += seconds;
        ++rehearsedNow_;
        std::string line;
        if (r.timedOut) {
            line = recordLine(recordWithout(*r.server, fleetSize_, o_.settings, Outcome::Stopped,
                                            "the rehearsal ran past its time limit of " + std::to_string(o_.timeLimit) +
                                                " s, at: " + stepOf(r)));
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ordered_json rec = ordered_json::parse(readText(r.record), nullptr, false);
            if (rec.is_object() && ours(rec) && rec["index"].get<size_t>() == r.server->index)
                line = recordLine(rec);
            else
                line = recordLine(recordWithout(*r.server, fleetSize_, o_.settings, Outcome::Stopped,
                                                "the rehearsal left no record, at: " + stepOf(r)));
        } else {
            std::string how = WIFSIGNALED(status) ? "crashed (signal " + std::to_string(WTERMSIG(status)) + ", " +
                                                        strsignal(WTERMSIG(status)) + ")"
                                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
            std::string said = readText((fs::path(r.work) / "worker.log").string());
            while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
            if (said.size() > 300) said = said.substr(said.size() - 300);
            line = recordLine(recordWithout(*r.server, fleetSize_, o_.settings, Outcome::Stopped,
                                            "the rehearsal " + how + ", at: " + stepOf(r) +
                                                (said.empty() ? "" : " (" + said + ")")));
        }
        removeWork(r);
        record(r.server->index, line);
    }

    void record(size_t index, const std::string& line) {
        off_t at = 0;
        if (!journal_.append(line, at)) refuse("cannot write the journal in " + runDir_);
        done_[index] = {at, line.size()};
        writeInOrder();
    }

    void removeWork(const Running& r) {
        std::error_code ec;
        fs::remove_all(r.work, ec);
        fs::remove(r.record, ec);
    }

    // Copies the records that have come, in the fleet's order, as far as
    // the next one that has not.
    void writeInOrder() {
        while (written_ < servers_.size()) {
            auto it = done_.find(servers_[written_].index);
            if (it == done_.end()) break;
            ordered_ << journal_.read(it->second.first, it->second.second);
            ++written_;
        }
        ordered_.flush();
        if (!ordered_) refuse("cannot write " + partFile_);
    }

    void progress(bool force) {
        if (!isatty(STDERR_FILENO)) return;
        auto now = Clock::now();
        if (!force && now - lastProgress_ < std::chrono::milliseconds(250)) return;
        lastProgress_ = now;
        double elapsed = std::chrono::duration<double>(now - started_).count();
        size_t left = servers_.size() - done_.size();
        std::ostringstream line;
        line << "\r\033[K  " << done_.size() << "/" << servers_.size() << " servers";
        if (rehearsedNow_ > 0 && elapsed > 0) {
            double rate = rehearsedNow_ / elapsed;
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", rate);
            line << ", " << text << " a second, about " << duration(left / rate) << " left";
        }
        std::cerr << line.str() << std::flush;
        shownProgress_ = true;
    }

    void clearProgress() {
        if (shownProgress_) std::cerr << "\r\033[K" << std::flush;
        shownProgress_ = false;
    }

    void loop() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        started_ = Clock::now();
        size_t next = 0;
        while (next < todo_.size() || !running_.empty()) {
            while (!interrupted_ && running_.size() < static_cast<size_t>(o_.jobs) && next < todo_.size()) {
                const Server* s = todo_[next++];
                if (s->problem.empty()) spawn(s);
                else record(s->index, recordLine(recordWithout(*s, fleetSize_, o_.settings, Outcome::Unreadable, s->problem)));
            }
            if (interrupted_ && running_.empty()) break;
            auto wake = Clock::now() + std::chrono::milliseconds(isatty(STDERR_FILENO) ? 250 : 1000);
            for (const auto& r : running_)
                if (!r.timedOut) wake = std::min(wake, r.deadline);
            auto wait = std::max(std::chrono::nanoseconds(1000000), wake - Clock::now());
            timespec ts{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
            siginfo_t info;
            int sig = sigtimedwait(&set, &info, &ts);
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                interrupted_ = sig;
                for (const auto& r : running_) kill(-r.pid, SIGKILL);
            }
            int status = 0;
            for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) reaped(pid, status);
            auto now = Clock::now();
            for (auto& r : running_)
                if (!r.timedOut && now >= r.deadline) {
                    r.timedOut = true;
                    kill(-r.pid, SIGKILL);
                }
            progress(false);
        }
        progress(true);
        clearProgress();
    }

    int finish() {
        ordered_.close();
        std::string error, recap;
        bool complete = false;
        std::string records = (fs::path(o_.out) / RecordsFile).string();
        {
            int fd = ::open(partFile_.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                fsync(fd);
                ::close(fd);
            }
        }
        std::error_code ec;
        fs::rename(partFile_, records, ec);
        if (ec) refuse("cannot write " + records + ": " + ec.message());
        if (!writeReports(records, o_.out, recap, complete, error)) refuse(error);
        std::cout << recap;
        double wall = std::chrono::duration<double>(Clock::now() - started_).count();
        std::cout << "\nWrote " << records << ", summary.txt and report.html beside it.\n";
        if (rehearsedNow_ > 0) {
            rusage self{};
            getrusage(RUSAGE_SELF, &self);
            char text[240];
            std::snprintf(text, sizeof text,
                          "Rehearsed %zu servers in %.1f s with %d jobs: %.3f s of rehearsal per server, %.1f s "
                          "in all; the fleet process's peak memory %ld KB.\n",
                          rehearsedNow_, wall, o_.jobs, rehearsalSeconds_ / rehearsedNow_, rehearsalSeconds_,
                          self.ru_maxrss);
            std::cout << text;
        }
        fs::remove_all(machinesDir_, ec);
        fs::remove_all(runDir_, ec);
        return complete ? 0 : 1;
    }

    Options o_;
    std::vector<Server> servers_;  // this share, in the fleet's order
    size_t fleetSize_;
    std::map<size_t, const Server*> byIndex_;
    std::vector<const Server*> todo_;
    std::map<size_t, std::pair<off_t, size_t>> done_;  // index -> the record's place in the journal
    std::vector<Running> running_;
    Journal journal_;
    std::ofstream ordered_;
    std::string runDir_, machinesDir_, partFile_;
    int lockFd_ = -1;
    size_t written_ = 0, resumed_ = 0, rehearsedNow_ = 0;
    double rehearsalSeconds_ = 0;
    int interrupted_ = 0;
    Clock::time_point started_, lastProgress_;
    bool shownProgress_ = false;
};

// The variables through which winsim hands a program its faults, traces
// and reports: a rehearsal runs the machine as it is.
void cleanEnvironment() {
    for (const char* v : {"WINSIM_FAIL", "WINSIM_TRACE", "WINSIM_REPORT", "WINSIM_SERVICE", "WINSIM_CMDLINE",
                          "WINSIM_CONTROL", "WINSIM_ACCOUNT", "WINSIM_MACHINE"})
        unsetenv(v);
}

int rehearseFleet(Options o) {
    if (o.out.empty()) refuse("--out DIR is required");
    if (o.source.empty() == o.random.empty()) refuse("name either SOURCE (a folder of captures) or --random FIRST..LAST");
    if (o.jobs <= 0) o.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    size_t k = 1, n = 1;
    if (!o.shard.empty() && !parseShard(o.shard, k, n)) refuse("--shard takes K/N, with 1 <= K <= N");
    if (o.settings.media.empty()) o.settings.media = WINSIM_DEFAULT_MEDIA;
    o.settings.media = fs::absolute(o.settings.media).lexically_normal().string();
    if (!fs::is_directory(o.settings.media)) refuse("the media folder " + o.settings.media + " is not there");
    std::vector<Server> all;
    if (!o.random.empty()) {
        uint64_t first = 0, last = 0;
        if (!parseRange(o.random, first, last)) refuse("--random takes FIRST..LAST, two seeds with FIRST <= LAST");
        if (last - first >= 10000000) refuse("--random: at most 10,000,000 machines");
        for (uint64_t seed = first;; ++seed) {
            Server s;
            s.index = all.size();
            s.random = true;
            s.seed = seed;
            s.name = "random-" + std::to_string(seed);
            s.source = "random " + std::to_string(seed);
            all.push_back(s);
            if (seed == last) break;
        }
    } else {
        std::string error;
        if (!listCaptures(o.source, all, error)) refuse(error);
        fs::path out = fs::weakly_canonical(o.out), source = fs::weakly_canonical(o.source);
        auto o_it = out.begin();
        bool below = true;
        for (auto s_it = source.begin(); s_it != source.end(); ++s_it, ++o_it)
            if (o_it == out.end() || *o_it != *s_it) below = false;
        if (below) refuse("--out must not be below SOURCE: nothing below SOURCE is written");
    }
    size_t fleetSize = all.size();
    std::vector<Server> share;
    for (auto& s : all)
        if (s.index % n == k - 1) share.push_back(std::move(s));
    cleanEnvironment();
    Fleet fleet(std::move(o), std::move(share), fleetSize);
    return fleet.run();
}

// Joins shards: their servers.jsonl, each in the fleet's order, merged by
// index into one; every server of the fleet once.
int mergeShards(const std::vector<std::string>& shards, const std::string& out) {
    if (out.empty()) refuse("--out DIR is required");
    struct Input {
        std::string path;
        std::ifstream in;
        std::string line;
        size_t index = 0;
        bool open = false, seen = false;
    };
    std::vector<Input> inputs(shards.size());
    ordered_json first;
    auto next = [&](Input& s) {
        s.open = static_cast<bool>(std::getline(s.in, s.line));
        if (!s.open) return;
        ordered_json r = ordered_json::parse(s.line, nullptr, false);
        if (!r.is_object() || !r.contains("index") || !r["index"].is_number_unsigned())
            refuse(s.path + " holds a line that is not a record");
        if (first.is_null()) first = r;
        for (const char* field : {"fleetSize", "command", "maxStarts"})
            if (r[field] != first[field]) refuse(s.path + " is of another rehearsal (its " + field + " differs)");
        size_t index = r["index"].get<size_t>();
        if (s.seen && index <= s.index) refuse(s.path + " is not in the fleet's order");
        s.index = index;
        s.seen = true;
        s.line += "\n";
    };
    for (size_t i = 0; i < shards.size(); ++i) {
        inputs[i].path = (fs::path(shards[i]) / RecordsFile).string();
        inputs[i].in.open(inputs[i].path, std::ios::binary);
        if (!inputs[i].in) refuse("cannot read " + inputs[i].path);
        next(inputs[i]);
    }
    std::error_code ec;
    fs::create_directories(out, ec);
    std::string records = (fs::path(out) / RecordsFile).string();
    size_t expected = 0;
    std::string error;
    bool written = replaceFileWith(
        records,
        [&](std::ostream& o) {
            for (;;) {
                Input* least = nullptr;
                for (auto& s : inputs)
                    if (s.open && (!least || s.index < least->index)) least = &s;
                if (!least) break;
                if (least->index != expected) {
                    error = least->index < expected ? "server " + std::to_string(least->index) + " is in two shards"
                                                    : "server " + std::to_string(expected) + " is in no shard: is a shard missing?";
                    return false;
                }
                o << least->line;
                ++expected;
                next(*least);
            }
            size_t size = first.is_null() ? 0 : first["fleetSize"].get<size_t>();
            if (expected != size) {
                error = "the shards hold " + std::to_string(expected) + " of the fleet's " + std::to_string(size) +
                        " servers: is a shard missing?";
                return false;
            }
            return static_cast<bool>(o);
        },
        true, error);
    if (!written) refuse(error);
    std::string recap;
    bool complete = false;
    if (!writeReports(records, out, recap, complete, error)) refuse(error);
    std::cout << recap << "\nWrote " << records << ", summary.txt and report.html beside it.\n";
    return complete ? 0 : 1;
}

void addFleet(CLI::App& app) {
    auto* cmd = app.add_subcommand("fleet", "Rehearse the installation on every server of a fleet (captures in "
                                            "SOURCE, or machines from seeds) and report what each will do");
    static Options o;
    cmd->add_option("source", o.source, "Folder of captures (each a folder with machine.json and files/)");
    cmd->add_option("--out", o.out, "Folder for servers.jsonl, summary.txt and report.html");
    cmd->add_option("--random", o.random, "Machines from seeds FIRST..LAST instead of SOURCE");
    cmd->add_option("--command", o.settings.command, "Command line to rehearse (default: D:\\WIN2000\\SETUP.EXE /X)");
    cmd->add_option("--cwd", o.settings.cwd, "Its current directory (default: D:\\WIN2000)");
    cmd->add_option("--jobs", o.jobs, "Servers rehearsed at a time (default: the processors)")->check(CLI::Range(1, 256));
    cmd->add_option("--max-starts", o.settings.maxStarts, "Starts of Windows until settled, at most (default 5)")
        ->check(CLI::Range(1, 100));
    cmd->add_option("--time-limit", o.timeLimit, "Seconds one server's rehearsal may take (default 300)")
        ->check(CLI::Range(1, 86400));
    cmd->add_option("--shard", o.shard, "Rehearse the K-th of N shares of the fleet: K/N");
    cmd->add_flag("--resume", o.resume, "Go on with an interrupted run into the same --out");
    cmd->add_option("--work", o.work, "Folder for the scratch machines (default: inside --out)");
    cmd->add_option("--media", o.settings.media, "Host folder mapped as drive D: (default: this build's media)");

    auto* merge = cmd->add_subcommand("merge", "Join the shards' folders into what one run gives");
    static std::vector<std::string> shards;
    static std::string mergeOut;
    merge->add_option("shards", shards, "The shards' --out folders")->required();
    merge->add_option("--out", mergeOut, "Folder for the joined servers.jsonl, summary.txt and report.html");
    merge->callback([] { std::exit(mergeShards(shards, mergeOut)); });
    cmd->callback([cmd, merge] {
        if (merge->parsed()) return;
        std::exit(rehearseFleet(o));
    });
}

Command fleetCommand(addFleet);

}  // namespace

}  // namespace winsim::fleet
