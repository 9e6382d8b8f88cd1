// watch.cpp: one inotify queue for the registry's directories, read without waiting by the loop (when
// it is readable), before every answer that relies on a kept figure, and around each of the store's own
// changes (watch.h).
#include "registry/watch.h"

#include "registry/feed.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

namespace {

// Every change that touches what an answer reads from a directory: its entries coming and going, their
// contents and times, the directory itself going. IN_DONT_FOLLOW with IN_ONLYDIR refuses a link.
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                           IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

int                                g_fd = -1;
std::size_t                        g_most = 0;  // watches at most
std::unordered_map<int, KeyNode *> g_keys;      // by watch descriptor; each key holds its own in watch

// Whether path is on a file system whose every change passes through this host's kernel.
bool ReportsEverything(const char *path)
{
    struct statfs fs {};
    if (statfs(path, &fs) != 0) return false;
    switch (fs.f_type) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        return true;
    default:
        return false;
    }
}

std::size_t WatchLimit()
{
    std::size_t system = 8192;  // the kernel's smallest default
    if (FILE *f = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re")) {
        unsigned long value = 0;
        if (std::fscanf(f, "%lu", &value) == 1) system = value;
        std::fclose(f);
    }
    // The limit is per user, shared with root's other programs: an eighth of it (at least 8,192) is theirs.
    const std::size_t theirs = std::max<std::size_t>(8192, system / 8);
    return std::min<std::size_t>(system > 2 * theirs ? system - theirs : system / 2, kMaxWatches);
}

void Forget(int wd)
{
    const auto found = g_keys.find(wd);
    if (found == g_keys.end()) return;
    found->second->watch = 0;
    g_keys.erase(found);
}

void Publish(ChangeKind kind, KeyNode *key, std::string_view name)
{
    Change change{kind, key};
    change.name = name;
    change.foreign = true;
    PublishChange(change);
}

// One report: what it tells of which key's directory.
void Report(const inotify_event &event, const KeyNode *own, std::string_view own_name, std::string_view own_other)
{
    if (event.mask & IN_Q_OVERFLOW) {
        Publish(ChangeKind::Forgotten, nullptr, {});
        return;
    }
    const auto found = g_keys.find(event.wd);
    if (found == g_keys.end()) return;  // a watch dropped since: its key is gone
    KeyNode               *key = found->second;
    const std::string_view name = event.len ? std::string_view(event.name) : std::string_view();
    if (event.mask & IN_IGNORED) {  // the directory is gone, or its file system: the watch with it
        Forget(event.wd);
        Publish(ChangeKind::DirectoryChanged, key, {});
        return;
    }
    if (key == own && !name.empty() && (name == own_name || name == own_other)) return;
    // A value file written whole: closed after writing, or moved in. Whatever else happened is a change
    // of the directory that only a fresh read can tell.
    const bool value = !(event.mask & IN_ISDIR) && name.size() >= 2 && name.starts_with("V_") &&
                       (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO));
    if (value)
        Publish(ChangeKind::ValueWritten, key, name.substr(2));
    else
        Publish(ChangeKind::DirectoryChanged, key, {});
}

}  // namespace

int OpenChangeWatch() noexcept
{
    if (g_fd == -1) {
        g_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        g_most = WatchLimit();
    }
    return g_fd;
}

void CloseChangeWatch() noexcept
{
    for (auto &[wd, key] : g_keys)
        key->watch = 0;
    g_keys.clear();
    if (g_fd != -1) close(g_fd);
    g_fd = -1;
}

namespace {

// Adds the watch on path, key's directory (a link refused); false when the kernel won't, or when another
// key holds the same directory already (reached twice, through a link above).
bool AddWatch(KeyNode *key, const char *path)
{
    const int wd = inotify_add_watch(g_fd, path, kMask);
    if (wd <= 0) return false;
    try {
        if (!g_keys.emplace(wd, key).second) return false;
    } catch (...) {
        inotify_rm_watch(g_fd, wd);
        return false;
    }
    key->watch = wd;
    return true;
}

// key's directory path without its closing "//", so that a link is seen as one.
bool WatchPath(const KeyNode *key, RegPath &path)
{
    if (!GetRegFullPath(key, path) || path.length < 2) return false;
    TruncatePath(path, path.length - 2);
    return true;
}

}  // namespace

bool WatchKeyDirectory(KeyNode *key) noexcept
{
    if (key->watch) return true;
    if (g_fd == -1 || g_keys.size() >= g_most) return false;
    RegPath path;
    if (!WatchPath(key, path)) return false;
    struct stat self {
    }, up{};
    RegPath parent = path;
    TruncatePath(parent, std::string_view(path.text, path.length).find_last_of('/'));
    // A mount point's file system is not the one its parent's type was read from.
    if (key->parent && (lstat(path.text, &self) != 0 || stat(parent.text, &up) != 0 || self.st_dev != up.st_dev))
        return false;
    return ReportsEverything(path.text) && AddWatch(key, path.text);
}

bool WatchSubkeyDirectories(KeyNode *key) noexcept
{
    if (!WatchKeyDirectory(key)) return false;
    RegPath     path;
    struct stat above {};
    if (!WatchPath(key, path) || stat(path.text, &above) != 0) return false;
    for (KeyNode *child = key->first_child; child; child = child->next_sibling) {
        if (child->watch) continue;
        if (g_keys.size() >= g_most) return false;
        // On the watched directory's own file system, and no link: the kernel reports all of it.
        struct stat st {};
        if (!WatchPath(child, path) || lstat(path.text, &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_dev != above.st_dev || !AddWatch(child, path.text))
            return false;
    }
    return true;
}

namespace {

void Drain(const KeyNode *own, std::string_view own_name, std::string_view own_other)
{
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = read(g_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (at > got) break;
            Report(*event, own, own_name, own_other);
        }
    }
}

}  // namespace

void DrainChanges(const KeyNode *own, std::string_view own_name, std::string_view own_other) noexcept
{
    // Nothing watched: all that can still be queued is the end of dropped watches, which the loop reads.
    if (g_fd != -1 && !g_keys.empty()) Drain(own, own_name, own_other);
}

void ServeChangeWatch() noexcept
{
    if (g_fd != -1) Drain(nullptr, {}, {});
}

void DropWatch(KeyNode *key) noexcept
{
    if (!key->watch) return;
    if (g_fd != -1) inotify_rm_watch(g_fd, key->watch);  // its IN_IGNORED finds no key
    Forget(key->watch);
}

std::size_t WatchCount() noexcept
{
    return g_keys.size();
}
