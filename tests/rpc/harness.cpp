// harness.cpp: the in-process server of the rpc tier and this program's allocation seam.
#include "tests/rpc/harness.h"

#include "daemon/daemon.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"
#include "rpc/stream.h"
#include "sync/sync.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <new>
#include <vector>

namespace {

uint64_t    g_fail_countdown = 0;  // nothrow allocations until the one that fails; 0: none armed
bool        g_failed = false;      // the armed failure has happened
std::size_t g_live_bytes = 0;      // usable bytes of live operator new allocations

void *Allocate(std::size_t size) noexcept
{
    void *p = std::malloc(size != 0 ? size : 1);
    if (p) g_live_bytes += malloc_usable_size(p);
    return p;
}

void *AllocateUnlessArmed(std::size_t size) noexcept
{
    if (g_fail_countdown != 0 && --g_fail_countdown == 0) {
        g_failed = true;
        return nullptr;
    }
    return Allocate(size);
}

void Release(void *p) noexcept
{
    if (!p) return;
    g_live_bytes -= malloc_usable_size(p);
    std::free(p);
}

constexpr int kPassWaitMs = 2000;  // a pass waits this long at most for the event it was called for

int         g_listener = -1;  // the loopback socket the server accepts on
uint16_t    g_port = 0;       // its port
std::string g_trace;          // the trace file of this process

// Connections the runtime serves now, the listener aside.
int ServerConnections()
{
    int count = 0;
    for (int i = 0; i < svc_max_pollfd; ++i)
        if (svc_pollfd[i].fd != -1 && svc_pollfd[i].fd != g_listener) ++count;
    return count;
}

}  // namespace

// Replacements for the whole program: every allocation through operator new is counted, and a nothrow
// one (the server's kind) is the one the seam can fail.
void *operator new(std::size_t size)
{
    if (void *p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size)
{
    return operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return AllocateUnlessArmed(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return AllocateUnlessArmed(size);
}
void operator delete(void *p) noexcept
{
    Release(p);
}
void operator delete[](void *p) noexcept
{
    Release(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    Release(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    Release(p);
}

namespace kst::rpc {

Bytes WordReply(uint32_t xid, uint64_t word)
{
    return Encoder().U32(xid).U32(1).U32(kMsgAccepted).U32(0).U32(0).U32(kSuccess).U64(word).Take();
}

bool FailAllocation(uint64_t nth)
{
    const bool failed = g_failed;
    g_fail_countdown = nth;
    g_failed = false;
    return failed;
}

std::size_t LiveBytes()
{
    return g_live_bytes;
}

void RpcHarness::SetUpTestSuite()
{
    char      path[] = "/tmp/kst-rpc-trace.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    g_trace = path;
    setenv("KST_TRACE_FILE", path, 1);
    TraceLogInit(0, "KSTntserver", 0, 0, 0);

    g_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(bind(g_listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(g_listener, SOMAXCONN), 0);
    ASSERT_EQ(getsockname(g_listener, reinterpret_cast<sockaddr *>(&addr), &length), 0);
    g_port = ntohs(addr.sin_port);
    SVCXPRT *transport = svctcp_create(g_listener, 0, 0);
    ASSERT_NE(transport, nullptr);
    ASSERT_TRUE(svc_register(transport, WINNT_SYS, EVENT_VER, winnt_sys_1, 0));  // no portmapper
    WatchListener(g_listener, 1 << 20);
    InstallServices();
    init_hook();
}

void RpcHarness::TearDownTestSuite()
{
    unlink(g_trace.c_str());
}

void RpcHarness::TearDown()
{
    FailAllocation(0);
    for (int pass = 0; pass < 100 && ServerConnections() > 0; ++pass)
        Pump();
    EXPECT_EQ(ServerConnections(), 0) << "the server still holds connections the test has closed";
    ClearEventList();
    EXPECT_EQ(GetLastError(), 0u);
}

Connection RpcHarness::Connect()
{
    Connection c;
    EXPECT_TRUE(c.Connect(g_port)) << c.error();
    const int before = ServerConnections();
    Pump();
    EXPECT_EQ(ServerConnections(), before + 1) << "not accepted";
    return c;
}

void RpcHarness::Pump()
{
    std::vector<pollfd> fds(static_cast<std::size_t>(svc_max_pollfd) + 1, pollfd{-1, 0, 0});
    for (int i = 0; i < svc_max_pollfd; ++i)
        fds[i] = {svc_pollfd[i].fd, svc_pollfd[i].events, 0};
    int ready;
    do
        ready = poll(fds.data(), static_cast<nfds_t>(svc_max_pollfd), kPassWaitMs);
    while (ready < 0 && errno == EINTR);
    ASSERT_GT(ready, 0) << "a pass of the loop with nothing to do";
    // As the daemon's loop does it: connections first, each handed to the record stream (every loss
    // reaches the server through the destroy path), then the listener, whose connections it accepts.
    bool accept = false;
    for (const pollfd &entry : fds) {
        if (entry.fd == -1 || entry.revents == 0) continue;
        if (entry.fd == g_listener)
            accept = true;
        else
            ServeConnection(entry.fd);
    }
    while (accept && AcceptConnection(g_listener))
        ;
    EXPECT_TRUE(SyncStateIsConsistent());
}

uint32_t RpcHarness::Send(Connection &c, uint32_t proc, const Bytes &args)
{
    const uint32_t xid = c.NextXid();
    EXPECT_TRUE(c.SendCall(proc, args, xid)) << c.error();
    Pump();
    return xid;
}

uint64_t RpcHarness::Call(Connection &c, uint32_t proc, const Bytes &args)
{
    const uint32_t xid = Send(c, proc, args);
    const Bytes    record = Read(c);
    // A record of another length is no word reply: the comparison below fails for it.
    const uint64_t word = record.size() >= 8 ? Decoder(std::span(record).last(8)).U64() : ~uint64_t{0};
    EXPECT_EQ(record, WordReply(xid, word)) << "procedure " << proc;
    EXPECT_TRUE(Silent(c)) << "procedure " << proc << ": more than one reply";
    return word;
}

uint32_t RpcHarness::Park(Connection &c, uint32_t proc, const Bytes &args)
{
    const std::size_t parked = ParkedWaiters();
    const uint32_t    xid = Send(c, proc, args);
    EXPECT_TRUE(Silent(c)) << "procedure " << proc << " answered instead of parked";
    EXPECT_EQ(ParkedWaiters(), parked + 1) << "procedure " << proc << " not parked";
    return xid;
}

void RpcHarness::Drop(Connection &c)
{
    c.Close();
    Pump();
}

std::size_t RpcHarness::Traces(const std::string &function, const std::string &message, std::size_t since)
{
    std::ifstream     in(g_trace);
    std::size_t       index = 0, count = 0;
    const std::string where = " ntsys_s " + function + ":", tail = " " + message;
    for (std::string line; std::getline(in, line); ++index)
        if (index >= since && (function.empty() || (line.find(where) != std::string::npos && line.ends_with(tail))))
            ++count;
    return count;
}

}  // namespace kst::rpc
