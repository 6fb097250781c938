// The C runtime's low-level files of the simulated machine (_sopen, _read,
// _close, _filelength): opened for reading only, through a handle of the
// machine, and read in text mode (CR LF read as LF, Ctrl-Z ends the data)
// or in binary mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/win_files.h"
#include "sim/core/calls.h"
#include "sim/core/handles.h"
#include "sim/files/paths.h"

using namespace sim;

namespace {
struct OpenFile {
    uintptr_t handle;
    bool text;
    bool ended;  // a Ctrl-Z was met in text mode
    int peeked;  // byte read ahead after a carriage return, or -1
    // Text mode: bytes read from the host and not yet delivered.
    std::string ahead;
    size_t next = 0;
};
const size_t TextReadAhead = 4096;
std::map<int, OpenFile>& openFiles() {
    static std::map<int, OpenFile> f;
    return f;
}
}  // namespace

int _sopen(const char* filename, int oflag, int shflag, ...) {
    Call c("_sopen", {arg(filename), argHex(static_cast<uint32_t>(oflag)), argHex(static_cast<uint32_t>(shflag))});
    if (c.injected()) {
        errno = EACCES;
        return -1;
    }
    ResolvedPath r;
    unsigned long error = 0;
    HostFile file;
    if (!filename || !resolve(filename, r, error, O_RDONLY | O_CLOEXEC, file) || !r.exists || r.directory) {
        errno = ENOENT;
        return -1;
    }
    if ((oflag & (_O_WRONLY | _O_RDWR)) != 0) {
        errno = EACCES;  // the installer only reads
        return -1;
    }
    if (!file) file.reset(::open(r.host.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return -1;
    int fd = file.release();
    uintptr_t h = newHandle(HandleKind::File, r.windows, 0, fd);
    openFiles()[fd] = OpenFile{h, (oflag & _O_BINARY) == 0, false, -1, {}, 0};
    return fd;
}

int _read(int fd, void* buffer, unsigned int count) {
    Call c("_read", {arg(fd), arg(count)});
    auto it = openFiles().find(fd);
    if (it == openFiles().end()) {
        errno = EBADF;
        return -1;
    }
    if (c.injected()) {
        errno = EIO;
        return -1;
    }
    OpenFile& f = it->second;
    char* out = static_cast<char*>(buffer);
    if (!f.text) {
        ssize_t n = ::read(fd, out, count);
        return static_cast<int>(n);
    }
    // Text mode: a CR LF pair is delivered as LF, and Ctrl-Z ends the data.
    unsigned int produced = 0;
    auto next = [&](int& ch) -> bool {
        if (f.peeked >= 0) {
            ch = f.peeked;
            f.peeked = -1;
            return true;
        }
        if (f.next == f.ahead.size()) {
            f.ahead.resize(TextReadAhead);
            ssize_t n = ::read(fd, &f.ahead[0], TextReadAhead);
            f.ahead.resize(n > 0 ? static_cast<size_t>(n) : 0);
            f.next = 0;
            if (n <= 0) return false;
        }
        ch = static_cast<unsigned char>(f.ahead[f.next++]);
        return true;
    };
    while (produced < count && !f.ended) {
        int ch;
        if (!next(ch)) break;
        if (ch == 0x1A) {
            f.ended = true;
            break;
        }
        if (ch == '\r') {
            int after;
            if (next(after)) {
                if (after == '\n') {
                    out[produced++] = '\n';
                    continue;
                }
                f.peeked = after;
            }
            out[produced++] = '\r';
            continue;
        }
        out[produced++] = static_cast<char>(ch);
    }
    return static_cast<int>(produced);
}

int _close(int fd) {
    Call c("_close", {arg(fd)}, false);
    auto it = openFiles().find(fd);
    if (it == openFiles().end()) {
        errno = EBADF;
        return -1;
    }
    closeHandle(it->second.handle);
    openFiles().erase(it);
    return ::close(fd);
}

long _filelength(int fd) {
    Call c("_filelength", {arg(fd)});
    if (c.injected()) return -1;
    struct stat st;
    if (openFiles().count(fd) == 0 || ::fstat(fd, &st) != 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<long>(st.st_size);
}
