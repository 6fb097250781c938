// Files: the product family's files in the system directory and its drivers
// folder, the staging tree, whether each is in use, the replacements that
// wait for the next start, and the copies in the output folder.
#include <cstdio>
#include <cstring>

#include "base/run_directories.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "snapshot.h"

namespace snapshot {

namespace {

// The family's file names start so ("QRVMPW.SYS", "qrvrvosv.exe").
const char* const FamilyPattern = "qrv*";
const char* const FilesFolder = "files";
const DWORD KeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// Where the session manager finds the file operations of the next start.
const char* const SessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const PendingRenamesValue = "PendingFileRenameOperations";
const char* const NtPrefix = "\\??\\";

const char* stripNtPrefix(const char* path) {
    size_t n = std::strlen(NtPrefix);
    return std::strncmp(path, NtPrefix, n) == 0 ? path + n : path;
}

bool joinPath(char* out, size_t size, const char* folder, const char* name, Failure& failure) {
    if (std::snprintf(out, size, "%s\\%s", folder, name) < static_cast<int>(size)) return true;
    return fail(failure, ERROR_FILENAME_EXCED_RANGE, "the path %s\\%s is too long", folder, name);
}

// Where a file's copy goes below the output folder: "files/C/WINNT/...",
// with the separator given.
void copyPathOf(const char* windowsPath, char separator, char* out, size_t size) {
    std::snprintf(out, size, "%s%c%c%s", FilesFolder, separator, windowsPath[0], windowsPath + 2);
    for (char* p = out; *p; ++p)
        if (*p == '\\') *p = separator;
}

// Whether a program or driver that runs holds the file so that it cannot be
// written: an open for writing that shares everything, with nothing
// written and closed at once, is refused for a sharing violation. The
// read-only attribute refuses it as access denied, which is not a use.
bool inUse(const char* path) {
    FileHandle probe(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe && GetLastError() == ERROR_SHARING_VIOLATION;
}

void addFile(const char* path, DWORD attributes, Capture& capture) {
    char copy[PathSize + 8];
    copyPathOf(path, '/', copy, sizeof copy);
    nextEntry(capture.files, capture.firstFile, "  ");
    appendJsonText(capture.files, path);
    appendText(capture.files, ": ");
    appendJsonText(capture.files, copy);
    addEntry(capture.copies, path);
    ++capture.fileCount;
    if (attributes & KeptAttributes) {
        nextEntry(capture.attributes, capture.firstAttributes, "  ");
        appendJsonText(capture.attributes, path);
        appendFormat(capture.attributes, ": %lu",
                     static_cast<unsigned long>(attributes & (KeptAttributes | FILE_ATTRIBUTE_ARCHIVE)));
    }
    if (inUse(path)) {
        nextEntry(capture.inUse, capture.firstInUse, "  ");
        appendJsonText(capture.inUse, path);
        appendFormat(capture.notes, "%s is in use; the description says so\n", path);
    }
}

// Whether a file is among the copies already.
bool listed(const Capture& capture, const char* path) {
    size_t next = 0;
    while (const char* copied = entryAt(capture.copies, next))
        if (!_stricmp(copied, path)) return true;
    return false;
}

// Calls `take` for each entry of a folder that matches a pattern (the dot
// entries left out); nothing when the folder or a match is missing.
template <typename Take>
bool forEachEntry(const char* folder, const char* pattern, Failure& failure, Take take) {
    char search[PathSize];
    if (!joinPath(search, sizeof search, folder, pattern, failure)) return false;
    WIN32_FIND_DATAA data;
    FindHandle found(FindFirstFileA(search, &data));
    if (!found) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        return fail(failure, error, "cannot list %s", folder);
    }
    do {
        if (std::strcmp(data.cFileName, ".") && std::strcmp(data.cFileName, "..") && !take(data)) return false;
    } while (FindNextFileA(found.get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) return fail(failure, GetLastError(), "cannot list %s", folder);
    return true;
}

bool makeFolder(const char* path, Failure& failure) {
    if (CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    return fail(failure, GetLastError(), "cannot make the folder %s", path);
}

// Makes a folder and the folders above it that are missing.
bool makeFolders(const char* path, Failure& failure) {
    char above[PathSize];
    for (const char* cut = std::strchr(path, '\\'); cut; cut = std::strchr(cut + 1, '\\')) {
        size_t n = static_cast<size_t>(cut - path);
        if (n == 0 || n >= sizeof above || path[n - 1] == ':') continue;  // a drive's root
        std::memcpy(above, path, n);
        above[n] = '\0';
        if (!makeFolder(above, failure)) return false;
    }
    return makeFolder(path, failure);
}

}  // namespace

bool listFiles(Capture& capture, Failure& failure) {
    char drivers[PathSize], staging[PathSize];
    if (!joinPath(drivers, sizeof drivers, capture.systemDirectory, "drivers", failure) ||
        !joinPath(staging, sizeof staging, capture.systemDirectory, StagingTreeBelowSystem + 1, failure))
        return false;
    const char* const familyFolders[] = {capture.systemDirectory, drivers};
    for (const char* folder : familyFolders) {
        bool listed = forEachEntry(folder, FamilyPattern, failure, [&](const WIN32_FIND_DATAA& f) {
            char path[PathSize];
            if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
            if (!joinPath(path, sizeof path, folder, f.cFileName, failure)) return false;
            addFile(path, f.dwFileAttributes, capture);
            return true;
        });
        if (!listed) return false;
    }
    // The staging tree, folder by folder: its empty folders count too.
    if (GetFileAttributesA(staging) == INVALID_FILE_ATTRIBUTES) return true;
    Queue pending;
    pending.push(staging);
    char folder[PathSize];
    while (pending.pop(folder, sizeof folder)) {
        nextEntry(capture.directories, capture.firstDirectory, "  ");
        appendJsonText(capture.directories, folder);
        ++capture.directoryCount;
        bool listed = forEachEntry(folder, "*", failure, [&](const WIN32_FIND_DATAA& f) {
            char path[PathSize];
            if (!joinPath(path, sizeof path, folder, f.cFileName, failure)) return false;
            if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push(path);
            else
                addFile(path, f.dwFileAttributes, capture);
            return true;
        });
        if (!listed) return false;
    }
    if (!whole(pending.items, failure)) return false;
    return true;
}

bool capturePendingReplacements(Capture& capture, Failure& failure) {
    RegistryKey key;
    LONG rc = openRegistryKey(HKEY_LOCAL_MACHINE, SessionManagerKey, KEY_QUERY_VALUE, key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return fail(failure, static_cast<DWORD>(rc), "cannot open HKLM\\%s", SessionManagerKey);
    Buffer data;
    DWORD type = 0, size = 0;
    for (;;) {
        // Two bytes of room more than the value: a list cut short still
        // ends with its terminators.
        if (!data.grow(size + 2, failure)) return false;
        size = data.size - 2;
        rc = RegQueryValueExA(key.get(), PendingRenamesValue, nullptr, &type, data.data, &size);
        if (rc == ERROR_FILE_NOT_FOUND) return true;
        if (rc == ERROR_SUCCESS) break;
        if (rc != ERROR_MORE_DATA)
            return fail(failure, static_cast<DWORD>(rc), "cannot read HKLM\\%s\\%s", SessionManagerKey,
                        PendingRenamesValue);
    }
    char shown[KeyPathSize];
    std::snprintf(shown, sizeof shown, "HKLM\\%s", SessionManagerKey);
    nextEntry(capture.registry, capture.firstKey, "  ");
    appendText(capture.registry, "{\"path\": ");
    appendJsonText(capture.registry, shown);
    appendText(capture.registry, ", \"values\": {");
    appendJsonText(capture.registry, PendingRenamesValue);
    appendText(capture.registry, ": ");
    appendValue(capture.registry, type, data.data, size);
    appendText(capture.registry, "}}");
    if (type != REG_MULTI_SZ) return true;

    // Pairs of texts: a source, then its target ("!" before a target that
    // is replaced, empty for a deletion), each "\??\C:\...".
    char staging[PathSize];
    if (!joinPath(staging, sizeof staging, capture.systemDirectory, StagingTreeBelowSystem + 1, failure)) return false;
    data.data[size] = data.data[size + 1] = 0;
    const char* text = reinterpret_cast<const char*>(data.data);
    for (DWORD at = 0; at < size && text[at];) {
        const char* source = stripNtPrefix(text + at);
        at += static_cast<DWORD>(std::strlen(text + at)) + 1;
        const char* target = at < size ? text + at : "";
        at += static_cast<DWORD>(std::strlen(target)) + 1;
        if (*target == '!') ++target;
        target = stripNtPrefix(target);
        if (!*target) continue;
        const char* name = std::strrchr(target, '\\');
        bool family = (name && !_strnicmp(name + 1, FamilyPattern, std::strlen(FamilyPattern) - 1)) ||
                      !_strnicmp(target, staging, std::strlen(staging));
        DWORD attributes = GetFileAttributesA(source);
        if (!family || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (listed(capture, source)) continue;  // a family file itself, or named twice
        appendFormat(capture.notes, "%s replaces %s at the next start; both are copied\n", source, target);
        addFile(source, attributes, capture);
    }
    return true;
}

bool prepareOutput(const char* folder, Failure& failure) {
    bool empty = true;
    auto anything = [&](const WIN32_FIND_DATAA&) {
        empty = false;
        return true;
    };
    if (!forEachEntry(folder, "*", failure, anything)) return false;
    if (!empty)
        return fail(failure, ERROR_ALREADY_EXISTS, "the folder %s is not empty: choose a new or empty folder", folder);
    return makeFolders(folder, failure);
}

bool copyFiles(const char* folder, const Capture& capture, Failure& failure) {
    size_t next = 0;
    while (const char* path = entryAt(capture.copies, next)) {
        char copy[PathSize + 8], target[PathSize];
        copyPathOf(path, '\\', copy, sizeof copy);
        if (!joinPath(target, sizeof target, folder, copy, failure)) return false;
        *std::strrchr(target, '\\') = '\0';
        if (!makeFolders(target, failure)) return false;
        target[std::strlen(target)] = '\\';
        if (!CopyFileA(path, target, TRUE)) return fail(failure, GetLastError(), "cannot copy %s to %s", path, target);
    }
    return true;
}

}  // namespace snapshot
