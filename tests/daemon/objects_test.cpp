// objects_test.cpp: create, open and close of events, mutexes and semaphores, and the table at shutdown.
#include "tests/daemon/sync_fixture.h"

namespace {

TEST_F(SyncDaemon, NamesAreSeparatePerTypeAndHandlesAreCounted)
{
    kst::Connection a = Connect(), b = Connect();
    const std::size_t mark = sandbox_.TraceMark();
    const uint64_t ev = a.CreateEvent(0, 0, "A").value(), mutex = a.CreateMutex(0, 0, "A").value();
    EXPECT_NE(ev, mutex);
    EXPECT_TRUE(a.OpenMutex("A") == mutex && a.OpenEvent("A") == ev && a.OpenSemaphore("A") == 2u);
    EXPECT_EQ(Traces("create_event_rpc_1_svc", "create event id = " + Hex(ev) + ", name = A", mark), 1u);
    EXPECT_EQ(a.CreateEvent(1, 1, "A"), ev); // found by name: still auto-reset and not signalled
    Park(b, {ev});
    EXPECT_TRUE(a.CloseHandle(ev) == 0u && a.CloseHandle(ev) == 0u); // three handles out
    EXPECT_EQ(a.CloseHandle(ev), 6u); // the last one, refused while b waits; the count goes back to 1
    EXPECT_EQ(a.SetEvent(ev), 0u);
    EXPECT_EQ(Word(b), ev);
    EXPECT_EQ(a.CloseHandle(ev), 0u);
    EXPECT_TRUE(a.OpenEvent("A") == 2u && a.CloseHandle(ev) == 2u && a.CloseHandle(0) == 4u);
    EXPECT_NE(a.CreateEvent(0, 0, ""), a.CreateEvent(0, 0, "")); // unnamed objects are never shared
    EXPECT_EQ(a.OpenEvent(""), 2u);
}

TEST_F(SyncDaemon, CreateArgumentsFollowTheirExactRules)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect();
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_TRUE(a.CreateSemaphore(5, 3, "S") == 0u && a.CreateSemaphore(~uint64_t{0}, 3, "S") == 0u);
    EXPECT_EQ(a.OpenSemaphore("S"), 2u); // nothing was created
    const uint64_t sem = a.CreateSemaphore(0, 0, "S").value();
    EXPECT_EQ(a.CreateSemaphore(5, 3, "S"), sem); // an existing one is returned before the counts are checked
    EXPECT_EQ(a.OpenSemaphore("S"), sem);
    EXPECT_EQ(Traces("create_semaphore_rpc_1_svc", "5 3 S", mark), 2u);
    EXPECT_EQ(Traces("open_semaphore_rpc_1_svc", "OpenSephore called, name=S", mark), 1u);

    const uint64_t seventeen = a.CreateEvent(0, 17, "").value(), sixteen = a.CreateEvent(0, 16, "").value();
    EXPECT_EQ(a.WaitForSingleObject(seventeen), seventeen); // only the low four bits count
    Park(b, {sixteen});
    const uint64_t owned = a.CreateMutex(0, 1, "").value(), free = a.CreateMutex(0, 2, "").value();
    EXPECT_EQ(c.WaitForSingleObject(free), free); // only a flag of exactly 1 takes ownership
    Park(c, {owned});

    const std::string full(64, 'n'); // fills the field: no terminator on the wire
    const uint64_t named = a.CreateEvent(0, 0, full).value();
    EXPECT_EQ(a.OpenEvent(full), named);
}

TEST_F(SyncDaemon, CloseRefusesAnOwnedMutexAndDeletesFromAnyPlaceInTheList)
{
    kst::Connection a = Connect();
    const uint64_t mutex = a.CreateMutex(0, 1, "M").value();
    EXPECT_EQ(a.CloseHandle(mutex), 6u);
    EXPECT_EQ(a.WaitForSingleObject(mutex), mutex); // still there, still a's
    EXPECT_EQ(a.ReleaseMutex(mutex), 0u);
    EXPECT_EQ(a.CloseHandle(mutex), 0u); // the refused close left its count at 0: this one deletes it
    EXPECT_EQ(a.OpenMutex("M"), 2u);
    const uint64_t x = a.CreateEvent(0, 0, "X").value(), y = a.CreateEvent(0, 0, "Y").value(),
                   z = a.CreateEvent(0, 0, "Z").value();
    EXPECT_TRUE(a.CloseHandle(y) == 0u && a.CloseHandle(z) == 0u); // from the middle, then the head
    EXPECT_TRUE(a.OpenEvent("X") == x && a.OpenEvent("Y") == 2u && a.SetEvent(x) == 0u);
}

// Shutdown empties the table although calls are parked and a mutex is owned; a sanitizer build checks
// that their records are freed, and the parked clients see their connection close without a reply.
TEST_F(SyncDaemon, ShutdownClearsParkedWaitersAndOwnedMutexes)
{
    kst::Connection a = Connect(), b = Connect(), c = Connect();
    const uint64_t ev = a.CreateEvent(0, 0, "").value(), mutex = a.CreateMutex(0, 1, "").value();
    Park(b, {ev});
    Park(c, {ev, mutex}, 0);
    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_EQ(sandbox_.daemon_exit_status(), 0);
    EXPECT_TRUE(b.ClosedWithin(2000) && c.ClosedWithin(2000));
}

} // namespace
