// Files of the simulated machine that the installer changes: directory
// creation, copies, deletion and attributes. The read-only attribute lives
// in the machine (keyed by the canonical Windows path), not in the host's
// permissions, so that it holds when the tests run as root.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "sim/files/paths.h"
#include "sim/files/host_names.h"
#include "platform/win_files.h"
#include "sim/core/runtime.h"

using namespace sim;

namespace {

// Attributes that the machine keeps for a file; the rest are implied.
const DWORD KeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE;

std::string hostParent(const std::string& host) {
    size_t slash = host.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : host.substr(0, slash);
}

// The failure of a file function: the error becomes the last error.
BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
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
    const std::string& system = machine().systemDirectory;
    std::string windows = upper(system.substr(0, system.find_last_of('\\')));
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

namespace sim {

HostCopy copyHostFile(const std::string& from, const std::string& to) {
    ResolvedPath source;
    ResolvedPath target;
    source.host = from;
    target.host = to;
    HostFile in;
    HostFile out;
    return copyHostFile(source, in, target, out);
}

namespace {

// The process's file mode creation mask, read once (the simulator never
// changes it); -1 where it cannot be read.
int creationMask() {
    static const int mask = [] {
        int value = -1;
        if (FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[256];
            unsigned mask = 0;
            while (std::fgets(line, sizeof line, status))
                if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                    value = static_cast<int>(mask & 0777);
                    break;
                }
            std::fclose(status);
        }
        return value;
    }();
    return mask;
}

}  // namespace

HostCopy copyHostFile(const ResolvedPath& from, HostFile& source, const ResolvedPath& to, HostFile& target) {
    off_t size = static_cast<off_t>(from.size);
    mode_t mode = static_cast<mode_t>(from.mode) & 07777;
    if (!source) {
        source.reset(::open(from.host.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (!source || ::fstat(source.get(), &st) != 0) return HostCopy::SourceUnreadable;
        size = st.st_size;
        mode = st.st_mode & 07777;
    }
    // An open target is written over in place and cut to the new length
    // afterwards: the same bytes as emptying it first, without discarding
    // its blocks only to allocate them again. A new one is made with the
    // source's permissions where the creation mask leaves them whole.
    off_t before = -1;  // the target's length, where known
    bool permissionsSet = false;
    if (target) {
        before = static_cast<off_t>(to.size);
        permissionsSet = (static_cast<mode_t>(to.mode) & 07777) == mode;
    } else {
        int mask = creationMask();
        target.reset(::open(to.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (target) {
            before = 0;
            permissionsSet = mask >= 0 && (mode & (static_cast<mode_t>(mask) | 07000)) == 0;
        } else {
            target.reset(::open(to.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (!target) return HostCopy::TargetUnwritable;
            before = 0;
        }
    }
    bool ok = permissionsSet || ::fchmod(target.get(), mode) == 0;
    off_t offset = 0;
    while (ok && offset < size) {
        ssize_t n = ::sendfile(target.get(), source.get(), &offset, static_cast<size_t>(size - offset));
        if (n < 0) ok = false;
        if (n <= 0) break;  // 0: the source is shorter than it was
    }
    if (ok && (before < 0 || before > offset) && ::ftruncate(target.get(), offset) != 0) ok = false;
    if (::close(target.release()) != 0) ok = false;
    return ok ? HostCopy::Done : HostCopy::WriteFailed;
}

}  // namespace sim

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

    // As on Windows, the copy takes the source's attributes and is marked
    // for archiving.
    Machine& m = machine();
    DWORD attributes = static_cast<DWORD>(fileAttributes(from.windows, false)) &
                       (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
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
