// loop.h: the server's own poll loop.
#pragma once

#include <poll.h>
#include <rpc/rpc.h>

#include <cstdint>

// svc_run() itself is declared by the runtime's header; ours takes the place of its loop.
// Clears the socket slots of parked calls; the loop starts with it.
void init_hook() noexcept;
// Tells the loop which descriptor accepts connections and how many connections it may hold.
void WatchListener(int fd, int max_connections) noexcept;
// Has the loop also watch fd and call serve when it is readable, after the runtime's pass and before
// the accepts; -1 for none.
void WatchSideService(int fd, void (*serve)() noexcept) noexcept;
// Has the loop call tick once a pass, after the calls and before the accepts; nullptr for none.
void SetLoopTick(void (*tick)() noexcept) noexcept;
// Connections closed at once because the server held the most it serves, since start.
[[nodiscard]] uint64_t RefusedConnections() noexcept;
