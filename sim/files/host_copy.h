// Copies of host files, made in the kernel: what CopyFileA writes, and what
// the tools and tests use to bring files onto a machine.
#pragma once

#include <string>

#include "sim/files/paths.h"

namespace sim {

// Copies a host file's bytes and permissions (programs stay runnable) in
// the kernel, through descriptors that no child process inherits.
enum class HostCopy { Done, SourceUnreadable, TargetUnwritable, WriteFailed };
HostCopy copyHostFile(const std::string& from, const std::string& to);
// The same through files that may be open already: `source` for reading
// (read from its start, its offset left alone), `target` for writing (its
// bytes replaced). An open one comes from the look that `from` or `to` is,
// whose size and permissions are taken as that look found them; an empty
// one is opened by the host path of `from` or `to`.
HostCopy copyHostFile(const ResolvedPath& from, HostFile& source, const ResolvedPath& to, HostFile& target);
// The copy that a power cut stops (sim/core/power.h): the target, emptied,
// takes the source's length and permissions at once, as CopyFileA sets the
// size before it writes; of the source's bytes only the share that reached
// the disk is in it, and the rest reads as zeros. The same arguments as
// above.
void copyCutShort(const ResolvedPath& from, HostFile& source, const ResolvedPath& to, HostFile& target);

}  // namespace sim
