// The messages layer: language selection, the catalogue loaded from a
// language file and its release, on language files in a host folder that
// the machine sees as drive D:.
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
#include "language_files.h"
#include "messages/messages.h"
#include "platform/win_base.h"
#include "platform/win_files.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"

namespace {

const char* const FileNames[5] = {"french.nls", "german.nls", "spanish.nls", "japanese.nls", "english.nls"};

using languagefiles::builtinTexts;
using languagefiles::languageFile;

class MessagesCatalogue : public ::testing::Test {
protected:
    std::string media;
    Catalogue messages;

    void SetUp() override {
        char pattern[] = "/tmp/messages_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        media = pattern;
        std::filesystem::create_directory(media + "/nls");
        useMedia(media);
    }

    void TearDown() override {
        messages.release();
        std::filesystem::remove_all(media);
    }

    void useMedia(const std::string& hostFolder) {
        sim::Machine m = sim::baseMachine(hostFolder);
        m.drives["D"] = hostFolder;
        sim::resetForTest(m);
        std::snprintf(sourceDir, sizeof sourceDir, "D:");
    }

    char sourceDir[SourceDirSize] = {};  // the media root the catalogue is loaded from

    void writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream out(media + "/nls/" + name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Size in bytes that the nth LocalAlloc call asked for.
    static std::string allocSize(size_t nth) {
        std::vector<sim::CallRecord> allocs = sim::callsOf("LocalAlloc");
        return nth < allocs.size() ? allocs[nth].args[1] : "none";
    }

    bool load(Language language) { return messages.load(sourceDir, language).ok(); }
    void expectUnknownFrom(int first, int last) const {
        for (int i = first; i <= last; ++i) EXPECT_STREQ(messages.text(i), "Unknown Message") << "entry " << i;
    }
    void expectBuiltIn() const {
        EXPECT_FALSE(messages.loadedFromFile());
        for (int i = 0; i < MessageCount; ++i) EXPECT_EQ(messages.text(i), BuiltinMessages[i]) << "entry " << i;
    }
};

// ---- language selection ------------------------------------------------------

TEST_F(MessagesCatalogue, LanguageIdsSelectTheirFiles) {
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
        Language language = selectLanguage();
        EXPECT_EQ(language, c.index) << std::hex << c.id;
        EXPECT_FALSE(load(language));  // no file there
        std::vector<sim::CallRecord> opens = sim::callsOf("_sopen");
        ASSERT_EQ(opens.size(), 1u);
        std::string expected = std::string("D:\\nls\\") + FileNames[c.index];
        EXPECT_EQ(opens[0].args[0], sim::arg(expected)) << std::hex << c.id;
        EXPECT_EQ(opens[0].args[1], sim::argHex(_O_RDONLY | _O_TEXT));
        EXPECT_EQ(opens[0].args[2], sim::argHex(_SH_DENYNO));
    }
}

TEST_F(MessagesCatalogue, LanguageOutsideTheTableFailsWithoutOpening) {
    EXPECT_FALSE(load(static_cast<Language>(-1)));
    EXPECT_FALSE(load(LanguageCount));
    expectBuiltIn();
    EXPECT_TRUE(sim::callsOf("_sopen").empty());
}

// ---- the file format -----------------------------------------------------------

TEST_F(MessagesCatalogue, ShortFileFillsTheRestWithUnknownMessage) {
    writeFile("german.nls", languageFile(3, {"a", "b", "c"}));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(load(LanguageGerman));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(messages.loadedFromFile());
    EXPECT_STREQ(messages.text(0), "a");
    EXPECT_STREQ(messages.text(1), "b");
    EXPECT_STREQ(messages.text(2), "c");
    expectUnknownFrom(3, 79);
    EXPECT_EQ(sim::openHandleCount(), 0u);
}

TEST_F(MessagesCatalogue, CountOfZeroOrNegativeTakesNoText) {
    for (int count : {0x00, 0x80, 0xC5, 0xFF}) {
        useMedia(media);
        writeFile("spanish.nls", languageFile(count, {"uno", "dos"}));
        ASSERT_TRUE(load(LanguageSpanish)) << count;
        expectUnknownFrom(0, 79);
        EXPECT_EQ(allocSize(1), std::to_string(80 * sizeof(const char*))) << count;
        messages.release();
        EXPECT_EQ(sim::heapBlockCount(), 0u);
    }
}

TEST_F(MessagesCatalogue, EmptyFileGivesEightyUnknownMessages) {
    writeFile("english.nls", "");
    ASSERT_TRUE(load(LanguageEnglish));
    expectUnknownFrom(0, 79);
}

TEST_F(MessagesCatalogue, TextModeJoinsCrLfAndStopsAtCtrlZ) {
    writeFile("english.nls", languageFile(4, {"one\r\ntwo", "keep\n\r", "cr\r\r\nlf", "cut %s\x1A", "after"}));
    ASSERT_TRUE(load(LanguageEnglish));
    EXPECT_STREQ(messages.text(0), "one\ntwo");
    EXPECT_STREQ(messages.text(1), "keep\n\r");
    EXPECT_STREQ(messages.text(2), "cr\r\nlf");
    EXPECT_STREQ(messages.text(3), "cut %s");  // Ctrl-Z ends the data
    expectUnknownFrom(4, 79);
}

TEST_F(MessagesCatalogue, TruncatedFileTakesWhatItHas) {
    // Five texts announced, two and a half present, the last without a NUL.
    writeFile("english.nls", std::string("\x05" "first\0second\0thi", 17));
    ASSERT_TRUE(load(LanguageEnglish));
    EXPECT_STREQ(messages.text(0), "first");
    EXPECT_STREQ(messages.text(1), "second");
    EXPECT_STREQ(messages.text(2), "thi");
    expectUnknownFrom(3, 79);
}

TEST_F(MessagesCatalogue, CountBelowTheTextsTakesOnlyTheCount) {
    writeFile("english.nls", languageFile(2, {"a", "b", "c", "d"}));
    ASSERT_TRUE(load(LanguageEnglish));
    EXPECT_STREQ(messages.text(1), "b");
    expectUnknownFrom(2, 79);
}

TEST_F(MessagesCatalogue, CountAboveTheCapacityWidensTheArray) {
    std::vector<std::string> texts = builtinTexts();
    for (int i = 80; i < 100; ++i) texts.push_back("extra " + std::to_string(i));
    writeFile("english.nls", languageFile(127, texts));
    ASSERT_TRUE(load(LanguageEnglish));
    EXPECT_EQ(allocSize(1), std::to_string(127 * sizeof(const char*)));
    for (int i = 0; i < MessageCount; ++i) EXPECT_STREQ(messages.text(i), BuiltinMessages[i]);
    EXPECT_STREQ(messages.text(99), "extra 99");
    expectUnknownFrom(100, 126);
}

// ---- the path ------------------------------------------------------------------

TEST_F(MessagesCatalogue, PathThatDoesNotFitThePathBufferFails) {
    // "\nls\german.nls" is 15 characters; the path buffer holds 255 and the NUL.
    std::string folder(237, 'x');
    std::filesystem::create_directories(media + "/" + folder + "/nls");
    std::ofstream(media + "/" + folder + "/nls/german.nls", std::ios::binary) << languageFile(1, {"lang"});

    std::snprintf(sourceDir, sizeof sourceDir, "D:\\%s", folder.c_str());  // 240 characters: fits exactly
    ASSERT_TRUE(load(LanguageGerman));
    EXPECT_STREQ(messages.text(0), "lang");
    messages.release();

    sim::clearCalls();
    std::snprintf(sourceDir, sizeof sourceDir, "D:\\%s\\", folder.c_str());  // one more
    EXPECT_FALSE(load(LanguageGerman));
    expectBuiltIn();
    EXPECT_TRUE(sim::callsOf("_sopen").empty());

    std::memset(sourceDir, 'y', sizeof sourceDir - 1);  // the longest sourceDir: 259 characters
    sourceDir[sizeof sourceDir - 1] = '\0';
    EXPECT_FALSE(load(LanguageGerman));
    EXPECT_TRUE(sim::callsOf("_sopen").empty());
}

// ---- texts used as formats ------------------------------------------------------

TEST_F(MessagesCatalogue, TextsWithOtherConversionsKeepTheBuiltInText) {
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
    ASSERT_TRUE(load(LanguageGerman));

    for (int i : {0, 3, 8, 23, 24, 28, 52, 54, 56, 79})
        EXPECT_EQ(messages.text(i), BuiltinMessages[i]) << "entry " << i;
    EXPECT_STREQ(messages.text(13), "100%% fertig\n\r");
    EXPECT_STREQ(messages.text(53), "%s is the same as %s.\n");
    EXPECT_NE(messages.text(53), BuiltinMessages[53]);

    testing::internal::CaptureStdout();
    messages.print(MsgOlderThan, "a.sys", "b.sys");
    messages.print(MsgFileSystemError, 5);
    messages.print(MsgInstallationComplete);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a.sys is older than b.sys.\nFile system error: 5\n\n100% fertig\n\r");
}

// ---- failures ------------------------------------------------------------------

TEST_F(MessagesCatalogue, MissingFileFailsSilently) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(load(LanguageJapanese));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expectBuiltIn();
    EXPECT_EQ(sim::callsOf("_sopen").size(), 1u);
    EXPECT_TRUE(sim::callsOf("LocalAlloc").empty());
}

