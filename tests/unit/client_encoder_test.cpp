// client_encoder_test.cpp: golden bytes of the client's own encoder, which every wire test relies on.
#include "client/client.h"

#include <gtest/gtest.h>

namespace {

using kst::Bytes;

Bytes Be32(uint32_t v) { return kst::Encoder().U32(v).Take(); }

// Catches a wrong field order, a missing element or a char packed into one byte instead of four.
TEST(ClientEncoder, CreateRecordNamedEvIs272BytesOfFourByteChars)
{
    const Bytes b = kst::EncodeCreate(1, 0x0102030405060708, "EV");
    ASSERT_EQ(b.size(), 272u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 20), Be32('E'));
    EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 24), Be32('V'));
    for (std::size_t at = 24; at < b.size(); ++at) EXPECT_EQ(b[at], 0) << "at " << at;
}

// A char above 0x7F must travel sign-extended, as the server's xdr_char decodes it.
TEST(ClientEncoder, HighCharIsSignExtendedAndDecodesBack)
{
    const Bytes b = kst::Encoder().Chars("\xE9", 1).Take();
    EXPECT_EQ(b, (Bytes{0xFF, 0xFF, 0xFF, 0xE9}));
    EXPECT_EQ(kst::Decoder(b).Chars(1), "\xE9");
    const Bytes upper = {0x00, 0x00, 0x01, 0x41};  // only the low 8 bits count
    EXPECT_EQ(kst::Decoder(upper).Chars(1), "A");
}

// A name filling the whole field travels without a terminator; a longer one is cut at the field.
TEST(ClientEncoder, FullLengthNameHasNoTerminator)
{
    const std::string name(300, 'k');
    const Bytes b = kst::EncodeOpen(2, name);
    ASSERT_EQ(b.size(), 1032u);
    EXPECT_EQ(kst::Decoder(std::span(b).subspan(8)).Chars(256), std::string(256, 'k'));
}

TEST(ClientEncoder, WaitRecordAlwaysCarriesAll64Slots)
{
    const uint64_t h[] = {0xAABBCCDD11223344};
    const Bytes b = kst::EncodeWait(1, 0, h);
    ASSERT_EQ(b.size(), 528u);
    kst::Decoder d(b);
    EXPECT_EQ(d.U64(), 1u);
    EXPECT_EQ(d.U64(), 0u);
    EXPECT_EQ(d.U64(), 0xAABBCCDD11223344u);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(d.U64(), 0u);
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(d.remaining(), 0u);
}

TEST(ClientEncoder, StringIsPaddedToFourBytes)
{
    EXPECT_EQ(kst::EncodeString("ABCDE"), (Bytes{0, 0, 0, 5, 'A', 'B', 'C', 'D', 'E', 0, 0, 0}));
    EXPECT_EQ(kst::EncodeString(""), (Bytes{0, 0, 0, 0}));
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
    e.U32(0x42).U32(1).U32(0).U32(0).U32(0).U32(0).U64(0x1234);  // xid REPLY ACCEPTED verf SUCCESS word
    const auto r = kst::ParseReply(e.bytes());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->xid, 0x42u);
    EXPECT_EQ(r->Word(), 0x1234u);
    const Bytes cut(e.bytes().begin(), e.bytes().begin() + 18);
    EXPECT_FALSE(kst::ParseReply(cut));
}

}  // namespace
