// A folder-backed machine with the media's driver package staged, for the
// tests of the driver binding (programs started by the binding need a
// machine that a child process can attach to).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "devices/driver_ops.h"
#include "devices/install_plan.h"
#include "sim/core/machine.h"
#include "messages/messages.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"
#include "setup/run_state.h"

namespace bindingtest {

namespace fs = std::filesystem;

// createRootDevice with the set handed over to the test, which releases it
// itself.
inline bool createRootDeviceKeepingSet(const char* hardwareId, const char* infPath, HDEVINFO* set,
                                       SP_DEVINFO_DATA* record) {
    DeviceSet owned;
    bool made = createRootDevice(hardwareId, infPath, owned, record).ok();
    if (owned) *set = owned.release();
    return made;
}

const char SystemDirectory[] = "C:\\WINNT\\system32";
const char StagingDirectory[] = "C:\\WINNT\\system32\\drivers\\korpa";

class BindingTest : public ::testing::Test {
protected:
    std::string folder;

    // Builds the machine with the devices; `stage` copies the media's
    // win2000 folder into the staging tree.
    void startMachine(const std::vector<sim::Device>& devices, bool stage = true) {
        char pattern[] = "/tmp/korpa-binding-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        sim::Machine m = sim::baseMachine(BUILD_MEDIA_DIR);
        for (const auto& d : devices) m.devices.push_back(d);
        fs::path system32 = fs::path(folder) / "drives/C/WINNT/system32";
        fs::create_directories(system32 / "drivers");
        if (stage) {
            fs::path win2000 = system32 / "drivers/korpa/win2000";
            fs::create_directories(win2000);
            for (const auto& e : fs::directory_iterator(fs::path(BUILD_MEDIA_DIR) / "win2000"))
                if (e.is_regular_file()) fs::copy_file(e.path(), win2000 / e.path().filename());
        }
        std::string error;
        ASSERT_TRUE(sim::saveFolder(folder, m, error)) << error;
        sim::resetForTest(m);
        ASSERT_TRUE(sim::attachFolder(folder, error)) << error;
        run = RunState{};
        outcome = BindingOutcome{};
        std::snprintf(run.directories.system, sizeof run.directories.system, "%s", SystemDirectory);
        std::snprintf(run.directories.staging, sizeof run.directories.staging, "%s", StagingDirectory);
    }

    void TearDown() override {
        EXPECT_EQ(sim::openHandleCount(), 0u) << "handles left open";
        EXPECT_EQ(sim::heapBlockCount(), 0u) << "heap blocks left";
        sim::clearFaults();
        removeFolder();
    }

    void removeFolder() {
        if (folder.empty()) return;
        std::error_code ec;
        fs::remove_all(folder, ec);
        folder.clear();
    }

    static std::string infPath(const char* name) { return std::string(StagingDirectory) + "\\win2000\\" + name; }
    static std::string bindingLine(const char* name) { return "Installing drivers for " + infPath(name) + ".\n"; }

    // Hardware ids of the bindings made, in order.
    static std::vector<std::string> boundIds() {
        std::vector<std::string> out;
        for (const auto& c : sim::callsOf("UpdateDriverForPlugAndPlayDevicesA")) out.push_back(c.args[1]);
        return out;
    }

    static const sim::Device* device(const std::string& instance) {
        for (const auto& d : sim::machine().devices)
            if (sim::equalNoCase(d.instanceId, instance)) return &d;
        return nullptr;
    }
    static const sim::Device* deviceWithId(const std::string& id) {
        for (const auto& d : sim::machine().devices)
            for (const auto& i : d.hardwareIds)
                if (i == id) return &d;
        return nullptr;
    }

    // Marks the entries, by their numbers in the device table, present.
    void flags(std::initializer_list<int> entries) {
        for (int k : entries) run.detection.present[k] = true;
    }

    RunState run = {};
    BindingOutcome outcome = {};
};

// The record's form of a text argument.
inline std::string q(const std::string& s) { return sim::arg(s); }

}  // namespace bindingtest
