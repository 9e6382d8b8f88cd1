// loop.cpp: the server's poll loop. It waits on every descriptor the runtime watches and hands
// each ready connection to the record stream (stream.cpp), which reads and dispatches its calls
// (through the runtime for any but the plain ones) and destroys connections that ended. A lost connection's parked call
// is dropped without a reply and its mutexes handed on by the destroy notification (dispatch.cpp), while its transport
// still exists: every loss the runtime sees ends in that one place, so nothing here reads the sockets.
//
// The wait is an epoll set that mirrors the runtime's table (svc_pollfd), so a pass costs the
// same with ten thousand idle connections as with one. The table changes in two places: a
// connection accepted here (stream.cpp) is added, and one the runtime destroys while handling that
// connection's own input is removed. So the mirror is compared whole after each accept, which
// comes last in a pass, and slot by slot after each connection's turn, which also keeps the number
// of connections. Closed descriptors leave the epoll set by themselves.
//
// A connection with replies its socket could not take at once (stream.cpp) is watched for room as
// well; its turn writes them before it reads, and the loop never waits for a socket to take them.
//
// At the cap a new connection is accepted and closed at once, with a trace line, so a client
// learns straight away that there is no room instead of waiting unanswered.
#include "rpc/loop.h"

#include "common/scoped.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <utility>
#include <vector>

#include "rpc/dispatch.h"
#include "rpc/nocancel.h"
#include "rpc/stream.h"
#include "trace/trace.h"

std::array<SocketSlot, kSocketSlots> sock2client{};

namespace {

constexpr int kEventsPerPass = 256;   // ready descriptors taken per wait; the rest come next pass
constexpr int kRefusalsPerPass = 64;  // a flood of connections can't keep the loop from the clients it has
constexpr int kAcceptsPerPass = 16;   // nor can a crowd of new ones

int              g_listener = -1;        // descriptor that accepts connections
int              g_max_connections = 0;  // at this many, new connections are refused
int              g_connections = 0;      // connections in the runtime's table
int              g_epoll = -1;   // the epoll set: the runtime's descriptors, the termination pipe, the side service
std::vector<int> g_seen;         // per slot of the runtime's table, the descriptor it held at the last look
std::vector<int> g_slot_of;      // per descriptor, its slot in the runtime's table; -1 when not watched
uint64_t         g_refused = 0;  // connections closed at the cap since start
int              g_trace_timer = -1;  // fires when held trace messages have waited long enough; -1 if none
bool             g_trace_timer_armed = false;
int              g_side_fd = -1;              // a descriptor served between the runtime's pass and the accepts
void (*g_serve_side)() noexcept = nullptr;    // what serves it
bool (*g_tick)() noexcept = nullptr;          // the layers' work of a pass; true while some is left
int g_completion_fd = -1;                     // made readable by the disk waiter; -1 for none
void (*g_collect)() noexcept = nullptr;       // takes the disk waiter's finished work
int (*g_open_changes)() noexcept = nullptr;   // opens the registry's queue of change reports
void (*g_read_changes)() noexcept = nullptr;  // what reads them
int g_term_fd = -1;                           // the termination pipe's read end; -1 for none
void (*g_terminate)() noexcept = nullptr;     // the shutdown, which does not return

// Has the trace timer fire once held trace messages have waited kTraceHoldMs, unless it will already.
// Armed once for many passes: a timeout on every wait would cost each pass a kernel timer.
void ArmTraceTimer()
{
    if (g_trace_timer_armed || TraceHeldWaitMs() < 0) return;
    itimerspec when{};
    when.it_value.tv_nsec = TraceHeldWaitMs() * 1000000L;
    g_trace_timer_armed = timerfd_settime(g_trace_timer, 0, &when, nullptr) == 0;
    if (!g_trace_timer_armed) TraceSendHeld();  // no timer: nothing may wait
}

// The trace timer fired: what is held goes now.
void OnTraceTimer()
{
    uint64_t      expirations = 0;
    const ssize_t unused = read(g_trace_timer, &expirations, sizeof expirations);
    (void)unused;
    g_trace_timer_armed = false;
    TraceSendHeld();
}

// What the loop waits for on a connection; EPOLLOUT besides while it has replies its socket has not taken.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLPRI;

// Remembers that slot holds fd now, and has epoll watch it.
void Watch(int slot, int fd)
{
    g_seen[static_cast<std::size_t>(slot)] = fd;
    if (fd == -1) return;
    if (static_cast<std::size_t>(fd) >= g_slot_of.size()) g_slot_of.resize(static_cast<std::size_t>(fd) + 1, -1);
    g_slot_of[static_cast<std::size_t>(fd)] = slot;
    if (fd != g_listener) ++g_connections;
    epoll_event event{};
    event.events = kConnectionEvents;
    event.data.fd = fd;
    if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &event) != 0 && errno == EEXIST)
        epoll_ctl(g_epoll, EPOLL_CTL_MOD, fd, &event);
}

