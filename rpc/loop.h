// loop.h: the server's own poll loop.
#pragma once

#include <poll.h>
#include <rpc/rpc.h>

#include <array>
#include <cstdint>

struct WaiterRecord;

// The most recent parked call of a connection, by socket descriptor; the waits (sync/wait.cpp) keep the
// slots, the loop clears the table when it starts. The slots are held by value: a wait that parks
// allocates nothing for its slot and cannot fail for want of one.
struct SocketSlot {
    uint64_t      object;  // address of the awaited record for a single wait (linked, so alive), 0 for a multiple wait
    WaiterRecord *waiter;  // the parked call; nullptr for an empty slot
};

inline constexpr int kSocketSlots = 1024;

extern std::array<SocketSlot, kSocketSlots> sock2client;  // per descriptor 0..1023

// svc_run() itself is declared by the runtime's header; ours takes the place of its loop.
// Clears the socket slots of parked calls; the loop starts with it.
void init_hook() noexcept;
// Tells the loop which descriptor accepts connections and how many connections it may hold.
void WatchListener(int fd, int max_connections) noexcept;
// Has the loop also watch fd and call serve when it is readable, after the runtime's pass and before
// the accepts; -1 for none.
void WatchSideService(int fd, void (*serve)() noexcept) noexcept;
// Has the loop watch fd, which the server's one other thread (the disk waiter) makes readable when work it
// did for the loop is done, and call collect in the pass that sees it; -1 for none.
void WatchCompletions(int fd, void (*collect)() noexcept) noexcept;
// Has the loop watch fd, the read end of the termination pipe, and call terminate (which does not
// return) when it is readable: between two requests, never inside one.
void SetTerminationWatch(int fd, void (*terminate)() noexcept) noexcept;
// Has the loop call tick once a pass, after the calls and before the accepts; nullptr for none. While
// tick returns true (work of its own is left), the next wait for events does not block.
void SetLoopTick(bool (*tick)() noexcept) noexcept;
// Has the loop also wait for fd's socket to take more output (on), or stop (off): a connection with
// replies its socket could not take yet (stream.cpp).
void WatchWritable(int fd, bool on) noexcept;
// The most connections the loop serves.
[[nodiscard]] int ConnectionCap() noexcept;
// Has the loop open the registry's queue of the kernel's change reports when it starts (open returns its
// descriptor, -1 for none: after start-up has closed the descriptors it does not keep), watch it, and call
// read when it is readable, after the runtime's pass and before the tick.
void SetChangeWatch(int (*open)() noexcept, void (*read)() noexcept) noexcept;
// Connections closed at once because the server held the most it serves, since start.
[[nodiscard]] uint64_t RefusedConnections() noexcept;
