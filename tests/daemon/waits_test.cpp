// waits_test.cpp: waits answered at once or parked, multiple waits, cancels, and connections that vanish.
#include "tests/daemon/sync_fixture.h"

#include <sys/socket.h>

#include <random>

namespace {

// A cancel on a connection with a parked call: that call's 0 comes first, then the cancel's own, both
// stamped with the cancel's xid.
void ExpectCancel(kst::Connection &c, uint32_t procedure, const kst::Bytes &args)
{
    const uint32_t xid = c.NextXid();
    ASSERT_TRUE(c.SendCall(procedure, args, xid));
    EXPECT_EQ(Next(c), Answer(xid, 0));
    EXPECT_EQ(Next(c), Answer(xid, 0));
}

TEST_F(SyncDaemon, SingleWaitAnswersOrParksByTypeRules)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect(), d = Connect();
    const uint64_t mutex = a.CreateMutex(0, 0, "").value(), sem = a.CreateSemaphore(1, 1, "").value();
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(a.WaitForSingleObject(mutex), mutex); // free: a becomes its owner
    EXPECT_EQ(a.WaitForSingleObject(mutex), mutex); // its owner again: at once, no recursion count
    EXPECT_EQ(
        Traces("wait_for_single_object_rpc_1_svc", "WaitForSingleObject failed, id=" + std::to_string(mutex), mark),
        2u);
    Park(b, {mutex});
    EXPECT_EQ(a.WaitForSingleObject(sem), sem);
    Park(c, {sem});
    // State 2 is not signalled for a single wait, but ready for a multiple one, which consumes it.
    const uint64_t odd = a.CreateEvent(0, 2, "").value();
    Park(d, {odd});
    EXPECT_EQ(a.WaitForMultipleObjects(1, 0, std::vector{odd}), odd);
    Park(b, {odd}, 0);
}

TEST_F(SyncDaemon, MultipleWaitRefusalsConsumeNothing)
{
    kst::Connection a = Connect();
    const uint64_t sem = a.CreateSemaphore(1, 1, "").value();
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(a.WaitForMultipleObjects(65, 0, std::vector<uint64_t>(64, sem)), 4u);
    EXPECT_EQ(Traces("WaitForMultipleObjects", Hex(sem), mark), 64u); // refused once all 64 were traced
    EXPECT_EQ(a.WaitForMultipleObjects(0, 0, std::vector{sem}), 4u);
    EXPECT_EQ(a.WaitForMultipleObjects(2, 0, std::vector<uint64_t>{sem, 0}), 4u);
    EXPECT_EQ(a.WaitForMultipleObjects(2, 0, std::vector{sem, sem + 8}), 2u); // never issued
    EXPECT_EQ(a.ReleaseSemaphore(sem, 1), 8u);                                // still at its maximum
}

TEST_F(SyncDaemon, WaitAnyTakesTheFirstReadyAndLeavesTheOtherObjects)
{
    kst::Connection a = Connect(), b = Connect();
    const uint64_t empty = a.CreateSemaphore(0, 1, "").value(), ev = a.CreateEvent(0, 1, "").value();
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(a.WaitForMultipleObjects(2, 0, std::vector{empty, ev}), ev);
    EXPECT_EQ(Traces("WaitForMultipleObjects", "object " + Hex(ev) + " is ready", mark), 1u);
    Park(b, {ev, empty}, 0); // the event was reset, the semaphore left at 0
    EXPECT_EQ(a.ReleaseSemaphore(empty, 1), 0u);
    EXPECT_EQ(Word(b), empty);
    ExpectUnwatched(a, ev); // b is gone from the event's list too
}

TEST_F(SyncDaemon, WaitAllConsumesEverythingOrWaitsForEachPendingObject)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect();
    const uint64_t sem = a.CreateSemaphore(1, 1, "").value(), manual = a.CreateEvent(1, 1, "").value();
    EXPECT_EQ(a.WaitForMultipleObjects(2, 1, std::vector{sem, sem}), 0u); // listed twice: 1 -> 0 -> 0
    EXPECT_EQ(a.ReleaseSemaphore(sem, 1), 0u);
    // A flag other than 0 and 1 with every object ready is answered like a wait-any.
    EXPECT_EQ(a.WaitForMultipleObjects(2, 2, std::vector{sem, manual}), sem);
    EXPECT_EQ(a.ReleaseSemaphore(sem, 1), 0u);
    // The ready event is not watched; an auto-reset signal is used up by the waiter, answered or not.
    const uint64_t e1 = a.CreateEvent(0, 0, "").value(), e2 = a.CreateEvent(0, 0, "").value();
    Park(b, {manual, e1, e2}, 1);
    EXPECT_EQ(a.ResetEvent(manual), 0u);
    EXPECT_EQ(a.SetEvent(e1), 0u);
    EXPECT_TRUE(b.NoReplyWithin(200));
    Park(c, {e1});
    EXPECT_EQ(a.SetEvent(e2), 0u);
    EXPECT_EQ(Word(b), e2);
}

