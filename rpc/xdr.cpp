// xdr.cpp: encoding and decoding of the protocol's records, field by field in record order.
//
// Character arrays travel as N XDR ints (xdr_char), so a 64-byte name takes 256 bytes on the
// wire; xdr_char sign-extends on encoding and keeps only the low 8 bits on decoding.
#include "rpc/proto.h"

namespace {

template <std::size_t N>
bool_t CharArray(XDR *xdrs, char (&field)[N])
{
    return xdr_vector(xdrs, field, N, sizeof(char), reinterpret_cast<xdrproc_t>(xdr_char));
}

}  // namespace

bool_t xdr_create_event_struct(XDR *xdrs, create_event_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->arg1) && xdr_uint64_t(xdrs, &objp->arg2) && CharArray(xdrs, objp->name);
}

bool_t xdr_wait_for_multiple_objects_struct(XDR *xdrs, wait_for_multiple_objects_struct *objp) noexcept
{
    return xdr_uint64_t(xdrs, &objp->count) && xdr_uint64_t(xdrs, &objp->wait_all) &&
           xdr_vector(xdrs, reinterpret_cast<char *>(objp->handles), kMaxWaitHandles, sizeof(uint64_t),
                      reinterpret_cast<xdrproc_t>(xdr_uint64_t));
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
