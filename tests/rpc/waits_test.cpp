// waits_test.cpp: waits answered at once or parked, multiple waits, signals that wake the newest waiter first
// before answering the signaller, cancels, connections that vanish, and parking without memory. The
// consistency checks run after every pass.
#include "tests/rpc/sync_fixture.h"

#include <random>

namespace kst::rpc {
namespace {

TEST_F(SyncRpc, SingleWaitsAnswerOrParkByTypeRulesAndEventsWakeNewestFirstBeforeTheSignaller)
{
    Connection     a = Connect(), b = Connect(), c = Connect(), d = Connect();
    const uint64_t mutex = Mutex(a, 0), sem = Semaphore(a, 1, 1);
    std::size_t    mark = TraceMark();
    EXPECT_EQ(On(a, P::kWaitSingle, mutex), mutex);  // free: a becomes its owner
    EXPECT_EQ(On(a, P::kWaitSingle, mutex), mutex);  // its owner again: at once, no recursion count
    EXPECT_EQ(
        Traces("wait_for_single_object_rpc_1_svc", "WaitForSingleObject failed, id=" + std::to_string(mutex), mark),
        2u);
    ParkOn(b, {mutex});  // its "called" trace is what the daemon tests wait for before each parked call
    EXPECT_EQ(On(a, P::kWaitSingle, sem), sem);
    ParkOn(c, {sem});
    // State 2 is not signalled for a single wait, but ready for a multiple one, which consumes it.
    const uint64_t odd = Event(a, 0, 2);
    ParkOn(d, {odd});
    EXPECT_EQ(WaitMultiple(a, 1, 0, {odd}), odd);
    ParkOn(b, {odd}, 0);
    EXPECT_EQ(On(a, P::kWaitSingle, 0), 4u);

    // Set and reset wake the newest waiter first, before answering the signaller.
    Connection     e = Connect(), f = Connect(), g = Connect();
    const uint64_t manual = Event(a, 1, 0), automatic = Event(a, 0, 0);
    const uint32_t xb = ParkOn(e, {manual}), xc = ParkOn(f, {manual});
    ParkOn(a, {manual});
    const uint32_t set = Send(a, P::kSetEvent, EncodeWord(manual));
    ExpectReply(a, set, manual);  // a's own parked wait first, stamped with the latest xid
    ExpectReply(a, set, 0);
    ExpectReply(e, xb, manual);
    ExpectReply(f, xc, manual);
    EXPECT_EQ(On(g, P::kWaitSingle, manual), manual);  // manual reset: stays signalled
    EXPECT_EQ(On(g, P::kWaitSingle, manual), manual);

    const uint32_t wb = ParkOn(e, {automatic}), wc = ParkOn(f, {automatic}), wd = ParkOn(g, {automatic});
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);  // one waiter per signal, the newest
    ExpectReply(g, wd, automatic);
    EXPECT_TRUE(Silent(e));
    EXPECT_TRUE(Silent(f));
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);
    ExpectReply(f, wc, automatic);
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);
    ExpectReply(e, wb, automatic);
    ExpectUnwatched(a, automatic);  // it stays signalled until one wait consumes it
    ParkOn(e, {automatic});

    const uint64_t closed = Event(a, 0, 0);
    EXPECT_EQ(On(a, P::kCloseHandle, closed), 0u);
    EXPECT_EQ(On(a, P::kSetEvent, 0), 4u);
    EXPECT_EQ(On(a, P::kSetEvent, closed), 2u);
    EXPECT_EQ(On(a, P::kResetEvent, sem), 4u);
}

