// The outcome oracle over every preset and over machines made from seeds,
// unattended (/X), interactive (every prompt answered from a file) and quiet
// (/Q, the second phase through RunOnce; machines from seeds): after
// the first phase, each service phase and each run at a logon, the exit code
// agrees with the machine (see oracle.h). An administrator's machine then
// settles within three restarts with every present device of the family
// bound and nothing pending, and a further SETUP.EXE /Q ends with 0 and
// changes nothing but the record of programs run. A plain user's run ends
// with 2 and changes nothing.
//
// ORACLE_MACHINES (default 300; 30 under the sanitizers) machines from the
// seeds ORACLE_FIRST_SEED (default 1) on, each two of the three ways, the
// one left out turning with the seed (under the sanitizers one way each, in
// turn; ORACLE_WAYS=1, 2 or 3 chooses how many); the scenarios are dealt out to shards
// that CTest runs side by side. A disagreement names the seed and the winsim
// commands that show it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "flow_support.h"
#include "harness.h"
#include "oracle.h"
#include "sim/machines/presets.h"

namespace {

using flow::MediaSetup;
const std::string StagingTree = "C/WINNT/system32/drivers/korpa/win2000";
const int MaxRestarts = 3;
const int Shards = 16;
// Under the sanitizers a run costs several times as much: fewer machines
// there, the full number in the plain build.
#if defined(__SANITIZE_ADDRESS__)
const uint64_t DefaultMachines = 30;
const uint64_t DefaultWays = 1;
#else
const uint64_t DefaultMachines = 300;
const uint64_t DefaultWays = 2;
#endif
const int Workers = 2;  // scenarios of one shard run side by side
const int RunLimitSeconds = 60;

uint64_t environmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// How the first run is started: unattended (/X, the second phase as a
// service), interactive (every prompt answered), or quiet (/Q, the second
// phase through RunOnce and the run at the next logon).
enum class Way { Unattended, Interactive, Quiet };
const Way AllWays[] = {Way::Unattended, Way::Interactive, Way::Quiet};

struct Scenario {
    std::string preset;  // empty: a machine from the seed
    uint64_t seed = 0;
    Way way = Way::Unattended;

