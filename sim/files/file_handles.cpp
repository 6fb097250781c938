// Files of the simulated machine opened, made and written through handles,
// as CreateFileA and WriteFile do on Windows; CreateFileA opens the HID
// devices by their interface paths too.
#include "sim/files/file_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/win_files.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/device_names.h"
#include "sim/core/handles.h"
#include "sim/core/power.h"
#include "sim/core/win_codes.h"
#include "sim/files/paths.h"

using namespace sim;

namespace {

// The access that writes a file's data.
const unsigned long WriteDataAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

bool isHostDirectory(const std::string& host) {
    struct stat st;
    size_t slash = host.find_last_of('/');
    std::string parent = slash == std::string::npos ? std::string(".") : host.substr(0, slash);
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A handle of a file, with the share mode it was opened with.
HANDLE fileHandle(const ResolvedPath& r, unsigned long access, unsigned long share, intptr_t kind) {
    uintptr_t h = newHandle(HandleKind::File, r.windows, static_cast<uint32_t>(access), kind);
    findHandle(h, HandleKind::File)->share = static_cast<uint32_t>(share);
    return reinterpret_cast<HANDLE>(h);
}

// CreateFileA with CREATE_NEW or CREATE_ALWAYS: a file made (or emptied) for
// writing with WriteFile.
HANDLE createFile(const ResolvedPath& r, unsigned long access, unsigned long share, unsigned long disposition) {
    if (!r.exists && !isHostDirectory(r.host)) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (!r.exists && !writableByAccount(r)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (r.exists) {
        if (disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        const unsigned long kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (r.directory || (fileAttributes(r.windows, false) & kept) || !writableByAccount(r))
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (sharingRefuses(r.windows, access | GENERIC_WRITE, share))
            return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    int fd = ::open(r.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    ::close(fd);
    machine().fileAttributes.erase(r.windows);
    commit();
    // CREATE_ALWAYS over an existing file succeeds and says so.
    SetLastError(r.exists ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return fileHandle(r, access, share, OpenedToWrite);
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ) {
    Call c("CreateFileA", {arg(name), argHex(access), argHex(share), arg(static_cast<const void*>(sa)),
                           arg(disposition), argHex(flags), arg(templ)});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    std::string path = name ? name : "";
    if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0) {
        for (const auto& d : machine().devices)
            if (d.present && d.hid.present && equalNoCase(hidInterfacePath(d), path))
                return reinterpret_cast<HANDLE>(newHandle(HandleKind::File, d.instanceId, access, HidDevice));
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    ResolvedPath r;
    unsigned long error = 0;
    if (!resolve(path, r, error)) return fail(static_cast<DWORD>(error), INVALID_HANDLE_VALUE);
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS) return createFile(r, access, share, disposition);
    if (disposition != OPEN_EXISTING) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (!r.exists || r.directory) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    // An open for writing is judged by the file's attributes and rights
    // first; every open then by the other opens of the file and their share
    // modes (a file in use is held without sharing its writing).
    if ((access & WriteDataAccess) && (readOnly(r.windows) || !writableByAccount(r)))
        return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (sharingRefuses(r.windows, access, share)) return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    return fileHandle(r, access, share, OpenedToRead);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPVOID overlapped) {
    Call c("WriteFile", {arg(h), arg(count), arg(overlapped)});
    if (c.injected()) return FALSE;
    HandleRec* rec = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    if (!rec) return fail(ERROR_INVALID_HANDLE);
    // The simulated files are written in order only: no overlapped writes.
    if (!written || overlapped || (!buffer && count)) return fail(ERROR_INVALID_PARAMETER);
    *written = 0;
    if (rec->value != OpenedToWrite || !(rec->access & (GENERIC_WRITE | FILE_WRITE_DATA)))
        return fail(ERROR_ACCESS_DENIED);
    ResolvedPath r;
    unsigned long error = 0;
    if (!resolve(rec->name, r, error) || !r.exists) return fail(ERROR_FILE_NOT_FOUND);
    int fd = ::open(r.host.c_str(), O_WRONLY | O_APPEND);
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    // The power goes during the write: the file grows by the whole write,
    // and holds what of it reached the disk, zeros past that.
    if (c.cutting()) {
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            size_t kept = static_cast<size_t>(bytesKeptOf(count));
            if (::ftruncate(fd, st.st_size + static_cast<off_t>(count)) == 0)
                for (size_t at = 0; at < kept;) {
                    ssize_t n = ::pwrite(fd, p + at, kept - at, st.st_size + static_cast<off_t>(at));
                    if (n <= 0) break;
                    at += static_cast<size_t>(n);
                }
            ::close(fd);
            noteFileData(r.host);
        }
        c.cut();
    }
    while (fd >= 0 && done < count) {
        ssize_t n = ::write(fd, p + done, count - done);
        if (n <= 0) break;
        done += static_cast<DWORD>(n);
    }
    if (fd >= 0) ::close(fd);
    *written = done;
    if (done) noteFileData(r.host);
    if (done < count) return fail(ERROR_DISK_FULL);
    return TRUE;
}
