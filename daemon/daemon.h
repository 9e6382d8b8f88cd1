// daemon.h: process start-up checks, detaching, and the orderly shutdown.
#pragma once

#include "common/paths.h"

#include <cstdint>

inline constexpr const char *kServiceName = "KSTntserver";

// The host's network interfaces as listed in the kernel's interface table.
struct NICInfo {
    int32_t count;     // interfaces listed
    int32_t loopback;  // 1 when an interface name begins with "lo"
    char  **names;     // heap copies, `count` of them (the array may have spare slots)
};

// 0 with the list stored through list, -1 on any failure (nothing stored).
int GetNICInfo(NICInfo **list) noexcept;
// The same, reading another file in the same format.
int  GetNICInfoFrom(const char *path, NICInfo **list) noexcept;
void FreeNICInfo(NICInfo **list) noexcept;
// Detaches (plainly or as a forking systemd service), writes the pid file and serves; returns the exit status.
int daemon_start(const char *name) noexcept;
// Closes every descriptor from first up to the table size, except the trace library's.
void close_allfd(int first) noexcept;

// The exit status of a start-up whose access policy can't be read or doesn't parse.
inline constexpr int kExitBadPolicy = 8;
// Reads the access policy (kAccessFile) and puts it in force, before InstallServices; 0, or
// kExitBadPolicy after a trace naming the file and line.
[[nodiscard]] int LoadAccessPolicy() noexcept;

// Hands the dispatcher the service routines of sync/ and registry/ and its handling of lost
// connections; before the first call is served.
void InstallServices() noexcept;

// The SIGTERM handler only records the signal; the poll loop runs the shutdown between requests.
[[nodiscard]] int InstallTermHandler() noexcept;
// The shutdown sequence; never returns.
[[noreturn]] void ServerTerminate(int signo) noexcept;