// A refused multiple wait consumes nothing; a wait-any takes the first ready object, a wait-all every one or
// waits for each pending object.
TEST_F(SyncRpc, MultipleWaitsRefuseWithoutConsumingAndTakeTheFirstReadyOrAllAndReleasesWakeNewestFirst)
{
    Connection     a = Connect(), b = Connect(), c = Connect();
    const uint64_t sem = Semaphore(a, 1, 1), manual = Event(a, 1, 1);
    std::size_t    mark = TraceMark();
    EXPECT_EQ(WaitMultiple(a, 65, 0, std::vector<uint64_t>(64, sem)), 4u);
    EXPECT_EQ(Traces("WaitForMultipleObjects", Hex(sem), mark), 64u);  // refused once all 64 were traced
    EXPECT_EQ(WaitMultiple(a, 0, 0, {sem}), 4u);
    EXPECT_EQ(WaitMultiple(a, 2, 0, {sem, 0}), 4u);
    EXPECT_EQ(WaitMultiple(a, 2, 0, {sem, sem ^ 0x8000}), 2u);  // never issued
    EXPECT_EQ(Release(a, sem, 1), 8u);                          // still at its maximum

    const uint64_t empty = Semaphore(a, 0, 1), ev = Event(a, 0, 1);
    EXPECT_EQ(WaitMultiple(a, 2, 0, {empty, ev}), ev);
    const uint32_t any = ParkOn(b, {ev, empty}, 0);  // the event was reset, the semaphore left at 0
    EXPECT_EQ(Release(a, empty, 1), 0u);
    ExpectReply(b, any, empty);
    ExpectUnwatched(a, ev);  // b is gone from the event's list too

    EXPECT_EQ(WaitMultiple(a, 2, 1, {sem, sem}), 0u);  // listed twice: 1 -> 0 -> 0
    EXPECT_EQ(Release(a, sem, 1), 0u);
    // A flag other than 0 and 1 with every object ready is answered like a wait-any.
    EXPECT_EQ(WaitMultiple(a, 2, 2, {sem, manual}), sem);
    EXPECT_EQ(Release(a, sem, 1), 0u);
    // The ready event is not watched; an auto-reset signal is used up by the waiter, answered or not.
    const uint64_t e1 = Event(a, 0, 0), e2 = Event(a, 0, 0);
    const uint32_t xid = ParkOn(b, {manual, e1, e2}, 1);
    EXPECT_EQ(WaitersOn(manual), 0u);
    EXPECT_EQ(On(a, P::kResetEvent, manual), 0u);
    EXPECT_EQ(On(a, P::kSetEvent, e1), 0u);
    EXPECT_TRUE(Silent(b));
    EXPECT_EQ(WaitersOn(e1), 0u);
    ParkOn(c, {e1});
    EXPECT_EQ(On(a, P::kSetEvent, e2), 0u);
    ExpectReply(b, xid, e2);
    EXPECT_TRUE(Silent(c));

    // A release wakes at most that many waiters, newest first.
    std::vector<Connection> w;
    std::vector<uint32_t>   parked;
    const uint64_t          five = Semaphore(a, 0, 5), none = Semaphore(a, 0, 0);
    for (int i = 0; i < 3; ++i)
        parked.push_back(ParkOn(w.emplace_back(Connect()), {five}));
    mark = TraceMark();
    EXPECT_EQ(Release(a, five, 0), 0u);  // wakes nobody
    EXPECT_EQ(Release(a, five, 6), 8u);
    EXPECT_EQ(Release(a, five, ~uint64_t{0}), 4u);  // -1
    EXPECT_EQ(Release(a, none, 1), 8u);
    EXPECT_EQ(Traces("release_semaphore_rpc_1_svc", "ReleaseSephore failed", mark), 3u);
    EXPECT_EQ(WaitersOn(five), 3u);
    EXPECT_EQ(Release(a, five, 2), 0u);
    ExpectReply(w[2], parked[2], five);
    ExpectReply(w[1], parked[1], five);
    EXPECT_TRUE(Silent(w[0]));
    EXPECT_EQ(Release(a, five, 5), 0u);  // the last waiter takes one of five
    ExpectReply(w[0], parked[0], five);
    EXPECT_EQ(Release(a, five, 2), 8u);  // 4 + 2 > 5
    EXPECT_EQ(Release(a, five, 1), 0u);
}

