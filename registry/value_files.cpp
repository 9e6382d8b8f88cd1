// value_files.cpp: a value's file on disk: opening it for reading, where a write must land, and the
// write itself, whole beside the file and renamed over it.
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

// Writes the whole buffer; 0, or the error that stopped it (a write that takes nothing counts as a full disk).
int WriteAll(int fd, const char *buffer, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = write(fd, buffer, count);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        if (put == 0) return ENOSPC;
        buffer += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

// A new, empty file at path (relative to at) that nothing else has open; one a crash left there is replaced.
UniqueFd CreateNewFile(int at, const char *path)
{
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd      file(openat(at, path, kFlags, 0666));
    if (!file && errno == EEXIST && unlinkat(at, path, 0) == 0) file.reset(openat(at, path, kFlags, 0666));
    return file;
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

int ReplaceValueFile(const char *path, uint32_t type, const char *data, uint32_t size) noexcept
{
    // The new value is written whole to a file beside its ValueFile and renamed over it: a crash at any
    // moment, or a full file system, leaves the old value or the new one, never a part of either.
    RegPath           target, temp;
    const bool        placed = path && ValueWriteTarget(path, target);
    const std::size_t directory = std::string_view(target.text, target.length).find_last_of('/') + 1;
    temp = target;
    TruncatePath(temp, directory);
    // Near the path length limit the name beside the value may not fit where the value's own name does:
    // then both are named from the key's directory.
    UniqueFd    at;  // the key's directory, opened only when the path beside the value would be too long
    const char *temp_name = temp.text, *target_name = target.text;
    bool        ready = placed;
    if (placed && !AppendPath(temp, kNewValueName)) {
        at.reset(open(temp.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ready = static_cast<bool>(at);
        temp_name = kNewValueName.data();  // a literal: terminated
        target_name = target.text + directory;
    }
    const int base = at ? at.get() : AT_FDCWD;
    UniqueFd  file(ready ? CreateNewFile(base, temp_name) : UniqueFd());
    if (!file) return -1;
    char bytes[2 * sizeof(uint32_t) + kMaxValueData];
    std::memcpy(bytes, &type, sizeof type);
    std::memcpy(bytes + sizeof type, &size, sizeof size);
    if (size)
        std::memcpy(bytes + 2 * sizeof(uint32_t), data, size);
    else
        bytes[2 * sizeof(uint32_t)] = '\0';  // an empty value is written as one zero byte
    int error = WriteAll(file.get(), bytes, 2 * sizeof(uint32_t) + (size ? size : 1));
    if (close(file.release()) != 0 && error == 0) error = errno;
    if (error == 0 && renameat(base, temp_name, base, target_name) != 0) error = errno;
    if (error != 0) unlinkat(base, temp_name, 0);
    return error;
}
