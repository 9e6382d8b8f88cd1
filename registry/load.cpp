// load.cpp: reads the key tree from disk at start-up: every directory below a root is a key.
//
// Keys are read depth first, each directory opened and listed once; a level's keys are sorted in byte
// order and linked in front of any the key had (key_tree.cpp links and indexes them).
//
// Most keys of a big registry are leaves, and listing one costs four system calls more than learning
// from one stat that it has no subdirectories. On file systems whose link counts say so, such a key's
// listing waits until its subkeys are first asked for (FinishListing): all it could still hold are
// links to directories and a crash's leftover, which are rare, and the key itself is in the tree.
#include "registry/key_tree.h"

#include "registry/store.h"
#include "registry/tree_internal.h"
#include "rpc/dispatch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// The keys whose listing was deferred, by identity (a key deleted since is not found), in load order;
// the tick lists them a batch a pass from where it got to, and the queue goes once it is done.
struct DeferredListings {
    std::vector<uint64_t> keys;
    std::size_t           next = 0;
} g_deferred;

void DeferListing(KeyNode *key)
{
    key->listing_deferred = 1;
    try {
        g_deferred.keys.push_back(key->identity);
    } catch (const std::bad_alloc &) {  // then it is listed only when its subkeys are first asked for
    }
}

// The directories from a root down to the one being loaded. A symbolic link that leads back to one of
// them would make loading endless (and, with two such links, exponential), so it is not followed.
struct LoadTrail {
    dev_t            device;  // st_dev of the directory
    ino_t            inode;   // st_ino of the directory
    const LoadTrail *up;      // the parent's entry; nullptr at the root
};

bool OnTrail(const LoadTrail *trail, const struct stat &dir)
{
    for (; trail; trail = trail->up) {
        if (trail->device == dir.st_dev && trail->inode == dir.st_ino) return true;
    }
    return false;
}

// Where the trail of a load that starts below a root comes from: its ancestors, read from disk. A
// directory that can't be read gets no entry that could match. nullptr when memory runs out.
std::unique_ptr<LoadTrail[]> AncestorTrail(const KeyNode *parent)
{
    std::size_t depth = 0;
    for (const KeyNode *k = parent; k; k = k->parent)
        ++depth;
    std::unique_ptr<LoadTrail[]> trail(new (std::nothrow) LoadTrail[depth]);
    if (!trail) return trail;
    std::size_t i = 0;
    for (const KeyNode *k = parent; k; k = k->parent, ++i) {
        RegPath     path;
        struct stat st {};
        const bool  known = GetRegFullPath(k, path) && stat(path.text, &st) == 0;
        trail[i] = {known ? st.st_dev : 0, known ? st.st_ino : 0, k->parent ? &trail[i + 1] : nullptr};
    }
    return trail;
}

// Whether the file system of dir (on device) counts a directory's subdirectories in its link count
// (2 + subdirectories), so that a count of 2 proves there are none. btrfs always says 1, and network and
// FUSE file systems say what they like: their directories are all listed. One answer per device.
bool CountsSubdirectories(int dir, dev_t device)
{
    static struct {
        bool  known;
        dev_t device;
        bool  counts;
    } last{};
    if (last.known && last.device == device) return last.counts;
    struct statfs fs {};
    const bool    read = fstatfs(dir, &fs) == 0;
    last = {read, device,
            read && (fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == TMPFS_MAGIC || fs.f_type == XFS_SUPER_MAGIC)};
    return last.counts;
}

// Byte order, as alphasort gives it in the POSIX locale.
KeyNode *MergeByName(KeyNode *a, KeyNode *b)
{
    KeyNode  *head = nullptr;
    KeyNode **tail = &head;
    while (a && b) {
        KeyNode *&smaller = std::strcmp(KeyName(a), KeyName(b)) <= 0 ? a : b;
        *tail = smaller;
        tail = &smaller->next_sibling;
        smaller = smaller->next_sibling;
    }
    *tail = a ? a : b;
    return head;
}

// Sorts a list linked through next_sibling; bottom-up, so neither recursion nor memory grows with it.
KeyNode *SortByName(KeyNode *list)
{
    std::array<KeyNode *, 64> runs{};  // runs[i] holds 2^i keys or none
    while (list) {
        KeyNode *one = list;
        list = list->next_sibling;
        one->next_sibling = nullptr;
        std::size_t i = 0;
        for (; i < runs.size() && runs[i]; ++i) {
            one = MergeByName(runs[i], one);
            runs[i] = nullptr;
        }
        runs[i == runs.size() ? i - 1 : i] = one;
    }
    KeyNode *sorted = nullptr;
    for (KeyNode *run : runs) {
        if (run) sorted = MergeByName(run, sorted);
    }
    return sorted;
}

// Room for one read of a directory's entries; the same buffer serves every level, since a level has read
// all of its entries before it loads the first subkey.
struct LoadScratch {
    alignas(alignof(dirent64)) char entries[32768];  // getdents64 records
};

// The outcome of loading one directory.
enum class Loaded { Done, OutOfMemory, NotAKey };

