// The size of every buffer that holds a path or a command line built from
// one: room for a directory of up to MAX_PATH characters and a name or tail
// of as many below it. What does not fit is refused, never cut.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr std::size_t PathBufferSize = 520;

// Whether a text that snprintf reported as `written` characters long stands
// whole in a buffer of `size` bytes: a cut path would name another file.
constexpr bool fitsBuffer(int written, std::size_t size) {
    return written >= 0 && static_cast<std::size_t>(written) < size;
}

// first followed by second; false when the whole does not fit, and the
// buffer must then not be used.
inline bool joinPath(char* out, std::size_t size, const char* first, const char* second) {
    return fitsBuffer(std::snprintf(out, size, "%s%s", first, second), size);
}
template <std::size_t N>
bool joinPath(char (&out)[N], const char* first, const char* second) {
    return joinPath(out, N, first, second);
}
