// services.cpp: the dispatcher's routines, from the one procedure table, and its loss handling.
//
// The routines live in sync/ and registry/, above the dispatcher in rpc/; this layer, above them all,
// hands them down (InstallServices), so no library calls into a layer above it.
#include "daemon/daemon.h"

#include "common/procedures.h"
#include "registry/registry.h"
#include "rpc/services.h"
#include "sync/sync.h"

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

}  // namespace

void InstallServices() noexcept
{
    InstallServiceRoutines(kRoutines, OnConnectionLost);
}
