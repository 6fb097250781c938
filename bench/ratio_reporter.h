// The benchmarks' reporter: prints what Google Benchmark prints, and keeps
// for the ratios printed after the run each benchmark's time per iteration
// (the median of its repetitions when there are several) and its counters
// (under "<benchmark>:<counter>").
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            if (r.iterations <= 0 || r.error_occurred) continue;
            std::string name = r.run_name.str();
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!median && (r.run_type != Run::RT_Iteration || medians_.count(name))) continue;
            if (median) medians_.insert(name);
            // CPU time, steadier than wall time on a machine busy with other
            // work; a benchmark that times itself reports its own time.
            times[name] = name.find("manual_time") != std::string::npos ? r.GetAdjustedRealTime()
                                                                         : r.GetAdjustedCPUTime();
            for (const auto& [counter, value] : r.counters) times[name + ":" + counter] = value.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> times;

private:
    std::set<std::string> medians_;
};

// Runs the benchmarks that the command line selects into the reporter;
// false when the command line holds what Google Benchmark does not know.
inline bool runBenchmarks(int argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return true;
}
