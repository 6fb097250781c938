// The installer started as a process in a machine folder: force codes, the
// invalid force code and the dispatcher failure seen from outside.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

TEST(Startup, InvalidForceCodeEndsTheRunWithZeroAndNothingElse) {
    scenario::Machine m("default");
    scenario::RunResult r = m.run("D:\\WIN2000\\SETUP.EXE -FZ /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "Invalid force code!\n");
    ASSERT_TRUE(r.report.is_object());
    EXPECT_EQ(r.report["openHandles"], 0);
    EXPECT_EQ(r.report["calls"], 0) << "no platform call at all";
}

TEST(Startup, ForceCodeNoticesComeBeforeTheBanner) {
    scenario::Machine m("clean");
    scenario::RunResult r = m.run("D:\\WIN2000\\SETUP.EXE -fa -FP /q");
    EXPECT_EQ(r.output.rfind("Skipping hardware detection - forcing RVO.\n"
                             "Skipping hardware detection - forcing Ferrix.\n"
                             "QRV Service Processor server software installation\n\r",
                             0),
              0u)
        << r.output;
    EXPECT_EQ(r.report["openHandles"], 0);
    EXPECT_EQ(r.report["heapBlocks"], 0);
}

TEST(Startup, RegisteredServiceMakesAConsoleStartFailInTheDispatcher) {
    scenario::Machine m("default");
    m.edit([](sim::Machine& state) {
        sim::RegKey& k = sim::ensureKey(state, "SYSTEM\\CurrentControlSet\\Services\\mpsetup");
        k.values["Type"] = sim::RegValue{4, sim::regDword(0x10)};
        k.values["Start"] = sim::RegValue{4, sim::regDword(2)};
    });
    scenario::RunResult r = m.run("D:\\WIN2000\\SETUP.EXE");
    EXPECT_EQ(r.exitCode, 1) << "the second phase is still pending: a restart is needed";
    EXPECT_EQ(r.output, "");
    sim::Machine after = m.state();
    ASSERT_EQ(after.eventLog.size(), 1u);
    EXPECT_EQ(after.eventLog[0].strings,
              (std::vector<std::string>{"mpsetup error: 1063", "StartServiceCtrlDispatcher failed."}));
    EXPECT_EQ(after.eventLog[0].process, "D:\\WIN2000\\SETUP.EXE");
    bool sawSystemDirectory = false;
    for (const auto& call : r.trace)
        if (call["function"] == "GetSystemDirectoryA") sawSystemDirectory = true;
    EXPECT_FALSE(sawSystemDirectory) << "the first phase must not run";
}

TEST(Startup, DetectionCallsCarryTheExactFlags) {
    scenario::Machine m("default");
    scenario::RunResult r = m.run("D:\\WIN2000\\SETUP.EXE /Q");
    std::vector<std::string> flags;
    for (const auto& call : r.trace)
        if (call["function"] == "SetupDiGetClassDevsA") flags.push_back(call["args"][3]);
    ASSERT_GE(flags.size(), 2u);
    EXPECT_EQ(flags[0], "0x12") << "the HID probe comes first";
    EXPECT_EQ(flags[1], "0x6");
}

}  // namespace
