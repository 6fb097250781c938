// Detection of the known devices and of the USB management device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/device_table.h"
#include "test_support.h"

using testsupport::deviceWithIds;
using testsupport::deviceWithRawIds;
using testsupport::machineWith;
using testsupport::MachineTest;

namespace {

class DetectionTest : public MachineTest {
protected:
    std::vector<int> presentEntries() const {
        std::vector<int> out;
        for (int k = 0; k < DeviceEntryCount; ++k)
            if (run.detection.present[k]) out.push_back(k);
        return out;
    }
};

TEST_F(DetectionTest, ScanAsksForPresentDevicesOfAllClassesAndEndsWithNoMoreItems) {
    start(machineWith({sim::newerAdapter()}));
    SetLastError(0);
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    auto sets = sim::callsOf("SetupDiGetClassDevsA");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].args, (std::vector<std::string>{"null", "null", "null", "0x6"}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) << "the scan's own last error is kept";
    EXPECT_EQ(sim::callsOf("SetupDiDestroyDeviceInfoList").size(), 1u);
}

TEST_F(DetectionTest, NewerAdapterAloneMarksItsChildFunctionsThreeAndFive) {
    start(machineWith({sim::newerAdapter()}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 9, 11}));
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DetectionTest, TypicalMachineFindsTheAdapterAndChildFunctionFour) {
    sim::Device a = sim::newerAdapter();
    start(machineWith({a, sim::childFunction(4, a.instanceId)}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 9, 10, 11}));
}

TEST_F(DetectionTest, EntryZeroStillCountsAfterAChildFunctionSetItsFlagEleven) {
    sim::Device a = sim::newerAdapter();
    // The child is enumerated first and sets present[11]; the adapter's own
    // flag is what decides whether entry 0 counts.
    start(machineWith({sim::childFunction(2, a.instanceId), a}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 8, 9, 11}));
}

TEST_F(DetectionTest, OlderAdapterKeepsTheFirstMatchingIdOfTheFirstAdapter) {
    sim::Device second = sim::olderAdapter();
    second.instanceId += "-2";
    second.hardwareIds = {"PCI\\VEN_1D3C&DEV_01A4&SUBSYS_99991D3C&REV_03"};
    start(machineWith({sim::olderAdapter(), second}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{1}));
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
}

TEST_F(DetectionTest, ADeviceCountsForTheFirstEntryWhoseFlagIsClear) {
    sim::Device both = deviceWithIds("ROOT\\X\\0000", {"MF\\MGTPROC_DEV0", "*QRV51A1"});
    start(machineWith({both}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{6}));

    sim::Device earlier = deviceWithIds("ROOT\\X\\0001", {"MF\\MGTPROC_DEV0"});
    start(machineWith({earlier, both}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{2, 6}));
}

