// The earlier layer's removal of earlier software and the probes of the
// processor service and driver, on machines whose drive C: is a host folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "earlier/earlier_software.h"
#include "platform/win_services.h"
#include "staging_fixture.h"
#include "test_support.h"

namespace {

using stagingtest::stamped;
using stagingtest::StdinFeed;

const std::string System = "C:\\WINNT\\system32";
const std::string Staged = "C:\\WINNT\\system32\\drivers\\korpa\\win2000\\";

std::vector<std::string> commandLines() {
    std::vector<std::string> out;
    for (const auto& c : sim::callsOf("CreateProcessA")) out.push_back(c.args[1]);
    return out;
}

// Files named by CopyFileA calls, in order (the source path's last part).
std::vector<std::string> copiedNames() {
    std::vector<std::string> out;
    for (const auto& c : sim::callsOf("CopyFileA")) {
        std::string source = c.args[0];
        size_t cut = source.find_last_of('\\');
        out.push_back(source.substr(cut + 1, source.size() - cut - 2));
    }
    return out;
}

class EarlierSoftware : public stagingtest::StagingTest {
protected:
    void SetUp() override {
        StagingTest::SetUp();
        write(Staged + "QRVMPW.DLL", stamped("6.0", "MZ dll\r\n"));
        write(Staged + "QRVMPREM.EXE", stamped("6.0", "MZ rem\r\n"));
        write(Staged + "QRVMPSVC.EXE", stamped("6.0", "MZ svc\r\n"));
    }
    void TearDown() override {
        expectNoLeaks();
        StagingTest::TearDown();
    }
    // Puts a program in the system directory that ends with status 0.
    void installProgram(const std::string& name) {
        write(System + "\\" + name, "#!/bin/sh\nexit 0\n");
        ::chmod(host(System + "\\" + name).c_str(), 0755);
    }
    void restartWith(const std::function<void(sim::Machine&)>& change) {
        change(machine_);
        sim::resetForTest(machine_);
    }
};

TEST_F(EarlierSoftware, NothingInstalledQuietCopiesTheThreeFilesAndTriesTheInstaller) {
    run.quietMode = true;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(removeEarlierSoftware(run.messages, run.directories, run.quietMode));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(commandLines(), (std::vector<std::string>{sim::arg(System + "\\qrvrvosv.exe -remove"),
                                                        sim::arg(System + "\\qrvmpsvc.exe -remove"),
                                                        sim::arg(System + "\\qrvmpsvc.exe -install")}));
    // Neither remover started, so no refresh ran: one copy per file.
    EXPECT_EQ(copiedNames(), (std::vector<std::string>{"QRVMPW.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE"}));
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 3u);
    EXPECT_EQ(copies[0].args[0], sim::arg(Staged + "QRVMPW.DLL"));
    EXPECT_EQ(copies[0].args[1], sim::arg(System + "\\QRVMPW.DLL"));
    EXPECT_EQ(read(System + "\\QRVMPW.DLL"), stamped("6.0", "MZ dll\r\n"));
    EXPECT_EQ(read(System + "\\QRVMPSVC.EXE"), stamped("6.0", "MZ svc\r\n"));
    // The restart-feature cleanup ran its two passes.
    size_t rootOpens = 0;
    for (const auto& c : sim::callsOf("RegOpenKeyExA"))
        rootOpens += c.args[1] == sim::arg(std::string("SYSTEM\\CurrentControlSet\\Services\\"));
    EXPECT_EQ(rootOpens, 2u);
}

TEST_F(EarlierSoftware, InteractiveRefusalKeepsTheNewerInstalledFileAndGoesOn) {
    write(System + "\\QRVMPSVC.EXE", stamped("7.0", "MZ old svc\r\n"));
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(removeEarlierSoftware(run.messages, run.directories, run.quietMode));
    std::string out = testing::internal::GetCapturedStdout();

    char older[1100];
    std::snprintf(older, sizeof older, BuiltinMessages[MsgOlderThan], (Staged + "QRVMPSVC.EXE").c_str(),
                  (System + "\\QRVMPSVC.EXE").c_str());
    EXPECT_EQ(out, std::string("\n") + older + BuiltinMessages[MsgCopyAnyway]);
    EXPECT_EQ(read(System + "\\QRVMPSVC.EXE"), stamped("7.0", "MZ old svc\r\n"));
    EXPECT_EQ(read(System + "\\QRVMPREM.EXE"), stamped("6.0", "MZ rem\r\n"));
    EXPECT_EQ(copiedNames(), (std::vector<std::string>{"QRVMPW.DLL", "QRVMPREM.EXE"}));
    ASSERT_EQ(commandLines().size(), 3u);
    EXPECT_EQ(commandLines()[2], sim::arg(System + "\\qrvmpsvc.exe -install"));
}

