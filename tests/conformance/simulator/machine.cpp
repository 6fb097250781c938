// The machine the conformance checks run on in the Linux build: a plain
// simulated Windows 2000 machine in memory, whose drive C: is a folder of
// this run's own, with the device that the Wine suite makes as a root
// device in its prefix (one whose binding asks for a restart, which only
// the simulator can make: wine-no-restart-flag). At the end the simulator
// counts what the checks left open: nothing may be.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "conformance.h"
#include "sim/core/runtime.h"
#include "sim/machines/presets.h"

namespace conformance {

namespace {

std::string& hostFolder() {
    static std::string folder;
    return folder;
}

}  // namespace

void prepareMachine() {
    std::string& root = hostFolder();
    root = (std::filesystem::temp_directory_path() / ("korpa-conformance-" + std::to_string(::getpid()))).string();
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root + "/C/WINNT/system32/drivers");
    std::filesystem::create_directories(root + "/media");
    sim::Machine m = sim::baseMachine(root + "/media");
    m.drives["C"] = root + "/C";
    sim::Device restarting;
    restarting.instanceId = "ROOT\\KORPATEST\\0000";
    restarting.description = "Korpa conformance device";
    restarting.hardwareIds = {RestartDeviceId};
    restarting.needsRestart = true;
    m.devices.push_back(restarting);
    sim::resetForTest(m);
}

void finishMachine() {
    ok(sim::openHandleCount() == 0, "no handle is left open");
    ok(sim::heapBlockCount() == 0, "no heap block is left");
    std::filesystem::remove_all(hostFolder());
}

}  // namespace conformance
