// key_tree.cpp: the key tree read from disk at start-up, key handles, name normalisation, paths and lookup.
//
// KeyNodes belong to the tree: a node is owned by its parent's child list from AddKeyNode (or loading)
// until FreeChildOfKey (unloading, or deleting its parent) or RemoveKeyNode frees it. The two roots are
// static. Two indexes, by identity and by parent and name, hold every live key and no other: a key
// enters both when it is linked and leaves both just before it is freed.
#include "registry/key_tree.h"

#include "rpc/dispatch.h"

#include "common/identity.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

// Fills a root at compile time; its identity is drawn when the registry is loaded.
constexpr RootKey MakeRoot(std::string_view directory)
{
    RootKey root{};
    for (std::size_t i = 0; i < directory.size() && i + 1 < kKeyNameSize; ++i)
        root.path[i] = directory[i];
    return root;
}

// A chained hash index over keys. A key goes to the head of its chain, and growing keeps the order of
// each chain, so among keys with the same index word the first in its chain is the newest.
struct KeyIndex {
    KeyNode   **buckets = nullptr;   // heap array of mask + 1 chain heads; nullptr until the first key
    std::size_t mask = 0;            // bucket count - 1, the count a power of two
    std::size_t count = 0;           // keys indexed
    KeyNode    *fallback = nullptr;  // the one chain used while no bucket array could be allocated
};

// What the tree keeps beside its nodes. Every key by identity (roots included), and every non-root key by
// parent and upper-cased name: each key validation and each step of a lookup costs one chain, whatever the
// size of the tree. Deleted keys' directories being removed in the background, reaped by later calls.
struct KeyTreeState {
    KeyIndex              by_identity;        // chained through identity_next
    KeyIndex              by_name;            // chained through name_next
    std::array<pid_t, 32> removals;           // rm processes still running; 0 for a free slot
    std::size_t           removals_running;   // slots in use
    bool                  leftovers_pending;  // directories a crash left aside are still to be removed
    const KeyNode        *cursor_parent;      // the key whose subkeys were last enumerated; nullptr after any change
    const KeyNode        *cursor_child;       // the subkey found there last, at cursor_index
    uint32_t              cursor_index;       // its position in the list
};
KeyTreeState state{};

// Identities count up in their low bits: a multiply spreads neighbours over the buckets.
uint64_t IdentityWordHash(uint64_t word)
{
    return (word * 0x9E3779B97F4A7C15ULL) >> 20;
}

uint64_t IdentityHash(const KeyNode *key)
{
    return IdentityWordHash(key->identity);
}

// FNV-1a over the upper-cased name, seeded with the parent's identity: names that differ only in case land
// in one chain, where the list order decides.
uint64_t NameHash(const KeyNode *parent, std::string_view name)
{
    uint64_t hash = 0xcbf29ce484222325ULL ^ (parent->identity * 0x9E3779B97F4A7C15ULL);
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        hash *= 0x100000001b3ULL;
    }
    return hash ^ (hash >> 29);
}

uint64_t NameHashOf(const KeyNode *key)
{
    return NameHash(key->parent, KeyName(key));
}

KeyNode **Chain(KeyIndex &index, uint64_t hash)
{
    return &index.buckets[hash & index.mask];
}

// Doubles the buckets when the keys outnumber them. Each old chain splits into two new ones in its own
// order. Without memory the index keeps its size: chains grow longer, lookups stay right.
template <KeyNode *KeyNode::*Link> void Grow(KeyIndex &index, uint64_t (*hash)(const KeyNode *))
{
    if (index.buckets && index.count <= index.mask) return;
    const std::size_t old_size = index.buckets ? index.mask + 1 : 0;
    const std::size_t new_size = old_size ? old_size * 2 : 256;
    auto            **buckets = new (std::nothrow) KeyNode *[new_size]();
    if (!buckets) return;
    for (std::size_t i = 0; i < old_size; ++i) {
        KeyNode **tails[2] = {&buckets[i], &buckets[i + old_size]};
        for (KeyNode *key = index.buckets[i]; key;) {
            KeyNode   *next = key->*Link;
            KeyNode **&tail = tails[(hash(key) & (new_size - 1)) == i ? 0 : 1];
            key->*Link = nullptr;
            *tail = key;
            tail = &(key->*Link);
            key = next;
        }
    }
    if (index.buckets != &index.fallback) delete[] index.buckets;
    index.buckets = buckets;
    index.mask = new_size - 1;
}

