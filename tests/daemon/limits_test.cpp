// limits_test.cpp: the connection cap. Connections beyond it are closed at once with a trace line,
// never left waiting unanswered, and the cap sits below the point where the RPC runtime would start
// closing idle connections behind the server's back.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <vector>

namespace {

constexpr char kRefusal[] = "new connection closed";

TEST(Limits, ConnectionsBeyondTheCapAreClosedAtOnceAndTheOthersStayServed)
{
    kst::Sandbox sandbox;
    ASSERT_TRUE(sandbox.StartRpcbind());
    rlimit limit{64, 64}; // the daemon inherits a table of 64 descriptors
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(sandbox.Start());

    std::vector<kst::Connection> held;
    for (bool served = true; served && held.size() < 64;) {
        held.push_back(sandbox.Connect());
        served = held.back().Null();
    }
    held.pop_back(); // the first one the daemon closed instead of answering
    EXPECT_GE(held.size(), 32u) << "half the table or more serves connections";
    EXPECT_LT(held.size(), 51u) << "the runtime starts closing idle connections at four fifths";

    kst::Connection refused = sandbox.Connect();
    EXPECT_TRUE(refused.ClosedWithin(2000)) << "a connection beyond the cap must see its end at once";
    EXPECT_TRUE(kst::PollFor(5000, [&] { return sandbox.CountTrace(kRefusal) == 2; })) << "one line per refusal";
    for (kst::Connection &c : held)
        EXPECT_TRUE(c.Null()) << "a connection within the cap was dropped: " << c.error();

    // Once one leaves, a new connection is served again.
    held.pop_back();
    EXPECT_TRUE(kst::PollFor(5000, [&] { return sandbox.Connect().Null(); }));
}

} // namespace
