// invariants.h: consistency checks over the server's own object, waiter and slot state, for
// tests that run the server in their own process. They read the records and never change them.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace kst {

// Success when every rule holds, else a failure that names the first broken one:
// - the object list is linked both ways, and each record is found by its handle and (named) by its name;
// - every waiter link names a waiter whose pending slots name that object (a single wait has one link),
//   and every pending slot still set has its link: no link to a waiter that has gone, none missing;
// - every parked waiter is on at least one object, belongs to a live connection, and its connection's
//   socket slot names a parked call of that connection; every slot names a parked waiter;
// - no mutex is owned by a connection that is not live; each owned mutex and each parked waiter is on
//   its connection's own list, linked back, and those lists hold nothing else.
::testing::AssertionResult SyncStateIsConsistent();

// Parked waiters, each counted once however many objects it is linked on.
std::size_t ParkedWaiters();
// Links on the object a handle names; 0 for a handle that names nothing.
std::size_t WaitersOn(uint64_t handle);
// Objects in the list.
std::size_t ObjectCount();

}  // namespace kst
