// Power-cut sweep: the machine loses power at one platform call of an
// installation (winsim run --cut, or winsim restart --cut for the programs
// of the next start), with no cleanup: handles stay open, a copy in progress
// keeps a prefix of its bytes, what the lazy writer had not written back is
// lost. The machine then starts again, the administrator runs the same
// command line again and the machine starts until it has settled. After
// each cut:
// - every exit code on the way agrees with the machine (oracle.h);
// - the machine settles complete: nothing scheduled or pending, every
//   present device of the family bound to the staged INF files;
// - it then holds what an undisturbed installation (the same runs without
//   the cut) leaves: every file of every drive byte for byte (no staged or
//   installed file of the family short or different, no newer file that an
//   answer kept replaced), every registry key outside the Plug and Play
//   manager's own, the same present devices with the same drivers.
//
// Machines: the typical unattended installation (/X on the default preset);
// earlier software whose programs run (the processor service program's
// removal and install runs, the restart feature's service keys), quiet
// (/Q, the second phase at the next logon); files of an earlier
// installation newer than the media's, interactive, every question
// answered "n". The roads: the first phase (the command line) and the
// programs of the next start (the service phase, or the run at the logon).
//
// Each installation is a test of its own, which CTest runs beside the
// others (one may be dealt out to shards). Two points (a call, the way the disks
// keep data) that leave the same machine, such as a cut at a call that
// reads only and one at the call before, share one recovery. By default a
// sample (a sixth of it under the sanitizers); POWER_CUT_STRIDE=N sweeps
// every N-th call of every road, each way of keeping data (1: every call).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "flow_support.h"
#include "harness.h"
#include "journey.h"
#include "sim/outcome/outcome.h"
#include "sim/machines/presets.h"

