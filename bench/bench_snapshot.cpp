// The snapshot program's capture of the devices against the size of the
// machine: an in-memory simulated machine with 1,000 and then 10,000
// unrelated PCI devices, each bound to a driver, captured (instance id,
// class, ids, driver key, INF and section) and written as a description.
// The figure is the ratio of the CPU time per device at 10,000 devices to
// that at 1,000: about 1 for a capture that is linear in the devices, about
// 10 for one with a quadratic term.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "sim/machines/presets.h"
#include "sim/core/runtime.h"
#include "snapshot.h"

namespace {

const char* const SystemClass = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

sim::Machine machineWith(int devices) {
    sim::Machine m = sim::baseMachine("/tmp/korpa-bench-media");
    char instance[160], id[64], driver[64];
    for (int i = 0; i < devices; ++i) {
        std::snprintf(id, sizeof id, "PCI\\VEN_8086&DEV_%04X", i);
        std::snprintf(instance, sizeof instance, "%s&SUBSYS_00000000&REV_01\\3&61AAA01&0&%d", id, i);
        std::snprintf(driver, sizeof driver, "%s\\%04d", SystemClass, i);
        sim::Device d;
        d.instanceId = instance;
        d.hardwareIds = {std::string(id) + "&SUBSYS_00000000&REV_01", id};
        m.devices.push_back(d);
        sim::ensureKey(m, std::string("SYSTEM\\CurrentControlSet\\Enum\\") + instance).values["Driver"] =
            sim::RegValue{1, sim::regSz(driver)};
        sim::RegKey& k = sim::ensureKey(m, std::string("SYSTEM\\CurrentControlSet\\Control\\Class\\") + driver);
        k.values["InfPath"] = sim::RegValue{1, sim::regSz("machine.inf")};
        k.values["InfSection"] = sim::RegValue{1, sim::regSz("PCI_DRV")};
    }
    return m;
}

void BM_captureDevices(benchmark::State& state) {
    int devices = static_cast<int>(state.range(0));
    sim::useMachine(machineWith(devices));
    sim::recordCalls(false);
    for (auto _ : state) {
        snapshot::Capture capture;
        snapshot::Failure failure;
        snapshot::Text description;
        if (!snapshot::captureDevices(capture, failure)) state.SkipWithError(failure.what);
        snapshot::writeDescriptionText(capture, description);
        benchmark::DoNotOptimize(description.data);
    }
    state.counters["devices"] = devices;
}
BENCHMARK(BM_captureDevices)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The CPU time per device of each size, the median when runs repeat.
class PerDeviceReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            bool single = r.run_type == Run::RT_Iteration && !fromMedian_.count(r.run_name.str());
            auto n = r.counters.find("devices");
            if ((!median && !single) || r.iterations <= 0 || n == r.counters.end()) continue;
            perDevice_[static_cast<int>(n->second.value)] = r.GetAdjustedCPUTime() / n->second.value;
            if (median) fromMedian_[r.run_name.str()] = true;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double perDevice(int devices) const {
        auto it = perDevice_.find(devices);
        return it == perDevice_.end() ? 0 : it->second;
    }

private:
    std::map<int, double> perDevice_;
    std::map<std::string, bool> fromMedian_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    PerDeviceReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double small = reporter.perDevice(1000), large = reporter.perDevice(10000);
    if (small > 0 && large > 0)
        std::printf("\nCPU time per device, 10,000 devices / 1,000 devices: %.2f\n", large / small);
    benchmark::Shutdown();
    return 0;
}