// Loads the subkeys of key, whose full path is in path; path is the same buffer at every depth. Each
// directory is opened once and listed once; an entry's type from the listing decides what is a subkey,
// and only symbolic links (and file systems that give no type) cost a stat. A subdirectory that has
// none of its own (its link count, where that counts them) is not listed now: see listing_deferred.
Loaded LoadKeyBelow(KeyNode *key, RegPath &path, const LoadTrail *up, LoadScratch &scratch)
{
    UniqueFd    dir(open(path.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    struct stat self {};
    if (!dir || fstat(dir.get(), &self) != 0 || OnTrail(up, self)) return Loaded::NotAKey;
    const bool        defer_leaves = CountsSubdirectories(dir.get(), self.st_dev);
    const std::size_t own = path.length;
    KeyNode          *found = nullptr;  // unsorted, through next_sibling
    bool              out_of_memory = false;
    ssize_t           got = 0;
    while (!out_of_memory && (got = getdents64(dir.get(), scratch.entries, sizeof scratch.entries)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(scratch.entries + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (IsDotName(name)) continue;
            if (entry->d_type == DT_REG && name == kNewValueName) {
                RemoveCrashLeftover(key, dir.get());
                continue;
            }
            if (!IsSubkeyEntry(dir.get(), name, entry->d_type)) continue;
            // A key whose full path, "//" included, does not fit could never be used: it is not loaded.
            const std::size_t length = std::strlen(name);
            if (length + 2 >= kMaxPath - own) continue;
            KeyNode *child = NewKeyNode({name, length});
            if (!child) {
                out_of_memory = true;
                break;
            }
            // A mount point (another device) is listed: its file system may count links differently.
            struct stat st {};
            if (defer_leaves && entry->d_type == DT_DIR && fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode) && st.st_nlink == 2 && st.st_dev == self.st_dev) {
                DeferListing(child);
            }
            child->next_sibling = found;
            found = child;
        }
    }
    dir.reset();
    if (!found) return out_of_memory ? Loaded::OutOfMemory : Loaded::Done;

    // A load that starts below a root (a deferred listing) reads its ancestors for the trail only now
    // that it has subkeys to load.
    std::unique_ptr<LoadTrail[]> above;
    if (!up && key->parent) up = (above = AncestorTrail(key->parent)).get();
    const LoadTrail here{self.st_dev, self.st_ino, up};

    // Loaded keys come first in byte order, ahead of any the key had; the index takes them last to first,
    // so among case-twins the first in its chain is the first in the list.
    KeyNode *first = SortByName(found);
    KeyNode *stop = key->first_child;
    PrependLoadedKeys(key, first);
    for (KeyNode *child = first; child != stop;) {
        KeyNode *next = child->next_sibling;
        if (child->listing_deferred) {
            child = next;
            continue;
        }
        TruncatePath(path, own);
        if (!AppendPath(path, KeyName(child)) || !AppendPath(path, "//") ||
            LoadKeyBelow(child, path, &here, scratch) == Loaded::NotAKey) {
            RemoveKeyNode(child);  // gone since it was listed, unreadable, or a link back up the trail
        }
        child = next;
    }
    TruncatePath(path, own);
    return out_of_memory ? Loaded::OutOfMemory : Loaded::Done;
}

}  // namespace

bool IsSubkeyEntry(int dir, const char *name, unsigned char type) noexcept
{
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat st {};
    return fstatat(dir, name, &st, 0) == 0 && S_ISDIR(st.st_mode);  // follows a link, as opening would
}

int LoadKey(KeyNode *key) noexcept
{
    if (!key) {
        SetLastError(kErrInvalid);
        return 0;
    }
    RegPath path;
    if (!GetRegFullPath(key, path)) return 0;
    std::unique_ptr<LoadScratch> scratch(new (std::nothrow) LoadScratch);
    if (!scratch) return 0;
    return LoadKeyBelow(key, path, nullptr, *scratch) == Loaded::Done ? 1 : 0;
}

void ListDeferredKey(const KeyNode *deferred) noexcept
{
    // Keys are only ever made by NewKeyNode: none is a const object, whatever a reader's view of it.
    auto                        *key = const_cast<KeyNode *>(deferred);
    RegPath                      path;
    std::unique_ptr<LoadScratch> scratch(new (std::nothrow) LoadScratch);
    if (!scratch || !GetRegFullPath(key, path)) return;  // asked again next time
    key->listing_deferred = 0;
    // A directory gone or unreadable since start-up stays a key without subkeys: a client may hold its
    // handle, and this runs inside a lookup.
    (void)LoadKeyBelow(key, path, nullptr, *scratch);
}

bool ListDeferredKeys(std::size_t most) noexcept
{
    if (g_deferred.keys.empty()) return false;  // every pass asks: the usual answer costs nothing
    for (; most > 0 && g_deferred.next < g_deferred.keys.size(); --most) {
        if (const KeyNode *key = KeyOfIdentity(g_deferred.keys[g_deferred.next++])) FinishListing(key);
    }
    if (g_deferred.next < g_deferred.keys.size()) return true;
    DropDeferredListings();
    return false;
}

void DropDeferredListings() noexcept
{
    std::vector<uint64_t>().swap(g_deferred.keys);  // its memory too: a million keys queue 8 MB
    g_deferred.next = 0;
}

void SetLocalMachineRoot(const char *directory) noexcept
{
    // An empty root name would make the root's path "//", the file system's own root: keep the old one.
    if (!directory || !*directory || strnlen(directory, kKeyNameSize) >= kKeyNameSize) return;
    CopyName(local_machine.path, directory);
}
