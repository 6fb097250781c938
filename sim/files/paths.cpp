// Files and console of the simulated machine: the drive mapping, the system
// directory, file search, device handles, the default language, and the
// runtime library's helpers.
#include "sim/files/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/win_devices.h"
#include "platform/win_files.h"
#include "sim/files/host_names.h"
#include "sim/core/runtime.h"

using namespace sim;

namespace sim {

static std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

static bool isDirectory(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of a host directory whose name equals `name` without regard to
// case; the exact name first.
static std::string matchEntry(const std::string& dir, const std::string& name) {
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) == 0) return name;
    std::string found = entryNoCase(dir, name);
    return found.empty() ? name : found;
}

void HostDescriptorTraits::release(Handle fd) noexcept { ::close(fd); }

// The first look at a path: a stat, or where the caller wants the file open,
// the open itself and a stat of what it opened. An open that fails for any
// reason but a missing name (a directory opened for writing, a program
// running) leaves the answer to a stat.
static bool firstLook(const std::string& host, struct stat& st, int openFlags, HostFile* file) {
    if (file) {
        HostFile opened(::open(host.c_str(), openFlags));
        if (opened && ::fstat(opened.get(), &st) == 0) {
            *file = std::move(opened);
            return true;
        }
        if (!opened && (errno == ENOENT || errno == ENOTDIR)) return false;
    }
    return ::stat(host.c_str(), &st) == 0;
}

static bool resolvePath(const std::string& path, ResolvedPath& out, unsigned long& error, int openFlags,
                        HostFile* file) {
    out = ResolvedPath();
    if (path.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        error = ERROR_INVALID_NAME;  // device or network path
        return false;
    }
    Machine& m = machine();
    std::string rest = path;
    char drive;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        rest = path.substr(2);
    } else {
        drive = static_cast<char>('A' + m.currentDrive - 1);
    }
    std::vector<std::string> parts;
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) {
        auto it = m.cwd.find(std::string(1, drive));
        if (it != m.cwd.end()) parts = components(it->second);
    }
    for (const auto& c : components(rest)) {
        if (c == ".") continue;
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(c);
    }
    std::string root = driveRoot(drive);
    if (root.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    out.drive = drive;
    out.windows = std::string(1, drive) + ":";
    std::string host = root;
    for (const auto& c : parts) {
        out.windows += "\\" + c;
        host += "/" + c;
    }
    if (parts.empty()) out.windows += "\\";
    if (out.windows.size() >= MAX_PATH) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    // Where every name exists as written, matching each one (the exact name
    // first) gives the same path: one look at the whole path does, or at its
    // parent when only the last name is new or written in another case. A
    // last name that the parent's kept names lack in any case (a file about
    // to be made) is looked for in the parent alone, and in its kept names
    // alone once they are anchored (watched from the drive's root down).
    struct stat st;
    std::string parent = host.substr(0, host.find_last_of('/'));
    bool found = (parts.empty() || !listedWithout(parent, parts.back())) && firstLook(host, st, openFlags, file);
    bool parentDirectory = found;
    std::string known;
    if (!found && !parts.empty() && knownEntry(parent, parts.back(), known)) {
        parentDirectory = true;
        if (!known.empty()) {
            host = parent + "/" + known;
            found = ::stat(host.c_str(), &st) == 0;
        }
    } else if (!found) {
        struct stat parentStat;
        parentDirectory = ::stat(parent.c_str(), &parentStat) == 0 && S_ISDIR(parentStat.st_mode);
        if (parentDirectory && !parts.empty()) {
            std::string other = entryNoCase(parent, parentStat, parts.back());
            anchorListing(parent, root);
            if (!other.empty()) {
                host = parent + "/" + other;
                found = ::stat(host.c_str(), &st) == 0;
            }
        } else if (!parts.empty()) {
            host = root;
            for (const auto& c : parts) host += "/" + matchEntry(host, c);
            found = ::stat(host.c_str(), &st) == 0;
            parentDirectory = found || isDirectory(host.substr(0, host.find_last_of('/')));
        }
    }
    out.host = host;
    out.exists = found;
    out.directory = found && S_ISDIR(st.st_mode);
    out.size = found && !out.directory ? static_cast<long long>(st.st_size) : 0;
    out.mode = found ? static_cast<unsigned>(st.st_mode) : 0;
    out.device = found ? static_cast<unsigned long long>(st.st_dev) : 0;
    out.inode = found ? static_cast<unsigned long long>(st.st_ino) : 0;
    out.parentDirectory = parentDirectory;
    return true;
}

bool resolve(const std::string& path, ResolvedPath& out, unsigned long& error) {
    return resolvePath(path, out, error, 0, nullptr);
}

bool resolve(const std::string& path, ResolvedPath& out, unsigned long& error, int openFlags, HostFile& file) {
    file.reset();
    return resolvePath(path, out, error, openFlags, &file);
}

