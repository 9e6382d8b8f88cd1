// objects.cpp: the table of events, mutexes and semaphores; create, open and close over RPC.
//
// Every object lives in one doubly linked list, newest first; that order is what walks over the table see.
// A handle is a word drawn from NewIdentity when the record is created, never an address, and is never
// handed out again: a handle kept after its object was deleted is refused like one never issued, however
// many objects come after it. Handles grow with every object made, so the list is also in falling handle
// order. Three indexes beside the list find a record by handle, by type and name, and (for an owned
// mutex) by owner in constant time on average; every record in the list is in the handle index, every
// named one in the name index, every owned mutex in the owner index, and nothing else is. A record is
// freed only by DeleteEvent (through CloseHandle) or ClearEventList.

#include "common/identity.h"
#include "common/unique.h"
#include "rpc/services.h"
#include "sync/index.h"
#include "sync/internal.h"
#include "trace/trace.h"

#include <sys/random.h>

#include <cstring>
#include <memory>
#include <new>

ObjectRecord *P_EVENT_HEAD = nullptr;

namespace {

uint64_t HandleHash(const ObjectRecord *obj)
{
    return MixBits(obj->handle);
}

// Names come from clients: the seed is drawn per process, so no client can plan names that share a bucket.
uint64_t NameHash(ObjectType type, const char *name)
{
    static const uint64_t seed = [] {
        uint64_t draw = 0;
        if (getrandom(&draw, sizeof draw, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof draw))
            draw = DrawIdentityEpoch() * 0x9E3779B97F4A7C15ULL;
        return draw;
    }();
    uint64_t h = seed ^ static_cast<uint64_t>(type);
    for (const auto *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
        h = (h ^ *p) * 0x100000001b3ULL;
    return MixBits(h);
}

uint64_t RecordNameHash(const ObjectRecord *obj)
{
    return NameHash(obj->type, obj->name);
}

ChainIndex<ObjectRecord, &ObjectRecord::next_by_handle, HandleHash>   g_by_handle;  // every record in the list
ChainIndex<ObjectRecord, &ObjectRecord::next_by_name, RecordNameHash> g_by_name;    // every named one

// Where an owned mutex's owner list points at it.
ObjectRecord **&OwnerLink(ObjectRecord *mutex)
{
    return mutex->mutex.pprev_by_owner;
}

// An existing object of that name and type, with one more handle outstanding; nullptr if there is none.
ObjectRecord *Reuse(const char *name, ObjectType type)
{
    ObjectRecord *obj = FindObjectByName(name, type);
    if (obj) {
        ++obj->ref_count;
        SetLastError(0);
    }
    return obj;
}

// A fresh record with its name copied and one handle outstanding; not in the list yet.
std::unique_ptr<ObjectRecord> NewObject(ObjectType type, const char *name)
{
    std::unique_ptr<ObjectRecord> obj(new (std::nothrow) ObjectRecord{});
    if (!obj) {
        SetLastError(kErrNoMemory);
        return nullptr;
    }
    obj->type = type;
    if (name && name[0] != '\0') {  // an empty name means an unnamed object
        const size_t size = strlen(name) + 1;
        obj->name = new (std::nothrow) char[size];
        if (!obj->name) {
            SetLastError(kErrNoMemory);
            return nullptr;
        }
        memcpy(obj->name, name, size);
    }
    obj->ref_count = 1;
    obj->creator = CallerUid();
    if (PolicyInForce().present) {
        if (!TakeQuota(obj->creator, Quota::Objects, 1)) {
            delete[] obj->name;
            return nullptr;
        }
        obj->counted = 1;
    }
    obj->handle = NewIdentity();
    obj->identity = obj->handle;
    return obj;
}

// Puts a new record at the head of the list and in the indexes; the list owns it from now on.
ObjectRecord *Publish(std::unique_ptr<ObjectRecord> obj)
{
    obj->next = P_EVENT_HEAD;
    if (P_EVENT_HEAD) P_EVENT_HEAD->prev = obj.get();
    P_EVENT_HEAD = obj.release();
    g_by_handle.Add(P_EVENT_HEAD);
    if (P_EVENT_HEAD->name) g_by_name.Add(P_EVENT_HEAD);
    SetLastError(0);
    return P_EVENT_HEAD;
}

ObjectRecord *OpenObject(const char *name, ObjectType type)
{
    if (ObjectRecord *obj = Reuse(name, type)) return obj;
    SetLastError(kErrNotFound);
    return nullptr;
}

// The name field of a create call is 64 bytes and may lack its terminator; this gives it one.
struct FieldName {
    char text[sizeof(create_event_struct::name) + 1];  // the field's text, always terminated
};

FieldName NameOf(const create_event_struct &args)
{
    FieldName name;
    CopyName(name.text, {args.name, FieldLength(args.name)});
    return name;
}

}  // namespace

void FreeObject(ObjectRecord *obj) noexcept
{
    g_by_handle.Remove(obj);
    if (obj->name) g_by_name.Remove(obj);
    if (obj->type == ObjectType::Mutex) SetMutexOwner(obj, nullptr);
    if (obj->prev)
        obj->prev->next = obj->next;
    else
        P_EVENT_HEAD = obj->next;
    if (obj->next) obj->next->prev = obj->prev;
    if (obj->counted) ReturnQuota(obj->creator, Quota::Objects, 1);
    delete[] obj->name;
    delete obj;
}

int FindObjectByID(uint64_t handle) noexcept
{
    return ObjectOfHandle(handle) ? 1 : 0;
}

ObjectRecord *ObjectOfHandle(uint64_t handle) noexcept
{
    if (handle == 0) return nullptr;
    return g_by_handle.Find(MixBits(handle), [handle](const ObjectRecord *obj) { return obj->handle == handle; });
}

ObjectRecord *ObjectForCall(uint64_t handle) noexcept
{
    if (handle == 0) {
        SetLastError(kErrInvalid);
        return nullptr;
    }
    ObjectRecord *obj = ObjectOfHandle(handle);
    if (!obj) SetLastError(kErrNotFound);
    return obj;
}

// At most one record of a type bears a name (a Create finds it before it makes another), so the one the
// index finds is the first one a walk from the head would find.
ObjectRecord *FindObjectByName(const char *name, ObjectType type) noexcept
{
    if (!name || name[0] == '\0') return nullptr;
    return g_by_name.Find(NameHash(type, name), [name, type](const ObjectRecord *obj) {
        return obj->type == type && strcmp(obj->name, name) == 0;
    });
}

void SetMutexOwner(ObjectRecord *mutex, ConnectionRecord *owner) noexcept
{
    if (mutex->mutex.owner == IdentityOf(owner)) return;
    Unlink(mutex, &ObjectRecord::next_by_owner, OwnerLink);
    mutex->mutex.owner = IdentityOf(owner);
    if (owner) LinkAtHead(owner->owned, mutex, &ObjectRecord::next_by_owner, OwnerLink);
}

// A merge sort of the list, so a connection that owned many mutexes is handed on in n log n steps and
// without allocating, in the destroy notification.
void SortOwnedNewestFirst(ConnectionRecord &connection) noexcept
{
    for (std::size_t run = 1;; run *= 2) {
        ObjectRecord  *rest = connection.owned;
        ObjectRecord  *head = nullptr;
        ObjectRecord **tail = &head;
        std::size_t    merges = 0;
        while (rest) {
            ++merges;
            ObjectRecord *a = rest, *b = rest;
            std::size_t   a_size = 0, b_size = run;
            while (a_size < run && b) {
                b = b->next_by_owner;
                ++a_size;
            }
            while (a_size > 0 || (b_size > 0 && b)) {
                const bool     from_a = a_size > 0 && (b_size == 0 || !b || a->handle > b->handle);
                ObjectRecord *&from = from_a ? a : b;
                *tail = from;
                tail = &from->next_by_owner;
                from = from->next_by_owner;
                --(from_a ? a_size : b_size);
            }
            rest = b;
        }
        *tail = nullptr;
        connection.owned = head;
        if (merges <= 1) break;
    }
    ObjectRecord **at = &connection.owned;
    for (ObjectRecord *obj = connection.owned; obj; obj = obj->next_by_owner) {
        obj->mutex.pprev_by_owner = at;
        at = &obj->next_by_owner;
    }
}

// An event keeps the low four bits of its initial state: 16 creates it non-signalled, 2..15 stay as
// given (a single wait treats them as not signalled, a multiple wait as signalled).
ObjectRecord *CreateEvent(uint64_t, uint32_t manual_reset, uint32_t initial_state, const char *name) noexcept
{
    if (ObjectRecord *found = Reuse(name, ObjectType::Event)) return found;  // state and mode stay as they were
    std::unique_ptr<ObjectRecord> obj = NewObject(ObjectType::Event, name);
    if (!obj) return nullptr;
    obj->event.state = initial_state & 15;
    obj->event.manual_reset = manual_reset;
    return Publish(std::move(obj));
}

// Only an initial-owner flag of exactly 1 makes the calling connection the owner.
ObjectRecord *CreateMutex(uint64_t, uint32_t initial_owner, const char *name) noexcept
{
    if (ObjectRecord *found = Reuse(name, ObjectType::Mutex)) return found;  // never taken over
    std::unique_ptr<ObjectRecord> obj = NewObject(ObjectType::Mutex, name);
    if (!obj) return nullptr;
    obj->mutex = {0, nullptr};  // free, on no owner's list
    ObjectRecord *mutex = Publish(std::move(obj));
    if (initial_owner == 1) SetMutexOwner(mutex, CallerConnection());
    return mutex;
}

// Bad counts are refused with last error 0, so the client sees the reply 0; an existing semaphore of
// that name is returned before the counts are even looked at.
ObjectRecord *CreateSemaphore(uint64_t, int64_t initial, int64_t maximum, const char *name) noexcept
{
    if (ObjectRecord *found = Reuse(name, ObjectType::Semaphore)) return found;
    if (initial < 0 || maximum < 0 || initial > maximum) {
        SetLastError(0);
        return nullptr;
    }
    std::unique_ptr<ObjectRecord> obj = NewObject(ObjectType::Semaphore, name);
    if (!obj) return nullptr;
    obj->semaphore.count = initial;
    obj->semaphore.maximum = maximum;
    return Publish(std::move(obj));
}

ObjectRecord *OpenEvent(uint64_t, uint64_t, const char *name) noexcept
{
    return OpenObject(name, ObjectType::Event);
}

ObjectRecord *OpenMutex(uint64_t, uint64_t, const char *name) noexcept
{
    return OpenObject(name, ObjectType::Mutex);
}

ObjectRecord *OpenSemaphore(uint64_t, uint64_t, const char *name) noexcept
{
    return OpenObject(name, ObjectType::Semaphore);
}

// The last close deletes the object. One with waiters refuses and gets its count back to 1, so the
// next close tries again; an owned mutex refuses in DeleteEvent and keeps the lowered count.
int CloseHandle(uint64_t handle) noexcept
{
    ObjectRecord *obj = ObjectForCall(handle);
    if (!obj) return 0;
    if (--obj->ref_count > 0) {
        SetLastError(0);
        return 1;
    }
    if (obj->waiters) {
        obj->ref_count = 1;
        SetLastError(kErrBusy);
        return 0;
    }
    return DeleteEvent(obj);
}

// Deletes an object of any type unless it has waiters or is an owned mutex.
int DeleteEvent(ObjectRecord *record) noexcept
{
    // Callers pass a record they have just looked up; the check keeps a null or unlisted one out.
    if (!record || ObjectOfHandle(record->handle) != record) {
        SetLastError(kErrNotFound);
        return 0;
    }
    if (record->waiters || (record->type == ObjectType::Mutex && record->mutex.owner != 0)) {
        SetLastError(kErrBusy);
        return 0;
    }
    FreeObject(record);
    return 1;
}

uint64_t *create_event_rpc_1_svc(create_event_struct *argp, svc_req *) noexcept
{
    const FieldName name = NameOf(*argp);
    ObjectRecord *obj = CreateEvent(0, static_cast<uint32_t>(argp->arg1), static_cast<uint32_t>(argp->arg2), name.text);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "create event failed\n");
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "create event id = 0x%lx, name = %s\n", obj->identity, name.text);
    return &obj->identity;
}