TEST_F(DetectionTest, IdsDifferingOnlyInLetterCaseOrLengthMatchNothing) {
    start(machineWith({deviceWithIds("ROOT\\X\\0000", {"pci\\ven_1d3c&dev_0207&cc_0680", "*qrv51a1",
                                                       "MF\\MGTPROC_DEV", "MF\\MGTPROC_DEV10", "pci\\VEN_1D3C&DEV_01A4"})}));
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    EXPECT_TRUE(presentEntries().empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(DetectionTest, DevicesWithoutIdsOrWithAnEmptyListAreSkipped) {
    start(machineWith({deviceWithIds("ROOT\\NONE\\0000", {}), deviceWithRawIds("ROOT\\EMPTY\\0000", std::string(2, '\0')),
                       deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"})}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{5}));
}

TEST_F(DetectionTest, PropertyBufferGrowsOnDemandAndIsReleased) {
    std::string longId(300, 'Z');
    start(machineWith({deviceWithIds("ROOT\\A\\0", {"*QRV51A5"}), deviceWithIds("ROOT\\B\\0", {longId, "*QRV51A6"})}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{3, 4}));
    auto allocs = sim::callsOf("LocalAlloc");
    ASSERT_GE(allocs.size(), 2u);
    EXPECT_EQ(allocs[0].args[0], "0x40") << "zero-filled blocks";
    // Two reads per device that needed more room, one for the rest.
    auto reads = sim::callsOf("SetupDiGetDeviceRegistryPropertyA");
    for (const auto& r : reads) EXPECT_EQ(r.args[2], "1") << "SPDRP_HARDWAREID";
}

TEST_F(DetectionTest, IdDataWithoutTerminatorsStaysInsideTheReportedSize) {
    // "*QRV51A1" without any NUL: the id ends where the data ends.
    start(machineWith({deviceWithRawIds("ROOT\\RAW\\0", "*QRV51A1"),
                       deviceWithRawIds("ROOT\\RAW\\1", std::string("*QRV51A5\0*QRV51A6", 17))}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_EQ(presentEntries(), (std::vector<int>{2, 3}));
}

TEST_F(DetectionTest, OlderAdapterIdLongerThanTheBufferGivesWayToAShorterForm) {
    std::string longForm = "PCI\\VEN_1D3C&DEV_01A4&" + std::string(260, 'X');
    start(machineWith({deviceWithIds("PCI\\OLD\\0", {longForm, "PCI\\VEN_1D3C&DEV_01A4&CC_0780"})}));
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&CC_0780");

    start(machineWith({deviceWithIds("PCI\\OLD\\0", {longForm})}));
    EXPECT_EQ(detectKnownDevices(run.detection), 0) << "an id that does not fit is not taken";
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DetectionTest, AFailingPropertyReadEndsTheScanWithItsError) {
    start(machineWith({sim::newerAdapter(), deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"})}));
    sim::failCall("SetupDiGetDeviceRegistryPropertyA", 0, 31u);
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(31u));
    EXPECT_TRUE(presentEntries().empty());
}

TEST_F(DetectionTest, ScanFailingAfterAMatchStillAnswersZeroButKeepsTheFlag) {
    sim::Machine m = machineWith({deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"}), sim::newerAdapter()});
    start(m);
    detectKnownDevices(run.detection);
    // The last read is the newer adapter's, after *QRV5190 was taken.
    unsigned reads = static_cast<unsigned>(sim::callsOf("SetupDiGetDeviceRegistryPropertyA").size());
    start(m);
    sim::failCall("SetupDiGetDeviceRegistryPropertyA", reads, 31);
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_EQ(presentEntries(), (std::vector<int>{5}));
}

TEST_F(DetectionTest, EnumerationEndingWithAnErrorAnswersZero) {
    start(machineWith({sim::newerAdapter()}));
    sim::failCall("SetupDiEnumDeviceInfo", 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DetectionTest, UnavailableDeviceSetAnswersZeroAndChangesNothing) {
    start(machineWith({sim::newerAdapter()}));
    sim::failCall("SetupDiGetClassDevsA", 0, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    EXPECT_TRUE(presentEntries().empty());
    EXPECT_TRUE(sim::callsOf("SetupDiDestroyDeviceInfoList").empty());
}

TEST_F(DetectionTest, ForceCodesOtherThanUSkipTheScan) {
    start(machineWith({sim::olderAdapter()}));
    run.detection.forceCode = 'W';
    run.detection.present[1] = 1;
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
    EXPECT_TRUE(sim::callsOf("SetupDiGetClassDevsA").empty());
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DetectionTest, ForceCodeUScansAndCountsFlagsOfEarlierForceCodes) {
    run.detection.forceCode = 'U';
    EXPECT_EQ(detectKnownDevices(run.detection), 0) << "nothing known on a plain machine";
    EXPECT_EQ(sim::callsOf("SetupDiGetClassDevsA").size(), 1u);

    run = RunState{};
    run.detection.forceCode = 'U';
    run.detection.present[0] = run.detection.present[9] = run.detection.present[11] = 1;  // -FE -FU
    EXPECT_EQ(detectKnownDevices(run.detection), 1);
}

TEST_F(DetectionTest, ReleasingTheSetDoesNotLoseTheScanError) {
    start(machineWith({}));
    EXPECT_EQ(detectKnownDevices(run.detection), 0);
    // The release clears the last error itself; the scan's error comes back.
    auto destroy = sim::callsOf("SetupDiDestroyDeviceInfoList");
    ASSERT_EQ(destroy.size(), 1u);
    EXPECT_EQ(destroy[0].lastError, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

// ---- the USB management device ---------------------------------------------

class UsbProbeTest : public MachineTest {};

TEST_F(UsbProbeTest, FindsTheDeviceByVendorAndProductId) {
    start(machineWith({sim::usbManagementDevice()}));
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 1);
    auto sets = sim::callsOf("SetupDiGetClassDevsA");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].args[0], "{4D1E55B2-F16F-11CF-88CB-001111000030}");
    EXPECT_EQ(sets[0].args[3], "0x12");
    auto open = sim::callsOf("CreateFileA");
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(open.back().args[1], "0xC0000000");
    EXPECT_EQ(open.back().args[2], "0x3");
    EXPECT_EQ(open.back().args[4], "3");
    auto attrs = sim::callsOf("HidD_GetAttributes");
    ASSERT_FALSE(attrs.empty());
    EXPECT_EQ(attrs.back().args[1], std::to_string(sizeof(HIDD_ATTRIBUTES)));
}

TEST_F(UsbProbeTest, OtherProductIdsOfTheVendorDoNotCountAndTheProbeGoesOn) {
    sim::Device other = sim::usbManagementDevice();
    other.instanceId = "HID\\VID_1D3C&PID_7302\\1";
    other.hid.productId = 0x7302;
    start(machineWith({other}));
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 0);
    start(machineWith({other, sim::usbManagementDevice()}));
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 1);
    EXPECT_EQ(sim::callsOf("HidD_GetAttributes").size(), 3u) << "the mouse, the other device, then the right one";
}

TEST_F(UsbProbeTest, InterfacesThatCannotBeOpenedOrReadArePassedOver) {
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("CreateFileA", 2, ERROR_ACCESS_DENIED);  // the management device is the second interface
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 0);
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("SetupDiGetDeviceInterfaceDetailA", 4, ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 0);
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("HidD_GetAttributes", 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 0);
}

TEST_F(UsbProbeTest, ForceCodeUAnswersWithoutProbing) {
    run.detection.forceCode = 'U';
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 1);
    EXPECT_TRUE(sim::calls().empty());
}

TEST_F(UsbProbeTest, NoSetMeansNoDevice) {
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("SetupDiGetClassDevsA", 0, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(isUsbManagementDevicePresent(run.detection), 0);
}

}  // namespace
