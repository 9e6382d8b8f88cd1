// signal_test.cpp: set, reset and release wake the newest waiter first, before answering the signaller.
#include "tests/rpc/sync_fixture.h"

namespace kst::rpc {
namespace {

TEST_F(SyncRpc, EventsWakeNewestFirstBeforeAnsweringTheSignaller)
{
    Connection     a = Connect(), b = Connect(), c = Connect(), d = Connect();
    const uint64_t manual = Event(a, 1, 0), automatic = Event(a, 0, 0);
    const uint32_t xb = ParkOn(b, {manual}), xc = ParkOn(c, {manual});
    ParkOn(a, {manual});
    const std::size_t mark = TraceMark();
    const uint32_t    set = Send(a, P::kSetEvent, EncodeWord(manual));
    ExpectReply(a, set, manual);  // a's own parked wait first, stamped with the latest xid
    ExpectReply(a, set, 0);
    ExpectReply(b, xb, manual);
    ExpectReply(c, xc, manual);
    EXPECT_EQ(Traces("set_event_rpc_1_svc", "SetEvent called, id=" + std::to_string(manual), mark), 1u);
    EXPECT_EQ(On(d, P::kWaitSingle, manual), manual);  // manual reset: stays signalled
    EXPECT_EQ(On(d, P::kWaitSingle, manual), manual);

    const uint32_t wb = ParkOn(b, {automatic}), wc = ParkOn(c, {automatic}), wd = ParkOn(d, {automatic});
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);  // one waiter per signal, the newest
    ExpectReply(d, wd, automatic);
    EXPECT_TRUE(Silent(b) && Silent(c));
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);
    ExpectReply(c, wc, automatic);
    EXPECT_EQ(On(a, P::kSetEvent, automatic), 0u);
    ExpectReply(b, wb, automatic);
    ExpectUnwatched(a, automatic);  // it stays signalled until one wait consumes it
    ParkOn(b, {automatic});

    const uint64_t closed = Event(a, 0, 0), sem = Semaphore(a, 0, 1);
    EXPECT_EQ(On(a, P::kCloseHandle, closed), 0u);
    EXPECT_EQ(On(a, P::kSetEvent, 0), 4u);
    EXPECT_EQ(On(a, P::kSetEvent, closed), 2u);
    EXPECT_EQ(On(a, P::kResetEvent, sem), 4u);
    EXPECT_EQ(Traces("set_event_rpc_1_svc", "SetEvent failed", mark), 2u);
}

TEST_F(SyncRpc, SemaphoreReleaseWakesAtMostThatManyNewestFirst)
{
    Connection              a = Connect();
    std::vector<Connection> w;
    std::vector<uint32_t>   xid;
    const uint64_t          sem = Semaphore(a, 0, 5), none = Semaphore(a, 0, 0);
    for (int i = 0; i < 3; ++i)
        xid.push_back(ParkOn(w.emplace_back(Connect()), {sem}));
    const std::size_t mark = TraceMark();
    EXPECT_EQ(Release(a, sem, 0), 0u);  // wakes nobody
    EXPECT_EQ(Release(a, sem, 6), 8u);
    EXPECT_EQ(Release(a, sem, ~uint64_t{0}), 4u);  // -1
    EXPECT_EQ(Release(a, none, 1), 8u);
    EXPECT_EQ(Traces("release_semaphore_rpc_1_svc", "ReleaseSephore failed", mark), 3u);
    EXPECT_EQ(WaitersOn(sem), 3u);
    EXPECT_EQ(Release(a, sem, 2), 0u);
    ExpectReply(w[2], xid[2], sem);
    ExpectReply(w[1], xid[1], sem);
    EXPECT_TRUE(Silent(w[0]));
    EXPECT_EQ(Release(a, sem, 5), 0u);  // the last waiter takes one of five
    ExpectReply(w[0], xid[0], sem);
    EXPECT_EQ(Release(a, sem, 2), 8u);  // 4 + 2 > 5
    EXPECT_EQ(Release(a, sem, 1), 0u);
}

TEST_F(SyncRpc, MutexPassesToTheNewestWaiterAndOnItsOwnersLoss)
{
    Connection     a = Connect(), b = Connect(), c = Connect(), d = Connect();
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

    // A lost owner's mutexes pass on newest object first; b's two parked calls show the order (both
    // replies carry the xid of b's latest call).
    const uint64_t m1 = Mutex(d, 1), m2 = Mutex(d, 1), m3 = Mutex(d, 1);
    ParkOn(b, {m1});
    const uint32_t latest = ParkOn(b, {m3});
    Drop(d);
    ExpectReply(b, latest, m3);
    ExpectReply(b, latest, m1);
    EXPECT_EQ(On(a, P::kWaitSingle, m2), m2);  // free: nobody waited for it
}

}  // namespace
}  // namespace kst::rpc
