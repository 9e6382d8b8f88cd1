// server.h: the bootstrap that turns the daemon into the RPC server, and its port configuration.
#pragma once

#include "common/paths.h"

#include <cstdint>

// Most descriptors the server asks for; it takes as many as the hard limit allows, up to this. Set
// before the runtime first looks at the table size, so every descriptor the runtime can serve has
// an entry in our connection table.
inline constexpr int kDescriptorLimit = 65536;

// Large enough for the largest call the server accepts: header, credential and verifier of at
// most 400 bytes each, and a string argument of the runtime's 9000-byte maximum. A longer
// record costs its sender the connection.
inline constexpr unsigned kMaxRecord = 12 * 1024;

// Exit status of a start-up that finds the runtime no longer reports destroyed connections.
inline constexpr int kExitRuntimeUnfit = 6;

extern int32_t sockfd;  // the socket bound to the configured port; -1 when there is none

// Readies the RPC runtime before its first use: descriptor limit, record size, and the check that
// destroyed connections are reported. 0, or the exit status of a start-up that must not go on.
[[nodiscard]] int PrepareRuntime() noexcept;
void              NTSYS_Server() noexcept;
// What the layers above run around serving: once the RPC transport listens (on that descriptor),
// and when serving ends. Either may be null.
struct ServingHooks {
    void (*listening)(int rpc_listener) noexcept;  // before the ready file is written
    void (*stopped)() noexcept;                    // after the loop returns, or when the ready file fails
};
void SetServingHooks(ServingHooks hooks) noexcept;
// With yield, the scheduling group of the server's session goes back to the default weight; without,
// it has the server's priority again. For the time an idle-priority child shares the session: the group
// weighs as one, and the child alone in it, while the server waits for calls, would weigh as the server
// against every other program. Nothing where the server gave its session no priority.
void YieldSessionPriority(bool yield) noexcept;
// 0 with the configured port stored, or -1 when the system should choose one.
int GetRpcPortNumber(uint32_t *port) noexcept;
// Removes leading and trailing blanks in place; nullptr for no or empty text.
char *stripstring(char *text) noexcept;
// 1 for an optional "-" followed by one or more decimal digits.
int IsDecimal(const char *text) noexcept;
