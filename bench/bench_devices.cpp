// How the simulated machine scales with its number of devices: the
// installer's detection (in this process, on an in-memory machine) and a
// whole `SETUP.EXE /Q` through `winsim run` on machines that carry 1,000
// and 10,000 devices unrelated to the product family. After the run the
// program prints, for each, the cost per device on the large machine
// divided by the cost per device on the small one: near 1 when the cost
// grows linearly with the devices, near 10 when it grows with their square.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "sim/core/machine_json.h"
#include "sim/machines/presets.h"
#include "ratio_reporter.h"
#include "sim/core/runtime.h"
#include "setup/run_state.h"

namespace fs = std::filesystem;

namespace {

const int Small = 1000;
const int Large = 10000;

// A PCI device with two hardware ids, none of them known to the installer.
sim::Device unrelatedDevice(int n) {
    char ids[2][64];
    char instance[96];
    std::snprintf(ids[0], sizeof ids[0], "PCI\\VEN_8086&DEV_%04X&SUBSYS_%04X8086&REV_01", 0x1000 + n % 0x8000,
                  n % 0x10000);
    std::snprintf(ids[1], sizeof ids[1], "PCI\\VEN_8086&DEV_%04X", 0x1000 + n % 0x8000);
    std::snprintf(instance, sizeof instance, "%s\\3&61AAA01&0&%06X", ids[0], n);
    sim::Device d;
    d.instanceId = instance;
    d.hardwareIds = {ids[0], ids[1]};
    d.description = "PCI device";
    return d;
}

sim::Machine largeMachine(int devices) {
    sim::Machine m = sim::baseMachine(MEDIA_DIR);
    for (int n = 0; n < devices; ++n) m.devices.push_back(unrelatedDevice(n));
    return m;
}

// The installer's detection of the known devices and of the USB management
// device, as the first phase runs it.
void BM_detection(benchmark::State& state) {
    sim::useMachine(largeMachine(static_cast<int>(state.range(0))));
    sim::recordCalls(false);
    int found = 0;
    for (auto _ : state) {
        RunState run = {};
        if (!detectKnownDevices(run.detection).ok()) {
            state.SkipWithError("the device scan failed");
            return;
        }
        found += anyKnownDevicePresent(run.detection);
        found += isUsbManagementDevicePresent(run.detection);
    }
    if (found != 0) state.SkipWithError("a known device was detected on a machine without one");
    state.counters["devices"] = static_cast<double>(state.range(0));
}

double childrenCpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_CHILDREN, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// A whole quiet installation through winsim run; its time is the CPU time
// of winsim and every program it started (steadier than wall time on a
// shared machine). The machine folder is made again before each run,
// outside the time.
void BM_winsimRunQuiet(benchmark::State& state) {
    int devices = static_cast<int>(state.range(0));
    std::string root = (fs::temp_directory_path() / ("bench-devices-" + std::to_string(::getpid()))).string();
    std::string description = root + "/machine.json";
    std::string folder = root + "/machine";
    fs::create_directories(root);
    nlohmann::json j;
    sim::toJson(largeMachine(devices), j);
    std::ofstream(description) << j.dump();
    for (auto _ : state) {
        fs::remove_all(folder);
        std::string create = std::string(WINSIM_BINARY) + " create " + folder + " --from " + description + " > /dev/null";
        if (std::system(create.c_str()) != 0) {
            state.SkipWithError("winsim create failed");
            break;
        }
        double before = childrenCpuSeconds();
        std::string run = std::string(WINSIM_BINARY) + " run " + folder + " --cwd 'D:\\WIN2000' --output " + root +
                          "/console.txt -- 'D:\\WIN2000\\SETUP.EXE /Q'";
        int status = std::system(run.c_str());
        state.SetIterationTime(childrenCpuSeconds() - before);
        // No known device: the legacy setup program runs and its exit code 0
        // is passed on.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("SETUP.EXE /Q did not end with 0");
            break;
        }
    }
    fs::remove_all(root);
    state.counters["devices"] = static_cast<double>(devices);
}

BENCHMARK(BM_detection)->Arg(Small)->Arg(Large)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_winsimRunQuiet)->Arg(Small)->Arg(Large)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void printPerDeviceRatio(const RatioReporter& r, const char* what, const std::string& name, const char* suffix) {
    auto small = r.times.find(name + "/" + std::to_string(Small) + suffix);
    auto large = r.times.find(name + "/" + std::to_string(Large) + suffix);
    if (small == r.times.end() || large == r.times.end() || small->second <= 0) return;
    double ratio = (large->second / Large) / (small->second / Small);
    std::printf("  %-58s %6.2f\n", what, ratio);
}

}  // namespace

int main(int argc, char** argv) {
    RatioReporter reporter;
    if (!runBenchmarks(argc, argv, reporter)) return 1;
    std::printf("\nCost per device with %d devices / cost per device with %d (linear: about 1 or below):\n", Large,
                Small);
    printPerDeviceRatio(reporter, "detection (CPU time of this process)", "BM_detection", "");
    printPerDeviceRatio(reporter, "SETUP.EXE /Q through winsim run (CPU time of the processes)", "BM_winsimRunQuiet",
                        "/iterations:3/manual_time");
    benchmark::Shutdown();
    return 0;
}
