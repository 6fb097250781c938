// Language selection, the language file loader and its release, on
// language files in a host folder that the machine sees as drive D:.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/run_directories.h"
#include "messages/messages.h"
#include "platform/win_base.h"
#include "platform/win_files.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"

namespace {

const char* const FileNames[5] = {"french.nls", "german.nls", "spanish.nls", "japanese.nls", "english.nls"};

class MessagesTest : public ::testing::Test {
protected:
    std::string media;

    void SetUp() override {
        char pattern[] = "/tmp/messages_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        media = pattern;
        std::filesystem::create_directory(media + "/nls");
        useMedia(media);
    }

    void TearDown() override {
        messageTable = BuiltinMessages;
        std::filesystem::remove_all(media);
    }

    void useMedia(const std::string& hostFolder) {
        sim::Machine m = sim::baseMachine(hostFolder);
        m.drives["D"] = hostFolder;
        sim::resetForTest(m);
        std::snprintf(sourceDir, sizeof sourceDir, "D:");
        messageTable = BuiltinMessages;
    }

    char sourceDir[SourceDirSize] = {};  // the media root the catalogue is loaded from

    void writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream out(media + "/nls/" + name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // A language file of the given count byte and texts, each with its NUL.
    static std::string languageFile(int count, const std::vector<std::string>& texts) {
        std::string data(1, static_cast<char>(count));
        for (const std::string& t : texts) data += t + std::string(1, '\0');
        return data;
    }

    // The 80 built-in texts as a language file holds them: text mode reads
    // CR CR LF as CR LF.
    static std::vector<std::string> builtinTexts() {
        std::vector<std::string> texts;
        for (int i = 0; i < MESSAGE_COUNT; ++i) {
            std::string text = BuiltinMessages[i];
            for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 3))
                text.insert(at, "\r");
            texts.push_back(text);
        }
        return texts;
    }

    // Size in bytes that the nth LocalAlloc call asked for.
    static std::string allocSize(size_t nth) {
        std::vector<sim::CallRecord> allocs = sim::callsOf("LocalAlloc");
        return nth < allocs.size() ? allocs[nth].args[1] : "none";
    }

    static void expectUnknownFrom(const char** table, int first, int last) {
        for (int i = first; i <= last; ++i) EXPECT_STREQ(table[i], "Unknown Message") << "entry " << i;
    }
};

// ---- language selection ------------------------------------------------------

TEST_F(MessagesTest, LanguageIdsSelectTheirFiles) {
    struct Case {
        LANGID id;
        int index;
    } cases[] = {
        {0x0407, 1}, {0x0807, 1}, {0x0C07, 1}, {0x040A, 2}, {0x080A, 2}, {0x0C0A, 2},
        {0x040B, 0}, {0x040C, 0}, {0x080C, 0}, {0x0C0C, 0}, {0x100C, 0}, {0x0411, 3},
        {0x0409, 4}, {0x0809, 4}, {0x0410, 4}, {0x0412, 4}, {0x0000, 4}, {0x140C, 4},
        {0x0807 + 0x1000, 4},
    };
    for (const Case& c : cases) {
        sim::machine().defaultLangId = c.id;
        sim::clearCalls();
        int language = selectLanguage();
        EXPECT_EQ(language, c.index) << std::hex << c.id;
        EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, language), -1);  // no file there
        std::vector<sim::CallRecord> opens = sim::callsOf("_sopen");
        ASSERT_EQ(opens.size(), 1u);
        std::string expected = std::string("D:\\nls\\") + FileNames[c.index];
        EXPECT_EQ(opens[0].args[0], sim::arg(expected)) << std::hex << c.id;
        EXPECT_EQ(opens[0].args[1], sim::argHex(_O_RDONLY | _O_TEXT));
        EXPECT_EQ(opens[0].args[2], sim::argHex(_SH_DENYNO));
    }
}

TEST_F(MessagesTest, FrenchCanadaReadsTheFrenchFile) {
    sim::machine().defaultLangId = 0x0C0C;
    writeFile("french.nls", languageFile(2, {"non", "o"}));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, selectLanguage()), 0);
    EXPECT_STREQ(messageTable[0], "non");
    EXPECT_STREQ(messageTable[1], "o");
    expectUnknownFrom(messageTable, 2, 79);
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, LanguageOutsideTheTableFailsWithoutOpening) {
    EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, -1), -1);
    EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 5), -1);
    EXPECT_EQ(messageTable, BuiltinMessages);
    EXPECT_TRUE(sim::callsOf("_sopen").empty());
}

