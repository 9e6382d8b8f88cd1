// loop.cpp: the server's poll loop. Before the runtime reads a pass's events, svc_hook peeks at
// every ready connection; one found closed loses its parked call without a reply and hands
// on every mutex it owns, while its transport (which both are tied to) still exists.
//
// Connections the runtime destroys on its own are caught by the destroy notification in
// dispatch.cpp, which does the same clean-up; both paths find nothing the second time.
#include "rpc/loop.h"

#include "common/scoped.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <memory>
#include <new>

#include "daemon/daemon.h"
#include "rpc/control.h"
#include "rpc/dispatch.h"
#include "sync/sync.h"

namespace {

std::array<char, 1000> recvbuf;  // peeked bytes land here; never read
int g_listener = -1;              // descriptor that accepts connections
int g_max_connections = 0;        // above this many, new connections wait in the backlog

// Drops the call a lost connection has parked, without writing to it.
void DropParkedCall(SocketSlot *slot)
{
    WaiterRecord *waiter = slot->waiter;
    if (waiter->pending)
        DeleteClientFromAllEvent(waiter);
    else
        DeleteClientFromEvent(waiter, reinterpret_cast<ObjectRecord *>(slot->object));
    ScopedMode silent(IsSendReply, 0);
    DeleteClient(nullptr, waiter);
}

}  // namespace

void WatchListener(int fd, int max_connections) noexcept
{
    g_listener = fd;
    g_max_connections = max_connections;
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

void ReleaseMutexBySocket(int fd) noexcept { ReleaseMutexesOwnedBy(ConnectionOnSocket(fd)); }

void svc_hook(pollfd *fds, int count) noexcept
{
    int found = 0;
    for (int i = 0; i < svc_max_pollfd && found < count; ++i) {
        const pollfd &entry = fds[i];
        if (entry.fd == -1 || entry.revents == 0) continue;
        ++found;
        if (entry.fd >= kSocketSlots) continue;  // no slot; the destroy notification cleans up
        // Never block here: a ready descriptor may have nothing to read (an urgent byte).
        const ssize_t got = recv(entry.fd, recvbuf.data(), recvbuf.size(), MSG_PEEK | MSG_DONTWAIT);
        if (got > 0 || (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))) continue;
        if (SocketSlot *slot = sock2client[entry.fd]) DropParkedCall(slot);
        ReleaseMutexBySocket(entry.fd);
    }
}

void svc_run()
{
    init_hook();
    for (;;) {
        if (svc_max_pollfd == 0 && svc_pollfd == nullptr) return;
        // The runtime adds and removes connections while it processes a pass: copy afresh.
        const int watched = svc_max_pollfd;
        std::unique_ptr<pollfd[]> fds(new (std::nothrow) pollfd[watched + 2]);
        if (!fds) return;
        int connections = 0;
        for (int i = 0; i < watched; ++i) {
            fds[i] = {svc_pollfd[i].fd, svc_pollfd[i].events, 0};
            if (fds[i].fd != -1 && fds[i].fd != g_listener) ++connections;
        }
        if (connections >= g_max_connections)
            for (int i = 0; i < watched; ++i)
                if (fds[i].fd == g_listener) fds[i].events = 0;
        // One slot past the runtime's table for the termination signal.
        fds[watched] = {TermSignalDescriptor(), POLLIN, 0};
        // And one for the control socket, which the runtime never sees (poll skips it when it is -1).
        fds[watched + 1] = {ControlDescriptor(), POLLIN, 0};

        const int ready = poll(fds.get(), static_cast<nfds_t>(watched) + 2, -1);
        if (ready == -1) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) continue;
        if (fds[watched].revents != 0) ServerTerminate(SIGTERM);  // between requests, never inside one
        // The runtime walks its own entries until it has found as many ready ones as it is told.
        int runtime_ready = 0;
        for (int i = 0; i < watched; ++i)
            if (fds[i].fd != -1 && fds[i].revents != 0) ++runtime_ready;
        svc_hook(fds.get(), runtime_ready);
        svc_getreq_poll(fds.get(), runtime_ready);
        if (fds[watched + 1].revents != 0) ServeControl();
    }
}