    bool interactive() const { return way == Way::Interactive; }
    std::string name() const {
        static const char* const names[] = {", unattended", ", interactive", ", quiet"};
        return (preset.empty() ? "seed " + std::to_string(seed) : "preset " + preset) + names[static_cast<int>(way)];
    }
    std::string commandLine() const {
        static const char* const options[] = {" /X", "", " /Q"};
        return MediaSetup + options[static_cast<int>(way)];
    }
    // The winsim commands that show the scenario again.
    std::string reproduction(const std::string& folder) const {
        std::string m = "M";
        std::string create = "winsim create " + m + (preset.empty() ? " --random " + std::to_string(seed)
                                                                     : " --preset " + preset);
        std::string input = !interactive() ? "" : preset.empty() ? " --input M/random/answers.txt" : " --input ANSWERS";
        return "  again: " + create + " && winsim run " + m + " --cwd 'D:\\WIN2000'" + input + " '" + commandLine() +
               "' && winsim restart " + m + "\n  (this run's machine: " + folder + ")";
    }
};

std::vector<Scenario> allScenarios() {
    std::vector<Scenario> out;
    for (Way way : {Way::Unattended, Way::Interactive}) {
        for (const auto& [name, description] : sim::presetList()) out.push_back({name, 0, way});
    }
    uint64_t first = environmentNumber("ORACLE_FIRST_SEED", 1);
    uint64_t count = environmentNumber("ORACLE_MACHINES", DefaultMachines);
    // Each machine the chosen number of ways, the first of them turning with
    // the seed, so that every way meets as many machines.
    uint64_t ways = std::min<uint64_t>(std::max<uint64_t>(environmentNumber("ORACLE_WAYS", DefaultWays), 1), 3);
    for (uint64_t seed = first; seed < first + count; ++seed)
        for (uint64_t k = 0; k < ways; ++k) out.push_back({"", seed, AllWays[(seed + k) % 3]});
    return out;
}

// The presets are English machines: yes to every prompt, then a key.
std::string presetAnswers() {
    std::string out;
    for (int i = 0; i < 24; ++i) out += "y\n";
    return out + "x";
}

// A console text as one quoted line (bytes that are not UTF-8, such as the
// code page texts of a language file, as U+FFFD).
std::string oneLine(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool sanitizerReport(const std::string& text) {
    return flow::contains(text, "AddressSanitizer") || flow::contains(text, "runtime error:") ||
           flow::contains(text, "LeakSanitizer");
}

std::string leftOpen(const nlohmann::json& report) {
    if (!report.is_object()) return "no exit report";
    if (report.value("openHandles", -1) != 0 || report.value("heapBlocks", -1) != 0) return "left open: " + report.dump();
    return "";
}

// One scenario from the first phase to the settled machine.
class Journey {
public:
    Journey(const Scenario& s, scenario::Machine& machine) : s_(s), machine_(machine) {}

    std::vector<std::string> problems;

    void go() {
        machine_.traced = false;
        machine_.timeoutSeconds = RunLimitSeconds;
        start_ = machine_.state();
        const sim::Machine& start = start_;
        usbRoad_ = oracle::hasUsbManagementDevice(start);
        texts_ = oracle::textsFor(start.defaultLangId);
        bool administrator = start.account != "user";
        auto before = oracle::machineContent(machine_.folder());

        std::string answers;
        if (s_.interactive()) answers = s_.preset.empty() ? scenario::readFile(machine_.folder() + "/random/answers.txt")
                                                         : presetAnswers();
        scenario::RunResult first = machine_.run(s_.commandLine(), answers);
        judgeRun(s_.commandLine(), first, !s_.interactive());
        if (!problems.empty()) return;

        if (!administrator) {
            if (first.exitCode != 2) problems.push_back("a plain user's run ended with " + std::to_string(first.exitCode));
            std::string changed = oracle::contentChanges(before, oracle::machineContent(machine_.folder()));
            if (!changed.empty()) problems.push_back("a plain user's run changed the machine:\n" + changed);
            return;
        }

        int restarts = 0;
        for (; restarts < MaxRestarts && !settled(); ++restarts) {
            restart();
            if (!problems.empty()) return;
        }
        if (!settled()) {
            sim::Machine m = machine_.state();
            std::vector<std::string> left = unbound(m);
            std::string why = oracle::secondPhaseScheduled(m) ? "a second phase is still scheduled"
                              : !oracle::restartPending(m).empty() ? oracle::restartPending(m)
                                                                   : left.front() + " is present";
            problems.push_back("not settled after " + std::to_string(restarts) + " restarts: " + why);
            return;
        }
        checkRunAgainChangesNothing();
    }

private:
    // Settled: nothing scheduled or pending, every device of the family bound.
    bool settled() {
        sim::Machine m = machine_.state();
        return !oracle::secondPhaseScheduled(m) && oracle::restartPending(m).empty() && unbound(m).empty();
    }
    // The family's devices that lack what the run owes them.
    std::vector<std::string> unbound(const sim::Machine& m) const {
        return usbRoad_ ? oracle::familyDriversChanged(start_, m) : oracle::familyDevicesWithoutStagedDriver(m);
    }

    void judge(const oracle::Claim& claim) {
        sim::Machine m = machine_.state();
        oracle::Claim c = claim;
        if (usbRoad_) c.usbRoadBefore = &start_;
        std::string wrong = oracle::disagreement(c, m, texts_);
        if (!wrong.empty()) problems.push_back(wrong + "\n  console: " + oneLine(claim.console));
    }

    void judgeRun(const std::string& what, const scenario::RunResult& r, bool quiet) {
        if (r.exitCode == 124) problems.push_back(what + " did not end within " + std::to_string(RunLimitSeconds) + " s");
        if (sanitizerReport(r.output)) problems.push_back(what + ": sanitizer report\n" + r.output);
        std::string open = leftOpen(r.report);
        if (!open.empty()) problems.push_back(what + ": " + open);
        if (problems.empty()) judge({what, r.exitCode, r.output, quiet});
    }

    // The next start of Windows, and what ran in it: the service phase (its
    // outcome is its event, its console the service's) and the installer
    // run at the logon.
    void restart() {
        sim::Machine before = machine_.state();
        std::string reportFile = machine_.folder() + "/restart-report.json";
        scenario::RunResult r = machine_.winsim({"restart", "--report", reportFile});
        if (r.exitCode != 0) {
            problems.push_back("winsim restart ended with " + std::to_string(r.exitCode) + "\n" + r.output);
            return;
        }
        if (sanitizerReport(r.output)) problems.push_back("restart: sanitizer report\n" + r.output);
        nlohmann::json reports = nlohmann::json::parse(scenario::readFile(reportFile), nullptr, false);
        for (const auto& program : reports.is_array() ? reports : nlohmann::json::array()) {
            // A program that could not be started (an image that is not
            // one) has held nothing.
            if (program.value("exitCode", 0) < 0 && program.value("report", "") == "none") continue;
            std::string open = leftOpen(program);
            if (!open.empty()) problems.push_back(program.value("commandLine", "?") + " at the restart: " + open);
        }
        sim::Machine after = machine_.state();
        std::string staged = after.systemDirectory + "\\drivers\\korpa\\win2000\\SETUP.EXE";
        std::string serviceConsole;
        for (size_t i = before.processes.size(); i < after.processes.size(); ++i) {
            const sim::ProcessRecord& p = after.processes[i];
            if (p.console == "service" && sim::equalNoCase(p.commandLine, staged)) serviceConsole = p.output;
            if (p.console == "new" && sim::equalNoCase(p.commandLine, staged + " -R"))
                judge({"the run at the logon", p.exitCode, p.output, false});
        }
        for (size_t i = before.eventLog.size(); i < after.eventLog.size(); ++i) {
            const sim::EventEntry& e = after.eventLog[i];
            const std::string tag = "mpsetup exit code: ";
            if (e.source == "mpsetup" && !e.strings.empty() && e.strings[0].rfind(tag, 0) == 0)
                judge({"the service phase", std::atoi(e.strings[0].c_str() + tag.size()), serviceConsole, true});
        }
    }

    // A further quiet run on the settled machine ends with 0 and changes
    // nothing but the record of programs run. After an interactive journey
    // whose answers kept files newer than the media's (in the staging tree
    // or where they are installed), the quiet run, which copies without
    // asking, makes exactly those files the media's: that is its only change.
    void checkRunAgainChangesNothing() {
        auto before = oracle::machineContent(machine_.folder());
        std::vector<std::string> declined;
        if (s_.interactive()) declined = oracle::filesUnlikeMedia(machine_.folder(), "C");
        std::string line = MediaSetup + " /Q";
        scenario::RunResult again = machine_.run(line, "");
        judgeRun(line + " on the settled machine", again, true);
        if (again.exitCode != 0)
            problems.push_back(line + " on the settled machine ended with " + std::to_string(again.exitCode) +
                               "\n  console: " + oneLine(again.output));
        auto after = oracle::machineContent(machine_.folder());
        if (!declined.empty()) {
            for (const auto& left : oracle::filesUnlikeMedia(machine_.folder(), StagingTree))
                problems.push_back(line + " on the settled machine left the staged " + left + " unlike the media's");
            oracle::setAsideMediaCopies(before, after, declined);
        }
        std::string changed = oracle::contentChanges(before, after);
        if (!changed.empty()) problems.push_back(line + " on the settled machine changed it:\n" + changed);
    }

    const Scenario& s_;
    scenario::Machine& machine_;
    oracle::Texts texts_;
    sim::Machine start_;
    bool usbRoad_ = false;
};

class OutcomeOracle : public ::testing::TestWithParam<int> {};

TEST_P(OutcomeOracle, ExitCodesAgreeWithTheMachineAndItSettles) {
    std::vector<Scenario> mine;
    std::vector<Scenario> all = allScenarios();
    for (size_t i = static_cast<size_t>(GetParam()); i < all.size(); i += Shards) mine.push_back(all[i]);

    std::mutex guard;
    std::atomic<size_t> next{0};
    size_t disagreeing = 0;
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (size_t i; (i = next++) < mine.size();) {
                const Scenario& s = mine[i];
                std::unique_ptr<scenario::Machine> machine =
                    s.preset.empty() ? std::make_unique<scenario::Machine>(scenario::Machine::Seed{s.seed},
                                                                           ".w" + std::to_string(w))
                                     : std::make_unique<scenario::Machine>(s.preset, ".w" + std::to_string(w));
                Journey run(s, *machine);
                run.go();
                if (run.problems.empty()) continue;
                std::ostringstream text;
                text << s.name() << ":\n";
                for (const auto& p : run.problems) text << "  " << p << "\n";
                text << s.reproduction(machine->folder());
                std::lock_guard<std::mutex> g(guard);
                ++disagreeing;
                ADD_FAILURE() << text.str();
            }
        });
    for (auto& t : threads) t.join();
    RecordProperty("scenarios", static_cast<int>(mine.size()));
    RecordProperty("disagreeing", static_cast<int>(disagreeing));
}

INSTANTIATE_TEST_SUITE_P(Shards, OutcomeOracle, ::testing::Range(0, Shards));

}  // namespace
