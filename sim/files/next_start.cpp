// Replacements of files in use left for the next start, and their carrying
// out when the machine starts.
#include "sim/files/next_start.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/win_files.h"
#include "sim/core/current_machine.h"
#include "sim/core/pending_renames.h"
#include "sim/core/power.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

// GetTempFileName's numbers run to 0xFFFF.
const unsigned LastTemporaryNumber = 0xFFFF;

void releaseFile(Machine& m, const std::string& canonical) {
    m.filesInUse.erase(std::remove_if(m.filesInUse.begin(), m.filesInUse.end(),
                                      [&](const std::string& f) { return equalNoCase(f, canonical); }),
                       m.filesInUse.end());
}

// The attributes of a file that the session manager moved: the moved
// file's own, under its new name.
void moveAttributes(Machine& m, const std::string& from, const std::string& to) {
    auto it = m.fileAttributes.find(from);
    m.fileAttributes.erase(to);
    if (it == m.fileAttributes.end()) return;
    m.fileAttributes[to] = it->second;
    m.fileAttributes.erase(from);
}

}  // namespace

bool replaceAtNextStart(const std::string& sourceHost, const ResolvedPath& target, unsigned long& error) {
    std::string folder = target.windows.substr(0, target.windows.find_last_of('\\'));
    ResolvedPath beside;
    for (unsigned n = 1;; ++n) {
        if (n > LastTemporaryNumber) {
            error = ERROR_FILE_EXISTS;
            return false;
        }
        char name[16];
        std::snprintf(name, sizeof name, "\\SET%X.tmp", n);
        if (!resolve(folder + name, beside, error)) return false;
        if (!beside.exists) break;
    }
    std::error_code ec;
    fs::copy_file(sourceHost, beside.host, ec);
    if (ec) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    noteFileData(beside.host);
    Machine& m = machine();
    m.fileAttributes.erase(beside.windows);
    addPendingFileRename(m, PendingRename{beside.windows, target.windows, true});
    return true;
}

std::vector<std::string> carryOutPendingFileRenames() {
    Machine& m = machine();
    std::vector<std::string> lines;
    for (const PendingRename& r : pendingFileRenames(m)) {
        ResolvedPath from, to;
        unsigned long error = 0;
        if (!resolve(r.source, from, error) || !from.exists || from.directory) {
            lines.push_back("file " + r.source + ": not there, passed over");
            continue;
        }
        std::error_code ec;
        if (r.target.empty()) {
            fs::remove(from.host, ec);
            if (ec) {
                lines.push_back("file " + from.windows + ": could not be deleted");
                continue;
            }
            m.fileAttributes.erase(from.windows);
            releaseFile(m, from.windows);
            lines.push_back("file " + from.windows + ": deleted");
            continue;
        }
        if (!resolve(r.target, to, error) || to.directory || (!to.exists && !to.parentDirectory)) {
            lines.push_back("file " + r.target + ": no place for it, passed over");
            continue;
        }
        if (to.exists && !r.replace) {
            lines.push_back("file " + to.windows + ": already there, not replaced");
            continue;
        }
        fs::rename(from.host, to.host, ec);
        if (ec) {
            lines.push_back("file " + to.windows + ": could not be replaced");
            continue;
        }
        moveAttributes(m, from.windows, to.windows);
        releaseFile(m, to.windows);
        lines.push_back("file " + to.windows + ": " + (to.exists ? "replaced by " : "made from ") + from.windows);
    }
    clearPendingFileRenames(m);
    commit();
    return lines;
}

}  // namespace sim
