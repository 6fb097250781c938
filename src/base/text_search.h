// Searching text that Windows hands back without a terminating zero.
#pragma once

#include <cstddef>
#include <cstring>

// Whether text (length bytes, not necessarily terminated) holds needle.
inline bool containsText(const char* text, size_t length, const char* needle) {
    size_t n = std::strlen(needle);
    for (size_t i = 0; i + n <= length; ++i)
        if (std::memcmp(text + i, needle, n) == 0) return true;
    return false;
}
