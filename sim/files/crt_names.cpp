// The C runtime's functions on names that the installer takes from its
// runtime library: a path split into its parts, and ASCII letters folded and
// compared without regard to case, as the classic C runtime does.
#include <cstring>

#include "platform/win_files.h"

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    // As the classic C runtime does: each part is cut to its _MAX_ size.
    const char* p = path;
    if (drive) drive[0] = '\0';
    if (p[0] && p[1] == ':') {
        if (drive) {
            drive[0] = p[0];
            drive[1] = ':';
            drive[2] = '\0';
        }
        p += 2;
    }
    const char* lastSlash = nullptr;
    const char* lastDot = nullptr;
    for (const char* q = p; *q; ++q) {
        if (*q == '\\' || *q == '/') lastSlash = q;
        else if (*q == '.') lastDot = q;
    }
    auto copy = [](char* out, const char* from, size_t n, size_t max) {
        if (!out) return;
        if (n > max - 1) n = max - 1;
        std::memcpy(out, from, n);
        out[n] = '\0';
    };
    const char* nameStart = p;
    if (lastSlash) {
        copy(dir, p, static_cast<size_t>(lastSlash + 1 - p), _MAX_DIR);
        nameStart = lastSlash + 1;
    } else if (dir) {
        dir[0] = '\0';
    }
    if (lastDot && lastDot >= nameStart) {
        copy(fname, nameStart, static_cast<size_t>(lastDot - nameStart), _MAX_FNAME);
        copy(ext, lastDot, std::strlen(lastDot), _MAX_EXT);
    } else {
        copy(fname, nameStart, std::strlen(nameStart), _MAX_FNAME);
        if (ext) ext[0] = '\0';
    }
}

char* _strupr(char* s) {
    for (char* p = s; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    return s;
}

char* _strlwr(char* s) {
    for (char* p = s; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return s;
}

static int foldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int _strnicmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int ca = foldAscii(static_cast<unsigned char>(a[i]));
        int cb = foldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (!ca) return 0;
    }
    return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<size_t>(-1)); }
