// trace.h: the trace library's two calls; every diagnostic of the server goes through them.
#pragma once

// Levels: 0 routine per-call tracing, 1 errors survived, 2 start-up failures, 3 lifecycle notices.
void TraceLogInit(int reserved1, const char *ident, int reserved2, int reserved3, int reserved4) noexcept;

// One message. The format is always ours; client text travels only as an argument.
void TraceLog(int level, const char *unit, const char *function, int line, const char *format, ...) noexcept
    __attribute__((format(printf, 5, 6)));

// True for the descriptors the trace library keeps open (its file, its syslog socket); detaching leaves them.
[[nodiscard]] bool TraceOwnsDescriptor(int fd) noexcept;
