// wait.cpp: waits on one or many objects; parks the call when they are not ready.
//
// A parked call's RequestRecord (its own copy of the dispatcher's, ParkCurrentCall) lives in a
// WaiterRecord that is linked on every object it still waits for; the service routine then returns
// no reply. It ends in exactly one of three ways, and whoever ends it unlinks it everywhere first:
//   satisfied        -> reply: identity of the object that completed the wait
//   cancelled        -> reply 0, written before the cancel call's own reply
//   connection lost  -> no reply; records freed without touching the socket
// Every parked waiter is linked on at least one object and on its connection's record, from the moment
// it parks until DeleteClient ends it; the record's list is how a lost connection's calls are found. The
// socket slot of a connection is only the shortcut to its latest parked call.

#include "common/scoped.h"
#include "rpc/services.h"
#include "sync/index.h"
#include "sync/internal.h"
#include "sync/object_types.h"
#include "trace/trace.h"

#include <array>
#include <bit>
#include <cassert>
#include <new>
#include <vector>

uint64_t RET_TRUE = 0;

namespace {

// Removes the first link on the object whose waiter matches and returns that waiter; nullptr if none.
template <typename Match> WaiterRecord *UnlinkFirst(ObjectRecord *record, Match match)
{
    for (WaiterLink **at = &record->waiters; *at; at = &(*at)->next) {
        if (!match((*at)->waiter)) continue;
        WaiterLink *link = *at;
        *at = link->next;
        WaiterRecord *waiter = link->waiter;
        if (link != &waiter->single_link) delete link;
        return waiter;
    }
    return nullptr;
}

// Removes the head link, the newest waiter on the object; nullptr if it has none.
WaiterRecord *UnlinkHead(ObjectRecord *record)
{
    return UnlinkFirst(record, [](const WaiterRecord *) { return true; });
}

// One link of the waiter, on record, has just been removed and the waiter is about to be ended: a
// multiple wait also leaves all its other objects, so no link outlives it.
void DetachRest(WaiterRecord *waiter, ObjectRecord *record)
{
    if (!waiter->pending) return;
    DeleteEventFromClient(record, waiter);
    DeleteClientFromAllEvent(waiter);
}

// Where a parked waiter's connection list points at it.
WaiterRecord **&ConnectionLink(WaiterRecord *waiter)
{
    return waiter->pprev_of_connection;
}

// Puts a parked waiter at the head of its connection's list, so a lost connection's calls are found
// without a walk of the object list.
void LinkOnConnection(WaiterRecord *waiter, ConnectionRecord *connection)
{
    if (connection) LinkAtHead(connection->parked, waiter, &WaiterRecord::next_of_connection, ConnectionLink);
}

void UnlinkFromConnection(WaiterRecord *waiter)
{
    Unlink(waiter, &WaiterRecord::next_of_connection, ConnectionLink);
}

// Ends an unlinked waiter without writing to its connection.
void Drop(WaiterRecord *waiter)
{
    ScopedMode silent(IsSendReply, 0);
    DeleteClient(nullptr, waiter);
}

// Clears the socket slot if it names this waiter. A slot naming another parked call of the same
// connection stays: it still points at a live waiter, and the poll loop can still find that one.
void ForgetSlot(const WaiterRecord *waiter)
{
    const auto fd = static_cast<unsigned>(RequestSocket(waiter->request.get()));
    if (fd >= kSocketSlots || sock2client[fd].waiter != waiter) return;
    sock2client[fd] = SocketSlot{};
}

// Hands the current call to the waiter and links it on every object it waits for: its single object, or
// each pending slot's object for a multiple wait. Out of memory half-way, a waiter missing from some of
// its objects could never complete, so the park is undone and the dispatcher keeps the call.
bool Park(std::unique_ptr<WaiterRecord> waiter)
{
    GetClientParameter(nullptr, &waiter->connection);
    waiter->request = ParkCurrentCall();
    if (!waiter->request) {
        SetLastError(kErrNoMemory);
        return false;
    }
    const RequestRecord *request = waiter->request.get();
    const uint64_t       targets = waiter->pending ? waiter->pending_count : 1;
    uint64_t             linked = 0;
    while (linked < targets &&
           AddClientToEvent(waiter.get(), waiter->pending ? waiter->pending[linked] : waiter->single))
        ++linked;
    if (linked == targets) {
        LinkOnConnection(waiter.get(), ConnectionOfCall(request));
        (void)waiter.release();  // the object lists own it from now on
        return true;
    }
    waiter->pending_count = linked;  // only these slots got a link
    DeleteClientFromAllEvent(waiter.get());
    ForgetSlot(waiter.get());
    // The waiter and its copy of the call go; the dispatcher answers the call with the last error.
    SetLastError(kErrNoMemory);
    return false;
}

// A waiter woken on record: a single wait or a wait-any ends with its identity; a wait-all only once
// every object that was not ready when it parked has been signalled for it.
void CompleteWait(WaiterRecord *waiter, ObjectRecord *record)
{
    if (waiter->pending) {
        DeleteEventFromClient(record, waiter);
        if (waiter->mode != 1)
            DeleteClientFromAllEvent(waiter);
        else if (!IsClientEmpty(waiter))
            return;
    }
    DeleteClient(record, waiter);
}

}  // namespace

