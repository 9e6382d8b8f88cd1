// internal.h: what the object table, the waits and the signals share inside sync/.
#pragma once

#include "sync/sync.h"

// The record a handle names, or nullptr when the handle is not in the object list. Only the address is
// compared before the record is read, so a stale or forged handle is never dereferenced.
[[nodiscard]] inline ObjectRecord *ObjectOfHandle(uint64_t handle) noexcept
{
    return FindObjectByID(handle) ? reinterpret_cast<ObjectRecord *>(handle) : nullptr;
}

// The same for a call that names an object: a null handle sets last error 4, one not in the list 2.
[[nodiscard]] inline ObjectRecord *ObjectForCall(uint64_t handle) noexcept
{
    if (handle == 0) {
        SetLastError(kErrInvalid);
        return nullptr;
    }
    ObjectRecord *obj = ObjectOfHandle(handle);
    if (!obj) SetLastError(kErrNotFound);
    return obj;
}

// Wakes the newest waiter of a signalled object: unlinks it there and completes its wait (or, for a wait-all
// that still waits for other objects, marks this one done). A mutex passes to the waiter's connection first.
void TakeWaiter(ObjectRecord *record) noexcept;

// Drops every waiter still linked on the object, and all their other links, without a reply.
void DiscardWaitersOn(ObjectRecord *record) noexcept;
