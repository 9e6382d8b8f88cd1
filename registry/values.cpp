// values.cpp: values in their ValueFiles, change notification, and their RPC procedures.
//
// A ValueFile holds the type (4 bytes, host order), the size (4 bytes, host order) and the data; an empty
// value is written with one zero byte after the header. Values are never cached: every call reads or
// writes the file. A write goes whole to a new file .KSTntserver.new and is renamed over the ValueFile
// (store.cpp), so a kill or a full disk at any moment leaves the old value or the new one, never a part.
//
// A key holds at most one registration: an event and a watch-subtree flag. A synchronous registration
// parks the caller's request on an internal event (identity 0, so its waiter's reply is 0). The request
// ends in exactly one of these ways, and the internal event is deleted by whichever comes first but the
// connection loss:
//   a value write on the key, or below it with flag 1  -> answered 0 by SetEvent, event closed
//     (the daemon's own, or another program's as the kernel reports it: the key's directory, and for
//     flag 1 up to kSubtreeWatches of its descendants', are watched while it is registered)
//   the cancel from the same connection                -> answered 0, then the cancel itself
//   the cancel from another connection                 -> stays parked; event closed when its connection goes
//   a newer registration on the key, or key deleted    -> answered 0 as a write would answer it
//   connection lost -> dropped without reply by the poll loop; the event stays registered without a waiter
// Traces print name fields as "%.256s": a field that lacks its NUL must not be read past its 256 bytes.
#include "registry/feed.h"
#include "registry/operations.h"
#include "registry/store.h"
#include "registry/watch.h"

#include "rpc/services.h"
#include "sync/internal.h"
#include "trace/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace {

inline constexpr uint32_t kQueryCapacity = 507;  // what the query procedure returns at most
inline constexpr uint32_t kEnumCapacity = 512;   // what the enumeration procedure returns at most

// Fires a registration once: signals its event if that still exists, deletes it if it is internal, and
// clears the registration. result becomes SetEvent's result when a signal was sent. The registration keeps
// the word the object table knows the event by, never its address, so a closed event's word names nothing,
// whatever is created after it.
void FireRegistration(KeyNode *key, int &result)
{
    const uint64_t word = std::exchange(key->notify_event, 0);
    const bool     internal = std::exchange(key->notify_internal, 0) != 0;
    key->watch_subtree = 0;
    if (!ObjectOfHandle(word)) return;
    result = SetEvent(word);
    if (internal) CloseHandle(word);
}

// Internal events given up while requests of other connections were still parked on them, so that their
// close was refused: closed once those requests are gone (CloseUnwaitedRegistrationEvents).
std::vector<uint64_t> g_close_when_unwaited;

// The key's directory is watched, and with watch_subtree 1 its descendants' (breadth first, at most
// kSubtreeWatches of them), so that other programs' value writes fire the registration too. What can't
// be watched sees only the daemon's own writes.
void WatchForRegistration(KeyNode *key, uint32_t watch_subtree)
{
    (void)WatchKeyDirectory(key);
    if (watch_subtree != 1) return;
    std::size_t budget = kSubtreeWatches;
    try {
        std::vector<KeyNode *> level{key}, next;
        while (!level.empty() && budget > 0) {
            next.clear();
            for (KeyNode *up : level) {
                FinishListing(up);
                for (KeyNode *child = up->first_child; child && budget > 0; child = child->next_sibling, --budget) {
                    if (WatchKeyDirectory(child)) next.push_back(child);
                }
            }
            level.swap(next);
        }
    } catch (const std::bad_alloc &) {  // the rest sees only the daemon's own writes
    }
}

// A key's new registration replaces the old one, which is retired first.
void Register(KeyNode *key, uint64_t event, bool internal, uint32_t watch_subtree)
{
    RetireRegistration(key);
    key->notify_event = event;
    key->notify_internal = internal ? 1 : 0;
    key->watch_subtree = watch_subtree;
    WatchForRegistration(key, watch_subtree);
}

// A value of key was written, by anyone: the key's own registration fires whatever its flag, then every
// ancestor's that watches its subtree.
void FireForValue(KeyNode *key, int &result)
{
    FireRegistration(key, result);
    for (KeyNode *up = key->parent; up; up = up->parent) {
        if (up->notify_event && up->watch_subtree == 1) FireRegistration(up, result);
    }
}

