// The simulated machine's file operations that staging relies on (folders
// made, copies, attributes, deletion, files in use and their replacement at
// the next start): each checked for its result and its last error, as
// Windows reports them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/win_files.h"
#include "sim/core/pending_renames.h"
#include "sim/files/next_start.h"
#include "sim_test.h"

using simtest::Sentinel;

namespace {
const DWORD DiskFull = 112;  // ERROR_DISK_FULL
}

// A machine whose drive C: is a folder of this test's own: the cases of a
// suite may run side by side.
class SimFilesCopy : public simtest::MachineTest {
protected:
    void SetUp() override {
        root_ = (std::filesystem::temp_directory_path() / ("korpa-sim-copy-" + std::to_string(::getpid()))).string();
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ + "/C/WINNT/system32/drivers");
        std::filesystem::create_directories(root_ + "/media/win2000");
        sim::Machine m = sim::baseMachine(root_ + "/media");
        m.drives["C"] = root_ + "/C";
        start(m);
    }
    void TearDown() override {
        MachineTest::TearDown();
        std::filesystem::remove_all(root_);
    }
    // Host path of a Windows path on C: or D: ("C:\\WINNT" -> <root>/C/WINNT).
    std::string host(const std::string& windowsPath) const {
        std::string rest = windowsPath.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        return root_ + (windowsPath[0] == 'D' ? "/media" : "/C") + rest;
    }
    void write(const std::string& windowsPath, const std::string& data) const {
        std::filesystem::path p = host(windowsPath);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << data;
    }
    std::string read(const std::string& windowsPath) const {
        std::ifstream in(host(windowsPath), std::ios::binary);
        if (!in) return "<missing>";
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string& windowsPath) const { return std::filesystem::exists(host(windowsPath)); }
    void expectNoLeaks() const {
        EXPECT_EQ(sim::openHandleCount(), 0u);
        EXPECT_EQ(sim::heapBlockCount(), 0u);
    }

    std::string root_;
};

