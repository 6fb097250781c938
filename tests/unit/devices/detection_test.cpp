// The devices layer's detection of the known devices and of the USB
// management device.
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

class DevicesDetection : public MachineTest {
protected:
    // Scans; whether the scan went to the end of the list and found a known
    // device, as the flows take it.
    bool detect() {
        scan = detectKnownDevices(run.detection);
        return scan.ok() && anyKnownDevicePresent(run.detection);
    }
    std::vector<int> presentEntries() const {
        std::vector<int> out;
        for (int k = 0; k < DeviceEntryCount; ++k)
            if (run.detection.present[k]) out.push_back(k);
        return out;
    }
    Result scan = Result::success();
};

TEST_F(DevicesDetection, ScanAsksForPresentDevicesOfAllClassesAndEndsWithNoMoreItems) {
    start(machineWith({sim::newerAdapter()}));
    EXPECT_TRUE(detect());
    auto sets = sim::callsOf("SetupDiGetClassDevsA");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].args, (std::vector<std::string>{"null", "null", "null", "0x6"}));
    EXPECT_EQ(sim::callsOf("SetupDiEnumDeviceInfo").back().lastError, static_cast<uint32_t>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(sim::callsOf("SetupDiDestroyDeviceInfoList").size(), 1u);
}

TEST_F(DevicesDetection, NewerAdapterAloneMarksItsChildFunctionsThreeAndFive) {
    start(machineWith({sim::newerAdapter()}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 9, 11}));
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DevicesDetection, TypicalMachineFindsTheAdapterAndChildFunctionFour) {
    sim::Device a = sim::newerAdapter();
    start(machineWith({a, sim::childFunction(4, a.instanceId)}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 9, 10, 11}));
}

TEST_F(DevicesDetection, EntryZeroStillCountsAfterAChildFunctionSetItsFlagEleven) {
    sim::Device a = sim::newerAdapter();
    // The child is enumerated first and sets present[11]; the adapter's own
    // flag is what decides whether entry 0 counts.
    start(machineWith({sim::childFunction(2, a.instanceId), a}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{0, 8, 9, 11}));
}

TEST_F(DevicesDetection, OlderAdapterKeepsTheFirstMatchingIdOfTheFirstAdapter) {
    sim::Device second = sim::olderAdapter();
    second.instanceId += "-2";
    second.hardwareIds = {"PCI\\VEN_1D3C&DEV_01A4&SUBSYS_99991D3C&REV_03"};
    start(machineWith({sim::olderAdapter(), second}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{1}));
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02");
}

TEST_F(DevicesDetection, ADeviceCountsForTheFirstEntryWhoseFlagIsClear) {
    sim::Device both = deviceWithIds("ROOT\\X\\0000", {"MF\\MGTPROC_DEV0", "*QRV51A1"});
    start(machineWith({both}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{6}));

    sim::Device earlier = deviceWithIds("ROOT\\X\\0001", {"MF\\MGTPROC_DEV0"});
    start(machineWith({earlier, both}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{2, 6}));
}

TEST_F(DevicesDetection, IdsDifferingOnlyInLetterCaseOrLengthMatchNothing) {
    start(machineWith({deviceWithIds("ROOT\\X\\0000", {"pci\\ven_1d3c&dev_0207&cc_0680", "*qrv51a1",
                                                       "MF\\MGTPROC_DEV", "MF\\MGTPROC_DEV10", "pci\\VEN_1D3C&DEV_01A4"})}));
    EXPECT_FALSE(detect());
    EXPECT_TRUE(scan.ok()) << "a whole scan that found nothing";
    EXPECT_TRUE(presentEntries().empty());
}

