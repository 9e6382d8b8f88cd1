// shutdown.cpp: SIGTERM. The handler only writes to a pipe that the poll loop watches; the
// loop then runs the shutdown between two requests, so no request is torn in half.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "admin/control.h"
#include "daemon/daemon.h"
#include "registry/flush.h"
#include "registry/registry.h"
#include "rpc/loop.h"
#include "rpc/proto.h"
#include "rpc/server.h"
#include "sync/sync.h"
#include "trace/trace.h"

namespace {

int g_term_pipe[2] = {-1, -1};  // read end watched by the poll loop, write end for the handler

void OnTerminateSignal(int) noexcept
{
    const int     saved = errno;
    const char    byte = 1;
    const ssize_t unused = write(g_term_pipe[1], &byte, 1);  // a full pipe already says it
    (void)unused;
    errno = saved;
}

}  // namespace

int InstallTermHandler() noexcept
{
    struct sigaction action {};
    action.sa_handler = OnTerminateSignal;
    action.sa_flags = 0;
    if (sigemptyset(&action.sa_mask) != 0) {
        TraceLog(2, "daemon_main", "daemon_start", __LINE__, "sigemptyset() failed!So %s exit\n", kServiceName);
        return 4;
    }
    if (sigaddset(&action.sa_mask, SIGTERM) != 0) {
        TraceLog(2, "daemon_main", "daemon_start", __LINE__, "sigaddset() failed!So %s exit\n", kServiceName);
        return 4;
    }
    if ((g_term_pipe[0] == -1 && pipe2(g_term_pipe, O_CLOEXEC | O_NONBLOCK) != 0) ||
        sigaction(SIGTERM, &action, nullptr) != 0) {
        TraceLog(2, "daemon_main", "daemon_start", __LINE__, "sigaction() failed!So %s exit\n", kServiceName);
        return 4;
    }
    SetTerminationWatch(g_term_pipe[0], []() noexcept { ServerTerminate(SIGTERM); });
    return 0;
}

void ServerTerminate(int) noexcept
{
    TraceLog(3, "ntsys_svc", "ServerTerminate", __LINE__, "Shutting down...");
    unlink(kReadyFile);
    CloseControlSocket();
    StopDiskWaiter();  // queued flushes reach the disk and are answered before anything goes
    UnLoadRegistry();
    ClearEventList();
    svc_unregister(WINNT_SYS, EVENT_VER);
    if (sockfd != -1) close(sockfd);
    exit(0);
}