// Forgets what slot held; the runtime has closed that descriptor, which took it out of the epoll set.
void Forget(int slot)
{
    const int fd = std::exchange(g_seen[static_cast<std::size_t>(slot)], -1);
    if (fd == -1) return;
    if (g_slot_of[static_cast<std::size_t>(fd)] == slot) g_slot_of[static_cast<std::size_t>(fd)] = -1;
    if (fd != g_listener) --g_connections;
}

// Brings the mirror up to date with the whole of the runtime's table.
void Mirror()
{
    const int slots = svc_max_pollfd;
    if (static_cast<std::size_t>(slots) > g_seen.size()) g_seen.resize(static_cast<std::size_t>(slots), -1);
    for (int i = 0; i < slots; ++i)
        if (svc_pollfd[i].fd != g_seen[static_cast<std::size_t>(i)]) Forget(i);
    for (int i = 0; i < slots; ++i)
        if (svc_pollfd[i].fd != g_seen[static_cast<std::size_t>(i)]) Watch(i, svc_pollfd[i].fd);
}

// After the runtime has handled a connection's input: forgets it if the runtime destroyed it.
void NoteIfGone(int fd)
{
    if (static_cast<std::size_t>(fd) >= g_slot_of.size()) return;
    const int slot = g_slot_of[static_cast<std::size_t>(fd)];
    if (slot != -1 && (slot >= svc_max_pollfd || svc_pollfd[slot].fd != fd)) Forget(slot);
}

// Accepts the connections waiting on the listener and closes them at once.
void RefuseConnections()
{
    for (int i = 0; i < kRefusalsPerPass; ++i) {
        const int fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // none left (the listener does not block), or no descriptor to take one
        close(fd);
        ++g_refused;
        TraceLog(1, "ntsys_svc", "svc_run", __LINE__, "%d connections, the most served: new connection closed\n",
                 g_connections);
    }
}

// Hands one ready connection to the runtime, which reads its calls through stream.cpp. Replies
// still owed go first, so the socket has room for the new calls' replies; a connection lost while
// writing them is handed over too, for the runtime to end it.
void Serve(int fd, uint32_t events)
{
    bool read = (events & ~EPOLLOUT) != 0;
    if ((events & EPOLLOUT) && !WriteUnsent(fd)) read = true;
    if (read) ServeConnection(fd);
}

}  // namespace

