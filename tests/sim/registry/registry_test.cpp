// The simulated registry at the platform boundary: keys opened against
// their DACLs for each account, listed, deleted and read with the size
// protocol, values listed with the room given for name and data, what a
// plain user may not change, and the last error that the registry
// functions leave alone. Each call is checked for its result and its last
// error, as Windows answers them.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_registry.h"
#include "sim_test.h"

using simtest::machineWith;
using simtest::MachineTest;
using simtest::Sentinel;

namespace {

class SimRegistry : public MachineTest {};

TEST_F(SimRegistry, KeyAccessIsCheckedAgainstTheDaclForEachAccount) {
    sim::Machine m = machineWith();
    sim::RegKey& k = sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\locked");
    k.dacl = {{true, "S-1-5-32-544", KEY_READ, 0}};
    m.account = "user";
    start(m);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\locked", 0, KEY_READ, &h),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Missing", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);

    m.account = "administrator";
    start(m);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\LOCKED\\", 0, KEY_READ, &h),
              ERROR_SUCCESS)
        << "names compared without regard to case, a trailing backslash allowed";
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\locked", 0, KEY_ALL_ACCESS, &h),
              ERROR_ACCESS_DENIED);
}

TEST_F(SimRegistry, EnumerationReportsNamesThatDoNotFitWithoutTouchingTheBuffer) {
    sim::Machine m = machineWith();
    sim::ensureKey(m, "SOFTWARE\\T\\bbbbbbbbbb");
    sim::ensureKey(m, "SOFTWARE\\T\\a");
    start(m);
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &h), ERROR_SUCCESS);
    char name[8] = "unused";
    DWORD len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(len, 1u);
    len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(h, 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "a");
    len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(h, 2, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(h);
}

TEST_F(SimRegistry, AKeyWithSubkeysCannotBeDeleted) {
    sim::Machine m = machineWith();
    sim::ensureKey(m, "SOFTWARE\\P\\C");
    start(m);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P\\C"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P"), ERROR_SUCCESS);
    EXPECT_EQ(sim::findKey(sim::machine(), "SOFTWARE\\P"), nullptr);
}

TEST_F(SimRegistry, ValueReadsFollowTheSizeProtocol) {
    sim::Machine m = machineWith();
    sim::ensureKey(m, "SOFTWARE\\V").values["Name"] = sim::RegValue{REG_SZ, sim::regSz("hello")};
    start(m);
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\V", 0, KEY_READ, &h), ERROR_SUCCESS);
    char buf[4];
    DWORD size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegQueryValueExA(h, "Other", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(h, "X", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_ACCESS_DENIED)
        << "a key opened for reading cannot be written";
    RegCloseKey(h);
}

const char* const ValuesKey = "SOFTWARE\\Values";

class SimRegistryValues : public MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = machineWith();
        sim::RegKey& k = sim::ensureKey(m, ValuesKey);
        k.values["Long"] = sim::RegValue{REG_SZ, sim::regSz("twelve chars")};
        k.values["Number"] = sim::RegValue{REG_DWORD, sim::regDword(7)};
        start(m);
    }
    HKEY open(const char* path, REGSAM access) {
        HKEY h = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &h), ERROR_SUCCESS);
        return h;
    }
};

TEST_F(SimRegistryValues, ValueEnumerationChecksTheRoomForNameAndData) {
    HKEY h = open(ValuesKey, KEY_QUERY_VALUE);
    char name[16] = "untouched";
    BYTE data[16];
    DWORD nameSize = sizeof name, dataSize = 4, type = 0;
    // Data that does not fit: its size and type, the name left as it was.
    EXPECT_EQ(RegEnumValueA(h, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 13u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(nameSize, sizeof name);
    // A name that does not fit is cut to the room, and the count stays.
    nameSize = 3;
    dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueA(h, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "Lo");
    EXPECT_EQ(nameSize, 3u);
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValueA(h, 1, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Number");
    EXPECT_EQ(nameSize, 6u);
    EXPECT_EQ(dataSize, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegEnumValueA(h, 2, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_NO_MORE_ITEMS);
    DWORD reserved = 0;
    EXPECT_EQ(RegEnumValueA(h, 0, name, &nameSize, &reserved, &type, data, &dataSize), ERROR_INVALID_PARAMETER);
    RegCloseKey(h);
    h = open(ValuesKey, KEY_ENUMERATE_SUB_KEYS);
    EXPECT_EQ(RegEnumValueA(h, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_ACCESS_DENIED);
    RegCloseKey(h);
}

class SimRegistryPlainUser : public MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = machineWith();
        m.account = "user";
        start(m);
    }
};

TEST_F(SimRegistryPlainUser, ReadsButCannotChangeTheKeysTheInstallerWrites) {
    HKEY key;
    SetLastError(Sentinel);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep", 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\mpsetup", 0, nullptr, 0,
                              KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), Sentinel) << "the registry functions leave the last error alone";

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\Beep"), nullptr);
}

class SimRegistryLastError : public MachineTest {};

TEST_F(SimRegistryLastError, InjectedRegistryFailureIsTheResultAndLeavesTheLastErrorAlone) {
    sim::failCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
    HKEY key;
    SetLastError(Sentinel);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), Sentinel);
    sim::failCall("RegGetKeySecurity", 1, ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(HKEY_LOCAL_MACHINE, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), Sentinel);
}

}  // namespace
