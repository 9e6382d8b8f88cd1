// value_files.cpp: a value's file on disk: opening it for reading, its state, and where a write must
// land. The write itself is the store's (store.cpp).
//
// A ValueFile may be a symbolic link; it is followed only when it stays inside the directory above
// the roots, so no value name reaches a file outside the registry.
#include "registry/key_tree.h"

#include "registry/tree_internal.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

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

std::optional<ValueEntry> ReadValueEntry(const char *path) noexcept
{
    struct stat st {};
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? std::optional<ValueEntry>(ValueEntry{false, 0, 0}) : std::nullopt;
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    const UniqueFd file(OpenValueFile(path));
    uint32_t       header[2] = {};
    if (!file || read(file.get(), header, sizeof header) != static_cast<ssize_t>(sizeof header)) return std::nullopt;
    return ValueEntry{true, static_cast<int32_t>(header[1]), st.st_mtime};
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