int IsObjectReady(const ObjectRecord *record) noexcept
{
    if (!record) return 0;
    if (const ObjectOps *ops = OpsOf(record->type)) return ops->ready(*record);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "error occured in IsObjectReady\n");
    return 1;
}

void GetWaitFromObject(ObjectRecord *record) noexcept
{
    const ObjectOps *ops = OpsOf(record->type);
    if (!ops) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "error occured in GetWaitFromObject\n");
        return;
    }
    ops->take(*record, CallerConnection());
}

// Satisfied at once by each type's own single-wait rule (object_types.cpp), which differs from
// IsObjectReady.
int WaitForSingleObject(uint64_t handle, uint32_t) noexcept
{
    ObjectRecord *obj = ObjectForCall(handle);
    if (!obj) return 0;
    const ObjectOps *ops = OpsOf(obj->type);
    if (!ops) {
        SetLastError(kErrInvalid);
        return 0;
    }
    if (ops->wait_single(*obj, CallerConnection())) {
        SetLastError(obj->identity);
        return 0;
    }
    std::unique_ptr<WaiterRecord> waiter(new (std::nothrow) WaiterRecord{});
    if (!waiter) {
        SetLastError(kErrNoMemory);
        return 0;
    }
    waiter->mode = 1;
    waiter->single = obj;
    if (!Park(std::move(waiter))) return 0;
    SetLastError(0);
    return 1;
}

// Parks on the objects that are not ready, in request order. Objects that were ready when a wait-all
// parks are neither consumed nor watched: it completes once the others have been signalled for it.
int WaitForMultipleObjects(uint32_t count, const uint64_t *handles, int32_t wait_all, uint32_t) noexcept
{
    if (count == 0) {
        SetLastError(kErrInvalid);
        return 0;
    }
    // The vector holds 64 handles: a larger count is refused once all 64 have been traced.
    for (uint32_t i = 0; i < count; ++i) {
        if (i == kMaxWaitHandles || handles[i] == 0) {
            SetLastError(kErrInvalid);
            return 0;
        }
        TraceLog(0, "ntsys_s", __func__, __LINE__, "%p\n", reinterpret_cast<void *>(handles[i]));
    }
    std::array<ObjectRecord *, kMaxWaitHandles> objects{};
    for (uint32_t i = 0; i < count; ++i) {
        objects[i] = ObjectOfHandle(handles[i]);
        if (!objects[i]) {
            SetLastError(kErrNotFound);
            return 0;
        }
    }
    auto object = [&objects](uint32_t i) { return objects[i]; };
    // A wait-any stops at the first ready object; the others need the whole scan.
    uint64_t not_ready = 0;  // bit i: object i is not ready
    uint32_t first_ready = count;
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsObjectReady(object(i))) {
            not_ready |= uint64_t{1} << i;
        } else if (first_ready == count) {
            first_ready = i;
            if (wait_all == 0) break;
        }
    }
    // A flag other than 0 and 1 with every object ready is answered as a wait-any: parked, it would be
    // linked on no object and nothing could ever complete it.
    if (first_ready < count && (wait_all == 0 || (not_ready == 0 && wait_all != 1))) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "object %p is ready\n",
                 reinterpret_cast<void *>(handles[first_ready]));
        GetWaitFromObject(object(first_ready));
        SetLastError(handles[first_ready]);
        return 0;
    }
    if (not_ready == 0) {  // wait-all: consumed in request order, an object listed twice twice
        for (uint32_t i = 0; i < count; ++i)
            GetWaitFromObject(object(i));
        SetLastError(0);
        return 0;
    }
    std::unique_ptr<WaiterRecord> waiter(new (std::nothrow) WaiterRecord{});
    if (!waiter) {
        SetLastError(kErrNoMemory);
        return 0;
    }
    waiter->pending.reset(new (std::nothrow) ObjectRecord *[std::popcount(not_ready)]);
    if (!waiter->pending) {
        SetLastError(kErrNoMemory);
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i)
        if (not_ready & (uint64_t{1} << i)) waiter->pending[waiter->pending_count++] = object(i);
    waiter->mode = static_cast<uint32_t>(wait_all);
    if (!Park(std::move(waiter))) return 0;
    SetLastError(0);
    return 1;
}

