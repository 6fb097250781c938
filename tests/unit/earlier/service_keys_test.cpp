// The service key cleanups and the access reset against the simulated
// registry: what is deleted, what stays, the security calls' arguments and
// the release of every handle, SID, ACL and heap block.
#include <gtest/gtest.h>

#include "earlier/service_keys.h"
#include "sim/core/machine_json.h"
#include "test_support.h"

namespace {

const std::string RootArg = sim::arg("SYSTEM\\CurrentControlSet\\Services\\");

void addServiceKey(sim::Machine& m, const std::string& name, const std::vector<std::string>& children = {}) {
    sim::RegKey& k = sim::ensureKey(m, Services + name);
    k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(16)};
    for (const auto& child : children)
        sim::ensureKey(m, Services + name + "\\" + child).values["Value"] = sim::RegValue{REG_SZ, sim::regSz("x")};
}

bool keyExists(const std::string& path) { return sim::findKey(sim::machine(), Services + path) != nullptr; }

nlohmann::json registryNow() {
    nlohmann::json j;
    sim::toJson(sim::machine(), j);
    return j["registry"];
}

size_t rootOpens() {
    size_t n = 0;
    for (const auto& c : sim::callsOf("RegOpenKeyExA"))
        if (c.args[1] == RootArg) {
            EXPECT_EQ(c.args[3], "0x20019");  // KEY_READ
            ++n;
        }
    return n;
}

// The DACL that the access reset leaves: Administrators, full control, no
// inheritance.
void expectAdministratorsOnly(const std::string& path) {
    sim::RegKey* k = sim::findKey(sim::machine(), Services + path);
    ASSERT_NE(k, nullptr) << path;
    ASSERT_EQ(k->dacl.size(), 1u) << path;
    EXPECT_TRUE(k->dacl[0].allow);
    EXPECT_EQ(k->dacl[0].sid, "S-1-5-32-544");
    EXPECT_EQ(k->dacl[0].mask, KEY_ALL_ACCESS);
    EXPECT_EQ(k->dacl[0].flags, 0);
    EXPECT_FALSE(k->nullDacl);
}

class EarlierServiceKeys : public testsupport::MachineTest {};

TEST_F(EarlierServiceKeys, CleanMachineChangesNothingInTwoPassesEach) {
    nlohmann::json before = registryNow();
    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    EXPECT_EQ(rootOpens(), 2u);
    sim::clearCalls();
    EXPECT_FALSE(removeRemoteSupportServiceKeys());
    EXPECT_EQ(rootOpens(), 2u);
    EXPECT_TRUE(sim::callsOf("RegDeleteKeyA").empty());
    EXPECT_TRUE(sim::callsOf("RegSetKeySecurity").empty());
    EXPECT_EQ(registryNow(), before);
}

TEST_F(EarlierServiceKeys, AdjacentRestartFeatureKeysGoInOnePass) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvoex", {"Enum", "Parameters"});
    addServiceKey(m, "qrvrvosv", {"Parameters", "Security"});
    start(m);

    EXPECT_TRUE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(keyExists("qrvrvoex"));
    EXPECT_FALSE(keyExists("qrvrvosv"));
    EXPECT_TRUE(keyExists("Beep"));
    EXPECT_EQ(rootOpens(), 1u);  // both flags set: no second pass

    // The access reset reads each service key's security, then writes its
    // DACL; the deletion opens it and its children with full access.
    auto opens = sim::callsOf("RegOpenKeyExA");
    int readControl = 0, writeDac = 0, allAccess = 0;
    for (const auto& c : opens) {
        readControl += c.args[3] == "0x20000";
        writeDac += c.args[3] == "0x40000";
        allAccess += c.args[3] == "0xF003F";
    }
    EXPECT_EQ(readControl, 2);
    EXPECT_EQ(writeDac, 2);
    EXPECT_EQ(allAccess, 2 + 4);  // service keys and children
    // What the reset leaves is checked where the key stays
    // (KeyThreeLevelsDownKeepsItsAncestorsButTheDaclIsReplaced).
    EXPECT_EQ(sim::callsOf("RegSetKeySecurity").size(), 2u);
}

TEST_F(EarlierServiceKeys, LoneRestartKeyDeletedFirstPassThenSecondPassFindsNothing) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Parameters"});
    start(m);
    EXPECT_TRUE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(keyExists("qrvrvosv"));
    EXPECT_EQ(rootOpens(), 2u);
    EXPECT_EQ(sim::callsOf("RegSetKeySecurity").size(), 1u);
}

