// xdr_test.cpp: the client's own encoder, which every wire test relies on, by golden bytes, and the server's
// XDR routines against it on both of their paths: straight from the stream's buffer (a memory stream offers
// it) and element by element through the runtime's primitives (a stdio stream never offers its buffer).
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
    const Bytes reply = kst::Encoder().U32(0x42).U32(1).U32(0).U32(0).U32(0).U32(0).U64(0x1234).Take();
    const auto  r = kst::ParseReply(reply);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->xid, 0x42u);
    EXPECT_EQ(r->Word(), 0x1234u);
    EXPECT_FALSE(kst::ParseReply(std::span(reply).first(18)));
}

enum class Path { Buffer, Elements };

template <class T> using Routine = bool_t (*)(XDR *, T *) noexcept;

// Runs the routine over a stream of the chosen path: decoding `in`, or encoding into the result.
template <class T> std::optional<Bytes> Code(Routine<T> routine, T *record, xdr_op op, Path path, const Bytes &in = {})
{
    std::vector<uint32_t> area(2048, 0);  // 4-byte aligned, as a memory stream needs to lend its buffer
    auto                 *base = reinterpret_cast<char *>(area.data());
    std::copy(in.begin(), in.end(), base);
    const std::size_t size = op == XDR_DECODE ? in.size() : area.size() * 4;
    XDR               xdrs;
    FILE             *file = nullptr;
    if (path == Path::Buffer) {
        xdrmem_create(&xdrs, base, static_cast<u_int>(size), op);
    } else {
        file = fmemopen(base, size, op == XDR_DECODE ? "r" : "w");
        setvbuf(file, nullptr, _IONBF, 0);
        xdrstdio_create(&xdrs, file, op);
    }
    const bool        ok = routine(&xdrs, record);
    const std::size_t used = path == Path::Buffer ? xdr_getpos(&xdrs) : static_cast<std::size_t>(ftell(file));
    xdr_destroy(&xdrs);
    if (file) fclose(file);
    if (!ok) return std::nullopt;
    return Bytes(base, base + used);
}

// Decodes the client's bytes and encodes the result again: both must give exactly the client's bytes.
template <class T> void ExpectRoundTrip(Routine<T> routine, const Bytes &wire)
{
    for (const Path path : {Path::Buffer, Path::Elements}) {
        SCOPED_TRACE(path == Path::Buffer ? "from the stream's buffer" : "element by element");
        T record{};
        ASSERT_TRUE(Code(routine, &record, XDR_DECODE, path, wire));
        EXPECT_EQ(Code(routine, &record, XDR_ENCODE, path), wire);
    }
}

std::string AllBytes(std::size_t n)
{
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text.push_back(static_cast<char>(0x80 + i * 7));  // every value above 0x7F comes by, and NULs
    return text;
}

// Catches a wrong field order, a char packed into fewer than four bytes, a char above 0x7F not
// sign-extended, a handle's words swapped, and one path coding differently from the other.
TEST(Xdr, EveryRecordRoundTripsToTheClientsBytesOnBothPaths)
{
    const uint64_t handles[] = {0xAABBCCDD11223344, 2, 0xFFFFFFFF00000001};
    ExpectRoundTrip(xdr_create_event_struct, kst::EncodeCreate(1, 0x0102030405060708, "E\xE9"));
    ExpectRoundTrip(xdr_create_event_struct, kst::EncodeCreate(0, 0, AllBytes(64)));
    ExpectRoundTrip(xdr_wait_for_multiple_objects_struct, kst::EncodeWait(3, 1, handles));
    ExpectRoundTrip(xdr_registry_open_struct, kst::EncodeOpen(0x1122334455667788, AllBytes(256)));
    ExpectRoundTrip(xdr_registry_set_struct, kst::EncodeSet(5, AllBytes(256), 3, 512, AllBytes(512)));
    ExpectRoundTrip(xdr_registry_query_struct,
                    kst::Encoder().U64(3).U64(0xFFFFFFFFFFFFFFFF).Chars(AllBytes(512), 512).Take());
    ExpectRoundTrip(xdr_registry_notify_struct, kst::EncodeWords5({1, 2, 3, 0x8000000000000000, 5}));
}

// Catches a decoder that keeps more than the low 8 bits of an element, and one that accepts a record
// cut short.
TEST(Xdr, DecodingKeepsTheLowByteAndRefusesARecordCutShort)
{
    Bytes wire = kst::EncodeOpen(7, "");
    wire[8 + 2] = 0x01;  // the first name element arrives as 00 00 01 41
    wire[8 + 3] = 0x41;
    for (const Path path : {Path::Buffer, Path::Elements}) {
        registry_open_struct record{};
        ASSERT_TRUE(Code(xdr_registry_open_struct, &record, XDR_DECODE, path, wire));
        EXPECT_EQ(record.name[0], 'A');
        EXPECT_EQ(record.arg1, 7u);
        const Bytes cut(wire.begin(), wire.end() - 4);
        EXPECT_FALSE(Code(xdr_registry_open_struct, &record, XDR_DECODE, path, cut));
    }
}

}  // namespace