void WatchListener(int fd, int max_connections) noexcept
{
    g_listener = fd;
    g_max_connections = max_connections;
    // Accepting and refusing drain the listener without ever waiting on it.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void WatchSideService(int fd, void (*serve)() noexcept) noexcept
{
    g_side_fd = fd;
    g_serve_side = serve;
}

void WatchWritable(int fd, bool on) noexcept
{
    epoll_event event{};
    event.events = kConnectionEvents | (on ? uint32_t{EPOLLOUT} : 0u);
    event.data.fd = fd;
    if (g_epoll != -1) epoll_ctl(g_epoll, EPOLL_CTL_MOD, fd, &event);
}

void WatchCompletions(int fd, void (*collect)() noexcept) noexcept
{
    g_completion_fd = fd;
    g_collect = collect;
    // Watched from svc_run's start; a descriptor handed over later joins the set at once.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (g_epoll != -1 && fd != -1) epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &event);
}

void SetTerminationWatch(int fd, void (*terminate)() noexcept) noexcept
{
    g_term_fd = fd;
    g_terminate = terminate;
}

void SetChangeWatch(int (*open)() noexcept, void (*read)() noexcept) noexcept
{
    g_open_changes = open;
    g_read_changes = read;
}

void SetLoopTick(bool (*tick)() noexcept) noexcept
{
    g_tick = tick;
}

int ConnectionCap() noexcept
{
    return g_max_connections;
}

uint64_t RefusedConnections() noexcept
{
    return g_refused;
}

void init_hook() noexcept
{
    sock2client.fill(SocketSlot{});
}

void svc_run()
{
    init_hook();
    g_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (g_epoll == -1) return;
    epoll_event term{};
    term.events = EPOLLIN;
    term.data.fd = g_term_fd;
    if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, term.data.fd, &term) != 0) return;
    // The side service (the control socket's own epoll set): one descriptor for all its clients.
    epoll_event side{};
    side.events = EPOLLIN;
    side.data.fd = g_side_fd;
    if (side.data.fd != -1) epoll_ctl(g_epoll, EPOLL_CTL_ADD, side.data.fd, &side);
    epoll_event completions{};
    completions.events = EPOLLIN;
    completions.data.fd = g_completion_fd;
    if (g_completion_fd != -1) epoll_ctl(g_epoll, EPOLL_CTL_ADD, g_completion_fd, &completions);
    epoll_event changes{};
    changes.events = EPOLLIN;
    changes.data.fd = g_open_changes ? g_open_changes() : -1;
    if (changes.data.fd != -1) epoll_ctl(g_epoll, EPOLL_CTL_ADD, changes.data.fd, &changes);
    // Without the timer, trace messages are sent at the end of each pass.
    g_trace_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event trace_timer{};
    trace_timer.events = EPOLLIN;
    trace_timer.data.fd = g_trace_timer;
    if (g_trace_timer != -1 && epoll_ctl(g_epoll, EPOLL_CTL_ADD, g_trace_timer, &trace_timer) != 0) {
        close(g_trace_timer);
        g_trace_timer = -1;
    }
    Mirror();
    std::array<epoll_event, kEventsPerPass> events{};
    bool ticking = true;  // the last tick left work for the next pass; start-up may have left some
    for (;;) {
        if (svc_max_pollfd == 0 && svc_pollfd == nullptr) return;
        ArmTraceTimer();
        const int ready = EpollWaitNoCancel(g_epoll, events.data(), kEventsPerPass, ticking ? 0 : -1);
        if (ready == 0) TraceSendHeld();  // idle: held trace messages wait no longer
        if (ready == -1) {
            if (errno == EINTR) continue;
            return;
        }
        bool listener_ready = false, side_ready = false, changes_ready = false;
        for (int i = 0; i < ready; ++i)
            if (events[static_cast<std::size_t>(i)].data.fd == term.data.fd)
                g_terminate();  // between requests, never inside one
        // Trace messages leave together, after the replies of this pass and maybe of a few more.
        const TraceBatch batch(g_trace_timer != -1);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == g_listener) {
                listener_ready = true;
                continue;
            }
            if (fd == side.data.fd) {
                side_ready = true;
                continue;
            }
            if (fd == changes.data.fd) {
                changes_ready = true;
                continue;
            }
            if (fd == g_trace_timer) {
                OnTraceTimer();
                continue;
            }
            if (fd == g_completion_fd) {
                g_collect();
                continue;
            }
            Serve(fd, events[static_cast<std::size_t>(i)].events);
            NoteIfGone(fd);
        }
        // A disconnect only shuts a connection down; the runtime loses it when its turn comes.
        if (side_ready) g_serve_side();
        if (changes_ready) g_read_changes();
        ticking = g_tick && g_tick();
        // Last, so that every connection destroyed in this pass is forgotten before a new one may
        // take its descriptor and slot.
        if (!listener_ready) continue;
        for (int accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
            if (g_connections >= g_max_connections) {
                RefuseConnections();
                break;
            }
            if (!AcceptConnection(g_listener)) break;
            Mirror();
        }
    }
}
