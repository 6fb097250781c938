// The setup layer's second phase as the service "mpsetup": run through the
// simulated control dispatcher on an in-memory machine whose staging tree
// holds the driver package.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "devices/device_table.h"
#include "devices/install_plan.h"
#include "messages/messages.h"
#include "sim/services/dispatcher.h"
#include "sim/services/services.h"
#include "setup/service_phase.h"
#include "test_support.h"

#include "driver_inf.h"

namespace fs = std::filesystem;

namespace {

const char* const StagingWin2000 = "WINNT/system32/drivers/korpa/win2000";

using testinf::inf;

void writeFile(const fs::path& p, const std::string& text, bool executable = false) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    if (executable) ::chmod(p.c_str(), 0755);
}

SERVICE_TABLE_ENTRYA DispatchTable[] = {
    {const_cast<LPSTR>("mpsetup"), serviceMain},
    {nullptr, nullptr},
};

class SetupServicePhase : public testsupport::MachineTest {
protected:
    void SetUp() override {
        drive = fs::temp_directory_path() /
                ("korpa-service-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(drive);
        fs::path staged = drive / StagingWin2000;
        writeFile(staged / "korpa.inf", inf("\"Adapter\"=Install,PCI\\VEN_1D3C&DEV_0207&CC_0680", true));
        writeFile(staged / "serw.inf", inf("\"Port\"=Install,MF\\MGTPROC_DEV3\n\"Port0\"=Install,MF\\MGTPROC_DEV0"));
        writeFile(staged / "mpw.inf", inf("\"Processor\"=Install,MF\\MGTPROC_DEV5\n\"Proc1\"=Install,MF\\MGTPROC_DEV1"));
        writeFile(drive / "WINNT/system32/qrvmpsvc.exe", "#!/bin/sh\nexit 0\n", true);
        ::setenv("WINSIM_SERVICE", "mpsetup", 1);
        start(defaultMachine());
    }
    void TearDown() override {
        ::unsetenv("WINSIM_SERVICE");
        testsupport::MachineTest::TearDown();
        fs::remove_all(drive);
    }

    // The newer adapter with child function 4 of the old generation, and
    // the service that the first phase scheduled.
    sim::Machine defaultMachine(bool adapterNeedsRestart = false) {
        sim::Device adapter = sim::newerAdapter();
        adapter.needsRestart = adapterNeedsRestart;
        sim::Machine m = testsupport::machineWith({adapter, sim::childFunction(4, adapter.instanceId)});
        m.drives["C"] = drive.string();
        sim::RegKey& k = sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup");
        k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(SERVICE_WIN32_OWN_PROCESS)};
        k.values["Start"] = sim::RegValue{REG_DWORD, sim::regDword(SERVICE_AUTO_START)};
        k.values["ImagePath"] =
            sim::RegValue{REG_EXPAND_SZ, sim::regSz("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE")};
        m.services["mpsetup"] = sim::ServiceRuntime{};
        return m;
    }

    // Runs the process's dispatcher as the service control manager would.
    BOOL runService() {
        testing::internal::CaptureStdout();
        BOOL ok = StartServiceCtrlDispatcherA(DispatchTable);
        output = testing::internal::GetCapturedStdout();
        return ok;
    }

    std::vector<uint32_t> reported() { return sim::machine().services["mpsetup"].reported; }
    bool deletePending() { return sim::machine().services["mpsetup"].deletePending; }
    std::vector<std::string> eventStrings(size_t i) { return sim::machine().eventLog.at(i).strings; }
    // Calls of a function made after the manager was opened.
    size_t countAfterManager(const std::string& function) {
        size_t n = 0;
        const auto& all = sim::calls();
        for (size_t i = indexOf("OpenSCManagerA"); i < all.size(); ++i) n += all[i].function == function;
        return n;
    }
    size_t indexOf(const std::string& function, size_t nth = 1) {
        size_t seen = 0;
        const auto& all = sim::calls();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].function == function && ++seen == nth) return i;
        return all.size();
    }

    fs::path drive;
    std::string output;
};

