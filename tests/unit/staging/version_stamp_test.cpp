// Version stamps: the pattern search and the comparison of two files.
#include "staging_fixture.h"

#include <algorithm>
#include <functional>
#include <string>

#include "staging/version_stamp.h"

using stagingtest::stamped;
using stagingtest::StagingTest;

TEST(StagingFindPattern, EdgeCases) {
    const char block[] = "abcabcd";
    EXPECT_EQ(findPattern("", block, 7), block);
    EXPECT_EQ(findPattern("", block, 0), block);
    EXPECT_EQ(findPattern("abcd", "abc", 3), nullptr);  // block shorter than the pattern
    EXPECT_EQ(findPattern("a", block, 0), nullptr);
    EXPECT_EQ(findPattern("a", block, -5), nullptr);
    EXPECT_EQ(findPattern("abcd", block, 7), block + 3);  // at the very end
    EXPECT_EQ(findPattern("abcd", block, 6), nullptr);    // the length bounds the search
    EXPECT_EQ(findPattern("xyz", block, 7), nullptr);
    const char runs[] = "aaaa";
    EXPECT_EQ(findPattern("aa", runs, 4), runs);
    EXPECT_EQ(findPattern("aaaa", runs, 4), runs);
    EXPECT_EQ(findPattern("aaaaa", runs, 4), nullptr);
}

TEST(StagingFindPattern, LeftmostOfOverlappingAndHighBytes) {
    const char overlapping[] = "xxabababyy";
    EXPECT_EQ(findPattern("abab", overlapping, 10), overlapping + 2);
    const char high[] = "\x01\x80\xff\xfe\x80\xff\x02";
    EXPECT_EQ(findPattern("\x80\xff\x02", high, 7), high + 4);
    EXPECT_EQ(findPattern("\xff\xfe", high, 7), high + 2);
    // Bytes are compared exactly: no case folding.
    const char mixed[] = "xxabcABC";
    EXPECT_EQ(findPattern("ABC", mixed, 8), mixed + 5);
    EXPECT_EQ(findPattern("abC", mixed, 8), nullptr);
}

// The answer of std::search with the standard library's Horspool searcher,
// in findPattern's terms: null when the pattern is not there.
static const char* standardSearch(const std::string& pattern, const char* block, int length) {
    const char* end = block + length;
    const char* at = std::search(block, end, std::boyer_moore_horspool_searcher(pattern.begin(), pattern.end()));
    return !pattern.empty() && at == end ? nullptr : at;
}

TEST(StagingFindPattern, AgreesWithStdSearchOnGeneratedBlocks) {
    // Repeated bytes exercise the rightmost-occurrence rule; bytes 0x80 to
    // 0xFF must not be taken as negative table indexes.
    const std::string patterns[] = {"!@#$", "$#@!", "aab", "abca", "aaaa", "ba", "$", "\x80\xff",
                                    "\xfe\x80\xfe", "!@#$\xb9\x01", "abcdefghijklmnopqrstuvwxyz!"};
    const char alphabet[] = "ab!@#$c\x80\xfe\xff\x01";
    unsigned state = 12345;
    auto next = [&state](unsigned n) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % n;
    };
    for (const std::string& p : patterns) {
        std::string nearMiss = p.substr(0, p.size() - 1) + static_cast<char>(p.back() ^ 1);
        for (int round = 0; round < 60; ++round) {
            std::string block;
            size_t size = next(400);
            for (size_t i = 0; i < size; ++i) block += alphabet[next(sizeof alphabet - 1)];
            // 0 left as drawn; 1 the pattern at the start; 2 at the end; 3
            // across the end (only its first bytes inside); 4 near misses
            // only; 5 absent (none of its bytes).
            switch (round % 6) {
                case 1: block = p + block; break;
                case 2: block += p; break;
                case 3: block += p.substr(0, p.size() > 1 ? 1 + next(static_cast<unsigned>(p.size() - 1)) : 1); break;
                case 4:
                    block.clear();
                    while (block.size() < size) block += nearMiss + p.substr(1);
                    break;
                case 5:
                    for (char& c : block)
                        if (p.find(c) != std::string::npos) c = 'Q';
                    break;
                default: break;
            }
            int whole = static_cast<int>(block.size());
            for (int length : {whole, whole - 1, whole / 2, 0}) {
                if (length < 0) continue;
                ASSERT_EQ(findPattern(p.c_str(), block.data(), length), standardSearch(p, block.data(), length))
                    << "pattern " << testing::PrintToString(p) << ", round " << round << ", length " << length;
            }
        }
    }
}