std::string hostFile(const std::string& windowsPath) {
    ResolvedPath r;
    unsigned long error = 0;
    if (!resolve(windowsPath, r, error) || !r.exists || r.directory) return "";
    return r.host;
}

bool readMachineFile(const std::string& windowsPath, std::string& data) {
    std::string host = hostFile(windowsPath);
    if (host.empty()) return false;
    std::ifstream in(host, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    data = ss.str();
    return true;
}

unsigned long fileAttributes(const std::string& canonical, bool directory) {
    Machine& m = machine();
    auto it = m.fileAttributes.find(canonical);
    unsigned long a = it == m.fileAttributes.end() ? 0 : it->second;
    if (directory) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (a == 0) a = FILE_ATTRIBUTE_ARCHIVE;
    return a;
}

bool fileInUse(const std::string& canonical) {
    for (const auto& f : machine().filesInUse)
        if (equalNoCase(f, canonical)) return true;
    return false;
}

}  // namespace sim

// ---- system directory and language ----------------------------------------

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    Call c("GetSystemDirectoryA", {arg(static_cast<const void*>(buffer)), arg(size)});
    if (c.injected()) return 0;
    const std::string& dir = machine().systemDirectory;
    if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

LANGID WINAPI GetSystemDefaultLangID(void) {
    Call c("GetSystemDefaultLangID", {});
    return machine().defaultLangId;
}

// ---- file and device handles ----------------------------------------------

namespace sim {
// The HID device interface path of a device ("\\?\hid#vid_...#...#{guid}").
std::string hidInterfacePath(const Device& d);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ) {
    Call c("CreateFileA", {arg(name), argHex(access), argHex(share), arg(static_cast<const void*>(sa)),
                           arg(disposition), argHex(flags), arg(templ)});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    std::string path = name ? name : "";
    if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0) {
        for (const auto& d : machine().devices) {
            if (d.present && d.hid.present && equalNoCase(hidInterfacePath(d), path)) {
                return reinterpret_cast<HANDLE>(newHandle(HandleKind::File, d.instanceId, access, 1));
            }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ResolvedPath r;
    unsigned long error = 0;
    if (!resolve(path, r, error)) {
        SetLastError(static_cast<DWORD>(error));
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS) return createFile(r, access, disposition);
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!r.exists || r.directory) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(newHandle(HandleKind::File, r.windows, access, 0));
}

// ---- runtime library helpers ------------------------------------------------

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    // As the classic C runtime does: each part is cut to its _MAX_ size.
    const char* p = path;
    if (drive) drive[0] = '\0';
    if (p[0] && p[1] == ':') {
        if (drive) {
            drive[0] = p[0];
            drive[1] = ':';
            drive[2] = '\0';
        }
        p += 2;
    }
    const char* lastSlash = nullptr;
    const char* lastDot = nullptr;
    for (const char* q = p; *q; ++q) {
        if (*q == '\\' || *q == '/') lastSlash = q;
        else if (*q == '.') lastDot = q;
    }
    auto copy = [](char* out, const char* from, size_t n, size_t max) {
        if (!out) return;
        if (n > max - 1) n = max - 1;
        std::memcpy(out, from, n);
        out[n] = '\0';
    };
    const char* nameStart = p;
    if (lastSlash) {
        copy(dir, p, static_cast<size_t>(lastSlash + 1 - p), _MAX_DIR);
        nameStart = lastSlash + 1;
    } else if (dir) {
        dir[0] = '\0';
    }
    if (lastDot && lastDot >= nameStart) {
        copy(fname, nameStart, static_cast<size_t>(lastDot - nameStart), _MAX_FNAME);
        copy(ext, lastDot, std::strlen(lastDot), _MAX_EXT);
    } else {
        copy(fname, nameStart, std::strlen(nameStart), _MAX_FNAME);
        if (ext) ext[0] = '\0';
    }
}

char* _strupr(char* s) {
    for (char* p = s; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    return s;
}

char* _strlwr(char* s) {
    for (char* p = s; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return s;
}

static int foldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int _strnicmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int ca = foldAscii(static_cast<unsigned char>(a[i]));
        int cb = foldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (!ca) return 0;
    }
    return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<size_t>(-1)); }

int _getdrive(void) {
    Call c("_getdrive", {});
    return machine().currentDrive;
}

int _getch(void) {
    Call c("_getch", {});
    std::fflush(stdout);
    unsigned char ch = 0;
    if (::isatty(0)) {
        termios old{}, raw{};
        ::tcgetattr(0, &old);
        raw = old;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        ::tcsetattr(0, TCSANOW, &raw);
        ssize_t n = ::read(0, &ch, 1);
        ::tcsetattr(0, TCSANOW, &old);
        return n == 1 ? ch : -1;
    }
    return ::read(0, &ch, 1) == 1 ? ch : -1;
}

// ---- low-level files ---------------------------------------------------------

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
