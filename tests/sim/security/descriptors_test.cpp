// Security descriptors of the simulated machine as a key's security gives
// them: the owner, the DACL and its entries, SIDs as text, a null DACL, and
// a descriptor of an unknown revision. Each call is checked for its result
// and its last error, as Windows answers them.
#include <gtest/gtest.h>

#include "platform/win_registry.h"
#include "sim_test.h"

using simtest::Sentinel;

namespace {

const DWORD UnknownRevision = 1305;  // ERROR_UNKNOWN_REVISION
const char* const DescribedKey = "SOFTWARE\\Described";

class SimSecurityDescriptors : public simtest::MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = simtest::machineWith();
        sim::RegKey& k = sim::ensureKey(m, DescribedKey);
        k.owner = "S-1-5-18";
        k.dacl = {sim::Ace{false, "S-1-5-32-545", KEY_SET_VALUE, 0}, sim::Ace{true, "S-1-5-32-544", KEY_READ, 2}};
        sim::ensureKey(m, "SOFTWARE\\Open").nullDacl = true;
        start(m);
    }
    HKEY open(const char* path, REGSAM access) {
        HKEY h = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &h), ERROR_SUCCESS);
        return h;
    }
};

TEST_F(SimSecurityDescriptors, DescriptorReadersGiveOwnerAndDaclEntries) {
    HKEY h = open(DescribedKey, READ_CONTROL);
    BYTE descriptor[256];
    DWORD size = sizeof descriptor;
    ASSERT_EQ(RegGetKeySecurity(h, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, &size),
              ERROR_SUCCESS);
    RegCloseKey(h);
    PSID owner = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    PACL dacl = nullptr;
    SetLastError(Sentinel);
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_FALSE(defaulted);
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(owner, &text));
    EXPECT_STREQ(text, "S-1-5-18");
    EXPECT_EQ(LocalFree(text), nullptr);
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 2);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 1, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, 2);
    EXPECT_EQ(allowed->Mask, static_cast<DWORD>(KEY_READ));
    ASSERT_TRUE(ConvertSidToStringSidA(&allowed->SidStart, &text));
    EXPECT_STREQ(text, "S-1-5-32-544");
    LocalFree(text);
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_DENIED_ACE_TYPE);
    SetLastError(Sentinel);
    EXPECT_FALSE(GetAce(dacl, 2, &ace));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    BYTE bad[8] = {9, 1};
    SetLastError(Sentinel);
    EXPECT_FALSE(ConvertSidToStringSidA(bad, &text));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));

    // A null DACL: present, with no list.
    h = open("SOFTWARE\\Open", READ_CONTROL);
    size = sizeof descriptor;
    ASSERT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, descriptor, &size), ERROR_SUCCESS);
    RegCloseKey(h);
    dacl = reinterpret_cast<PACL>(&size);
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    descriptor[0] = 2;
    SetLastError(Sentinel);
    EXPECT_FALSE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_EQ(GetLastError(), UnknownRevision);
}

}  // namespace