uint64_t *create_mutex_rpc_1_svc(create_event_struct *argp, svc_req *) noexcept
{
    const FieldName name = NameOf(*argp);
    ObjectRecord   *obj = CreateMutex(0, static_cast<uint32_t>(argp->arg2), name.text);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "CreateMutex failed\n");
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "CreateMutex id = %ld\n", static_cast<long>(obj->identity));
    return &obj->identity;
}

uint64_t *create_semaphore_rpc_1_svc(create_event_struct *argp, svc_req *) noexcept
{
    const FieldName name = NameOf(*argp);
    const auto      initial = static_cast<int64_t>(argp->arg1);
    const auto      maximum = static_cast<int64_t>(argp->arg2);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "%ld %ld %s\n", initial, maximum, name.text);
    ObjectRecord *obj = CreateSemaphore(0, initial, maximum, name.text);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "CreateSemaphore failed\n");
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "CreateSemaphore id = %ld\n", static_cast<long>(obj->identity));
    return &obj->identity;
}

uint64_t *open_event_rpc_1_svc(char **argp, svc_req *) noexcept
{
    ObjectRecord *obj = OpenEvent(0, 0, *argp);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenEvent failed, name=%s\n", *argp);
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenEvent called, name=%s\n", *argp);
    return &obj->identity;
}

uint64_t *open_mutex_rpc_1_svc(char **argp, svc_req *) noexcept
{
    ObjectRecord *obj = OpenMutex(0, 0, *argp);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenMutex failed, name=%s\n", *argp);
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenMutex called, name=%s\n", *argp);
    return &obj->identity;
}

uint64_t *open_semaphore_rpc_1_svc(char **argp, svc_req *) noexcept
{
    ObjectRecord *obj = OpenSemaphore(0, 0, *argp);
    if (!obj) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenSemaphore failed, name=%s\n", *argp);
        return GetLastErrorAddress();
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "OpenSephore called, name=%s\n", *argp);
    return &obj->identity;
}

uint64_t *close_handle_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    if (CloseHandle(*argp))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "CloseHandle called, id=%ld\n", static_cast<long>(*argp));
    else
        TraceLog(0, "ntsys_s", __func__, __LINE__, "CloseHandle failed, id=%ld\n", static_cast<long>(*argp));
    return GetLastErrorAddress();
}
