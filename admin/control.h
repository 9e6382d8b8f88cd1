// control.h: the operator's control socket, a root-only Unix stream socket served from the poll loop.
//
// Protocol: a client sends request lines "json COMMAND [ARGUMENT]\n", COMMAND one of status, objects,
// connections, registrations, disconnect (ARGUMENT: the connection's descriptor) and trace-calls
// (ARGUMENT: on or off, or none). Each request gets one answer, "ok N\n" or "error N\n" and then
// exactly N bytes of body: a JSON document, or for an error one line of text. Requests on one
// connection are answered in order. The FORMAT word leaves room for another form; kstctl renders text.
#pragma once

#include "common/paths.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kControlClients = 8;                    // control connections served at once
inline constexpr int kControlEntries = 1 + kControlClients;  // poll entries: the listener and its clients

// Creates the socket, replacing a stale one, for a server whose RPC transport listens on rpc_listener,
// and has the poll loop serve it. False when it cannot be created; the server then runs without it.
bool OpenControlSocket(int rpc_listener) noexcept;
// Closes the socket and its clients and removes its path.
void CloseControlSocket() noexcept;

// What the commands read and do; commands.cpp.
struct ControlFacts {
    int      rpc_listener;  // the RPC transport's listening descriptor
    uint64_t started_ms;    // MonotonicMs() when the socket opened
    uint64_t refused;       // control connections refused: not root, or no free slot
    uint64_t dropped;       // control clients dropped for not reading their answers
};
// Runs one command into body; false when the request is wrong, body then holds the reason.
// May throw std::bad_alloc; the caller drops the client then.
bool RunControlCommand(std::string_view command, std::string_view argument, const ControlFacts &facts,
                       std::string &body);
