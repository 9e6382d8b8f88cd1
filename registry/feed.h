// feed.h: the registry's one change feed. Every change to what the registry's directories hold, whoever
// made it, is published here once: the daemon's own by the store (store.cpp) as it makes them, a key
// record leaving the tree by the tree (key_tree.cpp), other programs' by the watches (watch.cpp) as the
// kernel reports them. What keeps or acts on the disk's state subscribes once, when the registry is
// loaded (registry.cpp): the watches themselves, the kept answers (key_info.cpp) and the registrations
// (values.cpp). A new kind of change is a new ChangeKind, which every subscriber's switch must name.
#pragma once

#include "registry/key_tree.h"

#include <optional>
#include <string_view>

enum class ChangeKind {
    ValueWritten,      // a value file of key was written whole (by anyone): name is the value's name
    ValueRemoved,      // the daemon removed the value file of name (or found none to remove)
    SubkeyAdded,       // child, a new key, is key's subkey now, its directory made
    SubkeyRemoved,     // child's directory has left key's; child is still in the tree
    DirectoryChanged,  // key's directory changed in a way no more exact change tells
    KeyLeaving,        // key leaves the tree (deleted, gone from disk at loading, or unloaded)
    Forgotten,         // the kernel lost count of other programs' changes: anything may have changed
};

struct Change {
    ChangeKind       kind;
    KeyNode         *key = nullptr;    // the key whose directory changed; nullptr for Forgotten
    const KeyNode   *child = nullptr;  // SubkeyAdded, SubkeyRemoved
    std::string_view name{};           // ValueWritten, ValueRemoved: the value name as a value call spells it
    bool             foreign = false;  // made by another program, as the kernel reported it
    // The daemon's own value changes: the entry's state before and after, nullopt where it was not read
    // (nobody kept an answer that needed it, or it could not be read).
    std::optional<ValueEntry> before{}, after{};
    // What the registrations fired: the last SetEvent's result; 1 when nothing was signalled.
    int fired = 1;
};

using ChangeSubscriber = void (*)(Change &change) noexcept;

// Adds a subscriber; each is called for every change, in the order they subscribed.
void SubscribeChanges(ChangeSubscriber subscriber) noexcept;
// Hands change to every subscriber.
void PublishChange(Change &change) noexcept;
// Unloading: the subscribers are dropped, and nothing published from here on reaches anyone.
void CloseChangeFeed() noexcept;
