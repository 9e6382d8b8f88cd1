// xdr.cpp: encoding and decoding of the protocol's records, field by field in record order.
//
// Character arrays travel as N XDR ints (xdr_char), so a 64-byte name takes 256 bytes on the
// wire; a char is sign-extended on encoding and only its low 8 bits are kept on decoding. Arrays
// are coded straight from the stream's buffer when it offers the whole array in one piece (a
// record stream holds every complete call, and every reply fits its buffer); otherwise element by
// element through the runtime's primitives, which give the same bytes.
#include "rpc/proto.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// The next n 4-byte units of the stream, or nullptr when the stream can't offer them in one piece.
int32_t *Units(XDR *xdrs, std::size_t n)
{
    return XDR_INLINE(xdrs, static_cast<u_int>(n * BYTES_PER_XDR_UNIT));
}

void PutUnit(int32_t *at, uint32_t value)
{
    const uint32_t wire = htonl(value);
    memcpy(at, &wire, sizeof wire);
}

uint32_t GetUnit(const int32_t *at)
{
    uint32_t wire = 0;
    memcpy(&wire, at, sizeof wire);
    return ntohl(wire);
}

// Fixed arrays own no memory: freeing one is done at once, not one element call at a time (a value
// write's arguments alone would cost 764 calls).
template <std::size_t N> bool_t CharArray(XDR *xdrs, char (&field)[N])
{
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (int32_t *units = Units(xdrs, N)) {
        for (std::size_t i = 0; i < N; ++i) {
            if (xdrs->x_op == XDR_ENCODE)
                PutUnit(units + i, static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(field[i]))));
            else
                field[i] = static_cast<char>(GetUnit(units + i) & 0xFF);
        }
        return TRUE;
    }
    return xdr_vector(xdrs, field, N, sizeof(char), reinterpret_cast<xdrproc_t>(xdr_char));
}

// The handle vector: each element an unsigned hyper, high word first.
bool_t HandleArray(XDR *xdrs, uint64_t (&handles)[kMaxWaitHandles])
{
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (int32_t *units = Units(xdrs, 2 * kMaxWaitHandles)) {
        for (std::size_t i = 0; i < kMaxWaitHandles; ++i) {
            if (xdrs->x_op == XDR_ENCODE) {
                PutUnit(units + 2 * i, static_cast<uint32_t>(handles[i] >> 32));
                PutUnit(units + 2 * i + 1, static_cast<uint32_t>(handles[i]));
            } else {
                handles[i] = uint64_t{GetUnit(units + 2 * i)} << 32 | GetUnit(units + 2 * i + 1);
            }
        }
        return TRUE;
    }
    return xdr_vector(xdrs, reinterpret_cast<char *>(handles), kMaxWaitHandles, sizeof(uint64_t),
                      reinterpret_cast<xdrproc_t>(xdr_uint64_t));
}

}  // namespace

bool_t xdr_create_event_struct(XDR *xdrs, create_event_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->arg1) && xdr_uint64_t(xdrs, &objp->arg2) && CharArray(xdrs, objp->name);
}

bool_t xdr_wait_for_multiple_objects_struct(XDR *xdrs, wait_for_multiple_objects_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->count) && xdr_uint64_t(xdrs, &objp->wait_all) && HandleArray(xdrs, objp->handles);
}

bool_t xdr_registry_open_struct(XDR *xdrs, registry_open_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->arg1) && CharArray(xdrs, objp->name);
}

bool_t xdr_registry_query_struct(XDR *xdrs, registry_query_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->type) && xdr_uint64_t(xdrs, &objp->size) && CharArray(xdrs, objp->data);
}

bool_t xdr_registry_set_struct(XDR *xdrs, registry_set_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->arg1) && CharArray(xdrs, objp->name) && xdr_uint64_t(xdrs, &objp->type) &&
           xdr_uint64_t(xdrs, &objp->size) && CharArray(xdrs, objp->data);
}

bool_t xdr_registry_notify_struct(XDR *xdrs, registry_notify_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->arg1) && xdr_uint64_t(xdrs, &objp->arg2) && xdr_uint64_t(xdrs, &objp->arg3) &&
           xdr_uint64_t(xdrs, &objp->arg4) && xdr_uint64_t(xdrs, &objp->arg5);
}
