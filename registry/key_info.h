// key_info.h: what RegQueryInfoKey and RegEnumKeyEx answered, kept until the daemon changes the directories
// the answer was read from, so asking again about a key of 100,000 subkeys reads nothing from disk.
//
// An answer is read from disk once and kept as read: every figure in it stays exactly what a fresh read
// would give while nothing but the daemon writes the registry. A key's answer depends on its directory
// (its entries, their times, the value files' sizes) and on its subkeys' directory times, so a change to
// a key's directory forgets the key's time, its answer and its parent's answer. Loading turns keeping off
// for good when it meets a symbolic link or an entry of no type: through a link one directory can be
// changed as another key's, and no change could say which answers it touched.
#pragma once

#include "registry/key_tree.h"

#include <cstdint>
#include <optional>

// RegQueryInfoKey's figures, as its reply carries them.
struct KeyInfo {
    uint32_t subkeys;         // number of subkeys
    uint32_t longest_subkey;  // longest subkey name
    uint32_t values;          // number of value entries
    uint32_t packed;          // longest shown value name << 16, plus the largest stored size's low 16 bits
    uint64_t last_write;      // newest subkey directory or value entry; 0 for none
};

// Loading met an entry through which one key's directory may be another's: nothing is kept from now on.
void StopKeepingKeyInfo() noexcept;
// The key's kept answer; nullptr when none is kept.
[[nodiscard]] const KeyInfo *KeptKeyInfo(uint64_t identity) noexcept;
// Keeps an answer just read from disk (nothing when keeping is off or memory runs out).
void KeepKeyInfo(uint64_t identity, const KeyInfo &info) noexcept;
// A key leaves the tree: its kept answer goes with it.
void ForgetKeyInfo(uint64_t identity) noexcept;
// The daemon has made, replaced or removed an entry of key's directory.
void KeyDirectoryChanged(const KeyNode *key) noexcept;
// A directory's modification time as loading read it (fstat of the directory it listed).
void KeepModifiedAt(const KeyNode *key, time_t modified) noexcept;
// The modification time of key's directory: kept, or read by stat (and kept); nullopt when stat fails.
[[nodiscard]] std::optional<time_t> KeyModifiedAt(const KeyNode *key) noexcept;
