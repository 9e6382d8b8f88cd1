// trace.h: the trace library's two calls; every diagnostic of the server goes through them.
#pragma once

#include <array>

// Levels: 0 routine per-call tracing, 1 errors survived, 2 start-up failures, 3 lifecycle notices.
void TraceLogInit(int reserved1, const char *ident, int reserved2, int reserved3, int reserved4) noexcept;

// One message. The format is always ours; client text travels only as an argument.
void TraceLog(int level, const char *unit, const char *function, int line, const char *format, ...) noexcept
    __attribute__((format(printf, 5, 6)));

// While one lives, syslog messages are held, formatted, and sent later, each its own datagram and in
// order: one system call (and one wake-up of the reader) for several messages instead of one each.
// Held messages go when a few are held, when a message is traced outside a batch, at exit, and at the
// end of the outermost batch: always when it was made with hold false, else once the oldest has
// waited kTraceHoldMs. With hold, the caller must call TraceSendHeld within TraceHeldWaitMs of the
// batch's end, for when no further batch comes. Messages to a trace file are written at once as always.
class [[nodiscard]] TraceBatch {
public:
    explicit TraceBatch(bool hold) noexcept;
    ~TraceBatch();
    TraceBatch(const TraceBatch &) = delete;
    TraceBatch &operator=(const TraceBatch &) = delete;

private:
    bool hold_;
};

inline constexpr int kTraceHoldMs = 1;

// How long the loop may wait before calling TraceSendHeld: -1 when no message is held.
[[nodiscard]] int TraceHeldWaitMs() noexcept;

// Sends the held messages now.
void TraceSendHeld() noexcept;

// Whether per-call lines (level 0) go to syslog; a trace file always gets them. Off unless
// KST_TRACE_CALLS=1 was in the environment at TraceLogInit.
void               TraceSetCalls(bool on) noexcept;
[[nodiscard]] bool TraceCalls() noexcept;

// True for the descriptors the trace library keeps open (its file, its syslog socket); detaching leaves them.
[[nodiscard]] bool TraceOwnsDescriptor(int fd) noexcept;
// The descriptors the trace keeps open (its file, its syslog socket), each -1 when not open.
[[nodiscard]] std::array<int, 2> TraceDescriptors() noexcept;
