// destroy_hook.h: hears from the RPC runtime before it frees a connection's transport.
//
// The runtime has no notification for a destroyed connection, and it reuses descriptors and
// transport addresses at once. What it does have: every connection transport points to one shared
// operations table, and the runtime frees a connection only through that table's destroy
// operation. A hooked transport gets a copy of the table whose destroy operation tells the
// listener first, while the transport is still valid. That is a contract with the runtime's
// internals, so start-up checks that it still holds (DestroyNotificationWorks).
#pragma once

#include <rpc/rpc.h>

using TransportListener = void (*)(SVCXPRT *transport) noexcept;

// Who hears of destroyed hooked transports; nobody until set.
void SetDestroyListener(TransportListener listener) noexcept;

// Gives a connection transport the hooked table. True when it has it (now or from before); false when
// its operations are not the runtime's connection table, so its end would go unheard.
[[nodiscard]] bool HookTransportDestroy(SVCXPRT *transport) noexcept;

// Takes transports with this table for hooked too: a copy of the hooked table that replaces more of the
// runtime's operations and still ends in the hooked destroy operation.
void RecogniseHookedTable(const struct __rpc_svcxprt::xp_ops *table) noexcept;

// Makes the runtime destroy a connection of our own whose peer has closed, the way it destroys a
// client's, and reports whether the hook heard of it before the transport was freed.
[[nodiscard]] bool DestroyNotificationWorks() noexcept;
