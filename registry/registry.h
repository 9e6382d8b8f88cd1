// registry.h: what the rest of the server needs from the registry: loading, unloading, the roots.
#pragma once

#include "common/paths.h"

// Points the LOCAL_MACHINE root at its directory; called before LoadRegistry.
void SetLocalMachineRoot(const char *directory) noexcept;
// Reads both key trees from disk into memory.
void LoadRegistry() noexcept;
// Frees every key below the two roots; the disk is untouched.
void UnLoadRegistry() noexcept;
// The registry's share of a pass of the poll loop: starts the removal of an earlier run's leftovers once,
// reaps finished removals, frees the next keys of deleted subtrees and lists the next keys whose listing
// start-up deferred. Never waits; true while keys are left to free or list, so that the loop comes back
// at once instead of waiting for a client.
bool RegistryTick() noexcept;
// Opens the queue of the kernel's reports of other programs' changes to watched key directories, once
// serving starts (nothing is watched or kept before), and returns the descriptor that turns readable when
// one is queued (-1 for none); ReadRegistryChanges reads them. The daemon hands both to the loop.
[[nodiscard]] int OpenRegistryChanges() noexcept;
void              ReadRegistryChanges() noexcept;
// Closes the internal events of registrations whose close was refused because requests of other
// connections were parked on them, once none is; called after a lost connection's waiters are dropped.
void CloseUnwaitedRegistrationEvents() noexcept;
