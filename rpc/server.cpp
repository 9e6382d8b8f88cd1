// server.cpp: turns the daemonised process into the RPC server: port configuration, transport,
// registration at the portmapper, ready file, then the poll loop.
#include "rpc/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/unique.h"
#include "rpc/destroy_hook.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"
#include "trace/trace.h"

int32_t sockfd = -1;

namespace {

ServingHooks g_hooks{};  // what runs once the transport listens and when serving ends

// As many descriptors as the hard limit allows, up to kDescriptorLimit; lowered if set higher,
// since the runtime and our connection table keep one entry per descriptor.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = kDescriptorLimit;
    limit.rlim_cur = limit.rlim_max < wanted ? limit.rlim_max : wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
}

constexpr int kServerNice = -10;         // the server's scheduling priority
bool          g_session_raised = false;  // the server leads its session and gave its group kServerNice

// Sets the nice of the scheduling group of the process's session (autogroup); false when the kernel
// groups no sessions or refuses.
bool SetSessionNice(int nice) noexcept
{
    const UniqueFd group(open("/proc/self/autogroup", O_WRONLY | O_CLOEXEC));
    if (!group) return false;
    char      text[16];
    const int length = std::snprintf(text, sizeof text, "%d", nice);
    return write(group.get(), text, static_cast<std::size_t>(length)) == length;
}

// Gives the server's priority to the group the kernel schedules its session as. Where sessions are
// grouped (autogroup), a process's nice weighs only against the rest of its session, and the server,
// alone in the session it made by detaching, would get no more than any other session, its clients'
// included: its priority would mean nothing. Only a session the server leads is its own to change;
// under systemd the service's session is its parent's, and left as it is.
void PrioritizeOwnSession() noexcept
{
    if (getsid(0) == getpid()) g_session_raised = SetSessionNice(kServerNice);
}

// Three fifths of the descriptor table: the rest is for files, the trace and the portmapper, and it
// stays clear of four fifths, where the runtime would start closing idle connections on its own
// were it accepting them.
int ConnectionLimit(int descriptors)
{
    return descriptors / 5 * 3;
}

// Binds a socket of our own to the configured loopback port; the transport on it, or nullptr.
SVCXPRT *CreateConfiguredTransport(uint32_t port)
{
    sockfd = socket(AF_INET, SOCK_STREAM, 0);
    if (sockfd < 0) {
        sockfd = -1;
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "Socket error.");
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The runtime only listens on sockets it bound itself, so a socket bound here must be put
    // into listening state here too.
    if (bind(sockfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(sockfd, SOMAXCONN) != 0) {
        std::array<char, 512> reason{};
        const char           *text = strerror_r(errno, reason.data(), reason.size());
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "Binding failed, the reason is : %s", text);
        close(sockfd);
        sockfd = -1;
        return nullptr;
    }
    TraceLog(0, "ntsys_svc", "NTSYS_Server", __LINE__, "Binding success.");
    return svctcp_create(sockfd, 0, 0);
}

// Lets the runtime bind a socket of its own on all addresses at a port the system chooses.
SVCXPRT *CreateFallbackTransport()
{
    if (seteuid(1) == -1) TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "seteuid return with -1");
    SVCXPRT *transport = svctcp_create(RPC_ANYSOCK, 0, 0);
    if (seteuid(0) == -1) TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "seteuid return with -1");
    return transport;
}

}  // namespace

char *stripstring(char *text) noexcept
{
    if (!text || !*text) return nullptr;
    char *first = text;
    while (*first == ' ' || *first == '\t')
        ++first;
    char *end = text + strlen(text);
    while (end > first && (end[-1] == ' ' || end[-1] == '\t'))
        *--end = '\0';
    return first;
}

int IsDecimal(const char *text) noexcept
{
    TraceLog(0, "ntsys_svc", "IsDecimal", __LINE__, ">");
    int result = 0;
    if (text) {
        if (*text == '-') ++text;
        result = *text != '\0' ? 1 : 0;
        for (; *text; ++text)
            if (!isdigit(static_cast<unsigned char>(*text))) result = 0;
    }
    TraceLog(0, "ntsys_svc", "IsDecimal", __LINE__, "<");
    return result;
}

