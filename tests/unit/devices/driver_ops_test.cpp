// The devices layer's Plug and Play operations, against the simulated
// machine with the media's driver package.
#include <gtest/gtest.h>

#include <cstring>

#include "binding_fixture.h"
#include "devices/driver_ops.h"

using namespace bindingtest;

namespace {

class DevicesDriverOps : public BindingTest {};

TEST_F(DevicesDriverOps, MissingInfPrintsTheLineStillBindsAndFails) {
    startMachine({sim::newerAdapter()});
    BOOL restart = 7;
    std::string path = infPath("NOSUCH.INF");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(installDeviceDriver(run.messages, "PCI\\VEN_1D3C&DEV_0207&CC_0680", path.c_str(), &restart).ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Installing drivers for " + path + ".\n");
    auto calls = sim::callsOf("UpdateDriverForPlugAndPlayDevicesA");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[0], "null");
    EXPECT_EQ(calls[0].args[1], q("PCI\\VEN_1D3C&DEV_0207&CC_0680"));
    EXPECT_EQ(calls[0].args[2], q(path));
    EXPECT_EQ(calls[0].args[3], "0x1");  // INSTALLFLAG_FORCE
    EXPECT_EQ(calls[0].lastError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(restart, 7) << "a failed binding leaves the indication as it was";
    EXPECT_EQ(sim::callsOf("FindFirstFileA").size(), 1u);
    EXPECT_TRUE(sim::callsOf("FindClose").empty());
}

TEST_F(DevicesDriverOps, ExistingInfWithoutDeviceFails) {
    startMachine({});
    BOOL restart = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(installDeviceDriver(run.messages, "MF\\MGTPROC_DEV3", infPath("SERW.INF").c_str(), &restart).ok());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), bindingLine("SERW.INF"));
    EXPECT_EQ(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA")[0].lastError,
              static_cast<uint32_t>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(sim::callsOf("FindClose").size(), 1u);
}

TEST_F(DevicesDriverOps, BindingCarriesOutTheInstallSection) {
    sim::Device adapter = sim::newerAdapter();
    adapter.needsRestart = true;
    startMachine({adapter});
    BOOL restart = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(installDeviceDriver(run.messages, "pci\\ven_1d3c&dev_0207&cc_0680", infPath("KORPA.INF").c_str(), &restart).ok())
        << "hardware ids compare without regard to case";
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(restart, TRUE);
    const sim::Device* d = device(adapter.instanceId);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->boundInf, infPath("KORPA.INF"));
    EXPECT_EQ(d->boundSection, "KorpaNewer.NT");
    EXPECT_TRUE(d->restartAsked);
    for (const char* f : {"QRVMPSVC.EXE", "QRVMPREM.EXE", "QRVMPW.DLL"})
        EXPECT_TRUE(fs::exists(fs::path(folder) / "drives/C/WINNT/system32" / f)) << f;
    // The multifunction driver enumerates the declared child functions.
    const sim::Device* child3 = deviceWithId("MF\\MGTPROC_DEV3");
    const sim::Device* child5 = deviceWithId("MF\\MGTPROC_DEV5");
    ASSERT_NE(child3, nullptr);
    ASSERT_NE(child5, nullptr);
    EXPECT_TRUE(child3->present);
    EXPECT_EQ(child5->parent, adapter.instanceId);