TEST_F(SyncDaemon, CancelsAnswerTheParkedCallFirstAndUnlinkItEverywhere)
{
    kst::Connection a = Connect(), b = Connect();
    const uint64_t e1 = a.CreateEvent(0, 0, "").value(), e2 = a.CreateEvent(0, 0, "").value();
    Park(a, {e1});
    const std::size_t mark = sandbox_.TraceMark();
    ExpectCancel(a, kst::proc::kCancelWaitSingle, kst::EncodeWord(e1));
    EXPECT_EQ(Traces("timeout_wait_for_single_object_rpc_1_svc", std::to_string(e1) + " timeout!", mark), 1u);
    EXPECT_EQ(a.CancelWaitSingle(e1), 0u);     // nothing left to cancel
    EXPECT_EQ(a.CancelWaitSingle(e1 + 8), 2u); // never issued
    EXPECT_EQ(a.CancelWaitMultiple(0, {}), 4u);
    // A count above 64 still cancels; a handle that names nothing is skipped.
    Park(a, {e1, e2}, 0);
    ExpectCancel(a, kst::proc::kCancelWaitMultiple, kst::EncodeWait(100, 0, std::vector{e1 + 8, e2}));
    // A single cancel that finds a multiple wait takes it off all its objects.
    Park(a, {e1, e2}, 1);
    ExpectCancel(a, kst::proc::kCancelWaitSingle, kst::EncodeWord(e1));
    ExpectUnwatched(b, e1);
    ExpectUnwatched(b, e2);
}

TEST_F(SyncDaemon, LostConnectionDropsEveryParkedCallWithoutReply)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect();
    const uint64_t e1 = a.CreateEvent(0, 0, "").value(), e2 = a.CreateEvent(0, 0, "").value(),
                   e3 = a.CreateEvent(0, 0, "").value();
    Park(b, {e1});
    Park(b, {e1, e2}, 0); // a second parked call: the socket slot names only this one
    Park(c, {e2, e3}, 1);
    for (kst::Connection *gone : {&b, &c}) { // half-closed, so we can see that nothing comes back
        ASSERT_EQ(shutdown(gone->fd(), SHUT_WR), 0);
        EXPECT_TRUE(gone->ClosedWithin(5000)) << gone->error();
    }
    for (const uint64_t ev : {e1, e2, e3})
        ExpectUnwatched(a, ev);
}

// Hundreds of connections park on shared objects and close at random; none may leave a waiter. Some
// park two calls: the socket slot names only the second, so the first is found by the destroy notification.
TEST_F(SyncDaemon, ChurnOfParkingConnectionsLeavesNoWaiterBehind)
{
    kst::Connection a = Connect(), keeper = Connect();
    const uint64_t sem = a.CreateSemaphore(0, 1000, "").value(), mutex = a.CreateMutex(0, 1, "").value();
    const std::vector objects{a.CreateEvent(0, 0, "").value(), a.CreateEvent(0, 0, "").value(), sem, mutex};
    Park(keeper, {objects[0]}); // the oldest waiter: it gets the signal only if no dead one is above it
    const pid_t daemon = sandbox_.pid();
    const int fds = kst::CountFds(daemon);
    std::mt19937 random(7);
    auto churn = [&] {
        const std::size_t mark = sandbox_.TraceMark();
        std::size_t calls = 0;
        std::vector<kst::Connection> open;
        for (int i = 0; i < 300; ++i) {
            kst::Connection &c = open.emplace_back(Connect());
            for (uint32_t n = 1 + random() % 2; n > 0; --n, ++calls) {
                const std::vector handles{objects[random() % 4], objects[random() % 4]};
                const bool single = random() % 2;
                EXPECT_TRUE(c.SendCall(single ? kst::proc::kWaitSingle : kst::proc::kWaitMultiple,
                                       single ? kst::EncodeWord(handles[0]) : kst::EncodeWait(2, random() % 3, handles),
                                       c.NextXid()));
            }
            if (open.size() > 48 || random() % 3 == 0) open.erase(open.begin() + random() % open.size());
        }
        open.clear();
        // Nothing is written to these clients, so every call is read and traced even after its client
        // closed; then nothing is left to accept, and the descriptor count shows the last one destroyed.
        auto settled = [&] {
            return sandbox_.CountTrace("Object called", mark) == calls && kst::CountFds(daemon) == fds;
        };
        EXPECT_TRUE(kst::PollFor(10000, settled)) << "calls not yet read or connections not yet destroyed";
        return kst::ProcStatusKb(daemon, "VmRSS").value_or(-1);
    };
    const long before = kst::ProcStatusKb(daemon, "VmRSS").value_or(-1), first = churn(), second = churn();
    printf("daemon VmRSS: %ld kB before, %ld kB after 300 connections, %ld kB after 300 more\n", before, first, second);

    EXPECT_EQ(a.SetEvent(objects[0]), 0u);
    EXPECT_EQ(Word(keeper), objects[0]);
    // Nobody else is left to take what each object is given: the keeper's waits are answered at once.
    EXPECT_TRUE(a.SetEvent(objects[0]) == 0 && a.SetEvent(objects[1]) == 0 && a.ReleaseSemaphore(sem, 1) == 0 &&
                a.ReleaseMutex(mutex) == 0);
    for (const uint64_t handle : objects)
        EXPECT_EQ(keeper.WaitForSingleObject(handle, 2000), handle);
}

} // namespace
