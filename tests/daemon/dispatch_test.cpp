// dispatch_test.cpp: what every call sees before and after its service routine: the reply
// bytes of each record type, the runtime's error replies, the last-error word, client identity.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <filesystem>

namespace {

class Dispatch : public kst::DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        c_ = Connect();
    }

    // Sends one call and returns the raw reply record.
    kst::Bytes RawReply(uint32_t proc, const kst::Bytes &args, uint32_t xid)
    {
        EXPECT_TRUE(c_.SendCall(proc, args, xid));
        return c_.ReadRecord().value_or(kst::Bytes{});
    }

    kst::Connection c_;
};

// The accepted-reply header: xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, SUCCESS.
kst::Bytes Header(uint32_t xid)
{
    return kst::Encoder().U32(xid).U32(1).U32(0).U32(0).U32(0).U32(0).Take();
}

TEST_F(Dispatch, RepliesCarryEachResultRecordInWireOrderAndCharactersTheirLowByte)
{
    EXPECT_EQ(RawReply(kst::proc::kNull, {}, 0x51), Header(0x51));

    // OpenEvent of a missing name: the last error, as one hyper.
    EXPECT_EQ(RawReply(kst::proc::kOpenEvent, kst::EncodeString("missing"), 0x52),
              kst::Encoder().Raw(Header(0x52)).U64(2).Take());
    // A failed value query: type 0, size 0, then 512 characters of 4 bytes each, all zero here.
    EXPECT_EQ(RawReply(kst::proc::kRegQueryValue, kst::EncodeOpen(2, "NONE"), 0x53),
              kst::Encoder().Raw(Header(0x53)).U64(0).U64(0).Chars("", 512).Take());

    EXPECT_EQ(RawReply(kst::proc::kRegEnumKey, kst::EncodeWords5({.arg1 = 2}), 0x54).size(), 24u + 1032u);
    // The largest reply goes out as one fragment: its record mark announces all of it.
    ASSERT_TRUE(c_.SendCall(kst::proc::kRegEnumValue, kst::EncodeWords5({.arg1 = 2}), 0x55));
    std::array<uint8_t, 4> mark{};
    ASSERT_EQ(recv(c_.fd(), mark.data(), mark.size(), MSG_PEEK | MSG_WAITALL), 4);
    EXPECT_EQ(mark, (std::array<uint8_t, 4>{0x80, 0, (24 + 3096) >> 8, (24 + 3096) & 0xFF}));
    EXPECT_EQ(c_.ReadRecord().value_or(kst::Bytes{}).size(), 24u + 3096u);
    EXPECT_EQ(RawReply(kst::proc::kRegQueryInfoKey, kst::EncodeWord(2), 0x56).size(), 24u + 40u);

    // Characters travel as sign-extended ints and only the low byte counts. An element 00 00 01 41 names "A": the upper
    // 24 bits are ignored.
    const auto reply = c_.Call(kst::proc::kCreateEvent, kst::Encoder().U64(0).U64(0).U32(0x141).Chars("", 63).Take());
    ASSERT_TRUE(reply && reply->Word()) << c_.error();
    EXPECT_EQ(c_.OpenEvent("A"), *reply->Word());

    // 0xE9 goes out as FF FF FF E9 and comes back as the same byte in the name.
    const auto accented = c_.CreateEvent(0, 0, "caf\xE9");
    ASSERT_TRUE(accented);
    EXPECT_EQ(c_.OpenEvent("caf\xE9"), accented);
    EXPECT_TRUE(sandbox_.WaitForTrace("name = caf\xE9"));
}