// Links the waiter at the head of the object's list, so the newest waiter is woken first, and makes it
// its connection's latest parked call. Only a multiple wait's link is allocated; when that fails,
// nothing has changed.
bool AddClientToEvent(WaiterRecord *waiter, ObjectRecord *record) noexcept
{
    if (!waiter || !record) return false;
    WaiterLink *link = &waiter->single_link;
    if (waiter->pending) {
        link = new (std::nothrow) WaiterLink{};
        if (!link) return false;
    }
    *link = WaiterLink{waiter, record->waiters};
    const auto fd = static_cast<unsigned>(RequestSocket(waiter->request.get()));
    if (fd < kSocketSlots)  // descriptors above the table get no slot
        sock2client[fd] = SocketSlot{waiter->pending ? 0 : reinterpret_cast<uint64_t>(record), waiter};
    record->waiters = link;
    return true;
}

int IsClientEmpty(const WaiterRecord *waiter) noexcept
{
    for (uint64_t i = 0; i < waiter->pending_count; ++i)
        if (waiter->pending[i]) return 0;
    return 1;
}

// Marks the object as signalled for this waiter (its first slot naming the object).
void DeleteEventFromClient(ObjectRecord *record, WaiterRecord *waiter) noexcept
{
    if (!waiter) {
        SetLastError(kErrInvalid);
        return;
    }
    for (uint64_t i = 0; i < waiter->pending_count; ++i) {
        if (waiter->pending[i] == record) {
            waiter->pending[i] = nullptr;
            return;
        }
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "DeleteEventFromClient error, not fount\n");
}

void DeleteClientFromEvent(WaiterRecord *waiter, ObjectRecord *record) noexcept
{
    if (!waiter || !record || !record->waiters) return;
    if (!UnlinkFirst(record, [waiter](const WaiterRecord *w) { return w == waiter; }))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "DeleteClientFromEvent error, not fount\n");
}

// Removes the waiter's links from every object it still waits for; its slots keep their objects.
void DeleteClientFromAllEvent(WaiterRecord *waiter) noexcept
{
    for (uint64_t i = 0; i < waiter->pending_count; ++i)
        if (waiter->pending[i]) DeleteClientFromEvent(waiter, waiter->pending[i]);
}

// Finds the connection's first waiter on the object, for a cancel that is about to end it. A multiple
// wait leaves all its other objects too, so the cancels (and the notification cancel) never free a
// waiter that is still linked elsewhere.
WaiterRecord *DeleteClientFromEventByTransp(uint64_t connection, ObjectRecord *record) noexcept
{
    if (!record) return nullptr;
    WaiterRecord *waiter =
        UnlinkFirst(record, [connection](const WaiterRecord *w) { return w->connection == connection; });
    if (waiter) DetachRest(waiter, record);
    return waiter;
}

