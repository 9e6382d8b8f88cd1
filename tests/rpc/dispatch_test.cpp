// dispatch_test.cpp: what every call meets around its service routine: the reply record of each result
// type, the runtime's error replies, records in fragments or several in one write, the last-error word.
#include "tests/rpc/sync_fixture.h"

#include <sys/socket.h>

#include <array>

namespace kst::rpc {
namespace {

// The accepted-reply header: xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, SUCCESS.
Bytes Header(uint32_t xid)
{
    return Encoder().U32(xid).U32(1).U32(kMsgAccepted).U32(0).U32(0).U32(kSuccess).Take();
}

TEST_F(SyncRpc, RepliesRuntimeErrorsFragmentsPipelinedCallsAndTheLastErrorWordAroundEveryCall)
{
    Connection c = Connect();
    uint32_t   xid = Send(c, P::kNull, {});
    EXPECT_EQ(Read(c), Header(xid));
    // A failed value query: type 0, size 0, then 512 characters of 4 bytes each, all zero here.
    xid = Send(c, P::kRegQueryValue, EncodeOpen(2, "NONE"));
    EXPECT_EQ(Read(c), Encoder().Raw(Header(xid)).U64(0).U64(0).Chars("", 512).Take());
    // The largest reply goes out as one fragment: its record mark announces all of it.
    Send(c, P::kRegEnumValue, EncodeWords5({.arg1 = 2}));
    std::array<uint8_t, 4> mark{};
    ASSERT_EQ(recv(c.fd(), mark.data(), mark.size(), MSG_PEEK | MSG_WAITALL), 4);
    EXPECT_EQ(mark, (std::array<uint8_t, 4>{0x80, 0, (24 + 3096) >> 8, (24 + 3096) & 0xFF}));
    EXPECT_EQ(Read(c).size(), 24u + 3096u);

    for (const uint32_t proc : {29u, 1000u, 0xFFFFFFFFu}) {
        Send(c, proc, EncodeWord(1));
        const auto reply = ParseReply(Read(c));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->accept_stat, kProcUnavail) << "procedure " << proc;
    }
    // A registry_set_struct cut short, a name ending mid-field: undecodable, and no service routine runs.
    const std::size_t traces = TraceMark();
    const Bytes       set = EncodeSet(2, "CUT", 1, 3, "abc"), open = EncodeOpen(2, "X");
    for (const auto &[proc, args] : {std::pair{P::kRegSetValue, Bytes(set.begin(), set.begin() + 1500)},
                                     std::pair{P::kRegQueryValue, Bytes(open.begin(), open.begin() + 100)}}) {
        Send(c, proc, args);
        const auto reply = ParseReply(Read(c));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->accept_stat, kGarbageArgs) << "procedure " << proc;
    }
    EXPECT_EQ(TraceMark(), traces);

    // Catches a record stream that takes only single-fragment records, or loses, reorders or mislabels calls
    // that arrive together, and a last-error word left from an earlier call.
    Connection  other = Connect();
    const Bytes call = CallMessage(0x61, kProgram, kVersion, P::kCreateEvent, EncodeCreate(0, 0, "F"));
    Encoder     wire;
    wire.Raw(Fragment(std::span(call).first(1), false));
    wire.Raw(Fragment(std::span(call).subspan(1, 100), false));
    wire.Raw(Fragment(std::span(call).subspan(101)));
    wire.Raw(CallRecord(0x62, P::kNull, {}));
    wire.Raw(CallRecord(0x63, P::kOpenEvent, EncodeString("F")));
    ASSERT_TRUE(c.SendRaw(wire.bytes()));
    Pump();
    const auto created = c.ReadReply(), null = c.ReadReply(), opened = c.ReadReply();
    ASSERT_TRUE(created && null && opened) << c.error();
    EXPECT_EQ(created->xid, 0x61u);
    EXPECT_EQ(null->xid, 0x62u);
    EXPECT_EQ(opened->xid, 0x63u);
    ASSERT_TRUE(created->Word());
    EXPECT_NE(*created->Word(), 0u);
    EXPECT_EQ(opened->Word(), created->Word());

    const uint64_t ev = Event(c, 0, 0);
    EXPECT_EQ(On(c, P::kCloseHandle, 0xDEAD0), 2u);
    // Deleting the object on its last close leaves the word alone: the reply shows it was reset.
    EXPECT_EQ(On(other, P::kCloseHandle, ev), 0u);
    EXPECT_EQ(On(c, P::kCloseHandle, 0), 4u);
}

}  // namespace
}  // namespace kst::rpc
