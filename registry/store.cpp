// store.cpp: every change the daemon makes under the registry's roots, each reported once on the feed
// (store.h). A change of a key's directory is reported by the kernel to the watch on that directory
// during the system call itself, so reading the queue right after it, passing over the entry just
// changed, leaves the feed exactly one report of it: this one.
#include "registry/store.h"

#include "common/identity.h"
#include "registry/feed.h"
#include "registry/key_info.h"
#include "registry/removal.h"
#include "registry/tree_internal.h"
#include "registry/watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Writes the whole buffer; 0, or the error that stopped it (a write that takes nothing counts as a full disk).
int WriteAll(int fd, const char *buffer, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = write(fd, buffer, count);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        if (put == 0) return ENOSPC;
        buffer += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

// A new, empty file at path (relative to at) that nothing else has open; one a crash left there is replaced.
UniqueFd CreateNewFile(int at, const char *path)
{
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd      file(openat(at, path, kFlags, 0666));
    if (!file && errno == EEXIST && unlinkat(at, path, 0) == 0) file.reset(openat(at, path, kFlags, 0666));
    return file;
}

// Writes count bytes whole to a new file from (relative to from_dir) and renames it to to (relative to
// to_dir). 0 when done; -1 when the file could not be created; otherwise the errno of the write, close
// or rename that failed, with the new file removed.
int PlaceNewFile(int from_dir, const char *from, int to_dir, const char *to, const char *bytes, std::size_t count)
{
    UniqueFd file(CreateNewFile(from_dir, from));
    if (!file) return -1;
    int error = WriteAll(file.get(), bytes, count);
    if (close(file.release()) != 0 && error == 0) error = errno;
    if (error == 0 && renameat(from_dir, from, to_dir, to) != 0) error = errno;
    if (error != 0) unlinkat(from_dir, from, 0);
    return error;
}

// The last component of a path: the entry a change made in its directory.
std::string_view EntryOf(const char *path)
{
    const std::string_view whole(path);
    return whole.substr(whole.find_last_of('/') + 1);
}

void Publish(ChangeKind kind, KeyNode *key, const KeyNode *child = nullptr)
{
    Change change{kind, key, child};
    PublishChange(change);
}

// Whether a key's directory, given by its full path, is a symbolic link.
bool IsLinkedKey(const RegPath &path)
{
    RegPath link = path;
    TruncatePath(link, path.length - 2);  // without the closing "//", lstat sees the link itself
    struct stat st {};
    return lstat(link.text, &st) == 0 && S_ISLNK(st.st_mode);
}

// Takes a key's directory (its full path, closing "//" included) out of the tree on disk at once: renamed
// into the directory above its root under kDeletedPrefix, then removed there by an "rm -rf" that runs on
// while the server goes on serving. False when the rename can't be done (another file system, a mount
// point): the caller removes it in place. ran is false when rm could not be started; the directory is
// then back where it was.
bool RemoveInBackground(const KeyNode *key, const RegPath &path, bool &ran)
{
    ran = true;
    RegPath aside;
    char    number[24];
    std::snprintf(number, sizeof number, "%llx", static_cast<unsigned long long>(NewIdentity()));
    if (path.length < 2 || !DirectoryAboveRoot(key, aside) || !AppendPath(aside, kDeletedPrefix) ||
        !AppendPath(aside, number)) {
        return false;
    }
    RegPath from = path;
    TruncatePath(from, path.length - 2);  // without the closing "//", rename moves the entry itself
    if (rename(from.text, aside.text) != 0) return false;
    // rm could not be started: the key is put back, so a removal that can't be run leaves it whole. Should
    // even that fail, it stays aside, out of the tree, and the next run removes it.
    if (!StartRemove(aside.text)) ran = rename(aside.text, from.text) != 0;
    return true;
}

}  // namespace

