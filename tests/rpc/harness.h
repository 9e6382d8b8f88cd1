// harness.h: the real record stream, dispatcher, reply path and connection-loss handling in the test
// process, over loopback connections from the wire client, driven one pass of the server's loop per step. Nothing runs
// between passes, so after a pass every reply the server will write for it is already in the socket:
// "no reply" is a fact to check at once, not a silence to wait out.
#pragma once

#include "client/client.h"
#include "tests/support/invariants.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kst::rpc {

// The whole reply record of a call answered with one word: xid, REPLY, accepted, null verifier,
// success, the word. Tests compare records with it byte for byte.
Bytes WordReply(uint32_t xid, uint64_t word);

// The allocation seam of this test program: operator new without exceptions (what the server uses)
// fails for the nth such allocation from now on (1: the next one) and for no other; 0 disarms it.
// Returns whether the failure armed before has happened.
bool FailAllocation(uint64_t nth);
// Bytes held by live allocations made through operator new, the server's and the test's.
[[nodiscard]] std::size_t LiveBytes();

class RpcHarness : public ::testing::Test {
protected:
    // Listens on a loopback port with the runtime set up as the server sets it, registers the dispatcher,
    // and sends traces to a file of this process.
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // Closes every connection, lets the server see each loss, and empties the object table.
    void TearDown() override;

    // A connection the server has accepted.
    Connection Connect();
    // One pass of the server's loop; there must be something to do. The consistency checks run after it.
    void Pump();
    // Sends one call and runs the pass that reads it. Returns its xid.
    uint32_t Send(Connection &c, uint32_t proc, const Bytes &args);
    // Send, one pass, and the one-word reply, checked byte for byte against WordReply; ~0 when the reply
    // is missing or is not a word reply to this call.
    uint64_t Call(Connection &c, uint32_t proc, const Bytes &args);
    // Send and one pass for a call that must park: no reply, and one more parked waiter in the server.
    uint32_t Park(Connection &c, uint32_t proc, const Bytes &args);
    // The next reply record written to c, whole; empty when there is none.
    static Bytes Read(Connection &c) { return c.ReadRecord(1000).value_or(Bytes{}); }
    // Nothing has been written to c.
    static bool Silent(Connection &c) { return c.NoReplyWithin(0); }
    // Closes c and lets the server see it go.
    void Drop(Connection &c);

    // Trace lines so far; pass as `since` to count only what comes after.
    static std::size_t TraceMark() { return Traces("", "", 0); }
    // Lines from `since` on written by that function of the sync unit, with exactly that message.
    static std::size_t Traces(const std::string &function, const std::string &message, std::size_t since);
};

}  // namespace kst::rpc
