// key_ops.cpp: open, create, close, flush, delete, enumerate and query keys, and their RPC procedures.
//
// Only create (a new directory) and delete (the key's directory tree) change the disk, through the store.
// Traces print name fields as "%.256s": a field that lacks its NUL must not be read past its 256 bytes.
#include "registry/flush.h"
#include "registry/key_info.h"
#include "registry/operations.h"
#include "registry/store.h"

#include "rpc/services.h"
#include "trace/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace {

std::optional<time_t> ModifiedAt(const char *path)
{
    struct stat st {};
    if (stat(path, &st) != 0) return std::nullopt;
    return st.st_mtime;
}

template <class T> void Put(T *out, T value)
{
    if (out) *out = value;
}

}  // namespace

int RegOpenKeyEx(uint64_t key, char *sub_key, uint32_t, uint32_t, uint64_t *result) noexcept
{
    if (!result) {
        SetLastError(kErrInvalid);
        return 0;
    }
    KeyNode *from = ResolveKey(key);
    if (!from) return 0;
    ConvertSubKey(sub_key);
    const KeyNode *found = IsSubKeyExist(from, sub_key);
    *result = found ? found->identity : 0;
    SetLastError(0);  // a missing subkey is not an error here: the result 0 says it
    return 1;
}

int RegCreateKeyEx(uint64_t key, char *sub_key, uint32_t, char *, uint32_t, uint32_t, void *, uint64_t *result,
                   uint32_t *) noexcept
{
    if (!sub_key) {
        SetLastError(kErrInvalid);
        return 0;
    }
    KeyNode *parent = ResolveKey(key);
    if (!parent) return 0;
    if (!result) {
        SetLastError(kErrInvalid);
        return 0;
    }
    ConvertSubKey(sub_key);
    const char *leaf = sub_key;
    if (char *slash = std::strrchr(sub_key, '/')) {
        leaf = slash + 1;
        if (slash > sub_key) {
            if (slash[-1] == '/') --slash;  // one doubled separator is absorbed here, the lookup skips the rest
            *slash = '\0';                  // so the request's text, and its trace, show the parent part only
            // A parent part of separators alone names the key itself, as a leading separator does in lookups.
            if (std::strspn(sub_key, "/") != std::strlen(sub_key)) {
                uint64_t found = 0;
                RegOpenKeyEx(parent->identity, sub_key, 0, 0, &found);
                if (!found) {
                    SetLastError(kErrInvalid);  // intermediate keys are never created
                    return 0;
                }
                parent = KeyOfIdentity(found);
            }
        }
    }
    // An empty leaf ("", "A/") names the parent itself, as the lookup reads "A/": the create opens it.
    if (*leaf == '\0') {
        *result = parent->identity;
        SetLastError(0);
        return 1;
    }
    // "." and ".." name the parent's or an ancestor's directory: no key of that name can be created.
    if (IsDotName(leaf)) {
        SetLastError(kErrFileSystem);
        return 0;
    }
    if (const KeyNode *existing = IsSubKeyExist(parent, leaf)) {
        *result = existing->identity;
        SetLastError(0);
        return 1;
    }
    RegPath path;
    // The new key's own full path, its closing "//" included, must fit, or nothing could be done with it.
    if (!GetRegFullPath(parent, path) || !AppendPath(path, leaf) || path.length + 2 >= kMaxPath) {
        SetLastError(kErrFileSystem);
        return 0;
    }
    // A directory created on disk since start-up is adopted; anything else already there is refused.
    bool           made = false;
    const KeyNode *node = CreateKey(parent, path, leaf, made);
    if (!made) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "mkdir %s failed\n", path.text);
        SetLastError(kErrFileSystem);
        return 0;
    }
    if (!node) {
        SetLastError(kErrNoMemory);  // the directory stays; the next start-up loads it
        return 0;
    }
    *result = node->identity;
    SetLastError(0);
    return 1;
}

// Every change is in the file system when its call returns, so there is nothing to write back.
int RegCloseKey(uint64_t key) noexcept
{
    ConvertKey(&key);
    SetLastError(0);
    return 1;
}

