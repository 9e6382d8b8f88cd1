// dispatch_test.cpp: what every call meets around its service routine: the reply record of each result
// type, the runtime's error replies, records in fragments or several in one write, the last-error word.
#include "tests/rpc/sync_fixture.h"

#include <sys/socket.h>

#include <array>
#include <utility>
#include <vector>

namespace kst::rpc {
namespace {

// The accepted-reply header: xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, SUCCESS.
Bytes Header(uint32_t xid)
{
    return Encoder().U32(xid).U32(1).U32(kMsgAccepted).U32(0).U32(0).U32(kSuccess).Take();
}

// A call message with the given credential and verifier (flavour, body), unpadded bodies padded here.
Bytes CallWith(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, uint32_t flavour, const Bytes &credential,
               uint32_t verifier_flavour, const Bytes &verifier, const Bytes &args)
{
    Encoder e;
    e.U32(xid).U32(0).U32(2).U32(prog).U32(vers).U32(proc);
    for (const auto &[kind, body] : {std::pair{flavour, credential}, std::pair{verifier_flavour, verifier}}) {
        e.U32(kind).U32(static_cast<uint32_t>(body.size())).Raw(body);
        e.Raw(Bytes((4 - body.size() % 4) % 4, 0));
    }
    return Fragment(e.Raw(args).Take());
}

// An AUTH_SYS body: stamp, machine name, uid, gid and the given number of groups.
Bytes UnixCredential(uint32_t groups)
{
    Encoder e;
    e.U32(1).U32(4).Raw(Bytes{'h', 'o', 's', 't'}).U32(0).U32(0).U32(groups);
    for (uint32_t i = 0; i < groups; ++i)
        e.U32(i);
    return e.Take();
}

// Calls of this program and version with an AUTH_NONE credential are read by the server itself, any
// other record by the runtime, which then reads the rest of that write: each kind, first in its write,
// gets the runtime's own answer, and calls that follow one the runtime took are answered in order.
TEST_F(SyncRpc, EveryKindOfCallHeaderGetsTheRuntimesAnswer)
{
    Connection  c = Connect();
    const Bytes none, odd = {1, 2, 3, 4, 5};
    const Bytes records[] = {
        CallWith(0x71, kProgram, kVersion, P::kCreateEvent, 1, UnixCredential(0), 0, none, EncodeCreate(0, 0, "HDR")),
        CallWith(0x72, kProgram + 1, kVersion, P::kNull, 0, none, 0, none, {}),
        CallWith(0x73, kProgram, kVersion + 1, P::kNull, 0, none, 0, none, {}),
        CallWith(0x74, kProgram, kVersion, P::kOpenEvent, 0, odd, 7, odd, EncodeString("HDR")),
        CallWith(0x75, kProgram, kVersion, P::kNull, 1, UnixCredential(17), 0, none, {}),
    };
    std::vector<Reply> replies;
    for (const Bytes &record : records) {
        ASSERT_TRUE(c.SendRaw(record));
        Pump();
        const auto reply = c.ReadReply();
        ASSERT_TRUE(reply) << c.error();
        EXPECT_EQ(reply->xid, 0x71u + static_cast<uint32_t>(replies.size()));
        replies.push_back(*reply);
    }
    ASSERT_TRUE(replies[0].Word());
    EXPECT_NE(*replies[0].Word(), 0u);
    EXPECT_EQ(replies[1].accept_stat, kProgUnavail);
    EXPECT_EQ(replies[2].accept_stat, kProgMismatch);
    EXPECT_EQ(replies[2].body, Encoder().U32(kVersion).U32(kVersion).Take()) << "lowest and highest version";
    EXPECT_EQ(replies[3].Word(), replies[0].Word()) << "any AUTH_NONE credential and verifier are taken";
    EXPECT_EQ(replies[4].reply_stat, kMsgDenied);
    EXPECT_EQ(replies[4].body, Encoder().U32(1).Take()) << "AUTH_BADCRED: more than 16 groups";

    Encoder wire;
    wire.Raw(records[1]).Raw(CallRecord(0x76, P::kNull, {})).Raw(records[3]);
    ASSERT_TRUE(c.SendRaw(wire.bytes()));
    Pump();
    for (const uint32_t xid : {0x72u, 0x76u, 0x74u}) {
        const auto reply = c.ReadReply();
        ASSERT_TRUE(reply) << c.error();
        EXPECT_EQ(reply->xid, xid);
    }
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
