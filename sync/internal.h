// internal.h: what the object table, the waits and the signals share inside sync/.
#pragma once

#include "sync/sync.h"

// Wakes the newest waiter of a signalled object: unlinks it there and completes its wait (or, for a wait-all
// that still waits for other objects, marks this one done). A mutex passes to the waiter's connection first.
void TakeWaiter(ObjectRecord *record) noexcept;

// Drops every waiter still linked on the object, and all their other links, without a reply.
void DiscardWaitersOn(ObjectRecord *record) noexcept;

// Makes owner (0: nobody) the mutex's owner, keeping the owner index in step; every change goes through here.
void SetMutexOwner(ObjectRecord *mutex, uint64_t owner) noexcept;

// Of the mutexes the connection owns, the one with the largest handle below `below`: the first one a walk
// of the list from a record with handle `below` would meet. nullptr when there is none.
[[nodiscard]] ObjectRecord *NewestMutexOwnedBy(uint64_t connection, uint64_t below) noexcept;
