// key_info.h: what RegQueryInfoKey and RegEnumKeyEx answered, kept until the daemon changes the directories
// the answer was read from, so asking again about a key of 100,000 subkeys reads nothing from disk.
//
// An answer is read from disk once and kept; every figure in it stays exactly what a fresh read would give
// while nothing but the daemon writes the registry. The daemon's own changes update a kept answer in place
// where the change alone tells the new figure: a value written or removed, a subkey added or removed, a
// directory time moving on. Where it can't (the entry that held a maximum goes or shrinks, a state could not
// be read), the answer is forgotten and read again when next asked. A key's answer depends on its
// directory (its entries, their times, the value files' sizes) and on its subkeys' directory times, so a
// change to a key's directory also reaches its parent's answer. Loading turns keeping off for good when it
// meets a symbolic link or an entry of no type: through a link one directory can be changed as another
// key's, and no change could say which answers it touched.
#pragma once

#include "registry/key_tree.h"

#include <cstdint>
#include <optional>
#include <string_view>

// RegQueryInfoKey's figures.
struct KeyInfo {
    uint32_t subkeys = 0;             // number of subkeys
    uint32_t longest_subkey = 0;      // longest subkey name
    uint32_t values = 0;              // number of value entries
    uint32_t longest_value_name = 0;  // longest shown value name
    int32_t  largest = 0;             // largest stored size of a value; sizes compare as signed
    int64_t  last_write = 0;          // newest subkey directory or value entry; 0 for none
    // Every value entry is "V_" + its shown name as a value call spells it, so removing a value removes
    // exactly the entry that was read for it.
    bool only_value_files = true;

    // Both value maxima travel in one word: the longest name above, the largest size (low 16 bits) below.
    [[nodiscard]] uint32_t Packed() const noexcept
    {
        return (longest_value_name << 16) + (static_cast<uint32_t>(largest) & 0xFFFFu);
    }
};

// Loading met an entry through which one key's directory may be another's: nothing is kept from now on.
void StopKeepingKeyInfo() noexcept;
// The key's kept answer; nullptr when none is kept.
[[nodiscard]] const KeyInfo *KeptKeyInfo(uint64_t identity) noexcept;
// Keeps an answer just read from disk (nothing when keeping is off or memory runs out).
void KeepKeyInfo(uint64_t identity, const KeyInfo &info) noexcept;
// A key leaves the tree: its kept answer goes with it.
void ForgetKeyInfo(uint64_t identity) noexcept;
// The daemon changed key's directory in a way nothing here follows (or a change failed half-way): the
// key's answer and directory time are forgotten, and its parent's answer with them.
void KeyDirectoryChanged(const KeyNode *key) noexcept;
// The value entry name (as a value call spells it) of key was written or removed: before and after are
// its states around the change, nullopt where they could not be read. Only a kept answer needs them.
void ValueEntryChanged(const KeyNode *key, std::string_view name, const std::optional<ValueEntry> &before,
                       const std::optional<ValueEntry> &after) noexcept;
// child, a new key in the tree, is a subkey of parent now; its directory is made.
void SubkeyAdded(const KeyNode *parent, const KeyNode *child) noexcept;
// child's directory has left parent's; child is still in the tree.
void SubkeyRemoved(const KeyNode *parent, const KeyNode *child) noexcept;
// A directory's modification time as loading read it (fstat of the directory it listed).
void KeepModifiedAt(const KeyNode *key, time_t modified) noexcept;
// The modification time of key's directory: kept, or read by stat (and kept); nullopt when stat fails.
[[nodiscard]] std::optional<time_t> KeyModifiedAt(const KeyNode *key) noexcept;
