// Fault sweep over the typical unattended installation: each platform call
// of the first phase in turn fails (the n-th call of the process with error
// 31), and then each of a sample of the service phase's calls. Every run
// must end with one of the installer's exit codes and the message that goes
// with it, and what it says must agree with the machine it left (the outcome
// rules, sim/outcome/outcome.h): no crash, no hang, no sanitizer report, no handle or
// heap block left, the service phase's included.
//
// Every point starts from a copy of a machine folder made once: the fresh
// machine for the first phase, the machine after an undisturbed first phase
// for the service phase. The points are dealt out to shards, one test each,
// which CTest runs side by side; a verdict function judges each point by its
// run and the machine that the run left.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flow_support.h"
#include "harness.h"
#include "sim/outcome/outcome.h"

using namespace flow;

namespace {

const std::string SweepCommand = "D:\\WIN2000\\SETUP.EXE /X";
const int RunLimitSeconds = 60;
const int Workers = 2;  // points of one shard run side by side
const int FirstPhaseShards = 12;
const int ServicePhaseShards = 4;
// The service phase's calls are not counted from outside; a bounded range is
// sampled (faults past its last call leave the run clean).
const size_t ServiceCallBound = 400;
const size_t ServiceSampleStep = 5;
// Every call of the first phase in the plain build; under the sanitizers,
// where a run costs several times as much, every fourth (the failure paths
// of the calls between are those of their neighbours' kind).
// FAULT_SWEEP_STRIDE=N sweeps every N-th call of the first phase and every
// N-th of the service phase's sample.
#if defined(__SANITIZE_ADDRESS__)
const size_t DefaultStride = 4;
#else
const size_t DefaultStride = 1;
#endif

size_t sweepStride() {
    const char* text = std::getenv("FAULT_SWEEP_STRIDE");
    size_t stride = text && *text ? std::strtoul(text, nullptr, 10) : DefaultStride;
    return stride ? stride : 1;
}
// The exit reports of the programs that a start ran, in the machine folder.
const std::string RestartReport = "restart-report.json";

// One point of a sweep after its run.
struct PointRun {
    size_t call;                     // the platform call that was made to fail
    const scenario::RunResult& run;  // what the run printed, its exit code and report
    scenario::Machine& machine;      // the machine as the run left it
};

// What is wrong with a point; empty when nothing is.
using Verdict = std::function<std::string(const PointRun&)>;
// Runs one point on its machine: the call to fail is the argument.
using PointRunner = std::function<scenario::RunResult(scenario::Machine&, size_t)>;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool sanitizerReport(const std::string& text) {
    return contains(text, "AddressSanitizer") || contains(text, "runtime error:") ||
           contains(text, "LeakSanitizer");
}

std::string failing(size_t call) { return "*#" + std::to_string(call) + "=31"; }

// The points of one shard out of `shards`: every shards-th of all points.
std::vector<size_t> shardOf(const std::vector<size_t>& points, int shard, int shards) {
    std::vector<size_t> mine;
    for (size_t i = static_cast<size_t>(shard); i < points.size(); i += static_cast<size_t>(shards))
        mine.push_back(points[i]);
    return mine;
}

// Runs every point on a copy of `start`, a few at a time, and fails the test
// with every verdict that finds something wrong.
void sweep(const scenario::Machine& start, const std::vector<size_t>& points, const PointRunner& runPoint,
           const Verdict& verdict) {
    std::mutex guard;
    std::vector<std::string> failures;
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (size_t i; (i = next++) < points.size();) {
                scenario::Machine machine(start, ".w" + std::to_string(w));
                machine.timeoutSeconds = RunLimitSeconds;
                machine.traced = false;
                scenario::RunResult r = runPoint(machine, points[i]);
                std::string wrong = verdict(PointRun{points[i], r, machine});
                if (!wrong.empty()) {
                    std::lock_guard<std::mutex> g(guard);
                    failures.push_back("call " + std::to_string(points[i]) + ": " + wrong + "\n" + r.output);
                }
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& f : failures) ADD_FAILURE() << f;
    ::testing::Test::RecordProperty("points", static_cast<int>(points.size()));
}

// The first phase: the final text that goes with its exit code, and nothing
// left open.
std::string firstPhaseVerdict(const PointRun& p) {
    const scenario::RunResult& r = p.run;
    if (sanitizerReport(r.output)) return "sanitizer report";
    if (r.exitCode == 124) return "hang";
    std::string wrong;
    switch (r.exitCode) {
        case 0:
            if (!endsWith(r.output, Complete)) wrong = "exit 0 without message 13";
            break;
        case 1:
            if (!endsWith(r.output, RemovedOld) && !endsWith(r.output, Complete + RebootForDriver))
                wrong = "exit 1 without message 78 or messages 13 and 32";
            break;
        case 2:
            if (!endsWith(r.output, Failed)) wrong = "exit 2 without message 28";
            break;
        case 8:
            if (!endsWith(r.output, Failed)) wrong = "exit 8 without message 28";
            break;
        default:
            return "exit code " + std::to_string(r.exitCode);
    }
    if (!wrong.empty()) return wrong;
    if (!r.report.is_object()) return "no exit report";
    if (r.report.value("openHandles", -1) != 0 || r.report.value("heapBlocks", -1) != 0)
        return "left open: " + r.report.dump();
    sim::Machine after = p.machine.state();
    return oracle::disagreement({"the first phase", r.exitCode, r.output, true}, after,
                                oracle::textsFor(0x0409, MEDIA_DIR));
}

// The exit code that a service phase's console claims by its final text;
// -1 when it has none.
int claimedByConsole(const std::string& console) {
    if (endsWith(console, Failed)) return 2;
    if (endsWith(console, Complete + RebootForDriver)) return 1;
    if (endsWith(console, Complete)) return 0;
    return -1;
}

// The service phase, started by the next start of Windows: the service
// process ends with 0, and its console with its final message; or, where
// the dispatcher itself failed, with 1 and the second phase still pending.
std::string servicePhaseVerdict(const PointRun& p) {
    const scenario::RunResult& start = p.run;
    if (start.exitCode == 124) return "hang";
    if (start.exitCode != 0) return "restart ended with " + std::to_string(start.exitCode);
    if (sanitizerReport(start.output)) return "sanitizer report";
    sim::Machine m = p.machine.state();
    // A dispatcher that could not connect leaves the second phase pending:
    // the process ends with 1 and says why on the event log.
    if (contains(start.output, "  service mpsetup: " + StagedSetup + "\n    exit code 1\n") &&
        contains(start.output, "\"StartServiceCtrlDispatcher failed.\""))
        return m.services.count("mpsetup") ? "" : "the dispatcher failed and the second phase is gone";
    if (!contains(start.output, "  service mpsetup: " + StagedSetup + "\n    exit code 0\n"))
        return "the service process did not end with 0";
    std::string console;
    for (const auto& process : m.processes)
        if (process.console == "service" && process.commandLine == StagedSetup) console = process.output;
    if (!(console.empty() || endsWith(console, Complete) || endsWith(console, Complete + RebootForDriver) ||
          endsWith(console, Failed)))
        return "service console without its final message";
    // Every program that the start ran left nothing open.
    nlohmann::json reports = nlohmann::json::parse(scenario::readFile(p.machine.folder() + "/" + RestartReport), nullptr, false);
    if (!reports.is_array()) return "no restart report";
    for (const auto& program : reports) {
        if (program.value("exitCode", 0) < 0 && program.value("report", "") == "none") continue;  // not started
        if (program.value("openHandles", -1) != 0 || program.value("heapBlocks", -1) != 0)
            return program.value("commandLine", "?") + " left open: " + program.dump();
    }
    // The outcome the phase reports on the event log (or, where that entry
    // could not be written, the one its console claims) agrees with the
    // machine.
    int claimed = claimedByConsole(console);
    const std::string tag = "mpsetup exit code: ";
    for (const auto& e : m.eventLog)
        if (e.source == "mpsetup" && !e.strings.empty() && e.strings[0].rfind(tag, 0) == 0)
            claimed = std::atoi(e.strings[0].c_str() + tag.size());
    if (claimed < 0) return "";
    return oracle::disagreement({"the service phase", claimed, console, true}, m,
                                oracle::textsFor(0x0409, MEDIA_DIR));
}

class FirstPhaseSweep : public ::testing::TestWithParam<int> {};
class ServicePhaseSweep : public ::testing::TestWithParam<int> {};

// Every call of the first phase fails in turn.
TEST_P(FirstPhaseSweep, EveryCallFailingInTurn) {
    scenario::Machine fresh("default", ".fresh");
    scenario::Machine reference(fresh, ".reference");
    reference.timeoutSeconds = RunLimitSeconds;
    auto clean = reference.run(SweepCommand);
    ASSERT_EQ(clean.exitCode, 1) << clean.output;
    ASSERT_TRUE(clean.report.is_object());
    size_t count = clean.report.value("calls", 0u);
    ASSERT_GT(count, 50u) << "the undisturbed run counts the platform calls";

    std::vector<size_t> points;
    for (size_t n = 1; n <= count; n += sweepStride()) points.push_back(n);
    sweep(fresh, shardOf(points, GetParam(), FirstPhaseShards),
          [](scenario::Machine& m, size_t call) {
              return m.run(SweepCommand, "", "D:\\WIN2000", {"--fail", failing(call)});
          },
          firstPhaseVerdict);
}

// Calls of the service phase fail in turn, from the machine that an
// undisturbed first phase left.
TEST_P(ServicePhaseSweep, SampledCallsFailingInTurn) {
    scenario::Machine firstPhaseDone("default", ".start");
    firstPhaseDone.timeoutSeconds = RunLimitSeconds;
    auto first = firstPhaseDone.run(SweepCommand);
    ASSERT_EQ(first.exitCode, 1) << first.output;

    std::vector<size_t> points;
    for (size_t n = ServiceSampleStep; n <= ServiceCallBound; n += ServiceSampleStep * sweepStride())
        points.push_back(n);
    sweep(firstPhaseDone, shardOf(points, GetParam(), ServicePhaseShards),
          [](scenario::Machine& m, size_t call) {
              return m.winsim({"restart", "--fail", failing(call), "--report", m.folder() + "/" + RestartReport});
          },
          servicePhaseVerdict);
}

INSTANTIATE_TEST_SUITE_P(SweepFaults, FirstPhaseSweep, ::testing::Range(0, FirstPhaseShards));
INSTANTIATE_TEST_SUITE_P(SweepFaults, ServicePhaseSweep, ::testing::Range(0, ServicePhaseShards));

}  // namespace
