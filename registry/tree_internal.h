// tree_internal.h: what the tree (key_tree.cpp) gives the rest of registry/ and nothing else.
#pragma once

#include "registry/key_tree.h"

// A key record with its name behind it, not yet linked anywhere; nullptr when memory runs out.
[[nodiscard]] KeyNode *NewKeyNode(std::string_view name) noexcept;
// Links a list of new keys (through next_sibling, in order) in front of parent's subkeys and enters them
// in both indexes, last to first, so among case-twins the first in its chain is the first in the list.
void PrependLoadedKeys(KeyNode *parent, KeyNode *first) noexcept;
// Draws the roots' identities and indexes them, once.
void IndexRoots() noexcept;
// The directory that holds the root of key: where deleted keys wait for their removal.
[[nodiscard]] bool DirectoryAboveRoot(const KeyNode *key, RegPath &out) noexcept;
// Lists a key whose listing start-up deferred (listing_deferred); FinishListing calls it through the
// pointer the registry hands the tree at loading.
void ListDeferredKey(const KeyNode *key) noexcept;
// Lists the next `most` keys whose listing loading deferred, in load order; whether any are left.
bool ListDeferredKeys(std::size_t most) noexcept;
// How many of them LoadRegistry lists before the server answers (about 0.15 s where a system call costs
// a microsecond), and how many each pass of the loop lists after that.
inline constexpr std::size_t kListedBeforeServing = 16384;
inline constexpr std::size_t kListedPerPass = 256;
// Forgets the keys still waiting to be listed; unloading does.
void DropDeferredListings() noexcept;
// Frees every key below both roots, those of deleted subtrees still waiting included; unloading does,
// once the feed is closed, so no registration is answered at exit.
void FreeWholeTree() noexcept;
