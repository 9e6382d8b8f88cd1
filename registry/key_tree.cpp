// key_tree.cpp: the key tree and its two indexes, key handles, name normalisation, paths and lookup.
// Loading the tree from disk is load.cpp, value files value_files.cpp, background removal removal.cpp.
//
// KeyNodes belong to the tree: a node is owned by its parent's child list from AddKeyNode (or loading)
// until FreeChildOfKey (unloading, or deleting its parent) or RemoveKeyNode frees it. The two roots are
// static. Two indexes, by identity and by parent and name, hold every live key: a key enters both when it
// is linked and leaves both just before it is freed. The keys below a deleted key stay in them until they
// are freed, a batch a pass (RetireKeyTree); lookups by identity pass over them meanwhile.
#include "registry/key_tree.h"

#include "common/identity.h"
#include "registry/feed.h"
#include "registry/tree_internal.h"
#include "rpc/dispatch.h"
#include "sync/index.h"

#include <strings.h>

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

// The enumeration cursor: what the last enumeration found, so the next index goes on from there.
struct EnumCursor {
    const KeyNode *parent;  // the key whose subkeys were last enumerated; nullptr after any change
    const KeyNode *child;   // the subkey found there last, at index
    uint32_t       index;   // its position in the list
};
EnumCursor g_cursor{};

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

// Every key by identity (roots included), and every non-root key by parent and upper-cased name: each
// key validation and each step of a lookup costs one chain, whatever the size of the tree. Among
// case-twins, the first in a chain is the newest.
ChainIndex<KeyNode, &KeyNode::identity_next, IdentityHash> g_by_identity;
ChainIndex<KeyNode, &KeyNode::name_next, NameHashOf>       g_by_name;

}  // namespace

KeyNode *NewKeyNode(std::string_view name) noexcept
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

namespace {

// Subtrees that a deletion took out of the tree, chained through their roots' next_sibling. Their keys
// stay allocated and in both indexes until FreeRetiredKeys frees them a batch a pass: retiring and
// freeing 100,000 keys in the call held every other client for 150 to 230 ms. Each retired root is out
// of the indexes and has no parent, so a key below it leads up to no root and KeyOfIdentity refuses it.
KeyNode *g_retired = nullptr;

// Takes a key out of both indexes and tells the feed it leaves; its parent must still be in place, as
// the parent's identity seeds its name hash.
void Unindex(KeyNode *key)
{
    Change leaving{ChangeKind::KeyLeaving, key};
    PublishChange(leaving);
    g_by_name.Remove(key);
    g_by_identity.Remove(key);
}

void FreeRecord(KeyNode *key)
{
    key->~KeyNode();
    ::operator delete(key);
}

void UnindexAndFree(KeyNode *key)
{
    Unindex(key);
    FreeRecord(key);
}

void DestroyKeyNode(KeyNode *key)
{
    g_cursor.parent = nullptr;
    UnindexAndFree(key);
}

// Whether a key's parents lead up to a root: false for a key of a retired subtree.
bool LeadsToRoot(const KeyNode *key)
{
    while (key->parent)
        key = key->parent;
    return key == &class_root.node || key == &local_machine.node;
}

// Frees at most budget keys of the retired subtrees, leaves first, each leaving the indexes (and so
// published, its registration answered) on the way; whether any are left.
bool FreeRetiredKeysUpTo(std::size_t budget)
{
    for (; g_retired && budget > 0; --budget) {
        KeyNode *leaf = g_retired;
        while (leaf->first_child)
            leaf = leaf->first_child;
        if (leaf == g_retired) {
            g_retired = leaf->next_sibling;
            FreeRecord(leaf);  // out of the indexes since it was retired
            continue;
        }
        leaf->parent->first_child = leaf->next_sibling;  // a first child: no predecessor to relink
        if (leaf->next_sibling) leaf->next_sibling->prev_sibling = nullptr;
        UnindexAndFree(leaf);
    }
    return g_retired != nullptr;
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
    FinishListing(parent);
    return g_by_name.Find(NameHash(parent, component), [&](const KeyNode *key) {
        return key->parent == parent && SameName(KeyName(key), component);
    });
}

}  // namespace