const std::string Complete = "Installation complete\n\r";
const std::string Reboot = "Reboot the machine for the device driver to start. \n\r";
const std::string Failed = "\nInstallation failed\n";

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(SetupServicePhase, BindingThatAsksForARestartDeletesTheServiceAndRequestsTheReboot) {
    start(defaultMachine(true));
    ASSERT_TRUE(runService());
    EXPECT_TRUE(endsWith(output, Complete + Reboot)) << output;
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_TRUE(deletePending());
    // The simulated machine restarts only for a token whose shutdown
    // privilege was enabled.
    EXPECT_EQ(sim::machine().rebootRequests, std::vector<uint32_t>{EWX_REBOOT});

    // The status record as the service control manager reads it.
    auto status = sim::callsOf("SetServiceStatus");
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(status[0].args.begin() + 1, status[0].args.end()),
              (std::vector<std::string>{"state=4", "type=0x10", "accepted=1", "exit=0", "specific=0", "checkpoint=0",
                                        "wait=0"}));
    EXPECT_EQ(status[1].args[1], "state=1");
    EXPECT_EQ(status[1].args[4], "exit=0");
    EXPECT_EQ(status[1].args[5], "specific=0");

    // The outcome in the event log, written before the service goes: one
    // information entry in the form of the error entries.
    auto reports = sim::callsOf("ReportEventA");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].args, (std::vector<std::string>{reports[0].args[0], "4", "0", "0", "null", "2", "0",
                                                         "\"mpsetup exit code: 1\"",
                                                         "\"Installation complete. Reboot the machine for the device "
                                                         "driver to start.\"",
                                                         "null"}));
    ASSERT_EQ(sim::machine().eventLog.size(), 1u);
    EXPECT_EQ(sim::machine().eventLog[0].source, "mpsetup");

    // The entry, then the deletion, then the restart request, then the
    // handles, and stopped last.
    EXPECT_LT(indexOf("ReportEventA"), indexOf("DeleteService"));
    EXPECT_LT(indexOf("DeleteService"), indexOf("ExitWindowsEx"));
    EXPECT_LT(indexOf("ExitWindowsEx"), indexOf("CloseServiceHandle"));
    EXPECT_EQ(sim::calls().back().function, "SetServiceStatus");
}

