// signal_test.cpp: set, reset and release wake the newest waiter first, before answering the signaller.
#include "tests/daemon/sync_fixture.h"

namespace {

TEST_F(SyncDaemon, EventsWakeNewestFirstBeforeAnsweringTheSignaller)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect(), d = Connect();
    const uint64_t manual = a.CreateEvent(1, 0, "").value(), automatic = a.CreateEvent(0, 0, "").value();
    for (kst::Connection *waiter : {&b, &c, &a})
        Park(*waiter, {manual});
    const uint32_t set = a.NextXid();
    ASSERT_TRUE(a.SendCall(kst::proc::kSetEvent, kst::EncodeWord(manual), set));
    EXPECT_EQ(Next(a), Answer(set, manual)); // a's own parked wait first, stamped with the latest xid
    EXPECT_EQ(Next(a), Answer(set, 0));
    EXPECT_TRUE(Word(b) == manual && Word(c) == manual);
    EXPECT_EQ(d.WaitForSingleObject(manual), manual); // manual reset: stays signalled
    EXPECT_EQ(d.WaitForSingleObject(manual), manual);

    for (kst::Connection *waiter : {&b, &c, &d})
        Park(*waiter, {automatic});
    EXPECT_EQ(a.SetEvent(automatic), 0u); // one waiter per signal, the newest
    EXPECT_EQ(Word(d), automatic);
    EXPECT_TRUE(b.NoReplyWithin(200) && c.NoReplyWithin(0));
    EXPECT_EQ(a.SetEvent(automatic), 0u);
    EXPECT_EQ(Word(c), automatic);
    EXPECT_EQ(a.SetEvent(automatic), 0u);
    EXPECT_EQ(Word(b), automatic);
    ExpectUnwatched(a, automatic); // it stays signalled until one wait consumes it
    Park(b, {automatic});

    const uint64_t closed = a.CreateEvent(0, 0, "").value(), sem = a.CreateSemaphore(0, 1, "").value();
    EXPECT_EQ(a.CloseHandle(closed), 0u);
    EXPECT_TRUE(a.SetEvent(0) == 4u && a.SetEvent(closed) == 2u && a.ResetEvent(sem) == 4u);
}

TEST_F(SyncDaemon, SemaphoreReleaseWakesAtMostThatManyNewestFirst)
{
    kst::Connection a = Connect();
    std::vector<kst::Connection> w;
    const uint64_t sem = a.CreateSemaphore(0, 5, "").value(), none = a.CreateSemaphore(0, 0, "").value();
    for (int i = 0; i < 3; ++i)
        Park(w.emplace_back(Connect()), {sem});
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(a.ReleaseSemaphore(sem, 0), 0u); // wakes nobody
    EXPECT_EQ(a.ReleaseSemaphore(sem, 6), 8u);
    EXPECT_EQ(a.ReleaseSemaphore(sem, ~uint64_t{0}), 4u); // -1
    EXPECT_EQ(a.ReleaseSemaphore(none, 1), 8u);
    EXPECT_EQ(Traces("release_semaphore_rpc_1_svc", "ReleaseSephore failed", mark), 3u);
    EXPECT_TRUE(w[0].NoReplyWithin(200) && w[1].NoReplyWithin(0) && w[2].NoReplyWithin(0));
    EXPECT_EQ(a.ReleaseSemaphore(sem, 2), 0u);
    EXPECT_TRUE(Word(w[2]) == sem && Word(w[1]) == sem && w[0].NoReplyWithin(200));
    EXPECT_EQ(a.ReleaseSemaphore(sem, 5), 0u); // the last waiter takes one of five
    EXPECT_EQ(Word(w[0]), sem);
    EXPECT_EQ(a.ReleaseSemaphore(sem, 2), 8u); // 4 + 2 > 5
    EXPECT_EQ(a.ReleaseSemaphore(sem, 1), 0u);
}

TEST_F(SyncDaemon, MutexPassesToTheNewestWaiterAndOnItsOwnersLoss)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect(), d = Connect();
    const uint64_t mutex = a.CreateMutex(0, 1, "").value(), event = a.CreateEvent(0, 0, "").value();
    EXPECT_EQ(b.ReleaseMutex(mutex), 288u); // not the owner
    EXPECT_EQ(a.ReleaseMutex(event), 288u); // the owner test comes before the type test
    EXPECT_EQ(a.ReleaseMutex(0), 2u);
    Park(b, {mutex});
    Park(c, {mutex});
    Park(a, {mutex}, 0); // even its owner waits in a multiple wait
    const uint32_t release = a.NextXid();
    ASSERT_TRUE(a.SendCall(kst::proc::kReleaseMutex, kst::EncodeWord(mutex), release));
    EXPECT_EQ(Next(a), Answer(release, mutex)); // handed straight to the newest waiter: a's own
    EXPECT_EQ(Next(a), Answer(release, 0));
    EXPECT_EQ(a.ReleaseMutex(mutex), 0u); // one release, however often the owner waited
    EXPECT_TRUE(Word(c) == mutex && b.NoReplyWithin(200));
    c.Close(); // the owner's connection goes: the mutex passes on
    EXPECT_EQ(Word(b), mutex);
    EXPECT_EQ(b.ReleaseMutex(mutex), 0u);
    EXPECT_EQ(b.ReleaseMutex(mutex), 288u); // free now

    const uint64_t m1 = d.CreateMutex(0, 1, "").value(), m2 = d.CreateMutex(0, 1, "").value();
    d.Close(); // both become free (or pass to b's wait, should it come first)
    EXPECT_EQ(b.WaitForSingleObject(m1), m1);
    EXPECT_EQ(b.WaitForSingleObject(m2), m2);
}

} // namespace