bool DirectoryAboveRoot(const KeyNode *key, RegPath &out) noexcept
{
    while (key->parent)
        key = key->parent;
    const std::string_view root = KeyName(key);
    const std::size_t      slash = root.find_last_of('/');
    TruncatePath(out, 0);
    return slash != std::string_view::npos && slash > 0 && AppendPath(out, root.substr(0, slash + 1));
}

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
    if (word == 0) return nullptr;
    KeyNode *key = g_by_identity.Find(IdentityWordHash(word),
                                      [word](const KeyNode *candidate) { return candidate->identity == word; });
    // Only while a deleted subtree is being freed can a key in the index be out of the tree.
    return key && g_retired && !LeadsToRoot(key) ? nullptr : key;
}

KeyNode *ResolveKey(uint64_t key) noexcept
{
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
    g_cursor.parent = nullptr;
    g_by_identity.Add(node);
    g_by_name.Add(node);
    return node;
}

namespace {

void UnlinkFromParent(KeyNode *key)
{
    if (key->prev_sibling)
        key->prev_sibling->next_sibling = key->next_sibling;
    else
        key->parent->first_child = key->next_sibling;
    if (key->next_sibling) key->next_sibling->prev_sibling = key->prev_sibling;
}

}  // namespace

void RemoveKeyNode(KeyNode *key) noexcept
{
    UnlinkFromParent(key);
    FreeChildOfKey(key);
    DestroyKeyNode(key);
}

void RetireKeyTree(KeyNode *key) noexcept
{
    UnlinkFromParent(key);
    g_cursor.parent = nullptr;
    Unindex(key);  // the deleted key's own registration is answered with the delete, whatever the tree's size
    key->parent = nullptr;
    key->prev_sibling = nullptr;
    key->next_sibling = g_retired;
    g_retired = key;
    FreeRetiredKeysUpTo(kKeysFreedPerPass);
}

bool FreeRetiredKeys() noexcept
{
    return FreeRetiredKeysUpTo(kKeysFreedPerPass);
}

// Clients enumerate with index 0, 1, 2...: the next index continues from the last answer instead of walking
// the list again, so a whole enumeration costs one walk. Any change to any list drops the cursor.
const KeyNode *NthChild(const KeyNode *parent, uint32_t index) noexcept
{
    FinishListing(parent);
    const KeyNode *child = parent->first_child;
    uint32_t       at = 0;
    if (g_cursor.parent == parent && g_cursor.index <= index) {
        child = g_cursor.child;
        at = g_cursor.index;
    }
    for (; child && at < index; ++at)
        child = child->next_sibling;
    g_cursor = {child ? parent : nullptr, child, index};
    return child;
}

bool IsDotName(std::string_view name) noexcept
{
    return name.empty() || name == "." || name == "..";
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

void PrependLoadedKeys(KeyNode *parent, KeyNode *first) noexcept
{
    KeyNode *last = first;
    first->prev_sibling = nullptr;
    for (KeyNode *k = first; k; k = k->next_sibling) {
        k->parent = parent;
        if (k->next_sibling) k->next_sibling->prev_sibling = k;
        last = k;
    }
    g_cursor.parent = nullptr;
    last->next_sibling = parent->first_child;
    if (parent->first_child) parent->first_child->prev_sibling = last;
    parent->first_child = first;
    for (KeyNode *k = last;; k = k->prev_sibling) {
        g_by_identity.Add(k);
        g_by_name.Add(k);
        if (k == first) break;
    }
}

void IndexRoots() noexcept
{
    for (KeyNode *root : {&class_root.node, &local_machine.node}) {
        if (root->identity == 0) {
            root->identity = NewIdentity();
            g_by_identity.Add(root);
        }
    }
}

void FreeWholeTree() noexcept
{
    FreeRetiredKeysUpTo(SIZE_MAX);
    FreeChildOfKey(&class_root.node);
    FreeChildOfKey(&local_machine.node);
}

void (*g_list_deferred)(const KeyNode *key) noexcept = nullptr;

void SetDeferredLister(void (*list)(const KeyNode *key) noexcept) noexcept
{
    g_list_deferred = list;
}

std::optional<time_t> DirectoryModifiedAt(const KeyNode *key) noexcept
{
    RegPath     path;
    struct stat st {};
    if (!GetRegFullPath(key, path) || stat(path.text, &st) != 0) return std::nullopt;
    return st.st_mtime;
}

std::optional<struct stat> DirectoryStat(const char *path) noexcept
{
    UniqueDir   dir(opendir(path));
    struct stat st {};
    if (!dir || fstat(dirfd(dir.get()), &st) != 0) return std::nullopt;
    return st;
}

std::string_view ShownName(const char *entry) noexcept
{
    std::string_view name(entry);
    if (name.size() >= 2 && name.starts_with("V_")) name.remove_prefix(2);
    return name;
}