TEST_F(MessagesCatalogue, AllocationFailurePrintsAndReleasesEverything) {
    for (unsigned nth : {1u, 2u}) {
        useMedia(media);
        writeFile("french.nls", languageFile(3, {"a", "b", "c"}));
        sim::failCall("LocalAlloc", nth, ERROR_NOT_ENOUGH_MEMORY);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(load(LanguageFrench));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to allocate memory\n\r");
        expectBuiltIn();
        EXPECT_EQ(sim::heapBlockCount(), 0u) << nth;
        EXPECT_EQ(sim::openHandleCount(), 0u) << nth;
        EXPECT_EQ(sim::callsOf("_close").size(), 1u);
    }
}

TEST_F(MessagesCatalogue, ReadAndLengthFailuresReleaseEverything) {
    struct Fault {
        const char* function;
        unsigned nth;
    } faults[] = {{"_sopen", 1}, {"_filelength", 1}, {"_read", 1}, {"_read", 2}};
    for (const Fault& f : faults) {
        useMedia(media);
        writeFile("french.nls", languageFile(3, {"a", "b", "c"}));
        sim::failCall(f.function, f.nth, ERROR_ACCESS_DENIED);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(load(LanguageFrench)) << f.function << f.nth;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        expectBuiltIn();
        EXPECT_EQ(sim::heapBlockCount(), 0u) << f.function << f.nth;
        EXPECT_EQ(sim::openHandleCount(), 0u) << f.function << f.nth;
    }
}

