// The devices layer's installation plan on the simulated machine with the
// media's driver package staged.
#include <gtest/gtest.h>

#include "binding_fixture.h"
#include "devices/driver_ops.h"
#include "sim/setupapi/inf.h"

#include <cstring>
#include <fstream>
#include <sstream>

using namespace bindingtest;

namespace {

class DevicesInstallPlan : public BindingTest {
protected:
    std::string bindAll() {
        testing::internal::CaptureStdout();
        outcome = bindPresentDevices(run.messages, run.detection, run.directories);
        return testing::internal::GetCapturedStdout();
    }
    static size_t installRuns() { return sim::callsOf("CreateProcessA").size(); }
};

const std::string NewerId = q("PCI\\VEN_1D3C&DEV_0207&CC_0680");

TEST_F(DevicesInstallPlan, NewerAdapterBindsItsThreeInfsThenRunsTheInstaller) {
    startMachine({sim::newerAdapter()});
    run.detection.forceCode = 'E';
    flags({0, 9, 11});
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + bindingLine("serw.inf") + bindingLine("mpw.inf"));
    EXPECT_EQ(boundIds(), (std::vector<std::string>{NewerId, q("MF\\MGTPROC_DEV3"), q("MF\\MGTPROC_DEV5")}));
    ASSERT_EQ(installRuns(), 1u);
    EXPECT_EQ(sim::callsOf("CreateProcessA")[0].args[1], q("C:\\WINNT\\system32\\qrvmpsvc.exe -install"));
    EXPECT_FALSE(outcome.failed);
    EXPECT_FALSE(outcome.restartRequired);
    // On a clean machine the adapter's binding brought the children and
    // the programs: the install run registered the service.
    EXPECT_EQ(deviceWithId("MF\\MGTPROC_DEV3")->boundInf, infPath("serw.inf"));
    EXPECT_NE(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\qrvmpsvc"), nullptr);
    EXPECT_TRUE(sim::callsOf("SetupDiCreateDeviceInfoList").empty());
}

TEST_F(DevicesInstallPlan, SecondPhaseWithChildFunctionFourUsesATemporaryRootDevice) {
    sim::Device adapter = sim::newerAdapter();
    sim::Device child4 = sim::childFunction(4, adapter.instanceId);
    startMachine({adapter, child4});
    flags({0, 9, 10, 11});
    EXPECT_EQ(bindAll(),
              bindingLine("korpa.inf") + bindingLine("serw.inf") + bindingLine("mpw.inf"));
    // Order: adapter, root device, child 3, child 5, removal, install run.
    std::vector<std::string> order;
    for (const auto& c : sim::calls()) {
        if (c.function == "UpdateDriverForPlugAndPlayDevicesA") order.push_back("bind " + c.args[1]);
        if (c.function == "SetupDiCreateDeviceInfoA") order.push_back("create");
        if (c.function == "SetupDiCallClassInstaller") order.push_back("dif " + c.args[0]);
        if (c.function == "SetupDiDestroyDeviceInfoList" && order.size() && order.back() == "dif 0x5")
            order.push_back("release");
        if (c.function == "CreateProcessA") order.push_back("run");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"bind " + NewerId, "create", "dif 0x19", "bind " + q("MF\\MGTPROC_DEV3"),
                                               "bind " + q("MF\\MGTPROC_DEV5"), "dif 0x5", "release", "run"}));
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(device("ROOT\\SYSTEM\\0000"), nullptr) << "the temporary root device is gone";
    EXPECT_EQ(device(child4.instanceId)->boundInf, "") << "child function 4 is not bound";
}

TEST_F(DevicesInstallPlan, FailedTemporaryRootDeviceCountsAndIsStillReleased) {
    sim::Device adapter = sim::newerAdapter();
    startMachine({adapter, sim::childFunction(4, adapter.instanceId)});
    flags({0, 9, 10, 11});
    sim::failCall("SetupDiSetDeviceRegistryPropertyA", 1, ERROR_INVALID_DATA);
    bindAll();
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(installRuns(), 1u);
    auto dif = sim::callsOf("SetupDiCallClassInstaller");
    ASSERT_EQ(dif.size(), 1u);
    EXPECT_EQ(dif[0].args[0], "0x5");
    EXPECT_EQ(device("ROOT\\SYSTEM\\0000"), nullptr);
}

TEST_F(DevicesInstallPlan, FailedNewerAdapterSkipsItsChildrenAndTheInstallRun) {
    startMachine({sim::newerAdapter(), sim::onboardProcessor("*QRV51A1", 1)});
    flags({0, 9, 11, 6, 2});
    sim::failCall("UpdateDriverForPlugAndPlayDevicesA", 1, ERROR_NO_SUCH_DEVINST);
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + bindingLine("serw.inf") + bindingLine("korp.inf"));
    EXPECT_EQ(boundIds(), (std::vector<std::string>{NewerId, q("MF\\MGTPROC_DEV0"), q("*QRV51A1")}));
    EXPECT_EQ(installRuns(), 0u);
    EXPECT_TRUE(outcome.failed);
}

