// The staging layer's staging tree: directories, the staged files in
// order, and the refreshed service programs.
#include "staging_fixture.h"

#include "staging/staging_tree.h"

using stagingtest::StagingTest;
using stagingtest::StdinFeed;
using stagingtest::stamped;

namespace {

const char* const MediaFiles[][2] = {
    {"win2000", "SETUP.EXE"},    {"win2000", "KORP.INF"},     {"win2000", "KORPA.INF"},
    {"win2000", "SERW.INF"},     {"win2000", "QRVSERW.SYS"},  {"win2000", "QRVMPREM.DLL"},
    {"win2000", "QRVMPW.DLL"},   {"win2000", "QRVMPW.SYS"},   {"win2000", "MPW.INF"},
    {"win2000", "KORP.CAT"},     {"win2000", "KORPA.CAT"},    {"win2000", "SERW.CAT"},
    {"win2000", "MPW.CAT"},      {"win2000", "COINFCP.DLL"},  {"win2000", "QRVMPREM.EXE"},
    {"win2000", "QRVMPSVC.EXE"}, {"nt", "RVOSETUP.EXE"},      {"nls", "ENGLISH.NLS"},
    {"nls", "JAPANESE.NLS"},
};

const char* const Staging = "C:\\WINNT\\system32\\drivers\\korpa";

}  // namespace

class StagingTree : public StagingTest {
protected:
    void SetUp() override {
        StagingTest::SetUp();
        for (const auto& f : MediaFiles)
            write(std::string("D:\\") + f[0] + "\\" + f[1], stamped("5.10.0", std::string("media ") + f[1] + "\n"));
        // Files the media holds but the tree does not take.
        write("D:\\nls\\FRENCH.NLS", "fr");
        write("D:\\win2000\\README.TXT", "readme");
    }
    std::string stagedPath(const char* dir, const char* name) const {
        return std::string(Staging) + "\\" + dir + "\\" + name;
    }
    std::vector<std::string> copySources() const {
        std::vector<std::string> out;
        for (const auto& c : sim::callsOf("CopyFileA")) out.push_back(c.args[0]);
        return out;
    }
};

TEST_F(StagingTree, CleanSystem) {
    run.quietMode = false;
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<std::string> dirs;
    for (const auto& c : sim::callsOf("CreateDirectoryA")) {
        dirs.push_back(c.args[0]);
        EXPECT_EQ(c.args[1], "null");
    }
    EXPECT_EQ(dirs, (std::vector<std::string>{
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\"),
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\"),
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nt\\"),
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nt\\K4100\\"),
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nt\\K4100\\rmtptr\\"),
                        sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nls\\"),
                    }));

    // The 20 copies in order, SETUP.EXE as the first and the 18th.
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 20u);
    std::vector<std::string> expected;
    for (int i = 0; i < 17; ++i)
        expected.push_back(sim::arg(std::string("D:\\") + MediaFiles[i][0] + "\\" + MediaFiles[i][1]));
    expected.push_back(sim::arg("D:\\win2000\\SETUP.EXE"));
    expected.push_back(sim::arg("D:\\nls\\ENGLISH.NLS"));
    expected.push_back(sim::arg("D:\\nls\\JAPANESE.NLS"));
    EXPECT_EQ(copySources(), expected);
    EXPECT_EQ(copies[16].args[1], sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nt\\RVOSETUP.EXE"));
    for (const auto& c : copies) EXPECT_EQ(c.args[2], "0");

    for (const auto& f : MediaFiles)
        EXPECT_EQ(read(stagedPath(f[0], f[1])), read(std::string("D:\\") + f[0] + "\\" + f[1])) << f[1];
    EXPECT_TRUE(std::filesystem::is_empty(host(std::string(Staging) + "\\nt\\K4100\\rmtptr")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(host(std::string(Staging) + "\\nt\\K4100")),
                            std::filesystem::directory_iterator()),
              1);  // only rmtptr
    EXPECT_FALSE(exists(stagedPath("nls", "FRENCH.NLS")));
    EXPECT_FALSE(exists(stagedPath("win2000", "README.TXT")));
    expectNoLeaks();
}

TEST_F(StagingTree, SecondRunCopiesEverythingAgainSilently) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    write("D:\\win2000\\KORP.INF", stamped("5.10.0", "changed\n"));
    sim::clearCalls();
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (const auto& c : sim::callsOf("CreateDirectoryA")) EXPECT_EQ(c.lastError, ERROR_ALREADY_EXISTS);
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 20u);
    EXPECT_EQ(read(stagedPath("win2000", "KORP.INF")), stamped("5.10.0", "changed\n"));
    expectNoLeaks();
}

