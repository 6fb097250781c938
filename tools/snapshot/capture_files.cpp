// Files: the product family's files in the system directory and its drivers
// folder, the staging tree, and their copies in the output folder.
#include <cstdio>
#include <cstring>

#include "base/run_directories.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "snapshot.h"

namespace snapshot {

namespace {

// The family's file names start so ("QRVMPW.SYS", "qrvrvosv.exe").
const char* const FamilyPattern = "qrv*";
const char* const FilesFolder = "files";
const DWORD KeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
