// What every command prints when it fails, and the texts the commands share.
#include "prefixtool.h"

#include <cstdio>

int fail(const char* where) {
    std::printf("error %s %lu\n", where, static_cast<unsigned long>(GetLastError()));
    return 1;
}

int registryResult(LONG rc, const char* where, bool missingIsAnswer) {
    if (rc == ERROR_SUCCESS) return 0;
    if (missingIsAnswer && rc == ERROR_FILE_NOT_FOUND) {
        std::printf("missing\n");
        return 0;
    }
    SetLastError(static_cast<DWORD>(rc));
    return fail(where);
}

std::string multiSz(const Args& items) {
    std::string data;
    for (const std::string& item : items) {
        data += item;
        data += '\0';
    }
    data += '\0';
    return data;
}

std::string joinMultiSz(const std::string& data) {
    std::string out;
    size_t pos = 0;
    while (pos < data.size() && data[pos] != '\0') {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) end = data.size();
        if (!out.empty()) out += ';';
        out += data.substr(pos, end - pos);
        pos = end + 1;
    }
    return out;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool containsAny(const std::string& text, const Args& words) {
    std::string lower = lowerCase(text);
    for (const std::string& w : words)
        if (lower.find(lowerCase(w)) != std::string::npos) return true;
    return false;
}
