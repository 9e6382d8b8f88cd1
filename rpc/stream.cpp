// stream.cpp: the connections' record stream. The server accepts connections itself and gives each
// to the runtime as a transport whose operations for reading a call, decoding its arguments and
// writing a reply are these; the runtime still authenticates each call, finds the program, calls the
// dispatcher, and frees the connection (through the hooked destroy operation).
//
// The runtime's own stream takes two reads per call (the record mark, then the record) and keeps
// two buffers per connection. Here one read takes whatever a connection has sent into one buffer
// shared by all connections; every complete record in it is dispatched in turn, and only the start
// of a record still coming in is kept with its connection. The bytes and the rules stay the
// runtime's: a reply is one record-marked fragment carrying the xid of the latest call received on
// the connection; a fragment of length 0, a record longer than kMaxRecord, a call message that
// can't be decoded, the end of the input or a read error cost the connection without a reply; a
// reply that can't be written within 2 seconds is lost, and the connection ends at its next input.
#include "rpc/stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <rpc/svc_mt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "rpc/connection.h"
#include "rpc/destroy_hook.h"
#include "rpc/loop.h"
#include "rpc/server.h"

namespace {

using XpOps = struct __rpc_svcxprt::xp_ops;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLastFragment = 0x80000000u;
constexpr u_int    kUnusedBuffer = 100;  // the runtime's own buffers, never used: the smallest it takes
constexpr auto     kWriteTimeout = std::chrono::seconds(2);

// Room for any record the server accepts, even sent one byte per fragment (5 bytes per byte).
alignas(8) std::array<uint8_t, 64 * 1024> g_in;
std::size_t  g_in_size = 0;                      // bytes in g_in
std::size_t  g_in_used = 0;                      // bytes of g_in already dispatched
StreamState *g_in_owner = nullptr;               // whose input g_in holds; nullptr when nobody's
bool         g_in_read = false;                  // the owner's socket has been read during this turn
XDR          g_call{};                           // decodes the call being dispatched: its header, then its arguments
alignas(8) std::array<uint8_t, 8 * 1024> g_out;  // one reply behind its record mark
XpOps g_ops{};                                   // the hooked operations with the ones below
void (*g_hooked_destroy)(SVCXPRT *) = nullptr;   // the hooked destroy operation

// A connection's part of the stream, in its record.
StreamState *StreamOf(const SVCXPRT *transport)
{
    return &static_cast<ConnectionRecord *>(transport->xp_p2)->stream;
}

// Keeps the start of a record that g_in holds for its owner with the owner, and frees g_in.
void Release()
{
    StreamState      *owner = std::exchange(g_in_owner, nullptr);
    const std::size_t from = g_in_used;
    const std::size_t rest = g_in_size - g_in_used;
    g_in_size = g_in_used = 0;
    if (!owner || rest == 0) return;
    owner->held.reset(new (std::nothrow) uint8_t[rest]);
    if (!owner->held) {
        owner->broken = true;  // what it has sent so far is lost: so is the connection
        return;
    }
    memcpy(owner->held.get(), g_in.data() + from, rest);
    owner->held_size = rest;
}

enum class Scan { Complete, Incomplete, Broken };

// The fragment mark at offset at of g_in.
uint32_t MarkAt(std::size_t at)
{
    uint32_t mark = 0;
    memcpy(&mark, g_in.data() + at, sizeof mark);
    return ntohl(mark);
}

// The record at g_in_used, if complete. A record of several fragments is joined first: their data
// moved together behind the first mark, which then announces one last fragment (so a second look
// finds the same record), and the rest of g_in moved up behind it.
Scan NextRecord(std::size_t *body, std::size_t *length)
{
    std::size_t at = g_in_used;
    std::size_t total = 0;
    int         fragments = 0;
    for (bool last = false; !last; ++fragments) {
        if (g_in_size - at < 4) return Scan::Incomplete;
        const uint32_t    mark = MarkAt(at);
        const std::size_t fragment = mark & ~kLastFragment;
        if (fragment == 0 || total + fragment > kMaxRecord) return Scan::Broken;
        if (g_in_size - at - 4 < fragment) return Scan::Incomplete;
        total += fragment;
        at += 4 + fragment;
        last = (mark & kLastFragment) != 0;
    }
    *body = g_in_used + 4;
    *length = total;
    if (fragments == 1) return Scan::Complete;
    std::size_t from = g_in_used;
    std::size_t joined = 0;
    for (int i = 0; i < fragments; ++i) {
        // The data moves down, never past the next fragment's mark: that mark is read intact.
        const std::size_t fragment = MarkAt(from) & ~kLastFragment;
        memmove(g_in.data() + *body + joined, g_in.data() + from + 4, fragment);
        joined += fragment;
        from += 4 + fragment;
    }
    const uint32_t whole = htonl(static_cast<uint32_t>(total) | kLastFragment);
    memcpy(g_in.data() + g_in_used, &whole, sizeof whole);
    memmove(g_in.data() + *body + total, g_in.data() + at, g_in_size - at);
    g_in_size -= at - (*body + total);
    return Scan::Complete;
}

// Makes g_in hold the stream's input: first what it had kept back.
void Take(StreamState *stream)
{
    if (g_in_owner == stream) return;
    Release();
    g_in_owner = stream;
    g_in_read = false;
    if (stream->held_size > 0) memcpy(g_in.data(), stream->held.get(), stream->held_size);
    g_in_size = stream->held_size;
    stream->held.reset();
    stream->held_size = 0;
}

// One read of whatever the connection has sent; false when its input has ended or broken.
bool Fill(int fd)
{
    g_in_read = true;
    if (g_in_used > 0) {
        memmove(g_in.data(), g_in.data() + g_in_used, g_in_size - g_in_used);
        g_in_size -= g_in_used;
        g_in_used = 0;
    }
    if (g_in_size == g_in.size()) return false;  // cannot happen: any record the server accepts fits
    const ssize_t got = read(fd, g_in.data() + g_in_size, g_in.size() - g_in_size);
    if (got > 0) g_in_size += static_cast<std::size_t>(got);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

bool_t ReadCall(SVCXPRT *transport, rpc_msg *msg)
{
    StreamState *stream = StreamOf(transport);
    if (stream->broken) return FALSE;
    Take(stream);
    std::size_t body = 0;
    std::size_t length = 0;
    Scan        scan = NextRecord(&body, &length);
    if (scan == Scan::Incomplete && !g_in_read) {
        if (!Fill(transport->xp_fd)) stream->broken = true;
        scan = NextRecord(&body, &length);
    }
    if (scan == Scan::Broken) stream->broken = true;
    if (scan != Scan::Complete) return FALSE;
    g_in_used = body + length;
    xdrmem_create(&g_call, reinterpret_cast<char *>(g_in.data() + body), static_cast<u_int>(length), XDR_DECODE);
    if (!xdr_callmsg(&g_call, msg)) {
        stream->broken = true;
        return FALSE;
    }
    stream->xid = msg->rm_xid;
    return TRUE;
}

enum xprt_stat StreamStat(SVCXPRT *transport)
{
    StreamState *stream = StreamOf(transport);
    if (stream->broken) return XPRT_DIED;
    std::size_t body = 0;
    std::size_t length = 0;
    // A broken record next is found broken by the next read of a call.
    if (g_in_owner == stream && NextRecord(&body, &length) != Scan::Incomplete) return XPRT_MOREREQS;
    if (g_in_owner == stream) Release();
    return stream->broken ? XPRT_DIED : XPRT_IDLE;
}

// Through the call's authentication flavour, as the runtime decodes (it passes the plain flavours through).
bool_t GetArguments(SVCXPRT *transport, xdrproc_t decode, void *args)
{
    SVCAUTH *flavour = &SVC_XP_AUTH(transport);  // set by the runtime's authentication of every call
    return flavour->svc_ah_ops && SVCAUTH_UNWRAP(flavour, &g_call, decode, static_cast<caddr_t>(args));
}

bool_t FreeArguments(SVCXPRT *, xdrproc_t decode, void *args)
{
    xdr_free(decode, args);
    return TRUE;
}

// Writes all of a reply, waiting at most kWriteTimeout for a client that does not read.
bool WriteAll(int fd, const uint8_t *data, std::size_t size)
{
    const auto deadline = Clock::now() + kWriteTimeout;
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd     writable{fd, POLLOUT, 0};
            if (left > 0 && poll(&writable, 1, static_cast<int>(left)) >= 0) continue;
        }
        return false;
    }
    return true;
}

