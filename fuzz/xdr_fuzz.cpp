// xdr_fuzz.cpp: one protocol record's XDR routine against arbitrary bytes.
//
// Built once per record (KST_RECORD selects it). Whatever the server's decoder accepts must encode back
// to exactly the bytes the client encoder makes of the same fields, and decode again to the same record:
// a swapped field, a wrong array length or a sign slip in the 4-byte char units breaks one of the three.
#include "client/client.h"
#include "rpc/proto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

template <std::size_t N> std::string_view Field(const char (&chars)[N])
{
    return {chars, N};  // every byte, NULs included: the encoder pads nothing when given all N
}

#if KST_RECORD == 1
using Record = create_event_struct;
constexpr auto kRoutine = xdr_create_event_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::EncodeCreate(r.arg1, r.arg2, Field(r.name));
}
#elif KST_RECORD == 2
using Record = wait_for_multiple_objects_struct;
constexpr auto kRoutine = xdr_wait_for_multiple_objects_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::EncodeWait(r.count, r.wait_all, r.handles);
}
#elif KST_RECORD == 3
using Record = registry_open_struct;
constexpr auto kRoutine = xdr_registry_open_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::EncodeOpen(r.arg1, Field(r.name));
}
#elif KST_RECORD == 4
using Record = registry_query_struct;
constexpr auto kRoutine = xdr_registry_query_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::Encoder{}.U64(r.type).U64(r.size).Chars(Field(r.data), sizeof r.data).Take();
}
#elif KST_RECORD == 5
using Record = registry_set_struct;
constexpr auto kRoutine = xdr_registry_set_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::EncodeSet(r.arg1, Field(r.name), r.type, r.size, Field(r.data));
}
#elif KST_RECORD == 6
using Record = registry_notify_struct;
constexpr auto kRoutine = xdr_registry_notify_struct;
kst::Bytes     ClientBytes(const Record &r)
{
    return kst::EncodeWords5({.arg1 = r.arg1, .arg2 = r.arg2, .arg3 = r.arg3, .arg4 = r.arg4, .arg5 = r.arg5});
}
#else
#error "KST_RECORD selects the record: 1 create .. 6 notify"
#endif

bool Decode(const uint8_t *data, std::size_t size, Record *out, u_int *used)
{
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(data)), static_cast<u_int>(size), XDR_DECODE);
    const bool ok = kRoutine(&xdrs, out);
    *used = xdr_getpos(&xdrs);
    xdr_destroy(&xdrs);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    Record first;
    std::memset(&first, 0xbd, sizeof first);
    u_int used = 0;
    if (!Decode(data, size, &first, &used)) return 0;

    // The record is fixed-size on the wire: whatever decoded took exactly the client's length.
    const kst::Bytes expected = ClientBytes(first);
    if (used != expected.size()) abort();

    std::vector<uint8_t> encoded(expected.size() + 16, 0xbd);
    XDR                  xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(encoded.data()), static_cast<u_int>(encoded.size()), XDR_ENCODE);
    if (!kRoutine(&xdrs, &first)) abort();
    if (xdr_getpos(&xdrs) != expected.size()) abort();
    xdr_destroy(&xdrs);
    if (std::memcmp(encoded.data(), expected.data(), expected.size()) != 0) abort();

    Record second;
    std::memset(&second, 0x5a, sizeof second);
    if (!Decode(encoded.data(), expected.size(), &second, &used)) abort();
    if (std::memcmp(&first, &second, sizeof first) != 0) abort();

    // Freeing a fixed record releases nothing and must not fail.
    XDR free_xdrs{};
    free_xdrs.x_op = XDR_FREE;
    if (!kRoutine(&free_xdrs, &second)) abort();
    return 0;
}