// A new key below one whose registration watches its subtree is watched as well.
void WatchNewSubkey(KeyNode *child)
{
    for (const KeyNode *up = child->parent; up; up = up->parent) {
        if (up->notify_event && up->watch_subtree == 1) {
            (void)WatchKeyDirectory(child);
            return;
        }
    }
}

void OnChange(Change &change) noexcept
{
    switch (change.kind) {
    case ChangeKind::ValueWritten:
        FireForValue(change.key, change.fired);
        return;
    case ChangeKind::SubkeyAdded:
        WatchNewSubkey(const_cast<KeyNode *>(change.child));
        return;
    case ChangeKind::KeyLeaving:
        RetireRegistration(change.key);  // an internal one is answered with the delete
        return;
    case ChangeKind::Forgotten:
        // Other programs' writes may have been lost: every registration fires, as a write would fire it;
        // a watcher reads again and finds what changed, or nothing.
        ForEachKey([&](const KeyNode &key) {
            if (key.notify_event) FireRegistration(const_cast<KeyNode *>(&key), change.fired);
        });
        for (KeyNode *root : {HKEY_CLASS_ROOT, HKEY_LOCAL_MACHINE})
            if (root->notify_event) FireRegistration(root, change.fired);
        return;
    case ChangeKind::ValueRemoved:  // only a value write fires a registration
    case ChangeKind::SubkeyRemoved:
    case ChangeKind::DirectoryChanged:
        return;
    }
}

// Reads until count bytes are in or the file ends; the number read. A value file is a regular file
// (OpenValueFile), whose read comes up short only at its end: that ends the reading without one more
// read to be told so.
std::size_t ReadUpTo(int fd, char *buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const std::size_t wanted = count - done;
        const ssize_t     got = read(fd, buffer + done, wanted);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < wanted) break;
    }
    return done;
}

}  // namespace

// Answering a replaced request keeps every internal event owned by exactly one registration, and tells a
// client whose watch no longer exists to look again instead of leaving it parked until it gives up.
void RetireRegistration(KeyNode *key) noexcept
{
    int unused = 0;
    if (key->notify_internal) FireRegistration(key, unused);
    key->notify_event = 0;
    key->notify_internal = 0;
    key->watch_subtree = 0;
}

int RegSetValueEx(uint64_t key, char *name, uint32_t, uint32_t type, const char *data, uint32_t size) noexcept
{
    KeyNode *node = ResolveKey(key);
    if (!node) return 0;
    // Over RPC the name is missing only when its field lacked a NUL: a name that long cannot be created.
    if (!name) {
        SetLastError(kErrFileSystem);
        return 0;
    }
    if (!data) return 0;
    if (uint64_t{size} > kMaxValueData) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "RegSetValueEx Server Overflow\n");
        SetLastError(kErrLimit);
        return 0;
    }
    ConvertSubKey(name);
    RegPath    path;
    const bool named = ValueFilePath(node, name, path);
    int        result = 1;
    const int  written = StoreValue(node, name, named ? path.text : nullptr, type, data, size, result);
    if (written < 0) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "file %s can't be created\n", path.text);
        SetLastError(kErrFileSystem);
        return 0;
    }
    // Write errors once the file is open do not change the reply: the value counts as written. The old
    // value stays, a value that was missing stays missing, and the trace says why.
    if (written > 0)
        TraceLog(1, "ntsys_s", __func__, __LINE__, "file %s can't be written: %s\n", path.text, strerror(written));
    SetLastError(0);
    return result;
}

int RegQueryValueEx(uint64_t key, char *name, uint32_t, uint32_t *type, char *data, uint32_t *size) noexcept
{
    const KeyNode *node = ResolveKey(key);
    if (!node) return 0;
    if (!name) {
        SetLastError(kErrInvalid);
        return 0;
    }
    ConvertSubKey(name);
    RegPath        path;
    const UniqueFd file(ValueFilePath(node, name, path) ? OpenValueFile(path.text) : -1);
    if (!file) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "file %s can't be opened\n", path.text);
        SetLastError(kErrFileSystem);
        return 0;
    }
    // One read takes the header and as much data as the caller can hold, when that fits the buffer here.
    uint32_t          stored_type = 0, stored_size = 0;
    char              bytes[2 * sizeof(uint32_t) + kEnumCapacity];
    const std::size_t wanted = data && size && *size <= kEnumCapacity ? *size : 0;
    const std::size_t got = ReadUpTo(file.get(), bytes, 2 * sizeof(uint32_t) + wanted);
    if (got < sizeof stored_type) {
        SetLastError(kErrFileSystem);
        return 0;
    }
    std::memcpy(&stored_type, bytes, sizeof stored_type);
    if (type) *type = stored_type;
    if (got < 2 * sizeof(uint32_t)) {
        SetLastError(kErrFileSystem);
        return 0;
    }
    std::memcpy(&stored_size, bytes + sizeof stored_type, sizeof stored_size);
    if (size) *size = data ? std::min(stored_size, *size) : stored_size;
    // A file shorter than its size field leaves the rest of the buffer as the caller filled it.
    if (data && size) {
        if (*size <= wanted) {
            std::memcpy(data, bytes + 2 * sizeof(uint32_t), std::min<std::size_t>(*size, got - 2 * sizeof(uint32_t)));
        } else {
            const std::size_t unused = ReadUpTo(file.get(), data, *size);
            (void)unused;
        }
    }
    SetLastError(0);
    return 1;
}

