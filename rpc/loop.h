// loop.h: the server's own poll loop and what it does when a connection is lost.
#pragma once

#include <poll.h>
#include <rpc/rpc.h>

#include <cstdint>

// svc_run() itself is declared by the runtime's header; ours takes the place of its loop.
void init_hook() noexcept;
void svc_hook(pollfd *fds, int count) noexcept;
// Releases every mutex owned by the connection on that descriptor, handing each to its newest waiter.
void ReleaseMutexBySocket(int fd) noexcept;
// The same for a connection known by its identity.
void ReleaseMutexesOwnedBy(uint64_t connection) noexcept;
// Tells the loop which descriptor accepts connections and how many connections it may hold.
void WatchListener(int fd, int max_connections) noexcept;
