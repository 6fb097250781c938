// The setup layer's scheduling of the second phase: the one-shot service
// and the RunOnce value, with their failure paths.
#include <gtest/gtest.h>

#include "messages/messages.h"
#include "setup/second_phase.h"
#include "test_support.h"

namespace {

const std::string RunOnce = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

std::string valueText(const std::string& keyPath, const std::string& name) {
    sim::RegKey* k = sim::findKey(sim::machine(), keyPath);
    if (!k) return "<no key>";
    auto it = k->values.find(name);
    return it == k->values.end() ? "<no value>" : it->second.data;
}

class SetupSecondPhase : public testsupport::MachineTest {
protected:
    void withSystemDirectory(const std::string& dir, const std::string& account = "administrator") {
        sim::Machine m = testsupport::machineWith();
        m.systemDirectory = dir;
        m.account = account;
        start(m);
    }
};

TEST_F(SetupSecondPhase, CreatesTheServiceWithItsRecord) {
    withSystemDirectory("D:\\WINNT\\system32");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(createSecondPhaseService().ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    auto creates = sim::callsOf("CreateServiceA");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(std::vector<std::string>(creates[0].args.begin() + 1, creates[0].args.end()),
              (std::vector<std::string>{"\"mpsetup\"", "\"QRV Varnock Installation\"", "0xF01FF", "0x10", "2", "1",
                                        sim::arg("D:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE"), "null",
                                        "null", "null", "null", "null"}));
    EXPECT_EQ(sim::callsOf("OpenSCManagerA")[0].args, (std::vector<std::string>{"null", "null", "0xF003F"}));
    EXPECT_EQ(sim::callsOf("OpenServiceA")[0].args[2], "0xF01FF");
    EXPECT_EQ(valueText(Services + "mpsetup", "ImagePath"),
              sim::regSz("D:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE"));
    EXPECT_EQ(valueText(Services + "mpsetup", "Start"), sim::regDword(2));
    EXPECT_EQ(valueText(Services + "mpsetup", "ObjectName"), sim::regSz("LocalSystem"));
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 2u);
}

TEST_F(SetupSecondPhase, ExistingServiceStaysAsItWas) {
    sim::Machine m = testsupport::machineWith();
    sim::RegKey& k = sim::ensureKey(m, Services + "mpsetup");
    k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(16)};
    k.values["Start"] = sim::RegValue{REG_DWORD, sim::regDword(3)};
    k.values["ImagePath"] = sim::RegValue{REG_EXPAND_SZ, sim::regSz("C:\\old\\SETUP.EXE")};
    start(m);
    EXPECT_TRUE(createSecondPhaseService().ok());
    EXPECT_TRUE(sim::callsOf("CreateServiceA").empty());
    EXPECT_EQ(valueText(Services + "mpsetup", "ImagePath"), sim::regSz("C:\\old\\SETUP.EXE"));
    EXPECT_EQ(valueText(Services + "mpsetup", "Start"), sim::regDword(3));
}

TEST_F(SetupSecondPhase, PlainUserGetsNoServiceAndNoMessage) {
    withSystemDirectory("C:\\WINNT\\system32", "user");
    testing::internal::CaptureStdout();
    Result r = createSecondPhaseService();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(r.operation(), "OpenSCManagerA");
    EXPECT_EQ(r.error(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(sim::callsOf("OpenServiceA").empty());
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "mpsetup"), nullptr);
}

TEST_F(SetupSecondPhase, RefusedCreationClosesTheManager) {
    sim::failCall("CreateServiceA", 1, ERROR_ACCESS_DENIED);
    Result r = createSecondPhaseService();
    EXPECT_STREQ(r.operation(), "CreateServiceA");
    EXPECT_EQ(r.error(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_STREQ(r.object(), "mpsetup");
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 1u);
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "mpsetup"), nullptr);
}

