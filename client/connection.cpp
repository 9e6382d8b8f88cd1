// connection.cpp: one TCP connection to the server, the typed calls of every procedure, and the portmapper.
#include "client/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kst {
namespace {

constexpr std::size_t kMaxRecord = 16u << 20;  // refuse to buffer more than this for one record
constexpr uint32_t kPmapProg = 100000, kPmapVers = 2, kPmapGetPort = 3;
constexpr uint16_t kPmapPort = 111;

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// poll() for one event until the deadline, restarting after signals. >0 ready, 0 timeout, <0 error.
int PollUntil(int fd, short events, Clock::time_point deadline, short *revents = nullptr)
{
    for (;;) {
        pollfd p{fd, events, 0};
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

bool Connection::Connect(uint16_t port)
{
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) return Fail(std::string("socket: ") + strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do rc = connect(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int err = errno;
        fd_.reset();
        return Fail("connect to port " + std::to_string(port) + ": " + strerror(err));
    }
    const int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool Connection::SendRaw(std::span<const uint8_t> bytes)
{
    if (!fd_) return Fail("send: not connected");
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDefaultTimeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        // Bounded: a server that stops reading must fail the test, not hang it.
        if (PollUntil(fd_.get(), POLLOUT, deadline) <= 0) return Fail("send: socket not writable in time");
        const ssize_t n = send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return Fail(std::string("send: ") + strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Connection::SendCall(uint32_t proc, std::span<const uint8_t> args, uint32_t xid)
{
    return SendRaw(CallRecord(xid, proc, args));
}

bool Connection::ReadExact(uint8_t *out, std::size_t n, int deadline_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
    std::size_t done = 0;
    while (done < n) {
        const int ready = PollUntil(fd_.get(), POLLIN, deadline);
        if (ready == 0) return Fail("read: timed out after " + std::to_string(deadline_ms) + " ms");
        if (ready < 0) return Fail(std::string("poll: ") + strerror(errno));
        const ssize_t got = recv(fd_.get(), out + done, n - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return Fail(std::string("read: ") + strerror(errno));
        if (got == 0) return Fail("read: connection closed by the server");
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<Bytes> Connection::ReadRecord(int timeout_ms)
{
    if (!fd_) {
        Fail("read: not connected");
        return std::nullopt;
    }
    // One deadline for the whole record; each read gets what is left of it.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes record;
    for (;;) {
        uint8_t header[4];
        if (!ReadExact(header, 4, MsLeft(deadline))) return std::nullopt;
        const uint32_t mark = Decoder(header).U32();
        const std::size_t len = mark & 0x7FFFFFFFu;
        if (record.size() + len > kMaxRecord) {
            Fail("read: record too large");
            return std::nullopt;
        }
        const std::size_t at = record.size();
        record.resize(at + len);
        if (len > 0 && !ReadExact(record.data() + at, len, MsLeft(deadline))) return std::nullopt;
        if (mark & 0x80000000u) return record;
    }
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
    return PollUntil(fd_.get(), POLLIN, Clock::now() + std::chrono::milliseconds(ms)) == 0;
}

bool Connection::ClosedWithin(int ms)
{
    if (!fd_) return Fail("poll: not connected");
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (PollUntil(fd_.get(), POLLIN, deadline) <= 0) return Fail("still open after " + std::to_string(ms) + " ms");
        uint8_t byte;
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
    if (!c.Connect(kPmapPort)) return std::nullopt;
    const uint32_t xid = c.NextXid();
    if (!c.SendRaw(Fragment(CallMessage(xid, kPmapProg, kPmapVers, proc, args)))) return std::nullopt;
    auto reply = c.ReadReply(timeout_ms);
    if (!reply || reply->xid != xid || !reply->succeeded()) return std::nullopt;
    return std::move(reply->body);
}

}  // namespace

std::optional<uint16_t> PmapGetPort(uint32_t prog, uint32_t vers, uint32_t prot, int timeout_ms)
{
    const auto body = PmapCall(kPmapGetPort, Encoder().U32(prog).U32(vers).U32(prot).U32(0).bytes(), timeout_ms);
    if (!body) return std::nullopt;
    Decoder d(*body);
    const uint32_t port = d.U32();
    if (!d.ok() || port > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(port);
}

}  // namespace kst