// A value is renamed into place whole but without waiting for the disk: that survives the server's death,
// not the machine's. A flush is the client asking for the machine's too, so the key's value files and its
// directory reach the disk before the reply; the disk waiter waits for that while the call is parked, and
// the other clients are served meanwhile (flush.cpp). Any handle is answered 0: one that names no key has
// nothing to flush, and is answered at once. 1 when the call is parked, 0 when answered now.
int RegFlushKey(uint64_t key) noexcept
{
    ConvertKey(&key);
    RegPath        path;
    const KeyNode *node = KeyOfIdentity(key);
    const bool     parked = node && GetRegFullPath(node, path) && ParkFlush(path.text);
    SetLastError(0);
    return parked ? 1 : 0;
}

int RegDeleteKey(uint64_t key, char *sub_key) noexcept
{
    KeyNode *from = ResolveKey(key);
    if (!from) return 0;
    ConvertSubKey(sub_key);
    KeyNode *node = IsSubKeyExist(from, sub_key);  // never from itself: no path names the starting key
    if (!node) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "Sub key not exist\n");
        SetLastError(kErrNotFound);
        return 0;
    }
    RegPath path;
    if (!DeleteKeyTree(node, path)) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "can't remove path %s\n", path.text);
        SetLastError(kErrFileSystem);
        return 0;
    }
    SetLastError(0);
    return 1;
}

int RegEnumKeyEx(uint64_t key, uint32_t index, char (*name)[kNameField], uint32_t *, uint32_t *, char *, uint32_t *,
                 uint64_t *last_write) noexcept
{
    const KeyNode *node = ResolveKey(key);
    if (!node || !name || !last_write) {
        SetLastError(kErrNotFound);
        return 0;
    }
    const KeyNode *child = NthChild(node, index);
    if (!child) {
        SetLastError(kErrNotFound);
        return 0;
    }
    CopyName(*name, KeyName(child));
    const auto modified = DirectoryModifiedAt(child);
    if (!modified) {
        SetLastError(kErrNotFound);
        return 0;
    }
    *last_write = static_cast<uint64_t>(*modified);
    SetLastError(0);
    return 1;
}

namespace {

// Reads a key's answer from disk: the last-write time is the newest of the subkey directories and value
// entries (the key's own directory does not count), the largest data size is read from the ValueFile of
// each entry's shown name. False when the directory can't be listed; the subkey figures are read all the
// same. The answer is kept (key_info.h) only when every directory it is read from was watched before it
// was read, every figure came from disk without a failure (a failed lookup leaves its trace each time it
// is asked), and no value entry is a link or has another name.
bool ReadKeyInfo(KeyNode *node, KeyInfo &info)
{
    std::size_t longest = 0;
    time_t      newest = 0;
    FinishListing(node);
    bool keep = PrepareKeeping(node, info);
    for (const KeyNode *child = node->first_child; child; child = child->next_sibling) {
        ++info.subkeys;
        longest = std::max(longest, std::strlen(KeyName(child)));
        const auto modified = DirectoryModifiedAt(child);
        keep = keep && modified;
        if (modified) newest = std::max(newest, *modified);
    }
    info.longest_subkey = static_cast<uint32_t>(longest);
    info.last_write = newest;

    RegPath     path;
    uint32_t    entries = 0;
    std::size_t longest_name = 0;
    int32_t     largest = 0;  // stored sizes compare as signed
    const bool  listed =
        GetRegFullPath(node, path) && ForEachValueEntry(path, [&](const char *entry, const RegPath &entry_path) {
            ++entries;
            const std::string_view shown = ShownName(entry);
            longest_name = std::max(longest_name, shown.size());
            struct stat st {};
            const bool  own_file = lstat(entry_path.text, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
            const auto  modified = own_file ? std::optional<time_t>(st.st_mtime) : ModifiedAt(entry_path.text);
            if (modified) newest = std::max(newest, *modified);
            char value_name[kNameField];
            CopyName(value_name, shown);
            uint32_t   stored = 0;
            const bool read = RegQueryValueEx(node->identity, value_name, 0, nullptr, nullptr, &stored);
            if (read) largest = std::max(largest, static_cast<int32_t>(stored));
            // The query spelled the name as a value call does: the entry is that name's own file only if
            // spelling it changed nothing.
            info.only_value_files = info.only_value_files && shown.data() != entry && shown == value_name;
            keep = keep && own_file && read;
            return true;
        });
    if (!listed) return false;
    info.values = entries;
    info.last_write = newest;
    info.longest_value_name = static_cast<uint32_t>(longest_name);
    info.largest = largest;
    if (keep) KeepKeyInfo(node, info);
    return true;
}

}  // namespace

int RegQueryInfoKey(uint64_t key, char *, uint32_t *, uint32_t *, uint32_t *subkeys, uint32_t *longest_subkey,
                    uint32_t *, uint32_t *values, uint32_t *longest_value_name, uint32_t *longest_value_data,
                    uint32_t *, uint64_t *last_write) noexcept
{
    KeyNode *node = ResolveKey(key);
    if (!node) return 0;
    KeyInfo        info{};
    const KeyInfo *kept = KeptKeyInfo(node);
    const bool     read = kept || ReadKeyInfo(node, info);
    if (kept) info = *kept;
    Put(subkeys, info.subkeys);
    Put(longest_subkey, info.longest_subkey);
    Put(last_write, static_cast<uint64_t>(info.last_write));
    Put(values, info.values);
    Put(longest_value_data, 0u);
    Put(longest_value_name, info.Packed());  // last: a caller may pass one word for both value maxima
    if (!read) {
        SetLastError(kErrNotFound);
        return 0;
    }
    SetLastError(0);
    return 1;
}

uint64_t *reg_open_key_ex_rpc_1_svc(registry_open_struct *argp, svc_req *) noexcept
{
    uint64_t found = 0;
    RegOpenKeyEx(argp->arg1, NameArg(argp->name), 0, 0, &found);
    if (!found) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "open key %.256s failed\n", argp->name);
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "open key id = %ld, req=%p, name = %.256s\n", static_cast<long>(found),
             CallerForTrace(), argp->name);
    return &KeyOfIdentity(found)->identity;  // an identity just found in the tree
}