// Each deletion moves the keys behind it up by one, so the same index is
// read again: a child with four keys of its own loses every one of them, and
// goes with the service key.
TEST_F(EarlierServiceKeys, ChildWithFourKeysGoesWithAllOfThem) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Enum", "Parameters\\Alpha", "Parameters\\Beta", "Parameters\\Delta",
                                  "Parameters\\Gamma"});
    start(m);
    EXPECT_TRUE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(keyExists("qrvrvosv"));
    EXPECT_TRUE(keyExists("Beep"));
}

// The access reset fails (here its last step, in both passes): the service
// key stays with its security as it was, though its children are gone.
TEST_F(EarlierServiceKeys, ServiceKeyWhoseAccessCannotBeResetStays) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Parameters"});
    start(m);
    sim::failCall("RegSetKeySecurity", 0, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    ASSERT_TRUE(keyExists("qrvrvosv"));
    EXPECT_FALSE(keyExists("qrvrvosv\\Parameters"));
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvrvosv")->dacl.size(), sim::defaultDacl().size());
}

// A child that cannot be opened with full access stays, even where it could
// be deleted, and the service key with it.
TEST_F(EarlierServiceKeys, ChildThatCannotBeOpenedStaysWithItsServiceKey) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Enum", "Security"});
    sim::RegKey& locked = *sim::findKey(m, Services + "qrvrvosv\\Security");
    locked.owner = "S-1-5-18";
    locked.dacl = {sim::Ace{true, "S-1-5-18", KEY_ALL_ACCESS, 0}, sim::Ace{true, "S-1-5-32-544", KEY_READ | DELETE, 0}};
    start(m);
    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(keyExists("qrvrvosv\\Enum"));
    EXPECT_TRUE(keyExists("qrvrvosv\\Security"));
    expectAdministratorsOnly("qrvrvosv");
}

TEST_F(EarlierServiceKeys, KeyThreeLevelsDownKeepsItsAncestorsButTheDaclIsReplaced) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Alpha", "Beta", "Gamma"});
    sim::ensureKey(m, Services + "qrvrvosv\\Beta\\Ports\\COM1");
    sim::ensureKey(m, Services + "qrvrvosv\\Beta\\Leaf");
    start(m);

    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(keyExists("qrvrvosv\\Alpha"));
    EXPECT_FALSE(keyExists("qrvrvosv\\Gamma"));
    EXPECT_FALSE(keyExists("qrvrvosv\\Beta\\Leaf"));
    EXPECT_TRUE(keyExists("qrvrvosv\\Beta\\Ports\\COM1"));
    expectAdministratorsOnly("qrvrvosv");
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvrvosv")->owner, "S-1-5-32-544");
    // The children keep their own DACLs: the new entry is not inherited.
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvrvosv\\Beta")->dacl.size(), sim::defaultDacl().size());
    EXPECT_EQ(rootOpens(), 2u);

    sim::clearCalls();
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Services.c_str(), 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_EQ(deleteServiceKeyTree(root, "qrvrvosv"), KeyOpenedNotDeleted);
    EXPECT_EQ(deleteServiceKeyTree(root, "absent"), KeyNotOpened);
    RegCloseKey(root);
}

TEST_F(EarlierServiceKeys, OnlyTheFirstRemoteSupportKeyIsHandled) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvmprem", {"Parameters"});
    addServiceKey(m, "xqrvmpremx", {"Parameters"});
    start(m);
    EXPECT_TRUE(removeRemoteSupportServiceKeys());
    EXPECT_FALSE(keyExists("qrvmprem"));
    EXPECT_TRUE(keyExists("xqrvmpremx\\Parameters"));
    EXPECT_EQ(rootOpens(), 1u);
    // A second call meets the other key.
    EXPECT_TRUE(removeRemoteSupportServiceKeys());
    EXPECT_FALSE(keyExists("xqrvmpremx"));
}

TEST_F(EarlierServiceKeys, RemoteSupportKeyThatCannotBeOpenedIsPassedOver) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvmprem", {"Parameters"});
    sim::RegKey& locked = *sim::findKey(m, Services + "qrvmprem");
    locked.owner = "S-1-5-18";
    locked.dacl = {sim::Ace{true, "S-1-5-18", KEY_ALL_ACCESS, 0}, sim::Ace{true, "S-1-5-32-544", KEY_READ, 0}};
    addServiceKey(m, "qrvmprem2", {"Parameters"});
    start(m);
    EXPECT_TRUE(removeRemoteSupportServiceKeys());
    EXPECT_TRUE(keyExists("qrvmprem\\Parameters"));
    EXPECT_FALSE(keyExists("qrvmprem2"));
}

