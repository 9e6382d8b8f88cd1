// destroy_hook_test.cpp: the contract with the RPC runtime's internals that tells the server of
// destroyed connections, checked against the runtime installed here.
#include "rpc/destroy_hook.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

SVCXPRT *g_heard = nullptr;  // the transport the listener was last told of
int      g_heard_fd = -1;    // its descriptor, read while the listener ran
int      g_calls = 0;        // how often the listener ran

void Listen(SVCXPRT *transport) noexcept
{
    g_heard = transport;
    g_heard_fd = transport->xp_fd;  // a transport already freed would show under ASan here
    ++g_calls;
}

// One pass of the runtime over its table with only fd ready, as the poll loop hands it over.
void RuntimePass(int fd)
{
    std::vector<pollfd> fds;
    for (int i = 0; i < svc_max_pollfd; ++i)
        fds.push_back(
            {svc_pollfd[i].fd, svc_pollfd[i].events, static_cast<short>(svc_pollfd[i].fd == fd ? POLLIN : 0)});
    svc_getreq_poll(fds.data(), 1);
}

// Catches a hook that does not chain to the runtime's destroy, tells nobody, tells after the transport
// is freed or twice, and a table of other operations taken for the runtime's connection table.
TEST(DestroyHook, TheRuntimeReportsEachConnectionItDestroysOnceWhileItIsValid)
{
    EXPECT_TRUE(DestroyNotificationWorks());  // the start-up check; it also learns the runtime's table

    SetDestroyListener(Listen);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    SVCXPRT *connection = svc_fd_create(ends[0], 0, 0);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(HookTransportDestroy(connection));
    EXPECT_TRUE(HookTransportDestroy(connection));  // hooking again changes nothing
    EXPECT_EQ(g_calls, 0);

    close(ends[1]);
    RuntimePass(ends[0]);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_heard, connection);
    EXPECT_EQ(g_heard_fd, ends[0]);
    EXPECT_EQ(fcntl(ends[0], F_GETFD), -1) << "the runtime closes the connection after telling us";

    SVCXPRT                            other{};
    const struct __rpc_svcxprt::xp_ops not_the_runtimes {
    };
    other.xp_ops = &not_the_runtimes;
    EXPECT_FALSE(HookTransportDestroy(&other));
    EXPECT_EQ(other.xp_ops, &not_the_runtimes);
    SetDestroyListener(nullptr);
}

}  // namespace