// A namespace of its own: the scenario tests compile in batches.
namespace power_cuts {

using nlohmann::json;
using flow::MediaSetup;

const int RunLimitSeconds = 60;
const int Workers = 2;       // points of one shard run side by side
const int MaxRestarts = 3;   // starts after a run until the machine settles
const int PowerCutStatus = 123;  // winsim run and winsim restart when the power went
// The lazy writer of the points that lose what it had not written back.
const char* const LazyWriter = "lazy=25";
#if defined(__SANITIZE_ADDRESS__)
const uint64_t Sparser = 6;
#else
const uint64_t Sparser = 1;
#endif

uint64_t environmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// ---- the installations ----------------------------------------------------

struct Installation {
    std::string name;
    std::string preset;
    std::function<void(scenario::Machine&)> prepare;
    std::string commandLine;
    std::string answers;  // standard input of every run of the command line
    bool quiet;           // false: the final text is followed by the key prompt
};

std::string stagedPath(const std::string& name) { return flow::StagingTree + "\\win2000\\" + name; }

// A file of an earlier installation with a version stamp.
void placeStamped(scenario::Machine& m, const std::string& windowsPath, const std::string& version) {
    std::string name = windowsPath.substr(windowsPath.find_last_of('\\') + 1);
    scenario::writeFile(m.hostPath(windowsPath),
                        "Placeholder " + name + " of an earlier installation\r\n!@#$" + version + "$#@!\r\n");
}

// "n" to every question (more than any run asks), then a key.
std::string keepEverything() {
    std::string out;
    for (int i = 0; i < 16; ++i) out += "n\n";
    return out + "x";
}

const std::vector<Installation>& installations() {
    static const std::vector<Installation> all = {
        {"typical", "default", nullptr, MediaSetup + " /X", "", true},
        {"earlier", "processor-service",
         [](scenario::Machine& machine) {
             // The processor service program's removal and install runs, the
             // restart feature's and the remote support's service keys, and
             // the old generation's child function, which asks for the
             // second phase.
             machine.edit([](sim::Machine& m) {
                 m.devices.push_back(sim::childFunction(4, sim::newerAdapter().instanceId));
                 const std::string services = flow::ServicesKey;
                 for (const char* name : {"qrvrvosv", "qrvrvoex", "qrvmprem"}) {
                     sim::RegKey& k = sim::ensureKey(m, services + name);
                     k.values["Type"] = sim::RegValue{4, sim::regDword(0x10)};
                     k.values["Start"] = sim::RegValue{4, sim::regDword(3)};
                     k.values["ImagePath"] =
                         sim::RegValue{2, sim::regSz(std::string("%SystemRoot%\\system32\\") + name + ".exe")};
                 }
                 sim::ensureKey(m, services + "qrvrvosv\\Parameters").values["Interval"] =
                     sim::RegValue{4, sim::regDword(30)};
                 sim::ensureKey(m, services + "qrvmprem\\Parameters\\Ports");
             });
         },
         MediaSetup + " /Q", "", true},
        {"newer files", "default",
         [](scenario::Machine& m) {
             // Staged and installed files newer than the media's 5.10.0:
             // every question is answered "n", which keeps them.
             placeStamped(m, stagedPath("QRVMPW.SYS"), "5.20.0");
             placeStamped(m, stagedPath("QRVSERW.SYS"), "7.00.0");
             placeStamped(m, "C:\\WINNT\\system32\\drivers\\QRVMPW.SYS", "5.20.0");
             placeStamped(m, "C:\\WINNT\\system32\\QRVMPW.DLL", "5.10.1");
         },
         MediaSetup, keepEverything(), false},
    };
    return all;
}

// ---- what a machine holds -----------------------------------------------

// The machine as an undisturbed installation must leave it: the files of
// its drives by content, the registry key by key (without the Plug and
// Play manager's own keys), the present devices with their drivers, the
// file attributes. Left out: the records of programs run and of events,
// the service runtime, the counters, which cuts and further runs change.
std::map<std::string, std::string> settledContent(const std::string& folder) {
    std::map<std::string, std::string> out;
    json state = json::parse(scenario::readFile(folder + "/state.json"), nullptr, false);
    if (state.is_discarded()) return {{"state.json", "unreadable"}};
    for (const auto& key : state.value("registry", json::array())) {
        std::string path = key.value("path", "");
        std::string upper = sim::upper(path);
        if (upper.rfind("HKLM\\SYSTEM\\CURRENTCONTROLSET\\ENUM\\", 0) == 0 ||
            upper.rfind("HKLM\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\", 0) == 0)
            continue;
        json rest = key;
        rest.erase("path");
        out["key " + path] = rest.dump();
    }
    for (const auto& d : state.value("devices", json::array()))
        if (d.value("present", true))
            out["device " + d.value("instanceId", "")] = d.value("boundInf", "(no driver)");
    out["fileAttributes"] = state.value("fileAttributes", json::object()).dump();
    std::map<std::string, std::string> all = oracle::machineContent(folder);
    for (const auto& [k, v] : all)
        if (k.rfind("file ", 0) == 0) out[k] = v;
    return out;
}

// ---- judging runs and starts ----------------------------------------------

bool sanitizerReport(const std::string& text) {
    return scenario::contains(text, "AddressSanitizer") || scenario::contains(text, "runtime error:") ||
           scenario::contains(text, "LeakSanitizer");
}

std::string oneLine(const std::string& text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// The runs and starts of one machine, each judged as it ends.
class Journey {
public:
    Journey(const Installation& in, scenario::Machine& machine) : in_(in), machine_(machine) {
        machine_.traced = false;
        machine_.timeoutSeconds = RunLimitSeconds;
        texts_ = oracle::textsFor(0x0409, MEDIA_DIR);
    }

    std::vector<std::string> problems;

    // The administrator's command line, cut by the power: what winsim says
    // of the cut goes to its own output.
    scenario::RunResult cutRun(const std::string& plan) {
        std::string input = machine_.folder() + "/answers.txt";
        scenario::writeFile(input, in_.answers);
        return machine_.winsim({"run", "--cwd", "D:\\WIN2000", "--input", input, "--output",
                                machine_.folder() + "/console.txt", "--cut", plan, "--", in_.commandLine});
    }

    // The administrator's command line.
    scenario::RunResult run(const std::vector<std::string>& extra = {}) {
        scenario::RunResult r = machine_.run(in_.commandLine, in_.answers, "D:\\WIN2000", extra);
        if (r.exitCode == 124) problems.push_back(in_.commandLine + " did not end in time");
        if (sanitizerReport(r.output)) problems.push_back(in_.commandLine + ": sanitizer report\n" + r.output);
        return r;
    }
    void judgeRun(const scenario::RunResult& r) {
        if (!problems.empty()) return;
        if (!r.report.is_object() || r.report.value("openHandles", -1) != 0 || r.report.value("heapBlocks", -1) != 0)
            problems.push_back(in_.commandLine + " left open: " + r.report.dump());
        judge({in_.commandLine, r.exitCode, r.output, in_.quiet});
    }

    // The next start of Windows, with the programs it ran judged; `extra`
    // asks for a cut.
    scenario::RunResult restart(const std::vector<std::string>& extra = {}, bool cutting = false) {
        sim::Machine before = machine_.state();
        std::string reportFile = machine_.folder() + "/restart-report.json";
        std::vector<std::string> args{"restart", "--report", reportFile};
        args.insert(args.end(), extra.begin(), extra.end());
        scenario::RunResult r = machine_.winsim(args);
        bool cut = cutting;
        if (r.exitCode != 0 && !(cut && r.exitCode == PowerCutStatus)) {
            problems.push_back("winsim restart ended with " + std::to_string(r.exitCode) + "\n" + r.output);
            return r;
        }
        if (sanitizerReport(r.output)) problems.push_back("restart: sanitizer report\n" + r.output);
        if (cut) return r;  // what a program that the power took said is not judged
        json reports = json::parse(scenario::readFile(reportFile), nullptr, false);
        for (const auto& program : reports.is_array() ? reports : json::array()) {
            if (program.value("report", "") == "none") continue;  // not started
            if (program.value("openHandles", -1) != 0 || program.value("heapBlocks", -1) != 0)
                problems.push_back(program.value("commandLine", "?") + " at the restart left open: " + program.dump());
        }
        sim::Machine after = machine_.state();
        journey::judgeStart(before, after, [this](const oracle::Claim& claim) { judge(claim); });
        return r;
    }

    // Starts the machine until it has settled.
    void settle() {
        for (int n = 0; n < MaxRestarts && problems.empty() && !settled(); ++n) restart();
        if (!problems.empty() || settled()) return;
        sim::Machine m = machine_.state();
        std::vector<std::string> unbound = oracle::familyDevicesWithoutStagedDriver(m);
        problems.push_back("not settled after " + std::to_string(MaxRestarts) + " restarts: " +
                           (oracle::secondPhaseScheduled(m)         ? std::string("a second phase is still scheduled")
                            : !oracle::restartPending(m).empty() ? oracle::restartPending(m)
                                                                 : unbound.front() + " is present"));
    }

    bool settled() {
        sim::Machine m = machine_.state();
        return !oracle::secondPhaseScheduled(m) && oracle::restartPending(m).empty() &&
               oracle::familyDevicesWithoutStagedDriver(m).empty();
    }

private:
    void judge(const oracle::Claim& claim) {
        sim::Machine m = machine_.state();
        std::string wrong = oracle::disagreement(claim, m, texts_);
        if (!wrong.empty()) problems.push_back(wrong + "\n  console: " + oneLine(claim.console));
    }

    const Installation& in_;
    scenario::Machine& machine_;
    oracle::Texts texts_;
};

// ---- the undisturbed installation -------------------------------------------

enum class Road { FirstPhase, NextStart };

// An installation without a cut: the machines each road starts from, how
// many platform calls each makes, and what the machine holds once the
// installation has settled and the command line has run once more.
struct Reference {
    std::unique_ptr<scenario::Machine> fresh, afterFirstPhase;
    uint64_t firstPhaseCalls = 0, nextStartCalls = 0;
    std::vector<json> firstPhaseTrace;  // the installer's calls, numbered among the machine's
    std::map<std::string, std::string> settled;
    std::vector<std::string> problems;
};

std::unique_ptr<Reference> makeReference(const Installation& in) {
    auto ref = std::make_unique<Reference>();
    ref->fresh = std::make_unique<scenario::Machine>(in.preset, ".fresh");
    if (in.prepare) in.prepare(*ref->fresh);
    scenario::Machine machine(*ref->fresh, ".reference");
    Journey j(in, machine);
    machine.traced = true;
    scenario::RunResult first = j.run({"--cut", "0"});
    machine.traced = false;
    j.judgeRun(first);
    ref->firstPhaseCalls = first.report.value("machineCalls", 0u);
    ref->firstPhaseTrace = first.trace;
    ref->afterFirstPhase = std::make_unique<scenario::Machine>(machine, ".after-first-phase");
    j.restart({"--cut", "0"});
    json reports = json::parse(scenario::readFile(machine.folder() + "/restart-report.json"), nullptr, false);
    if (reports.is_array() && !reports.empty()) ref->nextStartCalls = reports.back().value("machineCalls", 0u);
    j.settle();
    j.judgeRun(j.run());
    j.settle();
    ref->settled = settledContent(machine.folder());
    ref->problems = j.problems;
    return ref;
}

// ---- the points -----------------------------------------------------------

// The points of one installation in one test (its undisturbed run, which
// every point is judged against, is made once), or of one shard of them.
struct Slice {
    size_t installation;
    int shard, shards;
};

struct Point {
    Road road;
    std::string plan;  // the text of --cut
};

std::string sliceName(const Slice& s);
void PrintTo(const Slice& s, std::ostream* out) { *out << sliceName(s); }

std::string sliceName(const Slice& s) {
    std::string name = installations()[s.installation].name + "_" + std::to_string(s.shard);
    for (auto& c : name)
        if (c == ' ') c = '_';
    return name;
}

// The ways the disks keep data at a point: every change written as it is
// made, with half of a copy in progress kept; the same with nearly all of
// it kept (a copy whose version stamp survives); a lazy writer.
std::string plan(uint64_t call, int way) {
    std::string text = std::to_string(call);
    if (way == 1) text += ",kept=99";
    if (way == 2) text += std::string(",") + LazyWriter;
    return text;
}

// With POWER_CUT_STRIDE=N: every N-th call of the road, each way.
std::vector<std::string> everyNthCall(uint64_t calls, uint64_t stride) {
    std::vector<std::string> out;
    for (uint64_t n = 1; n <= calls; n += stride)
        for (int way = 0; way < 3; ++way) out.push_back(plan(n, way));
    return out;
}

// One in `step` of the points, the same on every run, spread over the kinds
// of points whatever order they come in (by a hash of the plan's text,
// FNV-1a).
bool chosen(const std::string& plan, uint64_t step) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : plan) hash = (hash ^ c) * 1099511628211ull;
    return hash % step == 0;
}

// The default sample of a first phase, from the undisturbed run's trace:
// the cut during each copy (the two ways of keeping it in turn), right after
// each call that changed the machine (every third with a lazy writer), and
// at each call of a program that the installer waited for; every `step`-th
// of them.
std::vector<std::string> firstPhaseSample(const std::vector<json>& trace, uint64_t calls, uint64_t step) {
    std::vector<std::string> candidates;
    int changes = 0, copies = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        uint64_t call = trace[i].value("machineCall", 0u);
        std::string function = trace[i].value("function", "");
        if (function == "CopyFileA") candidates.push_back(plan(call, copies++ % 2));
        if (trace[i].value("changedMachine", false) && call < calls)
            candidates.push_back(plan(call + 1, changes++ % 3 == 2 ? 2 : 0));
        uint64_t next = i + 1 < trace.size() ? trace[i + 1].value("machineCall", 0u) : calls + 1;
        if (function == "WaitForSingleObject")
            for (uint64_t child = call + 1; child < next; ++child) candidates.push_back(plan(child, 0));
    }
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto& c : candidates)
        if (seen.insert(c).second && chosen(c, step)) out.push_back(c);
    return out;
}

