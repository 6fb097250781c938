// Fault sweep over the typical unattended installation: each platform call
// of the first phase in turn fails (the n-th call of the process with error
// 31), and then each of a bounded sample of the service phase's calls. Every
// run must end with one of the installer's exit codes and the message that
// goes with it: no crash, no hang, no sanitizer report, no handle or heap
// block left.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flow_support.h"
#include "harness.h"

using namespace flow;

namespace {

const std::string MediaSetup = "D:\\WIN2000\\SETUP.EXE /X";
const int RunLimitSeconds = 60;
const int Workers = 4;
// Every call up to here is made to fail; beyond it, every SampleStep-th.
const size_t AlwaysSwept = 200;
const size_t SampleStep = 4;
// The service phase's calls are not counted from outside; a bounded range is
// sampled (faults past its last call leave the run clean).
const size_t ServiceCallBound = 400;
const size_t ServiceSampleStep = 10;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool sanitizerReport(const std::string& text) {
    return contains(text, "AddressSanitizer") || contains(text, "runtime error:") ||
           contains(text, "LeakSanitizer");
}

// The final text that goes with an exit code of the first phase.
std::string firstPhaseVerdict(const scenario::RunResult& r) {
    if (sanitizerReport(r.output)) return "sanitizer report";
    switch (r.exitCode) {
        case 0:
            return endsWith(r.output, Complete) ? "" : "exit 0 without message 13";
        case 1:
            return endsWith(r.output, RemovedOld) || endsWith(r.output, Complete + RebootForDriver)
                       ? ""
                       : "exit 1 without message 78 or messages 13 and 32";
        case 2:
            return endsWith(r.output, Failed) || endsWith(r.output, RemovingOld) ? "" : "exit 2 without message 28";
        case 8:
            return endsWith(r.output, Failed) ? "" : "exit 8 without message 28";
        case 124:
            return "hang";
        default:
            return "exit code " + std::to_string(r.exitCode);
    }
}

// Runs `job(n)` for every n of `points` on a few threads.
template <typename Job>
void forEachPoint(const std::vector<size_t>& points, Job job) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (size_t i; (i = next++) < points.size();) job(w, points[i]);
        });
    for (auto& t : threads) t.join();
}

std::vector<size_t> sweepPoints(size_t count, size_t always, size_t step) {
    std::vector<size_t> points;
    for (size_t n = 1; n <= count; ++n)
        if (n <= always || n % step == 0 || n == count) points.push_back(n);
    return points;
}

TEST(SweepFaults, EveryFirstPhaseCallFailingInTurn) {
    scenario::Machine clean("default", ".clean");
    clean.timeoutSeconds = RunLimitSeconds;
    auto reference = clean.run(MediaSetup);
    ASSERT_EQ(reference.exitCode, 1) << reference.output;
    ASSERT_TRUE(reference.report.is_object());
    size_t count = reference.report.value("calls", 0u);
    ASSERT_GT(count, 50u) << "the traced run counts the platform calls";

    std::mutex guard;
    std::vector<std::string> failures;
    std::vector<size_t> points = sweepPoints(count, AlwaysSwept, SampleStep);
    forEachPoint(points, [&](int worker, size_t n) {
        scenario::Machine machine("default", ".w" + std::to_string(worker));
        machine.timeoutSeconds = RunLimitSeconds;
        auto r = machine.run(MediaSetup, "", "D:\\WIN2000", {"--fail", "*#" + std::to_string(n) + "=31"});
        std::string verdict = firstPhaseVerdict(r);
        if (verdict.empty() && r.report.is_object() &&
            (r.report.value("openHandles", -1) != 0 || r.report.value("heapBlocks", -1) != 0))
            verdict = "left open: " + r.report.dump();
        if (verdict.empty() && !r.report.is_object()) verdict = "no exit report";
        if (!verdict.empty()) {
            std::lock_guard<std::mutex> g(guard);
            failures.push_back("call " + std::to_string(n) + ": " + verdict + "\n" + r.output);
        }
    });
    for (const auto& f : failures) ADD_FAILURE() << f;
    RecordProperty("points", static_cast<int>(points.size()));
}

TEST(SweepFaults, ServicePhaseCallsFailingInTurn) {
    std::mutex guard;
    std::vector<std::string> failures;
    std::vector<size_t> points = sweepPoints(ServiceCallBound, 0, ServiceSampleStep);
    forEachPoint(points, [&](int worker, size_t n) {
        scenario::Machine machine("default", ".w" + std::to_string(worker));
        machine.timeoutSeconds = RunLimitSeconds;
        auto first = machine.run(MediaSetup);
        if (first.exitCode != 1) {
            std::lock_guard<std::mutex> g(guard);
            failures.push_back("first phase ended with " + std::to_string(first.exitCode));
            return;
        }
        auto start = machine.winsim({"restart", "--fail", "*#" + std::to_string(n) + "=31"});
        std::string verdict;
        if (start.exitCode == 124) verdict = "hang";
        else if (start.exitCode != 0) verdict = "restart ended with " + std::to_string(start.exitCode);
        else if (sanitizerReport(start.output)) verdict = "sanitizer report";
        else if (!contains(start.output, "  service mpsetup: " + StagedSetup + "\n    exit code 0\n"))
            verdict = "the service process did not end with 0";
        else {
            sim::Machine m = machine.state();
            const std::string& console = m.processes.empty() ? std::string() : m.processes.back().output;
            if (!(console.empty() || endsWith(console, Complete) || endsWith(console, Complete + RebootForDriver) ||
                  endsWith(console, Failed)))
                verdict = "service console without its final message";
        }
        if (!verdict.empty()) {
            std::lock_guard<std::mutex> g(guard);
            failures.push_back("service call " + std::to_string(n) + ": " + verdict + "\n" + start.output);
        }
    });
    for (const auto& f : failures) ADD_FAILURE() << f;
}

}  // namespace