bool_t WriteReply(SVCXPRT *transport, rpc_msg *msg)
{
    StreamState *stream = StreamOf(transport);
    msg->rm_xid = stream->xid;
    XDR out{};
    xdrmem_create(&out, reinterpret_cast<char *>(g_out.data() + 4), static_cast<u_int>(g_out.size() - 4), XDR_ENCODE);
    // As the runtime does: the header, then the results through the call's authentication flavour.
    const bool      results = msg->rm_reply.rp_stat == MSG_ACCEPTED && msg->acpted_rply.ar_stat == SUCCESS;
    const xdrproc_t encode = msg->acpted_rply.ar_results.proc;
    const caddr_t   value = msg->acpted_rply.ar_results.where;
    if (results) {
        msg->acpted_rply.ar_results.proc = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
        msg->acpted_rply.ar_results.where = nullptr;
    }
    SVCAUTH   *flavour = &SVC_XP_AUTH(transport);
    const bool encoded =
        xdr_replymsg(&out, msg) && (!results || (flavour->svc_ah_ops && SVCAUTH_WRAP(flavour, &out, encode, value)));
    const u_int length = xdr_getpos(&out);
    xdr_destroy(&out);
    const uint32_t mark = htonl(length | kLastFragment);
    memcpy(g_out.data(), &mark, 4);
    if (stream->broken) return FALSE;
    if (!WriteAll(transport->xp_fd, g_out.data(), 4 + length)) {
        stream->broken = true;
        return FALSE;
    }
    return encoded;
}

