// The guarded copy and its confirmation prompt.
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

class StagingCopyTest : public StagingTest {
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
    std::string copy(int quiet = 0) {
        return outcome(copyFileGuarded("D:\\win2000\\", "C:\\stage\\", "QRVMPW.SYS", quiet));
    }
    std::string staged() { return read("C:\\stage\\QRVMPW.SYS"); }
};

TEST_F(StagingCopyTest, AnswersThatDecline) {
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

TEST_F(StagingCopyTest, AnswersThatCopy) {
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

TEST_F(StagingCopyTest, UnmatchedAnswersAskAgain) {
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

TEST_F(StagingCopyTest, QuietModePrintsTheNoticeButDoesNotAsk) {
    olderSource();
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(1), "done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n");
    EXPECT_EQ(staged(), stamped("5.0"));
    EXPECT_EQ(feed.rest(), "n\n");  // nothing read
}

TEST_F(StagingCopyTest, EqualOrNewerOrMissingTargetCopiesSilently) {
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

TEST_F(StagingCopyTest, MissingSourceLeavesTargetAlone) {
    write("C:\\stage\\QRVMPW.SYS", stamped("1"));
    sim::machine().fileAttributes["C:\\stage\\QRVMPW.SYS"] = FILE_ATTRIBUTE_READONLY;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "FindFirstFileA");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(GetFileAttributesA("C:\\stage\\QRVMPW.SYS"), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(sim::callsOf("SetFileAttributesA").empty());
    expectNoLeaks();
}

TEST_F(StagingCopyTest, ReadOnlyTargetIsResetAndOverwritten) {
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

TEST_F(StagingCopyTest, DeclinedTargetKeepsNormalAttributes) {
    olderSource();
    sim::machine().fileAttributes["C:\\stage\\QRVMPW.SYS"] = FILE_ATTRIBUTE_READONLY;
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(GetFileAttributesA("C:\\stage\\QRVMPW.SYS"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(StagingCopyTest, FailedCopies) {
    write("D:\\win2000\\QRVMPW.SYS", stamped("1"));
    testing::internal::CaptureStdout();
    // The target directory does not exist: 103, and it is not created.
    EXPECT_EQ(outcome(copyFileGuarded("D:\\win2000\\", "C:\\nowhere\\", "QRVMPW.SYS", 0)), "CopyFileA");
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
TEST_F(StagingCopyTest, OverlongPathsFailWithoutTouchingAnything) {
    std::string longDir = "C:\\" + std::string(500, 'd') + "\\";
    std::string name(30, 'f');
    EXPECT_EQ(outcome(copyFileGuarded(longDir.c_str(), "C:\\stage\\", name.c_str(), 0)), "building the path");
    EXPECT_EQ(outcome(copyFileGuarded("D:\\win2000\\", longDir.c_str(), name.c_str(), 0)), "building the path");
    // 519 characters still fit (the platform then refuses such a path).
    std::string fits = std::string(519 - 11, 'x');
    EXPECT_EQ(outcome(copyFileGuarded("D:\\win2000\\", "C:\\stage\\", fits.c_str(), 0)), "FindFirstFileA");
    EXPECT_EQ(sim::callsOf("FindFirstFileA").size(), 1u);
    EXPECT_TRUE(sim::callsOf("SetFileAttributesA").empty());
    EXPECT_TRUE(sim::callsOf("CopyFileA").empty());
}

TEST_F(StagingCopyTest, TranslatedAnswerWords) {
    const char* table[MESSAGE_COUNT];
    for (int i = 0; i < MESSAGE_COUNT; ++i) table[i] = BuiltinMessages[i];
    table[MsgAnswerNo] = "n";
    table[MsgAnswerYes] = "o";
    table[MsgAnswerCancel] = "annuler";
    table[MsgCopyAnyway] = "Copier quand meme ? (o/n) :\n";
    messageTable = table;
    testing::internal::CaptureStdout();
    EXPECT_EQ([] { StdinFeed f("oui\n"); return askConfirmation("?", 0); }(), ANSWER_YES);
    EXPECT_EQ([] { StdinFeed f("Annuler\n"); return askConfirmation("?", 0); }(), ANSWER_CANCEL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "??");
    testing::internal::CaptureStdout();
    EXPECT_EQ([] { StdinFeed f("y\nyes\nnon\n"); return askConfirmation("Q:", 0); }(), ANSWER_NO);
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

// A prompt from a language file is text, never a format, and is cut to 255
// characters; an empty answer word matches nothing.
TEST_F(StagingCopyTest, HostilePromptAndEmptyWords) {
    const char* table[MESSAGE_COUNT];
    for (int i = 0; i < MESSAGE_COUNT; ++i) table[i] = BuiltinMessages[i];
    std::string longPrompt = "%s%n%x" + std::string(400, 'p');
    table[MsgCopyAnyway] = longPrompt.c_str();
    table[MsgAnswerCancel] = "";
    messageTable = table;
    olderSource();
    StdinFeed feed("whatever\nn\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy(), "done");
    std::string shown = longPrompt.substr(0, 255);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nD:\\win2000\\QRVMPW.SYS is older than C:\\stage\\QRVMPW.SYS.\n" + shown + shown);
    EXPECT_EQ(staged(), stamped("5.1"));
}

// Decision: standard input at its end answers no, and the file in place
// stays.
TEST_F(StagingCopyTest, EndOfInputAnswersNo) {
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
        EXPECT_EQ(askConfirmation(Prompt, 0), ANSWER_NO);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(Prompt) + Prompt);
    }
}

// Decision: a line longer than 1023 characters is consumed whole; its first
// 1023 characters are judged and its rest is never the next answer.
TEST_F(StagingCopyTest, OverlongAnswerLineIsConsumedWhole) {
    {
        StdinFeed feed("y" + std::string(3000, 'n') + "\nleft\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(askConfirmation(Prompt, 0), ANSWER_YES);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Prompt);
        EXPECT_EQ(feed.rest(), "left\n");
    }
    {
        // Its tail would have read as "n": it is dropped, and the next line
        // decides.
        StdinFeed feed(std::string(1023, ' ') + "n\ny\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(askConfirmation(Prompt, 0), ANSWER_YES);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(Prompt) + Prompt);
    }
    {
        StdinFeed feed(std::string(1022, ' ') + "n\ny\n");  // exactly 1023 characters
        testing::internal::CaptureStdout();
        EXPECT_EQ(askConfirmation(Prompt, 0), ANSWER_NO);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Prompt);
        EXPECT_EQ(feed.rest(), "y\n");
    }
}

TEST_F(StagingCopyTest, QuietConfirmationReadsNothing) {
    StdinFeed feed("n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(askConfirmation(Prompt, 1), ANSWER_YES);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(feed.rest(), "n\n");
}
