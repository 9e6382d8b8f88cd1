// dispatch.h: the per-call record, the last-error word and the reply path shared by every service routine.
#pragma once

#include "rpc/proto.h"

#include <cstdint>

// Last-error codes, named by what they mean to this server's clients.
inline constexpr uint64_t kErrNotFound = 2;    // no such object, key, subkey, value or index
inline constexpr uint64_t kErrInvalid = 4;     // bad argument or wrong object type
inline constexpr uint64_t kErrNoMemory = 5;    // allocation failed
inline constexpr uint64_t kErrBusy = 6;        // object has waiters or is an owned mutex
inline constexpr uint64_t kErrFileSystem = 7;  // a file or directory operation failed
inline constexpr uint64_t kErrLimit = 8;       // count or size above its limit
inline constexpr uint64_t kErrNotOwner = 288;  // mutex not owned by the calling connection

// Everything needed to answer one call, now or later. Owned by the dispatcher until the
// service routine returns; a routine that parks the call hands it to its WaiterRecord.
struct RequestRecord {
    alignas(8) unsigned char args[sizeof(registry_set_struct)];  // decoded arguments, zeroed first
    xdrproc_t xdr_argument;   // decodes and later frees args
    xdrproc_t xdr_result;     // encodes the reply value
    svc_req   header;         // the call's header; only rq_xprt (the client identity) and the numbers stay valid
    SVCXPRT   transport;      // copy of the connection's transport; replies go out through it
    uint64_t  generation;     // life of the connection this call arrived on; tells a reused descriptor apart
    uint64_t  received_ms;    // MonotonicMs() at arrival; the live view ages parked calls with it
    uint32_t  procedure;      // the call's procedure number, for the live view
};

extern uint64_t ERROR_CODE;                // last-error word; 0 between calls
extern RequestRecord *pClientParameter;    // the call being dispatched
extern int32_t IsSendReply;                // 0 only while a lost connection's parked call is dropped

uint64_t *SetLastError(uint64_t code) noexcept;
[[nodiscard]] uint64_t GetLastError() noexcept;
[[nodiscard]] uint64_t *GetLastErrorAddress() noexcept;

// Stores the current call's record and client identity (the live transport's address); either may be null.
void GetClientParameter(RequestRecord **record, uint64_t *identity) noexcept;

// Answers the record's call with value (unless replies are off or its connection is gone) and frees it.
void FreeClientParameter(RequestRecord *record, void *value) noexcept;

// The socket descriptor of the connection the record's call arrived on.
[[nodiscard]] inline int RequestSocket(const RequestRecord *record) noexcept { return record->transport.xp_fd; }

// The client identity a record was dispatched for.
[[nodiscard]] inline uint64_t RequestIdentity(const RequestRecord *record) noexcept
{
    return reinterpret_cast<uint64_t>(record->header.rq_xprt);
}

// The dispatcher registered with the runtime.
void winnt_sys_1(svc_req *rqstp, SVCXPRT *transp) noexcept;

// Identity of the live connection on a descriptor, or 0.
[[nodiscard]] uint64_t ConnectionOnSocket(int fd) noexcept;
