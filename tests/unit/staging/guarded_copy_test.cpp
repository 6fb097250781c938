// The staging layer's guarded copy and its confirmation prompt.
#include "staging_fixture.h"

#include "staging/guarded_copy.h"

using stagingtest::StagingTest;
using stagingtest::StdinFeed;
using stagingtest::stamped;

namespace {
const char* const Notice =
    "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n"
    "Do you want to copy anyway? (y/n):\n";
const char* const Prompt = "Do you want to copy anyway? (y/n):\n";
}  // namespace

TEST(StagingSkipToGraphic, FindsFirstPrintableNonSpace) {
    EXPECT_EQ(skipToGraphic(nullptr), nullptr);
    EXPECT_EQ(skipToGraphic(" \t  \t"), nullptr);
    EXPECT_EQ(skipToGraphic(""), nullptr);
    const char twoSpaces[] = "  y";
    EXPECT_EQ(skipToGraphic(twoSpaces), twoSpaces + 2);
    const char controls[] = "\r\x01\x7f\x80\xff!";
    EXPECT_EQ(skipToGraphic(controls), controls + 5);
    const char tilde[] = "~";
    EXPECT_EQ(skipToGraphic(tilde), tilde);
}

class StagingGuardedCopy : public StagingTest {
protected:
    void SetUp() override {
        StagingTest::SetUp();
        std::filesystem::create_directories(host("C:\\stage"));
    }
    // Media file older than the file in place.
    void olderSource() {
        write("D:\\win2000\\QRVMPW.SYS", stamped("5.0"));
        write("C:\\stage\\QRVMPW.SYS", stamped("5.1"));
    }
    // "done", or the operation that failed.
    static std::string outcome(const Result& r) { return r.ok() ? "done" : r.operation(); }
    std::string copy(bool quiet = false) {
        return outcome(copyFileGuarded(run.messages, "D:\\win2000\\", "C:\\stage\\", "QRVMPW.SYS", quiet));
    }
    Answer ask(const char* prompt, bool quiet = false) { return askConfirmation(run.messages, prompt, quiet); }
    std::string staged() { return read("C:\\stage\\QRVMPW.SYS"); }
};

TEST_F(StagingGuardedCopy, AnswersThatDecline) {
    for (const char* answer : {"n\n", "N\n", "no\n", "nope\n", "   n\n", " \t NO\n", "n"}) {
        olderSource();
        StdinFeed feed(answer);
        testing::internal::CaptureStdout();
        EXPECT_EQ(copy(), "done") << answer;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Notice) << answer;
        EXPECT_EQ(staged(), stamped("5.1")) << answer;
    }
    EXPECT_TRUE(sim::callsOf("CopyFileA").empty());
    expectNoLeaks();
}

TEST_F(StagingGuardedCopy, AnswersThatCopy) {
    for (const char* answer : {"y\n", "yes\n", "Y\n", "cancel\n", "CANCEL\n", "  Yes please\n"}) {
        olderSource();
        StdinFeed feed(answer);
        testing::internal::CaptureStdout();
        EXPECT_EQ(copy(), "done") << answer;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Notice) << answer;
        EXPECT_EQ(staged(), stamped("5.0")) << answer;
    }
    expectNoLeaks();
}

TEST_F(StagingGuardedCopy, UnmatchedAnswersAskAgain) {
    olderSource();
    // "c" alone is not the word "cancel"; an empty line, blanks and "maybe"
    // match nothing either.
    StdinFeed feed("c\n\n  \t\nmaybe\nn\nleft over\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    std::string expected = std::string("\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n");
    for (int i = 0; i < 5; ++i) expected += Prompt;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(staged(), stamped("5.1"));
    EXPECT_EQ(feed.rest(), "left over\n");  // one line per question, no more
}

// Markers that end with the 100,000th byte, the last one examined, count:
// the installed file's whole stamp (version 5.1), and the media file's start
// marker, whose version text lies beyond (version 0). The media file is
// older and the question is asked; were one byte fewer examined, either
// file would lose its version and the installed one be overwritten
// without a word.
TEST_F(StagingGuardedCopy, MarkersEndingWithTheLastByteExaminedCount) {
    write("D:\\win2000\\QRVMPW.SYS", std::string(100000 - 4, 'x') + "!@#$9.9$#@!");
    std::string installed = std::string(100000 - 11, 'x') + stamped("5.1", "", "") + std::string(100, 'y');
    write("C:\\stage\\QRVMPW.SYS", installed);
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Notice);
    EXPECT_EQ(staged(), installed);
}

