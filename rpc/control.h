// control.h: the operator's control socket, a root-only Unix stream socket served from the poll loop.
//
// Protocol: a client sends request lines "FORMAT COMMAND [ARGUMENT]\n", FORMAT "text" or "json", COMMAND
// one of status, objects, connections, registrations, disconnect (ARGUMENT: the connection's descriptor).
// Each request gets one answer, "ok N\n" or "error N\n" and then exactly N bytes of body; an error body
// is one line of text. Requests on one connection are answered in order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char *kControlSocket = "/run/KSTntserver.ctl";
inline constexpr int kControlClients = 8;                   // control connections served at once
inline constexpr int kControlEntries = 1 + kControlClients; // poll entries: the listener and its clients

// Creates the socket, replacing a stale one, for a server whose RPC transport listens on rpc_listener.
// False when it cannot be created; the server then runs without it.
bool OpenControlSocket(int rpc_listener) noexcept;
// Closes the socket and its clients and removes its path.
void CloseControlSocket() noexcept;
// The descriptor the poll loop watches for the control socket and all its clients; -1 without a socket.
[[nodiscard]] int ControlDescriptor() noexcept;
// Serves whatever is ready on the control socket. Runs after the runtime's pass, never inside it.
void ServeControl() noexcept;
// Counts one call of a procedure for the status; numbers beyond the program are counted together.
void CountCall(uint32_t proc) noexcept;
// Milliseconds of a clock that never goes back; parked calls are aged with it.
[[nodiscard]] uint64_t MonotonicMs() noexcept;

// What the commands read and do; control_commands.cpp.
enum class ControlFormat { Text, Json };
struct ControlFacts {
    int rpc_listener;      // the RPC transport's listening descriptor
    uint64_t started_ms;   // MonotonicMs() when the socket opened
    const uint64_t *calls; // calls per procedure 0..kLastProc, then the count beyond it
    uint64_t refused;      // control connections refused: not root, or no free slot
    uint64_t rpc_refused;  // RPC connections closed at the connection cap
    uint64_t dropped;      // control clients dropped for not reading their answers
};
// Runs one command into body; false when the request is wrong, body then holds the reason.
// May throw std::bad_alloc; the caller drops the client then.
bool RunControlCommand(ControlFormat format, std::string_view command, std::string_view argument,
                       const ControlFacts &facts, std::string &body);
