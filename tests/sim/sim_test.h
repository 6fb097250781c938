// Shared set-up of the simulator's own tests: a fresh in-memory machine for
// every test, and nothing left open at its end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/runtime.h"
#include "sim/machines/presets.h"

namespace simtest {

// What an output value holds before a call, to see whether the call wrote it.
const DWORD Sentinel = 0xDEADBEEF;

// A plain Windows 2000 machine with the given extra devices; its media
// drive D: is the build's media.
inline sim::Machine machineWith(const std::vector<sim::Device>& devices = {}) {
    sim::Machine m = sim::baseMachine(BUILD_MEDIA_DIR);
    for (const auto& d : devices) m.devices.push_back(d);
    return m;
}

class MachineTest : public ::testing::Test {
protected:
    void start(const sim::Machine& m) { sim::resetForTest(m); }
    void SetUp() override { start(machineWith()); }
    void TearDown() override {
        EXPECT_EQ(sim::openHandleCount(), 0u) << "handles left open";
        EXPECT_EQ(sim::heapBlockCount(), 0u) << "heap blocks left";
    }
};

inline sim::Device deviceWithIds(const std::string& instance, std::vector<std::string> ids) {
    sim::Device d;
    d.instanceId = instance;
    d.hardwareIds = std::move(ids);
    return d;
}

}  // namespace simtest
