// Shared set-up of the unit tests: a fresh in-memory machine and fresh run
// values for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/machine.h"
#include "platform/win_devices.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"
#include "setup/run_state.h"

// What an output value holds before a call, to see whether the call wrote it.
const DWORD Sentinel = 0xDEADBEEF;
const std::string Services = "SYSTEM\\CurrentControlSet\\Services\\";

namespace testsupport {

// A plain Windows 2000 machine with the given extra devices; its media
// drive D: is an empty temporary folder.
inline sim::Machine machineWith(const std::vector<sim::Device>& devices = {}) {
    sim::Machine m = sim::baseMachine("/tmp/korpa-unit-media");
    for (const auto& d : devices) m.devices.push_back(d);
    return m;
}

class MachineTest : public ::testing::Test {
protected:
    void start(const sim::Machine& m) {
        sim::resetForTest(m);
        run = RunState{};
    }
    void SetUp() override { start(machineWith()); }
    void TearDown() override {
        EXPECT_EQ(sim::openHandleCount(), 0u) << "handles left open";
        EXPECT_EQ(sim::heapBlockCount(), 0u) << "heap blocks left";
    }

    RunState run = {};
};

inline sim::Device deviceWithIds(const std::string& instance, std::vector<std::string> ids) {
    sim::Device d;
    d.instanceId = instance;
    d.hardwareIds = std::move(ids);
    return d;
}

inline sim::Device deviceWithRawIds(const std::string& instance, const std::string& raw) {
    sim::Device d;
    d.instanceId = instance;
    d.rawIds = true;
    d.rawHardwareIds = raw;
    return d;
}

}  // namespace testsupport
