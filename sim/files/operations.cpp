// Files of the simulated machine by their paths, as the installer changes
// them: folders made, attributes read and set, copies, deletions and moves
// (now, or at the next start through the session manager's list). The
// read-only attribute lives in the machine (keyed by the canonical Windows
// path), not in the host's permissions, so that it holds when the tests run
// as root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/pending_renames.h"
#include "sim/core/power.h"
#include "sim/core/win_codes.h"
#include "sim/files/host_copy.h"
#include "sim/files/host_names.h"
#include "sim/files/paths.h"

using namespace sim;

namespace {

// How CopyFileA opens the two files, and how DeleteFileA opens the file it
// deletes: an open that the file's other opens do not share fails.
const DWORD CopySourceShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
const DWORD CopyTargetShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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
    if (sharingRefuses(from.windows, GENERIC_READ, CopySourceShare)) return fail(ERROR_SHARING_VIOLATION);
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
        if (sharingRefuses(to.windows, GENERIC_WRITE, CopyTargetShare) || itself) return fail(ERROR_SHARING_VIOLATION);
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
    SetLastError(NO_ERROR);  // as on Windows, a copy that is done clears the last error
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    Call c("DeleteFileA", {arg(name)});
    if (c.injected()) return FALSE;
    ResolvedPath r;
    if (!resolveExisting(name, r)) return FALSE;
    if (r.directory || readOnly(r.windows) || !writableByAccount(r)) return fail(ERROR_ACCESS_DENIED);
    if (sharingRefuses(r.windows, DELETE, ShareAll)) return fail(ERROR_SHARING_VIOLATION);
    if (std::remove(r.host.c_str()) != 0) return fail(ERROR_ACCESS_DENIED);
    machine().fileAttributes.erase(r.windows);
    commit();
    return TRUE;
}

namespace {

// The attributes of what moved, and of everything below a folder that
// moved, under their new names.
void moveAttributes(const std::string& from, const std::string& to) {
    Machine& m = machine();
    std::map<std::string, uint32_t, CaseLess> moved;
    for (auto it = m.fileAttributes.begin(); it != m.fileAttributes.end();) {
        const std::string& path = it->first;
        bool below = path.size() > from.size() && path[from.size()] == '\\' &&
                     equalNoCase(path.substr(0, from.size()), from);
        if (equalNoCase(path, from) || below) {
            moved[to + path.substr(from.size())] = it->second;
            it = m.fileAttributes.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [path, attributes] : moved) m.fileAttributes[path] = attributes;
}

// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT: the pair goes to the end of
// the session manager's list (in HKLM, an administrator's to change), as
// full paths; nothing else is looked at until the next start.
BOOL moveAtNextStart(LPCSTR existing, LPCSTR newName, DWORD flags) {
    if (flags & MOVEFILE_COPY_ALLOWED) return fail(ERROR_INVALID_PARAMETER);
    if (!isAdministrator()) return fail(ERROR_ACCESS_DENIED);
    ResolvedPath from, to;
    if (!resolveOrFail(existing, from) || (newName && !resolveOrFail(newName, to))) return FALSE;
    addPendingFileRename(machine(), PendingRename{from.windows, newName ? to.windows : std::string(),
                                                  newName && (flags & MOVEFILE_REPLACE_EXISTING)});
    commit();
    return TRUE;
}

}  // namespace

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
    Call c("MoveFileExA", {arg(existing), arg(newName), argHex(flags)});
    if (c.injected()) return FALSE;
    if (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return moveAtNextStart(existing, newName, flags);
    if (!newName) return fail(ERROR_INVALID_PARAMETER);
    ResolvedPath from, to;
    if (!resolveExisting(existing, from) || !resolveOrFail(newName, to)) return FALSE;
    if (!to.exists && !to.parentDirectory) return fail(ERROR_PATH_NOT_FOUND);
    if (!writableByAccount(from) || !writableByAccount(to)) return fail(ERROR_ACCESS_DENIED);
    // A move takes the file away from its name: every other open of it must
    // share its deletion.
    if (!from.directory && sharingRefuses(from.windows, DELETE, ShareAll)) return fail(ERROR_SHARING_VIOLATION);
    bool itself = equalNoCase(from.windows, to.windows);
    if (to.exists && !itself) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return fail(ERROR_ALREADY_EXISTS);
        // A folder, a read-only file or one that something has open is not
        // replaced.
        if (to.directory || from.directory || readOnly(to.windows) || sharingRefuses(to.windows, DELETE, 0))
            return fail(ERROR_ACCESS_DENIED);
    }
    if (from.drive != to.drive) {
        if (!(flags & MOVEFILE_COPY_ALLOWED)) return fail(ERROR_NOT_SAME_DEVICE);
        if (from.directory) return fail(ERROR_ACCESS_DENIED);
        std::error_code ec;
        std::filesystem::copy_file(from.host, to.host, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec || std::remove(from.host.c_str()) != 0) return fail(ERROR_ACCESS_DENIED);
        noteFileData(to.host);
    } else if (std::rename(from.host.c_str(), to.host.c_str()) != 0) {
        return fail(ERROR_ACCESS_DENIED);
    } else {
        noteFileMoved(from.host, to.host);
    }
    moveAttributes(from.windows, to.windows);
    commit();
    return TRUE;
}
