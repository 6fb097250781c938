// The simulated machine at the platform boundary: each call checked for its
// result and its last error, as Windows answers them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/core/machine_json.h"
#include "sim/files/paths.h"
#include "platform/win_files.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::deviceWithIds;
using testsupport::machineWith;
using testsupport::MachineTest;

namespace {


class SetupApiBoundary : public MachineTest {};

TEST_F(SetupApiBoundary, HardwareIdPropertyFollowsTheBufferProtocol) {
    start(machineWith({deviceWithIds("ROOT\\A\\0", {"ID1", "ID22"}), deviceWithIds("ROOT\\B\\0", {})}));
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD index = static_cast<DWORD>(sim::machine().devices.size() - 2);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, index, &dev));

    DWORD size = 0, type = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 10u) << "ID1\\0ID22\\0\\0";

    BYTE buf[10];
    SetLastError(Sentinel);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, buf, sizeof buf, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::memcmp(buf, "ID1\0ID22\0\0", 10), 0);

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, index + 1, &dev));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, buf, sizeof buf, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a device without ids";

    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, index + 2, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    SP_DEVINFO_DATA wrong;
    wrong.cbSize = 28 + 1;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &wrong));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupApiBoundary, NotPresentDevicesAreLeftOutOfPresentSets) {
    sim::Device gone = deviceWithIds("ROOT\\GONE\\0", {"*QRV51A1"});
    gone.present = false;
    start(machineWith({gone}));
    HDEVINFO present = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD n = static_cast<DWORD>(sim::machine().devices.size());
    EXPECT_FALSE(SetupDiEnumDeviceInfo(present, n - 1, &dev));
    EXPECT_TRUE(SetupDiEnumDeviceInfo(all, n - 1, &dev));
    SetupDiDestroyDeviceInfoList(present);
    SetupDiDestroyDeviceInfoList(all);
}

class RegistryBoundary : public MachineTest {};

TEST_F(RegistryBoundary, KeyAccessIsCheckedAgainstTheDaclForEachAccount) {
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

TEST_F(RegistryBoundary, EnumerationReportsNamesThatDoNotFitWithoutTouchingTheBuffer) {
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

TEST_F(RegistryBoundary, AKeyWithSubkeysCannotBeDeleted) {
    sim::Machine m = machineWith();
    sim::ensureKey(m, "SOFTWARE\\P\\C");
    start(m);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P\\C"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\P"), ERROR_SUCCESS);
    EXPECT_EQ(sim::findKey(sim::machine(), "SOFTWARE\\P"), nullptr);
}

