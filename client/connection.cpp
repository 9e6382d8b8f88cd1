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
constexpr uint32_t kPmapProg = 100000, kPmapVers = 2, kPmapGetPort = 3, kPmapDump = 4;
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

// Typed calls: encode, call, decode. A failure leaves the reason in error().
bool Connection::Null()
{
    const auto reply = Call(proc::kNull, {});
    if (reply && (!reply->succeeded() || !reply->body.empty())) return Fail("null procedure: unexpected reply");
    return reply.has_value();
}

std::optional<uint64_t> Connection::CreateEvent(uint64_t manual_reset, uint64_t initial_state, std::string_view name)
{
    return CallWord(proc::kCreateEvent, EncodeCreate(manual_reset, initial_state, name));
}
std::optional<uint64_t> Connection::SetEvent(uint64_t handle) { return CallWord(proc::kSetEvent, EncodeWord(handle)); }
std::optional<uint64_t> Connection::ResetEvent(uint64_t handle)
{
    return CallWord(proc::kResetEvent, EncodeWord(handle));
}
std::optional<uint64_t> Connection::OpenEvent(std::string_view name)
{
    return CallWord(proc::kOpenEvent, EncodeString(name));
}
std::optional<uint64_t> Connection::CloseHandle(uint64_t handle)
{
    return CallWord(proc::kCloseHandle, EncodeWord(handle));
}
std::optional<uint64_t> Connection::WaitForSingleObject(uint64_t handle, int timeout_ms)
{
    return CallWord(proc::kWaitSingle, EncodeWord(handle), timeout_ms);
}
std::optional<uint64_t> Connection::WaitForMultipleObjects(uint64_t count, uint64_t wait_all,
                                                           std::span<const uint64_t> handles, int timeout_ms)
{
    return CallWord(proc::kWaitMultiple, EncodeWait(count, wait_all, handles), timeout_ms);
}
std::optional<uint64_t> Connection::RegOpenKeyEx(uint64_t key, std::string_view subkey)
{
    return CallWord(proc::kRegOpenKey, EncodeOpen(key, subkey));
}
std::optional<uint64_t> Connection::RegCloseKey(uint64_t key) { return CallWord(proc::kRegCloseKey, EncodeWord(key)); }
std::optional<uint64_t> Connection::RegDeleteKey(uint64_t key, std::string_view subkey)
{
    return CallWord(proc::kRegDeleteKey, EncodeOpen(key, subkey));
}
std::optional<uint64_t> Connection::RegCreateKeyEx(uint64_t key, std::string_view subkey)
{
    return CallWord(proc::kRegCreateKey, EncodeOpen(key, subkey));
}
std::optional<QueryResult> Connection::RegQueryValueEx(uint64_t key, std::string_view value)
{
    const auto reply = Call(proc::kRegQueryValue, EncodeOpen(key, value));
    if (!reply) return std::nullopt;
    auto result = reply->succeeded() ? DecodeQuery(reply->body) : std::nullopt;
    if (!result) Fail("RegQueryValueEx: bad reply");
    return result;
}
std::optional<uint64_t> Connection::RegSetValueEx(uint64_t key, std::string_view value, uint64_t type, uint64_t size,
                                                  std::string_view data)
{
    return CallWord(proc::kRegSetValue, EncodeSet(key, value, type, size, data));
}
std::optional<uint64_t> Connection::RegNotifyChangeKeyValue(const Words5 &args, int timeout_ms)
{
    return CallWord(proc::kRegNotify, EncodeWords5(args), timeout_ms);
}
std::optional<uint64_t> Connection::RegFlushKey(uint64_t key) { return CallWord(proc::kRegFlushKey, EncodeWord(key)); }
std::optional<uint64_t> Connection::CreateMutex(uint64_t arg1, uint64_t initial_owner, std::string_view name)
{
    return CallWord(proc::kCreateMutex, EncodeCreate(arg1, initial_owner, name));
}
std::optional<uint64_t> Connection::OpenMutex(std::string_view name)
{
    return CallWord(proc::kOpenMutex, EncodeString(name));
}
std::optional<uint64_t> Connection::ReleaseMutex(uint64_t handle)
{
    return CallWord(proc::kReleaseMutex, EncodeWord(handle));
}
std::optional<uint64_t> Connection::CreateSemaphore(uint64_t initial, uint64_t maximum, std::string_view name)
{
    return CallWord(proc::kCreateSemaphore, EncodeCreate(initial, maximum, name));
}
std::optional<uint64_t> Connection::OpenSemaphore(std::string_view name)
{
    return CallWord(proc::kOpenSemaphore, EncodeString(name));
}
std::optional<uint64_t> Connection::ReleaseSemaphore(uint64_t handle, uint64_t count)
{
    return CallWord(proc::kReleaseSemaphore, EncodeWords5({.arg1 = handle, .arg2 = count}));
}
std::optional<uint64_t> Connection::CancelWaitSingle(uint64_t handle)
{
    return CallWord(proc::kCancelWaitSingle, EncodeWord(handle));
}
std::optional<uint64_t> Connection::CancelWaitMultiple(uint64_t count, std::span<const uint64_t> handles,
                                                       uint64_t wait_all)
{
    return CallWord(proc::kCancelWaitMultiple, EncodeWait(count, wait_all, handles));
}
std::optional<uint64_t> Connection::CancelRegNotify(const Words5 &args)
{
    return CallWord(proc::kCancelRegNotify, EncodeWords5(args));
}
std::optional<uint64_t> Connection::RegDeleteValue(uint64_t key, std::string_view value)
{
    return CallWord(proc::kRegDeleteValue, EncodeOpen(key, value));
}
std::optional<EnumKeyResult> Connection::RegEnumKeyEx(uint64_t key, uint64_t index)
{
    const auto reply = Call(proc::kRegEnumKey, EncodeWords5({.arg1 = key, .arg2 = index}));
    if (!reply) return std::nullopt;
    auto result = reply->succeeded() ? DecodeEnumKey(reply->body) : std::nullopt;
    if (!result) Fail("RegEnumKeyEx: bad reply");
    return result;
}
std::optional<EnumValueResult> Connection::RegEnumValue(uint64_t key, uint64_t index)
{
    const auto reply = Call(proc::kRegEnumValue, EncodeWords5({.arg1 = key, .arg2 = index}));
    if (!reply) return std::nullopt;
    auto result = reply->succeeded() ? DecodeEnumValue(reply->body) : std::nullopt;
    if (!result) Fail("RegEnumValue: bad reply");
    return result;
}
std::optional<Words5> Connection::RegQueryInfoKey(uint64_t key)
{
    const auto reply = Call(proc::kRegQueryInfoKey, EncodeWord(key));
    if (!reply) return std::nullopt;
    auto result = reply->succeeded() ? DecodeWords5(reply->body) : std::nullopt;
    if (!result) Fail("RegQueryInfoKey: bad reply");
    return result;
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

std::optional<std::vector<PmapEntry>> PmapDump(int timeout_ms)
{
    const auto body = PmapCall(kPmapDump, {}, timeout_ms);
    if (!body) return std::nullopt;
    Decoder d(*body);
    std::vector<PmapEntry> list;
    // pmaplist: a "value follows" word before each entry, 0 at the end.
    while (d.U32() == 1 && d.ok()) {
        PmapEntry e;
        e.prog = d.U32();
        e.vers = d.U32();
        e.prot = d.U32();
        e.port = d.U32();
        list.push_back(e);
    }
    if (!d.ok()) return std::nullopt;
    return list;
}

}  // namespace kst