// Ends an unlinked waiter: its reply is the object's identity when one completed it, else 0.
void DeleteClient(ObjectRecord *record, WaiterRecord *waiter) noexcept
{
    if (!waiter) {
        SetLastError(kErrInvalid);
        return;
    }
    std::unique_ptr<WaiterRecord> owned(waiter);
    UnlinkFromConnection(waiter);
    owned->pending.reset();
    ForgetSlot(owned.get());
    FreeClientParameter(owned->request.release(), record ? &record->identity : &RET_TRUE);
}

// Called for every connection the runtime destroys, also those the poll loop never saw close: whatever
// it still has parked, wherever linked and whether or not a slot names it, goes without a reply.
void DiscardWaitersOf(ConnectionRecord &connection) noexcept
{
    while (WaiterRecord *waiter = connection.parked) {
        if (waiter->pending)
            DeleteClientFromAllEvent(waiter);
        else
            DeleteClientFromEvent(waiter, waiter->single);
        Drop(waiter);
    }
}

// Shutdown: every object goes, owned or waited on. Parked calls are freed without a reply, so nothing
// is left for a leak checker and no client is told that its wait was satisfied.
void ClearEventList() noexcept
{
    while (ObjectRecord *obj = P_EVENT_HEAD) {
        DiscardWaitersOn(obj);
        FreeObject(obj);
    }
}

void DiscardWaitersOn(ObjectRecord *record) noexcept
{
    while (WaiterRecord *waiter = UnlinkHead(record)) {
        DetachRest(waiter, record);
        Drop(waiter);
    }
}

void TakeWaiter(ObjectRecord *record) noexcept
{
    WaiterRecord *waiter = UnlinkHead(record);
    assert(waiter && "only objects with waiters are signalled");
    if (record->type == ObjectType::Mutex) SetMutexOwner(record, ConnectionOfCall(waiter->request.get()));
    CompleteWait(waiter, record);
}

uint64_t *wait_for_single_object_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    if (WaitForSingleObject(*argp, 0xFFFFFFFF)) {
        TraceLog(0, "ntsys_s", __func__, __LINE__, "WaitForSingleObject called, id=%ld\n", static_cast<long>(*argp));
        return nullptr;
    }
    TraceLog(0, "ntsys_s", __func__, __LINE__, "WaitForSingleObject failed, id=%ld\n", static_cast<long>(*argp));
    return GetLastErrorAddress();
}

uint64_t *wait_for_multiple_objects_rpc_1_svc(wait_for_multiple_objects_struct *argp, svc_req *) noexcept
{
    const int parked = WaitForMultipleObjects(static_cast<uint32_t>(argp->count), argp->handles,
                                              static_cast<int32_t>(argp->wait_all), 0xFFFFFFFF);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "WaitForMultipleObject called\n");
    return parked ? nullptr : GetLastErrorAddress();
}

// The client's own time-out expired: its parked call on this connection is answered 0 now, before
// this call's own reply 0.
uint64_t *timeout_wait_for_single_object_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    ObjectRecord *obj = ObjectOfHandle(*argp);
    if (!obj) return SetLastError(kErrNotFound);
    uint64_t me = 0;
    GetClientParameter(nullptr, &me);
    if (WaiterRecord *waiter = DeleteClientFromEventByTransp(me, obj)) DeleteClient(nullptr, waiter);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "%ld timeout!\n", static_cast<long>(*argp));
    return SetLastError(0);
}

// Unknown handles are skipped. Each parked call of this connection found on the listed objects is
// answered 0 as soon as it is found: a connection with several parked calls loses none of them to a leak.
uint64_t *timeout_wait_for_multiple_objects_rpc_1_svc(wait_for_multiple_objects_struct *argp, svc_req *) noexcept
{
    if (argp->count == 0) return SetLastError(kErrInvalid);
    const uint64_t count = argp->count < kMaxWaitHandles ? argp->count : kMaxWaitHandles;
    uint64_t       me = 0;
    GetClientParameter(nullptr, &me);
    for (uint64_t i = 0; i < count; ++i)
        if (ObjectRecord *obj = ObjectOfHandle(argp->handles[i]))
            if (WaiterRecord *waiter = DeleteClientFromEventByTransp(me, obj)) DeleteClient(nullptr, waiter);
    TraceLog(0, "ntsys_s", __func__, __LINE__, "wait_for_multi timeout!\n");
    return SetLastError(0);
}