int GetRpcPortNumber(uint32_t *port) noexcept
{
    UniqueFile file(fopen(kPropertyFile, "r"));
    if (!file) {
        TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "property.inf is not exist.");
        return -1;
    }
    while (!feof(file.get())) {
        std::array<char, 512> line{};
        std::array<char, 512> key{};
        std::array<char, 512> value{};
        if (!fgets(line.data(), static_cast<int>(line.size()), file.get())) {
            TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "fgets error.");
            file.reset();
            TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "Invalid PORT formation.");
            return -1;
        }
        if (sscanf(line.data(), "%511[^=]=%511[^\r\n]", key.data(), value.data()) != 2) continue;
        const char *item = stripstring(key.data());
        const char *setting = stripstring(value.data());
        if (!item || !setting || *item == '\0') continue;
        TraceLog(0, "ntsys_svc", "GetRpcPortNumber", __LINE__, "pitem:%s,pvalue:%s\n", item, setting);
        if (strcmp(item, "SRVPORT") != 0) {
            TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "SRVPORT match failed!");
            continue;
        }
        file.reset();  // the first SRVPORT line decides
        if (*setting == '\0') {
            TraceLog(0, "ntsys_svc", "GetRpcPortNumber", __LINE__, "in property.inf, port number is NULL.");
            TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "Invalid PORT formation.");
            return -1;
        }
        if (IsDecimal(setting)) {
            const auto number = static_cast<int32_t>(strtol(setting, nullptr, 10));
            if (number >= 32768 && number <= 61000) {
                *port = static_cast<uint32_t>(number);
                TraceLog(0, "ntsys_svc", "GetRpcPortNumber", __LINE__,
                         "Read port number from property.inf success. SRVPORT is : %d ", number);
                return 0;
            }
            TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "Invalid PORT formation.");
            return -1;
        }
        if (strcmp(setting, "ANY") == 0) {
            TraceLog(0, "ntsys_svc", "GetRpcPortNumber", __LINE__, "the port number is automatically alloced by OS.");
            return -1;
        }
        TraceLog(0, "ntsys_svc", "GetRpcPortNumber", __LINE__, "Invalid PORT formation. the value is: %s", setting);
        return -1;
    }
    file.reset();
    TraceLog(1, "ntsys_svc", "GetRpcPortNumber", __LINE__, "Invalid PORT formation.");
    return -1;
}

int PrepareRuntime() noexcept
{
    // The runtime sizes its tables from the limit once, on first use; raise it before that.
    RaiseDescriptorLimit();
    // The loop accepts connections itself (stream.cpp); should the runtime ever accept one, it too
    // assembles records without blocking. It applies to listeners created later.
    int maxrec = kMaxRecord;
    rpc_control(RPC_SVC_CONNMAXREC_SET, &maxrec);
    if (!DestroyNotificationWorks()) {
        TraceLog(2, "ntsys_svc", __func__, __LINE__,
                 "the RPC runtime does not report destroyed connections; refusing to serve\n");
        return kExitRuntimeUnfit;
    }
    return 0;
}

void NTSYS_Server() noexcept
{
    // A write to a connection the peer has closed must fail, not end the process.
    sigset_t set;
    if (sigemptyset(&set) != 0) TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "sigemptyset fail");
    if (sigaddset(&set, SIGPIPE) != 0) TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "sigaddset FAIL");
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "sigprocmask FAIL");
    if (setpriority(PRIO_PROCESS, 0, kServerNice) != 0)
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "setpriority FAIL");
    PrioritizeOwnSession();

    if (pmap_unset(WINNT_SYS, EVENT_VER) == 0)
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "pmap_unset return with 0");

    uint32_t port = 0;
    SVCXPRT *transport = nullptr;
    bool     bound = false;
    if (GetRpcPortNumber(&port) == 0) {
        transport = CreateConfiguredTransport(port);
        bound = sockfd != -1;
    } else {
        TraceLog(0, "ntsys_svc", "NTSYS_Server", __LINE__, "GetRpcPortNumber failed.");
    }
    if (!bound) transport = CreateFallbackTransport();

    if (prctl(PR_SET_DUMPABLE, 1) == -1) TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "prctl return with -1");
    if (!transport) {
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "cannot create tcp service.");
        return;
    }
    if (!svc_register(transport, WINNT_SYS, EVENT_VER, winnt_sys_1, IPPROTO_TCP)) {
        TraceLog(1, "ntsys_svc", "NTSYS_Server", __LINE__, "unable to register (WINNT_SYS, EVENT_VER, tcp).");
        return;
    }
    if (g_hooks.listening) g_hooks.listening(transport->xp_fd);  // before the ready file: a ready server has it
    {
        UniqueFile ready(fopen(kReadyFile, "w"));
        if (!ready) {
            TraceLog(2, "ntsys_svc", "NTSYS_Server", __LINE__, "Unable open KSTntserver.ready file\n");
            if (g_hooks.stopped) g_hooks.stopped();
            return;
        }
        fprintf(ready.get(), "%d", getpid());
    }
    WatchListener(transport->xp_fd, ConnectionLimit(_rpc_dtablesize()));
    svc_run();
    if (g_hooks.stopped) g_hooks.stopped();
}

void YieldSessionPriority(bool yield) noexcept
{
    if (g_session_raised) (void)SetSessionNice(yield ? 0 : kServerNice);
}

void SetServingHooks(ServingHooks hooks) noexcept
{
    g_hooks = hooks;
}
