// services.cpp: the dispatcher's routines, from the one procedure table, and its loss handling.
//
// The routines live in sync/ and registry/, above the dispatcher in rpc/; this layer, above them all,
// hands them down (InstallServices), so no library calls into a layer above it.
#include "daemon/daemon.h"

#include "common/paths.h"
#include "common/procedures.h"
#include "registry/access.h"
#include "registry/registry.h"
#include "rpc/caller.h"
#include "rpc/services.h"
#include "sync/sync.h"
#include "trace/trace.h"

namespace {

#define KST_PROCEDURE_ROUTINE(number, id, name, argument, reply, routine, parks) RoutineOf<argument, reply, routine>(),
constexpr ServiceRoutines kRoutines = {KST_PROCEDURES(KST_PROCEDURE_ROUTINE)};
#undef KST_PROCEDURE_ROUTINE

// A lost connection: its parked calls go without a reply, then its mutexes pass on.
void OnConnectionLost(ConnectionRecord &connection) noexcept
{
    DiscardWaitersOf(connection);
    CloseUnwaitedRegistrationEvents();  // registrations' events that only this connection's calls held open
    ReleaseMutexesOwnedBy(connection);
}

// The access policy's word on a call: the object checks, then the registry's.
uint64_t *GateCall(uint32_t proc, void *args) noexcept
{
    if (uint64_t *refused = ObjectCallGate(proc, args)) return refused;
    return RegistryCallGate(proc, args);
}

}  // namespace

void InstallServices() noexcept
{
    InstallServiceRoutines(kRoutines, OnConnectionLost);
    // Without a policy file every caller may do everything and nothing is counted: no gate at all.
    if (PolicyInForce().present) InstallAccessGate(GateCall, RegistryCallDone);
}

int LoadAccessPolicy() noexcept
{
    std::string error;
    try {
        std::optional<AccessPolicy> policy = ReadPolicyFile(kAccessFile, error);
        if (!policy) {
            TraceLog(2, "daemon_main", "main", __LINE__, "access: %s: the server does not start under half a policy",
                     error.c_str());
            return kExitBadPolicy;
        }
        if (!policy->present)
            TraceLog(3, "daemon_main", "main", __LINE__, "access: no %s, every caller may do everything", kAccessFile);
        for (const std::string &note : policy->notes)
            TraceLog(3, "daemon_main", "main", __LINE__, "access: %s", note.c_str());
        InstallPolicy(std::move(*policy));
    } catch (const std::bad_alloc &) {
        TraceLog(2, "daemon_main", "main", __LINE__, "access: no memory to read %s", kAccessFile);
        return kExitBadPolicy;
    }
    return 0;
}
