// winsim fleet-server: one server's rehearsal, in a process that `winsim
// fleet` starts as the leader of a process group of its own (so that a
// rehearsal that hangs or crashes can be ended whole). Each step is winsim
// itself as a child process, as an administrator would type it: create the
// machine, run the command line, start Windows again until the machine
// settles, and run SETUP.EXE /Q once more. Every run is judged by the
// outcome rules (outcome.h); the record of the server goes to a file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/tool/commands.h"
#include "sim/tool/fleet.h"
#include "sim/outcome/outcome.h"
#include "sim/process/programs.h"
#include "sim/core/runtime.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

namespace winsim::fleet {

namespace {

const size_t StampScanBytes = 100000;  // the installer reads stamps in this many bytes
const size_t StampTextSize = 255;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The last line of a tool's output that says something.
std::string lastLine(const std::string& text) {
    std::istringstream in(text);
    std::string line, last;
    while (std::getline(in, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
    return last;
}

// Runs winsim itself with the arguments, its output into `log` and its
// input empty. Returns its exit status, or 128 + the signal that ended it.
int runWinsim(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> words = {"winsim"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether the command line asks for a quiet run (/Q, /X or /H): the final
// text is then not followed by the key prompt.
bool quietCommand(const std::string& line) {
    std::vector<std::string> words = sim::splitCommandLine(line);
    for (size_t i = 1; i < words.size(); ++i) {
        std::string w = sim::upper(words[i]);
        for (const char* q : {"/Q", "-Q", "/X", "-X", "/H", "-H"})
            if (w == q) return true;
    }
    return false;
}

// The program of a command line with /Q: the further run on a settled server.
std::string rerunLine(const std::string& line) {
    std::vector<std::string> words = sim::splitCommandLine(line);
    std::string program = words.empty() ? "SETUP.EXE" : words[0];
    if (program.find(' ') != std::string::npos) program = "\"" + program + "\"";
    return program + " /Q";
}

// "C/WINNT/x" below the machine's drives as the Windows path "C:\WINNT\x".
std::string windowsPath(const std::string& rel) {
    std::string out = rel.substr(0, 1) + ":" + rel.substr(1);
    for (auto& c : out)
        if (c == '/') c = '\\';
    return out;
}

// The files on the machine's own drives by Windows path, each with the hash
// of its content.
std::map<std::string, std::string> fileHashes(const std::string& machine) {
    std::map<std::string, std::string> out;
    fs::path drives = fs::path(machine) / "drives";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(drives, ec); !ec && it != fs::end(it); it.increment(ec))
        if (it->is_regular_file())
            out[windowsPath(it->path().lexically_relative(drives).generic_string())] =
                oracle::contentHash(it->path().string());
    return out;
}

// The digits of a file's version stamp ("!@#$5.10.0$#@!" in its first
// bytes) without leading zeros, as the installer compares them; false when
// it has none.
bool stampDigits(const std::string& path, std::string& digits) {
    std::ifstream in(path, std::ios::binary);
    std::string block(StampScanBytes, '\0');
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    block.resize(static_cast<size_t>(in.gcount()));
    size_t start = block.find("!@#$");
    if (start == std::string::npos) return false;
    start += 4;
    size_t limit = block.find('\0', start);
    if (limit == std::string::npos) limit = block.size();
    size_t end = block.find("$#@!", start);
    std::string text = end == std::string::npos || end + 4 > limit ? "" : block.substr(start, end - start);
    if (text.size() > StampTextSize) text.resize(StampTextSize);
    digits.clear();
    for (char c : text)
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
    return true;
}

// Whether the installed file's stamp is newer than the media's copy's.
bool newerThanMedia(const std::string& installed, const std::string& media) {
    std::string a, b;
    if (!stampDigits(installed, a) || !stampDigits(media, b)) return false;
    return a.size() != b.size() ? a.size() > b.size() : a > b;
}

std::vector<std::string> serviceKeys(const sim::Machine& m) {
    std::vector<std::string> out;
    const sim::RegKey* k = &m.hklm;
    for (const char* part : {"SYSTEM", "CurrentControlSet", "Services"}) {
        auto it = k->subkeys.find(part);
        if (it == k->subkeys.end()) return out;
        k = &it->second;
    }
    for (const auto& [name, key] : k->subkeys) out.push_back(key.name);
    return out;
}

bool hasNoCase(const std::vector<std::string>& list, const std::string& item) {
    for (const auto& x : list)
        if (sim::equalNoCase(x, item)) return true;
    return false;
}

const sim::Device* findDevice(const sim::Machine& m, const std::string& id) {
    for (const auto& d : m.devices)
        if (sim::equalNoCase(d.instanceId, id)) return &d;
    return nullptr;
}

class Rehearsal {
public:
    Rehearsal(const Server& s, size_t fleetSize, const Settings& settings, const std::string& work)
        : server_(s), settings_(settings), work_(work), machine_((fs::path(work) / "machine").string()) {
        record_ = recordWithout(s, fleetSize, settings, Outcome::Complete, "");
    }

    ordered_json go() {
        if (!makeMachine()) return record_;
        rehearse();
        return record_;
    }

private:
    struct RunResult {
        bool started = false;
        int exitCode = -1;
        std::string console;  // the bytes, in the machine's code page
        std::vector<std::string> debug;
        std::string trouble;  // why it could not be started
    };

    void step(const std::string& what) { std::ofstream(fs::path(work_) / "step") << what; }

    void finish(Outcome o, const std::string& reason) {
        record_["outcome"] = outcomeName(o).id;
        record_["reason"] = reason;
    }

    bool load(sim::Machine& m) {
        std::string error;
        if (sim::loadFolder(machine_, m, error)) return true;
        finish(Outcome::Stopped, "the machine cannot be read: " + error);
        return false;
    }

    bool makeMachine() {
        std::string log = (fs::path(work_) / "create.log").string();
        std::vector<std::string> args = {"create", machine_, "--force"};
        if (server_.random) {
            args.insert(args.end(), {"--random", std::to_string(server_.seed)});
        } else {
            step("checking the capture");
            json description;
            std::string wrong = checkCapture(server_.folder, server_.name, description);
            if (!wrong.empty()) {
                finish(Outcome::Unreadable, wrong);
                return false;
            }
            std::string file = (fs::path(work_) / "description.json").string();
            std::ofstream(file) << description.dump(1) << "\n";
            args.insert(args.end(), {"--from", file});
        }
        if (!settings_.media.empty()) args.insert(args.end(), {"--media", settings_.media});
        step("making the machine");
        int rc = runWinsim(args, log);
        if (rc != 0) {
            finish(server_.random ? Outcome::Stopped : Outcome::Unreadable,
                   "winsim cannot make a machine of it: " + lastLine(readAll(log)));
            return false;
        }
        return true;
    }

    RunResult run(const std::string& line) {
        RunResult r;
        std::string console = (fs::path(work_) / "console.txt").string();
        std::string trace = (fs::path(work_) / "trace.jsonl").string();
        std::string log = (fs::path(work_) / "run.log").string();
        fs::remove(console);
        fs::remove(trace);
        sim::Machine before;
        if (!load(before)) return r;
        int rc = runWinsim({"run", machine_, "--cwd", settings_.cwd, "--input", "/dev/null", "--output", console,
                            "--trace", trace, "--", line},
                           log);
        sim::Machine after;
        if (!load(after)) return r;
        // Its record is the last of those the run added (programs it
        // started come first).
        for (size_t i = after.processes.size(); i > before.processes.size(); --i) {
            const sim::ProcessRecord& p = after.processes[i - 1];
            if (p.console == "shared" && p.commandLine == line) {
                r.started = true;
                r.exitCode = p.exitCode;
                break;
            }
        }
        if (!r.started) {
            r.trouble = "winsim run ended with " + std::to_string(rc) + ": " + lastLine(readAll(log));
            return r;
        }
        r.console = readAll(console);
        std::ifstream calls(trace);
        for (std::string callLine; std::getline(calls, callLine);) {
            if (callLine.find("\"OutputDebugStringA\"") == std::string::npos) continue;
            json call = json::parse(callLine, nullptr, false);
            if (call.is_discarded() || !call.contains("args") || call["args"].empty()) continue;
            json text = json::parse(call["args"][0].get<std::string>(), nullptr, false);
            if (text.is_string()) r.debug.push_back(lastLine(text.get<std::string>()));
        }
        return r;
    }

    // Judges a claim against the machine as it stands; empty when it agrees.
    std::string judge(oracle::Claim claim) {
        sim::Machine m;
        if (!load(m)) return "the machine cannot be read";
        if (usbRoad_) claim.usbRoadBefore = &start_;
        return oracle::disagreement(claim, m, texts_);
    }

    ordered_json runJson(const std::string& what, const std::string& line, const RunResult& r,
                         const std::string& disagreement) {
        ordered_json j;
        j["what"] = what;
        j["commandLine"] = line;
        j["exitCode"] = r.exitCode;
        j["console"] = consoleText(r.console, start_.defaultLangId);
        j["agrees"] = disagreement.empty();
        if (!disagreement.empty()) j["disagreement"] = disagreement;
        if (!r.debug.empty()) j["debugOutput"] = r.debug;
        return j;
    }

    // What the console says before its final text, for a failure's reason.
    std::string saidBefore(const std::string& console) {
        std::istringstream in(consoleText(console, start_.defaultLangId));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            line.erase(0, line.find_first_not_of(" \t\r"));
            if (!line.empty()) lines.push_back(line);
        }
        // The banner first, the failure text and the key prompt last.
        std::string said;
        for (size_t i = lines.size() > 1 ? 1 : 0; i < lines.size(); ++i) {
            bool ending = false;
            for (const auto* texts : {&texts_.failed, &texts_.pressAnyKey})
                for (const auto& t : *texts)
                    if (consoleText(t, start_.defaultLangId).find(lines[i]) != std::string::npos) ending = true;
            if (!ending) said = lines[i];
        }
        return said;
    }

    std::string failureReason(const std::string& what, int code, const std::string& console,
                              const std::vector<std::string>& debug) {
        std::string reason = what + " ended with " + std::to_string(code);
        std::string said = saidBefore(console);
        if (!said.empty()) reason += ": " + said;
        if (!debug.empty()) reason += " (" + debug.back() + ")";
        return reason;
    }

    void rehearse() {
        if (!load(start_)) return;
        usbRoad_ = oracle::hasUsbManagementDevice(start_);
        const sim::Machine* owedStart = usbRoad_ ? &start_ : nullptr;
        texts_ = oracle::textsFor(start_.defaultLangId, mediaDir());
        bool administrator = start_.account != "user";
        char lang[8];
        std::snprintf(lang, sizeof lang, "0x%04X", start_.defaultLangId);
        size_t present = 0, family = 0;
        for (const auto& d : start_.devices) {
            present += d.present ? 1 : 0;
            family += d.present && oracle::familyInf(d) ? 1 : 0;
        }
        record_["machine"] = {{"language", lang}, {"account", start_.account}, {"presentDevices", present},
                              {"familyDevices", family}, {"usbManagementDevice", usbRoad_}};
        filesAtStart_ = fileHashes(machine_);
        auto contentAtStart = administrator ? std::map<std::string, std::string>() : oracle::machineContent(machine_);

        const std::string& line = settings_.command;
        step(line);
        RunResult first = run(line);
        if (!first.started) return finish(Outcome::Stopped, "the command could not be started: " + first.trouble);
        record_["exitCode"] = first.exitCode;
        std::string wrong = judge({line, first.exitCode, first.console, quietCommand(line)});
        if (wrong.empty() && !administrator) {
            if (first.exitCode != 2) wrong = "a plain user's run ended with " + std::to_string(first.exitCode);
            std::string changed = oracle::contentChanges(contentAtStart, oracle::machineContent(machine_));
            if (wrong.empty() && !changed.empty()) wrong = "a plain user's run changed the machine:\n" + changed;
        }
        record_["runs"].push_back(runJson("the command", line, first, wrong));
        int starts = 0;
        bool failed = first.exitCode == 2 || first.exitCode == 8;
        std::string failure = failed ? failureReason(line, first.exitCode, first.console, first.debug) : "";

        sim::Machine now;
        if (!load(now)) return;
        bool settled = oracle::settled(now, owedStart);
        if (wrong.empty() && !failed && administrator) {
            for (; starts < settings_.maxStarts && !settled && wrong.empty() && failure.empty();) {
                ++starts;
                step("start " + std::to_string(starts) + " of Windows");
                if (!restart(starts, wrong, failure)) return;
                if (!load(now)) return;
                settled = oracle::settled(now, owedStart);
            }
        }
        record_["restarts"] = starts;
        record_["settled"] = settled;
        record_["changes"] = changes(now, owedStart);

        if (!wrong.empty()) return finish(Outcome::Disagreed, wrong);
        if (!failure.empty()) return finish(Outcome::Failed, failure);
        if (!settled)
            return finish(Outcome::NeverSettled, "not settled after " + std::to_string(starts) +
                                                     (starts == 1 ? " start: " : " starts: ") +
                                                     oracle::notSettled(now, owedStart));
        if (!rerun(quietCommand(line))) return;
        finish(starts == 0 ? Outcome::Complete : starts == 1 ? Outcome::OneRestart : Outcome::Restarts, "");
    }

    // One start of Windows, and what ran in it. False when the rehearsal
    // cannot go on (the reason is recorded).
    bool restart(int number, std::string& wrong, std::string& failure) {
        sim::Machine before, after;
        if (!load(before)) return false;
        std::string log = (fs::path(work_) / "restart.log").string();
        int rc = runWinsim({"restart", machine_}, log);
        if (rc != 0) {
            finish(Outcome::Stopped, "winsim restart ended with " + std::to_string(rc) + ": " + lastLine(readAll(log)));
            return false;
        }
        if (!load(after)) return false;
        ordered_json start;
        start["start"] = number;
        start["programs"] = ordered_json::array();
        start["judged"] = ordered_json::array();
        std::string staged = after.systemDirectory + "\\drivers\\korpa\\win2000\\SETUP.EXE";
        std::string serviceConsole;
        auto judged = [&](const std::string& what, int code, const std::string& console, bool quiet) {
            std::string disagreement = judge({what, code, console, quiet});
            ordered_json j{{"what", what}, {"exitCode", code}, {"agrees", disagreement.empty()}};
            if (!disagreement.empty()) j["disagreement"] = disagreement;
            start["judged"].push_back(j);
            if (wrong.empty() && !disagreement.empty()) wrong = disagreement;
            if (failure.empty() && (code == 2 || code == 8)) failure = failureReason(what, code, console, {});
        };
        for (size_t i = before.processes.size(); i < after.processes.size(); ++i) {
            const sim::ProcessRecord& p = after.processes[i];
            start["programs"].push_back({{"commandLine", p.commandLine}, {"kind", p.console}, {"exitCode", p.exitCode},
                                         {"console", consoleText(p.output, after.defaultLangId)}});
            if (p.console == "service" && sim::equalNoCase(p.commandLine, staged)) serviceConsole = p.output;
            if (p.console == "new" && sim::equalNoCase(p.commandLine, staged + " -R"))
                judged("the run at the logon", p.exitCode, p.output, false);
        }
        start["events"] = ordered_json::array();
        for (size_t i = before.eventLog.size(); i < after.eventLog.size(); ++i) {
            const sim::EventEntry& e = after.eventLog[i];
            start["events"].push_back({{"source", e.source}, {"type", e.type}, {"strings", e.strings}});
            const std::string tag = "mpsetup exit code: ";
            if (e.source == "mpsetup" && !e.strings.empty() && e.strings[0].rfind(tag, 0) == 0)
                judged("the service phase", std::atoi(e.strings[0].c_str() + tag.size()), serviceConsole, true);
        }
        std::vector<std::string> waiting = sim::pendingRestarts(after);
        if (oracle::secondPhaseScheduled(after)) waiting.insert(waiting.begin(), "a second phase is scheduled");
        start["waiting"] = waiting;
        record_["starts"].push_back(start);
        return true;
    }

    // SETUP.EXE /Q on the settled server: it must end with 0 and change
    // nothing but the record of programs run. After a run whose answers kept
    // files newer than the media's, the quiet run (which copies without
    // asking) may make exactly those files the media's. False when it did
    // not (the outcome is recorded).
    bool rerun(bool quietFirst) {
        std::string line = rerunLine(settings_.command);
        step(line + " again");
        auto before = oracle::machineContent(machine_);
        std::vector<std::string> declined;
        if (!quietFirst) declined = oracle::filesUnlikeMedia(machine_, "C", mediaDir());
        RunResult again = run(line);
        if (!again.started) {
            finish(Outcome::Stopped, "the further run could not be started: " + again.trouble);
            return false;
        }
        std::string wrong = judge({line + " on the settled server", again.exitCode, again.console, true});
        auto after = oracle::machineContent(machine_);
        std::vector<std::string> problems;
        if (!declined.empty()) {
            std::string staging = "C/" + start_.systemDirectory.substr(3) + "\\drivers\\korpa\\win2000";
            for (auto& c : staging)
                if (c == '\\') c = '/';
            for (const auto& left : oracle::filesUnlikeMedia(machine_, staging, mediaDir()))
                problems.push_back("left the staged " + left + " unlike the media's");
            oracle::setAsideMediaCopies(before, after, declined, mediaDir());
        }
        std::string changed = oracle::contentChanges(before, after);
        ordered_json j = runJson("the further run on the settled server", line, again, wrong);
        j["changedNothing"] = changed.empty();
        if (!changed.empty()) {
            std::istringstream in(changed);
            ordered_json lines = ordered_json::array();
            for (std::string l; std::getline(in, l);) lines.push_back(l.substr(l.find_first_not_of(' ')));
            j["changes"] = lines;
        }
        record_["runs"].push_back(j);
        if (!wrong.empty()) {
            finish(Outcome::Disagreed, wrong);
            return false;
        }
        if (again.exitCode == 2 || again.exitCode == 8) {
            finish(Outcome::Failed, failureReason(line + " on the settled server", again.exitCode, again.console, again.debug));
            return false;
        }
        if (again.exitCode != 0) {
            finish(Outcome::NeverSettled, line + " on the settled server ended with " + std::to_string(again.exitCode));
            return false;
        }
        if (!changed.empty() || !problems.empty()) {
            finish(Outcome::NeverSettled, line + " on the settled server " +
                                              (problems.empty() ? "changed it: " + j["changes"][0].get<std::string>()
                                                                : problems.front()));
            return false;
        }
        return true;
    }

    // What the rehearsal changed between the server as captured and the
    // machine now.
    ordered_json changes(const sim::Machine& now, const sim::Machine* owedStart) {
        ordered_json c;
        ordered_json bound = ordered_json::array(), removed = ordered_json::array();
        for (const auto& d : now.devices) {
            if (!d.present || d.boundInf.empty()) continue;
            const sim::Device* was = findDevice(start_, d.instanceId);
            if (!was || !was->present || !sim::equalNoCase(was->boundInf, d.boundInf))
                bound.push_back({{"device", d.instanceId}, {"driver", d.boundInf}});
        }
        for (const auto& d : start_.devices) {
            if (!d.present) continue;
            const sim::Device* is = findDevice(now, d.instanceId);
            if (!is || !is->present) removed.push_back(d.instanceId);
        }
        c["devicesBound"] = bound;
        c["devicesRemoved"] = removed;
        c["devicesLeftUnbound"] = oracle::owedDevices(now, owedStart);

        std::vector<std::string> keysBefore = serviceKeys(start_), keysNow = serviceKeys(now);
        ordered_json deleted = ordered_json::array(), added = ordered_json::array(), left = ordered_json::array();
        for (const auto& k : keysBefore) {
            std::string lower = sim::lower(k);
            if (!hasNoCase(keysNow, k)) deleted.push_back(k);
            else if (lower.find("qrv") != std::string::npos || lower.find("mpsetup") != std::string::npos)
                left.push_back(k);
        }
        for (const auto& k : keysNow)
            if (!hasNoCase(keysBefore, k)) added.push_back(k);
        c["serviceKeysDeleted"] = deleted;
        c["serviceKeysLeft"] = left;
        c["serviceKeysAdded"] = added;

        std::map<std::string, std::string> filesNow = fileHashes(machine_);
        ordered_json replaced = ordered_json::array(), kept = ordered_json::array(), newer = ordered_json::array(),
                     gone = ordered_json::array(), fresh = ordered_json::array();
        for (const auto& [path, hash] : filesAtStart_) {
            auto it = filesNow.find(path);
            if (it == filesNow.end()) {
                gone.push_back(path);
            } else if (it->second != hash) {
                replaced.push_back(path);
            } else {
                std::string media = mediaFile(path.substr(path.find_last_of('\\') + 1));
                std::string host = hostOf(path);
                if (!media.empty() && oracle::contentHash(media) != hash && newerThanMedia(host, media))
                    newer.push_back(path);
                else
                    kept.push_back(path);
            }
        }
        for (const auto& [path, hash] : filesNow)
            if (!filesAtStart_.count(path)) fresh.push_back(path);
        c["filesReplaced"] = replaced;
        c["filesKept"] = kept;
        c["filesKeptNewer"] = newer;
        c["filesDeleted"] = gone;
        c["filesAdded"] = fresh;

        ordered_json programs = ordered_json::array();
        for (size_t i = start_.processes.size(); i < now.processes.size(); ++i) {
            const sim::ProcessRecord& p = now.processes[i];
            // Not the command itself (winsim run's record of it).
            if (p.console == "shared" && p.commandLine == settings_.command) continue;
            programs.push_back({{"commandLine", p.commandLine}, {"exitCode", p.exitCode}});
        }
        c["programsStarted"] = programs;
        return c;
    }

    // The host file of a Windows path on the machine's own drives.
    std::string hostOf(const std::string& path) const {
        std::string rel = path.substr(0, 1) + path.substr(2);
        for (auto& c : rel)
            if (c == '\\') c = '/';
        return (fs::path(machine_) / "drives" / rel).string();
    }

    std::string mediaDir() const {
        auto it = start_.drives.find("D");
        return it != start_.drives.end() ? it->second : settings_.media;
    }

    // The media's file of a name (its win2000, nt or nls folder); empty when
    // it has none.
    std::string mediaFile(const std::string& name) {
        if (mediaFiles_.empty()) {
            mediaFiles_[""] = "";
            std::error_code ec;
            for (const char* folder : {"win2000", "nt", "nls"})
                for (auto it = fs::directory_iterator(fs::path(mediaDir()) / folder, ec); !ec && it != fs::end(it);
                     it.increment(ec))
                    if (it->is_regular_file()) mediaFiles_.emplace(sim::upper(it->path().filename().string()), it->path().string());
        }
        auto it = mediaFiles_.find(sim::upper(name));
        return it == mediaFiles_.end() ? "" : it->second;
    }

    Server server_;
    Settings settings_;
    std::string work_, machine_;
    ordered_json record_;
    sim::Machine start_;
    bool usbRoad_ = false;
    oracle::Texts texts_;
    std::map<std::string, std::string> filesAtStart_;
    std::map<std::string, std::string> mediaFiles_;
};

// The parent fleet is gone (its death signal): the rehearsal's whole
// process group goes with it.
void endGroup(int) { kill(0, SIGKILL); }

void addFleetServer(CLI::App& app) {
    auto* cmd = app.add_subcommand("fleet-server", "One server of winsim fleet (started by it)");
    cmd->group("");  // not listed: winsim fleet starts it
    static Server s;
    static Settings settings;
    static size_t fleetSize = 0;
    static std::string capture, work, record;
    cmd->add_option("--index", s.index)->required();
    cmd->add_option("--fleet-size", fleetSize)->required();
    cmd->add_option("--name", s.name)->required();
    cmd->add_option("--source", s.source)->required();
    cmd->add_option("--capture", capture);
    cmd->add_option("--seed", s.seed);
    cmd->add_option("--command", settings.command);
    cmd->add_option("--cwd", settings.cwd);
    cmd->add_option("--max-starts", settings.maxStarts);
    cmd->add_option("--media", settings.media);
    cmd->add_option("--work", work)->required();
    cmd->add_option("--record", record)->required();
    cmd->callback([cmd] {
        signal(SIGTERM, endGroup);
        s.folder = capture;
        s.random = cmd->count("--seed") > 0;
        fs::create_directories(work);
        ordered_json r = Rehearsal(s, fleetSize, settings, work).go();
        std::string error;
        if (!replaceFile(record, recordLine(r), error, false)) {
            std::cerr << "winsim: " << error << "\n";
            std::exit(2);
        }
        std::exit(0);
    });
}

Command fleetServerCommand(addFleetServer);

}  // namespace

}  // namespace winsim::fleet
