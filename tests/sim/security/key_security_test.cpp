// The simulated machine's key security and the SID, ACL and descriptor
// functions in their binary layouts, checked the way a Windows conformance
// test would: result, last error and the bytes written.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/core/machine.h"
#include "sim_test.h"

namespace {

const std::string Key = "SYSTEM\\CurrentControlSet\\Services\\qrvrvosv";

class SimSecurityKeys : public simtest::MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = simtest::machineWith();
        sim::ensureKey(m, Key + "\\Parameters");
        start(m);
    }
    HKEY open(REGSAM sam, const std::string& path = Key) {
        HKEY h = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, sam, &h), ERROR_SUCCESS);
        return h;
    }
    sim::RegKey& key(const std::string& path = Key) { return *sim::findKey(sim::machine(), path); }

    // An absolute descriptor whose DACL holds one access-allowed entry for
    // the SID S-1-5-<a>-<b>, in a heap block the caller frees.
    PACL buildDacl(DWORD a, DWORD b, DWORD mask, PSID& sid) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, a, b, 0, 0, 0, 0, 0, 0, &sid));
        DWORD size = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(sid);
        PACL acl = static_cast<PACL>(HeapAlloc(GetProcessHeap(), 0, size));
        EXPECT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
        EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, mask, sid));
        return acl;
    }
};

TEST_F(SimSecurityKeys, GetKeySecurityFollowsTheSizeProtocol) {
    HKEY h = open(READ_CONTROL);
    DWORD size = 0;
    ASSERT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    // Header, ACL header, and three entries of 8 bytes plus their SIDs
    // (Administrators 16, SYSTEM 12, Users 16).
    EXPECT_EQ(size, 20u + 8u + (8 + 16) + (8 + 12) + (8 + 16));
    std::vector<BYTE> buffer(size + 8, 0xCC);
    DWORD small = size - 1;
    EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, buffer.data(), &small), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, size);
    EXPECT_EQ(buffer[0], 0xCC);
    DWORD exact = size;
    ASSERT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, buffer.data(), &exact), ERROR_SUCCESS);
    EXPECT_EQ(buffer[size], 0xCC);

    const BYTE* sd = buffer.data();
    EXPECT_EQ(sd[0], SECURITY_DESCRIPTOR_REVISION);
    WORD control;
    std::memcpy(&control, sd + 2, 2);
    EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT);
    DWORD offsets[4];
    std::memcpy(offsets, sd + 4, sizeof offsets);
    EXPECT_EQ(offsets[0], 0u);  // owner not asked for
    EXPECT_EQ(offsets[3], 20u);
    ACL acl;
    std::memcpy(&acl, sd + 20, sizeof acl);
    EXPECT_EQ(acl.AclRevision, ACL_REVISION);
    EXPECT_EQ(acl.AceCount, 3);
    EXPECT_EQ(acl.AclSize, size - 20);
    ACCESS_ALLOWED_ACE ace;
    std::memcpy(&ace, sd + 28, sizeof ace);
    EXPECT_EQ(ace.Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace.Header.AceSize, 24);
    EXPECT_EQ(ace.Mask, KEY_ALL_ACCESS);
    const BYTE administrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    EXPECT_EQ(std::memcmp(sd + 36, administrators, 16), 0);
    RegCloseKey(h);
}

TEST_F(SimSecurityKeys, GetKeySecurityNeedsReadControlAndAReadableKey) {
    HKEY h = open(KEY_QUERY_VALUE);
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_ACCESS_DENIED);
    RegCloseKey(h);
    EXPECT_EQ(size, 0u);
    // A key whose security cannot be read refuses every open that asks for
    // READ_CONTROL (KEY_READ and KEY_ALL_ACCESS too), as Windows and Wine do;
    // its values can still be read.
    key().securityReadable = false;
    for (REGSAM sam : {REGSAM(READ_CONTROL), REGSAM(KEY_READ), REGSAM(KEY_ALL_ACCESS)}) {
        h = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key.c_str(), 0, sam, &h), ERROR_ACCESS_DENIED) << sam;
        EXPECT_EQ(h, nullptr);
    }
    RegCloseKey(open(KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS));
}

TEST_F(SimSecurityKeys, SetKeySecurityReplacesTheDaclAndKeepsTheOwner) {
    key().owner = "S-1-5-18";
    PSID sid;
    PACL acl = buildDacl(32, 544, KEY_ALL_ACCESS, sid);
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
    EXPECT_EQ(sd.Dacl, acl);

    HKEY readOnly = open(READ_CONTROL);
    EXPECT_EQ(RegSetKeySecurity(readOnly, DACL_SECURITY_INFORMATION, &sd), ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);
    HKEY h = open(WRITE_DAC);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
    RegCloseKey(h);
    ASSERT_EQ(key().dacl.size(), 1u);
    EXPECT_EQ(key().dacl[0].sid, "S-1-5-32-544");
    EXPECT_EQ(key().dacl[0].mask, KEY_ALL_ACCESS);
    EXPECT_EQ(key().owner, "S-1-5-18");
    // The child keeps its own list.
    EXPECT_EQ(key(Key + "\\Parameters").dacl.size(), 3u);

    // SYSTEM and plain users have lost their access; Administrators keep it.
    HKEY check = nullptr;
    sim::setProcessAccount("user");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key.c_str(), 0, KEY_READ, &check), ERROR_ACCESS_DENIED);
    sim::setProcessAccount("administrator");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key.c_str(), 0, KEY_ALL_ACCESS, &check), ERROR_SUCCESS);
    RegCloseKey(check);
    sim::setProcessAccount("");

    HeapFree(GetProcessHeap(), 0, acl);
    EXPECT_EQ(FreeSid(sid), nullptr);
}

