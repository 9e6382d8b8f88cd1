// key_tree.h: the in-memory key tree, its two roots, key handles, name rules and the paths built from them.
//
// Every key is a directory and every value a file "V_" + name inside it. Nothing a client sends may make
// a path leave the directory of the key it addresses, so the rules that keep paths inside live here:
// key nodes never carry "", ".", ".." or a "/" as their name, value names never carry a "/", and every
// path is built in a fixed buffer that refuses, rather than truncates, what does not fit.
//
// Nothing on disk may stop the server either: directories are listed by entry type, and a value is
// opened only once it is known to be a regular file (or a link to one that stays inside the registry).
#pragma once

#include "common/unique.h"
#include "registry/registry.h"
#include "sync/sync.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kKeyNameSize = 512;  // a root's directory path, its NUL included
inline constexpr std::size_t kNameField = 256;    // names on the wire; a field without a NUL is refused
inline constexpr std::size_t kMaxPath = 4096;     // every path built here, its NUL included
inline constexpr uint64_t    kClassRootHandle = 1;
inline constexpr uint64_t    kLocalMachineHandle = 2;
// A value being written goes to this file in its key's directory first and is renamed over the ValueFile
// once it is whole. No ValueFile can carry the name ("V_" starts them all); enumeration, the information
// query and loading pass it over, and loading removes one a crash left behind.
inline constexpr std::string_view kNewValueName = ".KSTntserver.new";
inline constexpr uint32_t         kMaxValueData = 508;  // value bytes at most: 509 and more are refused
// A deleted key's directory is renamed to this prefix + a number in the directory above the roots, where
// no loading looks, and removed from there in the background; the next run removes any a crash left behind.
inline constexpr std::string_view kDeletedPrefix = ".KSTntserver.deleted.";
// A time not known: an entry that was not there, or whose time was not read (key_info.cpp).
inline constexpr int64_t kTimeUnknown = INT64_MIN;

// A key. Its name follows the record in the same allocation (KeyName), so a key costs its record, its
// name and its two index links. Identities come from NewIdentity, so a deleted key's word is never
// handed out again.
struct KeyNode {
    KeyNode *parent;           // nullptr for a root
    KeyNode *first_child;      // keys created since start-up first, newest first; then byte order
    KeyNode *next_sibling;     // next subkey of the same parent
    KeyNode *prev_sibling;     // nullptr for the first child: a key leaves its list without a walk
    KeyNode *identity_next;    // next key in the same bucket of the identity index
    KeyNode *name_next;        // next key in the same bucket of the (parent, name) index
    uint64_t identity;         // the KeyHandle clients receive; never 0, 1 or 2, never reused
    uint64_t notify_event;     // the registration's event, as the object table knows it; 0 when none
    uint32_t watch_subtree;    // as registered; only 1 lets writes below this key fire it
    int32_t  watch;            // the kernel's watch on its directory (watch.h); 0 for none
    uint8_t  notify_internal;  // 1 when the event was made for a synchronous registration
    // 1 while the directory, which had no subdirectories at start-up, has not been listed: its links to
    // directories (subkeys too) and a crash's leftover are read when its subkeys are first asked for.
    mutable uint8_t listing_deferred;
};

// A root: its name, the directory path, follows its record as a key's name does.
struct RootKey {
    KeyNode node;                // the root's record
    char    path[kKeyNameSize];  // its directory, NUL-terminated
};
static_assert(offsetof(RootKey, path) == sizeof(KeyNode), "a root's name must follow its record");

// The key's own name, also its directory's name; a root's directory path.
[[nodiscard]] inline const char *KeyName(const KeyNode *key) noexcept
{
    return reinterpret_cast<const char *>(key + 1);
}

extern RootKey  class_root;          // HKEY_CLASS_ROOT, handle 1
extern RootKey  local_machine;       // HKEY_LOCAL_MACHINE, handle 2
extern KeyNode *HKEY_CLASS_ROOT;     // &class_root
extern KeyNode *HKEY_LOCAL_MACHINE;  // &local_machine

// A path under construction. Appending refuses what does not fit and leaves the path as it was.
struct RegPath {
    char        text[kMaxPath] = {};  // always NUL-terminated
    std::size_t length = 0;           // characters before the NUL
};
[[nodiscard]] bool AppendPath(RegPath &path, std::string_view part) noexcept;
// Cuts the path back to an earlier length.
void TruncatePath(RegPath &path, std::size_t length) noexcept;

// Key handles 1 and 2 become the identities of the roots; every other value is left as it is.
void              ConvertKey(uint64_t *key) noexcept;
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
// Unlinks a key from its parent's list and frees it with everything below it.
void RemoveKeyNode(KeyNode *key) noexcept;
// How many keys of deleted subtrees are freed in one go: at most a few milliseconds even where each key's
// first write after the fork costs a page fault, so a deletion of any size holds other clients no longer.
inline constexpr std::size_t kKeysFreedPerPass = 256;
// Takes a key out of the tree at once, with everything below it: no lookup, handle or enumeration finds
// it or its subkeys from here on. Its leaving is published at once (KeyLeaving, feed.h: its registration
// is answered with the delete); the records are freed kKeysFreedPerPass now and as many each time
// FreeRetiredKeys is called, each key's leaving published as it goes.
void RetireKeyTree(KeyNode *key) noexcept;
// Frees the next kKeysFreedPerPass keys of retired subtrees; whether any are still left to free.
bool FreeRetiredKeys() noexcept;
// The key whose identity is word, roots included; nullptr for none.
[[nodiscard]] KeyNode *KeyOfIdentity(uint64_t word) noexcept;
// The subkey at position index in parent's list; nullptr past its end.
[[nodiscard]] const KeyNode *NthChild(const KeyNode *parent, uint32_t index) noexcept;
// "", "." and "..": as a key's name they would address its parent's directory or an ancestor's.
[[nodiscard]] bool IsDotName(std::string_view name) noexcept;