// ---- the file format -----------------------------------------------------------

TEST_F(MessagesTest, ShortFileFillsTheRestWithUnknownMessage) {
    writeFile("german.nls", languageFile(3, {"a", "b", "c"}));
    testing::internal::CaptureStdout();
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(messageTable[0], "a");
    EXPECT_STREQ(messageTable[1], "b");
    EXPECT_STREQ(messageTable[2], "c");
    expectUnknownFrom(messageTable, 3, 79);
    // The text block is the file's length plus 20, the array 80 entries.
    EXPECT_EQ(allocSize(0), std::to_string(7 + 20));
    EXPECT_EQ(allocSize(1), std::to_string(80 * sizeof(const char*)));
    EXPECT_EQ(sim::openHandleCount(), 0u);
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, CountOfZeroOrNegativeTakesNoText) {
    for (int count : {0x00, 0x80, 0xC5, 0xFF}) {
        useMedia(media);
        writeFile("spanish.nls", languageFile(count, {"uno", "dos"}));
        ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 2), 0) << count;
        expectUnknownFrom(messageTable, 0, 79);
        EXPECT_EQ(allocSize(1), std::to_string(80 * sizeof(const char*))) << count;
        releaseCatalogue(&messageTable);
        EXPECT_EQ(sim::heapBlockCount(), 0u);
    }
}

TEST_F(MessagesTest, EmptyFileGivesEightyUnknownMessages) {
    writeFile("english.nls", "");
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 4), 0);
    expectUnknownFrom(messageTable, 0, 79);
    EXPECT_EQ(allocSize(0), "20");
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, TextModeJoinsCrLfAndStopsAtCtrlZ) {
    writeFile("english.nls", languageFile(4, {"one\r\ntwo", "keep\n\r", "cr\r\r\nlf", "cut %s\x1A", "after"}));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 4), 0);
    EXPECT_STREQ(messageTable[0], "one\ntwo");
    EXPECT_STREQ(messageTable[1], "keep\n\r");
    EXPECT_STREQ(messageTable[2], "cr\r\nlf");
    EXPECT_STREQ(messageTable[3], "cut %s");  // Ctrl-Z ends the data
    expectUnknownFrom(messageTable, 4, 79);
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, TruncatedFileTakesWhatItHas) {
    // Five texts announced, two and a half present, the last without a NUL.
    writeFile("english.nls", std::string("\x05" "first\0second\0thi", 17));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 4), 0);
    EXPECT_STREQ(messageTable[0], "first");
    EXPECT_STREQ(messageTable[1], "second");
    EXPECT_STREQ(messageTable[2], "thi");
    expectUnknownFrom(messageTable, 3, 79);
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, CountBelowTheTextsTakesOnlyTheCount) {
    writeFile("english.nls", languageFile(2, {"a", "b", "c", "d"}));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 4), 0);
    EXPECT_STREQ(messageTable[1], "b");
    expectUnknownFrom(messageTable, 2, 79);
    releaseCatalogue(&messageTable);
}

TEST_F(MessagesTest, CountAboveTheCapacityWidensTheArray) {
    std::vector<std::string> texts = builtinTexts();
    for (int i = 80; i < 100; ++i) texts.push_back("extra " + std::to_string(i));
    writeFile("english.nls", languageFile(127, texts));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 4), 0);
    EXPECT_EQ(allocSize(1), std::to_string(127 * sizeof(const char*)));
    for (int i = 0; i < MESSAGE_COUNT; ++i) EXPECT_STREQ(messageTable[i], BuiltinMessages[i]);
    EXPECT_STREQ(messageTable[99], "extra 99");
    expectUnknownFrom(messageTable, 100, 126);
    releaseCatalogue(&messageTable);
}

// ---- the path ------------------------------------------------------------------

