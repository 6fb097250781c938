// Windows paths of the simulated machine mapped onto the host folders of
// its drives, and what the machine keeps of its files beside the host.
#pragma once

#include <string>

#include "platform/owned.h"

namespace sim {

struct ResolvedPath {
    char drive = 0;        // upper-case letter
    std::string windows;   // canonical Windows path, "C:\\WINNT\\system32"
    std::string host;      // host path, names matched without regard to case
    bool exists = false;
    bool directory = false;
    bool parentDirectory = false;  // the folder that holds it exists
    long long size = 0;            // of an existing file
    unsigned mode = 0;             // the host's type and permission bits of what exists
    unsigned long long device = 0, inode = 0;  // the host file's identity, of what exists
};

// A host file descriptor, closed when its owner goes.
struct HostDescriptorTraits {
    using Handle = int;
    static Handle invalid() noexcept { return -1; }
    static void release(Handle fd) noexcept;
};
using HostFile = Owned<HostDescriptorTraits>;

// Resolves a Windows path (absolute, drive-relative or relative to the
// current directory). Fails with a Windows error code for a path without a
// mapped drive (ERROR_PATH_NOT_FOUND), device and network paths
// (ERROR_INVALID_NAME) and paths of MAX_PATH characters or more
// (ERROR_FILENAME_EXCED_RANGE).
bool resolve(const std::string& windowsPath, ResolvedPath& out, unsigned long& error);
// The same, and where the name exists on the host as written, it is opened
// with the host's open flags `openFlags` in the same look, instead of being
// looked at and then opened by its path again: `file` then holds it. It
// stays empty where the name was found another way (matched without regard
// to case, or among a directory's kept names) or the host refused the open;
// the caller opens `out.host` itself then.
bool resolve(const std::string& windowsPath, ResolvedPath& out, unsigned long& error, int openFlags,
             HostFile& file);

// Host path of an existing file, or empty.
std::string hostFile(const std::string& windowsPath);

// Reads a whole file of the machine; false when it does not exist.
bool readMachineFile(const std::string& windowsPath, std::string& data);

// The file's attributes as the machine keeps them (the read-only flag lives
// in the machine, not in the host's permissions, so that it holds for root).
unsigned long fileAttributes(const std::string& canonicalWindowsPath, bool directory);

// Whether the file has the read-only attribute.
bool readOnly(const std::string& canonicalWindowsPath);

// Whether the account may change what is at a path. On a default Windows
// 2000 the Windows directory and everything below it (the system directory
// and its drivers folder among them) can be read by the Users but changed
// only by the Administrators and the system; its Temp folder is open to all.
bool writableByAccount(const ResolvedPath& r);

// Whether a Windows path names a file that the machine marks in use: one
// that something running holds (an earlier driver that its device cannot
// let go of, a program that runs), which no one may open for writing,
// replace or delete until a start replaces it.
bool fileInUse(const std::string& canonicalWindowsPath);

// Whether an open of a file with this access and share mode is refused for
// a sharing violation, as Windows judges it against every open of the file:
// the file handles of this program, each with the share mode it was opened
// with, and the holder of a file in use, which reads it and shares reading
// alone. Only the access to the data counts (reading or running, writing,
// deleting).
bool sharingRefuses(const std::string& canonicalWindowsPath, unsigned long access, unsigned long share);

}  // namespace sim
