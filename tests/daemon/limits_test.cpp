// limits_test.cpp: the daemon stops accepting connections long before its descriptor table fills,
// where the RPC runtime would start closing idle connections behind its back.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <vector>

namespace {

TEST(Limits, ConnectionsBeyondHalfTheDescriptorTableWaitInTheBacklog)
{
    kst::Sandbox sandbox;
    ASSERT_TRUE(sandbox.StartRpcbind());
    // The daemon inherits this limit: 64 descriptors, so it holds at most 32 connections.
    rlimit limit{64, 64};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(sandbox.Start());

    std::vector<kst::Connection> held;
    for (int i = 0; i < 32; ++i) {
        held.push_back(sandbox.Connect());
        ASSERT_TRUE(held.back().Null()) << "connection " << i << ": " << held.back().error();
    }
    kst::Connection waiting = sandbox.Connect();
    ASSERT_TRUE(waiting.connected()) << waiting.error();  // the kernel's backlog takes it
    ASSERT_TRUE(waiting.SendCall(kst::proc::kNull, {}, 0x99));
    EXPECT_TRUE(waiting.NoReplyWithin(300));
    for (kst::Connection &c : held) EXPECT_TRUE(c.Null()) << "an accepted connection was dropped";

    held.front().Close();  // one slot frees up: the waiting connection is accepted and answered
    const auto reply = waiting.ReadReply();
    ASSERT_TRUE(reply) << waiting.error();
    EXPECT_EQ(reply->xid, 0x99u);
}

}  // namespace
