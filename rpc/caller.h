// caller.h: who is at the other end of a connection, as the kernel says; the policy in force; and what
// each uid holds against its quotas.
//
// A connection from this host is named by the uid owning the peer socket, which one socket-diagnostics
// query finds at accept (by the connection's addresses and ports); nothing the client sends counts. A
// connection from another host is "remote" with its address. The daemon never scans /proc: kstctl finds
// the peer's process itself.
//
// Quota use is counted per uid, exactly: each count taken for a record (a connection, an object, a key, a
// value's bytes, a registration, a parked wait) is given back by whoever frees that record.
#pragma once

#include "common/access_policy.h"

#include <sys/socket.h>

#include <cstdint>

struct CallerRecord {
    // Kept small: every connection carries one. The peer's address is needed only at accept (the policy's
    // remote lines), so it stays there; the live view asks the socket for it.
    uint32_t uid = kUnknownUid;  // the peer socket's owner; kRemoteUid for another host
    bool     remote = false;     // the connection came from another host
    bool     counted = false;    // holds one of uid's connections until the record goes

    CallerRecord() = default;
    CallerRecord(const CallerRecord &) = delete;
    CallerRecord &operator=(const CallerRecord &) = delete;
    ~CallerRecord();
};

// The policy in force; without a file, one that allows everything.
[[nodiscard]] const AccessPolicy &PolicyInForce() noexcept;
// Puts a policy in force for the process (start-up).
void InstallPolicy(AccessPolicy policy) noexcept;

// Fills caller from the kernel's view of the connection on fd; peer gets its address.
void IdentifyCaller(int fd, CallerRecord &caller, sockaddr_storage &peer) noexcept;
// Whether the connection may be served: a remote one must be allowed by the policy, a non-root caller
// stays out of root's reserved connections and within its own quota. Counts the connection when it is
// admitted (until the record goes); traces the refusal otherwise. cap: the most the loop serves.
[[nodiscard]] bool AdmitCaller(CallerRecord &caller, const sockaddr_storage &peer, int cap) noexcept;

// The uid of the call being dispatched; kUnknownUid for a connection the server did not accept itself.
[[nodiscard]] uint32_t CallerUid() noexcept;
// A refusal: traced with the uid, last error 13. Returns the last-error word's address.
uint64_t *RefuseCall(uint32_t uid, const char *what, const char *target) noexcept;

// Takes amount of uid's quota; false, traced and last error 14 when that would pass the limit.
[[nodiscard]] bool TakeQuota(uint32_t uid, Quota quota, uint64_t amount) noexcept;
// The refusal of a call that would pass uid's limit: traced with the uid and the quota, last error 14.
uint64_t *RefuseQuota(uint32_t uid, Quota quota, uint64_t limit, uint64_t used, uint64_t amount) noexcept;
// Gives back what TakeQuota took.
void ReturnQuota(uint32_t uid, Quota quota, uint64_t amount) noexcept;
// What uid holds now.
[[nodiscard]] uint64_t QuotaUsed(uint32_t uid, Quota quota) noexcept;