TEST_F(StagingTree, MediaWithoutNtSkipsRvosetupSilently) {
    std::filesystem::remove_all(host("D:\\nt"));
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(sim::callsOf("CopyFileA").size(), 19u);  // 18 files, SETUP.EXE twice
    EXPECT_FALSE(exists(stagedPath("nt", "RVOSETUP.EXE")));
    EXPECT_TRUE(exists(stagedPath("nls", "JAPANESE.NLS")));
    expectNoLeaks();
}

TEST_F(StagingTree, NewerStagedSetupIsAskedAboutTwice) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    write(stagedPath("win2000", "SETUP.EXE"), stamped("6.00.0"));
    StdinFeed feed("n\nn\n");
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    std::string notice =
        "\nD:\\win2000\\SETUP.EXE is older than C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE.\n"
        "Do you want to copy anyway? (y/n):\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), notice + notice);
    EXPECT_EQ(read(stagedPath("win2000", "SETUP.EXE")), stamped("6.00.0"));
}

TEST_F(StagingTree, NewerStagedDriverAnsweredNo) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    write(stagedPath("win2000", "QRVMPW.SYS"), stamped("5.11.0"));
    write("D:\\win2000\\MPW.INF", stamped("5.10.0", "new inf\n"));
    sim::clearCalls();
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\WINNT\\system32\\drivers\\korpa\\win2000\\QRVMPW.SYS.\n"
              "Do you want to copy anyway? (y/n):\n");
    EXPECT_EQ(read(stagedPath("win2000", "QRVMPW.SYS")), stamped("5.11.0"));
    EXPECT_EQ(read(stagedPath("win2000", "MPW.INF")), stamped("5.10.0", "new inf\n"));  // staging went on
    EXPECT_EQ(sim::callsOf("CopyFileA").size(), 19u);
    expectNoLeaks();
}

TEST_F(StagingTree, NewerStagedDriverInQuietMode) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    write(stagedPath("win2000", "QRVMPW.SYS"), stamped("5.11.0"));
    run.quietMode = true;
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\WINNT\\system32\\drivers\\korpa\\win2000\\QRVMPW.SYS.\n");
    EXPECT_EQ(read(stagedPath("win2000", "QRVMPW.SYS")), read("D:\\win2000\\QRVMPW.SYS"));
    EXPECT_EQ(feed.rest(), "n\n");
}

TEST_F(StagingTree, UnwritableSystemDirectoryIsIgnored) {
    sim::failCall("CreateDirectoryA", 0, ERROR_ACCESS_DENIED);
    testing::internal::CaptureStdout();
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 20u);
    for (const auto& c : copies) EXPECT_EQ(c.lastError, ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(exists(Staging));
    expectNoLeaks();
}

TEST_F(StagingTree, RefreshServicePrograms) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    std::filesystem::remove(host(stagedPath("win2000", "QRVMPREM.EXE")));
    sim::clearCalls();
    refreshServicePrograms(run.messages, run.directories, run.quietMode);
    auto finds = sim::callsOf("FindFirstFileA");
    ASSERT_GE(finds.size(), 2u);
    EXPECT_EQ(finds[0].args[0], sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\QRVMPREM.EXE"));
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].args[0], sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\QRVMPSVC.EXE"));
    EXPECT_EQ(copies[0].args[1], sim::arg("C:\\WINNT\\system32\\QRVMPSVC.EXE"));
    EXPECT_EQ(read("C:\\WINNT\\system32\\QRVMPSVC.EXE"), read("D:\\win2000\\QRVMPSVC.EXE"));
    EXPECT_FALSE(exists("C:\\WINNT\\system32\\QRVMPREM.EXE"));
    expectNoLeaks();
}

TEST_F(StagingTree, RunFromTheTreeFindsLanguageFilesByAnyCase) {
    stageMediaFiles(run.messages, run.directories, run.quietMode);
    std::snprintf(run.directories.source, sizeof run.directories.source, "%s", Staging);
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("C:\\WINNT\\system32\\drivers\\korpa\\nls\\japanese.nls", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FindClose(h);
    h = FindFirstFileA("C:\\WINNT\\system32\\drivers\\korpa\\nls\\french.nls", &data);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}