TEST_F(StagingGuardedCopy, QuietModePrintsTheNoticeButDoesNotAsk) {
    olderSource();
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(true), "done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n");
    EXPECT_EQ(staged(), stamped("5.0"));
    EXPECT_EQ(feed.rest(), "n\n");  // nothing read
}

TEST_F(StagingGuardedCopy, EqualOrNewerOrMissingTargetCopiesSilently) {
    write("D:\\win2000\\QRVMPW.SYS", stamped("5.1", "new"));
    write("C:\\stage\\QRVMPW.SYS", stamped("5.1", "old"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(staged(), stamped("5.1", "new"));
    write("D:\\win2000\\QRVMPW.SYS", stamped("6.0"));
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(staged(), stamped("6.0"));
    std::filesystem::remove(host("C:\\stage\\QRVMPW.SYS"));
    sim::clearCalls();
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(staged(), stamped("6.0"));
    EXPECT_TRUE(sim::callsOf("_sopen").empty());  // no comparison without a target
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    auto copies = sim::callsOf("CopyFileA");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].args, (std::vector<std::string>{sim::arg("D:\\win2000\\QRVMPW.SYS"),
                                                         sim::arg("C:\\stage\\QRVMPW.SYS"), "0"}));
    expectNoLeaks();
}

TEST_F(StagingGuardedCopy, MissingSourceLeavesTargetAlone) {
    write("C:\\stage\\QRVMPW.SYS", stamped("1"));
    sim::machine().fileAttributes["C:\\stage\\QRVMPW.SYS"] = FILE_ATTRIBUTE_READONLY;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "FindFirstFileA");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(GetFileAttributesA("C:\\stage\\QRVMPW.SYS"), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(sim::callsOf("SetFileAttributesA").empty());
    expectNoLeaks();
}

