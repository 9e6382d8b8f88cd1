// dispatch.h: the per-call record, the last-error word and the reply path shared by every service routine.
#pragma once

#include "rpc/proto.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Last-error codes, named by what they mean to this server's clients.
inline constexpr uint64_t kErrNotFound = 2;       // no such object, key, subkey, value or index
inline constexpr uint64_t kErrInvalid = 4;        // bad argument or wrong object type
inline constexpr uint64_t kErrNoMemory = 5;       // allocation failed
inline constexpr uint64_t kErrBusy = 6;           // object has waiters or is an owned mutex
inline constexpr uint64_t kErrFileSystem = 7;     // a file or directory operation failed
inline constexpr uint64_t kErrLimit = 8;          // count or size above its limit
inline constexpr uint64_t kErrAccessDenied = 13;  // the access policy refuses the caller this call
inline constexpr uint64_t kErrQuota = 14;         // the call would pass one of the caller's quotas
inline constexpr uint64_t kErrNotOwner = 288;     // mutex not owned by the calling connection

// Everything needed to answer one call, now or later. Owned by the dispatcher until the
// service routine returns; a routine that parks the call hands it to its WaiterRecord. A parked
// call keeps only this: its arguments were used up when it parked, and its reply goes out through
// the connection's live transport, which the record may use only while that connection lives.
struct RequestRecord {
    void     *args;          // decoded arguments while the call is dispatched; nullptr once released
    xdrproc_t xdr_argument;  // decodes and later frees args
    xdrproc_t xdr_result;    // encodes the reply value
    SVCXPRT  *transport;     // the connection's live transport; read only while `connection` is its life
    uint64_t  connection;    // life of the connection the call arrived on, never reused: the client identity
    // Packed into 16 bytes: every parked wait carries one, and a record of 57 bytes or more costs 80.
    int32_t  socket;       // the connection's descriptor, kept for the socket slots
    uint32_t received_ms;  // parked: MonotonicMs() when it parked, modulo 2^32 (ages below 49 days come out
                           // right); the live view ages parked calls with it
    uint32_t wait_uid;     // parked: the uid its parked wait is counted against (caller.h)
    uint16_t procedure;    // the call's procedure number, for the live view (those that park are below 29)
    bool     counts_wait;  // parked and counted: the count goes back when the record goes

    RequestRecord() = default;
    RequestRecord(const RequestRecord &) = default;  // how a call that parks leaves the dispatcher's frame
    RequestRecord &operator=(const RequestRecord &) = delete;
    ~RequestRecord();
};

extern uint64_t       ERROR_CODE;        // last-error word; 0 between calls
extern RequestRecord *pClientParameter;  // the call being dispatched
extern int32_t        IsSendReply;       // 0 only while a lost connection's parked call is dropped

uint64_t               *SetLastError(uint64_t code) noexcept;
[[nodiscard]] uint64_t  GetLastError() noexcept;
[[nodiscard]] uint64_t *GetLastErrorAddress() noexcept;

// Stores the current call's record and client identity (its connection's life, unique for the whole
// process, so a later connection on the same descriptor or transport address never passes for it);
// either may be null.
void GetClientParameter(RequestRecord **record, uint64_t *identity) noexcept;

// Hands the call being dispatched to a routine that parks it: a record of its own, which the dispatcher
// no longer answers once the routine has returned no reply; nullptr outside a dispatch, or without
// memory, and then the call gets no reply at all, as one whose record could not be made. Only a call
// that parks costs an allocation for its record.
[[nodiscard]] std::unique_ptr<RequestRecord> ParkCurrentCall() noexcept;

// Answers the record's call with value (unless replies are off or its connection is gone) and frees it.
void FreeClientParameter(RequestRecord *record, void *value) noexcept;

// The socket descriptor of the connection the record's call arrived on.
[[nodiscard]] inline int RequestSocket(const RequestRecord *record) noexcept
{
    return record->socket;
}

// The client identity a record was dispatched for.
[[nodiscard]] inline uint64_t RequestIdentity(const RequestRecord *record) noexcept
{
    return record->connection;
}

// Milliseconds of a clock that never goes back; parked calls are aged with it.
[[nodiscard]] uint64_t MonotonicMs() noexcept;
// Calls dispatched since start per procedure number, then those beyond the program counted together.
[[nodiscard]] std::span<const uint64_t, kLastProc + 2> CallCounts() noexcept;

// The dispatcher registered with the runtime.
void winnt_sys_1(svc_req *rqstp, SVCXPRT *transp) noexcept;

// Identity of the live connection on a descriptor, or 0.
[[nodiscard]] uint64_t ConnectionOnSocket(int fd) noexcept;

// A client connection as the admin view shows it, copied at the moment of the request.
struct ConnectionView {
    int         fd;        // the server's descriptor for it, the name the admin view gives it
    uint64_t    identity;  // its life; 0 before its first call
    sockaddr_in local;     // this end; sin_family AF_INET only when known
    sockaddr_in peer;      // the other end; sin_family AF_INET only when known
    uint32_t    uid;       // its caller as the kernel named it (kRemoteUid, kUnknownUid)
};
// Every connection the runtime polls but the listener, by descriptor. May throw std::bad_alloc.
[[nodiscard]] std::vector<ConnectionView> SnapshotConnections(int listener);