TEST_F(EarlierSoftware, RemoverThatStartsIsFollowedByARefreshAndTheKeyCleanupCounts) {
    installProgram("qrvrvosv.exe");
    restartWith([](sim::Machine& m) {
        sim::RegKey& k = sim::ensureKey(m, Services + "qrvrvosv");
        k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(16)};
        sim::ensureKey(m, Services + "qrvrvosv\\Parameters");
    });
    run.quietMode = true;
    EXPECT_TRUE(removeEarlierSoftware(run.messages, run.directories, run.quietMode));
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvrvosv"), nullptr);
    // The refresh (two programs) comes before the three copies.
    EXPECT_EQ(copiedNames(), (std::vector<std::string>{"QRVMPREM.EXE", "QRVMPSVC.EXE", "QRVMPW.DLL", "QRVMPREM.EXE",
                                                       "QRVMPSVC.EXE"}));
    auto creates = sim::callsOf("CreateProcessA");
    ASSERT_EQ(creates.size(), 3u);
    EXPECT_EQ(sim::callsOf("WaitForSingleObject").size(), 1u);
}

// ---- the processor service probe ---------------------------------------------

class EarlierProcessorService : public testsupport::MachineTest {};

TEST_F(EarlierProcessorService, AnswersWhetherTheServiceOpensWithFullAccess) {
    EXPECT_FALSE(isProcessorServiceInstalled());

    sim::Machine m = testsupport::machineWith();
    sim::RegKey& k = sim::ensureKey(m, Services + "qrvmpsvc");
    k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(16)};
    start(m);
    EXPECT_TRUE(isProcessorServiceInstalled());
    // The probe's access is that of the probe for mpsetup (SetupRunMode).
    auto service = sim::callsOf("OpenServiceA");
    ASSERT_EQ(service.size(), 1u);
    EXPECT_EQ(service[0].args[1], "\"qrvmpsvc\"");

    // The second probe: the service exists but will not open with full access.
    sim::failCall("OpenServiceA", 2, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(isProcessorServiceInstalled());
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 3u);

    m.account = "user";
    start(m);
    EXPECT_FALSE(isProcessorServiceInstalled());
}

// ---- the processor driver's version ----------------------------------------

class EarlierDriverVersion : public testsupport::MachineTest {
protected:
    void withDisplayName(const std::string& bytes, uint32_t type = REG_SZ) {
        sim::Machine m = testsupport::machineWith();
        sim::RegKey& k = sim::ensureKey(m, Services + "qrvmpw");
        k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(1)};
        k.values["DisplayName"] = sim::RegValue{type, bytes};
        start(m);
    }
};

TEST_F(EarlierDriverVersion, RecognisedMarkersInTheirOrder) {
    struct Case {
        const char* name;
        bool lacks;
    } cases[] = {
        {"QRV Service Processor QRV (Version 4.99)", false}, {"QRV (Version 5.10)", false},
        {"QRV (Version 4.98)", true},                   {"QRV (Version 10.0)", true},
        {"QRV (Version 9.2)", false},                    {"QRV (Version 6.0) driver", false},
        {"QRV Service Processor (Version 4.21)", true}, {"qrv (version 9.0)", true},
        {"QRV (Version 4.9)", true},                    {"", true},
    };
    for (const auto& c : cases) {
        withDisplayName(sim::regSz(c.name));
        EXPECT_EQ(lacksRecognizedDriverVersion(), c.lacks) << c.name;
        EXPECT_EQ(sim::openHandleCount(), 0u);
    }
}

TEST_F(EarlierDriverVersion, MissingKeyOrValueOrTooLongValueCountsAsUnrecognised) {
    EXPECT_TRUE(lacksRecognizedDriverVersion());

    sim::Machine m = testsupport::machineWith();
    sim::ensureKey(m, Services + "qrvmpw").values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(1)};
    start(m);
    EXPECT_TRUE(lacksRecognizedDriverVersion());

    // 256 characters and the terminator do not fit the buffer.
    withDisplayName(sim::regSz(std::string(236, ' ') + "QRV (Version 9.0)xxx"));
    EXPECT_TRUE(lacksRecognizedDriverVersion());
}

TEST_F(EarlierDriverVersion, TextEndsAtTheFirstNulOrTheBytesRead) {
    // 256 bytes without a terminator, the marker at the very end.
    std::string full = std::string(256 - 17, '.') + "QRV (Version 4.99";
    ASSERT_EQ(full.size(), 256u);
    withDisplayName(full, REG_BINARY);
    EXPECT_FALSE(lacksRecognizedDriverVersion());

    // A marker behind an embedded NUL is not part of the text.
    withDisplayName(std::string("QRV driver\0QRV (Version 9.0)\0", 30));
    EXPECT_TRUE(lacksRecognizedDriverVersion());

    // A value shorter than the marker, without terminator.
    withDisplayName("QRV (Version 9", REG_SZ);
    EXPECT_TRUE(lacksRecognizedDriverVersion());
}

}  // namespace