TEST_F(DevicesInstallPlan, OlderAdapterWithDetectedChildrenBindsThemFirst) {
    startMachine({sim::olderAdapter()});
    flags({1, 6, 7});
    std::strcpy(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
    bindAll();
    // The adapter's binding made them appear: they are bound once more.
    EXPECT_EQ(boundIds(), (std::vector<std::string>{q("MF\\MGTPROC_DEV0"), q("MF\\MGTPROC_DEV1"),
                                                    q("PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02"),
                                                    q("MF\\MGTPROC_DEV0"), q("MF\\MGTPROC_DEV1")}));
    EXPECT_EQ(installRuns(), 0u);
    EXPECT_TRUE(outcome.failed) << "the children were not there yet when they were first bound";
}

TEST_F(DevicesInstallPlan, SecondOlderAdapterHasTheChildFunctionsItExposesBound) {
    // The first adapter already exposes both functions; the second exposes
    // them only once the media's driver runs on it.
    sim::Device first = sim::olderAdapter();
    sim::Device second = sim::olderAdapter();
    second.instanceId = second.instanceId.substr(0, second.instanceId.find_last_of('\\')) + "\\3&61AAA01&0&70";
    startMachine({first, sim::childFunction(0, first.instanceId), sim::childFunction(1, first.instanceId), second});
    flags({1, 6, 7});
    std::strcpy(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
    EXPECT_EQ(bindAll(), bindingLine("serw.inf") + bindingLine("mpw.inf") + bindingLine("korpa.inf") +
                         bindingLine("serw.inf") + bindingLine("mpw.inf"));
    EXPECT_FALSE(outcome.failed);
    int functions = 0;
    for (const auto& d : sim::machine().devices) {
        if (d.parent.empty()) continue;
        ++functions;
        EXPECT_EQ(d.boundInf, infPath(d.hardwareIds[0] == "MF\\MGTPROC_DEV0" ? "serw.inf" : "mpw.inf")) << d.instanceId;
    }
    EXPECT_EQ(functions, 4);
}

TEST_F(DevicesInstallPlan, OlderAdapterAloneBindsItsChildrenAfterIt) {
    startMachine({sim::olderAdapter()});
    flags({1});
    std::strcpy(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + bindingLine("serw.inf") + bindingLine("mpw.inf"));
    EXPECT_EQ(boundIds(), (std::vector<std::string>{q("PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02"),
                                                    q("MF\\MGTPROC_DEV0"), q("MF\\MGTPROC_DEV1")}));
    EXPECT_FALSE(outcome.failed) << "the adapter's binding made its children present";
    EXPECT_EQ(installRuns(), 0u);
}

TEST_F(DevicesInstallPlan, FailedOlderAdapterSkipsStepsTenAndEleven) {
    startMachine({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    flags({1, 5});
    std::strcpy(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
    sim::failCall("UpdateDriverForPlugAndPlayDevicesA", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + bindingLine("korp.inf"));
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(boundIds().back(), q("*QRV5190"));
}

TEST_F(DevicesInstallPlan, ForcedOlderAdapterBindsWithTheTableId) {
    startMachine({sim::olderAdapter()});
    run.detection.forceCode = 'W';
    flags({1});
    bindAll();
    ASSERT_FALSE(boundIds().empty());
    EXPECT_EQ(boundIds()[0], q("PCI\\VEN_1D3C&DEV_01A4"));
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(device(sim::olderAdapter().instanceId)->boundSection, "KorpaOlder.NT");
}

TEST_F(DevicesInstallPlan, OnboardProcessorsInEntryOrder) {
    startMachine({sim::onboardProcessor("*QRV5190", 4), sim::onboardProcessor("*QRV51A6", 3),
                  sim::onboardProcessor("*QRV51A5", 2), sim::onboardProcessor("*QRV51A1", 1)});
    flags({2, 3, 4, 5});
    EXPECT_EQ(bindAll(), bindingLine("korp.inf") + bindingLine("korp.inf") + bindingLine("korp.inf") +
                         bindingLine("korp.inf"));
    EXPECT_EQ(boundIds(), (std::vector<std::string>{q("*QRV51A1"), q("*QRV51A5"), q("*QRV51A6"), q("*QRV5190")}));
    EXPECT_FALSE(outcome.failed);
    EXPECT_FALSE(outcome.restartRequired);
    EXPECT_EQ(installRuns(), 0u);
}

TEST_F(DevicesInstallPlan, RestartThenFailureSetsBothFlags) {
    sim::Device first = sim::onboardProcessor("*QRV51A1", 1);
    first.needsRestart = true;
    startMachine({first});
    flags({2, 3});  // *QRV51A5 is not there: its binding fails
    bindAll();
    EXPECT_TRUE(outcome.restartRequired);
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(device(first.instanceId)->restartAsked, true);
}

TEST_F(DevicesInstallPlan, FailedAdapterBindingAsksForNoRestart) {
    startMachine({sim::newerAdapter()});
    flags({0});
    sim::failCall("UpdateDriverForPlugAndPlayDevicesA", 1, ERROR_NO_SUCH_DEVINST);
    bindAll();
    EXPECT_FALSE(outcome.restartRequired);
    EXPECT_TRUE(outcome.failed);
}

TEST_F(DevicesInstallPlan, SecondPhaseWithOnlyChildFunctionTwoDoesNothing) {
    sim::Device adapter = sim::newerAdapter();
    startMachine({adapter, sim::childFunction(2, adapter.instanceId)});
    flags({8, 11});
    EXPECT_EQ(bindAll(), "");
    EXPECT_TRUE(boundIds().empty());
    EXPECT_EQ(installRuns(), 0u);
    EXPECT_FALSE(outcome.failed);
    EXPECT_FALSE(outcome.restartRequired);
}

TEST_F(DevicesInstallPlan, MissingInstallProgramPrintsTheErrorAndGoesOn) {
    startMachine({sim::newerAdapter(), sim::onboardProcessor("*QRV51A1", 1)});
    flags({0, 9, 11, 2});
    // The adapter's binding copies the program; the start then finds none.
    sim::failCall("CreateProcessA", 1, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + bindingLine("serw.inf") + bindingLine("mpw.inf") +
                         "File system error: 2\n\n" + bindingLine("korp.inf"));
    EXPECT_TRUE(outcome.failed);
}

TEST_F(DevicesInstallPlan, InstallProgramMissingFromTheSystemDirectory) {
    // A package whose adapter INF copies no programs: the start fails for real.
    startMachine({sim::newerAdapter()});
    fs::path korpa = fs::path(folder) / "drives/C/WINNT/system32/drivers/korpa/win2000/KORPA.INF";
    std::ifstream in(korpa);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::string s = text.str();
    for (size_t at; (at = s.find("CopyFiles=Korpa.CopyPrograms")) != std::string::npos;) s.erase(at, 28);
    std::ofstream(korpa) << s;
    flags({0});
    EXPECT_EQ(bindAll(), bindingLine("korpa.inf") + "File system error: 2\n\n");
    EXPECT_TRUE(outcome.failed);
}

// Every platform call of a second-phase plan made to fail in turn: nothing
// is left open and no temporary device stays behind.
TEST_F(DevicesInstallPlan, NoLeaksOnAnyFailingCall) {
    const char* functions[] = {"FindFirstFileA", "UpdateDriverForPlugAndPlayDevicesA", "SetupDiGetINFClassA",
                               "SetupDiCreateDeviceInfoList", "SetupDiCreateDeviceInfoA",
                               "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller",
                               "SetupDiBuildDriverInfoList", "CreateProcessA", "WaitForSingleObject",
                               "GetExitCodeProcess"};
    for (const char* f : functions) {
        for (unsigned nth : {1u, 2u}) {
            sim::Device adapter = sim::newerAdapter();
            startMachine({adapter, sim::childFunction(4, adapter.instanceId)});
            flags({0, 9, 10, 11});
            sim::failCall(f, nth, ERROR_ACCESS_DENIED);
            bindAll();
            EXPECT_EQ(sim::openHandleCount(), 0u) << f << " #" << nth;
            EXPECT_EQ(sim::heapBlockCount(), 0u) << f << " #" << nth;
            // A failed removal leaves the device, as on Windows; nothing else may.
            bool removalFailed = std::string(f) == "SetupDiCallClassInstaller" && nth == 2;
            EXPECT_EQ(device("ROOT\\SYSTEM\\0000") == nullptr, !removalFailed) << f << " #" << nth;
            sim::clearFaults();
            removeFolder();
        }
    }
}

// The staged media's INF files, read as the simulated Setup API reads them,
// list the table's hardware id of each entry.
TEST_F(DevicesInstallPlan, EveryMediaInfParsesAndListsItsTableIds) {
    startMachine({});
    for (int k = 0; k < DeviceEntryCount; ++k) {
        sim::Inf inf;
        unsigned long error = 0;
        ASSERT_TRUE(sim::loadInf(std::string(StagingDirectory) + DeviceTable[k].infPath, inf, error) ||
                    k == 8)  // rmtptr.inf is on the media, not in the staging tree
            << DeviceTable[k].infPath << " " << error;
        if (k == 8) continue;
        EXPECT_NE(sim::findModel(sim::infModels(inf), DeviceTable[k].hardwareId), nullptr) << DeviceTable[k].hardwareId;
    }
}

}  // namespace