TEST_F(StagingGuardedCopy, ReadOnlyTargetIsResetAndOverwritten) {
    write("D:\\win2000\\QRVMPW.SYS", stamped("5.2"));
    write("C:\\stage\\QRVMPW.SYS", stamped("5.1"));
    sim::machine().fileAttributes["C:\\stage\\QRVMPW.SYS"] = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(staged(), stamped("5.2"));
    auto sets = sim::callsOf("SetFileAttributesA");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].args, (std::vector<std::string>{sim::arg("C:\\stage\\QRVMPW.SYS"), "0x80"}));
    EXPECT_EQ(GetFileAttributesA("C:\\stage\\QRVMPW.SYS"), FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(StagingGuardedCopy, DeclinedTargetKeepsNormalAttributes) {
    olderSource();
    sim::machine().fileAttributes["C:\\stage\\QRVMPW.SYS"] = FILE_ATTRIBUTE_READONLY;
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(GetFileAttributesA("C:\\stage\\QRVMPW.SYS"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(StagingGuardedCopy, FailedCopies) {
    write("D:\\win2000\\QRVMPW.SYS", stamped("1"));
    testing::internal::CaptureStdout();
    // The target directory does not exist: 103, and it is not created.
    EXPECT_EQ(outcome(copyFileGuarded(run.messages, "D:\\win2000\\", "C:\\nowhere\\", "QRVMPW.SYS", false)), "CopyFileA");
    EXPECT_FALSE(exists("C:\\nowhere"));
    // A target in use.
    write("C:\\stage\\QRVMPW.SYS", "old");
    sim::machine().filesInUse.push_back("C:\\stage\\QRVMPW.SYS");
    EXPECT_EQ(copy(), "CopyFileA");
    EXPECT_EQ(staged(), "old");
    sim::machine().filesInUse.clear();
    // A refused copy.
    sim::failCall("CopyFileA", static_cast<unsigned>(sim::callsOf("CopyFileA").size() + 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(copy(), "CopyFileA");
    // A failed search for the source counts as a missing source.
    sim::failCall("FindFirstFileA", 0, ERROR_ACCESS_DENIED);
    EXPECT_EQ(copy(), "FindFirstFileA");
    sim::clearFaults();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expectNoLeaks();
}

// Decision: a path that does not fit 519 characters fails with 103 before
// anything is looked at or written.
TEST_F(StagingGuardedCopy, OverlongPathsFailWithoutTouchingAnything) {
    std::string longDir = "C:\\" + std::string(500, 'd') + "\\";
    std::string name(30, 'f');
    EXPECT_EQ(outcome(copyFileGuarded(run.messages, longDir.c_str(), "C:\\stage\\", name.c_str(), false)), "building the path");
    EXPECT_EQ(outcome(copyFileGuarded(run.messages, "D:\\win2000\\", longDir.c_str(), name.c_str(), false)), "building the path");
    // 519 characters still fit (the platform then refuses such a path).
    std::string fits = std::string(519 - 11, 'x');
    EXPECT_EQ(outcome(copyFileGuarded(run.messages, "D:\\win2000\\", "C:\\stage\\", fits.c_str(), false)), "FindFirstFileA");
    EXPECT_EQ(sim::callsOf("FindFirstFileA").size(), 1u);
    EXPECT_TRUE(sim::callsOf("SetFileAttributesA").empty());
    EXPECT_TRUE(sim::callsOf("CopyFileA").empty());
}

TEST_F(StagingGuardedCopy, TranslatedAnswerWords) {
    loadTranslation({{MsgAnswerNo, "n"},
                     {MsgAnswerYes, "o"},
                     {MsgAnswerCancel, "annuler"},
                     {MsgCopyAnyway, "Copier quand meme ? (o/n) :\n"}});
    testing::internal::CaptureStdout();
    EXPECT_EQ([this] { StdinFeed f("oui\n"); return ask("?"); }(), AnswerYes);
    EXPECT_EQ([this] { StdinFeed f("Annuler\n"); return ask("?"); }(), AnswerCancel);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "??");
    testing::internal::CaptureStdout();
    EXPECT_EQ([this] { StdinFeed f("y\nyes\nnon\n"); return ask("Q:"); }(), AnswerNo);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Q:Q:Q:");
    // The prompt comes from the same catalogue.
    olderSource();
    StdinFeed feed("o\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\nCopier quand meme ? (o/n) :\n");
    EXPECT_EQ(staged(), stamped("5.0"));
}

// A prompt from a language file is formatted like every other message: "%%"
// in it shows one percent sign, and the text is cut to 255 characters. One
// that holds a conversion is not taken (message 54 takes no arguments), and
// the built-in prompt stands. An empty answer word matches nothing.
TEST_F(StagingGuardedCopy, TranslatedPromptIsFormattedAndCut) {
    std::string longPrompt = "Copier (100%%) " + std::string(400, 'p');
    loadTranslation({{MsgCopyAnyway, longPrompt}, {MsgAnswerCancel, ""}});
    olderSource();
    {
        StdinFeed feed("whatever\nn\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(copy(), "done");
        std::string shown = ("Copier (100%) " + std::string(400, 'p')).substr(0, 255);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n" + shown + shown);
    }
    EXPECT_EQ(staged(), stamped("5.1"));

    loadTranslation({{MsgCopyAnyway, "Copier %s ? (o/n) :\n"}});
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Notice);
}

// Decision: standard input at its end answers no, and the file in place
// stays.
TEST_F(StagingGuardedCopy, EndOfInputAnswersNo) {
    olderSource();
    {
        StdinFeed feed("");
        testing::internal::CaptureStdout();
        EXPECT_EQ(copy(), "done");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Notice);
    }
    EXPECT_EQ(staged(), stamped("5.1"));
    {
        StdinFeed feed("maybe\n");  // one unmatched line, then the end
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask(Prompt), AnswerNo);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(Prompt) + Prompt);
    }
}

// Decision: a line longer than 1023 characters is consumed whole; its first
// 1023 characters are judged and its rest is never the next answer.
TEST_F(StagingGuardedCopy, OverlongAnswerLineIsConsumedWhole) {
    {
        StdinFeed feed("y" + std::string(3000, 'n') + "\nleft\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask(Prompt), AnswerYes);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Prompt);
        EXPECT_EQ(feed.rest(), "left\n");
    }
    {
        // Its tail would have read as "n": it is dropped, and the next line
        // decides.
        StdinFeed feed(std::string(1023, ' ') + "n\ny\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask(Prompt), AnswerYes);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(Prompt) + Prompt);
    }
    {
        StdinFeed feed(std::string(1022, ' ') + "n\ny\n");  // exactly 1023 characters
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask(Prompt), AnswerNo);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Prompt);
        EXPECT_EQ(feed.rest(), "y\n");
    }
}

TEST_F(StagingGuardedCopy, QuietConfirmationReadsNothing) {
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ask(Prompt, true), AnswerYes);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(feed.rest(), "n\n");
}