int WriteThenRename(const KeyNode *key, const char *path, uint32_t type, const char *data, uint32_t size) noexcept
{
    // The new value is written whole to a file of its own and renamed over its ValueFile: a crash at any
    // moment, or a full file system, leaves the old value or the new one, never a part of either.
    RegPath target;
    if (!path || !ValueWriteTarget(path, target)) return -1;
    char bytes[2 * sizeof(uint32_t) + kMaxValueData];
    std::memcpy(bytes, &type, sizeof type);
    std::memcpy(bytes + sizeof type, &size, sizeof size);
    if (size)
        std::memcpy(bytes + 2 * sizeof(uint32_t), data, size);
    else
        bytes[2 * sizeof(uint32_t)] = '\0';  // an empty value is written as one zero byte
    const std::size_t count = 2 * sizeof(uint32_t) + (size ? size : 1);

    // The new file is made in the directory above the key's root, a small one, and moved into the key's
    // directory by the rename: a key of many subkeys or values then has one entry replaced per write,
    // where a new file beside the value added an entry to its large directory and removed it again.
    // Where that file can't be made, or the rename would cross into another file system (a key on a
    // mount of its own), the file is made beside the value instead.
    RegPath aside;
    if (key && DirectoryAboveRoot(key, aside) && AppendPath(aside, kNewValueName)) {
        const int placed = PlaceNewFile(AT_FDCWD, aside.text, AT_FDCWD, target.text, bytes, count);
        if (placed != -1 && placed != EXDEV) return placed;
    }

    const std::size_t directory = std::string_view(target.text, target.length).find_last_of('/') + 1;
    RegPath           temp = target;
    TruncatePath(temp, directory);
    // Near the path length limit the name beside the value may not fit where the value's own name does:
    // then both are named from the key's directory.
    UniqueFd    at;  // the key's directory, opened only when the path beside the value would be too long
    const char *temp_name = temp.text, *target_name = target.text;
    if (!AppendPath(temp, kNewValueName)) {
        at.reset(open(temp.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!at) return -1;
        temp_name = kNewValueName.data();  // a literal: terminated
        target_name = target.text + directory;
    }
    const int base = at ? at.get() : AT_FDCWD;
    return PlaceNewFile(base, temp_name, base, target_name, bytes, count);
}

int StoreValue(KeyNode *key, const char *name, const char *path, uint32_t type, const char *data, uint32_t size,
               int &fired) noexcept
{
    // A kept answer moves on with the write, from the entry's state before it, once it has taken in
    // whatever other programs did before.
    if (HasKeptKeyInfo(key)) DrainChanges();
    Change change{ChangeKind::ValueWritten, key};
    change.name = name;
    if (path && HasKeptKeyInfo(key)) change.before = ReadValueEntry(path);
    const int written = WriteThenRename(key, path, type, data, size);
    if (path) DrainChanges(key, EntryOf(path), kNewValueName);
    if (written < 0) {
        Publish(ChangeKind::DirectoryChanged, key);  // it may have made and removed its new file
        return written;
    }
    if (written == 0 && change.before) change.after = ReadValueEntry(path);
    PublishChange(change);
    fired = change.fired;
    return written;
}

void RemoveValue(KeyNode *key, const char *name, const char *path) noexcept
{
    if (HasKeptKeyInfo(key)) DrainChanges();
    Change change{ChangeKind::ValueRemoved, key};
    change.name = name;
    if (HasKeptKeyInfo(key)) change.before = ReadValueEntry(path);
    // What "rm -f" would do, without a child to wait for inside the loop: the entry goes whatever it is but
    // a directory, and an entry that is not there, or is a directory, is no failure.
    (void)unlink(path);
    DrainChanges(key, EntryOf(path));
    if (change.before) change.after = ReadValueEntry(path);
    PublishChange(change);
}

KeyNode *CreateKey(KeyNode *parent, const RegPath &path, const char *leaf, bool &made) noexcept
{
    made = mkdir(path.text, 0777) == 0 || (errno == EEXIST && DirectoryStat(path.text));
    DrainChanges(parent, leaf);
    if (!made) return nullptr;
    KeyNode *node = AddKeyNode(parent, leaf);
    if (!node) {
        Publish(ChangeKind::DirectoryChanged, parent);
        return nullptr;
    }
    Publish(ChangeKind::SubkeyAdded, parent, node);
    return node;
}

bool DeleteKeyTree(KeyNode *node, RegPath &path) noexcept
{
    // The key's own watch would report its directory moved or removed: that is this change.
    DropWatch(node);
    const bool have_path = GetRegFullPath(node, path);
    bool       ran = have_path;
    if (have_path && IsLinkedKey(path)) {
        // A key that is a symbolic link is removed as the link: through the closing "//" rm would empty the
        // directory it points to, another key's or one outside the registry, and leave the link in place.
        TruncatePath(path, path.length - 2);
        (void)unlink(path.text);  // as rm -rf does with a link: the link goes, whatever it points to
    } else if (have_path && !RemoveInBackground(node, path, ran)) {
        ran = RunRemove("-rf", path.text);  // where the directory can't be moved aside, it is removed in place
    }
    DrainChanges(node->parent, KeyName(node));
    if (!ran) {  // the key stays, unwatched now: nothing may be kept that relied on its watch
        Publish(ChangeKind::DirectoryChanged, node);
        Publish(ChangeKind::DirectoryChanged, node->parent);
        return false;
    }
    // Whatever rm reported, the key leaves the tree; a directory it could not remove is loaded again at start-up.
    Publish(ChangeKind::SubkeyRemoved, node->parent, node);
    RetireKeyTree(node);  // what is not freed at once is freed over the next passes of the loop
    return true;
}

void RemoveCrashLeftover(KeyNode *key, int dir) noexcept
{
    unlinkat(dir, kNewValueName.data(), 0);  // a write that a crash cut short; the old value is intact
    DrainChanges(key, kNewValueName);
    Publish(ChangeKind::DirectoryChanged, key);
}
