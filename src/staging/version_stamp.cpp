// Version stamps: the skip-table search for the start marker and the
// comparison of the stamps of two files.
#include "staging/version_stamp.h"

#include <cstdint>
#include <cstring>

#include "platform/owned.h"
#include "platform/win_files.h"

namespace {

// Only this many bytes at the start of a file are examined.
const int StampScanBytes = 100000;

// Room for a version text and its terminator; a longer text is cut.
const size_t VersionTextSize = 256;

// The byte values a skip table has an entry for.
const int ByteValues = 256;

const char StampStart[] = "!@#$";
const char StampEnd[] = "$#@!";

}  // namespace

const char* findPattern(const char* pattern, const char* block, int length) {
    size_t patternLength = std::strlen(pattern);
    if (patternLength == 0) return block;
    if (length <= 0 || patternLength > static_cast<size_t>(length)) return nullptr;
    int m = static_cast<int>(patternLength);

    int32_t skip[ByteValues];
    for (int i = 0; i < ByteValues; ++i) skip[i] = m;
    // A later occurrence overwrites an earlier one; the last byte sets none.
    for (int j = 0; j <= m - 2; ++j) skip[static_cast<unsigned char>(pattern[j])] = m - 1 - j;

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(block);
    const unsigned char* wanted = reinterpret_cast<const unsigned char*>(pattern);
    const unsigned char lastByte = wanted[m - 1];
    const size_t lastByteShift = static_cast<uint32_t>(skip[lastByte]);
    const size_t end = static_cast<size_t>(length);
    // The block position under the pattern's last byte; a size_t, so that a
    // shift past the end cannot overflow it.
    size_t pos = patternLength - 1;
    for (;;) {
        // A byte that occurs nowhere in the pattern moves it by its whole
        // length. In a loop of their own these steps do not wait for the
        // table's answer to know the next position, so the processor reads
        // ahead; the shift taken is the table's all the same.
        unsigned char under;
        int32_t shift;
        for (;;) {
            if (pos >= end) return nullptr;
            under = bytes[pos];
            shift = skip[under];
            if (shift != m || under == lastByte) break;
            pos += patternLength;
        }
        if (under != lastByte) {
            pos += static_cast<uint32_t>(shift);
            continue;
        }
        // The last byte matches: compare the rest backwards.
        int j = m - 2;
        const unsigned char* k = bytes + pos - 1;
        while (j >= 0 && *k == wanted[j]) {
            --j;
            --k;
        }
        if (j < 0) return block + (pos + 1 - patternLength);
        pos += lastByteShift;  // the table's entry for the byte under it
    }
}

namespace {

// Reads the stamp of one file into `version`. True when the file has a start
// marker in its first bytes (the text is empty when no end marker follows
// it); false when it has no stamp or cannot be opened or read.
bool readVersionText(const char* path, char* buffer, char (&version)[VersionTextSize]) {
    version[0] = '\0';
    int got;
    {
        FileDescriptor file(_sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO));
        if (!file) return false;
        got = _read(file.get(), buffer, StampScanBytes);
    }
    if (got <= 0) return false;

    const char* start = findPattern(StampStart, buffer, got);
    if (!start) return false;
    const char* text = start + (sizeof StampStart - 1);
    const char* bytesEnd = buffer + got;
    // The end marker must begin before the first NUL after the start marker.
    const void* nul = std::memchr(text, '\0', static_cast<size_t>(bytesEnd - text));
    const char* limit = nul ? static_cast<const char*>(nul) : bytesEnd;
    const char* end = findPattern(StampEnd, text, static_cast<int>(limit - text));
    if (!end) return true;

    // A text longer than the buffer is cut: the stamp still counts, and its
    // leading characters decide.
    size_t textLength = static_cast<size_t>(end - text);
    if (textLength > VersionTextSize - 1) textLength = VersionTextSize - 1;
    std::memcpy(version, text, textLength);
    version[textLength] = '\0';
    return true;
}

// The decimal digits of a version text, in order, without leading zeros.
void collectDigits(const char* version, char (&digits)[VersionTextSize]) {
    size_t n = 0;
    for (const char* p = version; *p; ++p) {
        if (*p < '0' || *p > '9') continue;
        if (n == 0 && *p == '0') continue;
        digits[n++] = *p;
    }
    digits[n] = '\0';
}

// Compares two digit strings without leading zeros by their exact values,
// however long they are.
VersionOrder compareDigits(const char* source, const char* target) {
    size_t ls = std::strlen(source);
    size_t lt = std::strlen(target);
    if (ls != lt) return ls < lt ? SourceOlder : SourceNotOlder;
    int c = std::strcmp(source, target);
    return c < 0 ? SourceOlder : (c > 0 ? SourceNotOlder : SameVersion);
}

}  // namespace

VersionOrder compareFileVersions(const Catalogue& messages, const char* sourcePath, const char* targetPath) {
    LocalBlock block(LocalAlloc(LMEM_FIXED, StampScanBytes));
    char* buffer = static_cast<char*>(block.get());
    if (!buffer) {
        messages.print(MsgCannotAllocate);
        return SourceNotOlder;
    }
    char sourceVersion[VersionTextSize] = "";
    char targetVersion[VersionTextSize] = "";

    // The target first: without a stamp there the source is never opened.
    if (!readVersionText(targetPath, buffer, targetVersion) || !readVersionText(sourcePath, buffer, sourceVersion))
        return SourceNotOlder;
    block.reset();

    // Numbers above 2147483647 are compared by their digits, so they stay
    // exact instead of overflowing a 32-bit integer.
    char sourceDigits[VersionTextSize];
    char targetDigits[VersionTextSize];
    collectDigits(sourceVersion, sourceDigits);
    collectDigits(targetVersion, targetDigits);
    return compareDigits(sourceDigits, targetDigits);
}