void DestroyStream(SVCXPRT *transport)
{
    if (g_in_owner == StreamOf(transport)) {
        g_in_owner = nullptr;
        g_in_size = g_in_used = 0;
    }
    g_hooked_destroy(transport);  // the connection's record goes; the runtime frees the transport
}

// Whether the runtime has the descriptor in its table.
bool Registered(int fd)
{
    for (int i = 0; i < svc_max_pollfd; ++i)
        if (svc_pollfd[i].fd == fd) return true;
    return false;
}

}  // namespace

bool AcceptConnection(int listener) noexcept
{
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<ConnectionRecord> record(new (std::nothrow) ConnectionRecord{});
    SVCXPRT                          *transport = record ? svc_fd_create(fd, kUnusedBuffer, kUnusedBuffer) : nullptr;
    ConnectionRecord                 *connection = record.get();
    if (record) IdentifyCaller(fd, record->caller);
    if (record && !AdmitCaller(record->caller, ConnectionCap())) {
        close(fd);
        return false;
    }
    if (!transport || !HookTransportDestroy(transport) || !AdoptConnection(transport, std::move(record))) {
        // A transport the runtime registered anyway (its peer already gone) is its to end at the next input.
        if (!transport && !Registered(fd)) close(fd);
        return false;
    }
    if (!g_hooked_destroy) {
        g_ops = *transport->xp_ops;
        g_hooked_destroy = g_ops.xp_destroy;
        g_ops.xp_recv = ReadCall;
        g_ops.xp_stat = StreamStat;
        g_ops.xp_getargs = GetArguments;
        g_ops.xp_reply = WriteReply;
        g_ops.xp_freeargs = FreeArguments;
        g_ops.xp_destroy = DestroyStream;
        RecogniseHookedTable(&g_ops);
    }
    transport->xp_p2 = connection;
    transport->xp_ops = &g_ops;
    return true;
}