TEST_F(MessagesTest, PathThatDoesNotFitThePathBufferFails) {
    // "\nls\german.nls" is 15 characters; the path buffer holds 255 and the NUL.
    std::string folder(237, 'x');
    std::filesystem::create_directories(media + "/" + folder + "/nls");
    std::ofstream(media + "/" + folder + "/nls/german.nls", std::ios::binary) << languageFile(1, {"lang"});

    std::snprintf(sourceDir, sizeof sourceDir, "D:\\%s", folder.c_str());  // 240 characters: fits exactly
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 1), 0);
    EXPECT_STREQ(messageTable[0], "lang");
    releaseCatalogue(&messageTable);

    sim::clearCalls();
    std::snprintf(sourceDir, sizeof sourceDir, "D:\\%s\\", folder.c_str());  // one more
    EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 1), -1);
    EXPECT_EQ(messageTable, BuiltinMessages);
    EXPECT_TRUE(sim::callsOf("_sopen").empty());

    std::memset(sourceDir, 'y', sizeof sourceDir - 1);  // the longest sourceDir: 259 characters
    sourceDir[sizeof sourceDir - 1] = '\0';
    EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 1), -1);
    EXPECT_TRUE(sim::callsOf("_sopen").empty());
}

// ---- texts used as formats ------------------------------------------------------

TEST_F(MessagesTest, TextsWithOtherConversionsKeepTheBuiltInText) {
    std::vector<std::string> texts = builtinTexts();
    texts[0] = "%n";                        // an answer word that is a conversion
    texts[3] = "%s%s%s%s%s%n";              // more conversions, and %n
    texts[8] = "100% done\n\r";             // "% d" is a conversion
    texts[13] = "100%% fertig\n\r";          // a literal percent sign: kept
    texts[23] = "Erreur %s\n\n";            // another kind
    texts[24] = "%d %s\n\n";                // another order
    texts[28] = "%*d\n";                    // a width taken from the arguments
    texts[52] = "%2$s ist neuer als %1$s.\n";
    texts[53] = "%s is the same as %s.\n";  // same conversions: kept
    texts[54] = "Copy? %";                  // unfinished conversion
    texts[56] = "%ls\n";                    // another length
    texts[79] = "Treiber %.3s\n";           // precision differs from the built-in conversion
    writeFile("german.nls", languageFile(80, texts));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 1), 0);

    for (int i : {0, 3, 8, 23, 24, 28, 52, 54, 56, 79})
        EXPECT_EQ(messageTable[i], BuiltinMessages[i]) << "entry " << i;
    EXPECT_STREQ(messageTable[13], "100%% fertig\n\r");
    EXPECT_STREQ(messageTable[53], "%s is the same as %s.\n");
    EXPECT_NE(messageTable[53], BuiltinMessages[53]);

    testing::internal::CaptureStdout();
    printMessage(MsgOlderThan, "a.sys", "b.sys");
    printMessage(MsgFileSystemError, 5);
    printMessage(MsgInstallationComplete);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a.sys is older than b.sys.\nFile system error: 5\n\n100% fertig\n\r");
    releaseCatalogue(&messageTable);
}

// ---- failures ------------------------------------------------------------------

TEST_F(MessagesTest, MissingFileFailsSilently) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 3), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(messageTable, BuiltinMessages);
    EXPECT_EQ(sim::callsOf("_sopen").size(), 1u);
    EXPECT_TRUE(sim::callsOf("LocalAlloc").empty());
}

TEST_F(MessagesTest, AllocationFailurePrintsAndReleasesEverything) {
    for (unsigned nth : {1u, 2u}) {
        useMedia(media);
        writeFile("french.nls", languageFile(3, {"a", "b", "c"}));
        sim::failCall("LocalAlloc", nth, ERROR_NOT_ENOUGH_MEMORY);
        testing::internal::CaptureStdout();
        EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 0), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to allocate memory\n\r");
        EXPECT_EQ(messageTable, BuiltinMessages);
        EXPECT_EQ(sim::heapBlockCount(), 0u) << nth;
        EXPECT_EQ(sim::openHandleCount(), 0u) << nth;
        EXPECT_EQ(sim::callsOf("_close").size(), 1u);
    }
}

TEST_F(MessagesTest, ReadAndLengthFailuresReleaseEverything) {
    struct Fault {
        const char* function;
        unsigned nth;
    } faults[] = {{"_sopen", 1}, {"_filelength", 1}, {"_read", 1}, {"_read", 2}};
    for (const Fault& f : faults) {
        useMedia(media);
        writeFile("french.nls", languageFile(3, {"a", "b", "c"}));
        sim::failCall(f.function, f.nth, ERROR_ACCESS_DENIED);
        testing::internal::CaptureStdout();
        EXPECT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 0), -1) << f.function << f.nth;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(messageTable, BuiltinMessages);
        EXPECT_EQ(sim::heapBlockCount(), 0u) << f.function << f.nth;
        EXPECT_EQ(sim::openHandleCount(), 0u) << f.function << f.nth;
    }
}