template <KeyNode *KeyNode::*Link> void Insert(KeyIndex &index, KeyNode *key, uint64_t (*hash)(const KeyNode *))
{
    Grow<Link>(index, hash);
    if (!index.buckets) {  // no memory for even the first buckets: one chain, kept in the index itself
        index.buckets = &index.fallback;
        index.mask = 0;
    }
    KeyNode **head = Chain(index, hash(key));
    key->*Link = *head;
    *head = key;
    ++index.count;
}

template <KeyNode *KeyNode::*Link> void Erase(KeyIndex &index, KeyNode *key, uint64_t (*hash)(const KeyNode *))
{
    for (KeyNode **link = Chain(index, hash(key)); *link; link = &((*link)->*Link)) {
        if (*link == key) {
            *link = key->*Link;
            --index.count;
            return;
        }
    }
}

// The directories from a root down to the one being loaded. A symbolic link that leads back to one of
// them would make loading endless (and, with two such links, exponential), so it is not followed.
struct LoadTrail {
    dev_t            device;  // st_dev of the directory
    ino_t            inode;   // st_ino of the directory
    const LoadTrail *up;      // the parent's entry; nullptr at the root
};

bool OnTrail(const LoadTrail *trail, const struct stat &dir)
{
    for (; trail; trail = trail->up) {
        if (trail->device == dir.st_dev && trail->inode == dir.st_ino) return true;
    }
    return false;
}

// A key record with its name behind it, not yet linked anywhere; nullptr when memory runs out.
KeyNode *NewKeyNode(std::string_view name)
{
    void *memory = ::operator new(sizeof(KeyNode) + name.size() + 1, std::nothrow);
    if (!memory) return nullptr;
    auto *node = new (memory) KeyNode{};
    char *text = reinterpret_cast<char *>(node + 1);
    std::memcpy(text, name.data(), name.size());
    text[name.size()] = '\0';
    node->identity = NewIdentity();
    return node;
}

// Takes a key out of both indexes and frees its record; its parent must still be in place.
void DestroyKeyNode(KeyNode *key)
{
    state.cursor_parent = nullptr;
    Erase<&KeyNode::name_next>(state.by_name, key, NameHashOf);
    Erase<&KeyNode::identity_next>(state.by_identity, key, IdentityHash);
    key->~KeyNode();
    ::operator delete(key);
}

// Byte order, as alphasort gives it in the POSIX locale.
KeyNode *MergeByName(KeyNode *a, KeyNode *b)
{
    KeyNode  *head = nullptr;
    KeyNode **tail = &head;
    while (a && b) {
        KeyNode *&smaller = std::strcmp(KeyName(a), KeyName(b)) <= 0 ? a : b;
        *tail = smaller;
        tail = &smaller->next_sibling;
        smaller = smaller->next_sibling;
    }
    *tail = a ? a : b;
    return head;
}

// Sorts a list linked through next_sibling; bottom-up, so neither recursion nor memory grows with it.
KeyNode *SortByName(KeyNode *list)
{
    std::array<KeyNode *, 64> runs{};  // runs[i] holds 2^i keys or none
    while (list) {
        KeyNode *one = list;
        list = list->next_sibling;
        one->next_sibling = nullptr;
        std::size_t i = 0;
        for (; i < runs.size() && runs[i]; ++i) {
            one = MergeByName(runs[i], one);
            runs[i] = nullptr;
        }
        runs[i == runs.size() ? i - 1 : i] = one;
    }
    KeyNode *sorted = nullptr;
    for (KeyNode *run : runs) {
        if (run) sorted = MergeByName(run, sorted);
    }
    return sorted;
}

// Room for one read of a directory's entries; the same buffer serves every level, since a level has read
// all of its entries before it loads the first subkey.
struct LoadScratch {
    alignas(alignof(dirent64)) char entries[32768];  // getdents64 records
};

// The outcome of loading one directory.
enum class Loaded { Done, OutOfMemory, NotAKey };

