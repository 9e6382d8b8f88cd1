// client_encoder_test.cpp: golden bytes of the client's own encoder, which every wire test relies on.
// A name that fills its field, and chars decoded back, are checked through the daemon in the wire tests.
#include "client/client.h"

#include <gtest/gtest.h>

namespace {

using kst::Bytes;

// Catches a wrong field order, a missing element, a char packed into one byte instead of four, and a char
// above 0x7F not sign-extended as the server's xdr_char decodes it.
TEST(ClientEncoder, CreateRecordIs272BytesOfSignExtendedFourByteChars)
{
    const Bytes b = kst::EncodeCreate(1, 0x0102030405060708, "E\xE9");
    ASSERT_EQ(b.size(), 272u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 24),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 'E', 0xFF, 0xFF, 0xFF, 0xE9}));
    EXPECT_EQ(Bytes(b.begin() + 24, b.end()), Bytes(248, 0));
}

TEST(ClientEncoder, WaitRecordAlwaysCarriesAll64SlotsAndStringsArePadded)
{
    const uint64_t h[] = {0xAABBCCDD11223344};
    kst::Encoder want;
    want.U64(1).U64(0).U64(h[0]);
    for (int i = 1; i < 64; ++i) want.U64(0);
    EXPECT_EQ(kst::EncodeWait(1, 0, h), want.bytes());
    EXPECT_EQ(kst::EncodeString("ABCDE"), (Bytes{0, 0, 0, 5, 'A', 'B', 'C', 'D', 'E', 0, 0, 0}));
}

// The call header: record mark with the last-fragment bit, then xid, CALL, rpcvers 2, program, version, proc.
TEST(ClientEncoder, CallRecordHeader)
{
    const Bytes r = kst::CallRecord(0xA1, 6, kst::EncodeWord(7));
    ASSERT_EQ(r.size(), 4u + 40 + 8);
    kst::Decoder d(r);
    EXPECT_EQ(d.U32(), 0x80000000u | 48);
    for (uint32_t want : {0xA1u, 0u, 2u, 0x20001234u, 1u, 6u, 0u, 0u, 0u, 0u}) EXPECT_EQ(d.U32(), want);
    EXPECT_EQ(d.U64(), 7u);
}

TEST(ClientEncoder, ParsesAcceptedReplyAndRejectsShortOne)
{
    kst::Encoder e;
    e.U32(0x42).U32(1).U32(0).U32(0).U32(0).U32(0).U64(0x1234); // xid REPLY ACCEPTED verf SUCCESS word
    const auto r = kst::ParseReply(e.bytes());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->xid, 0x42u);
    EXPECT_EQ(r->Word(), 0x1234u);
    EXPECT_FALSE(kst::ParseReply(std::span(e.bytes()).first(18)));
}

} // namespace