// ---- release -------------------------------------------------------------------

TEST_F(MessagesTest, ReleaseFreesTheTextBlockThenTheArray) {
    writeFile("japanese.nls", languageFile(1, {"x"}));
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 3), 0);
    EXPECT_EQ(sim::heapBlockCount(), 2u);
    EXPECT_EQ(sim::openHandleCount(), 0u);
    const char** loaded = messageTable;
    const void* textBlock = messageTable[0];

    releaseCatalogue(&messageTable);
    std::vector<sim::CallRecord> frees = sim::callsOf("LocalFree");
    ASSERT_EQ(frees.size(), 2u);
    EXPECT_EQ(frees[0].args[0], sim::arg(textBlock));
    EXPECT_EQ(frees[1].args[0], sim::arg(static_cast<const void*>(loaded)));
    EXPECT_EQ(sim::heapBlockCount(), 0u);
    EXPECT_EQ(messageTable, BuiltinMessages);

    // The built-in catalogue is never released.
    releaseCatalogue(&messageTable);
    EXPECT_EQ(sim::callsOf("LocalFree").size(), 2u);
    EXPECT_STREQ(messageTable[MsgBanner], "QRV Service Processor server software installation\n\r");
}

// ---- the media's language files ------------------------------------------------

// The build's media folder: beside the tests folder that holds this program.
std::string buildMediaFolder() {
    if (const char* env = std::getenv("SETUP_MEDIA_DIR")) return env;
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    return (std::filesystem::path(self).parent_path().parent_path() / "media").string();
}

TEST_F(MessagesTest, ShippedLanguageFilesLoadWhole) {
    std::string shipped = buildMediaFolder();
    ASSERT_TRUE(std::filesystem::exists(shipped + "/nls/english.nls")) << shipped;
    for (int language = 0; language < 5; ++language) {
        useMedia(shipped);
        ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, language), 0) << FileNames[language];
        EXPECT_EQ(allocSize(1), std::to_string(80 * sizeof(const char*)));
        for (int i = 0; i < MESSAGE_COUNT; ++i) {
            // Taken from the file, and not put back for its conversions.
            EXPECT_NE(messageTable[i], BuiltinMessages[i]) << FileNames[language] << " entry " << i;
            EXPECT_STRNE(messageTable[i], "Unknown Message") << FileNames[language] << " entry " << i;
            EXPECT_NE(messageTable[i][0], '\0') << FileNames[language] << " entry " << i;
            if (language == 4) {
                EXPECT_STREQ(messageTable[i], BuiltinMessages[i]) << "entry " << i;
            }
        }
        if (language != 4) {
            // The printed messages are translated.
            for (int i : {MsgBanner, MsgInstallationComplete, MsgInstallationFailed, MsgPressAnyKey,
                          MsgCopyAnyway, MsgRemovedOldDrivers, MsgInstallingDrivers})
                EXPECT_STRNE(messageTable[i], BuiltinMessages[i]) << FileNames[language] << " entry " << i;
        }
        releaseCatalogue(&messageTable);
        EXPECT_EQ(sim::heapBlockCount(), 0u);
        EXPECT_EQ(sim::openHandleCount(), 0u);
    }
}

TEST_F(MessagesTest, FrenchFileAnswersOui) {
    useMedia(buildMediaFolder());
    ASSERT_EQ(loadCatalogue(sourceDir, &messageTable, 80, 0), 0);
    EXPECT_STREQ(messageTable[MsgAnswerYes], "o");
    EXPECT_STREQ(messageTable[MsgAnswerNo], "n");
    testing::internal::CaptureStdout();
    printMessage(MsgOlderThan, "D:\\nt\\a.sys", "C:\\b.sys");
    printMessage(MsgInstallationComplete);  // in cp1252
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "D:\\nt\\a.sys est plus ancien que C:\\b.sys.\nInstallation termin\xE9" "e\n\r");
    releaseCatalogue(&messageTable);
}

}  // namespace
