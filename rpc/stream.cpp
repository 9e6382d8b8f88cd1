// stream.cpp: the connections' record stream. The server accepts connections itself and gives each
// to the runtime as a transport whose operations for reading a call, decoding its arguments and
// writing a reply are these; the runtime authenticates and dispatches the calls that are not plain
// (below), and frees the connection (through the hooked destroy operation).
//
// The runtime's own stream takes two reads per call (the record mark, then the record) and keeps
// two buffers per connection. Here one read takes whatever a connection has sent into one buffer
// shared by all connections; every complete record in it is dispatched in turn, and only the start
// of a record still coming in is kept with its connection. The bytes and the rules stay the
// runtime's: a reply is one record-marked fragment carrying the xid of the latest call received on
// the connection; a fragment of length 0, a record longer than kMaxRecord, a call message that
// can't be decoded, the end of the input or a read error cost the connection without a reply.
//
// The runtime's handling of a call (a lock, a decoder for the header, an authentication switch, a
// walk of the registered programs, encoders for the reply's header) costs the server more than most
// procedures' own work. So a plain call (this program and version, an AUTH_NONE credential: what
// every client of it sends) is read and answered here (ServeConnection) with the bytes the runtime
// would give; any other record is handed to the runtime, which reads it through ReadCall and answers
// it as it always has.
//
// Nothing here waits for a client. A reply goes out as far as the socket takes it at once; the rest
// waits with its connection, later replies queue behind it in order, and the loop writes them when
// the socket takes more (WriteUnsent). The fragments of a record still coming in are joined as they
// arrive, so a connection holds at most one record and two marks of input. A connection whose
// unread replies pass kMaxUnsent, or that would take all connections' unread replies past
// kUnsentBudget or their unfinished records past kHeldBudget, is cut off: traced, its socket reset,
// and ended by the runtime as any lost connection (its parked calls dropped, its mutexes handed on).
#include "rpc/stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rpc/rpc.h>
#include <rpc/svc_mt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "rpc/caller.h"
#include "rpc/connection.h"
#include "rpc/destroy_hook.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"
#include "rpc/nocancel.h"
#include "rpc/proto.h"
#include "rpc/server.h"
#include "trace/trace.h"

