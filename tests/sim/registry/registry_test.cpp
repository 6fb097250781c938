// The simulated machine at the platform boundary, for what the snapshot
// program reads: value enumeration, descriptor readers, instance ids and
// device properties, directory listings and written files. Each call is
// checked for its result and its last error, as Windows answers them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/win_files.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::deviceWithIds;
using testsupport::machineWith;
using testsupport::MachineTest;

namespace {

const DWORD UnknownRevision = 1305;  // ERROR_UNKNOWN_REVISION
const char* const Key = "SOFTWARE\\Probe";

class CaptureRegistryBoundary : public MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = machineWith();
        sim::RegKey& k = sim::ensureKey(m, Key);
        k.values["Long"] = sim::RegValue{REG_SZ, sim::regSz("twelve chars")};
        k.values["Number"] = sim::RegValue{REG_DWORD, sim::regDword(7)};
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

TEST_F(CaptureRegistryBoundary, ValueEnumerationChecksTheRoomForNameAndData) {
    HKEY h = open(Key, KEY_QUERY_VALUE);
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
    h = open(Key, KEY_ENUMERATE_SUB_KEYS);
    EXPECT_EQ(RegEnumValueA(h, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_ACCESS_DENIED);
    RegCloseKey(h);
}

TEST_F(CaptureRegistryBoundary, DescriptorReadersGiveOwnerAndDaclEntries) {
    HKEY h = open(Key, READ_CONTROL);
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

class CaptureDeviceBoundary : public MachineTest {};

TEST_F(CaptureDeviceBoundary, InstanceIdClassAndDriverProperties) {
    sim::Device bound = deviceWithIds("PCI\\VEN_1\\3&1", {"PCI\\VEN_1"});
    bound.compatibleIds = {"PCI\\CC_0680"};
    sim::Device bare = deviceWithIds("ROOT\\BARE\\0000", {"X"});
    bare.className.clear();
    bare.classGuid.clear();
    sim::Machine m = machineWith({bound, bare});
    sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1\\3&1").values["Driver"] =
        sim::RegValue{REG_SZ, sim::regSz("{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0003")};
    start(m);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD last = static_cast<DWORD>(m.devices.size() - 1);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, last - 1, &dev));

    DWORD size = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 14u);
    char id[64];
    SetLastError(Sentinel);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, &size));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_STREQ(id, "PCI\\VEN_1\\3&1");

    BYTE buf[128];
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_DRIVER, &type, buf, sizeof buf, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0003");
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_COMPATIBLEIDS, &type, buf, sizeof buf, &size));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("PCI\\CC_0680\0\0", 13));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_CLASS, &type, buf, sizeof buf, &size));
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "System");

    // A device never bound and without a class has none of the three.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, last, &dev));
    for (DWORD property : {SPDRP_DRIVER, SPDRP_CLASS, SPDRP_CLASSGUID, SPDRP_COMPATIBLEIDS}) {
        SetLastError(Sentinel);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, property, &type, buf, sizeof buf, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << property;
    }
    dev.cbSize = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

class CaptureFileBoundary : public MachineTest {
protected:
    std::string root;
    void SetUp() override {
        root = (fs::temp_directory_path() / ("korpa-sim-capture-" + std::to_string(::getpid()))).string();
        fs::remove_all(root);
        fs::create_directories(root + "/Dir/sub");
        std::ofstream(root + "/Dir/b.txt") << "b";
        std::ofstream(root + "/Dir/A.txt") << "aa";
        std::ofstream(root + "/top.txt") << "t";
        sim::Machine m = machineWith();
        m.drives["C"] = root;
        m.fileAttributes["C:\\Dir\\b.txt"] = FILE_ATTRIBUTE_READONLY;
        start(m);
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(root);
    }
    std::vector<std::string> listing(const char* pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE) return names;
        do names.push_back(data.cFileName);
        while (FindNextFileA(h, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    }
};

TEST_F(CaptureFileBoundary, ListingsComeInTheOrderWindowsGivesThem) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(listing("C:\\Dir\\*"), (Names{".", "..", "A.txt", "b.txt", "sub"}));
    EXPECT_EQ(listing("C:\\Dir\\*.*"), (Names{".", "..", "A.txt", "b.txt", "sub"}));
    EXPECT_EQ(listing("C:\\Dir\\?.TXT"), (Names{"A.txt", "b.txt"}));
    EXPECT_EQ(listing("C:\\*"), (Names{"Dir", "top.txt"})) << "no dot entries at a root";
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("C:\\Dir\\b*", &data);
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(data.nFileSizeLow, 1u);
    SetLastError(Sentinel);
    EXPECT_FALSE(FindNextFileA(h, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(h);
    SetLastError(Sentinel);
    EXPECT_FALSE(FindNextFileA(h, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_EQ(FindFirstFileA("C:\\None\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(CaptureFileBoundary, FilesAreMadeAndWrittenThroughHandles) {
    SetLastError(Sentinel);
    HANDLE h = CreateFileA("C:\\Dir\\new.json", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "{}", 2, &written, nullptr));
    EXPECT_TRUE(WriteFile(h, "\n", 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
    EXPECT_TRUE(CloseHandle(h));
    std::ifstream in(root + "/Dir/new.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{}\n");

    SetLastError(Sentinel);
    EXPECT_EQ(CreateFileA("C:\\Dir\\new.json", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    SetLastError(Sentinel);
    h = CreateFileA("C:\\Dir\\new.json", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(fs::file_size(root + "/Dir/new.json"), 0u) << "emptied";
    SetLastError(Sentinel);
    EXPECT_EQ(CreateFileA("C:\\Dir\\b.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "read-only";
    SetLastError(Sentinel);
    EXPECT_EQ(CreateFileA("C:\\No\\x.json", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    h = CreateFileA("C:\\top.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    SetLastError(Sentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(written, 0u);
    CloseHandle(h);
}

}  // namespace
