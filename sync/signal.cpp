// signal.cpp: set and reset events, release mutexes and semaphores, and wake their waiters.
//
// Waiters are taken from the head of the object's list, newest first, and each one's deferred reply is
// written during the signalling call, before that call's own reply. The object's state is consumed for
// every waiter taken, also for a wait-all waiter that keeps waiting for its other objects.

#include "common/scoped.h"
#include "rpc/services.h"
#include "sync/internal.h"
#include "trace/trace.h"

uint32_t IsCheckOwnerBeforeReleaseMutex = 1;

// A manual-reset event wakes every waiter and stays signalled; an auto-reset event wakes the newest
// waiter and falls back to non-signalled, or stays signalled until a wait consumes it.
int SetEvent(uint64_t handle) noexcept
{
    ObjectRecord *obj = ObjectForCall(handle);
    if (!obj) return 0;
    if (obj->type != ObjectType::Event) {
        SetLastError(kErrInvalid);
        return 0;
    }
    obj->event.state = 1;
    // Completing a wait-any waiter unlinks all its links, some maybe on this object: re-read the head.
    while (obj->waiters) {
        TakeWaiter(obj);
        if (obj->event.manual_reset == 0) {
            obj->event.state = 0;
            break;
        }
    }
    SetLastError(0);
    return 1;
}

// Puts an event back to non-signalled; waiters are left as they are.
int ResetEvent(uint64_t handle) noexcept
{
    ObjectRecord *obj = ObjectForCall(handle);
    if (!obj) return 0;
    if (obj->type != ObjectType::Event) {
        SetLastError(kErrInvalid);
        return 0;
    }
    obj->event.state = 0;
    SetLastError(0);
    return 1;
}

// Frees the mutex or hands it straight to its newest waiter. The owner test comes before the type test,
// so a client releasing an event, a semaphore or a free mutex is told 288; only the lost-connection
// clean-up, which turns the test off, can see 4.
int ReleaseMutex(uint64_t handle) noexcept
{
    ObjectRecord *obj = ObjectOfHandle(handle);
    if (!obj) {
        SetLastError(kErrNotFound);
        return 0;
    }
    if (IsCheckOwnerBeforeReleaseMutex != 0) {
        uint64_t me = 0;
        GetClientParameter(nullptr, &me);
        const uint64_t owner = obj->type == ObjectType::Mutex ? obj->mutex.owner : 0;  // only a mutex has one
        if (owner != me) {
            SetLastError(kErrNotOwner);
            return 0;
        }
    }
    if (obj->type != ObjectType::Mutex) {
        SetLastError(kErrInvalid);
        return 0;
    }
    SetMutexOwner(obj, nullptr);
    if (obj->waiters) TakeWaiter(obj);
    SetLastError(0);
    return 1;
}

// A lost connection's mutexes, each to its newest waiter, in the order a walk of the list from its head
// meets them (newest object first): the order in which the waiters' replies go out. Each release takes
// the mutex off the head of the connection's list, and none can come back to it: its waiters are gone.
void ReleaseMutexesOwnedBy(ConnectionRecord &connection) noexcept
{
    SortOwnedNewestFirst(connection);
    while (ObjectRecord *obj = connection.owned) {
        ScopedMode any_owner(IsCheckOwnerBeforeReleaseMutex, 0u);
        if (!ReleaseMutex(obj->handle)) SetMutexOwner(obj, nullptr);  // cannot happen: it is an owned mutex
    }
    SetLastError(0);
}

// Adds n to the count, then wakes at most that many waiters, newest first; the count keeps what no
// waiter took. A release of 0 changes nothing and wakes nobody.
int ReleaseSemaphore(uint64_t handle, int64_t count, int64_t *) noexcept
{
    ObjectRecord *obj = ObjectOfHandle(handle);
    if (!obj) {
        SetLastError(kErrNotFound);
        return 0;
    }
    if (obj->type != ObjectType::Semaphore || count < 0) {
        SetLastError(kErrInvalid);
        return 0;
    }
    if (count == 0) {
        SetLastError(0);
        return 1;
    }
    // Both are at most INT64_MAX here, so the unsigned sum cannot wrap.
    if (static_cast<uint64_t>(obj->semaphore.count) + static_cast<uint64_t>(count) >
        static_cast<uint64_t>(obj->semaphore.maximum)) {
        SetLastError(kErrLimit);
        return 0;
    }
    obj->semaphore.count += count;
    while (obj->waiters && obj->semaphore.count != 0) {
        TakeWaiter(obj);
        --obj->semaphore.count;
    }
    SetLastError(0);
    return 1;
}

uint64_t *set_event_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    if (SetEvent(*argp))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "SetEvent called, id=%ld\n", static_cast<long>(*argp));
    else
        TraceLog(0, "ntsys_s", __func__, __LINE__, "SetEvent failed\n");
    return GetLastErrorAddress();
}

uint64_t *reset_event_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    if (ResetEvent(*argp))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ResetEvent called, id=%ld\n", static_cast<long>(*argp));
    else
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ResetEvent failed\n");
    return GetLastErrorAddress();
}

uint64_t *release_mutex_rpc_1_svc(uint64_t *argp, svc_req *) noexcept
{
    if (ReleaseMutex(*argp))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ReleaseMutex called, id=%ld\n", static_cast<long>(*argp));
    else
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ReleaseMutex failed\n");
    return GetLastErrorAddress();
}

uint64_t *release_semaphore_rpc_1_svc(registry_notify_struct *argp, svc_req *) noexcept
{
    if (ReleaseSemaphore(argp->arg1, static_cast<int64_t>(argp->arg2), nullptr))
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ReleaseSephore called, id=%ld\n", static_cast<long>(argp->arg1));
    else
        TraceLog(0, "ntsys_s", __func__, __LINE__, "ReleaseSephore failed\n");
    return GetLastErrorAddress();
}
