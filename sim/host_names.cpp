// Names of host directories looked up without regard to case, as Windows
// compares them. A name that does not exist as written is looked for in the
// whole directory; the names read are kept, brought up to date by the names
// that inotify reports made or removed in the directory (by any process),
// and read again only when the directory itself moves or goes, when events
// were lost, or when the path names another directory. So a file that is about to be made, which its
// attributes, a search and the copy each look for, costs one reading of its
// directory rather than three.
#include "host_names.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>
#include <vector>

#include "machine.h"

namespace sim {

namespace {

const uint32_t DirectoryChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct Listing {
    dev_t device = 0;
    ino_t inode = 0;
    bool current = false;
    std::vector<std::string> names;  // in the order the directory gives them
};

struct Listings {
    std::mutex guard;
    int notify = -2;  // -2: not opened yet; -1: inotify is not available
    std::map<std::string, Listing> byPath;
    std::multimap<int, std::string> pathsOfWatch;
};

Listings& listings() {
    static Listings l;
    return l;
}

// Every listing whose directory has changed since it was read stops being
// current.
void takeChanges(Listings& l) {
    alignas(inotify_event) char buffer[4096];
    const ssize_t largestEvent = static_cast<ssize_t>(sizeof(inotify_event) + NAME_MAX + 1);
    for (ssize_t n = static_cast<ssize_t>(sizeof buffer); n > static_cast<ssize_t>(sizeof buffer) - largestEvent;) {
        // A read that left room for one more event took every event there
        // was: the queue is not read again to learn that it is empty.
        n = ::read(l.notify, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & IN_Q_OVERFLOW)
                for (auto& entry : l.byPath) entry.second.current = false;
            // A name made or removed in a directory changes its listing in
            // place; anything else (the directory itself moved or removed)
            // has it read again.
            bool named = e->len > 0 && e->name[0] && (e->mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM));
            auto range = l.pathsOfWatch.equal_range(e->wd);
            for (auto it = range.first; it != range.second; ++it) {
                Listing& listing = l.byPath[it->second];
                if (!named || !listing.current) {
                    listing.current = false;
                    continue;
                }
                auto& names = listing.names;
                auto at = std::find(names.begin(), names.end(), std::string(e->name));
                if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
                    if (at == names.end()) names.push_back(e->name);
                } else if (at != names.end()) {
                    names.erase(at);
                }
            }
            if (e->mask & IN_IGNORED) l.pathsOfWatch.erase(e->wd);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

std::vector<std::string> readNames(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

std::string firstNoCase(const std::vector<std::string>& names, const std::string& name) {
    for (const auto& n : names)
        if (equalNoCase(n, name)) return n;
    return "";
}

}  // namespace

std::string entryNoCase(const std::string& dir, const struct stat& dirStat, const std::string& name) {
    Listings& l = listings();
    std::lock_guard<std::mutex> g(l.guard);
    if (l.notify == -2) l.notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (l.notify < 0) return firstNoCase(readNames(dir), name);
    takeChanges(l);
    Listing& listing = l.byPath[dir];
    if (!listing.current || listing.device != dirStat.st_dev || listing.inode != dirStat.st_ino) {
        // Watched before it is read, so that no change after the reading
        // goes unseen; a directory that cannot be watched is read each time.
        int watch = ::inotify_add_watch(l.notify, dir.c_str(), DirectoryChanges);
        listing.names = readNames(dir);
        listing.device = dirStat.st_dev;
        listing.inode = dirStat.st_ino;
        listing.current = watch >= 0;
        if (watch >= 0) {
            bool known = false;
            auto range = l.pathsOfWatch.equal_range(watch);
            for (auto it = range.first; it != range.second; ++it) known = known || it->second == dir;
            if (!known) l.pathsOfWatch.emplace(watch, dir);
        }
    }
    return firstNoCase(listing.names, name);
}

bool listedWithout(const std::string& dir, const std::string& name) {
    Listings& l = listings();
    std::lock_guard<std::mutex> g(l.guard);
    auto it = l.byPath.find(dir);
    return it != l.byPath.end() && it->second.current && firstNoCase(it->second.names, name).empty();
}

std::string entryNoCase(const std::string& dir, const std::string& name) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return "";
    return entryNoCase(dir, st, name);
}

}  // namespace sim