// The default sample of the next start: every `stride`-th call, every third
// of them with a lazy writer.
std::vector<std::string> nextStartSample(uint64_t calls, uint64_t stride) {
    std::vector<std::string> out;
    uint64_t k = 0;
    for (uint64_t n = 1; n <= calls; n += stride) out.push_back(plan(n, k++ % 3 == 2 ? 2 : 0));
    return out;
}

// How densely each road is sampled by default: every n-th candidate of the
// first phase, every n-th call of the next start.
uint64_t sampleStep(size_t installation, Road road) {
    static const uint64_t steps[][2] = {{2, 6}, {3, 8}, {3, 10}};
    return steps[installation][road == Road::FirstPhase ? 0 : 1] * Sparser;
}

// The points of both roads of an installation, the two roads in turn, so
// that shards get their share of each.
std::vector<Point> pointsOf(size_t installation, const Reference& ref) {
    std::vector<std::string> roads[2];
    uint64_t stride = environmentNumber("POWER_CUT_STRIDE", 0);
    roads[0] = stride ? everyNthCall(ref.firstPhaseCalls, stride)
                      : firstPhaseSample(ref.firstPhaseTrace, ref.firstPhaseCalls,
                                         sampleStep(installation, Road::FirstPhase));
    roads[1] = stride ? everyNthCall(ref.nextStartCalls, stride)
                      : nextStartSample(ref.nextStartCalls, sampleStep(installation, Road::NextStart));
    std::vector<Point> out;
    for (size_t i = 0; i < std::max(roads[0].size(), roads[1].size()); ++i)
        for (int r = 0; r < 2; ++r)
            if (i < roads[r].size()) out.push_back({r ? Road::NextStart : Road::FirstPhase, roads[r][i]});
    return out;
}