TEST_F(EarlierServiceKeys, RemoteSupportKeyThatStaysEndsThePassAndASecondPassTriesAgain) {
    // A key three levels down keeps the first key after its DACL reset.
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvmprem", {"Parameters\\Deep\\Deeper"});
    addServiceKey(m, "qrvmprem2");
    start(m);
    EXPECT_FALSE(removeRemoteSupportServiceKeys());
    EXPECT_TRUE(keyExists("qrvmprem\\Parameters\\Deep\\Deeper"));
    EXPECT_TRUE(keyExists("qrvmprem2"));
    EXPECT_EQ(rootOpens(), 2u);
    EXPECT_EQ(sim::callsOf("RegSetKeySecurity").size(), 2u);
}

TEST_F(EarlierServiceKeys, UnreadableSecurityKeepsTheServiceKeyWithItsChildren) {
    // Its security cannot be read, so it cannot be opened with full access:
    // nothing below it is touched, and the other key is handled.
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvmprem", {"Parameters"});
    sim::findKey(m, Services + "qrvmprem")->securityReadable = false;
    addServiceKey(m, "qrvmprem2");
    start(m);
    EXPECT_TRUE(removeRemoteSupportServiceKeys());
    EXPECT_TRUE(keyExists("qrvmprem\\Parameters"));
    EXPECT_FALSE(keyExists("qrvmprem2"));
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvmprem")->dacl.size(), sim::defaultDacl().size());
}

TEST_F(EarlierServiceKeys, FragmentsMatchAnywhereButOnlyInLowerCase) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "QRVRVOSV", {"Parameters"});
    addServiceKey(m, "QRVMPREM");
    addServiceKey(m, "Qrvrvoex");
    addServiceKey(m, "oldqrvrvosv2");
    // A fragment cut short by a letter matches nothing either.
    for (const char* nearMiss : {"qrvmpre", "qrvrvos", "qrvrvoe"}) addServiceKey(m, nearMiss);
    start(m);
    EXPECT_FALSE(removeRemoteSupportServiceKeys());
    EXPECT_TRUE(removeRestartFeatureServiceKeys());
    EXPECT_TRUE(keyExists("QRVRVOSV\\Parameters"));
    EXPECT_TRUE(keyExists("QRVMPREM"));
    EXPECT_TRUE(keyExists("Qrvrvoex"));
    EXPECT_FALSE(keyExists("oldqrvrvosv2"));
    for (const char* nearMiss : {"qrvmpre", "qrvrvos", "qrvrvoe"}) EXPECT_TRUE(keyExists(nearMiss)) << nearMiss;
}

TEST_F(EarlierServiceKeys, PlainUserCannotOpenTheServiceKeys) {
    sim::Machine m = testsupport::machineWith();
    m.account = "user";
    addServiceKey(m, "qrvrvosv", {"Parameters"});
    addServiceKey(m, "qrvmprem", {"Parameters"});
    start(m);
    nlohmann::json before = registryNow();
    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(removeRemoteSupportServiceKeys());
    EXPECT_EQ(registryNow(), before);
}

TEST_F(EarlierServiceKeys, ServicesRootThatNeverOpensGivesZero) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv");
    addServiceKey(m, "qrvmprem");
    start(m);
    sim::failCall("RegOpenKeyExA", 0, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(removeRestartFeatureServiceKeys());
    EXPECT_FALSE(removeRemoteSupportServiceKeys());
    EXPECT_EQ(sim::callsOf("RegOpenKeyExA").size(), 4u);
    EXPECT_TRUE(keyExists("qrvrvosv"));
}