// ---- release -------------------------------------------------------------------

TEST_F(MessagesCatalogue, ReleaseFreesTheTextBlockThenTheArray) {
    writeFile("japanese.nls", languageFile(1, {"x"}));
    ASSERT_TRUE(load(LanguageJapanese));
    EXPECT_EQ(sim::heapBlockCount(), 2u);
    EXPECT_EQ(sim::openHandleCount(), 0u);
    const void* textBlock = messages.text(0);
    std::vector<sim::CallRecord> allocs = sim::callsOf("LocalAlloc");
    ASSERT_EQ(allocs.size(), 2u);

    messages.release();
    std::vector<sim::CallRecord> frees = sim::callsOf("LocalFree");
    ASSERT_EQ(frees.size(), 2u);
    EXPECT_EQ(frees[0].args[0], sim::arg(textBlock));
    EXPECT_NE(frees[1].args[0], frees[0].args[0]);
    EXPECT_EQ(sim::heapBlockCount(), 0u);
    expectBuiltIn();

    // The built-in catalogue is never released.
    messages.release();
    EXPECT_EQ(sim::callsOf("LocalFree").size(), 2u);
    EXPECT_STREQ(messages.text(MsgBanner), "QRV Service Processor server software installation\n\r");

    // A loaded catalogue that a fresh one replaces is released as well.
    ASSERT_TRUE(load(LanguageJapanese));
    messages = Catalogue{};
    EXPECT_EQ(sim::heapBlockCount(), 0u);
    expectBuiltIn();
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

TEST_F(MessagesCatalogue, ShippedLanguageFilesLoadWhole) {
    std::string shipped = buildMediaFolder();
    ASSERT_TRUE(std::filesystem::exists(shipped + "/nls/english.nls")) << shipped;
    for (int language = 0; language < 5; ++language) {
        useMedia(shipped);
        ASSERT_TRUE(load(static_cast<Language>(language))) << FileNames[language];
        EXPECT_EQ(allocSize(1), std::to_string(80 * sizeof(const char*)));
        for (int i = 0; i < MessageCount; ++i) {
            // Taken from the file, and not put back for its conversions.
            EXPECT_NE(messages.text(i), BuiltinMessages[i]) << FileNames[language] << " entry " << i;
            EXPECT_STRNE(messages.text(i), "Unknown Message") << FileNames[language] << " entry " << i;
            EXPECT_NE(messages.text(i)[0], '\0') << FileNames[language] << " entry " << i;
            if (language == LanguageEnglish) {
                EXPECT_STREQ(messages.text(i), BuiltinMessages[i]) << "entry " << i;
            }
        }
        if (language != LanguageEnglish) {
            // The printed messages are translated.
            for (int i : {MsgBanner, MsgInstallationComplete, MsgInstallationFailed, MsgPressAnyKey,
                          MsgCopyAnyway, MsgRemovedOldDrivers, MsgInstallingDrivers})
                EXPECT_STRNE(messages.text(i), BuiltinMessages[i]) << FileNames[language] << " entry " << i;
        }
        messages.release();
        EXPECT_EQ(sim::heapBlockCount(), 0u);
        EXPECT_EQ(sim::openHandleCount(), 0u);
    }
}

TEST_F(MessagesCatalogue, FrenchFileAnswersOui) {
    useMedia(buildMediaFolder());
    ASSERT_TRUE(load(LanguageFrench));
    EXPECT_STREQ(messages.text(MsgAnswerYes), "o");
    EXPECT_STREQ(messages.text(MsgAnswerNo), "n");
    testing::internal::CaptureStdout();
    messages.print(MsgOlderThan, "D:\\nt\\a.sys", "C:\\b.sys");
    messages.print(MsgInstallationComplete);  // in cp1252
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "D:\\nt\\a.sys est plus ancien que C:\\b.sys.\nInstallation termin\xE9" "e\n\r");
}

}  // namespace
