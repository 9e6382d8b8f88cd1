// objects_test.cpp: what only the real process shows about the object table: shutdown with parked calls
// and owned mutexes, and handles a client kept from before a restart.
#include "tests/support/sandbox.h"

#include <string>
#include <vector>

namespace {

using ObjectsDaemon = kst::DaemonTest;

// Shutdown empties the table although calls are parked and a mutex is owned; a sanitizer build checks
// that their records are freed, and the parked clients see their connection close without a reply.
// Handles are drawn afresh by every process: one kept across the restart names nothing in the new one,
// not even the object created again under the same name.
TEST_F(ObjectsDaemon, ShutdownClearsParkedWaitersAndOwnedMutexesAndOldHandlesNameNothing)
{
    kst::Connection       a = Connect(), b = Connect(), c = Connect();
    std::vector<uint64_t> old;
    for (int i = 0; i < 8; ++i)
        old.push_back(a.CreateEvent(0, 0, "E" + std::to_string(i)).value());
    const uint64_t ev = old[0], mutex = a.CreateMutex(0, 1, "").value();
    ParkCall(b, kst::proc::kWaitSingle, kst::EncodeWord(ev), "WaitForSingleObject called, id=" + std::to_string(ev));
    ParkCall(c, kst::proc::kWaitMultiple, kst::EncodeWait(2, 0, std::vector{ev, mutex}),
             "WaitForMultipleObject called");
    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_EQ(sandbox_.daemon_exit_status(), 0);
    EXPECT_TRUE(b.ClosedWithin(2000));
    EXPECT_TRUE(c.ClosedWithin(2000));
    ASSERT_TRUE(sandbox_.Start());
    kst::Connection d = Connect();
    for (int i = 0; i < 8; ++i) {
        const uint64_t fresh = d.CreateEvent(0, 1, "E" + std::to_string(i)).value();
        EXPECT_NE(fresh, old[i]);
        EXPECT_EQ(d.SetEvent(old[i]), 2u);
        EXPECT_EQ(d.WaitForSingleObject(old[i]), 2u);
        EXPECT_EQ(d.CloseHandle(old[i]), 2u);
        EXPECT_EQ(d.WaitForSingleObject(fresh), fresh);  // still signalled: the stale calls touched nothing
    }
}

}  // namespace
