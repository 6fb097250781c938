// The simulated machine's files at the platform boundary: paths resolved
// without regard to case, text-mode reads, the system directory, searches
// and their order, files made and written through handles, what another
// process does to the folders, and what a plain user may not change. Each
// call is checked for its result and its last error, as Windows answers
// them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win_files.h"
#include "sim/files/paths.h"
#include "sim_test.h"

namespace fs = std::filesystem;
using simtest::machineWith;
using simtest::MachineTest;
using simtest::Sentinel;

namespace {

class SimFiles : public MachineTest {
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

TEST_F(SimFiles, PathsResolveWithoutRegardToCaseAndRelativeToTheDrive) {
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

TEST_F(SimFiles, TextModeReadsTurnCrLfIntoLfAndStopAtCtrlZ) {
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

TEST_F(SimFiles, SystemDirectoryFollowsTheSizeProtocol) {
    char small[8];
    EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), 18u) << "C:\\WINNT\\system32 and its NUL";
    char big[520];
    EXPECT_EQ(GetSystemDirectoryA(big, sizeof big), 17u);
    EXPECT_STREQ(big, "C:\\WINNT\\system32");
}

TEST_F(SimFiles, FindFirstFileFindsNamesWithoutRegardToCase) {
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
TEST_F(SimFiles, LooksSeeDirectoriesThatAnotherProcessMoves) {
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

class SimFilesListing : public MachineTest {
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

TEST_F(SimFilesListing, ListingsComeInTheOrderWindowsGivesThem) {
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

TEST_F(SimFilesListing, FilesAreMadeAndWrittenThroughHandles) {
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

// A plain user's machine whose drive C: holds the Windows folder.
class SimFilesPlainUser : public MachineTest {
protected:
    fs::path drive;
    void SetUp() override {
        drive = fs::temp_directory_path() / ("korpa-plain-user-" + std::to_string(::getpid()));
        fs::remove_all(drive);
        fs::create_directories(drive / "WINNT/system32/drivers");
        fs::create_directories(drive / "WINNT/Temp");
        std::ofstream(drive / "WINNT/system32/drivers/old.sys") << "driver";
        std::ofstream(drive / "source.txt") << "file";
        sim::Machine m = simtest::machineWith();
        m.drives["C"] = drive.string();
        m.account = "user";
        start(m);
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(drive);
    }
};

TEST_F(SimFilesPlainUser, ReadsButCannotChangeTheSystemDirectory) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\WINNT\\system32\\drivers\\old.sys", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);

    const struct {
        const char* what;
        BOOL (*change)();
    } refused[] = {
        {"create a folder", [] { return CreateDirectoryA("C:\\WINNT\\system32\\drivers\\korpa", nullptr); }},
        {"copy in", [] { return CopyFileA("C:\\source.txt", "C:\\WINNT\\system32\\drivers\\new.sys", FALSE); }},
        {"copy over", [] { return CopyFileA("C:\\source.txt", "C:\\WINNT\\system32\\drivers\\old.sys", FALSE); }},
        {"delete", [] { return DeleteFileA("C:\\WINNT\\system32\\drivers\\old.sys"); }},
        {"set attributes", [] { return SetFileAttributesA("C:\\WINNT\\system32\\drivers\\old.sys", FILE_ATTRIBUTE_NORMAL); }},
        {"create in the Windows folder", [] { return CreateDirectoryA("C:\\WINNT\\new", nullptr); }},
    };
    for (const auto& r : refused) {
        SetLastError(Sentinel);
        EXPECT_FALSE(r.change()) << r.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << r.what;
    }
    // What is not there is still not found; the Temp folder is everybody's.
    SetLastError(Sentinel);
    EXPECT_FALSE(DeleteFileA("C:\\WINNT\\system32\\drivers\\qrvmpw.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CopyFileA("C:\\source.txt", "C:\\WINNT\\Temp\\copy.txt", FALSE));
    EXPECT_TRUE(fs::exists(drive / "WINNT/system32/drivers/old.sys"));
    EXPECT_FALSE(fs::exists(drive / "WINNT/system32/drivers/korpa"));
}

}  // namespace