// Loads the subkeys of key, whose full path is in path; path is the same buffer at every depth. Each
// directory is opened once and listed once; an entry's type from the listing decides what is a subkey,
// and only symbolic links (and file systems that give no type) cost a stat.
Loaded LoadKeyBelow(KeyNode *key, RegPath &path, const LoadTrail *up, LoadScratch &scratch)
{
    UniqueFd    dir(open(path.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    struct stat self {};
    if (!dir || fstat(dir.get(), &self) != 0 || OnTrail(up, self)) return Loaded::NotAKey;
    const LoadTrail   here{self.st_dev, self.st_ino, up};
    const std::size_t own = path.length;
    KeyNode          *found = nullptr;  // unsorted, through next_sibling
    bool              out_of_memory = false;
    ssize_t           got = 0;
    while (!out_of_memory && (got = getdents64(dir.get(), scratch.entries, sizeof scratch.entries)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(scratch.entries + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (IsDotName(name)) continue;
            if (entry->d_type == DT_REG && name == kNewValueName) {
                unlinkat(dir.get(), name, 0);  // a write that a crash cut short; the old value is intact
                continue;
            }
            if (!IsSubkeyEntry(dir.get(), name, entry->d_type)) continue;
            // A key whose full path, "//" included, does not fit could never be used: it is not loaded.
            const std::size_t length = std::strlen(name);
            if (length + 2 >= kMaxPath - own) continue;
            KeyNode *child = NewKeyNode({name, length});
            if (!child) {
                out_of_memory = true;
                break;
            }
            child->next_sibling = found;
            found = child;
        }
    }
    dir.reset();
    if (!found) return out_of_memory ? Loaded::OutOfMemory : Loaded::Done;

    // Loaded keys come first in byte order, ahead of any the key had; the index takes them last to first,
    // so among case-twins the first in its chain is the first in the list.
    KeyNode *first = SortByName(found);
    KeyNode *last = first;
    first->prev_sibling = nullptr;
    for (KeyNode *k = first; k; k = k->next_sibling) {
        k->parent = key;
        if (k->next_sibling) k->next_sibling->prev_sibling = k;
        last = k;
    }
    state.cursor_parent = nullptr;
    last->next_sibling = key->first_child;
    if (key->first_child) key->first_child->prev_sibling = last;
    key->first_child = first;
    for (KeyNode *k = last;; k = k->prev_sibling) {
        Insert<&KeyNode::identity_next>(state.by_identity, k, IdentityHash);
        Insert<&KeyNode::name_next>(state.by_name, k, NameHashOf);
        if (k == first) break;
    }

    KeyNode *stop = last->next_sibling;
    for (KeyNode *child = first; child != stop;) {
        KeyNode *next = child->next_sibling;
        TruncatePath(path, own);
        if (!AppendPath(path, KeyName(child)) || !AppendPath(path, "//") ||
            LoadKeyBelow(child, path, &here, scratch) == Loaded::NotAKey) {
            RemoveKeyNode(child);  // gone since it was listed, unreadable, or a link back up the trail
        }
        child = next;
    }
    TruncatePath(path, own);
    return out_of_memory ? Loaded::OutOfMemory : Loaded::Done;
}

bool AppendKeyPath(const KeyNode *key, RegPath &out)
{
    return (!key->parent || AppendKeyPath(key->parent, out)) && AppendPath(out, KeyName(key)) && AppendPath(out, "//");
}

// ASCII case-insensitive: the process never sets a locale.
bool SameName(const char *name, std::string_view component)
{
    return strnlen(name, kKeyNameSize) == component.size() &&
           strncasecmp(name, component.data(), component.size()) == 0;
}

// The first subkey of parent, in list order, whose name equals component ignoring ASCII case.
KeyNode *FindChild(KeyNode *parent, std::string_view component)
{
    if (!state.by_name.buckets) return nullptr;
    for (KeyNode *key = *Chain(state.by_name, NameHash(parent, component)); key; key = key->name_next) {
        if (key->parent == parent && SameName(KeyName(key), component)) return key;
    }
    return nullptr;
}

// The directory that holds the root of key: where deleted keys wait for their removal.
bool DirectoryAboveRoot(const KeyNode *key, RegPath &out)
{
    while (key->parent)
        key = key->parent;
    const std::string_view root = KeyName(key);
    const std::size_t      slash = root.find_last_of('/');
    TruncatePath(out, 0);
    return slash != std::string_view::npos && slash > 0 && AppendPath(out, root.substr(0, slash + 1));
}

// Starts /bin/rm with one option and path as its single literal argument, never through a shell. It gets
// none of the server's descriptors: a removal that runs on must not hold the listening socket or a
// connection open. posix_spawn reports a failed exec itself, so false means exactly "could not be run".
bool SpawnRemove(const char *option, const char *path, pid_t *pid)
{
    char *argv[] = {const_cast<char *>("/bin/rm"), const_cast<char *>(option), const_cast<char *>(path), nullptr};
    char *envp[] = {nullptr};  // rm needs nothing from the daemon's environment
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    const bool started = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                         posix_spawn(pid, argv[0], &actions, nullptr, argv, envp) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

// Starts "rm -rf path" without waiting for it; false when it could not be started.
bool StartRemove(const char *path)
{
    ReapRemovals();
    auto slot = std::find(state.removals.begin(), state.removals.end(), 0);
    if (slot == state.removals.end()) {  // every slot busy: wait for the oldest rather than lose track of one
        slot = state.removals.begin();
        while (waitpid(*slot, nullptr, 0) < 0 && errno == EINTR) {
        }
        *slot = 0;
        --state.removals_running;
    }
    pid_t pid = 0;
    if (!SpawnRemove("-rf", path, &pid)) return false;
    *slot = pid;
    ++state.removals_running;
    return true;
}

// Removes, in the background, deleted keys that a crash or a stop left in the directory above a root.
void RemoveLeftovers(const KeyNode *root)
{
    RegPath above;
    if (!DirectoryAboveRoot(root, above)) return;
    UniqueDir dir(opendir(above.text));
    if (!dir) return;
    const std::size_t own = above.length;
    while (const dirent *entry = readdir(dir.get())) {
        if (!std::string_view(entry->d_name).starts_with(kDeletedPrefix)) continue;
        TruncatePath(above, own);
        if (AppendPath(above, entry->d_name)) (void)StartRemove(above.text);
    }
}

// Whether path, a symbolic link, leads to a place inside the directory above either root; target gets
// the resolved path.
bool LinkStaysInside(const char *path, RegPath &target)
{
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) return false;
    const std::string_view real(resolved);
    for (const KeyNode *root : {&class_root.node, &local_machine.node}) {
        RegPath above;
        char    top[PATH_MAX];
        if (!DirectoryAboveRoot(root, above) || !realpath(above.text, top)) continue;
        const std::string_view inside(top);
        if (real.size() > inside.size() + 1 && real.starts_with(inside) && real[inside.size()] == '/') {
            TruncatePath(target, 0);
            return AppendPath(target, real);
        }
    }
    return false;
}

}  // namespace

constinit RootKey class_root = MakeRoot(kClassRootDir);
constinit RootKey local_machine = MakeRoot(kLocalMachineDir);
KeyNode          *HKEY_CLASS_ROOT = &class_root.node;
KeyNode          *HKEY_LOCAL_MACHINE = &local_machine.node;

bool AppendPath(RegPath &path, std::string_view part) noexcept
{
    if (part.size() >= kMaxPath - path.length) return false;
    std::memcpy(path.text + path.length, part.data(), part.size());
    path.length += part.size();
    path.text[path.length] = '\0';
    return true;
}

void TruncatePath(RegPath &path, std::size_t length) noexcept
{
    if (length >= path.length) return;
    path.length = length;
    path.text[length] = '\0';
}

void ConvertKey(uint64_t *key) noexcept
{
    if (*key == kClassRootHandle)
        *key = class_root.node.identity;
    else if (*key == kLocalMachineHandle)
        *key = local_machine.node.identity;
}

int IsKeyExist(uint64_t key) noexcept
{
    return KeyOfIdentity(key) != nullptr;
}

// Whether key names node or a key below it: the index finds the key, its parents lead up to node.
int VerifyKey(const KeyNode *node, uint64_t key) noexcept
{
    if (!node) return 0;
    for (const KeyNode *found = KeyOfIdentity(key); found; found = found->parent) {
        if (found == node) return 1;
    }
    return 0;
}

KeyNode *KeyOfIdentity(uint64_t word) noexcept
{
    if (word == 0 || !state.by_identity.buckets) return nullptr;
    for (KeyNode *key = *Chain(state.by_identity, IdentityWordHash(word)); key; key = key->identity_next) {
        if (key->identity == word) return key;
    }
    return nullptr;
}

KeyNode *ResolveKey(uint64_t key) noexcept
{
    // Background work rides on registry calls: a finished rm is reaped at the next one. Leftovers of an earlier
    // run are removed from the first call on, by the serving process itself, which can then reap them.
    if (state.leftovers_pending) {
        state.leftovers_pending = false;
        RemoveLeftovers(&class_root.node);
        RegPath first, second;
        if (!DirectoryAboveRoot(&class_root.node, first) || !DirectoryAboveRoot(&local_machine.node, second) ||
            std::strcmp(first.text, second.text) != 0) {
            RemoveLeftovers(&local_machine.node);
        }
    }
    if (state.removals_running > 0) ReapRemovals();
    ConvertKey(&key);
    KeyNode *node = KeyOfIdentity(key);
    if (!node) SetLastError(kErrNotFound);
    return node;
}

void UpperCase(char *text) noexcept
{
    for (; *text; ++text) {
        if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
    }
}

void ConvertSubKey(char *text) noexcept
{
    if (!text) return;
    for (char *c = text; *c; ++c) {
        if (*c == '\\') *c = '/';
    }
    UpperCase(text);
}

bool GetRegFullPath(const KeyNode *key, RegPath &out) noexcept
{
    if (!key) {
        SetLastError(kErrInvalid);
        return false;
    }
    TruncatePath(out, 0);
    return AppendKeyPath(key, out);
}

bool ValueFilePath(const KeyNode *key, const char *name, RegPath &out) noexcept
{
    return !std::strchr(name, '/') && GetRegFullPath(key, out) && AppendPath(out, "V_") && AppendPath(out, name);
}

// A leading separator is skipped like a doubled one, so "/A" names what "A" names; separators alone name
// nothing, as the empty path does, so no path names the starting key itself.
KeyNode *FindKey(KeyNode *from, std::string_view path) noexcept
{
    if (!from) {
        SetLastError(kErrInvalid);
        return nullptr;
    }
    KeyNode *key = from;
    for (;;) {
        const std::size_t start = path.find_first_not_of('/');
        if (start == std::string_view::npos) return key == from ? nullptr : key;
        path.remove_prefix(start);
        const std::size_t      end = path.find('/');
        const std::string_view component = path.substr(0, end);
        KeyNode               *child = FindChild(key, component);
        if (!child) return nullptr;
        key = child;
        if (end == std::string_view::npos) return key;
        path.remove_prefix(end);
    }
}

KeyNode *IsSubKeyExist(KeyNode *from, const char *path) noexcept
{
    if (!path) return nullptr;
    // Sub-key paths hold at most 255 characters; a longer one names no key.
    KeyNode *key = strnlen(path, kNameField) < kNameField ? FindKey(from, path) : nullptr;
    if (!key) SetLastError(kErrNotFound);
    return key;
}

KeyNode *AddKeyNode(KeyNode *parent, std::string_view name) noexcept
{
    KeyNode *node = NewKeyNode(name);
    if (!node) return nullptr;
    node->parent = parent;
    node->next_sibling = parent->first_child;
    if (node->next_sibling) node->next_sibling->prev_sibling = node;
    parent->first_child = node;  // the parent's list owns it from now on
    state.cursor_parent = nullptr;
    Insert<&KeyNode::identity_next>(state.by_identity, node, IdentityHash);
    Insert<&KeyNode::name_next>(state.by_name, node, NameHashOf);
    return node;
}

void RemoveKeyNode(KeyNode *key) noexcept
{
    if (key->prev_sibling)
        key->prev_sibling->next_sibling = key->next_sibling;
    else
        key->parent->first_child = key->next_sibling;
    if (key->next_sibling) key->next_sibling->prev_sibling = key->prev_sibling;
    FreeChildOfKey(key);
    DestroyKeyNode(key);
}

// Clients enumerate with index 0, 1, 2...: the next index continues from the last answer instead of walking
// the list again, so a whole enumeration costs one walk. Any change to any list drops the cursor.
const KeyNode *NthChild(const KeyNode *parent, uint32_t index) noexcept
{
    const KeyNode *child = parent->first_child;
    uint32_t       at = 0;
    if (state.cursor_parent == parent && state.cursor_index <= index) {
        child = state.cursor_child;
        at = state.cursor_index;
    }
    for (; child && at < index; ++at)
        child = child->next_sibling;
    state.cursor_parent = child ? parent : nullptr;
    state.cursor_child = child;
    state.cursor_index = index;
    return child;
}

bool IsDotName(std::string_view name) noexcept
{
    return name.empty() || name == "." || name == "..";
}

int LoadKey(KeyNode *key) noexcept
{
    if (!key) {
        SetLastError(kErrInvalid);
        return 0;
    }
    RegPath path;
    if (!GetRegFullPath(key, path)) return 0;
    std::unique_ptr<LoadScratch> scratch(new (std::nothrow) LoadScratch);
    if (!scratch) return 0;
    return LoadKeyBelow(key, path, nullptr, *scratch) == Loaded::Done ? 1 : 0;
}

// Children are freed in list order, each after its own subtree; each leaves both indexes on the way.
void FreeChildOfKey(KeyNode *key) noexcept
{
    if (!key) {
        SetLastError(kErrInvalid);
        return;
    }
    KeyNode *child = key->first_child;
    while (child) {
        KeyNode *next = child->next_sibling;
        FreeChildOfKey(child);
        DestroyKeyNode(child);
        child = next;
    }
    key->first_child = nullptr;
}

void SetLocalMachineRoot(const char *directory) noexcept
{
    // An empty root name would make the root's path "//", the file system's own root: keep the old one.
    if (!directory || !*directory || strnlen(directory, kKeyNameSize) >= kKeyNameSize) return;
    CopyName(local_machine.path, directory);
}

void LoadRegistry() noexcept
{
    for (KeyNode *root : {&class_root.node, &local_machine.node}) {
        if (root->identity == 0) {
            root->identity = NewIdentity();
            Insert<&KeyNode::identity_next>(state.by_identity, root, IdentityHash);
        }
    }
    state.leftovers_pending = true;
    LoadKey(&class_root.node);
    LoadKey(&local_machine.node);
}

void UnLoadRegistry() noexcept
{
    FreeChildOfKey(&class_root.node);
    FreeChildOfKey(&local_machine.node);
}

std::optional<struct stat> DirectoryStat(const char *path) noexcept
{
    UniqueDir   dir(opendir(path));
    struct stat st {};
    if (!dir || fstat(dirfd(dir.get()), &st) != 0) return std::nullopt;
    return st;
}

bool RunRemove(const char *option, const char *path) noexcept
{
    pid_t pid = 0;
    if (!SpawnRemove(option, path, &pid)) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) break;
    }
    return true;
}

