// watch.h: the kernel's reports of other programs' changes to the registry's directories (inotify).
//
// A key's directory is watched while something needs to learn of other programs' changes to it: a kept
// answer about it or its parent (key_info.h), a registration on it or, for a registration that watches
// its subtree, on an ancestor (values.cpp). Each report becomes one change on the feed (feed.h). The
// daemon's own changes are published by the store as it makes them; the kernel reports them too, during
// the very system call that makes them, so the store reads the queue right after each of its changes and
// passes over the reports of the entry it changed (DrainChanges with own).
//
// Nothing is watched where the kernel cannot tell: a file system other than ext4, xfs, btrfs or tmpfs
// (network and overlay file systems report only what this host does, or nothing), a key directory
// reached through a symbolic link or another key's (one inode, one watch), a mount point. A queue that
// overflowed publishes Forgotten; a watch the kernel drops publishes a change of its directory.
#pragma once

#include "registry/key_tree.h"

#include <string_view>

// Opens the queue; -1 when it can't be had (then nothing is watched and nothing kept).
[[nodiscard]] int OpenChangeWatch() noexcept;
// Closes it and forgets every watch; unloading does.
void CloseChangeWatch() noexcept;
// Watches key's directory (or finds it watched); false when it can't be: see above, or the limit on
// watches (fs.inotify.max_user_watches less an eighth, at least 8,192, left to root's other programs;
// at most kMaxWatches) is reached.
[[nodiscard]] bool           WatchKeyDirectory(KeyNode *key) noexcept;
inline constexpr std::size_t kMaxWatches = 262144;
// Watches key's directory and each of its subkeys' (the subkeys' checked more cheaply, against key's);
// false when any of them can't be.
[[nodiscard]] bool WatchSubkeyDirectories(KeyNode *key) noexcept;
// Reads every report the kernel has queued and publishes each as a change by another program. With own,
// the reports about the entry own_name of own's directory are the daemon's own change, just made, and
// are passed over. Never waits.
void DrainChanges(const KeyNode *own = nullptr, std::string_view own_name = {},
                  std::string_view own_other = {}) noexcept;
// The loop's call when the queue is readable.
void ServeChangeWatch() noexcept;
// A key leaves the tree: its watch goes.
void DropWatch(KeyNode *key) noexcept;
// How many directories are watched.
[[nodiscard]] std::size_t WatchCount() noexcept;
