// main.cpp: entry of KSTntserver: checks that the network, the loopback interface and the
// portmapper are there, readies the RPC runtime, then detaches and serves.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "admin/control.h"
#include "common/unique.h"
#include "daemon/daemon.h"
#include "registry/flush.h"
#include "registry/removal.h"
#include "rpc/loop.h"
#include "rpc/server.h"
#include "trace/trace.h"

namespace {

constexpr int kPortmapperAttempts = 5;

// True once pidof names a running portmap or rpcbind; retried once a second.
bool FindPortmapper()
{
    for (int attempt = 1;; ++attempt) {
        UniquePipe portmap(popen("/sbin/pidof portmap", "r"));
        UniquePipe rpcbind(popen("/sbin/pidof rpcbind", "r"));
        int        pid = 0;
        if (portmap && fscanf(portmap.get(), "%d", &pid) == 1) return true;
        if (rpcbind && fscanf(rpcbind.get(), "%d", &pid) == 1) return true;
        if (attempt == kPortmapperAttempts) {
            syslog(6, "Please cofirm the portmap or rpcbind service is working!");
            return false;
        }
        portmap.reset();
        rpcbind.reset();
        sleep(1);
    }
}

// Once the RPC transport listens, before the ready file says so: the control socket opens, and the disk
// waiter starts, in the serving process (a thread does not survive the detaching fork).
void StartServing(int rpc_listener) noexcept
{
    (void)OpenControlSocket(rpc_listener);
    if (!StartDiskWaiter())
        TraceLog(2, "daemon_main", __func__, __LINE__, "the disk waiter did not start: flushes wait in the loop\n");
}

// Serving has ended: flushes still queued reach the disk and are answered before the process goes.
void StopServing() noexcept
{
    CloseControlSocket();
    StopDiskWaiter();
}

}  // namespace

int main()
{
    TraceLogInit(0, kServiceName, 0, 5, 0);
    TraceLog(3, "daemon_main", __func__, __LINE__, "Starting up...");

    NICInfo *interfaces = nullptr;
    if (GetNICInfo(&interfaces) != 0) {
        syslog(6, "Please cofirm the network is working!");
        return 5;
    }
    if (interfaces->loopback != 1) {
        syslog(6, "Please cofirm the loopback is working!");
        FreeNICInfo(&interfaces);
        return 5;
    }
    const bool portmapper = FindPortmapper();
    FreeNICInfo(&interfaces);
    if (!portmapper) return 5;
    if (const int status = LoadAccessPolicy(); status != 0) return status;
    // Before detaching, so that a runtime unfit to serve shows in the exit status of the start.
    if (const int status = PrepareRuntime(); status != 0) return status;
    InstallServices();
    SetServingHooks({StartServing, StopServing});
    SetLoopTick(RegistryTick);  // removals reaped, deleted keys freed, leaves listed: between passes, never in a call
    // Other programs' changes to watched key directories, read when the kernel reports them.
    SetChangeWatch(OpenRegistryChanges, ReadRegistryChanges);
    return daemon_start(kServiceName);
}
