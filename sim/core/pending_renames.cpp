// The session manager's list of file operations for the next start, read
// and written in the layout Windows gives it.
#include "sim/core/pending_renames.h"

#include "platform/win_registry.h"

namespace sim {

const char* const SessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const PendingRenamesValue = "PendingFileRenameOperations";

namespace {

const std::string NtPrefix = "\\??\\";

std::string withoutNtPrefix(const std::string& path) {
    return path.compare(0, NtPrefix.size(), NtPrefix) == 0 ? path.substr(NtPrefix.size()) : path;
}

}  // namespace

std::vector<PendingRename> pendingFileRenames(const Machine& m) {
    std::vector<PendingRename> out;
    const RegKey* key = findKey(m, SessionManagerKey);
    if (!key) return out;
    auto value = key->values.find(PendingRenamesValue);
    if (value == key->values.end() || value->second.type != REG_MULTI_SZ) return out;
    // Texts one after the other, each ended by a NUL: a source, then its
    // target, which is empty for a deletion. An empty source ends the list.
    const std::string& data = value->second.data;
    size_t at = 0;
    auto next = [&](std::string& text) {
        if (at >= data.size()) return false;
        size_t end = data.find('\0', at);
        if (end == std::string::npos) end = data.size();
        text = data.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string source, target;
    while (next(source) && !source.empty()) {
        if (!next(target)) target.clear();
        PendingRename r;
        r.source = withoutNtPrefix(source);
        r.replace = !target.empty() && target[0] == '!';
        r.target = withoutNtPrefix(r.replace ? target.substr(1) : target);
        out.push_back(r);
    }
    return out;
}

void addPendingFileRename(Machine& m, const PendingRename& rename) {
    RegKey& key = ensureKey(m, SessionManagerKey);
    RegValue& value = key.values[PendingRenamesValue];
    std::string data;
    if (value.type == REG_MULTI_SZ) {
        data = value.data;
        // The list's own closing NUL goes; the new pair ends it again.
        if (data.size() >= 2 && data.compare(data.size() - 2, 2, std::string(2, '\0')) == 0) data.pop_back();
    }
    data += NtPrefix + rename.source + std::string(1, '\0');
    if (!rename.target.empty()) data += (rename.replace ? "!" : "") + NtPrefix + rename.target;
    data += std::string(2, '\0');
    value.type = REG_MULTI_SZ;
    value.data = data;
}

void clearPendingFileRenames(Machine& m) {
    if (RegKey* key = findKey(m, SessionManagerKey)) key->values.erase(PendingRenamesValue);
}

}  // namespace sim
