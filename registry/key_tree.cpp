// key_tree.cpp: the key tree read from disk at start-up, key handles, name normalisation, paths and lookup.
//
// KeyNodes belong to the tree: a node is owned by its parent's child list from AddKeyNode until
// FreeChildOfKey (unloading, or deleting its parent) or RegDeleteKey frees it. The two roots are static.
#include "registry/key_tree.h"

#include "rpc/dispatch.h"

#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>

#include <cerrno>
#include <new>

namespace {

// Fills a root at compile time; its identity, the node's address, is set when the registry is loaded.
constexpr KeyNode MakeRoot(std::string_view directory)
{
    KeyNode root{};
    for (std::size_t i = 0; i < directory.size() && i + 1 < kKeyNameSize; ++i)
        root.name[i] = directory[i];
    return root;
}

// The directories from a root down to the one being loaded. A symbolic link that leads back to one of
// them would make loading endless (and, with two such links, exponential), so it is not followed.
struct LoadTrail {
    dev_t device;        // st_dev of the directory
    ino_t inode;         // st_ino of the directory
    const LoadTrail *up; // the parent's entry; nullptr at the root
};

bool OnTrail(const LoadTrail *trail, const struct stat &dir)
{
    for (; trail; trail = trail->up) {
        if (trail->device == dir.st_dev && trail->inode == dir.st_ino) return true;
    }
    return false;
}

// Loads the subkeys of key, whose full path is in path; path is the same buffer at every depth, so a deep
// tree costs no more stack than its listings.
int LoadKeyBelow(KeyNode *key, RegPath &path, const LoadTrail *up)
{
    const auto self = DirectoryStat(path.text);
    if (!self) return 0;
    const LoadTrail here{self->st_dev, self->st_ino, up};
    dirent **names = nullptr;
    const int count = scandir(path.text, &names, nullptr, alphasort);
    const ScandirList list(names, count);
    const std::size_t own = path.length;
    // Last to first, each at the head: the children end up in ascending byte order.
    for (int i = list.size() - 1; i >= 0; --i) {
        const char *entry = list[i]->d_name;
        TruncatePath(path, own);
        if (IsDotName(entry) || !AppendPath(path, entry)) continue;
        const auto dir = DirectoryStat(path.text);
        // A key whose full path, "//" included, does not fit could never be used: it is not loaded.
        if (!dir || OnTrail(&here, *dir) || !AppendPath(path, "//")) continue;
        KeyNode *child = AddKeyNode(key, entry);
        if (!child) {
            TruncatePath(path, own);
            return 0;
        }
        LoadKeyBelow(child, path, &here);
    }
    TruncatePath(path, own);
    return 1;
}

bool AppendKeyPath(const KeyNode *key, RegPath &out)
{
    return (!key->parent || AppendKeyPath(key->parent, out)) && AppendPath(out, key->name) && AppendPath(out, "//");
}

// ASCII case-insensitive: the process never sets a locale.
bool SameName(const char *name, std::string_view component)
{
    return strnlen(name, kKeyNameSize) == component.size() &&
           strncasecmp(name, component.data(), component.size()) == 0;
}

} // namespace

constinit KeyNode class_root = MakeRoot(kClassRootDir);
constinit KeyNode local_machine = MakeRoot(kLocalMachineDir);
KeyNode *HKEY_CLASS_ROOT = &class_root;
KeyNode *HKEY_LOCAL_MACHINE = &local_machine;

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
        *key = class_root.identity;
    else if (*key == kLocalMachineHandle)
        *key = local_machine.identity;
}

int IsKeyExist(uint64_t key) noexcept
{
    if (key == 0) return 0;
    return VerifyKey(&local_machine, key) || VerifyKey(&class_root, key);
}

int VerifyKey(const KeyNode *node, uint64_t key) noexcept
{
    if (!node) return 0;
    if (node->identity == key) return 1;
    for (const KeyNode *child = node->first_child; child; child = child->next_sibling) {
        if (VerifyKey(child, key)) return 1;
    }
    return 0;
}

KeyNode *ResolveKey(uint64_t key) noexcept
{
    ConvertKey(&key);
    if (!IsKeyExist(key)) {
        SetLastError(kErrNotFound);
        return nullptr;
    }
    return reinterpret_cast<KeyNode *>(key); // the identity is the address; safe only after the lookup above
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
        const std::size_t end = path.find('/');
        const std::string_view component = path.substr(0, end);
        KeyNode *child = key->first_child;
        while (child && !SameName(child->name, component))
            child = child->next_sibling;
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
    auto *node = new (std::nothrow) KeyNode{};
    if (!node) return nullptr;
    CopyName(node->name, name);
    node->parent = parent;
    node->identity = reinterpret_cast<uint64_t>(node);
    node->next_sibling = parent->first_child;
    parent->first_child = node; // the parent's list owns it from now on
    return node;
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
    return LoadKeyBelow(key, path, nullptr);
}

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
        delete child;
        child = next;
    }
    key->first_child = nullptr;
}

void SetLocalMachineRoot(const char *directory) noexcept
{
    // An empty root name would make the root's path "//", the file system's own root: keep the old one.
    if (!directory || !*directory || strnlen(directory, kKeyNameSize) >= kKeyNameSize) return;
    CopyName(local_machine.name, directory);
}

void LoadRegistry() noexcept
{
    class_root.identity = reinterpret_cast<uint64_t>(&class_root);
    local_machine.identity = reinterpret_cast<uint64_t>(&local_machine);
    LoadKey(&class_root);
    LoadKey(&local_machine);
}

void UnLoadRegistry() noexcept
{
    FreeChildOfKey(&class_root);
    FreeChildOfKey(&local_machine);
}

std::optional<struct stat> DirectoryStat(const char *path) noexcept
{
    UniqueDir dir(opendir(path));
    struct stat st {};
    if (!dir || fstat(dirfd(dir.get()), &st) != 0) return std::nullopt;
    return st;
}

bool RunRemove(const char *option, const char *path) noexcept
{
    char *argv[] = {const_cast<char *>("/bin/rm"), const_cast<char *>(option), const_cast<char *>(path), nullptr};
    char *envp[] = {nullptr}; // rm needs nothing from the daemon's environment
    pid_t pid = 0;
    // posix_spawn reports a failed exec itself, so "could not be run" is exactly its failure.
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp) != 0) return false;
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
