// harness.h: what the benchmark needs around the processes it measures, inside tools/nsrun's private
// namespaces: child processes, a portmapper, a /dev/log that is read like a syslog daemon reads it, the
// real daemon started as an administrator starts it, resident memory of a process, and a minimal Redis
// client for the Redis floor.
//
// Child processes are started with the tests' Spawn (tests/support/process.h), their output discarded.
//
// The benchmark is the namespace's pid 1: the detached daemon is reparented to it and reaped here, and
// when it exits the kernel ends whatever it started.
#pragma once

#include "client/client.h"
#include "tests/support/process.h"

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kst::bench {

using Clock = std::chrono::steady_clock;

inline constexpr char kKestrel[] = "/opt/orn/kestrel";
inline constexpr char kRegistryDir[] = "/opt/orn/kestrel/registry";
inline constexpr char kReadyFile[] = "/opt/orn/kestrel/work/KSTntserver.ready";

inline double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls cond every millisecond until it holds or timeout_ms passes.
template <class Cond> bool PollFor(int timeout_ms, Cond cond)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (Clock::now() >= deadline) return false;
        poll(nullptr, 0, 1);
    }
    return true;
}

// On more than one CPU (bench/run --no-pin), the benchmark's clients keep to the last CPU and every
// server it measures, daemon and floors alike, to the first: each call then crosses between CPUs, the
// same way for a server as for its floor, instead of as the scheduler happens to place them (which makes
// a slice's rate a third or three times its neighbour's). PlaceClients fixes the calling process's CPU
// (its threads and children inherit it) and names the layout for the table ("1 of 2 CPUs"); PlaceServer moves
// every thread of a started server. On one CPU both leave everything where it is.
std::string PlaceClients();
void        PlaceServer(pid_t pid);
// PlaceServer for a floor server, which also gets the daemon's scheduling priority.
void PlaceFloor(pid_t pid);
// SIGTERM, then SIGKILL after timeout_ms; reaps it. True when it ended on SIGTERM.
bool EndChild(pid_t pid, int timeout_ms);
// VmRSS of a process in KiB; -1 when unreadable.
long RssKb(pid_t pid);
// Time the process's main thread has spent on a CPU, user and system, in seconds (from
// /proc/<pid>/schedstat, in nanoseconds); -1 when unreadable. Waiting for a CPU does not count, so a
// busy machine hardly moves it.
double CpuSeconds(pid_t pid);
// The first free TCP port on 127.0.0.1 from `from` on.
uint16_t FreePort(uint16_t from);

// Reads and discards everything sent to /dev/log on a thread of its own, as a syslog daemon would, so
// the daemon's per-call trace messages cost it what they cost in production.
class SyslogSink {
public:
    bool Start();
    ~SyslogSink();

private:
    int               fd_ = -1;       // bound at /dev/log
    std::atomic<bool> stop_ = false;  // asks the reader to end
    std::thread       reader_;        // drains fd_
};

// The daemon binary at a path, started with no arguments and stopped with SIGTERM.
class Daemon {
public:
    explicit Daemon(std::string path) : path_(std::move(path)) {}
    ~Daemon() { Stop(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Launches it and waits until the ready file exists and a null call found through the portmapper is
    // answered; the seconds that took, or nullopt when it did not within timeout_ms.
    std::optional<double>  Start(int timeout_ms = 60000);
    bool                   Stop();
    [[nodiscard]] pid_t    pid() const { return pid_; }
    [[nodiscard]] uint16_t port() const { return port_; }
    [[nodiscard]] long     RssKb() const { return bench::RssKb(pid_); }
    [[nodiscard]] double   CpuSeconds() const { return bench::CpuSeconds(pid_); }
    // A connection to the daemon; not connected() on failure.
    [[nodiscard]] Connection Connect() const;

private:
    std::string path_;      // the binary under test
    pid_t       pid_ = -1;  // the detached daemon, once ready
    uint16_t    port_ = 0;  // its port at the portmapper
};

// A connection that sends call records built once (only the xid changes) and reads one-word replies into a
// buffer of its own, with no allocation per call: as lean as the Redis client below, so the handoff row
// compares the servers, not the clients.
class WordCaller {
public:
    bool Connect(uint16_t port);
    // The record of a call of proc on one word.
    static Bytes Record(uint32_t proc, uint64_t word) { return CallRecord(0, proc, EncodeWord(word)); }
    // Sends record under a fresh xid and returns the reply's word; nullopt on anything but a one-word success.
    std::optional<uint64_t> Call(Bytes &record);

private:
    UniqueFd fd_;       // the socket
    uint32_t xid_ = 0;  // of the last call
};

// A connection to the bare ping-pong server (kstpingpong): one 8-byte message out, one 8-byte answer back.
class PingCaller {
public:
    static constexpr uint32_t kWait = 1, kSet = 2;  // the server's operations
    bool                      Connect(uint16_t port);
    // Waits for or sets event 0 or 1; the answer's word, nullopt on a broken connection.
    std::optional<uint32_t> Call(uint32_t operation, uint32_t event);

private:
    UniqueFd fd_;  // the socket
};

// One Redis connection speaking RESP over TCP; each command waits for its whole reply.
class Redis {
public:
    bool Connect(uint16_t port);
    // Sends one command and reads its reply; false on an error reply or a broken connection.
    bool Command(std::initializer_list<std::string_view> words) { return Command(Encode(words)); }
    // The same with the command already encoded (Encode), as the handoff row sends it: no work per call
    // beyond the client's writing and reading, as with WordCaller.
    bool               Command(const std::string &encoded);
    static std::string Encode(std::initializer_list<std::string_view> words);

private:
    bool ReadLine(std::string &line);
    bool ReadReply();

    UniqueFd    fd_;      // the socket
    std::string buffer_;  // received, not yet consumed
};

// redis-server on 127.0.0.1:port, without persistence; -1 when it is not installed or did not come up.
pid_t StartRedis(uint16_t port);

}  // namespace kst::bench
