// Files of the simulated machine by their paths, as the installer changes
// them: folders made, attributes read and set, copies and deletions. The
// read-only attribute lives in the machine (keyed by the canonical Windows
// path), not in the host's permissions, so that it holds when the tests run
// as root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/win_files.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/power.h"
#include "sim/files/host_copy.h"
#include "sim/files/host_names.h"
#include "sim/files/paths.h"

using namespace sim;

namespace {

// Attributes that the machine keeps for a file; the rest are implied.
const DWORD KeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE;

std::string hostParent(const std::string& host) {
    size_t slash = host.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : host.substr(0, slash);
}

// Resolves a path for an operation on a file or directory that may not be
// there yet; otherwise the last error says why (no name: an invalid
// parameter). With `file`, a name that exists as written is opened with
// `openFlags` in the same look.
bool resolveOrFail(const char* name, ResolvedPath& r, HostFile* file = nullptr, int openFlags = 0) {
    unsigned long e = 0;
    bool resolved = name && (file ? resolve(name, r, e, openFlags, *file) : resolve(name, r, e));
    if (!resolved) return fail(name ? static_cast<DWORD>(e) : ERROR_INVALID_PARAMETER);
    return true;
}

// Resolves a path for an operation on an existing file or directory;
// otherwise the last error says why (a missing parent directory gives
// ERROR_PATH_NOT_FOUND, as on Windows).
bool resolveExisting(const char* name, ResolvedPath& r, HostFile* file = nullptr, int openFlags = 0) {
    if (!resolveOrFail(name, r, file, openFlags)) return false;
    if (!r.exists) return fail(r.parentDirectory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return true;
}

// Whether the account may change what is at a path. On a default Windows
// 2000 the Windows directory and everything below it (the system directory
// and its drivers folder among them) can be read by the Users but changed
// only by the Administrators and the system; its Temp folder is open to all.
bool writableByAccount(const ResolvedPath& r) {
    if (isAdministrator()) return true;
    std::string windows = upper(windowsDirectory(machine()));
    std::string path = upper(r.windows);
    auto within = [&](const std::string& folder) {
        return path == folder || path.compare(0, folder.size() + 1, folder + "\\") == 0;
    };
    return !within(windows) || within(windows + "\\TEMP");
}

bool readOnly(const std::string& canonical) {
    return (fileAttributes(canonical, false) & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa) {
    Call c("CreateDirectoryA", {arg(name), arg(static_cast<const void*>(sa))});
    if (c.injected()) return FALSE;
    ResolvedPath r;
    if (!resolveOrFail(name, r)) return FALSE;
    if (r.exists) return fail(ERROR_ALREADY_EXISTS);
    if (!r.parentDirectory) return fail(ERROR_PATH_NOT_FOUND);  // one level at a time
    if (!writableByAccount(r)) return fail(ERROR_ACCESS_DENIED);
    if (::mkdir(r.host.c_str(), 0755) != 0) return fail(ERROR_ACCESS_DENIED);
    noteDirectoryMade(r.host);
    commit();
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    Call c("GetFileAttributesA", {arg(name)});
    if (c.injected()) return INVALID_FILE_ATTRIBUTES;
    ResolvedPath r;
    if (!resolveExisting(name, r)) return INVALID_FILE_ATTRIBUTES;
    return static_cast<DWORD>(fileAttributes(r.windows, r.directory));
}

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes) {
    Call c("SetFileAttributesA", {arg(name), argHex(attributes)});
    if (c.injected()) return FALSE;
    ResolvedPath r;
    if (!resolveExisting(name, r)) return FALSE;
    if (!writableByAccount(r)) return fail(ERROR_ACCESS_DENIED);
    DWORD kept = attributes & KeptAttributes;
    // FILE_ATTRIBUTE_NORMAL stands alone: a file with no attribute at all.
    machine().fileAttributes[r.windows] = kept ? kept : FILE_ATTRIBUTE_NORMAL;
    commit();
    return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists) {
    Call c("CopyFileA", {arg(existing), arg(newName), arg(failIfExists)});
    if (c.injected()) return FALSE;
    // Both files are opened as they are looked at (the target for writing,
    // but emptied only once the copy may go ahead), so that the copy does
    // not look for them by their paths again.
    ResolvedPath from;
    HostFile source;
    if (!resolveExisting(existing, from, &source, O_RDONLY | O_CLOEXEC)) return FALSE;
    if (from.directory) return fail(ERROR_ACCESS_DENIED);
    ResolvedPath to;
    HostFile target;
    if (!resolveOrFail(newName, to, &target, O_WRONLY | O_CLOEXEC)) return FALSE;
    if (!to.exists && !to.parentDirectory) return fail(ERROR_PATH_NOT_FOUND);
    if (!to.exists && !writableByAccount(to)) return fail(ERROR_ACCESS_DENIED);
    if (to.exists) {
        if (failIfExists) return fail(ERROR_FILE_EXISTS);
        if (to.directory || readOnly(to.windows) || !writableByAccount(to)) return fail(ERROR_ACCESS_DENIED);
        // Replacing a hidden or system file needs the same attribute on the
        // new one (CREATE_ALWAYS semantics).
        const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        DWORD targetFlags = static_cast<DWORD>(fileAttributes(to.windows, false)) & hiddenSystem;
        DWORD sourceFlags = static_cast<DWORD>(fileAttributes(from.windows, false)) & hiddenSystem;
        if ((targetFlags & ~sourceFlags) != 0) return fail(ERROR_ACCESS_DENIED);
        // A file copied onto itself (by the same name or another link to
        // it), or one that a running program holds.
        bool itself = equalNoCase(to.windows, from.windows) || (to.device == from.device && to.inode == from.inode);
        if (fileInUse(to.windows) || itself) return fail(ERROR_SHARING_VIOLATION);
    }

    // As on Windows, the copy takes the source's attributes and is marked
    // for archiving.
    Machine& m = machine();
    DWORD attributes = static_cast<DWORD>(fileAttributes(from.windows, false)) &
                       (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    // The power goes while the copy runs: the target is made with the
    // source's length and attributes, and holds what of the data reached
    // the disk.
    if (c.cutting()) {
        copyCutShort(from, source, to, target);
        if (attributes)
            m.fileAttributes[to.windows] = attributes | FILE_ATTRIBUTE_ARCHIVE;
        else
            m.fileAttributes.erase(to.windows);
        commit();
        c.cut();
    }

    // The copy is written over the target, as Windows writes it; a failure
    // part way removes what was written. A target that the host will not
    // open for writing (a program it runs) is written beside and renamed
    // over instead.
    HostCopy copied = copyHostFile(from, source, to, target);
    if (copied == HostCopy::TargetUnwritable) {
        std::string temporary = hostParent(to.host) + "/.copy-" + std::to_string(::getpid()) + ".tmp";
        ResolvedPath beside;
        beside.host = temporary;
        HostFile besideFile;
        copied = copyHostFile(from, source, beside, besideFile);
        if (copied == HostCopy::Done && std::rename(temporary.c_str(), to.host.c_str()) != 0)
            copied = HostCopy::TargetUnwritable;
        if (copied != HostCopy::Done) std::remove(temporary.c_str());
    } else if (copied == HostCopy::WriteFailed) {
        std::remove(to.host.c_str());
    }
    if (copied != HostCopy::Done) return fail(ERROR_ACCESS_DENIED);  // unreadable source, disk full or no write access
    noteFileData(to.host);

    if (attributes)
        m.fileAttributes[to.windows] = attributes | FILE_ATTRIBUTE_ARCHIVE;
    else
        m.fileAttributes.erase(to.windows);
    commit();
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    Call c("DeleteFileA", {arg(name)});
    if (c.injected()) return FALSE;
    ResolvedPath r;
    if (!resolveExisting(name, r)) return FALSE;
    if (r.directory || readOnly(r.windows) || !writableByAccount(r)) return fail(ERROR_ACCESS_DENIED);
    if (fileInUse(r.windows)) return fail(ERROR_SHARING_VIOLATION);
    if (std::remove(r.host.c_str()) != 0) return fail(ERROR_ACCESS_DENIED);
    machine().fileAttributes.erase(r.windows);
    commit();
    return TRUE;
}
