// connection.h: the one record of everything the server knows of a client connection.
//
// A record exists from the moment the server first sees the connection's transport (its accept, or
// its first call for a transport made elsewhere) until the runtime destroys the transport. The table
// of records by descriptor (dispatch.cpp) owns it. When the runtime destroys the transport, the
// record's parked calls are dropped and its mutexes handed on by walking its own lists, and then it
// is freed: nothing may point to it after that, so both lists are empty by then.
#pragma once

#include <rpc/rpc.h>

#include "rpc/caller.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct WaiterRecord;
struct ObjectRecord;

// Replies a connection's socket has not taken yet, in order (stream.cpp). Only a client that falls behind
// has them, so they live apart from the record every connection carries.
struct UnsentReplies {
    std::unique_ptr<uint8_t[]> bytes;     // room bytes
    uint32_t                   room = 0;  // bytes the buffer holds; bounded far below 2^32
    uint32_t                   from = 0;  // the first byte still to be written
    uint32_t                   end = 0;   // the end of the bytes in the buffer
};

// The connection's part of the record stream (stream.cpp).
struct StreamState {
    std::unique_ptr<uint8_t[]>     held;            // the start of a record still coming in; nullptr when none
    std::unique_ptr<UnsentReplies> unsent;          // replies still to go out; nullptr when none
    uint32_t                       xid = 0;         // of the latest call received: every reply on it carries it
    uint32_t                       held_size = 0;   // bytes in held: at most one record
    bool                           broken = false;  // input ended or broke, or a reply failed: the runtime ends it
    bool plain = false;  // the latest call was read here as AUTH_NONE, not authenticated by the runtime
};

struct ConnectionRecord {
    SVCXPRT *transport = nullptr;    // its transport; nullptr once the runtime is destroying it
    uint64_t generation = 0;         // its life, the client identity of its calls, never reused; 0 until
                                     // its first call
    StreamState   stream;            // what the record stream keeps of it
    WaiterRecord *parked = nullptr;  // its parked calls, newest first (linked by sync/wait.cpp)
    ObjectRecord *owned = nullptr;   // the mutexes it owns, most recently taken first (sync/objects.cpp)
    CallerRecord  caller;            // who calls on it, as the kernel named it at accept (caller.h)
};

// Puts a new connection's record in the table; the table owns it from now on. False (and the record
// freed) when its descriptor has no place in the table.
bool AdoptConnection(SVCXPRT *transport, std::unique_ptr<ConnectionRecord> record) noexcept;
// The record of a live transport, made on first sight for a transport the server did not accept
// itself; nullptr when it cannot be kept (descriptor beyond the table, no memory, or its destroy
// cannot be heard).
[[nodiscard]] ConnectionRecord *ConnectionOf(SVCXPRT *transport) noexcept;
// The record of the connection the call arrived on, while that life lasts; nullptr otherwise.
[[nodiscard]] ConnectionRecord *ConnectionOfCall(const struct RequestRecord *request) noexcept;
// The record on a descriptor, live or being destroyed; nullptr for none.
[[nodiscard]] ConnectionRecord *ConnectionRecordOn(int fd) noexcept;
// The record of the call being dispatched; nullptr when none or its connection is untracked.
[[nodiscard]] ConnectionRecord *CallerConnection() noexcept;
// The client identity of a record; 0 for none.
[[nodiscard]] inline uint64_t IdentityOf(const ConnectionRecord *record) noexcept
{
    return record ? record->generation : 0;
}
