// Version stamps: the skip-table search for the start marker and the
// comparison of the stamps of two files.
#include "staging/version_stamp.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/win_files.h"

// Only this many bytes at the start of a file are examined.
#define STAMP_SCAN_BYTES 100000

static const char StampStart[] = "!@#$";
static const char StampEnd[] = "$#@!";

const char* findPattern(const char* pattern, const char* block, int length) {
    size_t patternLength = std::strlen(pattern);
    if (patternLength == 0) return block;
    if (length <= 0 || patternLength > static_cast<size_t>(length)) return nullptr;
    int m = static_cast<int>(patternLength);

    int32_t skip[256];
    for (int i = 0; i < 256; ++i) skip[i] = m;
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

// Reads the stamp of one file into `version` (256 bytes). 1: the file has a
// start marker in its first bytes (the text is empty when no end marker
// follows it); 0: no stamp, or the file cannot be opened or read.
static int readVersionText(const char* path, char* buffer, char* version) {
    version[0] = '\0';
    int got;
    {
        FileDescriptor file(_sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO));
        if (!file) return 0;
        got = _read(file.get(), buffer, STAMP_SCAN_BYTES);
    }
    if (got <= 0) return 0;

    const char* start = findPattern(StampStart, buffer, got);
    if (!start) return 0;
    const char* text = start + (sizeof StampStart - 1);
    const char* bytesEnd = buffer + got;
    // The end marker must begin before the first NUL after the start marker.
    const void* nul = std::memchr(text, '\0', static_cast<size_t>(bytesEnd - text));
    const char* limit = nul ? static_cast<const char*>(nul) : bytesEnd;
    const char* end = findPattern(StampEnd, text, static_cast<int>(limit - text));
    if (!end) return 1;

    // A text longer than the 255 characters of the buffer is cut: the stamp
    // still counts, and its leading characters decide.
    size_t textLength = static_cast<size_t>(end - text);
    if (textLength > 255) textLength = 255;
    std::memcpy(version, text, textLength);
    version[textLength] = '\0';
    return 1;
}

// The decimal digits of a version text, in order, without leading zeros.
static void collectDigits(const char* version, char* digits) {
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
static int compareDigits(const char* a, const char* b) {
    size_t la = std::strlen(a);
    size_t lb = std::strlen(b);
    if (la != lb) return la < lb ? -1 : 1;
    int c = std::strcmp(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compareFileVersions(const char* sourcePath, const char* targetPath) {
    LocalBlock block(LocalAlloc(LMEM_FIXED, STAMP_SCAN_BYTES));
    char* buffer = static_cast<char*>(block.get());
    if (!buffer) {
        printMessage(MsgCannotAllocate);
        return 1;
    }
    char sourceVersion[256];
    char targetVersion[256];
    sourceVersion[0] = '\0';
    targetVersion[0] = '\0';

    // The target first: without a stamp there the source is never opened.
    if (!readVersionText(targetPath, buffer, targetVersion) ||
        !readVersionText(sourcePath, buffer, sourceVersion))
        return 1;
    block.reset();

    // Numbers above 2147483647 are compared by their digits, so they stay
    // exact instead of overflowing a 32-bit integer.
    char sourceDigits[256];
    char targetDigits[256];
    collectDigits(sourceVersion, sourceDigits);
    collectDigits(targetVersion, targetDigits);
    return compareDigits(sourceDigits, targetDigits);
}