uint64_t *reg_close_key_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    RegCloseKey(*argp);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "close key called, id=%ld\n", static_cast<long>(*argp));
    return GetLastErrorAddress();
}

uint64_t *reg_flush_key_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    return RegFlushKey(*argp) ? nullptr : GetLastErrorAddress();  // parked: answered once on the disk
}

uint64_t *reg_delete_key_rpc_1_svc(registry_open_struct *argp, svc_req *) noexcept
{
    if (RegDeleteKey(argp->arg1, NameArg(argp->name))) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "delete key called, id=%ld, name=%.256s\n",
                 static_cast<long>(argp->arg1), argp->name);
    } else {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "delete key failed, name=%.256s\n", argp->name);
    }
    return GetLastErrorAddress();
}

uint64_t *reg_create_key_ex_rpc_1_svc(registry_open_struct *argp, svc_req *) noexcept
{
    uint64_t key = 0;
    if (!RegCreateKeyEx(argp->arg1, NameArg(argp->name), 0, nullptr, 0, 0, nullptr, &key, nullptr)) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "create key failed %.256s\n", argp->name);
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "create key id = %ld, req=%p, name=%.256s\n", static_cast<long>(key),
             CallerForTrace(), argp->name);
    return &KeyOfIdentity(key)->identity;  // the key just opened or created
}

registry_open_struct *reg_enum_key_ex__rpc_1_svc(registry_notify_struct *argp, svc_req *) noexcept
{
    static registry_open_struct reply;  // encoded before the next call overwrites it
    if (RegEnumKeyEx(argp->arg1, static_cast<uint32_t>(argp->arg2), &reply.name, nullptr, nullptr, nullptr, nullptr,
                     &reply.arg1)) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_enum_key_ex : %ld is called\n", static_cast<long>(argp->arg1));
    } else {
        reply.name[0] = '\0';  // the client's sign of the end, or of a bad key
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_enum_key_ex : %ld failed\n", static_cast<long>(argp->arg1));
    }
    return &reply;
}

registry_notify_struct *reg_query_info_key_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    static registry_notify_struct reply;  // encoded before the next call overwrites it
    uint32_t                      subkeys = 0, longest_subkey = 0, values = 0, packed = 0;
    uint64_t                      last_write = 0;
    // One word takes both value maxima: the packed name/size word is written last, so it is what arrives.
    if (RegQueryInfoKey(*argp, nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr, &values, &packed, &packed,
                        nullptr, &last_write)) {
        reply = {subkeys, longest_subkey, values, packed, last_write};
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_query_info_key : %ld is called\n", static_cast<long>(*argp));
    } else {
        reply.arg1 = 0;  // zero counts tell the client the key was not valid
        reply.arg3 = 0;
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_query_info_key : %ld failed\n", static_cast<long>(*argp));
    }
    return &reply;
}