int LoadKey(KeyNode *key) noexcept;
// Who lists a key whose listing start-up deferred (listing_deferred): loading hands itself down here, so
// the tree calls nothing above it.
void SetDeferredLister(void (*list)(const KeyNode *key) noexcept) noexcept;
extern void (*g_list_deferred)(const KeyNode *key) noexcept;
// Called before anything looks at a key's subkeys: lists its directory first if that was deferred.
inline void FinishListing(const KeyNode *key) noexcept
{
    if (key->listing_deferred && g_list_deferred) g_list_deferred(key);
}
// The modification time of key's directory, read now (stat of its full path); nullopt when stat fails.
[[nodiscard]] std::optional<time_t> DirectoryModifiedAt(const KeyNode *key) noexcept;
void                                FreeChildOfKey(KeyNode *key) noexcept;

// Opens path as a directory (a symbolic link to one counts) and describes it; nullopt when it is none.
[[nodiscard]] std::optional<struct stat> DirectoryStat(const char *path) noexcept;

// How a key's directory entry is shown as a value name: without a leading "V_" when anything follows it.
[[nodiscard]] std::string_view ShownName(const char *entry) noexcept;

// Whether a directory entry is a subkey: a directory, or a symbolic link to one. dir is the directory's
// descriptor; the entry's type from the listing spares a stat for everything but links.
[[nodiscard]] bool IsSubkeyEntry(int dir, const char *name, unsigned char type) noexcept;

// Visits, in the order the directory returns them, the entries of a key's directory that are not
// directories: visit(entry name, entry path) returns false to stop. False when the directory can't be opened.
template <class Visit> bool ForEachValueEntry(const RegPath &directory, Visit &&visit) noexcept
{
    UniqueDir dir(opendir(directory.text));
    if (!dir) return false;
    RegPath entry_path = directory;
    while (const dirent *entry = readdir(dir.get())) {  // a read error ends the walk like the end of the list
        if (IsDotName(entry->d_name) || entry->d_name == kNewValueName) continue;
        if (IsSubkeyEntry(dirfd(dir.get()), entry->d_name, entry->d_type)) continue;
        TruncatePath(entry_path, directory.length);
        if (!AppendPath(entry_path, entry->d_name)) continue;
        if (!visit(entry->d_name, entry_path)) break;
    }
    return true;
}

// Opens a ValueFile for reading without ever blocking: a fifo, socket or device, or a symbolic link whose
// target leaves the registry, is refused as a file that can't be opened. -1 then.
[[nodiscard]] int OpenValueFile(const char *path) noexcept;
// A value entry as the kept answers (key_info.h) follow it: whether it is there, the size its header
// stores and its modification time.
struct ValueEntry {
    bool    present;
    int32_t stored;
    int64_t modified;
};
// The entry at path: missing, or a regular file with a whole header; nullopt for anything else.
[[nodiscard]] std::optional<ValueEntry> ReadValueEntry(const char *path) noexcept;
// Where a write of the ValueFile at path must land: path itself when it is a regular file or missing,
// the file a symbolic link names when that stays inside the registry. False for anything else.
[[nodiscard]] bool ValueWriteTarget(const char *path, RegPath &target) noexcept;
// Ends a registration that nothing will fire any more. A parked synchronous request is answered with 0
// and its internal event deleted; a client's own event is left alone. The registration is cleared.
void RetireRegistration(KeyNode *key) noexcept;
// Has the registrations follow the change feed (values.cpp); loading does, once.
void SubscribeRegistrations() noexcept;
// How many descendants' directories a registration that watches its subtree has watched, at most.
inline constexpr std::size_t kSubtreeWatches = 4096;

// A key's registration as the live view shows it: on an internal event (a parked synchronous request, or
// one whose connection is gone), on a client's event that still exists, or on one that has been closed.
enum class RegistrationKind { None, Synchronous, Event, EventGone };
struct RegistrationView {
    RegistrationKind kind;   // what the key holds
    uint64_t         event;  // the client's handle for Event; 0 otherwise
};
[[nodiscard]] RegistrationView ViewRegistration(const KeyNode &key) noexcept;

// What the admin view shows of the tree, copied at the moment of the request (snapshot.cpp).
struct RegistrationSnapshot {
    std::string      key;            // "HKEY_LOCAL_MACHINE\A\B": the root's name, then each key down
    uint32_t         watch_subtree;  // as registered
    RegistrationKind kind;           // never None
    uint64_t         event;          // the client's handle for Event; 0 otherwise
};
struct TreeSnapshot {
    uint64_t                          keys;           // loaded keys below both roots
    std::vector<RegistrationSnapshot> registrations;  // in tree order, each key before its subkeys
};
// May throw std::bad_alloc.
[[nodiscard]] TreeSnapshot SnapshotTree();

// Visits every loaded key below both roots, each before its subkeys, without recursion (trees are deep).
template <class Visit> void ForEachKey(Visit &&visit)
{
    for (const KeyNode *root : {HKEY_CLASS_ROOT, HKEY_LOCAL_MACHINE}) {
        const KeyNode *node = root->first_child;
        while (node) {
            visit(*node);
            if (node->first_child) {
                node = node->first_child;
                continue;
            }
            while (node && !node->next_sibling)
                node = node->parent == root ? nullptr : node->parent;
            if (node) node = node->next_sibling;
        }
    }
}