int RegDeleteValue(uint64_t key, char *name) noexcept
{
    KeyNode *node = ResolveKey(key);
    if (!node) return 0;
    // A name that cannot be a value file of this key (its field lacked a NUL, or a "/" would lead out of
    // the key's directory) is deleted as a missing value is: nothing is removed, and that succeeds.
    if (!name) return 1;
    UpperCase(name);  // backslashes stay: on disk they are ordinary characters of the file name
    RegPath path;
    if (!ValueFilePath(node, name, path)) return 1;
    RemoveValue(node, name, path.text);
    SetLastError(0);
    return 1;
}

// Entries are numbered in directory order, whatever their names; the entry's value is then read by its
// shown name, so an entry without a matching "V_" file fails at its index.
int RegEnumValue(uint64_t key, uint32_t index, char (*name)[kNameField], uint32_t *, uint32_t *, uint32_t *type,
                 char *data, uint32_t *size) noexcept
{
    const KeyNode *node = ResolveKey(key);
    RegPath        path;
    if (!node || !name || !GetRegFullPath(node, path)) {
        SetLastError(kErrNotFound);
        return 0;
    }
    uint32_t   number = 0;
    bool       found = false;
    const bool listed = ForEachValueEntry(path, [&](const char *entry, const RegPath &) {
        if (number++ != index) return true;
        CopyName(*name, ShownName(entry));
        found = true;
        return false;
    });
    if (!listed || !found) {
        SetLastError(kErrNotFound);
        return 0;
    }
    return RegQueryValueEx(node->identity, *name, 0, type, data, size);
}

int RegNotifyChangeKeyValue(uint64_t key, uint32_t watch_subtree, uint32_t, uint64_t event, int32_t async) noexcept
{
    KeyNode *node = ResolveKey(key);
    if (!node) return 0;
    if (async == 1) {
        // Internal events are no client's to name: they count as no object.
        const ObjectRecord *record = ObjectOfHandle(event);
        if (!record || record->identity == 0) {
            SetLastError(kErrNotFound);
            return 0;
        }
        if (record->type != ObjectType::Event) {
            SetLastError(kErrInvalid);
            return 0;
        }
        Register(node, event, false, watch_subtree);
        SetLastError(0);  // retiring an older registration may have signalled; this reply is 0
        return 0;
    }
    ObjectRecord *internal = CreateEvent(0, 0, 0, nullptr);
    if (!internal) return 0;
    // The table knows the event by its handle; its identity, what its waiter is answered with, becomes 0.
    const uint64_t word = internal->handle;
    internal->identity = 0;
    Register(node, word, true, watch_subtree);
    if (async != 0) return 0;  // registered without a parked request; the reply is 0
    return WaitForSingleObject(word, 0xFFFFFFFF);
}

registry_query_struct *reg_query_value_ex_rpc_1_svc(registry_open_struct *argp, svc_req *) noexcept
{
    static registry_query_struct reply;  // encoded before the next call overwrites it
    // Bytes the value does not fill carry nothing of an earlier call's value, not even for a short file.
    std::memset(reply.data, 0, sizeof reply.data);
    uint32_t type = 0, size = kQueryCapacity;
    if (RegQueryValueEx(argp->arg1, NameArg(argp->name), 0, &type, reply.data, &size)) {
        reply.type = type;
        reply.size = size;
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_query_value : %.256s called\n", argp->name);
    } else {
        reply.type = 0;
        reply.size = 0;
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_query_value : %.256s failed\n", argp->name);
    }
    return &reply;
}