TEST_F(Dispatch, RuntimeErrorRepliesThenFragmentedAndPipelinedCallsAnsweredInOrder)
{
    for (const uint32_t proc : {29u, 1000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(c_.SendCall(proc, kst::EncodeWord(1), proc));
        const auto reply = c_.ReadReply();
        ASSERT_TRUE(reply) << c_.error();
        EXPECT_EQ(reply->accept_stat, kst::kProcUnavail) << "procedure " << proc;
    }
    // A registry_set_struct cut short: undecodable, and no value file appears.
    const std::size_t mark = sandbox_.TraceMark();
    const kst::Bytes  set = kst::EncodeSet(2, "CUT", 1, 3, "abc");
    const auto        cut = c_.Call(kst::proc::kRegSetValue, kst::Bytes(set.begin(), set.begin() + 1500));
    ASSERT_TRUE(cut) << c_.error();
    EXPECT_EQ(cut->accept_stat, kst::kGarbageArgs);
    EXPECT_FALSE(std::filesystem::exists("/opt/orn/kestrel/registry/HKEY_LOCAL_MACHINE/V_CUT"));
    // A name ending mid-field: no service routine runs.
    const kst::Bytes open = kst::EncodeOpen(2, "X");
    const auto       short_name = c_.Call(kst::proc::kRegQueryValue, kst::Bytes(open.begin(), open.begin() + 100));
    ASSERT_TRUE(short_name);
    EXPECT_EQ(short_name->accept_stat, kst::kGarbageArgs);
    EXPECT_EQ(sandbox_.CountTrace("reg_query_value", mark), 0u);
    EXPECT_EQ(sandbox_.CountTrace("reg_set_value", mark), 0u);
    EXPECT_TRUE(c_.Null());

    // Catches a record stream that takes only single-fragment records, or loses, reorders or mislabels calls
    // that arrive together: a call in three fragments (one of a single byte) and two more behind it, in one
    // write.
    const kst::Bytes call =
        kst::CallMessage(0x61, kst::kProgram, kst::kVersion, kst::proc::kCreateEvent, kst::EncodeCreate(0, 0, "F"));
    kst::Encoder wire;
    wire.Raw(kst::Fragment(std::span(call).first(1), false));
    wire.Raw(kst::Fragment(std::span(call).subspan(1, 100), false));
    wire.Raw(kst::Fragment(std::span(call).subspan(101)));
    wire.Raw(kst::CallRecord(0x62, kst::proc::kNull, {}));
    wire.Raw(kst::CallRecord(0x63, kst::proc::kOpenEvent, kst::EncodeString("F")));
    ASSERT_TRUE(c_.SendRaw(wire.bytes()));
    const auto created = c_.ReadReply(), null = c_.ReadReply(), opened = c_.ReadReply();
    ASSERT_TRUE(created && null && opened) << c_.error();
    EXPECT_EQ(created->xid, 0x61u);
    EXPECT_EQ(null->xid, 0x62u);
    EXPECT_EQ(opened->xid, 0x63u);
    ASSERT_TRUE(created->Word());
    EXPECT_NE(*created->Word(), 0u);
    EXPECT_EQ(opened->Word(), created->Word());
}

// Every call starts with last error zero, and the client identity traced is that of the connection.
TEST_F(Dispatch, EveryCallStartsWithLastErrorZeroAndClientIdentityIsPerConnection)
{
    kst::Connection other = Connect();
    const uint64_t  ev = c_.CreateEvent(0, 0, "").value();
    EXPECT_EQ(c_.CloseHandle(0xDEAD0), 2u);
    // Deleting the object on its last close leaves the word alone: the reply shows it was reset.
    EXPECT_EQ(other.CloseHandle(ev), 0u);
    EXPECT_EQ(c_.CloseHandle(0), 4u);
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({.arg1 = 2, .arg4 = c_.CreateEvent(1, 0, "").value(), .arg5 = 1}), 0u);

    ASSERT_NE(c_.RegCreateKeyEx(2, "K").value_or(0), 0u);
    const std::size_t mark = sandbox_.TraceMark();
    for (kst::Connection *c : {&c_, &c_, &other})
        ASSERT_NE(c->RegOpenKeyEx(2, "K").value_or(0), 0u);
    std::vector<std::string>       requests;
    const std::vector<std::string> lines = sandbox_.TraceLines();
    for (std::size_t i = mark; i < lines.size(); ++i) {
        const auto at = lines[i].find("req=");
        if (at != std::string::npos) requests.push_back(lines[i].substr(at, lines[i].find(',', at) - at));
    }
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_NE(requests[1], requests[2]);
}

}  // namespace