TEST_F(SetupServicePhase, SecondPhaseBindsChildFunctionFiveThroughTheTemporaryRootDevice) {
    ASSERT_TRUE(runService());
    auto binds = sim::callsOf("UpdateDriverForPlugAndPlayDevicesA");
    ASSERT_EQ(binds.size(), 3u) << output;
    EXPECT_EQ(binds[0].args[1], "\"PCI\\\\VEN_1D3C&DEV_0207&CC_0680\"");
    EXPECT_EQ(binds[0].args[2], "\"C:\\\\WINNT\\\\system32\\\\drivers\\\\korpa\\\\win2000\\\\korpa.inf\"");
    EXPECT_EQ(binds[1].args[1], "\"MF\\\\MGTPROC_DEV3\"");
    EXPECT_EQ(binds[2].args[1], "\"MF\\\\MGTPROC_DEV5\"");
    EXPECT_LT(indexOf("SetupDiCreateDeviceInfoA"), indexOf("UpdateDriverForPlugAndPlayDevicesA", 2));
    EXPECT_LT(indexOf("UpdateDriverForPlugAndPlayDevicesA", 3), indexOf("SetupDiCallClassInstaller", 2));
    for (const auto& d : sim::machine().devices) EXPECT_FALSE(d.rootCreated) << d.instanceId;
    auto runs = sim::callsOf("CreateProcessA");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args[1], "\"C:\\\\WINNT\\\\system32\\\\qrvmpsvc.exe -install\"");
    EXPECT_TRUE(endsWith(output, Complete)) << output;
    EXPECT_EQ(output.find(Reboot), std::string::npos);
    // Complete without a restart: deleted, no reboot.
    EXPECT_TRUE(deletePending());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_TRUE(sim::callsOf("OpenProcessToken").empty());
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(SetupServicePhase, FailedInstallationDeletesTheServiceWithoutReboot) {
    fs::remove(drive / "WINNT/system32/qrvmpsvc.exe");
    start(defaultMachine(true));  // a binding asks for a restart, the install run fails
    ASSERT_TRUE(runService());
    EXPECT_TRUE(endsWith(output, "File system error: 2\n\n" + Failed)) << output;
    EXPECT_TRUE(deletePending());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_TRUE(sim::callsOf("OpenProcessToken").empty());
    EXPECT_EQ(reported().back(), SERVICE_STOPPED);
    // The failure shows where Windows shows a service's: in its final status
    // and as an error entry.
    auto status = sim::callsOf("SetServiceStatus");
    EXPECT_EQ(status.back().args[4], "exit=1066");
    EXPECT_EQ(status.back().args[5], "specific=2");
    ASSERT_EQ(sim::machine().eventLog.size(), 1u);
    EXPECT_EQ(sim::machine().eventLog[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(eventStrings(0), (std::vector<std::string>{"mpsetup exit code: 2", "Installation failed"}));
}

TEST_F(SetupServicePhase, NoKnownDeviceAfterTheRestart) {
    sim::Machine m = defaultMachine();
    m.devices.resize(m.devices.size() - 2);
    start(m);
    ASSERT_TRUE(runService());
    EXPECT_EQ(output, Failed);
    EXPECT_TRUE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty());
    EXPECT_TRUE(deletePending());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(SetupServicePhase, SystemDirectoryThatIsTooLongOrUnreadable) {
    sim::Machine m = defaultMachine();
    m.systemDirectory = "C:\\" + std::string(256, 'S');  // 259 characters: accepted
    EXPECT_EQ(m.systemDirectory.size(), 259u);
    m.systemDirectory += "X";  // 260: refused
    start(m);
    testing::internal::CaptureStdout();
    EXPECT_EQ(installSecondPhase(run), ExitFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Failed);
    EXPECT_TRUE(sim::callsOf("SetupDiGetClassDevsA").empty());

    start(defaultMachine());
    sim::failCall("GetSystemDirectoryA", 1, ERROR_INVALID_PARAMETER);
    testing::internal::CaptureStdout();
    EXPECT_EQ(installSecondPhase(run), ExitFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Failed);
}

TEST_F(SetupServicePhase, StartsFromAFreshRunState) {
    run.detection.present[5] = true;
    run.detection.forceCode = 'R';
    testing::internal::CaptureStdout();
    EXPECT_EQ(installSecondPhase(run), ExitComplete);
    EXPECT_TRUE(endsWith(testing::internal::GetCapturedStdout(), Complete));
    EXPECT_FALSE(run.detection.present[5]);
    EXPECT_TRUE(run.quietMode);
    EXPECT_STREQ(run.directories.staging, "C:\\WINNT\\system32\\drivers\\korpa");
    EXPECT_FALSE(run.messages.loadedFromFile());
}

TEST_F(SetupServicePhase, ServiceThatCannotBeDeletedRunsAgainAtTheNextStart) {
    start(defaultMachine(true));
    sim::failCall("DeleteService", 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(runService());
    EXPECT_TRUE(endsWith(output, Complete + Reboot));
    EXPECT_FALSE(deletePending());
    EXPECT_NE(sim::serviceKey("mpsetup"), nullptr);
    EXPECT_TRUE(sim::callsOf("OpenProcessToken").empty());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 2u);
    EXPECT_EQ(reported().back(), SERVICE_STOPPED);

    // The next start: the phase runs again, and this time goes through.
    ASSERT_TRUE(runService());
    EXPECT_TRUE(deletePending());
    EXPECT_EQ(sim::machine().rebootRequests, std::vector<uint32_t>{EWX_REBOOT});
}

TEST_F(SetupServicePhase, ManagerOrServiceThatCannotBeOpenedEndsStopped) {
    start(defaultMachine(true));
    sim::failCall("OpenSCManagerA", 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(runService());
    EXPECT_TRUE(sim::callsOf("OpenServiceA").empty());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));

    start(defaultMachine(true));
    sim::failCall("OpenServiceA", 1, ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_TRUE(runService());
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 1u);
    EXPECT_TRUE(sim::callsOf("DeleteService").empty());
    EXPECT_EQ(reported().back(), SERVICE_STOPPED);
}

TEST_F(SetupServicePhase, ServiceRunningAsAPlainUserCannotDeleteItself) {
    sim::Machine m = defaultMachine(true);
    sim::findKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup")->values["ObjectName"] =
        sim::RegValue{REG_SZ, sim::regSz(".\\guest")};
    start(m);
    ASSERT_TRUE(runService());
    // Not an administrator: the bindings are refused and the manager too.
    EXPECT_TRUE(endsWith(output, Failed)) << output;
    EXPECT_EQ(sim::callsOf("OpenSCManagerA").at(0).lastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(deletePending());
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(SetupServicePhase, PrivilegeThatCannotBeHadMeansNoReboot) {
    struct Case {
        const char* function;
        uint32_t error;
        const char* lastCall;  // the last token call made
    };
    for (Case c : {Case{"OpenProcessToken", ERROR_ACCESS_DENIED, "OpenProcessToken"},
                   Case{"LookupPrivilegeValueA", ERROR_NO_SUCH_PRIVILEGE, "LookupPrivilegeValueA"},
                   Case{"AdjustTokenPrivileges", ERROR_NOT_ALL_ASSIGNED, "AdjustTokenPrivileges"}}) {
        SCOPED_TRACE(c.function);
        start(defaultMachine(true));
        sim::failCall(c.function, 1, c.error);
        ASSERT_TRUE(runService());
        EXPECT_TRUE(deletePending());
        EXPECT_TRUE(sim::callsOf("ExitWindowsEx").empty());
        EXPECT_TRUE(sim::machine().rebootRequests.empty());
        EXPECT_EQ(countAfterManager("CloseHandle"), std::string(c.function) == "OpenProcessToken" ? 0u : 1u);
        EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 2u);
        EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
        EXPECT_EQ(sim::openHandleCount(), 0u);
    }
}

TEST_F(SetupServicePhase, RegistrationFailureInstallsNothingAndEndsAfterThreeReports) {
    sim::failCall("RegisterServiceCtrlHandlerA", 1, ERROR_INVALID_NAME);
    ASSERT_TRUE(runService());
    EXPECT_EQ(output, "");
    EXPECT_TRUE(sim::callsOf("GetSystemDirectoryA").empty());
    EXPECT_TRUE(sim::callsOf("OpenSCManagerA").empty());
    auto status = sim::callsOf("SetServiceStatus");
    ASSERT_EQ(status.size(), 3u);  // the bound of the final report
    for (const auto& s : status) {
        EXPECT_EQ(s.args[0], "null");
        EXPECT_EQ(s.args[1], "state=1");
    }
    ASSERT_EQ(sim::machine().eventLog.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sim::machine().eventLog[i].source, "mpsetup");
        EXPECT_EQ(eventStrings(i), (std::vector<std::string>{"mpsetup error: 6", "SetServiceStatus"}));
    }
    EXPECT_FALSE(deletePending());
}

TEST_F(SetupServicePhase, FailedRunningReportSkipsTheInstallation) {
    sim::failCall("SetServiceStatus", 1, ERROR_INVALID_DATA);
    ASSERT_TRUE(runService());
    EXPECT_EQ(output, "");
    EXPECT_TRUE(sim::callsOf("GetSystemDirectoryA").empty());
    ASSERT_EQ(sim::machine().eventLog.size(), 1u);
    EXPECT_EQ(eventStrings(0), (std::vector<std::string>{"mpsetup error: 13", "SetServiceStatus"}));
    EXPECT_EQ(reported(), std::vector<uint32_t>{SERVICE_STOPPED});
    EXPECT_FALSE(deletePending());
}

TEST_F(SetupServicePhase, FinalReportIsRetriedAtMostThreeTimes) {
    sim::failCall("SetServiceStatus", 2, 1);
    sim::failCall("SetServiceStatus", 3, 2);
    ASSERT_TRUE(runService());
    EXPECT_EQ(sim::callsOf("SetServiceStatus").size(), 4u);
    ASSERT_EQ(sim::machine().eventLog.size(), 3u);  // the outcome, then the two failed reports
    EXPECT_EQ(eventStrings(0)[0], "mpsetup exit code: 0");
    EXPECT_EQ(eventStrings(1)[0], "mpsetup error: 1");
    EXPECT_EQ(eventStrings(2)[0], "mpsetup error: 2");
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));

    start(defaultMachine());
    sim::failCall("SetServiceStatus", 0, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(runService());
    EXPECT_EQ(sim::callsOf("SetServiceStatus").size(), 4u);  // running, then three stopped
    EXPECT_EQ(sim::machine().eventLog.size(), 4u);
}

