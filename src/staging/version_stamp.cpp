// Version stamps: the skip-table search for the start marker and the
// comparison of the stamps of two files.
#include "staging/version_stamp.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "messages/messages.h"
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

    int pos = m - 1;
    while (pos < length) {
        int j = m - 1;
        int k = pos;
        while (j >= 0 && block[k] == pattern[j]) {
            --j;
            --k;
        }
        if (j < 0) return block + pos - m + 1;
        int shift = skip[static_cast<unsigned char>(block[pos])];
        if (shift >= length - pos) break;  // past the end, without overflowing pos
        pos += shift;
    }
    return nullptr;
}

// Reads the stamp of one file into `version` (256 bytes). 1: the file has a
// start marker in its first bytes (the text is empty when no end marker
// follows it); 0: no stamp, or the file cannot be opened or read.
static int readVersionText(const char* path, char* buffer, char* version) {
    version[0] = '\0';
    int fd = _sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO);
    if (fd < 0) return 0;
    int got = _read(fd, buffer, STAMP_SCAN_BYTES);
    _close(fd);
    if (got <= 0) return 0;

    const char* start = findPattern(StampStart, buffer, got);
    if (!start) return 0;
    const char* text = start + (sizeof StampStart - 1);
    const char* bytesEnd = buffer + got;
    // The end marker must begin before the first NUL after the start marker.
    const char* limit = text;
    while (limit < bytesEnd && *limit != '\0') ++limit;
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
    char* buffer = static_cast<char*>(LocalAlloc(LMEM_FIXED, STAMP_SCAN_BYTES));
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
        !readVersionText(sourcePath, buffer, sourceVersion)) {
        LocalFree(buffer);
        return 1;
    }
    LocalFree(buffer);

    // Numbers above 2147483647 are compared by their digits, so they stay
    // exact instead of overflowing a 32-bit integer.
    char sourceDigits[256];
    char targetDigits[256];
    collectDigits(sourceVersion, sourceDigits);
    collectDigits(targetVersion, targetDigits);
    return compareDigits(sourceDigits, targetDigits);
}
