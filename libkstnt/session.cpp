// session.cpp: the calling thread's connection to the daemon, single exchanges on it, the last error,
// and the translation of the daemon's codes.
//
// A connection belongs to one thread: the daemon keys mutex ownership and a parked wait to the
// connection, as NT keys them to the thread. It is opened on the thread's first call, and closed by
// the thread-key destructor when the thread ends (the daemon then releases the mutexes it owned) or
// by Drop after a failure. A fork gives the child none of the parent's connections: the child opens
// its own on its first call.
//
// A process that ends normally (exit, or a return from main) closes the handles it created or opened,
// as NT closes a process's handles: a named object whose last handle this was goes away, so a
// single-instance mutex or event does not outlive its program. The daemon closes nothing when a
// connection ends, so the library does it, after the program's own exit handlers and destructors. A
// forked child inherits the parent's handles but does not close them: they are the parent's.
#include "libkstnt/session.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kstnt {
namespace {

using kst::Bytes;

thread_local DWORD t_last_error = ERROR_SUCCESS;  // the thread's last error

std::atomic<unsigned> g_fork_generation{0};  // raised in every forked child

// A thread's connection and the process generation it was opened in.
struct Session {
    kst::Connection                     connection;      // to the daemon; not connected until the first call
    unsigned                            generation = 0;  // g_fork_generation when it was opened
    std::unordered_map<uint64_t, DWORD> held;            // mutexes this thread owns -> times acquired
};

// Every handle of this process that names an object, with its kind and the number of Creates and
// Opens not yet closed.
struct Opened {
    Kind  kind;     // what the handle names
    DWORD count;    // Creates and Opens not yet closed
    DWORD own = 0;  // of those, the ones this process closes when it ends (not inherited, not kept)
};
std::mutex                            g_objects_lock;
std::unordered_map<uint64_t, Opened> *g_objects = new std::unordered_map<uint64_t, Opened>;  // never freed
std::atomic<bool>                     g_closed_at_exit{false};  // the process's handles are closed: it is ending

bool IsMutex(uint64_t handle)
{
    return KindOf(handle) == Kind::Mutex;
}

pthread_key_t  g_session_key;  // each thread's Session, deleted when the thread ends
pthread_once_t g_session_once = PTHREAD_ONCE_INIT;

void DeleteSession(void *session)
{
    delete static_cast<Session *>(session);
}
// The table is locked across a fork, so the child gets it whole.
void BeforeFork()
{
    g_objects_lock.lock();
}
void AfterForkInParent()
{
    g_objects_lock.unlock();
}
void AfterForkInChild()
{
    g_fork_generation.fetch_add(1);
    for (auto &entry : *g_objects)
        entry.second.own = 0;  // the parent's to close
    g_objects_lock.unlock();
}

void MakeSessionKey()
{
    if (pthread_key_create(&g_session_key, DeleteSession) != 0) abort();  // only when keys run out
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

Session *ThisSession()
{
    pthread_once(&g_session_once, MakeSessionKey);
    auto *session = static_cast<Session *>(pthread_getspecific(g_session_key));
    if (session) return session;
    session = new (std::nothrow) Session;
    if (session && pthread_setspecific(g_session_key, session) != 0) {
        delete session;
        session = nullptr;
    }
    return session;
}

// The daemon's port: KSTNT_PORT when set, else the portmapper's answer; 0 when there is none.
// -1 when KSTNT_PORT is not a port number.
long DaemonPort()
{
    if (const char *text = getenv("KSTNT_PORT"); text && *text) {
        char *end = nullptr;
        errno = 0;
        const long port = strtol(text, &end, 10);
        return (errno == 0 && *end == '\0' && port > 0 && port <= 65535) ? port : -1;
    }
    const auto port = kst::PmapGetPort(kst::kProgram, kst::kVersion, kst::kIpprotoTcp, IoTimeoutMs());
    return port.value_or(0);
}

// One row per daemon code: the NT code for a call on an object handle, for opening by name, and for a
// registry call.
struct Translation {
    uint64_t code;    // as the daemon replies it
    DWORD    handle;  // Subject::Handle
    DWORD    name;    // Subject::Name
    DWORD    key;     // Subject::Key
};
constexpr std::array<Translation, 10> kTranslations{{
    {0, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS},
    {2, ERROR_INVALID_HANDLE, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE},
    {4, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {5, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {6, ERROR_BUSY, ERROR_BUSY, ERROR_BUSY},
    {7, ERROR_CANTWRITE, ERROR_CANTWRITE, ERROR_CANTWRITE},
    {8, ERROR_TOO_MANY_POSTS, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {13, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},           // the daemon's access policy refused
    {14, ERROR_NOT_ENOUGH_QUOTA, ERROR_NOT_ENOUGH_QUOTA, ERROR_NOT_ENOUGH_QUOTA},  // past one of the caller's quotas
    {288, ERROR_NOT_OWNER, ERROR_NOT_OWNER, ERROR_NOT_OWNER},
}};

}  // namespace

DWORD Translate(uint64_t code, Subject subject) noexcept
{
    for (const Translation &row : kTranslations) {
        if (row.code != code) continue;
        switch (subject) {
        case Subject::Handle:
            return row.handle;
        case Subject::Name:
            return row.name;
        case Subject::Key:
            return row.key;
        }
    }
    return ERROR_INVALID_DATA;  // a code this library does not know: the daemon is not the one expected
}

void SetError(DWORD code) noexcept
{
    t_last_error = code;
}

int IoTimeoutMs() noexcept
{
    static const int ms = [] {
        const char *text = getenv("KSTNT_IO_TIMEOUT_MS");
        const long  value = text ? strtol(text, nullptr, 10) : 0;
        return value > 0 && value <= INT_MAX ? static_cast<int>(value) : kst::kDefaultTimeoutMs;
    }();
    return ms;
}

kst::Connection *Connection()
{
    Session *session = ThisSession();
    if (!session) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const unsigned generation = g_fork_generation.load();
    if (session->connection.connected() && session->generation == generation) return &session->connection;
    // Closing a connection inherited through fork only drops this process's descriptor: the parent's
    // connection lives on. A new connection owns nothing.
    session->connection.Close();
    session->held.clear();
    const long port = DaemonPort();
    if (port < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (port == 0 || !session->connection.Connect(static_cast<uint16_t>(port), IoTimeoutMs())) {
        SetError(session->connection.timed_out() ? ERROR_TIMEOUT : ERROR_SERVICE_NOT_ACTIVE);
        return nullptr;
    }
    session->generation = generation;
    return &session->connection;
}

void Drop() noexcept
{
    pthread_once(&g_session_once, MakeSessionKey);
    if (auto *session = static_cast<Session *>(pthread_getspecific(g_session_key))) {
        session->connection.Close();  // the daemon releases what it owned
        session->held.clear();
    }
}

void ObjectOpened(uint64_t handle, Kind kind)
{
    std::lock_guard lock(g_objects_lock);
    const auto      entry = g_objects->try_emplace(handle, Opened{kind, 0}).first;
    entry->second.kind = kind;  // a handle the daemon gave before stands for a new object now
    ++entry->second.count;
    ++entry->second.own;
}

void ObjectClosed(uint64_t handle)
{
    std::lock_guard lock(g_objects_lock);
    const auto      found = g_objects->find(handle);
    if (found == g_objects->end()) return;
    if (--found->second.count == 0)
        g_objects->erase(found);
    else
        found->second.own = std::min(found->second.own, found->second.count);
}

void KeepAtExit(HANDLE handle)
{
    std::lock_guard lock(g_objects_lock);
    const auto      found = g_objects->find(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)));
    if (found != g_objects->end() && found->second.own > 0) --found->second.own;
}

bool ClosedAtExit(uint64_t handle)
{
    return g_closed_at_exit.load() && !KindOf(handle);
}

std::optional<Kind> KindOf(uint64_t handle)
{
    std::lock_guard lock(g_objects_lock);
    const auto      found = g_objects->find(handle);
    if (found == g_objects->end()) return std::nullopt;
    return found->second.kind;
}

void Acquired(uint64_t handle)
{
    if (!IsMutex(handle)) return;
    if (Session *session = ThisSession()) ++session->held[handle];
}

bool ReleaseNested(uint64_t handle)
{
    Session *session = ThisSession();
    if (!session) return false;
    const auto found = session->held.find(handle);
    if (found == session->held.end() || found->second < 2) return false;
    --found->second;
    return true;
}

void Released(uint64_t handle)
{
    if (Session *session = ThisSession()) session->held.erase(handle);
}

bool SendFramed(kst::Connection &c, std::span<const uint8_t> records)
{
    if (c.SendRaw(records, IoTimeoutMs())) return true;
    SetError(c.timed_out() ? ERROR_TIMEOUT : ERROR_CONNECTION_ABORTED);
    Drop();
    return false;
}

bool Send(kst::Connection &c, uint32_t proc, std::span<const uint8_t> args, uint32_t xid)
{
    return SendFramed(c, kst::CallRecord(xid, proc, args));
}

Got Receive(kst::Connection &c, DWORD ms, kst::Reply &out)
{
    // poll() takes an int: a long finite time-out is waited in slices, and a record half read when a
    // slice ends stays buffered for the next.
    constexpr DWORD kSliceMs = 1u << 30;
    DWORD           left = ms;
    for (;;) {
        const DWORD slice = ms == INFINITE ? kSliceMs : (left < kSliceMs ? left : kSliceMs);
        auto        reply = c.ReadReply(ms == INFINITE ? -1 : static_cast<int>(slice));
        if (reply) {
            if (!reply->succeeded()) {
                // Refused by the RPC layer (no such program, version or procedure, undecodable
                // arguments): the daemon is not the one this library speaks to.
                SetError(ERROR_INVALID_DATA);
                Drop();
                return Got::Failed;
            }
            out = std::move(*reply);
            return Got::Reply;
        }
        if (!c.timed_out()) {
            SetError(ERROR_CONNECTION_ABORTED);
            Drop();
            return Got::Failed;
        }
        if (ms != INFINITE) left -= slice;
        if (ms != INFINITE && left == 0) return Got::TimedOut;
    }
}

namespace {

// The reply to xid, the next on the connection, within the I/O deadline; its body or nullopt (last
// error set, connection dropped).
std::optional<kst::Bytes> Answer(kst::Connection &c, uint32_t xid)
{
    kst::Reply reply;
    switch (Receive(c, static_cast<DWORD>(IoTimeoutMs()), reply)) {
    case Got::Failed:
        return std::nullopt;
    case Got::TimedOut:
        // The daemon stopped answering: its reply might still come and would answer the next call.
        SetError(ERROR_TIMEOUT);
        Drop();
        return std::nullopt;
    case Got::Reply:
        break;
    }
    if (reply.xid != xid) {
        SetError(ERROR_INVALID_DATA);
        Drop();
        return std::nullopt;
    }
    return std::move(reply.body);
}

// A body that is exactly one word.
std::optional<uint64_t> WordOf(const std::optional<kst::Bytes> &body)
{
    if (!body) return std::nullopt;
    kst::Decoder   d(*body);
    const uint64_t word = d.U64();
    if (!d.ok() || d.remaining() != 0) {
        SetError(ERROR_INVALID_DATA);
        Drop();
        return std::nullopt;
    }
    return word;
}

// One call and its reply, within the I/O deadline; the body of the reply or nullopt (last error set).
std::optional<kst::Bytes> Exchange(uint32_t proc, std::span<const uint8_t> args)
{
    kst::Connection *c = Connection();
    if (!c) return std::nullopt;
    const uint32_t xid = c->NextXid();
    if (!Send(*c, proc, args, xid)) return std::nullopt;
    return Answer(*c, xid);
}

}  // namespace

std::optional<uint64_t> CallWord(uint32_t proc, std::span<const uint8_t> args)
{
    return WordOf(Exchange(proc, args));
}

std::optional<uint64_t> ReadWord(kst::Connection &c, uint32_t xid)
{
    return WordOf(Answer(c, xid));
}

std::optional<std::array<uint64_t, 2>> CallWordPair(const Call &first, const Call &second)
{
    kst::Connection *c = Connection();
    if (!c) return std::nullopt;
    const uint32_t xid = c->NextXid();
    Bytes          both = kst::CallRecord(xid, first.proc, first.args);
    const Bytes    next = kst::CallRecord(xid + 1, second.proc, second.args);
    c->NextXid();
    both.insert(both.end(), next.begin(), next.end());
    if (!SendFramed(*c, both)) return std::nullopt;
    const auto one = ReadWord(*c, xid);
    if (!one) return std::nullopt;
    const auto two = ReadWord(*c, xid + 1);
    if (!two) return std::nullopt;
    return std::array<uint64_t, 2>{*one, *two};
}

std::optional<kst::Bytes> CallBody(uint32_t proc, std::span<const uint8_t> args)
{
    return Exchange(proc, args);
}

}  // namespace kstnt

extern "C" {

// Runs after the program's exit handlers and static destructors (and never for _exit, an abort or a
// fatal signal: then the handles stay open in the daemon, as they always did).
__attribute__((destructor)) static void CloseHandlesAtExit()
{
    using namespace kstnt;
    std::vector<std::pair<uint64_t, DWORD>> mine;
    {
        std::lock_guard lock(g_objects_lock);
        for (const auto &[handle, opened] : *g_objects)
            if (opened.own > 0) mine.emplace_back(handle, opened.own);
    }
    if (mine.empty()) return;
    // The exiting thread ends first, as on NT: the daemon frees the mutexes it owns (NT would abandon
    // them), so their close is not refused as a close of an owned mutex.
    Drop();
    const DWORD saved = GetLastError();
    [&mine] {
        for (const auto &[handle, times] : mine)
            for (DWORD i = 0; i < times; ++i) {
                if (CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)))) continue;
                // Refused by the daemon (another thread waits on it, or owns the mutex): the next
                // handle. Anything else means the daemon can't be reached, and each close would wait.
                const DWORD code = GetLastError();
                if (code != ERROR_BUSY && code != ERROR_INVALID_HANDLE) return;
                break;
            }
    }();
    g_closed_at_exit.store(true);
    SetLastError(saved);
}

KSTNT_API DWORD WINAPI GetLastError(void)
{
    return kstnt::t_last_error;
}

KSTNT_API void WINAPI SetLastError(DWORD dwErrCode)
{
    kstnt::t_last_error = dwErrCode;
}
}
