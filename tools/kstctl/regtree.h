// regtree.h: reading keys and values from the daemon for query, export and compare.
#pragma once

#include "tools/kstctl/keypath.h"
#include "tools/kstctl/nt.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kstctl {

struct Value {
    std::string name;  // as the daemon shows it (upper case); empty for the unnamed value
    uint32_t    type;  // stored type
    std::string data;  // stored bytes
};

struct KeyContent {
    KeyPath                  path;     // full path, names as the daemon shows them
    std::vector<Value>       values;   // unnamed first, then by name in byte order
    std::vector<std::string> subkeys;  // by name in byte order
};

// Counts what a long walk has done, on stderr, only when stderr is a terminal.
class Progress {
public:
    explicit Progress(const char *verb);
    ~Progress() { Done(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void      Add(std::size_t keys, std::size_t values);
    void      Done();  // clears the line

private:
    const char *verb_;           // what the line starts with: "kstctl reg export"
    bool        shown_ = false;  // a line is on the terminal
    bool        enabled_;        // stderr is a terminal
    std::size_t keys_ = 0, values_ = 0;
    int64_t     last_ms_;  // when the line was last drawn, or the walk began
};

// Creates keys one after another, reusing the open keys of the previous path: a .reg file lists a key's
// subkeys after it, so most keys cost one call instead of one per level.
class KeyCursor {
public:
    // Opens key, creating every missing key on the way; the handle stays valid until the next call.
    LONG Create(const KeyPath &key, HKEY &out);
    // Forgets the open keys (after a delete, some may be gone).
    void Reset() { open_.clear(); }

private:
    KeyPath                path_;  // the keys open_ holds, from the root down
    std::vector<UniqueKey> open_;  // open_[i] is path_.parts[0..i]
};

// Replaces each key name of key by the daemon's own spelling of it (names match without regard to
// case, and the daemon takes the first match in its enumeration order).
LONG ResolveSpelling(KeyPath &key);
// One key's values and subkey names. Stray entries the daemon can't read as values are reported on
// stderr and left out.
LONG ReadKey(HKEY key, const KeyPath &path, KeyContent &out);
// top (spelled as the daemon spells it) and everything below it, top first, each key before its subkeys, subkeys in
// byte order.
LONG ReadTree(const KeyPath &top, std::vector<KeyContent> &out, Progress *progress);

}  // namespace kstctl