TEST_F(SetupServicePhase, InterrogateAfterTheWorkReportsRunning) {
    start(defaultMachine(true));
    sim::queueServiceControl(SERVICE_CONTROL_INTERROGATE, "SetServiceStatus", 2);
    ASSERT_TRUE(runService());
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOPPED}));
    auto outcomes = sim::serviceControlOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].error, 0u);
    // The work was done before it: deleted, reboot requested.
    EXPECT_TRUE(deletePending());
    EXPECT_EQ(sim::machine().rebootRequests.size(), 1u);
}

TEST_F(SetupServicePhase, StopDuringTheInstallationIsAnsweredPendingAndTheInstallationRunsToItsEnd) {
    start(defaultMachine(true));
    sim::queueServiceControl(SERVICE_CONTROL_STOP, "UpdateDriverForPlugAndPlayDevicesA", 2);
    sim::queueServiceControl(SERVICE_CONTROL_INTERROGATE, "SetServiceStatus", 2);
    ASSERT_TRUE(runService());
    // What a controller waiting for the stop reads: stop pending from the
    // handler at check point 1 (and again for the interrogate), then one
    // report before each later step of the installation with the check
    // point advanced and the hint of one step (the processor's binding, the
    // temporary root device's removal, the install run, the clean-up).
    // Stopped is reported only by serviceMain, last: a stopped report from
    // the handler would end the process in the middle of the bindings.
    std::vector<std::string> states;
    std::vector<size_t> at;  // where each report is in the call record
    for (size_t i = 0; i < sim::calls().size(); ++i) {
        const auto& c = sim::calls()[i];
        if (c.function != "SetServiceStatus") continue;
        states.push_back(c.args[1] + " " + c.args[6] + " " + c.args[7]);
        at.push_back(i);
    }
    const std::string pending = "state=3 checkpoint=";
    EXPECT_EQ(states, (std::vector<std::string>{"state=4 checkpoint=0 wait=0", pending + "1 wait=120000",
                                                 pending + "2 wait=120000", pending + "2 wait=120000",
                                                 pending + "3 wait=120000", pending + "4 wait=120000",
                                                 pending + "5 wait=120000", "state=1 checkpoint=0 wait=0"}));
    ASSERT_EQ(at.size(), 8u);
    // The handler's answer, while the serial port's binding waited for it.
    EXPECT_LT(indexOf("UpdateDriverForPlugAndPlayDevicesA", 1), at[1]);
    EXPECT_LT(at[1], indexOf("UpdateDriverForPlugAndPlayDevicesA", 2));
    EXPECT_LT(at[3], indexOf("UpdateDriverForPlugAndPlayDevicesA", 3));
    EXPECT_LT(indexOf("UpdateDriverForPlugAndPlayDevicesA", 3), at[4]);
    EXPECT_LT(at[4], indexOf("SetupDiCallClassInstaller", 2));  // the temporary root device's removal
    EXPECT_LT(at[5], indexOf("CreateProcessA"));
    EXPECT_LT(indexOf("CreateProcessA"), at[6]);
    EXPECT_LT(at[6], indexOf("DeleteService"));
    EXPECT_EQ(sim::calls().back().function, "SetServiceStatus");

    EXPECT_EQ(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").size(), 3u);
    EXPECT_TRUE(endsWith(output, Complete + Reboot));
    EXPECT_TRUE(deletePending());
    EXPECT_EQ(sim::machine().rebootRequests.size(), 1u);
    auto outcomes = sim::serviceControlOutcomes();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].error, 0u);
    EXPECT_EQ(outcomes[1].error, 0u);
}