    // A child binding registers its service and copies its driver.
    restart = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(installDeviceDriver(run.messages, "MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &restart).ok());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(restart, FALSE);
    EXPECT_TRUE(fs::exists(fs::path(folder) / "drives/C/WINNT/system32/drivers/QRVMPW.SYS"));
    sim::RegKey* svc = sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\qrvmpw");
    ASSERT_NE(svc, nullptr);
    EXPECT_EQ(svc->values["ImagePath"].data, sim::regSz("system32\\drivers\\QRVMPW.SYS"));
    EXPECT_EQ(svc->values["DisplayName"].data, sim::regSz("QRV (Version 5.10) processor driver"));
}

TEST_F(DevicesDriverOps, CreateRootDeviceMakesAPresentDeviceWithOneId) {
    startMachine({});
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record;
    std::memset(&record, 0, sizeof record);
    ASSERT_TRUE(createRootDeviceKeepingSet("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &set, &record));
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(record.cbSize, sizeof(SP_DEVINFO_DATA));

    auto inf = sim::callsOf("SetupDiGetINFClassA");
    ASSERT_EQ(inf.size(), 1u);
    EXPECT_EQ(inf[0].args[3], "32");
    EXPECT_EQ(inf[0].args[4], "null");
    auto create = sim::callsOf("SetupDiCreateDeviceInfoA");
    ASSERT_EQ(create.size(), 1u);
    EXPECT_EQ(create[0].args[1], q("System"));
    EXPECT_EQ(create[0].args[3], "null");
    EXPECT_EQ(create[0].args[5], "0x1");  // DICD_GENERATE_ID
    auto prop = sim::callsOf("SetupDiSetDeviceRegistryPropertyA");
    ASSERT_EQ(prop.size(), 1u);
    EXPECT_EQ(prop[0].args[2], "1");  // SPDRP_HARDWAREID
    EXPECT_EQ(prop[0].args[3], "MF\\MGTPROC_DEV5\\0\\0");
    EXPECT_EQ(prop[0].args[4], "17");
    auto dif = sim::callsOf("SetupDiCallClassInstaller");
    ASSERT_EQ(dif.size(), 1u);
    EXPECT_EQ(dif[0].args[0], "0x19");  // DIF_REGISTERDEVICE
    auto drivers = sim::callsOf("SetupDiBuildDriverInfoList");
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(drivers[0].args[2], "2");  // SPDIT_COMPATDRIVER

    const sim::Device* root = device("ROOT\\SYSTEM\\0000");
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->present);
    EXPECT_TRUE(root->rootCreated);
    EXPECT_EQ(root->hardwareIds, std::vector<std::string>{"MF\\MGTPROC_DEV5"});

    // The root device is a present device with the id: the binding covers it.
    BOOL restart = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(installDeviceDriver(run.messages, "MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &restart).ok());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(device("ROOT\\SYSTEM\\0000")->boundSection, "Mpw.NT");

    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &record));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(device("ROOT\\SYSTEM\\0000"), nullptr) << "a root device made by software disappears";
}

TEST_F(DevicesDriverOps, CreateRootDeviceSucceedsWithoutCompatibleDriverList) {
    startMachine({});
    sim::failCall("SetupDiBuildDriverInfoList", 1, ERROR_NO_DRIVER_SELECTED);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record;
    EXPECT_TRUE(createRootDeviceKeepingSet("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &set, &record));
    SetupDiCallClassInstaller(DIF_REMOVE, set, &record);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DevicesDriverOps, CreateRootDeviceFailuresHandTheSetBackAndLeaveNothing) {
    struct Case {
        const char* function;
        bool setHandedBack;
    } cases[] = {{"SetupDiGetINFClassA", false},
                 {"SetupDiCreateDeviceInfoList", false},
                 {"SetupDiCreateDeviceInfoA", true},
                 {"SetupDiSetDeviceRegistryPropertyA", true},
                 {"SetupDiCallClassInstaller", true}};
    for (const auto& c : cases) {
        startMachine({}, true);
        size_t devicesBefore = sim::machine().devices.size();
        sim::failCall(c.function, 1, ERROR_ACCESS_DENIED);
        HDEVINFO set = INVALID_HANDLE_VALUE;
        SP_DEVINFO_DATA record;
        std::memset(&record, 0, sizeof record);
        EXPECT_FALSE(createRootDeviceKeepingSet("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &set, &record)) << c.function;
        EXPECT_EQ(set != INVALID_HANDLE_VALUE, c.setHandedBack) << c.function;
        if (set != INVALID_HANDLE_VALUE) {
            SetupDiCallClassInstaller(DIF_REMOVE, set, &record);
            SetupDiDestroyDeviceInfoList(set);
        }
        EXPECT_EQ(sim::machine().devices.size(), devicesBefore) << c.function;
        EXPECT_EQ(sim::openHandleCount(), 0u) << c.function;
        sim::clearFaults();
        removeFolder();
    }
}

TEST_F(DevicesDriverOps, CreateRootDeviceWithMissingInf) {
    startMachine({}, false);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record;
    EXPECT_FALSE(createRootDeviceKeepingSet("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &set, &record));
    EXPECT_EQ(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::callsOf("SetupDiGetINFClassA")[0].lastError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DevicesDriverOps, RemoveDeviceByIdRemovesOnlyTheFirstWholeMatch) {
    sim::Device a = sim::childFunction(4, "PCI\\X\\1");
    sim::Device b = sim::childFunction(4, "PCI\\X\\2");
    sim::Device longer = sim::childFunction(4, "PCI\\X\\3");
    longer.instanceId = "MF\\MGTPROC_DEV40\\1";
    longer.hardwareIds = {"MF\\MGTPROC_DEV40", "MF\\MGTPROC_DEV4X"};
    startMachine({longer, a, b});
    removeDeviceById("MF\\MGTPROC_DEV4");
    EXPECT_TRUE(device(longer.instanceId)->present) << "an id that only begins with the given one stays";
    EXPECT_FALSE(device(a.instanceId)->present) << "hardware comes back at the next start: not present, still known";
    EXPECT_TRUE(device(b.instanceId)->present) << "only the first device with the id is removed";
    auto dif = sim::callsOf("SetupDiCallClassInstaller");
    ASSERT_EQ(dif.size(), 1u);
    EXPECT_EQ(dif[0].args[0], "0x5");  // DIF_REMOVE
    EXPECT_EQ(sim::callsOf("SetupDiDestroyDeviceInfoList").size(), 1u);

    removeDeviceById("MF\\MGTPROC_DEV9");
    EXPECT_EQ(sim::callsOf("SetupDiCallClassInstaller").size(), 1u) << "nothing to remove";
}

TEST_F(DevicesDriverOps, LeftoverRootDevicesAreOnlyThoseTheInstallerCouldHaveMade) {
    // The temporary device of a cut run; a device of the same id under
    // another root name (a test machine's stand-in for hardware); one named
    // as a generated id of the class whose ids are more than that one (made
    // by another product); and the real child function.
    sim::Device leftover = sim::childFunction(5, "PCI\\X\\1");
    leftover.instanceId = "ROOT\\SYSTEM\\0003";
    leftover.parent.clear();
    leftover.rootCreated = true;
    sim::Device standIn = leftover;
    standIn.instanceId = "ROOT\\KORPATEST\\0000";
    sim::Device another = leftover;
    another.instanceId = "ROOT\\SYSTEM\\0004";
    another.hardwareIds.push_back("ROOT\\OTHERPRODUCT");
    sim::Device child = sim::childFunction(5, "PCI\\X\\1");
    startMachine({standIn, leftover, another, child});
    removeLeftoverRootDevices("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str());
    EXPECT_EQ(device(leftover.instanceId), nullptr) << "made by software and removed: gone";
    for (const sim::Device* stays : {&standIn, &another, &child}) {
        ASSERT_NE(device(stays->instanceId), nullptr) << stays->instanceId;
        EXPECT_TRUE(device(stays->instanceId)->present) << stays->instanceId;
    }
    EXPECT_EQ(sim::openHandleCount(), 0u);
    EXPECT_EQ(sim::heapBlockCount(), 0u);
}

TEST_F(DevicesDriverOps, RemoveDeviceByIdReleasesEverythingOnFailures) {
    sim::Device a = sim::childFunction(2, "PCI\\X\\1");
    for (const char* f : {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiGetDeviceRegistryPropertyA",
                          "LocalAlloc"}) {
        startMachine({a}, false);
        sim::failCall(f, 1, ERROR_NOT_ENOUGH_MEMORY);
        removeDeviceById("MF\\MGTPROC_DEV2");
        EXPECT_EQ(sim::openHandleCount(), 0u) << f;
        EXPECT_EQ(sim::heapBlockCount(), 0u) << f;
        EXPECT_TRUE(device(a.instanceId)->present) << f;
        sim::clearFaults();
        removeFolder();
    }
}

}  // namespace