TEST_F(DevicesDetection, DevicesWithoutIdsOrWithAnEmptyListAreSkipped) {
    start(machineWith({deviceWithIds("ROOT\\NONE\\0000", {}), deviceWithRawIds("ROOT\\EMPTY\\0000", std::string(2, '\0')),
                       deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"})}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{5}));
}

TEST_F(DevicesDetection, PropertyBufferGrowsOnDemandAndIsReleased) {
    std::string longId(300, 'Z');
    start(machineWith({deviceWithIds("ROOT\\A\\0", {"*QRV51A5"}), deviceWithIds("ROOT\\B\\0", {longId, "*QRV51A6"})}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{3, 4}));
    auto allocs = sim::callsOf("LocalAlloc");
    ASSERT_GE(allocs.size(), 2u);
    EXPECT_EQ(allocs[0].args[0], "0x40") << "zero-filled blocks";
    // Two reads per device that needed more room, one for the rest.
    auto reads = sim::callsOf("SetupDiGetDeviceRegistryPropertyA");
    for (const auto& r : reads) EXPECT_EQ(r.args[2], "1") << "SPDRP_HARDWAREID";
}

// A read that fails for want of room but asks for no more than it was
// offered would be asked again for ever: it ends the scan as broken off,
// and is not asked again even where a second read would have gone through.
TEST_F(DevicesDetection, PropertyReadThatAsksForNoMoreRoomEndsTheScan) {
    start(machineWith({sim::newerAdapter()}));
    sim::failCall("SetupDiGetDeviceRegistryPropertyA", 1, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(detect());
    EXPECT_EQ(scan.error(), static_cast<unsigned long>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sim::callsOf("SetupDiGetDeviceRegistryPropertyA").size(), 1u);
}

TEST_F(DevicesDetection, IdDataWithoutTerminatorsStaysInsideTheReportedSize) {
    // "*QRV51A1" without any NUL: the id ends where the data ends.
    start(machineWith({deviceWithRawIds("ROOT\\RAW\\0", "*QRV51A1"),
                       deviceWithRawIds("ROOT\\RAW\\1", std::string("*QRV51A5\0*QRV51A6", 17))}));
    EXPECT_TRUE(detect());
    EXPECT_EQ(presentEntries(), (std::vector<int>{2, 3}));
}

TEST_F(DevicesDetection, OlderAdapterIdLongerThanTheBufferGivesWayToAShorterForm) {
    std::string longForm = "PCI\\VEN_1D3C&DEV_01A4&" + std::string(260, 'X');
    start(machineWith({deviceWithIds("PCI\\OLD\\0", {longForm, "PCI\\VEN_1D3C&DEV_01A4&CC_0780"})}));
    EXPECT_TRUE(detect());
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "PCI\\VEN_1D3C&DEV_01A4&CC_0780");

    start(machineWith({deviceWithIds("PCI\\OLD\\0", {longForm})}));
    EXPECT_FALSE(detect()) << "an id that does not fit is not taken";
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DevicesDetection, AFailingPropertyReadEndsTheScanWithItsError) {
    start(machineWith({sim::newerAdapter(), deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"})}));
    sim::failCall("SetupDiGetDeviceRegistryPropertyA", 0, 31u);
    EXPECT_FALSE(detect());
    EXPECT_EQ(scan.error(), 31u);
    EXPECT_TRUE(presentEntries().empty());
}

TEST_F(DevicesDetection, ScanFailingAfterAMatchStillAnswersZeroButKeepsTheFlag) {
    sim::Machine m = machineWith({deviceWithIds("ISAPNP\\QRV5190\\1", {"*QRV5190"}), sim::newerAdapter()});
    start(m);
    detect();
    // The last read is the newer adapter's, after *QRV5190 was taken.
    unsigned reads = static_cast<unsigned>(sim::callsOf("SetupDiGetDeviceRegistryPropertyA").size());
    start(m);
    sim::failCall("SetupDiGetDeviceRegistryPropertyA", reads, 31);
    EXPECT_FALSE(detect());
    EXPECT_EQ(scan.error(), 31u);
    EXPECT_EQ(presentEntries(), (std::vector<int>{5}));
}

TEST_F(DevicesDetection, EnumerationEndingWithAnErrorAnswersZero) {
    start(machineWith({sim::newerAdapter()}));
    sim::failCall("SetupDiEnumDeviceInfo", 2, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(detect());
    EXPECT_STREQ(scan.operation(), "SetupDiEnumDeviceInfo");
    EXPECT_EQ(scan.error(), static_cast<unsigned long>(ERROR_INVALID_HANDLE));
}

TEST_F(DevicesDetection, UnavailableDeviceSetAnswersZeroAndChangesNothing) {
    start(machineWith({sim::newerAdapter()}));
    sim::failCall("SetupDiGetClassDevsA", 0, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(detect());
    EXPECT_EQ(scan.error(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(presentEntries().empty());
    EXPECT_TRUE(sim::callsOf("SetupDiDestroyDeviceInfoList").empty());
}

TEST_F(DevicesDetection, ForceCodesOtherThanUSkipTheScan) {
    start(machineWith({sim::olderAdapter()}));
    run.detection.forceCode = 'W';
    run.detection.present[1] = true;
    EXPECT_TRUE(detect());
    EXPECT_TRUE(sim::callsOf("SetupDiGetClassDevsA").empty());
    EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
}

TEST_F(DevicesDetection, ForceCodeUScansAndCountsFlagsOfEarlierForceCodes) {
    run.detection.forceCode = 'U';
    EXPECT_FALSE(detect()) << "nothing known on a plain machine";
    EXPECT_EQ(sim::callsOf("SetupDiGetClassDevsA").size(), 1u);

    run = RunState{};
    run.detection.forceCode = 'U';
    run.detection.present[0] = run.detection.present[9] = run.detection.present[11] = true;  // -FE -FU
    EXPECT_TRUE(detect());
}

// ---- the USB management device ---------------------------------------------

class DevicesUsbProbe : public MachineTest {};

TEST_F(DevicesUsbProbe, FindsTheDeviceByVendorAndProductId) {
    start(machineWith({sim::usbManagementDevice()}));
    EXPECT_TRUE(isUsbManagementDevicePresent(run.detection));
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

TEST_F(DevicesUsbProbe, OtherProductIdsOfTheVendorDoNotCountAndTheProbeGoesOn) {
    sim::Device other = sim::usbManagementDevice();
    other.instanceId = "HID\\VID_1D3C&PID_7302\\1";
    other.hid.productId = 0x7302;
    start(machineWith({other}));
    EXPECT_FALSE(isUsbManagementDevicePresent(run.detection));
    start(machineWith({other, sim::usbManagementDevice()}));
    EXPECT_TRUE(isUsbManagementDevicePresent(run.detection));
    EXPECT_EQ(sim::callsOf("HidD_GetAttributes").size(), 3u) << "the mouse, the other device, then the right one";
}

TEST_F(DevicesUsbProbe, InterfacesThatCannotBeOpenedOrReadArePassedOver) {
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("CreateFileA", 2, ERROR_ACCESS_DENIED);  // the management device is the second interface
    EXPECT_FALSE(isUsbManagementDevicePresent(run.detection));
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("SetupDiGetDeviceInterfaceDetailA", 4, ERROR_INVALID_USER_BUFFER);
    EXPECT_FALSE(isUsbManagementDevicePresent(run.detection));
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("HidD_GetAttributes", 2, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(isUsbManagementDevicePresent(run.detection));
}

TEST_F(DevicesUsbProbe, ForceCodeUAnswersWithoutProbing) {
    run.detection.forceCode = 'U';
    EXPECT_TRUE(isUsbManagementDevicePresent(run.detection));
    EXPECT_TRUE(sim::calls().empty());
}

TEST_F(DevicesUsbProbe, NoSetMeansNoDevice) {
    start(machineWith({sim::usbManagementDevice()}));
    sim::failCall("SetupDiGetClassDevsA", 0, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(isUsbManagementDevicePresent(run.detection));
}

}  // namespace
