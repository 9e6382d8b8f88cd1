// session.h: what the object and registry halves of libkstnt share: the calling thread's connection to
// the daemon, one call and its reply, the thread's last error, and the one table that turns the daemon's
// codes into NT codes.
#pragma once

#define KSTNT_NO_NAME_MACROS
#include "client/client.h"
#include "libkstnt/kstnt.h"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>

namespace kstnt {

// Reply words up to this value are codes; identities of objects and keys are far above it.
inline constexpr uint64_t kLargestCode = 0xFFFF;
[[nodiscard]] inline bool IsIdentity(uint64_t word)
{
    return word > kLargestCode;
}

// Which column of the translation table a call reads: the daemon reuses its codes for different
// faults, and the NT code a ported program tests for depends on what the call was given.
enum class Subject {
    Handle,  // a call on an object handle: "not found" is a bad handle
    Name,    // opening an object by name: "not found" is a missing name
    Key,     // a registry call: "not found" is a bad key handle
};

// The NT code for a daemon code (the table is in session.cpp and kstnt(3)).
[[nodiscard]] DWORD Translate(uint64_t code, Subject subject) noexcept;

// The calling thread's last error.
void SetError(DWORD code) noexcept;

// The calling thread's connection, opened if it has none (port from KSTNT_PORT or the portmapper).
// nullptr, with the last error set, when the daemon can't be reached.
kst::Connection *Connection();
// Closes the calling thread's connection after a failure that leaves it in an unknown state: the next
// call opens a new one. The daemon releases every mutex the old connection owned.
void Drop() noexcept;
// What each handle this process created or opened names, so that a wait can tell a mutex from an
// event and SignalObjectAndWait knows which signal to send, without asking the daemon. A thread
// handle is a daemon event that only the library sets.
enum class Kind { Event, Mutex, Semaphore, Thread };
void                              ObjectOpened(uint64_t handle, Kind kind);  // a Create or Open returned this handle
void                              ObjectClosed(uint64_t handle);             // CloseHandle succeeded on it
[[nodiscard]] std::optional<Kind> KindOf(uint64_t handle);
// Leaves one Create or Open of this handle open when the process ends (kstctl's "create" makes
// objects that outlive it); every other handle is closed then (session.cpp).
void KeepAtExit(HANDLE handle);
// True once the process's handles were closed at its end, for a handle that is no longer open: a
// program's late CloseHandle must not take a reference that another process holds.
[[nodiscard]] bool ClosedAtExit(uint64_t handle);
// NT counts how often the owner of a mutex has waited for it and frees it at the matching release;
// the daemon frees it at the first. The count is kept here, per thread, for the mutexes this process
// created or opened, over single waits and waits for any.
void Acquired(uint64_t handle);  // a wait of this thread succeeded on it (any handle)
// True when this thread owns the mutex more than once: one level is given back and nothing is sent.
bool ReleaseNested(uint64_t handle);
void Released(uint64_t handle);  // the daemon freed this thread's ownership

// How long any one exchange may take before the daemon counts as not answering (KSTNT_IO_TIMEOUT_MS).
[[nodiscard]] int IoTimeoutMs() noexcept;

// Sends one call; false (connection dropped, last error set) when it can't be written in time.
bool Send(kst::Connection &c, uint32_t proc, std::span<const uint8_t> args, uint32_t xid);
// Sends bytes already framed (several calls in one write).
bool SendFramed(kst::Connection &c, std::span<const uint8_t> records);

enum class Got { Reply, TimedOut, Failed };
// Reads the next reply, waiting at most ms (INFINITE: for ever). TimedOut leaves the connection as it
// is; Failed has dropped it and set the last error. A reply that is not an accepted success also
// counts as Failed.
Got Receive(kst::Connection &c, DWORD ms, kst::Reply &out);

// One call answered by one word; nullopt with the last error set otherwise.
std::optional<uint64_t> CallWord(uint32_t proc, std::span<const uint8_t> args);
// One call answered by a record; its body, or nullopt with the last error set.
std::optional<kst::Bytes> CallBody(uint32_t proc, std::span<const uint8_t> args);
// The reply to xid, read next on c within the I/O deadline, as one word; nullopt with the last error
// set (and the connection dropped) otherwise.
std::optional<uint64_t> ReadWord(kst::Connection &c, uint32_t xid);
// Two calls in one write, each answered by one word: the daemon serves every whole call it has read
// from a connection before it turns to another, so nothing comes between them.
struct Call {
    uint32_t                 proc;  // procedure number
    std::span<const uint8_t> args;  // its encoded arguments
};
std::optional<std::array<uint64_t, 2>> CallWordPair(const Call &first, const Call &second);

// Runs the body of a public function: no C++ exception crosses into C. Memory exhaustion becomes
// ERROR_NOT_ENOUGH_MEMORY (the connection is dropped, since a call may be half done); on_failure is
// what the function returns then.
template <class Result, class Body> Result Guard(Result on_failure, Body body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        Drop();
        SetError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        Drop();
        SetError(ERROR_INVALID_FUNCTION);
    }
    return on_failure;
}

// As Guard, for the registry functions, which return the code instead of setting it.
template <class Body> LONG GuardReg(Body body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        Drop();
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        Drop();
        return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace kstnt