TEST_F(SyncRpc, CancelsAnswerTheParkedCallFirstAndMutexesPassToTheNewestWaiterAndOnTheirOwnersLoss)
{
    Connection     a = Connect(), b = Connect();
    const uint64_t e1 = Event(a, 0, 0), e2 = Event(a, 0, 0);
    // The parked call's 0 comes first, then the cancel's own; both carry the cancel's xid.
    auto cancel = [&](uint32_t proc, const Bytes &args) {
        const uint32_t xid = Send(a, proc, args);
        ExpectReply(a, xid, 0);
        ExpectReply(a, xid, 0);
        EXPECT_TRUE(Silent(a));
    };
    ParkOn(a, {e1});
    const std::size_t mark = TraceMark();
    cancel(P::kCancelWaitSingle, EncodeWord(e1));
    EXPECT_EQ(Traces("timeout_wait_for_single_object_rpc_1_svc", std::to_string(e1) + " timeout!", mark), 1u);
    EXPECT_EQ(On(a, P::kCancelWaitSingle, e1), 0u);  // nothing left to cancel
    EXPECT_EQ(Call(a, P::kCancelWaitMultiple, EncodeWait(0, 0, {})), 4u);
    // A count above 64 still cancels; a handle that names nothing is skipped.
    ParkOn(a, {e1, e2}, 0);
    cancel(P::kCancelWaitMultiple, EncodeWait(100, 0, std::vector{e1 ^ 0x8000, e2}));
    // A single cancel that finds a multiple wait takes it off all its objects.
    ParkOn(a, {e1, e2}, 1);
    cancel(P::kCancelWaitSingle, EncodeWord(e1));
    ExpectUnwatched(b, e1);
    ExpectUnwatched(b, e2);

    // A mutex passes to the newest waiter, and on its owner's loss.
    Connection     c = Connect(), d = Connect();
    const uint64_t mutex = Mutex(a, 1), event = Event(a, 0, 0);
    EXPECT_EQ(On(b, P::kReleaseMutex, mutex), 288u);  // not the owner
    EXPECT_EQ(On(a, P::kReleaseMutex, event), 288u);  // the owner test comes before the type test
    EXPECT_EQ(On(a, P::kReleaseMutex, 0), 2u);
    const uint32_t xb = ParkOn(b, {mutex}), xc = ParkOn(c, {mutex});
    ParkOn(a, {mutex}, 0);  // even its owner waits in a multiple wait
    const uint32_t release = Send(a, P::kReleaseMutex, EncodeWord(mutex));
    ExpectReply(a, release, mutex);  // handed straight to the newest waiter: a's own
    ExpectReply(a, release, 0);
    EXPECT_EQ(On(a, P::kReleaseMutex, mutex), 0u);  // one release, however often the owner waited
    ExpectReply(c, xc, mutex);
    EXPECT_TRUE(Silent(b));
    Drop(c);  // the owner's connection goes: the mutex passes on in the same pass
    ExpectReply(b, xb, mutex);
    EXPECT_EQ(On(b, P::kReleaseMutex, mutex), 0u);
    EXPECT_EQ(On(b, P::kReleaseMutex, mutex), 288u);  // free now

    // A lost owner's mutexes pass on newest object first, whatever order they were taken in; b's parked
    // calls show the order (all replies carry the xid of b's latest call).
    const uint64_t m0 = Mutex(a, 0), m1 = Mutex(d, 1), m2 = Mutex(d, 1), m3 = Mutex(d, 1);
    EXPECT_EQ(On(d, P::kWaitSingle, m0), m0);  // the oldest, taken last
    ParkOn(b, {m0});
    ParkOn(b, {m1});
    const uint32_t latest = ParkOn(b, {m3});
    Drop(d);
    ExpectReply(b, latest, m3);
    ExpectReply(b, latest, m1);
    ExpectReply(b, latest, m0);
    EXPECT_EQ(On(a, P::kWaitSingle, m2), m2);  // free: nobody waited for it
}

