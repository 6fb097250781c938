// Growing texts, JSON texts and failures.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "snapshot.h"

namespace snapshot {

namespace {

const size_t FirstRoom = 4096;

// Room for n more bytes and a NUL.
bool reserve(Text& t, size_t n) {
    if (t.failed) return false;
    if (t.size + n + 1 <= t.room) return true;
    size_t room = t.room ? t.room : FirstRoom;
    while (room < t.size + n + 1) room *= 2;
    char* grown = static_cast<char*>(std::realloc(t.data, room));
    if (!grown) {
        t.failed = true;
        return false;
    }
    t.data = grown;
    t.room = room;
    return true;
}

}  // namespace

Text::~Text() { std::free(data); }

bool whole(const Text& t, Failure& failure) { return !t.failed || outOfMemory(failure); }

void append(Text& t, const char* bytes, size_t n) {
    if (!reserve(t, n)) return;
    std::memcpy(t.data + t.size, bytes, n);
    t.size += n;
    t.data[t.size] = '\0';
}

void appendText(Text& t, const char* s) { append(t, s, std::strlen(s)); }

void appendFormat(Text& t, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    if (n >= 0 && reserve(t, static_cast<size_t>(n))) {
        std::vsnprintf(t.data + t.size, static_cast<size_t>(n) + 1, format, again);
        t.size += static_cast<size_t>(n);
    }
    va_end(again);
    va_end(args);
}

void appendJsonString(Text& t, const char* bytes, size_t n) {
    append(t, "\"", 1);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            char escaped[2] = {'\\', static_cast<char>(c)};
            append(t, escaped, 2);
        } else if (c >= 0x20 && c < 0x7F) {
            append(t, bytes + i, 1);
        } else {
            appendFormat(t, "\\u%04x", c);
        }
    }
    append(t, "\"", 1);
}

void appendJsonText(Text& t, const char* s) { appendJsonString(t, s, std::strlen(s)); }

void appendHex(Text& t, const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    append(t, "\"", 1);
    for (size_t i = 0; i < n; ++i) {
        char pair[2] = {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
        append(t, pair, 2);
    }
    append(t, "\"", 1);
}

void nextEntry(Text& t, bool& first, const char* indent) {
    appendText(t, first ? "\n" : ",\n");
    appendText(t, indent);
    first = false;
}

void startKeyEntry(Text& registry, bool& firstKey, const char* shownPath) {
    nextEntry(registry, firstKey, "  ");
    appendText(registry, "{\"path\": ");
    appendJsonText(registry, shownPath);
}

void addEntry(Text& list, const char* s) { append(list, s, std::strlen(s) + 1); }

const char* entryAt(const Text& list, size_t& offset) {
    if (offset >= list.size) return nullptr;
    const char* entry = list.data + offset;
    offset += std::strlen(entry) + 1;
    return entry;
}

Buffer::~Buffer() { std::free(data); }

bool Buffer::grow(DWORD n, Failure& failure) {
    if (n <= size) return true;
    unsigned char* grown = static_cast<unsigned char*>(std::realloc(data, n));
    if (!grown) return outOfMemory(failure);
    data = grown;
    size = n;
    return true;
}

bool Queue::pop(char* out, size_t size) {
    const char* entry = entryAt(items, next);
    if (!entry) return false;
    std::snprintf(out, size, "%s", entry);
    return true;
}

bool plainText(const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x7F) return false;
    }
    return true;
}

bool plainMultiSz(const unsigned char* bytes, size_t n) {
    if (n < 2 || bytes[0] == '\0' || bytes[n - 1] != '\0' || bytes[n - 2] != '\0') return false;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (bytes[i] == '\0' && bytes[i + 1] == '\0' && i + 2 != n) return false;  // an empty text inside
        if (bytes[i] != '\0' && !plainText(reinterpret_cast<const char*>(bytes + i), 1)) return false;
    }
    return true;
}

bool fail(Failure& failure, DWORD error, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure.what, sizeof failure.what, format, args);
    va_end(args);
    failure.error = error;
    return false;
}

bool outOfMemory(Failure& failure) { return fail(failure, ERROR_NOT_ENOUGH_MEMORY, "out of memory"); }

}  // namespace snapshot
