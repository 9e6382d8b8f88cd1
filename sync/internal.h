// internal.h: what the object table, the waits and the signals share inside sync/.
#pragma once

#include "sync/sync.h"

// Wakes the newest waiter of a signalled object: unlinks it there and completes its wait (or, for a wait-all
// that still waits for other objects, marks this one done). A mutex passes to the waiter's connection first.
void TakeWaiter(ObjectRecord *record) noexcept;

// Unlinks a record from the object list and its indexes and frees it; its waiter list must be empty.
void FreeObject(ObjectRecord *obj) noexcept;

// Drops every waiter still linked on the object, and all their other links, without a reply.
void DiscardWaitersOn(ObjectRecord *record) noexcept;

// Makes owner (nullptr: nobody) the mutex's owner, keeping the owners' lists in step; every change goes
// through here.
void SetMutexOwner(ObjectRecord *mutex, ConnectionRecord *owner) noexcept;

// Orders the connection's list of owned mutexes as a walk of the object list meets them, newest
// object (largest handle) first.
void SortOwnedNewestFirst(ConnectionRecord &connection) noexcept;
