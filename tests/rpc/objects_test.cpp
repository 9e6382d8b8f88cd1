// objects_test.cpp: create, open and close of events, mutexes and semaphores; handles that never name
// anything else; creation without memory.
#include "tests/rpc/sync_fixture.h"

#include "sync/sync.h"

#include <set>

namespace kst::rpc {
namespace {

TEST_F(SyncRpc, NamesAreSeparatePerTypeHandlesAreCountedCloseRefusesOwnedMutexesAndCreateArgumentsAreExact)
{
    Connection     a = Connect(), b = Connect();
    std::size_t    mark = TraceMark();
    const uint64_t ev = Event(a, 0, 0, "A"), mutex = Mutex(a, 0, "A");
    EXPECT_NE(ev, mutex);
    EXPECT_EQ(Open(a, P::kOpenMutex, "A"), mutex);
    EXPECT_EQ(Open(a, P::kOpenEvent, "A"), ev);
    EXPECT_EQ(Open(a, P::kOpenSemaphore, "A"), 2u);
    EXPECT_EQ(Traces("create_event_rpc_1_svc", "create event id = " + Hex(ev) + ", name = A", mark), 1u);
    EXPECT_EQ(Event(a, 1, 1, "A"), ev);  // found by name: still auto-reset and not signalled
    ParkOn(b, {ev});
    EXPECT_EQ(On(a, P::kCloseHandle, ev), 0u);  // three handles out
    EXPECT_EQ(On(a, P::kCloseHandle, ev), 0u);
    EXPECT_EQ(On(a, P::kCloseHandle, ev), 6u);  // the last one, refused while b waits
    EXPECT_EQ(On(a, P::kSetEvent, ev), 0u);
    ExpectReply(b, 1, ev);
    // The refusal put the count back to 1: one open makes two handles, and two closes delete the event.
    EXPECT_EQ(Open(a, P::kOpenEvent, "A"), ev);
    EXPECT_EQ(On(a, P::kCloseHandle, ev), 0u);
    EXPECT_EQ(On(a, P::kCloseHandle, ev), 0u);
    EXPECT_EQ(Open(a, P::kOpenEvent, "A"), 2u);
    EXPECT_EQ(On(a, P::kCloseHandle, 0), 4u);
    EXPECT_NE(Event(a, 0, 0, ""), Event(a, 0, 0, ""));  // unnamed objects are never shared
    EXPECT_EQ(Open(a, P::kOpenEvent, ""), 2u);

    // An owned mutex is not closed; deletion works from any place in the list.
    const uint64_t owned = Mutex(a, 1, "M");
    EXPECT_EQ(On(a, P::kCloseHandle, owned), 6u);
    EXPECT_EQ(On(a, P::kWaitSingle, owned), owned);  // still there, still a's
    EXPECT_EQ(On(a, P::kReleaseMutex, owned), 0u);
    EXPECT_EQ(On(a, P::kCloseHandle, owned), 0u);  // the refused close left its count at 0: this one deletes it
    EXPECT_EQ(Open(a, P::kOpenMutex, "M"), 2u);
    const uint64_t y = Event(a, 0, 0, "Y"), z = Event(a, 0, 0, "Z");
    EXPECT_EQ(On(a, P::kCloseHandle, y), 0u);  // from the middle, then the head
    EXPECT_EQ(On(a, P::kCloseHandle, z), 0u);
    EXPECT_EQ(Open(a, P::kOpenEvent, "Y"), 2u);
    // Create arguments follow their exact rules.
    Connection c = Connect();
    mark = TraceMark();
    EXPECT_EQ(Semaphore(a, 5, 3, "S"), 0u);
    EXPECT_EQ(Semaphore(a, ~uint64_t{0}, 3, "S"), 0u);
    EXPECT_EQ(Open(a, P::kOpenSemaphore, "S"), 2u);  // nothing was created
    const uint64_t sem = Semaphore(a, 0, 0, "S");
    EXPECT_EQ(Semaphore(a, 5, 3, "S"), sem);  // an existing one is returned before the counts are checked
    EXPECT_EQ(Open(a, P::kOpenSemaphore, "S"), sem);
    EXPECT_EQ(Traces("open_semaphore_rpc_1_svc", "OpenSephore called, name=S", mark), 1u);

    const uint64_t seventeen = Event(a, 0, 17), sixteen = Event(a, 0, 16);
    EXPECT_EQ(On(a, P::kWaitSingle, seventeen), seventeen);  // only the low four bits count
    ParkOn(b, {sixteen});
    const uint64_t held = Mutex(a, 1), free = Mutex(a, 2);
    EXPECT_EQ(On(c, P::kWaitSingle, free), free);  // only a flag of exactly 1 takes ownership
    ParkOn(c, {held});

    const std::string full(64, 'n');  // fills the field: no terminator on the wire
    const uint64_t    named = Event(a, 0, 0, full);
    EXPECT_EQ(Open(a, P::kOpenEvent, full), named);
}

// A late call with a closed object's handle must never reach an object created after it, however many.
TEST_F(SyncRpc, HandlesAndOwnerWordsAreNeverReusedAndAStaleHandleIsRefusedLikeAnUnknownOne)
{
    Connection            a = Connect(), b = Connect();
    std::set<uint64_t>    seen;
    std::vector<uint64_t> closed;
    for (int round = 0; round < 16; ++round) {
        const uint64_t ev = Event(a, 0, 0), mutex = Mutex(a, 0, "M"), sem = Semaphore(a, 0, 1, "S");
        for (const uint64_t handle : {ev, mutex, sem}) {
            EXPECT_GT(handle, 288u);  // above every error code
            EXPECT_TRUE(seen.insert(handle).second) << "handle " << Hex(handle) << " issued twice";
            EXPECT_EQ(On(a, P::kCloseHandle, handle), 0u);
            closed.push_back(handle);
        }
    }
    const uint64_t live = Event(a, 1, 1);
    for (const uint64_t stale : closed) {
        for (const uint32_t proc :
             {P::kSetEvent, P::kResetEvent, P::kCloseHandle, P::kWaitSingle, P::kReleaseMutex, P::kCancelWaitSingle})
            EXPECT_EQ(On(b, proc, stale), 2u) << "procedure " << proc;
        EXPECT_EQ(Release(b, stale, 1), 2u);
        EXPECT_EQ(WaitMultiple(b, 2, 0, {live, stale}), 2u);  // refused before anything is consumed
    }
    EXPECT_EQ(On(b, P::kWaitSingle, live), live);

    // The client identity is a connection's life, not the runtime's transport record or descriptor, which
    // the next connection gets again: an owner word can never pass for a later connection.
    std::set<uint64_t> owners;
    for (int i = 0; i < 8; ++i) {
        Connection          c = Connect();
        const uint64_t      mutex = Mutex(c, 1);
        const ObjectRecord *record = ObjectOfHandle(mutex);
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(owners.insert(record->mutex.owner).second) << "owner word repeated at connection " << i;
        Drop(c);
        EXPECT_EQ(record->mutex.owner, 0u);  // released when its owner went
    }
}

// Each allocation of a create fails once in turn: the call is refused with 5 and leaves no half-made
// object in the list or its indexes; an index that cannot grow only keeps longer chains.
TEST_F(SyncRpc, CreateWithoutMemoryLeavesNothingBehind)
{
    Connection a = Connect();
    for (int i = 0; i < 64; ++i)  // the indexes' first buckets are full: the next object makes them grow
        ASSERT_LT(Event(a, 0, 0, std::string("E").append(std::to_string(i))), ~uint64_t{0});
    uint64_t nth = 1;
    for (;; ++nth) {
        const std::size_t objects = ObjectCount();
        FailAllocation(nth);
        const uint32_t xid = Send(a, P::kCreateEvent, EncodeCreate(0, 0, "NEW"));
        const bool     failed = FailAllocation(0);
        if (ObjectCount() == objects) {
            ExpectReply(a, xid, 5);
            EXPECT_EQ(Open(a, P::kOpenEvent, "NEW"), 2u);
            continue;
        }
        const Bytes    reply = Read(a);
        const uint64_t made = Open(a, P::kOpenEvent, "NEW");
        EXPECT_EQ(reply, WordReply(xid, made));
        EXPECT_EQ(On(a, P::kCloseHandle, made), 0u);
        EXPECT_EQ(On(a, P::kCloseHandle, made), 0u);
        if (!failed) break;
    }
    // The consistency checks after each pass find every object by its handle and name in the grown indexes.
    EXPECT_EQ(nth, 4u) << "object, name and the handle index doubling (the name index then has room)";
}

}  // namespace
}  // namespace kst::rpc