TEST_F(EarlierServiceKeys, NameThatDidNotFitCountsAsAnEntryWithoutNamingAKey) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv", {"Alpha", "Beta"});
    start(m);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Services.c_str(), 0, KEY_READ, &root), ERROR_SUCCESS);
    // The first child enumeration reports a name too long for the buffer:
    // the entry is passed over and the next index read.
    sim::failCall("RegEnumKeyExA", 1, ERROR_MORE_DATA);
    EXPECT_EQ(deleteServiceKeyTree(root, "qrvrvosv"), KeyOpenedNotDeleted);
    RegCloseKey(root);
    EXPECT_TRUE(keyExists("qrvrvosv\\Alpha"));
    EXPECT_FALSE(keyExists("qrvrvosv\\Beta"));
    auto enums = sim::callsOf("RegEnumKeyExA");
    ASSERT_GE(enums.size(), 2u);
    EXPECT_EQ(enums[0].args[1], "0");
    EXPECT_EQ(enums[1].args[1], "1");
    for (const auto& c : enums) EXPECT_EQ(c.args[2], "512");

    // The same at the level below: the first child's first enumeration
    // reports a name too long, before any name was read. The child and its
    // sibling still go, and the service key with them.
    start(m);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Services.c_str(), 0, KEY_READ, &root), ERROR_SUCCESS);
    sim::failCall("RegEnumKeyExA", 2, ERROR_MORE_DATA);
    EXPECT_EQ(deleteServiceKeyTree(root, "qrvrvosv"), KeyDeleted);
    RegCloseKey(root);
    EXPECT_FALSE(keyExists("qrvrvosv"));
}

// Every step of the access reset that can fail: the reset answers 1, the
// DACL stays, the later steps do not run and nothing is left allocated.
struct ResetFault {
    const char* function;
    unsigned nth;
    const char* firstSkipped;
};

class EarlierAccessResetFault : public testsupport::MachineTest, public ::testing::WithParamInterface<ResetFault> {};

TEST_P(EarlierAccessResetFault, FailsCleanly) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv");
    start(m);
    const ResetFault& f = GetParam();
    sim::failCall(f.function, f.nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(grantAdministratorsFullControl(HKEY_LOCAL_MACHINE, (Services + "qrvrvosv").c_str()).ok());
    EXPECT_EQ(sim::findKey(sim::machine(), Services + "qrvrvosv")->dacl.size(), sim::defaultDacl().size());
    EXPECT_TRUE(sim::callsOf(f.firstSkipped).empty()) << f.firstSkipped;
    EXPECT_TRUE(sim::callsOf("RegSetKeySecurity").empty() || std::string(f.function) == "RegSetKeySecurity");
}

INSTANTIATE_TEST_SUITE_P(
    EarlierEveryStep, EarlierAccessResetFault,
    ::testing::Values(ResetFault{"RegOpenKeyExA", 1, "RegGetKeySecurity"},
                      ResetFault{"RegGetKeySecurity", 1, "HeapAlloc"},
                      ResetFault{"GetProcessHeap", 1, "HeapAlloc"},
                      ResetFault{"HeapAlloc", 1, "AllocateAndInitializeSid"},
                      ResetFault{"RegGetKeySecurity", 2, "AllocateAndInitializeSid"},
                      ResetFault{"RegOpenKeyExA", 2, "AllocateAndInitializeSid"},
                      ResetFault{"AllocateAndInitializeSid", 1, "InitializeAcl"},
                      ResetFault{"HeapAlloc", 2, "InitializeAcl"},
                      ResetFault{"InitializeAcl", 1, "AddAccessAllowedAce"},
                      ResetFault{"AddAccessAllowedAce", 1, "InitializeSecurityDescriptor"},
                      ResetFault{"InitializeSecurityDescriptor", 1, "SetSecurityDescriptorDacl"},
                      ResetFault{"SetSecurityDescriptorDacl", 1, "RegSetKeySecurity"},
                      ResetFault{"RegSetKeySecurity", 1, "RegDeleteKeyA"}));

TEST_F(EarlierServiceKeys, AccessResetReleasesItsBlocksOnSuccess) {
    sim::Machine m = testsupport::machineWith();
    addServiceKey(m, "qrvrvosv");
    start(m);
    EXPECT_TRUE(grantAdministratorsFullControl(HKEY_LOCAL_MACHINE, (Services + "qrvrvosv").c_str()).ok());
    expectAdministratorsOnly("qrvrvosv");
    // Three blocks: the descriptor read, the ACL and the SID.
    EXPECT_EQ(sim::callsOf("HeapAlloc").size(), 2u);
    EXPECT_EQ(sim::callsOf("HeapFree").size(), 2u);
    EXPECT_EQ(sim::callsOf("FreeSid").size(), 1u);
    EXPECT_EQ(sim::callsOf("RegCloseKey").size(), 2u);
    EXPECT_EQ(sim::callsOf("RegGetKeySecurity").size(), 2u);
}

}  // namespace
