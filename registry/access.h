// access.h: the access policy's checks on registry calls and what the registry counts against quotas.
#pragma once

#include <cstdint>

// nullptr when the call may run, else the refusal's reply (last error 13 or 14). Only consulted when a
// policy file is in force.
[[nodiscard]] uint64_t *RegistryCallGate(uint32_t proc, void *args) noexcept;
// Counts what a call that ran created or removed (reply: its reply value; nullptr when parked).
void RegistryCallDone(uint32_t proc, void *args, void *reply) noexcept;
// A key leaves the tree: what it counted against its creators' quotas goes back.
void ForgetKeyCharges(uint64_t identity) noexcept;
