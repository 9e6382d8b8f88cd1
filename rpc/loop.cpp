// loop.cpp: the server's poll loop. Each pass polls a fresh copy of the runtime's descriptor table
// and hands the ready entries to the runtime, which accepts connections, reads and dispatches calls
// and destroys connections that ended. A lost connection's parked call is dropped without a reply
// and its mutexes handed on by the destroy notification (dispatch.cpp), while its transport still
// exists: every loss the runtime sees ends in that one place, so nothing here looks at the sockets.
//
// The loop also keeps the number of connections under a cap. At the cap the runtime does not see
// its listener; the loop accepts each new connection itself and closes it at once, with a trace
// line, so a client learns straight away that there is no room instead of waiting unanswered.
#include "rpc/loop.h"

#include "common/scoped.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <new>

#include "daemon/daemon.h"
#include "rpc/dispatch.h"
#include "sync/sync.h"
#include "trace/trace.h"

namespace {

constexpr int kOwnEntries = 2;            // poll entries after the runtime's: termination signal, listener at the cap
constexpr int kRefusalsPerPass = 64;      // a flood of connections can't keep the loop from the clients it has

int g_listener = -1;                      // descriptor that accepts connections
int g_max_connections = 0;                // at this many, new connections are refused

// Accepts the connections waiting on the listener and closes them at once.
void RefuseConnections(int connections)
{
    for (int i = 0; i < kRefusalsPerPass; ++i) {
        const int fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // none left (the listener does not block), or no descriptor to take one
        close(fd);
        TraceLog(1, "ntsys_svc", "svc_run", __LINE__, "%d connections, the most served: new connection closed\n",
                 connections);
    }
}

}  // namespace

void WatchListener(int fd, int max_connections) noexcept
{
    g_listener = fd;
    g_max_connections = max_connections;
    // Refusing drains the listener; the runtime, when it accepts, takes one connection per pass and
    // treats a listener with none waiting as idle.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void init_hook() noexcept { sock2client.fill(nullptr); }

void ReleaseMutexesOwnedBy(uint64_t connection) noexcept
{
    if (connection == 0) return;
    // A release never removes an object, so the walk may go on from the released one.
    for (ObjectRecord *obj = P_EVENT_HEAD; obj; obj = obj->next) {
        if (obj->type != ObjectType::Mutex || obj->mutex.owner != connection) continue;
        ScopedMode any_owner(IsCheckOwnerBeforeReleaseMutex, 0u);
        ReleaseMutex(reinterpret_cast<uint64_t>(obj));
    }
    SetLastError(0);
}

void svc_run()
{
    init_hook();
    std::unique_ptr<pollfd[]> fds;  // kept from pass to pass; grows with the runtime's table
    int capacity = 0;
    for (;;) {
        if (svc_max_pollfd == 0 && svc_pollfd == nullptr) return;
        // The runtime adds and removes connections while it processes a pass: copy afresh.
        const int watched = svc_max_pollfd;
        if (watched + kOwnEntries > capacity) {
            capacity = (watched + kOwnEntries) * 2;
            fds.reset(new (std::nothrow) pollfd[static_cast<std::size_t>(capacity)]);
            if (!fds) return;
        }
        int connections = 0;
        for (int i = 0; i < watched; ++i) {
            fds[i] = {svc_pollfd[i].fd, svc_pollfd[i].events, 0};
            if (fds[i].fd != -1 && fds[i].fd != g_listener) ++connections;
        }
        // At the cap the listener moves to an entry of our own. The runtime skips an entry of -1 just
        // like an empty one, and is told only about the ready entries of its own table below.
        const bool full = connections >= g_max_connections;
        if (full)
            for (int i = 0; i < watched; ++i)
                if (fds[i].fd == g_listener) fds[i].fd = -1;
        fds[watched] = {TermSignalDescriptor(), POLLIN, 0};
        fds[watched + 1] = {full ? g_listener : -1, POLLIN, 0};

        const int ready = poll(fds.get(), static_cast<nfds_t>(watched + kOwnEntries), -1);
        if (ready == -1) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[watched].revents != 0) ServerTerminate(SIGTERM);  // between requests, never inside one
        if (fds[watched + 1].revents != 0) RefuseConnections(connections);

        // The runtime walks its table until it has found as many ready entries as it is told, so it
        // must be told exactly the ready entries within its table.
        int runtime_ready = 0;
        for (int i = 0; i < watched; ++i)
            if (fds[i].fd != -1 && fds[i].revents != 0) ++runtime_ready;
        if (runtime_ready == 0) continue;
        // The runtime takes a read of 0 bytes for a closed connection only when errno is not EAGAIN;
        // a stale EAGAIN from an earlier call would keep a closed connection polled for ever.
        errno = 0;
        svc_getreq_poll(fds.get(), runtime_ready);
    }
}
