// Names of host directories looked up without regard to case, as Windows
// compares them. A name that does not exist as written is looked for in the
// whole directory; the names read are kept, brought up to date by the names
// that inotify reports made or removed in the directory (by any process),
// and read again only when the directory itself moves or goes, when events
// were lost, or when the path names another directory. So a file that is
// about to be made, which its attributes, a search and the copy each look
// for, costs one reading of its directory rather than three. Where every
// directory from the drive's root down is watched as well (the names are
// anchored), the directory itself need not be looked at either: a missing
// name costs one read of the inotify queue.
#include "sim/files/host_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/core/names.h"

namespace sim {

namespace {

const uint32_t DirectoryChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct Listing {
    dev_t device = 0;
    ino_t inode = 0;
    bool current = false;
    // The path has named the directory that was read ever since it was
    // read: every directory from the drive's root down to it is watched, so
    // that a rename or removal of any of them would have been reported.
    bool anchored = false;
    bool unanchorable = false;  // a watch it needs was refused since it was read
    std::vector<std::string> names;  // in the order the directory gives them
};

struct Listings {
    std::mutex guard;
    int notify = -2;  // -2: not opened yet; -1: inotify is not available
    std::map<std::string, Listing> byPath;
    std::multimap<int, std::string> pathsOfWatch;
    // Paths whose watch is on the directory the path names now.
    std::set<std::string> watchedPaths;
};

// Whether `path` is `top` or lies below it.
bool within(const std::string& path, const std::string& top) {
    return path.compare(0, top.size(), top) == 0 && (path.size() == top.size() || path[top.size()] == '/');
}

// The path `top` may name another directory, or none, from now on: what was
// known of it and of every path below it no longer holds.
void unanchor(Listings& l, const std::string& top) {
    for (auto it = l.byPath.lower_bound(top); it != l.byPath.end() && it->first.compare(0, top.size(), top) == 0; ++it)
        if (within(it->first, top)) it->second.anchored = false;
    for (auto it = l.watchedPaths.lower_bound(top);
         it != l.watchedPaths.end() && it->compare(0, top.size(), top) == 0;)
        it = within(*it, top) ? l.watchedPaths.erase(it) : std::next(it);
}

// Watches a directory for the names made or removed in it and for its own
// move or removal; -1 where it cannot be watched.
int watch(Listings& l, const std::string& dir, uint32_t extra = 0) {
    int wd = ::inotify_add_watch(l.notify, dir.c_str(), DirectoryChanges | extra);
    if (wd < 0) return -1;
    bool known = false;
    auto range = l.pathsOfWatch.equal_range(wd);
    for (auto it = range.first; it != range.second; ++it) known = known || it->second == dir;
    if (!known) l.pathsOfWatch.emplace(wd, dir);
    return wd;
}

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
            if (e->mask & IN_Q_OVERFLOW) {
                for (auto& entry : l.byPath) entry.second.current = entry.second.anchored = false;
                l.watchedPaths.clear();
            }
            // A name made or removed in a directory changes its listing in
            // place; anything else (the directory itself moved or removed)
            // has it read again.
            bool named = e->len > 0 && e->name[0] && (e->mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM));
            auto range = l.pathsOfWatch.equal_range(e->wd);
            for (auto it = range.first; it != range.second; ++it) {
                // A name removed from the watched directory or moved into it
                // (over what it named, perhaps), or the watched directory
                // itself moved or gone: the paths that named them, and those
                // below, may name others now. A name made anew named nothing
                // before (its removal came first).
                if (named && !(e->mask & IN_CREATE)) unanchor(l, it->second + "/" + e->name);
                else if (!named) unanchor(l, it->second);
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
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    alignas(dirent64) char buffer[32768];
    for (ssize_t n; (n = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
            names.push_back(e->d_name);
            at += e->d_reclen;
        }
    }
    ::close(fd);
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
        int wd = watch(l, dir);
        listing.names = readNames(dir);
        listing.device = dirStat.st_dev;
        listing.inode = dirStat.st_ino;
        listing.current = wd >= 0;
        listing.anchored = listing.unanchorable = false;
    }
    return firstNoCase(listing.names, name);
}

void anchorListing(const std::string& dir, const std::string& root) {
    if (root.empty() || root[0] != '/' || !within(dir, root)) return;
    Listings& l = listings();
    std::lock_guard<std::mutex> g(l.guard);
    if (l.notify < 0) return;
    // The listing's changes were taken as it was looked up, just before.
    auto found = l.byPath.find(dir);
    if (found == l.byPath.end()) return;
    Listing& listing = found->second;
    if (!listing.current || listing.anchored || listing.unanchorable) return;
    // Each directory from the root down to the listed one's parent is
    // watched as it is now, not through a symbolic link, whose target's own
    // parents would go unwatched. The listed one has its watch already.
    for (size_t end = root.size(); end < dir.size(); end = dir.find('/', end + 1)) {
        std::string path = dir.substr(0, end);
        if (!l.watchedPaths.count(path)) {
            if (watch(l, path, IN_DONT_FOLLOW) < 0) {
                listing.unanchorable = true;
                return;
            }
            l.watchedPaths.insert(path);
        }
    }
    // Only a look taken once every watch is in place shows that the path
    // still names the directory that was read, and names it itself rather
    // than through a link.
    struct stat st;
    listing.anchored = ::lstat(dir.c_str(), &st) == 0 && st.st_dev == listing.device && st.st_ino == listing.inode;
}

void noteDirectoryMade(const std::string& dir) {
    Listings& l = listings();
    std::lock_guard<std::mutex> g(l.guard);
    if (l.notify < 0) return;
    // Its parent's changes are left in the queue: any that concerns the new
    // directory's path is taken later and unanchors it.
    auto parent = l.byPath.find(dir.substr(0, dir.find_last_of('/')));
    if (parent == l.byPath.end() || !parent->second.current || !parent->second.anchored) return;
    // Watched before it is read, as any listing: what another process made
    // in it since it was made is read, what it makes later is reported.
    if (watch(l, dir) < 0) return;
    Listing& listing = l.byPath[dir];
    listing.names = readNames(dir);
    listing.device = 0;  // not looked at: a look that finds it reads it again
    listing.inode = 0;
    listing.current = true;
    listing.anchored = true;
    listing.unanchorable = false;
}

bool knownEntry(const std::string& dir, const std::string& name, std::string& entry) {
    Listings& l = listings();
    std::lock_guard<std::mutex> g(l.guard);
    if (l.notify < 0) return false;
    takeChanges(l);
    auto it = l.byPath.find(dir);
    if (it == l.byPath.end() || !it->second.current || !it->second.anchored) return false;
    entry = firstNoCase(it->second.names, name);
    return true;
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
