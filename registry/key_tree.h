// key_tree.h: the in-memory key tree, its two roots, key handles, name rules and the paths built from them.
//
// Every key is a directory and every value a file "V_" + name inside it. Nothing a client sends may make
// a path leave the directory of the key it addresses, so the rules that keep paths inside live here:
// key nodes never carry "", ".", ".." or a "/" as their name, value names never carry a "/", and every
// path is built in a fixed buffer that refuses, rather than truncates, what does not fit.
#pragma once

#include "common/unique.h"
#include "registry/registry.h"
#include "sync/sync.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

inline constexpr std::size_t kKeyNameSize = 512; // KeyNode::name: room for a root's directory path
inline constexpr std::size_t kNameField = 256;   // names on the wire; a field without a NUL is refused
inline constexpr std::size_t kMaxPath = 4096;    // every path built here, its NUL included
inline constexpr uint64_t kClassRootHandle = 1;
inline constexpr uint64_t kLocalMachineHandle = 2;

struct KeyNode {
    char name[kKeyNameSize];    // own name, also its directory's name; a root holds its directory path
    KeyNode *parent;            // nullptr for a root
    KeyNode *first_child;       // keys created since start-up first, newest first; then byte order
    KeyNode *next_sibling;      // next subkey of the same parent
    ObjectRecord *notify_event; // the registration's event (not owned; may be gone); nullptr when none
    uint32_t watch_subtree;     // as registered; only 1 lets writes below this key fire it
    uint64_t identity;          // the KeyHandle clients receive: the node's own address
};

extern KeyNode class_root;          // HKEY_CLASS_ROOT, handle 1
extern KeyNode local_machine;       // HKEY_LOCAL_MACHINE, handle 2
extern KeyNode *HKEY_CLASS_ROOT;    // &class_root
extern KeyNode *HKEY_LOCAL_MACHINE; // &local_machine

// A path under construction. Appending refuses what does not fit and leaves the path as it was.
struct RegPath {
    char text[kMaxPath] = {}; // always NUL-terminated
    std::size_t length = 0;   // characters before the NUL
};
[[nodiscard]] bool AppendPath(RegPath &path, std::string_view part) noexcept;
// Cuts the path back to an earlier length.
void TruncatePath(RegPath &path, std::size_t length) noexcept;

// Key handles 1 and 2 become the identities of the roots; every other value is left as it is.
void ConvertKey(uint64_t *key) noexcept;
[[nodiscard]] int IsKeyExist(uint64_t key) noexcept;
[[nodiscard]] int VerifyKey(const KeyNode *node, uint64_t key) noexcept;
// ConvertKey and IsKeyExist together: the node a client's handle names, or nullptr with last error 2.
[[nodiscard]] KeyNode *ResolveKey(uint64_t key) noexcept;

// Upper-cases ASCII letters in place; bytes of 0x80 and above stay as they are.
void UpperCase(char *text) noexcept;
// Backslashes become "/", then UpperCase. Nothing happens for nullptr.
void ConvertSubKey(char *text) noexcept;

// The key's directory: the root's path, then "//" + name for each key down to this one, then "//".
[[nodiscard]] bool GetRegFullPath(const KeyNode *key, RegPath &out) noexcept;
// The path of the value file "V_" + name in the key's directory. False for a name that holds a "/" (it
// would lead out of the key's own directory) and for a path that does not fit.
[[nodiscard]] bool ValueFilePath(const KeyNode *key, const char *name, RegPath &out) noexcept;

// The key that a normalised relative path names below from; nullptr for an empty path or no match.
KeyNode *FindKey(KeyNode *from, std::string_view path) noexcept;
// FindKey with the path length limit; sets last error 2 when nothing is found (nothing for no path).
KeyNode *IsSubKeyExist(KeyNode *from, const char *path) noexcept;

// A new key named name, linked at the head of parent's subkeys; nullptr when memory runs out.
KeyNode *AddKeyNode(KeyNode *parent, std::string_view name) noexcept;
// "", "." and "..": as a key's name they would address its parent's directory or an ancestor's.
[[nodiscard]] bool IsDotName(std::string_view name) noexcept;

int LoadKey(KeyNode *key) noexcept;
void FreeChildOfKey(KeyNode *key) noexcept;

// Opens path as a directory (a symbolic link to one counts) and describes it; nullopt when it is none.
[[nodiscard]] std::optional<struct stat> DirectoryStat(const char *path) noexcept;

// Runs /bin/rm with one option and path as its single literal argument, never through a shell, and waits
// for it. False only when it could not be run; whatever rm itself reports counts as done.
[[nodiscard]] bool RunRemove(const char *option, const char *path) noexcept;

// How a key's directory entry is shown as a value name: without a leading "V_" when anything follows it.
[[nodiscard]] std::string_view ShownName(const char *entry) noexcept;

// Visits, in the order the directory returns them, the entries of a key's directory that are not
// directories: visit(entry name, entry path) returns false to stop. False when the directory can't be opened.
template <class Visit> bool ForEachValueEntry(const RegPath &directory, Visit &&visit) noexcept
{
    UniqueDir dir(opendir(directory.text));
    if (!dir) return false;
    RegPath entry_path = directory;
    while (const dirent *entry = readdir(dir.get())) { // a read error ends the walk like the end of the list
        if (IsDotName(entry->d_name)) continue;
        TruncatePath(entry_path, directory.length);
        if (!AppendPath(entry_path, entry->d_name) || DirectoryStat(entry_path.text)) continue;
        if (!visit(entry->d_name, entry_path)) break;
    }
    return true;
}

// Ends a registration that nothing will fire any more. A parked synchronous request is answered with 0
// and its internal event deleted; a client's own event is left alone. The registration is cleared.
void RetireRegistration(KeyNode *key) noexcept;

// A key's registration as the live view shows it: on an internal event (a parked synchronous request, or
// one whose connection is gone), on a client's event that still exists, or on one that has been closed.
enum class RegistrationKind { None, Synchronous, Event, EventGone };
struct RegistrationView {
    RegistrationKind kind; // what the key holds
    uint64_t event;        // the client's handle for Event; 0 otherwise
};
[[nodiscard]] RegistrationView ViewRegistration(const KeyNode &key) noexcept;

// Visits every loaded key below both roots, each before its subkeys, without recursion (trees are deep).
template <class Visit> void ForEachKey(Visit &&visit) noexcept
{
    for (const KeyNode *root : {HKEY_CLASS_ROOT, HKEY_LOCAL_MACHINE}) {
        const KeyNode *node = root->first_child;
        while (node) {
            visit(*node);
            if (node->first_child) {
                node = node->first_child;
                continue;
            }
            while (node && !node->next_sibling) node = node->parent == root ? nullptr : node->parent;
            if (node) node = node->next_sibling;
        }
    }
}
