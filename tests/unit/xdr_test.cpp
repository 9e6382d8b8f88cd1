// xdr_test.cpp: the client's own encoder, which every wire test relies on, by golden bytes, and the server's
// XDR routines against it element by element through the runtime's primitives.
// The call header and string padding are exercised by every wire call, which the real runtime would refuse.
#include "client/client.h"
#include "rpc/proto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using kst::Bytes;

// Catches a wrong field order, a missing element, a char packed into one byte instead of four, a char above
// 0x7F not sign-extended as the server's xdr_char decodes it, and a reply parser that reads past a short record.
TEST(ClientEncoder, CreateRecordIs272BytesOfSignExtendedFourByteCharsAndShortRepliesAreRefused)
{
    const Bytes b = kst::EncodeCreate(1, 0x0102030405060708, "E\xE9");
    ASSERT_EQ(b.size(), 272u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 24),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 'E', 0xFF, 0xFF, 0xFF, 0xE9}));
    EXPECT_EQ(Bytes(b.begin() + 24, b.end()), Bytes(248, 0));
    // A whole reply parses in every daemon test, which compares its words.
    const Bytes reply = kst::Encoder().U32(0x42).U32(1).U32(0).U32(0).U32(0).U32(0).U64(0x1234).Take();
    EXPECT_FALSE(kst::ParseReply(std::span(reply).first(18)));
}

template <class T> using Routine = bool_t (*)(XDR *, T *) noexcept;

// Runs the routine over a stdio stream, which never lends its buffer, so every element goes through the
// runtime's primitives: decoding `in`, or encoding into the result.
template <class T> std::optional<Bytes> Code(Routine<T> routine, T *record, xdr_op op, const Bytes &in = {})
{
    std::vector<char> area(8192, 0);
    std::copy(in.begin(), in.end(), area.begin());
    FILE *file = fmemopen(area.data(), op == XDR_DECODE ? in.size() : area.size(), op == XDR_DECODE ? "r" : "w");
    setvbuf(file, nullptr, _IONBF, 0);
    XDR xdrs;
    xdrstdio_create(&xdrs, file, op);
    const bool        ok = routine(&xdrs, record);
    const std::size_t used = static_cast<std::size_t>(ftell(file));
    xdr_destroy(&xdrs);
    fclose(file);
    if (!ok) return std::nullopt;
    return Bytes(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(used));
}

// Decodes the client's bytes and encodes the result again: both must give exactly the client's bytes.
template <class T> void ExpectRoundTrip(Routine<T> routine, const Bytes &wire)
{
    T record{};
    ASSERT_TRUE(Code(routine, &record, XDR_DECODE, wire));
    EXPECT_EQ(Code(routine, &record, XDR_ENCODE), wire);
}

std::string AllBytes(std::size_t n)
{
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text.push_back(static_cast<char>(0x80 + i * 7));  // every value above 0x7F comes by, and NULs
    return text;
}

// The fuzz targets hold each record's routine to the client's bytes on the buffer path, the one a memory
// stream takes; this catches the same faults (field order, a char in fewer than four bytes or not
// sign-extended, a handle's words swapped) on the element path, which the runtime takes whenever a record
// crosses a fragment boundary.
TEST(Xdr, EveryRecordRoundTripsToTheClientsBytesElementByElement)
{
    const uint64_t handles[] = {0xAABBCCDD11223344, 2, 0xFFFFFFFF00000001};
    ExpectRoundTrip(xdr_create_event_struct, kst::EncodeCreate(0, 0x0102030405060708, AllBytes(64)));
    ExpectRoundTrip(xdr_wait_for_multiple_objects_struct, kst::EncodeWait(3, 1, handles));
    ExpectRoundTrip(xdr_registry_open_struct, kst::EncodeOpen(0x1122334455667788, AllBytes(256)));
    ExpectRoundTrip(xdr_registry_set_struct, kst::EncodeSet(5, AllBytes(256), 3, 512, AllBytes(512)));
    ExpectRoundTrip(xdr_registry_query_struct,
                    kst::Encoder().U64(3).U64(0xFFFFFFFFFFFFFFFF).Chars(AllBytes(512), 512).Take());
    ExpectRoundTrip(xdr_registry_notify_struct, kst::EncodeWords5({1, 2, 3, 0x8000000000000000, 5}));
}

}  // namespace
