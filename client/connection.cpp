// connection.cpp: one TCP connection to the server, the typed calls of every procedure, and the portmapper.
#include "client/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace kst {
namespace {

constexpr std::size_t kMaxRecord = 16u << 20;  // refuse to buffer more than this for one record
constexpr uint32_t    kPmapProg = 100000, kPmapVers = 2, kPmapGetPort = 3;
constexpr uint16_t    kPmapPort = 111;

using Clock = std::chrono::steady_clock;

// What is left of the deadline for poll(); -1 (no limit) for the deadline that never comes.
int MsLeft(Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A deadline timeout_ms from now; never for a negative timeout.
Clock::time_point DeadlineIn(int timeout_ms)
{
    return timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// poll() for one event until the deadline, restarting after signals. >0 ready, 0 timeout, <0 error.
int PollUntil(int fd, short events, Clock::time_point deadline, short *revents = nullptr)
{
    for (;;) {
        pollfd    p{fd, events, 0};
        const int n = poll(&p, 1, MsLeft(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (revents) *revents = p.revents;
        return n;
    }
}

}  // namespace

bool Connection::Fail(std::string what)
{
    error_ = std::move(what);
    return false;
}

bool Connection::Connect(uint16_t port, int timeout_ms)
{
    Close();
    timed_out_ = false;
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd_) return Fail(std::string("socket: ") + strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string where = "connect to port " + std::to_string(port) + ": ";
    if (connect(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            const int err = errno;
            fd_.reset();
            return Fail(where + strerror(err));
        }
        // Still in progress (or interrupted, when it goes on in the background): writable once it ends.
        const int ready = PollUntil(fd_.get(), POLLOUT, DeadlineIn(timeout_ms));
        int       err = 0;
        socklen_t len = sizeof err;
        if (ready <= 0 || getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) {
            timed_out_ = ready == 0;
            fd_.reset();
            return Fail(where + (ready == 0 ? std::string("timed out") : strerror(err ? err : errno)));
        }
    }
    // Back to blocking: callers that use fd() directly expect the plain socket. This class's writes
    // pass MSG_DONTWAIT; its reads block only under SO_RCVTIMEO (see ReadRecord).
    fcntl(fd_.get(), F_SETFL, fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool Connection::SendRaw(std::span<const uint8_t> bytes, int timeout_ms)
{
    timed_out_ = false;
    if (!fd_) return Fail("send: not connected");
    const auto  deadline = DeadlineIn(timeout_ms);
    std::size_t done = 0;
    // The socket almost always has room: try first and wait only when it has not, one system call a
    // record instead of two.
    while (done < bytes.size()) {
        const ssize_t n = send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EINTR && errno != EAGAIN) return Fail(std::string("send: ") + strerror(errno));
        // Bounded: a server that stops reading must fail the caller, not hang it.
        const int ready = PollUntil(fd_.get(), POLLOUT, deadline);
        if (ready == 0) timed_out_ = true;
        if (ready <= 0) return Fail("send: socket not writable in time");
    }
    return true;
}

bool Connection::SendCall(uint32_t proc, std::span<const uint8_t> args, uint32_t xid)
{
    return SendRaw(CallRecord(xid, proc, args));
}

bool Connection::TakeRecord(Bytes &record, bool &oversized)
{
    oversized = false;
    std::size_t at = 0, total = 0;
    for (;;) {
        if (in_.size() - at < 4) return false;
        const uint32_t    mark = Decoder(std::span<const uint8_t>(in_).subspan(at, 4)).U32();
        const std::size_t len = mark & 0x7FFFFFFFu;
        total += len;
        if (total > kMaxRecord) {
            oversized = true;
            return false;
        }
        if (in_.size() - at - 4 < len) return false;
        at += 4 + len;
        if (mark & 0x80000000u) break;
    }
    record.clear();
    record.reserve(total);
    for (std::size_t pos = 0; pos < at;) {
        const std::size_t len = Decoder(std::span<const uint8_t>(in_).subspan(pos, 4)).U32() & 0x7FFFFFFFu;
        record.insert(record.end(), in_.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                      in_.begin() + static_cast<std::ptrdiff_t>(pos + 4 + len));
        pos += 4 + len;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(at));
    // Nothing kept between replies when nothing is pending: tests that count the heap see no growth.
    if (in_.empty()) Bytes().swap(in_);
    return true;
}

std::optional<Bytes> Connection::ReadRecord(int timeout_ms)
{
    timed_out_ = false;
    if (!fd_) {
        Fail("read: not connected");
        return std::nullopt;
    }
    // One deadline for the whole record. What arrives before it runs out stays in in_, so a time-out in
    // the middle of a record loses nothing and the next read goes on where this one stopped.
    const auto deadline = DeadlineIn(timeout_ms);
    Bytes      record;
    // A reply usually comes whole in one segment: the first read of a record blocks in recv() itself,
    // bounded by SO_RCVTIMEO (set again only when the time-out changes), one system call instead of a
    // poll() and a recv(). Later reads of the same record, and a time-out of 0, poll against the
    // deadline as before; a recv() that times out leaves the decision to that poll.
    bool first = timeout_ms != 0;
    for (;;) {
        bool oversized = false;
        if (TakeRecord(record, oversized)) return record;
        if (oversized) {
            Fail("read: record too large");
            return std::nullopt;
        }
        uint8_t chunk[16384];
        if (std::exchange(first, false) && SetRecvLimit(timeout_ms)) {
            const ssize_t got = recv(fd_.get(), chunk, sizeof chunk, 0);
            if (got > 0) {
                in_.insert(in_.end(), chunk, chunk + got);
                continue;
            }
            if (got == 0) {
                Fail("read: connection closed by the server");
                return std::nullopt;
            }
            if (errno != EINTR && errno != EAGAIN) {
                Fail(std::string("read: ") + strerror(errno));
                return std::nullopt;
            }
        }
        const int ready = PollUntil(fd_.get(), POLLIN, deadline);
        if (ready == 0) {
            timed_out_ = true;
            Fail("read: timed out after " + std::to_string(timeout_ms) + " ms");
            return std::nullopt;
        }
        if (ready < 0) {
            Fail(std::string("poll: ") + strerror(errno));
            return std::nullopt;
        }
        const ssize_t got = recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) {
            Fail(std::string("read: ") + strerror(errno));
            return std::nullopt;
        }
        if (got == 0) {
            Fail("read: connection closed by the server");
            return std::nullopt;
        }
        in_.insert(in_.end(), chunk, chunk + got);
    }
}

bool Connection::SetRecvLimit(int timeout_ms)
{
    const int limit = timeout_ms < 0 ? -1 : timeout_ms;
    if (limit == recv_limit_ms_) return true;
    timeval tv{};  // zero: no limit
    if (limit > 0) {
        tv.tv_sec = limit / 1000;
        tv.tv_usec = static_cast<suseconds_t>(limit % 1000) * 1000;
    }
    if (setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    recv_limit_ms_ = limit;
    return true;
}

std::optional<Reply> Connection::ReadReply(int timeout_ms)
{
    const auto record = ReadRecord(timeout_ms);
    if (!record) return std::nullopt;
    auto reply = ParseReply(*record);
    if (!reply) Fail("read: record is not an RPC reply (" + std::to_string(record->size()) + " bytes)");
    return reply;
}

bool Connection::NoReplyWithin(int ms)
{
    if (!fd_) return Fail("poll: not connected");
    if (!in_.empty()) return Fail("bytes already received");
    return PollUntil(fd_.get(), POLLIN, Clock::now() + std::chrono::milliseconds(ms)) == 0;
}

bool Connection::ClosedWithin(int ms)
{
    if (!fd_) return Fail("poll: not connected");
    if (!in_.empty()) return Fail("data arrived instead of a close");
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (PollUntil(fd_.get(), POLLIN, deadline) <= 0) return Fail("still open after " + std::to_string(ms) + " ms");
        uint8_t       byte;
        const ssize_t n = recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE))) return true;
        if (n > 0) return Fail("data arrived instead of a close");
        if (errno != EINTR && errno != EAGAIN) return Fail(std::string("recv: ") + strerror(errno));
    }
}

std::optional<Reply> Connection::Call(uint32_t proc, std::span<const uint8_t> args, int timeout_ms)
{
    const uint32_t xid = NextXid();
    if (!SendCall(proc, args, xid)) return std::nullopt;
    auto reply = ReadReply(timeout_ms);
    if (reply && reply->xid != xid) {
        Fail("reply xid " + std::to_string(reply->xid) + " != call xid " + std::to_string(xid));
        return std::nullopt;
    }
    return reply;
}

std::optional<uint64_t> Connection::CallWord(uint32_t proc, std::span<const uint8_t> args, int timeout_ms)
{
    const auto reply = Call(proc, args, timeout_ms);
    if (!reply) return std::nullopt;
    const auto word = reply->Word();
    if (!word)
        Fail("procedure " + std::to_string(proc) + ": reply_stat " + std::to_string(reply->reply_stat) +
             " accept_stat " + std::to_string(reply->accept_stat) + ", " + std::to_string(reply->body.size()) +
             " body bytes");
    return word;
}

bool Connection::Null()
{
    const auto reply = Call(proc::kNull, {});
    if (reply && (!reply->succeeded() || !reply->body.empty())) return Fail("null procedure: unexpected reply");
    return reply.has_value();
}

// Calls a procedure with a record-valued result and decodes it; nullopt (see error()) on any failure.
template <class Result>
std::optional<Result> Connection::CallRecordResult(uint32_t proc, std::span<const uint8_t> args,
                                                   std::optional<Result> (*decode)(std::span<const uint8_t>))
{
    const auto reply = Call(proc, args);
    if (!reply) return std::nullopt;
    auto result = reply->succeeded() ? decode(reply->body) : std::nullopt;
    if (!result)
        Fail("procedure " + std::to_string(proc) + ": accept_stat " + std::to_string(reply->accept_stat) + ", " +
             std::to_string(reply->body.size()) + " body bytes");
    return result;
}

std::optional<QueryResult> Connection::RegQueryValueEx(uint64_t key, std::string_view value)
{
    return CallRecordResult(proc::kRegQueryValue, EncodeOpen(key, value), DecodeQuery);
}

std::optional<EnumKeyResult> Connection::RegEnumKeyEx(uint64_t key, uint64_t index)
{
    return CallRecordResult(proc::kRegEnumKey, EncodeWords5({.arg1 = key, .arg2 = index}), DecodeEnumKey);
}

std::optional<EnumValueResult> Connection::RegEnumValue(uint64_t key, uint64_t index)
{
    return CallRecordResult(proc::kRegEnumValue, EncodeWords5({.arg1 = key, .arg2 = index}), DecodeEnumValue);
}

std::optional<Words5> Connection::RegQueryInfoKey(uint64_t key)
{
    return CallRecordResult(proc::kRegQueryInfoKey, EncodeWord(key), DecodeWords5);
}

namespace {

// One call to the portmapper on a fresh connection; the reply's body, or nullopt.
std::optional<Bytes> PmapCall(uint32_t proc, std::span<const uint8_t> args, int timeout_ms)
{
    Connection c;
    if (!c.Connect(kPmapPort, timeout_ms)) return std::nullopt;
    const uint32_t xid = c.NextXid();
    if (!c.SendRaw(Fragment(CallMessage(xid, kPmapProg, kPmapVers, proc, args)), timeout_ms)) return std::nullopt;
    auto reply = c.ReadReply(timeout_ms);
    if (!reply || reply->xid != xid || !reply->succeeded()) return std::nullopt;
    return std::move(reply->body);
}

}  // namespace

std::optional<uint16_t> PmapGetPort(uint32_t prog, uint32_t vers, uint32_t prot, int timeout_ms)
{
    const auto body = PmapCall(kPmapGetPort, Encoder().U32(prog).U32(vers).U32(prot).U32(0).bytes(), timeout_ms);
    if (!body) return std::nullopt;
    Decoder        d(*body);
    const uint32_t port = d.U32();
    if (!d.ok() || port > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(port);
}

}  // namespace kst