TEST_F(RegistryBoundary, ValueReadsFollowTheSizeProtocol) {
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

class ServiceManagerBoundary : public MachineTest {};

TEST_F(ServiceManagerBoundary, CreatedServiceLivesInTheRegistryAndGoesWhenItsLastHandleCloses) {
    SC_HANDLE mgr = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(mgr, nullptr);
    SC_HANDLE svc = CreateServiceA(mgr, "demo", "Demo", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\demo.exe", nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    ASSERT_NE(svc, nullptr);
    sim::RegKey* key = sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values["ImagePath"].data, sim::regSz("C:\\demo.exe"));
    SetLastError(Sentinel);
    EXPECT_EQ(CreateServiceA(mgr, "demo", "Demo", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                             SERVICE_ERROR_NORMAL, "C:\\demo.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

    SC_HANDLE second = OpenServiceA(mgr, "demo", SERVICE_ALL_ACCESS);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(DeleteService(svc));
    SetLastError(Sentinel);
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(svc);
    EXPECT_NE(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo"), nullptr)
        << "a handle is still open";
    CloseServiceHandle(second);
    EXPECT_EQ(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo"), nullptr);
    SetLastError(Sentinel);
    EXPECT_EQ(OpenServiceA(mgr, "demo", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceHandle(mgr);
}

TEST_F(ServiceManagerBoundary, DispatcherOutsideAServiceStartFailsWith1063) {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("x"), nullptr}, {nullptr, nullptr}};
    SetLastError(Sentinel);
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

class FileBoundary : public MachineTest {
protected:
    std::string media;
    void SetUp() override {
        // A folder of this process: the cases of a suite may run side by side.
        media = (fs::temp_directory_path() / ("korpa-sim-files-" + std::to_string(::getpid()))).string();
        fs::remove_all(media);
        fs::create_directories(media + "/Win2000");
        std::ofstream(media + "/Win2000/Text.NLS", std::ios::binary) << std::string("a\r\nb\rc\r\n\x1A" "after", 12);
        sim::Machine m = sim::baseMachine(media);
        m.cwd["D"] = "\\WIN2000";
        start(m);
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(media);
    }
};

TEST_F(FileBoundary, PathsResolveWithoutRegardToCaseAndRelativeToTheDrive) {
    sim::ResolvedPath r;
    unsigned long error = 0;
    ASSERT_TRUE(sim::resolve("d:\\win2000\\text.nls", r, error));
    EXPECT_TRUE(r.exists);
    EXPECT_EQ(r.host, media + "/Win2000/Text.NLS");
    ASSERT_TRUE(sim::resolve("D:..\\WIN2000\\.\\TEXT.nls", r, error));
    EXPECT_TRUE(r.exists);
    EXPECT_EQ(r.windows, "D:\\WIN2000\\TEXT.nls");
    EXPECT_FALSE(sim::resolve("Q:\\x", r, error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(sim::resolve("D:\\" + std::string(300, 'a'), r, error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(FileBoundary, TextModeReadsTurnCrLfIntoLfAndStopAtCtrlZ) {
    int fd = _sopen("D:\\WIN2000\\TEXT.NLS", _O_RDONLY | _O_TEXT, _SH_DENYNO);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_filelength(fd), 12);
    char buf[32];
    int n = _read(fd, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "a\nb\rc\n");
    EXPECT_EQ(_read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(_close(fd), 0);
    fd = _sopen("D:\\WIN2000\\TEXT.NLS", _O_RDONLY | _O_BINARY, _SH_DENYNO);
    EXPECT_EQ(_read(fd, buf, sizeof buf), 12);
    _close(fd);

    // A CR LF pair across the host reads of a long file is still one LF.
    for (size_t before : {4095u, 8191u}) {
        std::ofstream(media + "/Win2000/Long.NLS", std::ios::binary) << std::string(before, 'x') << "\r\ny";
        fd = _sopen("D:\\WIN2000\\LONG.NLS", _O_RDONLY | _O_TEXT, _SH_DENYNO);
        std::string long_(before + 8, '\0');
        long_.resize(static_cast<size_t>(_read(fd, &long_[0], static_cast<unsigned int>(long_.size()))));
        EXPECT_EQ(long_, std::string(before, 'x') + "\ny");
        _close(fd);
    }
}

TEST_F(FileBoundary, SystemDirectoryFollowsTheSizeProtocol) {
    char small[8];
    EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), 18u) << "C:\\WINNT\\system32 and its NUL";
    char big[520];
    EXPECT_EQ(GetSystemDirectoryA(big, sizeof big), 17u);
    EXPECT_STREQ(big, "C:\\WINNT\\system32");
}

TEST_F(FileBoundary, FindFirstFileFindsNamesWithoutRegardToCase) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("D:\\win2000\\text.nls", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "Text.NLS");
    EXPECT_EQ(data.nFileSizeLow, 12u);
    FindClose(h);
    h = FindFirstFileA("D:\\WIN2000", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "Win2000");
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(h);
    SetLastError(Sentinel);
    EXPECT_EQ(FindFirstFileA("D:\\none\\text.nls", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SetLastError(Sentinel);
    EXPECT_EQ(FindFirstFileA("D:\\win2000\\none.nls", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A name that another process makes after a failed look is found at the
    // next, in whatever case it is written; and once it is gone, no more.
    std::ofstream(media + "/Win2000/None.Nls") << "x";
    h = FindFirstFileA("D:\\win2000\\none.nls", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "None.Nls");
    FindClose(h);
    EXPECT_NE(GetFileAttributesA("D:\\WIN2000\\NONE.NLS"), INVALID_FILE_ATTRIBUTES);
    fs::remove(media + "/Win2000/None.Nls");
    SetLastError(Sentinel);
    EXPECT_EQ(GetFileAttributesA("D:\\WIN2000\\NONE.NLS"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The simulator keeps what it has learnt of directories while inotify says
// they stand: a move of any directory above is seen as well.
TEST_F(FileBoundary, LooksSeeDirectoriesThatAnotherProcessMoves) {
    fs::create_directories(media + "/Win2000/Sub");
    WIN32_FIND_DATAA data;
    auto lookError = [&](const char* path) {
        SetLastError(Sentinel);
        HANDLE h = FindFirstFileA(path, &data);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        FindClose(h);
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    // Twice, so that the second answer comes from what was kept. The names
    // are written as the host has them: only then are the folders' names
    // kept.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(lookError("D:\\Win2000\\Sub\\absent.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // The folder above moves away: its old path holds nothing.
    fs::rename(media + "/Win2000", media + "/Moved");
    EXPECT_EQ(lookError("D:\\Win2000\\Sub\\absent.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(lookError("D:\\Win2000\\Text.NLS"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // Another folder of the same name takes its place, with the file.
    fs::create_directories(media + "/Win2000/Sub");
    std::ofstream(media + "/Win2000/Sub/Absent.TXT") << "x";
    EXPECT_EQ(lookError("D:\\Win2000\\Sub\\absent.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_STREQ(data.cFileName, "Absent.TXT");
    EXPECT_EQ(lookError("D:\\Win2000\\Text.NLS"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    fs::remove_all(media + "/Win2000");
    fs::rename(media + "/Moved", media + "/Win2000");
    EXPECT_EQ(lookError("D:\\Win2000\\Sub\\absent.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A folder that the simulator makes is known at once; what another
    // process then puts in it or does to it is seen all the same.
    ASSERT_TRUE(CreateDirectoryA("D:\\Win2000\\Made", nullptr));
    EXPECT_EQ(lookError("D:\\Win2000\\Made\\x.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::ofstream(media + "/Win2000/Made/x.txt") << "x";
    EXPECT_EQ(lookError("D:\\Win2000\\Made\\x.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    fs::rename(media + "/Win2000/Made", media + "/Win2000/Gone");
    EXPECT_EQ(lookError("D:\\Win2000\\Made\\x.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // A copy over a longer file leaves the source's bytes alone, and a
    // runnable program stays runnable over a file that was not; no host
    // file stays open.
    auto hostFiles = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    auto before = hostFiles();
    std::ofstream(media + "/Win2000/Long.EXE") << std::string(5000, 'o');
    std::ofstream(media + "/Win2000/Short.EXE") << "#!/bin/sh\n";
    fs::permissions(media + "/Win2000/Short.EXE", fs::perms::owner_all);
    ASSERT_TRUE(CopyFileA("D:\\win2000\\short.exe", "D:\\win2000\\long.exe", FALSE));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(media + "/Win2000/Long.EXE").rdbuf()), {}),
              "#!/bin/sh\n");
    EXPECT_EQ(fs::status(media + "/Win2000/Long.EXE").permissions(), fs::perms::owner_all);
    EXPECT_FALSE(CopyFileA("D:\\win2000\\short.exe", "D:\\win2000\\sub", FALSE)) << "a folder is no target";
    // Another link to the source's own file is the source itself: its bytes stay.
    fs::create_hard_link(media + "/Win2000/Short.EXE", media + "/Win2000/Link.EXE");
    SetLastError(Sentinel);
    EXPECT_FALSE(CopyFileA("D:\\win2000\\short.exe", "D:\\win2000\\link.exe", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(fs::file_size(media + "/Win2000/Short.EXE"), 10u);
    EXPECT_EQ(hostFiles(), before);
}

class FaultInjection : public MachineTest {};

TEST_F(FaultInjection, TheNthCallFailsWithTheChosenErrorAndReleasesNeverFail) {
    sim::failCall("RegOpenKeyExA", 2, 1234);
    HKEY h;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), 1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_SUCCESS);
    sim::failCall("RegCloseKey", 0, 5);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    auto opens = sim::callsOf("RegOpenKeyExA");
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_TRUE(opens[1].injected);
    EXPECT_FALSE(opens[2].injected);

    std::string error;
    EXPECT_FALSE(sim::parseFaults("RegOpenKeyExA=5", error));
    std::string next = "*#" + std::to_string(sim::callCount() + 1) + "=5";
    EXPECT_TRUE(sim::parseFaults(next, error));
    SetLastError(0);
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), 5u);
}

TEST(MachineJson, StateSurvivesARoundTrip) {
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

TEST(MachineJson, MalformedDescriptionsAreRefusedWithAMessage) {
    sim::Machine m;
    std::string error;
    EXPECT_FALSE(sim::fromJson(nlohmann::json::array(), m, error));
    EXPECT_FALSE(sim::fromJson({{"account", "root"}}, m, error));
    EXPECT_NE(error.find("account"), std::string::npos);
    EXPECT_FALSE(sim::fromJson({{"devices", {{{"hardwareIdsHex", "zz"}}}}}, m, error));
    EXPECT_FALSE(sim::fromJson({{"registry", {{{"path", "HKLM\\X"}, {"values", {{"v", {{"type", "REG_BOGUS"}}}}}}}}}, m, error));
}

}  // namespace
