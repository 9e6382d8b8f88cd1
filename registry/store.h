// store.h: the only code that creates, renames, removes or writes anything under the registry's roots.
//
// Each change is made, the kernel's reports of it passed over (watch.h), and the change published on the
// feed (feed.h), in that order, so that every part that keeps or acts on the disk's state learns of it
// exactly once, and by the same path as of other programs' changes.
#pragma once

#include "registry/key_tree.h"

#include <cstdint>

// Writes a value of key (its type, its size, then its bytes; an empty value as one zero byte) whole to a
// new file kNewValueName, in the directory above key's root or, where that can't serve, beside the
// ValueFile at path, and renames it over that file, or over the file a symbolic link there names inside
// the registry. 0 when done; -1 when the new file could not be created (path is nullptr, or names no
// place a value may be written, or the file system refuses it); otherwise the errno of the write, close
// or rename that failed, with the new file removed and the old value left.
[[nodiscard]] int WriteThenRename(const KeyNode *key, const char *path, uint32_t type, const char *data,
                                  uint32_t size) noexcept;

// Writes key's value name (normalised; path its ValueFile, nullptr when it has none) with WriteThenRename
// and publishes it: a write that got as far as its file counts as written, and its registrations fire.
// Returns what WriteThenRename returned; fired gets the registrations' result (1 when none signalled).
[[nodiscard]] int StoreValue(KeyNode *key, const char *name, const char *path, uint32_t type, const char *data,
                             uint32_t size, int &fired) noexcept;
// Removes key's value file at path (name: the value's name) as "rm -f" would, and publishes it. Nothing
// there, or a directory there, is no failure: a delete of a missing value succeeds.
void RemoveValue(KeyNode *key, const char *name, const char *path) noexcept;
// Makes the directory path (a new subkey leaf of parent; one made on disk since start-up is adopted) and
// links its key into the tree. nullptr with made false when the directory can't be made; with made true
// when memory ran out for the key (the directory stays, the next start-up loads it).
[[nodiscard]] KeyNode *CreateKey(KeyNode *parent, const RegPath &path, const char *leaf, bool &made) noexcept;
// Removes key's directory tree: aside and in the background where it can, else in place (a key that is a
// symbolic link as the link itself), then takes the key out of the tree whatever rm reported. False when
// rm could not be run: the tree is unchanged then. path gets the path the removal was given.
[[nodiscard]] bool DeleteKeyTree(KeyNode *key, RegPath &path) noexcept;
// A write that a crash cut short, found by loading in key's directory (dir): removed.
void RemoveCrashLeftover(KeyNode *key, int dir) noexcept;
