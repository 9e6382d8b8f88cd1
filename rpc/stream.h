// stream.h: the connections' record stream: accepting, reading calls, writing replies.
#pragma once

#include <rpc/rpc.h>

// Accepts one waiting connection and gives it to the runtime as a transport whose calls and replies
// this file reads and writes. False when none was waiting, or it could not be set up (then closed).
bool AcceptConnection(int listener) noexcept;
// Writes what the connection on fd still owes of its replies, as much as its socket takes now. False
// when the connection is lost: the runtime ends it at its next look.
bool WriteUnsent(int fd) noexcept;
// Reads and answers the calls the connection on fd has sent, as far as they have arrived whole: the
// plain ones here, any other through the runtime. A connection found lost is destroyed, as the runtime
// does.
void ServeConnection(int fd) noexcept;
// Answers the call last read on transport's connection (or one it parked) with success and value, as
// svc_sendreply does, without the runtime for a connection of this stream whose verifier is empty.
bool SendResult(SVCXPRT *transport, xdrproc_t encode, void *value) noexcept;