class StagingVersionStamp : public StagingTest {
protected:
    // -1, 0 or 1: the comparison's values.
    int compare(const std::string& source, const std::string& target) {
        write("C:\\src.bin", source);
        write("C:\\tgt.bin", target);
        return compareFileVersions(run.messages, "C:\\src.bin", "C:\\tgt.bin");
    }
};

TEST_F(StagingVersionStamp, VersionArithmetic) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare(stamped("1.02.3"), stamped("1.02.4")), -1);
    EXPECT_EQ(compare(stamped("2.0"), stamped("1.10")), -1);  // 20 against 110
    EXPECT_EQ(compare(stamped("10.0.1"), stamped("9.9")), 1);  // 1001 against 99
    EXPECT_EQ(compare(stamped("1.2"), stamped("1.2")), 0);
    EXPECT_EQ(compare(stamped("1.2"), stamped("1-2")), 0);
    EXPECT_EQ(compare(stamped("1.2.3"), stamped("12.3")), 0);
    EXPECT_EQ(compare(stamped("5.10 build 7"), stamped("5107")), 0);
    EXPECT_EQ(compare(stamped("0102"), stamped("102")), 0);
    EXPECT_EQ(compare(stamped("beta"), stamped("")), 0);  // no digits: 0
    EXPECT_EQ(compare(stamped("\xb9\xb2"), stamped("0")), 0);  // high bytes are never digits
    EXPECT_EQ(compare(stamped("1"), stamped("\xb9")), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, ReadsEachFileOnceTargetFirstRawAndShared) {
    EXPECT_EQ(compare(stamped("1"), stamped("2")), -1);
    auto opens = sim::callsOf("_sopen");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args, (std::vector<std::string>{sim::arg("C:\\tgt.bin"), "0x8000", "0x40"}));
    EXPECT_EQ(opens[1].args[0], sim::arg("C:\\src.bin"));
    auto reads = sim::callsOf("_read");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].args[1], "100000");
    EXPECT_EQ(sim::callsOf("_close").size(), 2u);
    ASSERT_EQ(sim::callsOf("LocalAlloc").size(), 1u);
    EXPECT_EQ(sim::callsOf("LocalAlloc")[0].args[1], "100000");
    EXPECT_EQ(sim::callsOf("LocalFree").size(), 1u);
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, MissingStartMarker) {
    // Target without a stamp: 1, and the source is never opened.
    EXPECT_EQ(compare(stamped("1.0"), "no stamp here $#@!"), 1);
    auto opens = sim::callsOf("_sopen");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].args[0], sim::arg("C:\\tgt.bin"));
    // Source without a stamp while the target has one.
    sim::clearCalls();
    EXPECT_EQ(compare("!@# not quite", stamped("9.0")), 1);
    EXPECT_EQ(sim::callsOf("_sopen").size(), 2u);
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, FailuresCountAsNotOlder) {
    write("C:\\tgt.bin", stamped("9"));
    write("C:\\src.bin", stamped("1"));
    write("C:\\empty.bin", "");
    sim::failCall("_read", 2, 5);  // the source cannot be read
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\tgt.bin"), SourceNotOlder);
    sim::clearFaults();
    sim::failCall("_sopen", 3, 5);  // the next target cannot be opened
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\tgt.bin"), SourceNotOlder);
    sim::clearFaults();
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\nothing.bin"), SourceNotOlder);
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\nothing.bin", "C:\\tgt.bin"), SourceNotOlder);
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\empty.bin"), SourceNotOlder);
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\empty.bin", "C:\\tgt.bin"), SourceNotOlder);
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\tgt.bin"), SourceOlder);
    EXPECT_EQ(sim::callsOf("_sopen").size(), sim::callsOf("_close").size() + 3);  // three opens failed
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, BufferUnavailablePrintsMessage51) {
    write("C:\\tgt.bin", stamped("9"));
    write("C:\\src.bin", stamped("1"));
    sim::failCall("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    testing::internal::CaptureStdout();
    EXPECT_EQ(compareFileVersions(run.messages, "C:\\src.bin", "C:\\tgt.bin"), SourceNotOlder);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot allocate memory.\n");
    EXPECT_TRUE(sim::callsOf("_sopen").empty());
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, EndMarkerRules) {
    // A NUL before the end marker: the text is empty, number 0.
    EXPECT_EQ(compare(std::string("!@#$2.0\0x$#@!", 13), stamped("1.0")), -1);
    EXPECT_EQ(compare(std::string("!@#$2.0\0x$#@!", 13), stamped("")), 0);
    // A NUL before the start marker does not matter.
    EXPECT_EQ(compare(std::string("\0\0!@#$2.0$#@!", 13), stamped("1.0")), 1);
    // Markers back to back, and no end marker at all.
    EXPECT_EQ(compare("!@#$$#@!", stamped("0.0")), 0);
    EXPECT_EQ(compare("!@#$3.0 and no end", stamped("1")), -1);
    // The end marker may not overlap the start marker.
    EXPECT_EQ(compare("!@#$#@!7$#@!", stamped("1")), 1);  // text "#@!7": 7 against 1
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, OnlyTheFirst100000BytesCount) {
    // End marker beyond the bytes examined: empty text.
    std::string far(99990, 'x');
    far += "!@#$5.0";
    far += std::string(20, 'y') + "$#@!";
    EXPECT_EQ(compare(far, stamped("1")), -1);
    // Start marker at offset 99,997: it is cut, so no stamp at all.
    std::string cut(99997, 'x');
    cut += stamped("9.9", "", "");
    EXPECT_EQ(compare(stamped("1"), cut), 1);
    EXPECT_TRUE(sim::callsOf("_sopen").size() >= 1u);
    EXPECT_EQ(compare(cut, stamped("1")), 1);
    // A stamp wholly inside: found at the last possible place.
    std::string edge(100000 - 11, 'x');
    edge += stamped("1.2", "", "");
    ASSERT_EQ(edge.size(), 100000u);
    EXPECT_EQ(compare(edge, stamped("13")), -1);
    expectNoLeaks();
}

TEST_F(StagingVersionStamp, OnlyTheFirstStampCounts) {
    EXPECT_EQ(compare(stamped("1.0") + stamped("9.0"), stamped("2.0")), -1);
    EXPECT_EQ(compare(stamped("3.0"), stamped("2.0") + stamped("9.9")), 1);
}

// Decision: a version text longer than 255 characters is cut to its first
// 255; the stamp still counts.
TEST_F(StagingVersionStamp, LongVersionTextIsCut) {
    std::string longText = std::string(254, '.') + "12" + std::string(100, '9');
    EXPECT_EQ(compare(stamped(longText), stamped("1")), 0);  // only the "1" of "12" is kept
    std::string longZeros = std::string(300, '0') + "5";
    EXPECT_EQ(compare(stamped(longZeros), stamped("1")), -1);  // cut before the 5: number 0, against 1
    expectNoLeaks();
}

// Decision: digit strings compare by their exact values, however long.
TEST_F(StagingVersionStamp, HugeNumbersCompareExactly) {
    EXPECT_EQ(compare(stamped("2147483647"), stamped("2147483648")), -1);
    EXPECT_EQ(compare(stamped("4294967296"), stamped("4294967295")), 1);
    EXPECT_EQ(compare(stamped("99999999999999999999"), stamped("0099999999999999999999")), 0);
    EXPECT_EQ(compare(stamped("1" + std::string(200, '0')), stamped(std::string(199, '9'))), 1);
}