class PowerCut : public ::testing::TestWithParam<Slice> {};

TEST_P(PowerCut, MachineRecoversAsIfUndisturbed) {
    const Slice& slice = GetParam();
    const Installation& in = installations()[slice.installation];
    std::unique_ptr<Reference> ref = makeReference(in);
    ASSERT_TRUE(ref->problems.empty()) << "the undisturbed installation: " << ref->problems.front();
    ASSERT_GT(ref->firstPhaseCalls, 50u);
    ASSERT_GT(ref->nextStartCalls, 20u);
    std::vector<Point> all = pointsOf(slice.installation, *ref);
    std::vector<Point> mine;
    for (size_t i = static_cast<size_t>(slice.shard); i < all.size(); i += static_cast<size_t>(slice.shards))
        mine.push_back(all[i]);

    std::mutex guard;
    std::map<std::string, std::string> verdictOf;  // by the machine a cut left
    std::vector<std::string> failures;
    std::atomic<size_t> next{0};
    std::atomic<int> recoveries{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (size_t i; (i = next++) < mine.size();) {
                const std::string& plan = mine[i].plan;
                bool first = mine[i].road == Road::FirstPhase;
                const std::string road = first ? "first phase, cut " : "next start, cut ";
                const scenario::Machine& start = first ? *ref->fresh : *ref->afterFirstPhase;
                scenario::Machine machine(start, ".w" + std::to_string(w));
                Journey j(in, machine);
                scenario::RunResult cut = first ? j.cutRun(plan) : j.restart({"--cut", plan}, true);
                std::string wrong = j.problems.empty() ? "" : j.problems.front();
                if (wrong.empty() && cut.exitCode != PowerCutStatus)
                    wrong = "the power was not cut (exit " + std::to_string(cut.exitCode) + ")";
                if (!wrong.empty()) {
                    std::lock_guard<std::mutex> g(guard);
                    failures.push_back(road + plan + ": " + wrong);
                    continue;
                }
                std::ostringstream key;
                key << first << '\n';
                for (const auto& [k, v] : oracle::machineContent(machine.folder())) key << k << '=' << v << '\n';
                {
                    std::lock_guard<std::mutex> g(guard);
                    if (verdictOf.count(key.str())) continue;
                }
                // The machine starts again; the administrator runs the same
                // command line again; the machine starts until it settles.
                ++recoveries;
                j.restart();
                if (j.problems.empty()) j.judgeRun(j.run());
                if (j.problems.empty()) j.settle();
                std::string verdict = j.problems.empty() ? "" : j.problems.front();
                if (verdict.empty()) {
                    std::string changed = oracle::contentChanges(ref->settled, settledContent(machine.folder()));
                    if (!changed.empty()) verdict = "the machine differs from an undisturbed installation's:\n" + changed;
                }
                std::lock_guard<std::mutex> g(guard);
                verdictOf[key.str()] = verdict;
                if (!verdict.empty())
                    failures.push_back(road + plan + ": " + verdict + "\n  again: cp -r " + start.folder() + " M && " +
                                       (first ? "winsim run M --cwd 'D:\\WIN2000' --cut '" + plan + "' -- '" +
                                                    in.commandLine + "'"
                                              : "winsim restart M --cut '" + plan + "'") +
                                       ", then winsim restart M, the command again, winsim restart M" +
                                       "\n  (this machine: " + machine.folder() + ")");
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& f : failures) ADD_FAILURE() << in.name << ", " << f;
    RecordProperty("firstPhaseCalls", static_cast<int>(ref->firstPhaseCalls));
    RecordProperty("nextStartCalls", static_cast<int>(ref->nextStartCalls));
    RecordProperty("points", static_cast<int>(mine.size()));
    RecordProperty("recoveries", recoveries.load());
}

std::vector<Slice> slices() {
    // Shards by installation: one each at the default size; one that grows
    // may be dealt out to more.
    const int shards[] = {1, 1, 1};
    std::vector<Slice> out;
    for (size_t i = 0; i < installations().size(); ++i)
        for (int s = 0; s < shards[i]; ++s) out.push_back({i, s, shards[i]});
    return out;
}

INSTANTIATE_TEST_SUITE_P(SweepPowerCuts, PowerCut, ::testing::ValuesIn(slices()),
                         [](const ::testing::TestParamInfo<Slice>& info) { return sliceName(info.param); });

}  // namespace power_cuts
