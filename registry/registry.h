// registry.h: what the rest of the server needs from the registry: loading, unloading, the roots.
#pragma once

#include "common/paths.h"

// Points the LOCAL_MACHINE root at its directory; called before LoadRegistry.
void SetLocalMachineRoot(const char *directory) noexcept;
// Reads both key trees from disk into memory.
void LoadRegistry() noexcept;
// Frees every key below the two roots; the disk is untouched.
void UnLoadRegistry() noexcept;