namespace {

using XpOps = struct __rpc_svcxprt::xp_ops;

constexpr uint32_t kLastFragment = 0x80000000u;
constexpr u_int    kUnusedBuffer = 100;  // the runtime's own buffers, never used: the smallest it takes

// A client that reads has a few replies in flight: one per call it waits for, and its parked calls'
// when they complete. The kernel's socket buffer takes those; what it cannot take waits here, up to
// kMaxUnsent (some 80 of the largest replies, thousands of small ones) before the client counts as
// one that does not read. All connections together may leave kUnsentBudget unsent.
constexpr std::size_t kMaxUnsent = 256 * 1024;
constexpr std::size_t kUnsentBudget = 64 * 1024 * 1024;
constexpr std::size_t kFirstUnsentRoom = 4096;
// The kernel's buffer for a connection's replies, fixed (the kernel doubles it): left to grow, it takes
// some 3 MiB from a client that never reads, and the limit above would mean nothing.
constexpr int kSendBuffer = 32 * 1024;
// All connections' unfinished records together: room for some 680 of the longest record the server
// accepts sent in one-byte fragments, or tens of thousands of ordinary calls cut in two.
constexpr std::size_t kHeldBudget = 8 * 1024 * 1024;

// Room for any record the server accepts, even sent one byte per fragment (5 bytes per byte).
alignas(8) std::array<uint8_t, 64 * 1024> g_in;
std::size_t       g_in_size = 0;                 // bytes in g_in
std::size_t       g_in_used = 0;                 // bytes of g_in already dispatched
ConnectionRecord *g_in_owner = nullptr;          // whose input g_in holds; nullptr when nobody's
bool              g_in_read = false;             // the owner's socket has been read during this turn
XDR               g_call{};                      // decodes the call being dispatched: its header, then its arguments
const uint8_t    *g_plain_arguments = nullptr;   // a plain call's arguments in g_in, g_call not made for them
std::size_t       g_plain_size = 0;              // bytes there
alignas(8) std::array<uint8_t, 8 * 1024> g_out;  // one reply behind its record mark
XpOps g_ops{};                                   // the hooked operations with the ones below
void (*g_hooked_destroy)(SVCXPRT *) = nullptr;   // the hooked destroy operation
std::size_t g_held_total = 0;                    // bytes of all connections' held input
std::size_t g_unsent_total = 0;                  // room taken by all connections' unsent replies

// A connection's record, which its transport carries.
ConnectionRecord *RecordOf(const SVCXPRT *transport)
{
    return static_cast<ConnectionRecord *>(transport->xp_p2);
}

// A connection's part of the stream, in its record.
StreamState *StreamOf(const SVCXPRT *transport)
{
    return &RecordOf(transport)->stream;
}

void FreeUnsent(StreamState *stream)
{
    if (stream->unsent) g_unsent_total -= stream->unsent->room;
    stream->unsent.reset();
}

void FreeHeld(StreamState *stream)
{
    g_held_total -= stream->held_size;
    stream->held.reset();
    stream->held_size = 0;
}

// The line of a connection cut off, naming the connection as the live view does.
void TraceCutOff(const ConnectionRecord &connection, int fd, const char *why)
{
    // The uid names who to talk to; a remote caller has none, and its address is in the live view.
    const uint32_t uid = connection.caller.uid;
    char           who[24];
    if (uid == kRemoteUid)
        snprintf(who, sizeof who, "remote");
    else if (uid == kUnknownUid)
        snprintf(who, sizeof who, "unknown");
    else
        snprintf(who, sizeof who, "%u", uid);
    TraceLog(1, "ntsys_svc", "CutOff", __LINE__, "connection %llu of uid %s on socket %d closed: %s\n",
             static_cast<unsigned long long>(connection.generation), who, fd, why);
}

// Ends a connection that would cost the others. Its socket is reset at the close rather than left
// to drain what the client does not read, and shut for input, so that the loop hands it to the
// runtime at the next pass if this is not its own turn; the runtime then destroys it (its stream
// says so) as any lost connection.
void CutOff(ConnectionRecord *connection, int fd, const char *why)
{
    if (connection->stream.broken) return;
    connection->stream.broken = true;
    TraceCutOff(*connection, fd, why);
    FreeUnsent(&connection->stream);
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    shutdown(fd, SHUT_RD);
}

// Keeps the rest of g_in, from offset from on, with its owner: the start of a record still coming in.
void KeepRest(ConnectionRecord *owner, std::size_t from, std::size_t rest)
{
    const int fd = owner->transport->xp_fd;
    if (g_held_total + rest > kHeldBudget) {
        CutOff(owner, fd, "unfinished records past the server's budget");
        return;
    }
    owner->stream.held.reset(new (std::nothrow) uint8_t[rest]);
    if (!owner->stream.held) {
        CutOff(owner, fd, "no memory for its unfinished record");  // what it has sent so far is lost
        return;
    }
    memcpy(owner->stream.held.get(), g_in.data() + from, rest);
    owner->stream.held_size = rest;
    g_held_total += rest;
}

// Keeps the start of a record that g_in holds for its owner with the owner, and frees g_in. Usually a
// turn has read whole calls only, and there is nothing to keep.
inline void Release()
{
    ConnectionRecord *owner = std::exchange(g_in_owner, nullptr);
    const std::size_t from = g_in_used;
    const std::size_t rest = g_in_size - g_in_used;
    g_in_size = g_in_used = 0;
    if (owner && rest > 0) KeepRest(owner, from, rest);
}

enum class Scan { Complete, Incomplete, Broken };

// Whether g_in holds a fragment mark beyond what has been dispatched: without one no record can be
// complete, and most turns find none once their calls are read.
inline bool Buffered()
{
    return g_in_size - g_in_used >= 4;
}

// The fragment mark at offset at of g_in.
uint32_t MarkAt(std::size_t at)
{
    uint32_t mark = 0;
    memcpy(&mark, g_in.data() + at, sizeof mark);
    return ntohl(mark);
}

// Joins the first fragments of the record at g_in_used, which end at offset end and carry total
// bytes: their data moved together behind the first mark, which then announces them as one
// fragment, the last when the record is complete (so a second look finds the same record), and the
// rest of g_in moved up behind it.
void Join(int fragments, std::size_t end, std::size_t total, bool complete)
{
    const std::size_t body = g_in_used + 4;
    std::size_t       from = g_in_used;
    std::size_t       joined = 0;
    for (int i = 0; i < fragments; ++i) {
        // The data moves down, never past the next fragment's mark: that mark is read intact.
        const std::size_t fragment = MarkAt(from) & ~kLastFragment;
        memmove(g_in.data() + body + joined, g_in.data() + from + 4, fragment);
        joined += fragment;
        from += 4 + fragment;
    }
    const uint32_t whole = htonl(static_cast<uint32_t>(total) | (complete ? kLastFragment : 0));
    memcpy(g_in.data() + g_in_used, &whole, sizeof whole);
    memmove(g_in.data() + body + total, g_in.data() + end, g_in_size - end);
    g_in_size -= end - (body + total);
}

// The record at g_in_used, if complete. Its fragments are joined, also those that have arrived of
// a record still incomplete: one-byte fragments cost five bytes each until then.
Scan NextRecord(std::size_t *body, std::size_t *length)
{
    std::size_t at = g_in_used;
    std::size_t total = 0;
    int         fragments = 0;
    bool        last = false;
    while (!last) {
        if (g_in_size - at < 4) break;
        const uint32_t    mark = MarkAt(at);
        const std::size_t fragment = mark & ~kLastFragment;
        if (fragment == 0 || total + fragment > kMaxRecord) return Scan::Broken;
        if (g_in_size - at - 4 < fragment) break;
        total += fragment;
        at += 4 + fragment;
        last = (mark & kLastFragment) != 0;
        ++fragments;
    }
    if (fragments > 1) Join(fragments, at, total, last);
    if (!last) return Scan::Incomplete;
    *body = g_in_used + 4;
    *length = total;
    return Scan::Complete;
}

// Makes g_in hold the stream's input: first what it had kept back.
void Take(ConnectionRecord *connection)
{
    if (g_in_owner == connection) return;
    Release();
    g_in_owner = connection;
    g_in_read = false;
    StreamState *stream = &connection->stream;
    if (stream->held_size > 0) memcpy(g_in.data(), stream->held.get(), stream->held_size);
    g_in_size = stream->held_size;
    FreeHeld(stream);
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
    const ssize_t got = RecvNoCancel(fd, g_in.data() + g_in_size, g_in.size() - g_in_size, 0);
    if (got > 0) g_in_size += static_cast<std::size_t>(got);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

// The connection's next complete record, read from its socket once per turn if need be; false when
// none has arrived whole, or the stream is broken.
bool NextCall(SVCXPRT *transport, std::size_t *body, std::size_t *length)
{
    StreamState *stream = StreamOf(transport);
    if (stream->broken) return false;
    Take(RecordOf(transport));
    Scan scan = Buffered() ? NextRecord(body, length) : Scan::Incomplete;
    if (scan == Scan::Incomplete && !g_in_read) {
        if (!Fill(transport->xp_fd)) stream->broken = true;
        scan = NextRecord(body, length);
    }
    if (scan == Scan::Broken) stream->broken = true;
    return scan == Scan::Complete;
}

bool_t ReadCall(SVCXPRT *transport, rpc_msg *msg)
{
    StreamState *stream = StreamOf(transport);
    std::size_t  body = 0;
    std::size_t  length = 0;
    if (!NextCall(transport, &body, &length)) return FALSE;
    stream->plain = false;  // the runtime authenticates it, and its flavour wraps the arguments and results
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
    const bool owner = g_in_owner == RecordOf(transport);
    if (owner && Buffered() && NextRecord(&body, &length) != Scan::Incomplete) return XPRT_MOREREQS;
    if (owner) Release();
    return stream->broken ? XPRT_DIED : XPRT_IDLE;
}

// Runs an XDR routine through xdrproc_t, the runtime's variadic type that none of the routines has: the
// calling convention makes the call right, and the runtime calls them the same way (outside the
// sanitizer's view, which is why only this call needs telling).
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
bool_t
RunXdr(xdrproc_t routine, XDR *xdrs, void *value)
{
    return routine(xdrs, value);
}

xdrproc_t WordCodec()
{
    return reinterpret_cast<xdrproc_t>(xdr_uint64_t);
}

xdrproc_t VoidCodec()
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
}

uint32_t WordAt(const uint8_t *at)
{
    uint32_t word = 0;
    memcpy(&word, at, sizeof word);
    return ntohl(word);
}

// Through the call's authentication flavour, as the runtime decodes (it passes the plain flavours through).
bool_t GetArguments(SVCXPRT *transport, xdrproc_t decode, void *args)
{
    if (StreamOf(transport)->plain) {  // AUTH_NONE wraps nothing
        if (decode == WordCodec()) {
            // Most procedures take one word: read in place, as xdr_uint64_t reads it from memory.
            if (g_plain_size < 8) return FALSE;
            *static_cast<uint64_t *>(args) = uint64_t{WordAt(g_plain_arguments)} << 32 | WordAt(g_plain_arguments + 4);
            return TRUE;
        }
        xdrmem_create(&g_call, reinterpret_cast<char *>(const_cast<uint8_t *>(g_plain_arguments)),
                      static_cast<u_int>(g_plain_size), XDR_DECODE);
        return RunXdr(decode, &g_call, args);
    }
    SVCAUTH *flavour = &SVC_XP_AUTH(transport);  // set by the runtime's authentication of every call
    return flavour->svc_ah_ops && SVCAUTH_UNWRAP(flavour, &g_call, decode, static_cast<caddr_t>(args));
}

bool_t FreeArguments(SVCXPRT *, xdrproc_t decode, void *args)
{
    xdr_free(decode, args);
    return TRUE;
}

// Writes what the socket takes of data now: the bytes written, or -1 when the connection is lost.
ssize_t WriteNow(int fd, const uint8_t *data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t sent = SendNoCancel(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

// Keeps what the socket did not take of a reply, behind the connection's earlier unsent replies.
bool Queue(ConnectionRecord *connection, int fd, const uint8_t *data, std::size_t size)
{
    StreamState *stream = &connection->stream;
    if (!stream->unsent) stream->unsent.reset(new (std::nothrow) UnsentReplies{});
    if (!stream->unsent) {
        CutOff(connection, fd, "no memory for its unread replies");
        return false;
    }
    UnsentReplies    &unsent = *stream->unsent;
    const std::size_t pending = unsent.end - unsent.from;
    if (pending + size > kMaxUnsent) {
        CutOff(connection, fd, "unread replies past the connection's limit");
        return false;
    }
    if (unsent.room - unsent.end < size && unsent.from > 0) {
        memmove(unsent.bytes.get(), unsent.bytes.get() + unsent.from, pending);
        unsent.from = 0;
        unsent.end = pending;
    }
    if (unsent.room - unsent.end < size) {
        std::size_t room = std::max<std::size_t>(kFirstUnsentRoom, unsent.room);
        while (room < pending + size)
            room *= 2;
        room = std::min(room, kMaxUnsent);
        if (g_unsent_total - unsent.room + room > kUnsentBudget) {
            CutOff(connection, fd, "unread replies past the server's budget");
            return false;
        }
        std::unique_ptr<uint8_t[]> larger(new (std::nothrow) uint8_t[room]);
        if (!larger) {
            CutOff(connection, fd, "no memory for its unread replies");
            return false;
        }
        if (pending > 0) memcpy(larger.get(), unsent.bytes.get(), pending);
        g_unsent_total += room - unsent.room;
        unsent.bytes = std::move(larger);
        unsent.room = room;
    }
    memcpy(unsent.bytes.get() + unsent.end, data, size);
    unsent.end += size;
    return true;
}

// Sends a reply behind the connection's unsent ones; what the socket does not take now waits, and
// the loop watches the socket until it has taken everything.
bool Send(SVCXPRT *transport, const uint8_t *data, std::size_t size)
{
    ConnectionRecord *connection = RecordOf(transport);
    StreamState      *stream = &connection->stream;
    const int         fd = transport->xp_fd;
    const bool        waiting = stream->unsent && stream->unsent->end > stream->unsent->from;
    if (!waiting) {
        const ssize_t sent = WriteNow(fd, data, size);
        if (sent < 0) {
            stream->broken = true;
            shutdown(fd, SHUT_RD);  // the runtime ends it at the next pass, if not in this turn
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
        if (size == 0) return true;
    }
    if (!Queue(connection, fd, data, size)) return false;
    if (!waiting) WatchWritable(fd, true);
    return true;
}

// Marks the reply of length bytes behind g_out's first four and sends it.
bool_t SendOut(SVCXPRT *transport, u_int length, bool encoded)
{
    const uint32_t mark = htonl(length | kLastFragment);
    memcpy(g_out.data(), &mark, 4);
    if (StreamOf(transport)->broken || !Send(transport, g_out.data(), 4 + length)) return FALSE;
    return encoded;
}

// A success with an empty verifier: the six words xdr_replymsg writes for it, then the results: a word
// in place, as xdr_uint64_t writes it to memory; anything else through its encoder and, unless the call
// was plain, the call's authentication flavour.
bool_t WriteSuccess(SVCXPRT *transport, uint32_t verifier_flavour, xdrproc_t encode, caddr_t value)
{
    StreamState                  *stream = StreamOf(transport);
    const std::array<uint32_t, 6> header = {
        htonl(stream->xid), htonl(REPLY), htonl(MSG_ACCEPTED), htonl(verifier_flavour), 0, htonl(SUCCESS)};
    memcpy(g_out.data() + 4, header.data(), sizeof header);
    u_int length = sizeof header;
    bool  encoded = true;
    if (stream->plain && encode == WordCodec()) {
        const uint64_t                result = *reinterpret_cast<const uint64_t *>(value);
        const std::array<uint32_t, 2> word = {htonl(static_cast<uint32_t>(result >> 32)),
                                              htonl(static_cast<uint32_t>(result))};
        memcpy(g_out.data() + 4 + length, word.data(), sizeof word);
        length += sizeof word;
    } else if (encode != VoidCodec()) {
        XDR out{};
        xdrmem_create(&out, reinterpret_cast<char *>(g_out.data() + 4 + length),
                      static_cast<u_int>(g_out.size() - 4 - length), XDR_ENCODE);
        SVCAUTH *flavour = &SVC_XP_AUTH(transport);
        encoded = stream->plain ? RunXdr(encode, &out, value)
                                : flavour->svc_ah_ops && SVCAUTH_WRAP(flavour, &out, encode, value);
        length += xdr_getpos(&out);
        xdr_destroy(&out);
    }
    return SendOut(transport, length, encoded);
}

bool_t WriteReply(SVCXPRT *transport, rpc_msg *msg)
{
    StreamState *stream = StreamOf(transport);
    msg->rm_xid = stream->xid;
    // As the runtime does: the header, then the results through the call's authentication flavour.
    const bool      results = msg->rm_reply.rp_stat == MSG_ACCEPTED && msg->acpted_rply.ar_stat == SUCCESS;
    const xdrproc_t encode = msg->acpted_rply.ar_results.proc;
    const caddr_t   value = msg->acpted_rply.ar_results.where;
    if (results && msg->acpted_rply.ar_verf.oa_length == 0)
        return WriteSuccess(transport, static_cast<uint32_t>(msg->acpted_rply.ar_verf.oa_flavor), encode, value);
    if (results) {
        msg->acpted_rply.ar_results.proc = VoidCodec();
        msg->acpted_rply.ar_results.where = nullptr;
    }
    XDR out{};
    xdrmem_create(&out, reinterpret_cast<char *>(g_out.data() + 4), static_cast<u_int>(g_out.size() - 4), XDR_ENCODE);
    SVCAUTH   *flavour = &SVC_XP_AUTH(transport);
    const bool encoded =
        xdr_replymsg(&out, msg) && (!results || (flavour->svc_ah_ops && SVCAUTH_WRAP(flavour, &out, encode, value)));
    const u_int length = xdr_getpos(&out);
    xdr_destroy(&out);
    return SendOut(transport, length, encoded);
}

void DestroyStream(SVCXPRT *transport)
{
    if (g_in_owner == RecordOf(transport)) {
        g_in_owner = nullptr;
        g_in_size = g_in_used = 0;
    }
    FreeHeld(StreamOf(transport));
    FreeUnsent(StreamOf(transport));
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
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    std::unique_ptr<ConnectionRecord> record(new (std::nothrow) ConnectionRecord{});
    // The caller is named and admitted before the runtime sees the descriptor: a refused connection is
    // closed here, with no transport to free and no slot in the runtime's table left pointing at it.
    sockaddr_storage peer{};
    if (record) IdentifyCaller(fd, record->caller, peer);
    if (record && !AdmitCaller(record->caller, peer, ConnectionCap())) {
        close(fd);
        return false;
    }
    SVCXPRT          *transport = record ? svc_fd_create(fd, kUnusedBuffer, kUnusedBuffer) : nullptr;
    ConnectionRecord *connection = record.get();
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

bool WriteUnsent(int fd) noexcept
{
    ConnectionRecord *connection = ConnectionRecordOn(fd);
    if (!connection || !connection->transport || connection->transport->xp_ops != &g_ops) return true;
    StreamState *stream = &connection->stream;
    if (stream->broken) return false;
    if (stream->unsent) {
        UnsentReplies &unsent = *stream->unsent;
        const ssize_t  sent = WriteNow(fd, unsent.bytes.get() + unsent.from, unsent.end - unsent.from);
        if (sent < 0) {
            stream->broken = true;
            FreeUnsent(stream);
            return false;
        }
        unsent.from += static_cast<uint32_t>(sent);
        if (unsent.from < unsent.end) return true;
    }
    FreeUnsent(stream);
    WatchWritable(fd, false);
    return true;
}

namespace {

// xid, direction, RPC version, program, version, procedure, credential's flavour and length
constexpr uint32_t kHeaderWords = 8;

// Where a plain call's arguments start in its record (of length bytes at call); 0 when the record is
// not a plain call. The runtime reads the same words and, for an AUTH_NONE credential, accepts any
// credential and verifier of at most MAX_AUTH_BYTES each and answers with the null verifier; a
// record it would refuse, answer with an error or drop is no plain call.
std::size_t PlainArguments(const uint8_t *call, std::size_t length)
{
    if (length < 4 * kHeaderWords + 8) return 0;
    if (WordAt(call + 4) != CALL || WordAt(call + 8) != RPC_MSG_VERSION || WordAt(call + 12) != WINNT_SYS ||
        WordAt(call + 16) != EVENT_VER || WordAt(call + 24) != AUTH_NONE)
        return 0;
    const uint32_t credential = WordAt(call + 28);
    if (credential > MAX_AUTH_BYTES) return 0;
    const std::size_t verifier_at = 4 * kHeaderWords + RNDUP(credential);
    if (length < verifier_at + 8) return 0;
    const uint32_t verifier = WordAt(call + verifier_at + 4);
    if (verifier > MAX_AUTH_BYTES || length < verifier_at + 8 + RNDUP(verifier)) return 0;
    return verifier_at + 8 + RNDUP(verifier);
}

}  // namespace

void ServeConnection(int fd) noexcept
{
    ConnectionRecord *connection = ConnectionRecordOn(fd);
    SVCXPRT          *transport = connection ? connection->transport : nullptr;
    if (!transport || transport->xp_ops != &g_ops) {
        svc_getreq_common(fd);
        return;
    }
    xprt_stat stat = XPRT_IDLE;
    do {
        std::size_t body = 0;
        std::size_t length = 0;
        if (NextCall(transport, &body, &length)) {
            const uint8_t    *call = g_in.data() + body;
            const std::size_t arguments = PlainArguments(call, length);
            if (arguments == 0) {
                svc_getreq_common(fd);  // reads this record again, and what follows it
                return;
            }
            g_in_used = body + length;
            g_plain_arguments = call + arguments;
            g_plain_size = length - arguments;
            connection->stream.xid = WordAt(call);
            connection->stream.plain = true;
            transport->xp_verf = _null_auth;
            svc_req request{};
            request.rq_prog = WINNT_SYS;
            request.rq_vers = EVENT_VER;
            request.rq_proc = WordAt(call + 20);
            request.rq_cred = {AUTH_NONE, reinterpret_cast<caddr_t>(const_cast<uint8_t *>(call) + 32),
                               WordAt(call + 28)};
            request.rq_xprt = transport;
            winnt_sys_1(&request, transport);
        }
        // As the runtime after each call: a connection found lost is destroyed, and the next record read.
        stat = StreamStat(transport);
        if (stat == XPRT_DIED) SVC_DESTROY(transport);
    } while (stat == XPRT_MOREREQS);
}

bool SendResult(SVCXPRT *transport, xdrproc_t encode, void *value) noexcept
{
    if (transport->xp_ops != &g_ops || transport->xp_verf.oa_length != 0)
        return svc_sendreply(transport, encode, static_cast<caddr_t>(value));
    return WriteSuccess(transport, static_cast<uint32_t>(transport->xp_verf.oa_flavor), encode,
                        static_cast<caddr_t>(value));
}
