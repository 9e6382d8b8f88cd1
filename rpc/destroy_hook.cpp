// destroy_hook.cpp: the wrapped destroy operation of connection transports and its start-up check.
#include "rpc/destroy_hook.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "common/unique.h"

namespace {

using XpOps = struct __rpc_svcxprt::xp_ops;

XpOps             g_hooked_ops{};           // the runtime's connection operations with our destroy
const XpOps      *g_runtime_ops = nullptr;  // shared by every connection transport of the runtime
const XpOps      *g_extended = nullptr;     // a copy of the hooked table that replaces more operations
TransportListener g_listener = nullptr;     // told first of every hooked transport's end
const SVCXPRT    *g_probe = nullptr;        // the start-up check's own connection while it runs
bool              g_probe_heard = false;    // the check's connection was reported destroyed

// The runtime destroys a hooked connection: tell whoever holds on to it while its memory is valid.
void OnTransportDestroy(SVCXPRT *transport) noexcept
{
    if (transport == g_probe)
        g_probe_heard = true;
    else if (g_listener)
        g_listener(transport);
    g_runtime_ops->xp_destroy(transport);
}

}  // namespace

void SetDestroyListener(TransportListener listener) noexcept
{
    g_listener = listener;
}

bool HookTransportDestroy(SVCXPRT *transport) noexcept
{
    if (transport->xp_ops == &g_hooked_ops || (g_extended && transport->xp_ops == g_extended)) return true;
    if (!g_runtime_ops) {
        g_runtime_ops = transport->xp_ops;
        g_hooked_ops = *g_runtime_ops;  // keeps the receive operation the runtime recognises its kinds by
        g_hooked_ops.xp_destroy = OnTransportDestroy;
    }
    if (transport->xp_ops != g_runtime_ops) return false;
    transport->xp_ops = &g_hooked_ops;
    return true;
}

void RecogniseHookedTable(const XpOps *table) noexcept
{
    g_extended = table;
}

bool DestroyNotificationWorks() noexcept
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    UniqueFd peer(ends[1]);
    SVCXPRT *probe = svc_fd_create(ends[0], 0, 0);
    if (!probe) {
        close(ends[0]);
        return false;
    }
    const int fd = probe->xp_fd;
    g_probe = probe;
    g_probe_heard = false;
    if (!HookTransportDestroy(probe)) {
        g_probe = nullptr;
        return false;  // the transport stays with the runtime; the process is about to end anyway
    }
    peer.reset();  // the peer closes: the runtime's next read sees the end and destroys the connection

    // One pass of the runtime over its own table, with only our connection ready.
    const int                 watched = svc_max_pollfd;
    std::unique_ptr<pollfd[]> fds(new (std::nothrow) pollfd[static_cast<std::size_t>(watched)]);
    bool                      ready = false;
    for (int i = 0; fds && i < watched; ++i) {
        fds[i] = {svc_pollfd[i].fd, svc_pollfd[i].events, 0};
        if (fds[i].fd == fd) {
            fds[i].revents = POLLIN | POLLHUP;
            ready = true;
        }
    }
    errno = 0;  // with a stale EAGAIN the runtime would take the closed peer for an idle one
    if (ready) svc_getreq_poll(fds.get(), 1);
    g_probe = nullptr;  // freed by now if the runtime kept its word; never read again
    return ready && g_probe_heard;
}