uint64_t *reg_set_value_ex_rpc_1_svc(registry_set_struct *argp, svc_req *) noexcept
{
    if (RegSetValueEx(argp->arg1, NameArg(argp->name), 0, static_cast<uint32_t>(argp->type), argp->data,
                      static_cast<uint32_t>(argp->size))) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_set_value called, req=%p\n", CallerForTrace());
    } else {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_set_value failed\n");
    }
    return GetLastErrorAddress();
}

uint64_t *reg_delete_value_rpc_1_svc(registry_open_struct *argp, svc_req *) noexcept
{
    if (RegDeleteValue(argp->arg1, NameArg(argp->name))) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "delete value called, id=%ld, name=%.256s\n",
                 static_cast<long>(argp->arg1), argp->name);
    } else {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "delete value failed, name=%.256s\n", argp->name);
    }
    return GetLastErrorAddress();
}

registry_set_struct *reg_enum_value__rpc_1_svc(registry_notify_struct *argp, svc_req *) noexcept
{
    static registry_set_struct reply;  // encoded before the next call overwrites it; arg1 stays 0
    reply.size = kEnumCapacity;
    std::memset(reply.data, 0, sizeof reply.data);
    uint32_t type = 0, size = kEnumCapacity;
    if (RegEnumValue(argp->arg1, static_cast<uint32_t>(argp->arg2), &reply.name, nullptr, nullptr, &type, reply.data,
                     &size)) {
        reply.type = type;
        reply.size = size;
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_enum_value : %ld is called\n", static_cast<long>(argp->arg1));
    } else {
        reply.name[0] = '\0';  // the client's sign of the end, or of a bad key or entry
        TraceLog(0, "ntsys_s", __func__, __LINE__, "reg_enum_value : %ld failed\n", static_cast<long>(argp->arg1));
    }
    return &reply;
}

uint64_t *reg_notify_change_key_value_rpc_1_svc(registry_notify_struct *argp, svc_req *) noexcept
{
    if (RegNotifyChangeKeyValue(argp->arg1, static_cast<uint32_t>(argp->arg2), static_cast<uint32_t>(argp->arg3),
                                argp->arg4, static_cast<int32_t>(argp->arg5))) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "RegNotifyChangeKeyValue called\n");
        return nullptr;  // parked: the waiter owns the request now
    }
    // An asynchronous registration that succeeded comes here too: its reply is the last error, 0.
    TraceLog(0, "ntsys_s", __func__, __LINE__, "RegNotifyChangeKeyValue failed\n");
    return GetLastErrorAddress();
}

// The cancel answers this connection's parked request first, then itself.
uint64_t *timeout_reg_notify_change_key_value_rpc_1_svc(registry_notify_struct *argp, svc_req *) noexcept
{
    if (argp->arg1 == 0) return SetLastError(kErrInvalid);
    KeyNode *node = ResolveKey(argp->arg1);
    if (!node) return GetLastErrorAddress();
    const uint64_t word = std::exchange(node->notify_event, 0);
    const bool     internal = std::exchange(node->notify_internal, 0) != 0;
    node->watch_subtree = 0;
    if (ObjectRecord *event = ObjectOfHandle(word)) {
        uint64_t connection = 0;
        GetClientParameter(nullptr, &connection);
        WaiterRecord *waiter = DeleteClientFromEventByTransp(connection, event);
        // Closing is refused while another connection's request is still parked on the event; that request
        // stays parked until its connection goes, and the event with it.
        if (internal && !CloseHandle(word)) {
            try {
                g_close_when_unwaited.push_back(word);
            } catch (const std::bad_alloc &) {  // the event stays, as it would have without this list
            }
        }
        if (waiter) DeleteClient(nullptr, waiter);
    }
    return SetLastError(0);
}

RegistrationView ViewRegistration(const KeyNode &key) noexcept
{
    if (key.notify_event == 0) return {RegistrationKind::None, 0};
    if (key.notify_internal) return {RegistrationKind::Synchronous, 0};
    if (!ObjectOfHandle(key.notify_event)) return {RegistrationKind::EventGone, 0};
    return {RegistrationKind::Event, key.notify_event};
}

void CloseUnwaitedRegistrationEvents() noexcept
{
    std::erase_if(g_close_when_unwaited, [](uint64_t handle) {
        const ObjectRecord *obj = ObjectOfHandle(handle);
        return !obj || (!obj->waiters && CloseHandle(handle));
    });
}

void SubscribeRegistrations() noexcept
{
    SubscribeChanges(OnChange);
}