TEST_F(SimSecurityKeys, DescriptorWithoutDaclGivesANullDacl) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    HKEY h = open(WRITE_DAC);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_TRUE(key().nullDacl);
}

TEST_F(SimSecurityKeys, SelfRelativeDescriptorReadBackSetsTheSameList) {
    key(Key + "\\Parameters").dacl = {sim::Ace{false, "S-1-5-32-545", KEY_SET_VALUE, 0},
                                      sim::Ace{true, "S-1-1-0", KEY_READ, 2}};
    HKEY from = open(READ_CONTROL, Key + "\\Parameters");
    DWORD size = 0;
    ASSERT_EQ(RegGetKeySecurity(from, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    ASSERT_EQ(RegGetKeySecurity(from, DACL_SECURITY_INFORMATION, buffer.data(), &size), ERROR_SUCCESS);
    RegCloseKey(from);
    HKEY to = open(WRITE_DAC);
    EXPECT_EQ(RegSetKeySecurity(to, DACL_SECURITY_INFORMATION, buffer.data()), ERROR_SUCCESS);
    RegCloseKey(to);
    ASSERT_EQ(key().dacl.size(), 2u);
    EXPECT_FALSE(key().dacl[0].allow);
    EXPECT_EQ(key().dacl[0].sid, "S-1-5-32-545");
    EXPECT_EQ(key().dacl[1].sid, "S-1-1-0");
    EXPECT_EQ(key().dacl[1].flags, 2);
}

TEST_F(SimSecurityKeys, BrokenDescriptorsAndAclsAreRefused) {
    SECURITY_DESCRIPTOR sd;
    std::memset(&sd, 0, sizeof sd);
    HKEY h = open(WRITE_DAC);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_INVALID_SECURITY_DESCR);
    BYTE badAcl[8] = {1, 0, 8, 0, 0, 0, 0, 0};  // revision 1
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(badAcl), FALSE));
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_INVALID_ACL);
    RegCloseKey(h);
    EXPECT_EQ(key().dacl.size(), 3u);

    SetLastError(0xDEAD);
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), 1305u);
}

TEST_F(SimSecurityKeys, AclSpaceIsEnforced) {
    PSID sid;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(sim::heapBlockCount(), 1u);  // the SID is a heap block
    EXPECT_EQ(GetLengthSid(sid), 16u);
    const BYTE expected[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    EXPECT_EQ(std::memcmp(sid, expected, 16), 0);

    BYTE buffer[64];
    PACL acl = reinterpret_cast<PACL>(buffer);
    SetLastError(0xDEAD);
    EXPECT_FALSE(InitializeAcl(acl, 7, ACL_REVISION));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(InitializeAcl(acl, 32, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(InitializeAcl(acl, 31, ACL_REVISION));
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
    EXPECT_EQ(acl->AceCount, 0);

    ASSERT_TRUE(InitializeAcl(acl, 32, ACL_REVISION));
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    EXPECT_EQ(acl->AclSize, 32);
    EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, sid));
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));

    EXPECT_EQ(FreeSid(sid), nullptr);
    EXPECT_EQ(sim::heapBlockCount(), 0u);
    PSID none = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &none));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST_F(SimSecurityKeys, RegistryProtocolsBehaveAsOnWindows) {
    // A name longer than the buffer leaves buffer and length alone.
    HKEY services = open(KEY_READ, "SYSTEM\\CurrentControlSet\\Services");
    char name[4] = "abc";
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(services, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "abc");
    EXPECT_EQ(length, 4u);

    // A key with subkeys cannot be deleted; an empty name deletes the
    // handle's own key once it has none.
    EXPECT_EQ(RegDeleteKeyA(services, "qrvrvosv"), ERROR_ACCESS_DENIED);
    HKEY parameters = open(KEY_ALL_ACCESS, Key + "\\Parameters");
    EXPECT_EQ(RegDeleteKeyA(parameters, ""), ERROR_SUCCESS);
    EXPECT_EQ(sim::findKey(sim::machine(), Key + "\\Parameters"), nullptr);
    EXPECT_EQ(RegEnumKeyExA(parameters, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    RegCloseKey(parameters);
    EXPECT_EQ(RegDeleteKeyA(services, "qrvrvosv"), ERROR_SUCCESS);
    RegCloseKey(services);

    // A generic right in the handle is mapped onto the key's rights.
    HKEY generic = open(GENERIC_READ, "SYSTEM");
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(generic, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    RegCloseKey(generic);

    // An inherit-only entry does not grant access to the key itself.
    sim::RegKey& system = key("SYSTEM");
    system.owner = "S-1-5-18";
    system.dacl = {sim::Ace{true, "S-1-5-32-544", KEY_ALL_ACCESS, 0x08 | 0x02}};
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &none), ERROR_ACCESS_DENIED);
}

}  // namespace
