// nocancel.h: the loop's own socket calls, made without glibc's cancellation bookkeeping.
//
// Once the disk waiter has started, the process has two threads, and glibc then brackets every call
// that may be a cancellation point (recv, send, epoll_wait) with two atomic updates of the calling
// thread's cancellation state. The loop's thread is never cancelled, and these calls are most of what
// it does: a handoff between two clients makes five of them. The system calls are the same ones.
#pragma once

#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

[[nodiscard]] inline ssize_t RecvNoCancel(int fd, void *buffer, std::size_t size, int flags) noexcept
{
    return syscall(SYS_recvfrom, fd, buffer, size, flags, nullptr, nullptr);
}

[[nodiscard]] inline ssize_t SendNoCancel(int fd, const void *data, std::size_t size, int flags) noexcept
{
    return syscall(SYS_sendto, fd, data, size, flags, nullptr, 0);
}

[[nodiscard]] inline int EpollWaitNoCancel(int epoll, epoll_event *events, int max_events, int timeout_ms) noexcept
{
    return static_cast<int>(syscall(SYS_epoll_wait, epoll, events, max_events, timeout_ms));
}
