// key_info.h: what RegQueryInfoKey answered, kept while the kernel guarantees that the daemon learns of
// every change to what the answer was read from, so asking again about a key of 100,000 subkeys reads
// nothing but the kernel's queue and one stat.
//
// An answer depends on the key's directory (its entries, their times, the value files' headers) and on
// its subkeys' directory times. It is kept only when all of those directories are watched (watch.h)
// before they are read, no value entry is a link or has a second name (a write through another name is
// reported to that name's directory only), and every figure was read without a failure. Every change
// reaches it through the feed (feed.h): the daemon's own move it on where the change alone tells the new
// figure (a value written or removed, a subkey added or removed, a directory time moving on); everything
// else, and every change another program makes, forgets the answer of the key and of its parent (which
// holds the key's directory time). Before a kept answer is used, the kernel's queue is read and the
// key's path is checked to lead to the directory it was read from (an ancestor renamed or replaced by
// another program is reported to no watch).
#pragma once

#include "registry/key_tree.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>

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
    // The key's directory as its path led when the answer was read.
    dev_t device = 0;
    ino_t inode = 0;

    // Both value maxima travel in one word: the longest name above, the largest size (low 16 bits) below.
    [[nodiscard]] uint32_t Packed() const noexcept
    {
        return (longest_value_name << 16) + (static_cast<uint32_t>(largest) & 0xFFFFu);
    }
};

// The key's kept answer, still true at this moment; nullptr when none is.
[[nodiscard]] const KeyInfo *KeptKeyInfo(const KeyNode *key) noexcept;
// Whether an answer about key is kept, without asking the kernel: the store reads an entry's state
// before its change only then.
[[nodiscard]] bool HasKeptKeyInfo(const KeyNode *key) noexcept;
// Called before an answer about key is read, its subkeys listed: watches the directories it will be read
// from and fills info's device and inode. False when the answer may not be kept.
[[nodiscard]] bool PrepareKeeping(KeyNode *key, KeyInfo &info) noexcept;
// Keeps an answer just read from disk (nothing when memory runs out).
void KeepKeyInfo(const KeyNode *key, const KeyInfo &info) noexcept;
// Has the kept answers follow the change feed; loading does, once.
void SubscribeKeyInfo() noexcept;
