// The machine as JSON: a state that survives the round trip through its file
// byte for byte, and descriptions refused with a message.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_registry.h"
#include "sim/core/machine_json.h"
#include "sim_test.h"

using simtest::deviceWithIds;

namespace {

TEST(SimCoreMachineJson, StateSurvivesARoundTrip) {
    sim::Machine m = sim::baseMachine("/media");
    sim::Device raw = deviceWithIds("ROOT\\RAW\\0", {});
    raw.rawIds = true;
    raw.rawHardwareIds = std::string("A\0B", 3);
    m.devices.push_back(raw);
    m.devices.push_back(sim::usbManagementDevice());
    sim::RegKey& k = sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\x");
    k.values["Bin"] = sim::RegValue{REG_BINARY, std::string("\0\1\2", 3)};
    k.values["Multi"] = sim::RegValue{REG_MULTI_SZ, std::string("a\0b\0\0", 5)};
    // Texts in a code page and types without a name in the description.
    k.values["Latin"] = sim::RegValue{REG_SZ, sim::regSz("red\xE9marrage")};
    k.values["Quad"] = sim::RegValue{11, std::string(8, '\1')};
    m.processes.push_back({"C:\\jp.exe", "new", 0, "\x93\xFA\x96\x7B\n"});
    k.dacl = {{false, "S-1-1-0", DELETE, 0}};
    k.securityReadable = false;
    m.eventLog.push_back({"mpsetup", 1, 0, 0, {"a", "b"}, "p"});
    nlohmann::json j;
    sim::toJson(m, j);
    sim::Machine back;
    std::string error;
    ASSERT_TRUE(sim::fromJson(j, back, error)) << error;
    nlohmann::json again;
    sim::toJson(back, again);
    EXPECT_EQ(j, again);
    EXPECT_EQ(back.devices.back().hid.productId, 0x7301);
    EXPECT_EQ(sim::findKey(back, "SYSTEM\\CurrentControlSet\\Services\\x")->values["Bin"].data, std::string("\0\1\2", 3));
    EXPECT_EQ(sim::findKey(back, "SYSTEM\\CurrentControlSet\\Services\\x")->values["Quad"].type, 11u);
    EXPECT_EQ(back.processes.back().output, "\x93\xFA\x96\x7B\n");
    EXPECT_NO_THROW(j.dump()) << "every text of the state is UTF-8";
}

TEST(SimCoreMachineJson, MalformedDescriptionsAreRefusedWithAMessage) {
    sim::Machine m;
    std::string error;
    EXPECT_FALSE(sim::fromJson(nlohmann::json::array(), m, error));
    EXPECT_FALSE(sim::fromJson({{"account", "root"}}, m, error));
    EXPECT_NE(error.find("account"), std::string::npos);
    EXPECT_FALSE(sim::fromJson({{"devices", {{{"hardwareIdsHex", "zz"}}}}}, m, error));
    EXPECT_FALSE(sim::fromJson({{"registry", {{{"path", "HKLM\\X"}, {"values", {{"v", {{"type", "REG_BOGUS"}}}}}}}}}, m, error));
}

}  // namespace
