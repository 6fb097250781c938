// Files of the simulated machine made and written through handles, as
// CreateFileA with CREATE_NEW or CREATE_ALWAYS and WriteFile do on Windows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/files/paths.h"
#include "platform/win_files.h"
#include "sim/core/runtime.h"
#include "sim/core/win_codes.h"

using namespace sim;

namespace {

// Marks a file handle that was opened for writing (HandleRec::value): HID
// device handles are 1, files opened to read 0.
const intptr_t WritableFile = 2;

bool isHostDirectory(const std::string& host) {
    struct stat st;
    size_t slash = host.find_last_of('/');
    std::string parent = slash == std::string::npos ? std::string(".") : host.substr(0, slash);
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace sim {

void* createFile(const ResolvedPath& r, unsigned long access, unsigned long disposition) {
    if (!r.exists && !isHostDirectory(r.host)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (r.exists) {
        if (disposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        const unsigned long kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (r.directory || (fileAttributes(r.windows, false) & kept)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (fileInUse(r.windows)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    int fd = ::open(r.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ::close(fd);
    machine().fileAttributes.erase(r.windows);
    commit();
    // CREATE_ALWAYS over an existing file succeeds and says so.
    SetLastError(r.exists ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return reinterpret_cast<HANDLE>(
        newHandle(HandleKind::File, r.windows, static_cast<uint32_t>(access), WritableFile));
}

}  // namespace sim

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPVOID overlapped) {
    Call c("WriteFile", {arg(h), arg(count), arg(overlapped)});
    if (c.injected()) return FALSE;
    HandleRec* rec = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    if (!rec) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The simulated files are written in order only: no overlapped writes.
    if (!written || overlapped || (!buffer && count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *written = 0;
    if (rec->value != WritableFile || !(rec->access & (GENERIC_WRITE | FILE_WRITE_DATA))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ResolvedPath r;
    unsigned long error = 0;
    if (!resolve(rec->name, r, error) || !r.exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    int fd = ::open(r.host.c_str(), O_WRONLY | O_APPEND);
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (fd >= 0 && done < count) {
        ssize_t n = ::write(fd, p + done, count - done);
        if (n <= 0) break;
        done += static_cast<DWORD>(n);
    }
    if (fd >= 0) ::close(fd);
    *written = done;
    if (done < count) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}