std::string_view ShownName(const char *entry) noexcept
{
    std::string_view name(entry);
    if (name.size() >= 2 && name.starts_with("V_")) name.remove_prefix(2);
    return name;
}

bool IsSubkeyEntry(int dir, const char *name, unsigned char type) noexcept
{
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat st {};
    return fstatat(dir, name, &st, 0) == 0 && S_ISDIR(st.st_mode);  // follows a link, as opening would
}

bool RemoveInBackground(const KeyNode *key, const RegPath &path, bool *ran) noexcept
{
    *ran = true;
    RegPath aside;
    char    number[24];
    std::snprintf(number, sizeof number, "%llx", static_cast<unsigned long long>(NewIdentity()));
    if (path.length < 2 || !DirectoryAboveRoot(key, aside) || !AppendPath(aside, kDeletedPrefix) ||
        !AppendPath(aside, number)) {
        return false;
    }
    RegPath from = path;
    TruncatePath(from, path.length - 2);  // without the closing "//", rename moves the entry itself
    if (rename(from.text, aside.text) != 0) return false;
    // rm could not be started: the key is put back, so a removal that can't be run leaves it whole. Should
    // even that fail, it stays aside, out of the tree, and the next run removes it.
    if (!StartRemove(aside.text)) *ran = rename(aside.text, from.text) != 0;
    return true;
}

void ReapRemovals() noexcept
{
    for (pid_t &pid : state.removals) {
        if (pid == 0) continue;
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            pid = 0;
            --state.removals_running;
        }
    }
}

int OpenValueFile(const char *path) noexcept
{
    UniqueFd file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!file && errno == ELOOP) {
        RegPath target;
        if (LinkStaysInside(path, target))
            file.reset(open(target.text, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    }
    // A directory opens as a plain open would open it; reading it then fails like a file without a header.
    struct stat st {};
    if (!file || fstat(file.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return -1;
    return file.release();
}

bool ValueWriteTarget(const char *path, RegPath &target) noexcept
{
    struct stat st {};
    if (lstat(path, &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode)) {
        TruncatePath(target, 0);
        return AppendPath(target, path);
    }
    return S_ISLNK(st.st_mode) && LinkStaysInside(path, target) && stat(target.text, &st) == 0 && S_ISREG(st.st_mode);
}
