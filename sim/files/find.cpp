// File search of the simulated machine, as Windows lists a directory: the
// entries "." and ".." first (below a root), then the names in the order of
// their capital letters, as NTFS keeps them; a pattern matches names without
// regard to case, with "*" and "?", and "*.*" matches every name.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/win_files.h"
#include "sim/core/runtime.h"
#include "sim/files/host_names.h"
#include "sim/files/paths.h"

using namespace sim;

namespace {

struct Entry {
    std::string name;
    DWORD attributes = 0;
    long long size = 0;
};

struct Search {
    std::vector<Entry> entries;
    size_t next = 0;
};

std::map<uintptr_t, Search>& searches() {
    static std::map<uintptr_t, Search> s;
    return s;
}

void clearSearches() { searches().clear(); }

bool wildMatch(const char* pat, const char* s) {
    if (!*pat) return !*s;
    if (*pat == '*') return wildMatch(pat + 1, s) || (*s && wildMatch(pat, s + 1));
    if (!*s) return false;
    if (*pat == '?' || std::toupper(static_cast<unsigned char>(*pat)) == std::toupper(static_cast<unsigned char>(*s)))
        return wildMatch(pat + 1, s + 1);
    return false;
}

bool nameMatches(const std::string& pattern, const std::string& name) {
    return pattern == "*.*" ? true : wildMatch(pattern.c_str(), name.c_str());
}

// The entries of a directory that match the pattern, in the order Windows
// returns them.
std::vector<Entry> listDirectory(const ResolvedPath& dir, const std::string& pattern) {
    std::vector<Entry> found;
    bool root = dir.windows.size() == 3;  // "C:\"
    if (!root)
        for (const char* dot : {".", ".."})
            if (nameMatches(pattern, dot)) found.push_back({dot, FILE_ATTRIBUTE_DIRECTORY, 0});
    std::vector<Entry> named;
    if (pattern.find_first_of("*?") == std::string::npos && pattern != "." && pattern != "..") {
        // A name without wildcards finds at most that one entry: the name as
        // written when it exists (no two names of the machine differ only in
        // case), else the one entry that equals it without regard to case.
        struct stat st;
        std::string name = ::stat((dir.host + "/" + pattern).c_str(), &st) == 0 ? pattern
                                                                                : entryNoCase(dir.host, pattern);
        bool exists = !name.empty() && (name == pattern || ::stat((dir.host + "/" + name).c_str(), &st) == 0);
        if (exists && name.size() < MAX_PATH) {
            std::string canonical = dir.windows + (root ? "" : "\\") + name;
            found.push_back({name, static_cast<DWORD>(fileAttributes(canonical, S_ISDIR(st.st_mode))),
                             S_ISDIR(st.st_mode) ? 0 : static_cast<long long>(st.st_size)});
        }
        return found;
    }
    if (DIR* d = ::opendir(dir.host.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == ".." || name.size() >= MAX_PATH || !nameMatches(pattern, name)) continue;
            struct stat st;
            if (::stat((dir.host + "/" + name).c_str(), &st) != 0) continue;
            std::string canonical = dir.windows + (root ? "" : "\\") + name;
            named.push_back({name, static_cast<DWORD>(fileAttributes(canonical, S_ISDIR(st.st_mode))),
                             S_ISDIR(st.st_mode) ? 0 : static_cast<long long>(st.st_size)});
        }
        ::closedir(d);
    }
    std::sort(named.begin(), named.end(), [](const Entry& a, const Entry& b) { return upper(a.name) < upper(b.name); });
    found.insert(found.end(), named.begin(), named.end());
    return found;
}

void fill(const Entry& e, LPWIN32_FIND_DATAA data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes;
    data->nFileSizeLow = static_cast<DWORD>(e.size & 0xFFFFFFFF);
    data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", e.name.c_str());
}

// A search handle whose first entry is filled in.
HANDLE startSearch(const std::string& path, Search search, LPWIN32_FIND_DATAA data) {
    if (data) fill(search.entries[0], data);
    search.next = 1;
    uintptr_t h = newHandle(HandleKind::Find, path);
    searches()[h] = std::move(search);
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
    Call c("FindFirstFileA", {arg(name)});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    static bool registered = (onTestReset(clearSearches), true);
    (void)registered;
    std::string path = name ? name : "";
    size_t slash = path.find_last_of("\\/");
    bool driveOnly = slash == std::string::npos && path.size() > 1 && path[1] == ':';
    std::string dir = slash != std::string::npos ? path.substr(0, slash + 1) : (driveOnly ? path.substr(0, 2) : "");
    std::string pattern = slash != std::string::npos ? path.substr(slash + 1) : (driveOnly ? path.substr(2) : path);
    ResolvedPath rd;
    unsigned long error = 0;
    if (!pattern.empty() && pattern.find_first_of("*?") == std::string::npos && pattern != "." && pattern != ".." &&
        path.size() < MAX_PATH && resolve(path, rd, error)) {
        // A name without wildcards finds at most that one entry, which one
        // look at the whole path finds.
        if (!rd.parentDirectory) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (!rd.exists) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        Search search;
        search.entries.push_back({rd.host.substr(rd.host.find_last_of('/') + 1),
                                  static_cast<DWORD>(fileAttributes(rd.windows, rd.directory)), rd.size});
        return startSearch(path, std::move(search), data);
    }
    if (pattern.empty() || !resolve(dir.empty() ? "." : dir, rd, error))
        return fail(pattern.empty() ? ERROR_FILE_NOT_FOUND : static_cast<DWORD>(error), INVALID_HANDLE_VALUE);
    if (!rd.exists || !rd.directory) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    Search search;
    search.entries = listDirectory(rd, pattern);
    if (search.entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    return startSearch(path, std::move(search), data);
}

BOOL WINAPI FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    Call c("FindNextFileA", {arg(h)});
    if (c.injected()) return FALSE;
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    auto it = searches().find(v);
    if (!findHandle(v, HandleKind::Find) || it == searches().end()) return fail(ERROR_INVALID_HANDLE);
    Search& s = it->second;
    if (s.next >= s.entries.size()) return fail(ERROR_NO_MORE_FILES);
    if (data) fill(s.entries[s.next], data);
    ++s.next;
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE h) {
    Call c("FindClose", {arg(h)}, false);
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (!findHandle(v, HandleKind::Find)) return fail(ERROR_INVALID_HANDLE);
    searches().erase(v);
    closeHandle(v);
    return TRUE;
}