TEST_F(SetupServicePhase, HandlerAnswersEveryOtherControlWithRunning) {
    // A user control reaches the handler whatever the service accepts.
    sim::queueServiceControl(200);
    sim::queueServiceControl(SERVICE_CONTROL_PAUSE, "SetServiceStatus", 2);  // not accepted: refused
    ASSERT_TRUE(runService());
    auto outcomes = sim::serviceControlOutcomes();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].control, 200u);
    EXPECT_EQ(outcomes[0].error, 0u);
    EXPECT_EQ(outcomes[1].error, static_cast<uint32_t>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    std::vector<uint32_t> r = reported();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1], SERVICE_RUNNING);
    EXPECT_EQ(r.back(), SERVICE_STOPPED);
}

TEST_F(SetupServicePhase, FailedHandlerReportIsLoggedOnceWithTheLastError) {
    sim::queueServiceControl(SERVICE_CONTROL_INTERROGATE, "SetServiceStatus", 2);
    sim::failCall("SetServiceStatus", 2, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(runService());
    // Running, the handler's one failed answer (not repeated), stopped.
    EXPECT_EQ(sim::callsOf("SetServiceStatus").size(), 3u);
    EXPECT_EQ(reported(), (std::vector<uint32_t>{SERVICE_RUNNING, SERVICE_STOPPED}));
    ASSERT_EQ(sim::machine().eventLog.size(), 2u);  // the outcome, then the failed answer
    const sim::EventEntry& e = sim::machine().eventLog[1];
    EXPECT_EQ(e.source, "mpsetup");
    EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(e.category, 0);
    EXPECT_EQ(e.eventId, 0u);
    EXPECT_EQ(e.strings, (std::vector<std::string>{"mpsetup error: 6", "SetServiceStatus"}));
}

TEST_F(SetupServicePhase, DispatcherOutsideTheServiceManagerFails) {
    ::unsetenv("WINSIM_SERVICE");
    EXPECT_FALSE(StartServiceCtrlDispatcherA(DispatchTable));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_TRUE(sim::callsOf("RegisterServiceCtrlHandlerA").empty());
}

}  // namespace
