// kstpingpong.cpp: the physical floor of the parked-wait handoff: a bare epoll server holding two auto-reset
// events, with no RPC. A message is 8 bytes, an operation and an event number (two 32-bit words, host
// order): 1 waits for the event, 2 sets it; each is answered with 8 bytes, the event number for a wait and
// 0 for a set. A wait on an event that is not set parks its connection until a set answers it, before the
// set's own reply, as the daemon answers a parked wait. Per reply it makes one epoll_wait at most, one read
// and one send, so the handoff costs against it what the kernel's wake-ups and loopback alone cost.
//
//   kstpingpong <port>    listens on 127.0.0.1:<port> until killed
#include "common/unique.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kWait = 1;
constexpr uint32_t kSet = 2;

struct Event {
    bool set = false;  // signalled, not yet taken by a wait
    int  waiter = -1;  // the connection parked on it; -1 for none (the benchmark parks one at a time)
};

bool Reply(int fd, uint32_t word)
{
    const std::array<uint32_t, 2> reply = {word, 0};
    return send(fd, reply.data(), sizeof reply, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof reply);
}

// One message of a connection; false when the connection must end.
bool Handle(int fd, const uint32_t (&message)[2], std::array<Event, 2> &events)
{
    if (message[1] >= events.size()) return false;
    Event &event = events[message[1]];
    if (message[0] == kWait) {
        if (!event.set) {
            event.waiter = fd;
            return true;
        }
        event.set = false;
        return Reply(fd, message[1]);
    }
    if (message[0] != kSet) return false;
    if (event.waiter != -1)
        Reply(event.waiter, message[1]);  // a waiter that has gone is not the setter's failure
    else
        event.set = true;
    event.waiter = -1;
    return Reply(fd, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    const long  port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    UniqueFd    listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    UniqueFd    epoll(epoll_create1(EPOLL_CLOEXEC));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = listener.get();
    if (port <= 0 || port > 65535 || !listener || !epoll ||
        bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener.get(), 128) != 0 || epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener.get(), &watch) != 0) {
        std::fprintf(stderr, "usage: kstpingpong <port>; cannot listen on 127.0.0.1:%ld: %s\n", port, strerror(errno));
        return 2;
    }
    std::array<Event, 2>        events{};
    std::array<epoll_event, 64> ready{};
    for (;;) {
        const int n = epoll_wait(epoll.get(), ready.data(), static_cast<int>(ready.size()), -1);
        if (n < 0 && errno != EINTR) return 1;
        for (int i = 0; i < n; ++i) {
            const int fd = ready[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener.get()) {
                for (int c; (c = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    watch.data.fd = c;
                    epoll_ctl(epoll.get(), EPOLL_CTL_ADD, c, &watch);
                }
                continue;
            }
            uint32_t message[2];
            if (recv(fd, message, sizeof message, MSG_WAITALL) != static_cast<ssize_t>(sizeof message) ||
                !Handle(fd, message, events)) {
                for (Event &event : events)
                    if (event.waiter == fd) event.waiter = -1;
                close(fd);  // leaves the epoll set by itself
            }
        }
    }
}
