// Windows paths of the simulated machine mapped onto the host folders of
// its drives: names matched without regard to case, the current directory
// of each drive, and what the machine keeps of its files beside the host
// (their attributes, whether they are in use).
#include "sim/files/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"
#include "sim/files/host_names.h"

namespace sim {

namespace {

bool isDirectory(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of a host directory whose name equals `name` without regard to
// case; the exact name first.
std::string matchEntry(const std::string& dir, const std::string& name) {
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) == 0) return name;
    std::string found = entryNoCase(dir, name);
    return found.empty() ? name : found;
}

// The first look at a path: a stat, or where the caller wants the file open,
// the open itself and a stat of what it opened. An open that fails for any
// reason but a missing name (a directory opened for writing, a program
// running) leaves the answer to a stat.
bool firstLook(const std::string& host, struct stat& st, int openFlags, HostFile* file) {
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

bool resolvePath(const std::string& path, ResolvedPath& out, unsigned long& error, int openFlags,
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
        if (it != m.cwd.end()) parts = pathNames(it->second, "\\/");
    }
    for (const auto& c : pathNames(rest, "\\/")) {
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

}  // namespace

void HostDescriptorTraits::release(Handle fd) noexcept { ::close(fd); }

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

bool readOnly(const std::string& canonical) {
    return (fileAttributes(canonical, false) & FILE_ATTRIBUTE_READONLY) != 0;
}

bool writableByAccount(const ResolvedPath& r) {
    if (isAdministrator()) return true;
    std::string windows = upper(windowsDirectory(machine()));
    std::string path = upper(r.windows);
    auto within = [&](const std::string& folder) {
        return path == folder || path.compare(0, folder.size() + 1, folder + "\\") == 0;
    };
    return !within(windows) || within(windows + "\\TEMP");
}

bool fileInUse(const std::string& canonical) {
    for (const auto& f : machine().filesInUse)
        if (equalNoCase(f, canonical)) return true;
    return false;
}

namespace {

const unsigned long ReadAccess = GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE;
const unsigned long WriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
const unsigned long DeleteAccess = GENERIC_ALL | DELETE;

// Whether two opens of one file refuse each other: either asks for an
// access that the other does not share.
bool conflict(unsigned long access, unsigned long share, unsigned long otherAccess, unsigned long otherShare) {
    auto refuses = [](unsigned long a, unsigned long s) {
        return ((a & ReadAccess) && !(s & FILE_SHARE_READ)) || ((a & WriteAccess) && !(s & FILE_SHARE_WRITE)) ||
               ((a & DeleteAccess) && !(s & FILE_SHARE_DELETE));
    };
    bool data = (access & (ReadAccess | WriteAccess | DeleteAccess)) != 0;
    bool otherData = (otherAccess & (ReadAccess | WriteAccess | DeleteAccess)) != 0;
    return data && otherData && (refuses(access, otherShare) || refuses(otherAccess, share));
}

}  // namespace

bool sharingRefuses(const std::string& canonical, unsigned long access, unsigned long share) {
    if (fileInUse(canonical) && conflict(access, share, GENERIC_READ, FILE_SHARE_READ)) return true;
    return anyHandle([&](const HandleRec& h) {
        return h.kind == HandleKind::File && equalNoCase(h.name, canonical) && conflict(access, share, h.access, h.share);
    });
}

}  // namespace sim