TEST_F(SetupSecondPhase, SystemDirectoryTooLongForThePathCreatesNothing) {
    // 490 characters leave no room for the 32 of the staged program's tail.
    withSystemDirectory("C:\\" + std::string(487, 'S'));
    EXPECT_FALSE(createSecondPhaseService().ok());
    EXPECT_TRUE(sim::callsOf("CreateServiceA").empty());
    EXPECT_EQ(setSecondPhaseRunOnce().error(), static_cast<unsigned long>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(sim::callsOf("RegSetValueExA").empty());

    // One that fits exactly: 519 characters of path.
    withSystemDirectory("C:\\" + std::string(484, 'S'));
    EXPECT_TRUE(createSecondPhaseService().ok());
}

// The staged program's command is built from a fresh query of the system
// directory: when it cannot be read, neither road is scheduled.
TEST_F(SetupSecondPhase, UnreadableSystemDirectorySchedulesNothing) {
    withSystemDirectory("D:\\WINNT\\system32");
    sim::failCall("GetSystemDirectoryA", 0, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(createSecondPhaseService().ok());
    EXPECT_FALSE(setSecondPhaseRunOnce().ok());
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "mpsetup"), nullptr);
    EXPECT_TRUE(sim::callsOf("RegSetValueExA").empty());
}

TEST_F(SetupSecondPhase, RunOnceValueOverwritesAnEarlierOne) {
    sim::Machine m = testsupport::machineWith();
    m.systemDirectory = "D:\\WINNT\\system32";
    sim::ensureKey(m, RunOnce).values["Setup"] = sim::RegValue{REG_SZ, sim::regSz("C:\\old.exe")};
    start(m);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(setSecondPhaseRunOnce().ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string command = "D:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE -R";
    EXPECT_EQ(valueText(RunOnce, "Setup"), sim::regSz(command));
    sim::RegKey* k = sim::findKey(sim::machine(), RunOnce);
    EXPECT_EQ(k->values["Setup"].type, REG_SZ);

    auto create = sim::callsOf("RegCreateKeyExA");
    ASSERT_EQ(create.size(), 1u);
    EXPECT_EQ(create[0].args, (std::vector<std::string>{"HKEY_LOCAL_MACHINE", sim::arg(RunOnce), "0", "null", "0",
                                                        "0xF003F", "null"}));
    auto set = sim::callsOf("RegSetValueExA");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].args[1], "\"Setup\"");
    EXPECT_EQ(set[0].args[3], "1");
    EXPECT_EQ(set[0].args[5], std::to_string(command.size() + 1));
}

TEST_F(SetupSecondPhase, RunOnceKeyCreatedWhenMissing) {
    sim::Machine m = testsupport::machineWith();
    sim::RegKey* version = sim::findKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    version->subkeys.erase("RunOnce");
    start(m);
    EXPECT_TRUE(setSecondPhaseRunOnce().ok());
    EXPECT_EQ(valueText(RunOnce, "Setup"), sim::regSz("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE -R"));
}

TEST_F(SetupSecondPhase, RefusedRegistryWritesNameTheCallTheErrorAndTheKey) {
    for (const char* function : {"RegCreateKeyExA", "RegSetValueExA"}) {
        start(testsupport::machineWith());
        sim::failCall(function, 1, ERROR_ACCESS_DENIED);
        testing::internal::CaptureStdout();
        Result r = setSecondPhaseRunOnce();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the flow prints the message";
        EXPECT_STREQ(r.operation(), function);
        EXPECT_EQ(r.error(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
        EXPECT_STREQ(r.object(), RunOnce.c_str());
        EXPECT_EQ(valueText(RunOnce, "Setup"), "<no value>");
        EXPECT_EQ(sim::openHandleCount(), 0u) << function;
    }
    // A plain user may not write below HKLM at all.
    withSystemDirectory("C:\\WINNT\\system32", "user");
    EXPECT_EQ(setSecondPhaseRunOnce().error(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
}

}  // namespace