TEST_F(SimFilesCopy, CreateDirectoryMakesOneLevel) {
    SetLastError(Sentinel);
    EXPECT_TRUE(CreateDirectoryA("C:\\Stage", nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(host("C:\\Stage")));
    SetLastError(Sentinel);
    EXPECT_FALSE(CreateDirectoryA("c:\\STAGE\\", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    SetLastError(Sentinel);
    EXPECT_FALSE(CreateDirectoryA("C:\\missing\\child", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(exists("C:\\missing"));
    EXPECT_TRUE(CreateDirectoryA("C:\\stage\\child\\", nullptr));  // names without regard to case
    EXPECT_TRUE(std::filesystem::is_directory(host("C:\\Stage\\child")));
    SetLastError(Sentinel);
    EXPECT_FALSE(CreateDirectoryA("Q:\\x", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(SimFilesCopy, CopyFileErrors) {
    write("C:\\a\\src.exe", "bytes");
    write("C:\\a\\old.exe", "old");
    struct Case {
        const char* from;
        const char* to;
        BOOL failIfExists;
        DWORD error;
    } cases[] = {
        {"C:\\a\\none.exe", "C:\\a\\new.exe", FALSE, ERROR_FILE_NOT_FOUND},
        {"C:\\zz\\none.exe", "C:\\a\\new.exe", FALSE, ERROR_PATH_NOT_FOUND},
        {"C:\\a\\src.exe", "C:\\zz\\new.exe", FALSE, ERROR_PATH_NOT_FOUND},
        {"C:\\a\\src.exe", "C:\\a\\old.exe", TRUE, ERROR_FILE_EXISTS},
        {"C:\\a\\src.exe", "C:\\a", FALSE, ERROR_ACCESS_DENIED},
        {"C:\\a\\src.exe", "C:\\A\\SRC.EXE", FALSE, ERROR_SHARING_VIOLATION},
    };
    for (const auto& c : cases) {
        SetLastError(Sentinel);
        EXPECT_FALSE(CopyFileA(c.from, c.to, c.failIfExists)) << c.from << " " << c.to;
        EXPECT_EQ(GetLastError(), c.error) << c.from << " " << c.to;
    }
    EXPECT_EQ(read("C:\\a\\old.exe"), "old");
    EXPECT_FALSE(exists("C:\\zz"));

    sim::machine().fileAttributes["C:\\A\\OLD.EXE"] = FILE_ATTRIBUTE_READONLY;
    SetLastError(Sentinel);
    EXPECT_FALSE(CopyFileA("C:\\a\\src.exe", "C:\\a\\old.exe", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::machine().fileAttributes["C:\\A\\OLD.EXE"] = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_FALSE(CopyFileA("C:\\a\\src.exe", "C:\\a\\old.exe", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::machine().fileAttributes.clear();
    sim::machine().filesInUse.push_back("c:\\A\\old.EXE");
    EXPECT_FALSE(CopyFileA("C:\\a\\src.exe", "C:\\a\\old.exe", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(read("C:\\a\\old.exe"), "old");
    sim::machine().filesInUse.clear();
    sim::failCall("CopyFileA", 0, DiskFull);
    EXPECT_FALSE(CopyFileA("C:\\a\\src.exe", "C:\\a\\old.exe", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(DiskFull));
    EXPECT_EQ(read("C:\\a\\old.exe"), "old");
}

TEST_F(SimFilesCopy, CopyFileCopiesBytesModeAndAttributes) {
    write("C:\\a\\prog.exe", std::string("MZ\0\x01\xff", 5));
    ::chmod(host("C:\\a\\prog.exe").c_str(), 0755);
    write("C:\\a\\Target.EXE", "older and longer content");
    sim::machine().fileAttributes["C:\\a\\prog.exe"] = FILE_ATTRIBUTE_READONLY;
    SetLastError(Sentinel);
    EXPECT_TRUE(CopyFileA("C:\\a\\prog.exe", "c:\\A\\target.exe", FALSE));
    EXPECT_EQ(read("C:\\a\\Target.EXE"), std::string("MZ\0\x01\xff", 5));
    EXPECT_FALSE(std::filesystem::exists(host("C:\\a\\target.exe")));  // the existing name is kept
    struct stat st;
    ASSERT_EQ(::stat(host("C:\\a\\Target.EXE").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // The read-only attribute travels with the copy, as on Windows.
    EXPECT_EQ(GetFileAttributesA("C:\\a\\target.exe"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(CopyFileA("C:\\a\\prog.exe", "C:\\a\\fresh.exe", TRUE));
    EXPECT_EQ(GetFileAttributesA("C:\\a\\fresh.exe"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(host("C:\\a")), std::filesystem::directory_iterator()),
              3);
}

TEST_F(SimFilesCopy, AttributesAndDeletion) {
    write("C:\\a\\f.sys", "x");
    SetLastError(Sentinel);
    EXPECT_EQ(GetFileAttributesA("C:\\a\\F.SYS"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesA("C:\\a"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\a\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\b\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    EXPECT_TRUE(SetFileAttributesA("C:\\a\\f.sys", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesA("c:\\A\\f.SYS"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
    SetLastError(Sentinel);
    EXPECT_FALSE(DeleteFileA("C:\\a\\f.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists("C:\\a\\f.sys"));
    EXPECT_TRUE(SetFileAttributesA("C:\\a\\f.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\a\\f.sys"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(SetFileAttributesA("C:\\a\\none", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    sim::machine().filesInUse.push_back("C:\\a\\f.sys");
    EXPECT_FALSE(DeleteFileA("C:\\a\\F.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    sim::machine().filesInUse.clear();
    EXPECT_TRUE(DeleteFileA("C:\\a\\F.sys"));
    EXPECT_FALSE(exists("C:\\a\\f.sys"));
    EXPECT_TRUE(sim::machine().fileAttributes.empty());
    EXPECT_FALSE(DeleteFileA("C:\\a\\f.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("C:\\a"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    expectNoLeaks();
}

TEST_F(SimFilesCopy, FileInUseCannotBeOpenedForWriting) {
    write("C:\\a\\held.sys", "old");
    sim::machine().filesInUse.push_back("C:\\A\\HELD.SYS");
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    SetLastError(Sentinel);
    EXPECT_EQ(CreateFileA("C:\\a\\held.sys", GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Reading it is what its holder shares.
    HANDLE reading = CreateFileA("C:\\a\\held.sys", GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reading, INVALID_HANDLE_VALUE);
    CloseHandle(reading);
    // The read-only attribute refuses an open for writing before any holder.
    sim::machine().fileAttributes["C:\\A\\HELD.SYS"] = FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(CreateFileA("C:\\a\\held.sys", GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::machine().filesInUse.clear();
    EXPECT_EQ(CreateFileA("C:\\a\\held.sys", GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::machine().fileAttributes.clear();
    HANDLE writing = CreateFileA("C:\\a\\held.sys", GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(writing, INVALID_HANDLE_VALUE);
    CloseHandle(writing);
    EXPECT_EQ(read("C:\\a\\held.sys"), "old");
    expectNoLeaks();
}

TEST_F(SimFilesCopy, TheStartCarriesOutTheSessionManagersListInItsOrder) {
    write("C:\\a\\SET1.tmp", "first");
    write("C:\\a\\SET2.tmp", "second");
    write("C:\\a\\held.sys", "old");
    write("C:\\a\\kept.dll", "kept");
    write("C:\\a\\other.tmp", "other");
    write("C:\\a\\gone.tmp", "gone");
    sim::Machine& m = sim::machine();
    m.filesInUse = {"C:\\a\\held.sys", "C:\\a\\kept.dll"};
    m.fileAttributes["C:\\a\\SET2.tmp"] = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
    m.fileAttributes["C:\\a\\gone.tmp"] = FILE_ATTRIBUTE_SYSTEM;
    for (const sim::PendingRename& r :
         {sim::PendingRename{"C:\\a\\SET1.tmp", "C:\\a\\held.sys", true},
          sim::PendingRename{"C:\\a\\gone.tmp", "", false}, sim::PendingRename{"C:\\a\\none.tmp", "C:\\a\\x", true},
          sim::PendingRename{"C:\\a\\other.tmp", "C:\\a\\kept.dll", false},
          sim::PendingRename{"C:\\a\\SET2.tmp", "C:\\a\\held.sys", true}})
        sim::addPendingFileRename(m, r);
    // As Windows keeps them: "!" before a target to replace, an empty text
    // for a deletion, and the list ended by one more NUL.
    const std::string nul(1, '\0');
    EXPECT_EQ(sim::findKey(m, sim::SessionManagerKey)->values.at(sim::PendingRenamesValue).data,
              "\\??\\C:\\a\\SET1.tmp" + nul + "!\\??\\C:\\a\\held.sys" + nul + "\\??\\C:\\a\\gone.tmp" + nul + nul +
                  "\\??\\C:\\a\\none.tmp" + nul + "!\\??\\C:\\a\\x" + nul + "\\??\\C:\\a\\other.tmp" + nul +
                  "\\??\\C:\\a\\kept.dll" + nul + "\\??\\C:\\a\\SET2.tmp" + nul + "!\\??\\C:\\a\\held.sys" + nul + nul);
    EXPECT_EQ(sim::pendingRestarts(m),
              (std::vector<std::string>{"a file replacement waits for the next start: C:\\a\\held.sys",
                                        "a file deletion waits for the next start: C:\\a\\gone.tmp",
                                        "a file replacement waits for the next start: C:\\a\\x",
                                        "a file replacement waits for the next start: C:\\a\\kept.dll",
                                        "a file replacement waits for the next start: C:\\a\\held.sys"}));

    EXPECT_EQ(sim::carryOutPendingFileRenames(),
              (std::vector<std::string>{"file C:\\a\\held.sys: replaced by C:\\a\\SET1.tmp",
                                        "file C:\\a\\gone.tmp: deleted", "file C:\\a\\none.tmp: not there, passed over",
                                        "file C:\\a\\kept.dll: already there, not replaced",
                                        "file C:\\a\\held.sys: replaced by C:\\a\\SET2.tmp"}));
    EXPECT_EQ(read("C:\\a\\held.sys"), "second");
    EXPECT_EQ(read("C:\\a\\kept.dll"), "kept");
    EXPECT_FALSE(exists("C:\\a\\SET1.tmp") || exists("C:\\a\\SET2.tmp") || exists("C:\\a\\gone.tmp"));
    // The moved file keeps its attributes under its new name; a replaced
    // file is no longer held, one that was not replaced still is.
    EXPECT_EQ(GetFileAttributesA("C:\\a\\held.sys"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(m.fileAttributes.size(), 1u);
    EXPECT_EQ(m.filesInUse, std::vector<std::string>{"C:\\a\\kept.dll"});
    EXPECT_TRUE(sim::pendingRestarts(m).empty());
    EXPECT_TRUE(sim::pendingFileRenames(m).empty());
    expectNoLeaks();
}

// An open file refuses the opens that it does not share, as Wine answers
// them: a copy onto it needs its writing shared, a deletion its deletion, an
// open for reading its reading; a holder that writes refuses the same.
TEST_F(SimFilesCopy, OpenFilesRefuseWhatTheyDoNotShare) {
    write("C:\\a\\new.sys", "new");
    for (DWORD access : {static_cast<DWORD>(GENERIC_READ), static_cast<DWORD>(GENERIC_WRITE)}) {
        for (DWORD share = 0; share <= (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE); ++share) {
            write("C:\\a\\t.sys", "old");
            HANDLE held = CreateFileA("C:\\a\\t.sys", access, share, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
            SCOPED_TRACE("holder's access " + std::to_string(access) + ", share mode " + std::to_string(share));
            auto refused = [](BOOL done) { return !done && GetLastError() == ERROR_SHARING_VIOLATION; };
            EXPECT_EQ(refused(CopyFileA("C:\\a\\new.sys", "C:\\a\\t.sys", FALSE)), !(share & FILE_SHARE_WRITE));
            HANDLE reading = CreateFileA("C:\\a\\t.sys", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(reading == INVALID_HANDLE_VALUE, !(share & FILE_SHARE_READ));
            if (reading != INVALID_HANDLE_VALUE) CloseHandle(reading);
            EXPECT_EQ(refused(DeleteFileA("C:\\a\\t.sys")), !(share & FILE_SHARE_DELETE));
            CloseHandle(held);
        }
    }
    expectNoLeaks();
}

TEST_F(SimFilesCopy, MoveFileExMovesNowOrAtTheNextStart) {
    write("C:\\a\\one.sys", "one");
    write("C:\\a\\two.sys", "two");
    sim::machine().fileAttributes["C:\\a\\one.sys"] = FILE_ATTRIBUTE_HIDDEN;
    SetLastError(Sentinel);
    EXPECT_FALSE(MoveFileExA("C:\\a\\one.sys", "C:\\a\\two.sys", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(MoveFileExA("C:\\a\\one.sys", "D:\\one.sys", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), 17u);  // ERROR_NOT_SAME_DEVICE
    EXPECT_FALSE(MoveFileExA("C:\\a\\none.sys", "C:\\a\\x.sys", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A file that something holds is neither moved nor replaced.
    sim::machine().filesInUse = {"C:\\a\\two.sys"};
    EXPECT_FALSE(MoveFileExA("C:\\a\\one.sys", "C:\\a\\two.sys", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExA("C:\\a\\two.sys", "C:\\a\\three.sys", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // At the next start instead: the pair joins the session manager's list.
    SetLastError(Sentinel);
    EXPECT_TRUE(MoveFileExA("C:\\a\\one.sys", "C:\\a\\two.sys", MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(read("C:\\a\\two.sys"), "two");
    std::vector<sim::PendingRename> pending = sim::pendingFileRenames(sim::machine());
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].source + " " + pending[0].target, "C:\\a\\one.sys C:\\a\\two.sys");
    EXPECT_TRUE(pending[0].replace);
    sim::clearPendingFileRenames(sim::machine());
    // Now, once nothing holds it: the file takes its attributes along.
    sim::machine().filesInUse.clear();
    EXPECT_TRUE(MoveFileExA("C:\\a\\one.sys", "C:\\a\\two.sys", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(read("C:\\a\\two.sys"), "one");
    EXPECT_FALSE(exists("C:\\a\\one.sys"));
    EXPECT_EQ(GetFileAttributesA("C:\\a\\two.sys"), FILE_ATTRIBUTE_HIDDEN);
    expectNoLeaks();
}
