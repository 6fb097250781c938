#include "sim/files/host_copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "sim/core/power.h"

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

void copyCutShort(const ResolvedPath& from, HostFile& source, const ResolvedPath& to, HostFile& target) {
    struct stat st;
    if (!source) source.reset(::open(from.host.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source || ::fstat(source.get(), &st) != 0) return;
    mode_t mode = st.st_mode & 07777;
    if (!target) target.reset(::open(to.host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode));
    if (!target) {
        // A program that the host runs: replaced by a new file of that name.
        std::remove(to.host.c_str());
        target.reset(::open(to.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    }
    if (!target) return;
    uint64_t kept = bytesKeptOf(static_cast<uint64_t>(st.st_size));
    bool ok = ::ftruncate(target.get(), 0) == 0 && ::ftruncate(target.get(), st.st_size) == 0;
    ok = ok && ::fchmod(target.get(), mode) == 0;
    std::vector<char> block(65536);
    for (off_t at = 0; ok && static_cast<uint64_t>(at) < kept;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kept - static_cast<uint64_t>(at), block.size()));
        ssize_t n = ::pread(source.get(), block.data(), want, at);
        ok = n > 0 && ::pwrite(target.get(), block.data(), static_cast<size_t>(n), at) == n;
        at += n;
    }
    ::close(target.release());
    noteFileData(to.host);
}

}  // namespace sim