// Hundreds of connections park on shared objects and close in random order, some with two parked calls
// (the socket slot names only the second, so the first is found by the destroy notification). None may
// leave a waiter, an owner or a byte behind.
TEST_F(SyncRpc, ChurnOfParkingConnectionsLeavesNoWaiterBehind)
{
    Connection        a = Connect(), keeper = Connect();
    const uint64_t    sem = Semaphore(a, 0, 1000), mutex = Mutex(a, 1);
    const std::vector objects{Event(a, 0, 0), Event(a, 0, 0), sem, mutex};
    const uint32_t kept = ParkOn(keeper, {objects[0]});  // the oldest waiter: signalled only if no dead one is above it
    std::mt19937   random(7);
    std::vector<Connection> open;
    open.reserve(64);  // never grows: its buffer is not counted below
    auto churn = [&] {
        for (int i = 0; i < 300; ++i) {
            Connection &c = open.emplace_back(Connect());
            for (uint32_t n = 1 + random() % 2; n > 0; --n) {
                const std::vector handles{objects[random() % 4], objects[random() % 4]};
                if (random() % 2)
                    Send(c, P::kWaitSingle, EncodeWord(handles[0]));
                else
                    Send(c, P::kWaitMultiple, EncodeWait(2, random() % 3, handles));
            }
            if (open.size() > 48 || random() % 3 == 0) {
                open.erase(open.begin() + random() % open.size());
                Pump();
            }
        }
        open.clear();
        for (int pass = 0; pass < 100 && ParkedWaiters() > 1; ++pass)
            Pump();
        EXPECT_EQ(ParkedWaiters(), 1u);
        return LiveBytes();
    };
    const std::size_t first = churn();  // the indexes have grown to what the churn needs
    EXPECT_EQ(churn(), first) << "memory left behind by the lost connections";

    EXPECT_EQ(On(a, P::kSetEvent, objects[0]), 0u);
    ExpectReply(keeper, kept, objects[0]);
}

// Each allocation of a parking wait fails once in turn: the wait is answered 5 (or, for the call's own
// record, not at all) and is linked nowhere, with no socket slot left naming it; the checks after each
// pass prove that no half-linked waiter remains. (What a parked wait costs is a bench row.)
TEST_F(SyncRpc, ParkingWithoutMemoryIsUndoneCompletely)
{
    Connection a = Connect(), b = Connect();
    // b reads a reply first, so its receive buffer is there before the server's bytes are counted.
    const uint64_t e1 = Event(b, 0, 0), e2 = Event(a, 0, 0), e3 = Event(a, 0, 0);
    for (const bool multiple : {false, true}) {
        const Bytes       args = multiple ? EncodeWait(3, 1, std::vector{e1, e2, e3}) : EncodeWord(e1);
        const uint32_t    proc = multiple ? P::kWaitMultiple : P::kWaitSingle;
        const std::size_t bytes = LiveBytes();
        const uint64_t    record = multiple ? 3 : 2;  // after the waiter (and a multiple wait's pending objects)
        for (uint64_t nth = 1;; ++nth) {
            FailAllocation(nth);
            const uint32_t xid = Send(b, proc, args);
            const bool     failed = FailAllocation(0);
            if (!failed) {
                EXPECT_EQ(ParkedWaiters(), 1u);
                // waiter and the call's record; a multiple wait's pending objects and a link per object besides
                EXPECT_EQ(nth, multiple ? 7u : 3u);
                const uint32_t cancel = Send(b, multiple ? P::kCancelWaitMultiple : P::kCancelWaitSingle, args);
                ExpectReply(b, cancel, 0);
                ExpectReply(b, cancel, 0);
                break;
            }
            EXPECT_EQ(ParkedWaiters(), 0u);
            if (nth == record)
                EXPECT_TRUE(Silent(b)) << "no record, no reply";
            else
                ExpectReply(b, xid, 5);
            EXPECT_EQ(LiveBytes(), bytes) << "allocation " << nth;
        }
    }
    for (const uint64_t ev : {e1, e2, e3})
        ExpectUnwatched(a, ev);
}

}  // namespace
}  // namespace kst::rpc
