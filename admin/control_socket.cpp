// control_socket.cpp: the control socket: accepting, the peer's credentials, request lines and answers.
//
// The listener and the clients sit in an epoll set of their own, so the poll loop watches one descriptor
// for all of them and the RPC runtime never sees any of them.
//
// Nothing here may hold up the poll loop: every socket is nonblocking, a request line is bounded, and
// answers wait in a per-client buffer until the client reads them. A client that asks again while more
// than kOutputLimit bytes of answers are unread is dropped, so no client can make the server hold more
// than that and one answer, and none can make it wait.
#include "admin/control.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <new>

#include "common/unique.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"
#include "trace/trace.h"

namespace {

constexpr std::size_t kMaxRequest = 256;       // a request line, its newline included
constexpr std::size_t kOutputLimit = 4 << 20;  // unread answer bytes beyond which a new request drops the client
constexpr std::size_t kCompactAt = 64 << 10;   // written bytes kept at the front of a buffer at most
constexpr std::size_t kReadPerPass = 4096;     // input taken from one client in one pass
constexpr int         kAcceptsPerPass = 16;    // connections accepted in one pass

struct ControlClient {
    UniqueFd                      fd;        // the client's socket; not open while the slot is free
    std::array<char, kMaxRequest> request;   // the line being received
    std::size_t                   received;  // bytes of it so far
    std::string                   output;    // answers; bytes from `sent` on are not yet written
    std::size_t                   sent;      // bytes of output the kernel has taken
    bool                          closing;   // no more requests: closed once the output is written
    uint32_t                      watched;   // the epoll events registered for it
};

struct ControlState {
    UniqueFd                                   epoll;              // the listener and the clients; what the loop polls
    UniqueFd                                   listener;           // the bound socket; not open without one
    int                                        rpc_listener = -1;  // the RPC transport's listening descriptor
    uint64_t                                   started_ms = 0;     // when the socket opened
    std::array<ControlClient, kControlClients> clients{};          // slots in use have an open fd
    uint64_t                                   refused = 0;        // control connections refused
    uint64_t                                   dropped = 0;        // clients dropped for not reading
};

ControlState g_control;

void Drop(ControlClient &client)
{
    client.fd.reset();  // closing takes it out of the epoll set
    client.received = 0;
    std::string().swap(client.output);  // gives the memory back
    client.sent = 0;
    client.closing = false;
}

// Writes what the kernel takes now. Drops the client on a write error, and once a closing client has
// everything.
void Flush(ControlClient &client)
{
    while (client.sent < client.output.size()) {
        const ssize_t n = send(client.fd.get(), client.output.data() + client.sent, client.output.size() - client.sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (client.sent >= kCompactAt) {
                client.output.erase(0, client.sent);
                client.sent = 0;
            }
            return;
        }
        if (n <= 0) {
            Drop(client);
            return;
        }
        client.sent += static_cast<std::size_t>(n);
    }
    client.output.clear();
    client.sent = 0;
    if (client.closing) Drop(client);
}

void AppendAnswer(std::string &output, bool ok, std::string_view body)
{
    output += ok ? "ok " : "error ";
    output += std::to_string(body.size());
    output += '\n';
    output += body;
}

// One request line, newline removed: "FORMAT COMMAND [ARGUMENT]".
void Answer(ControlClient &client, std::string_view line)
{
    // One answer may be as large as the server's state; asking for more while that much is unread is not.
    if (client.output.size() - client.sent > kOutputLimit) {
        ++g_control.dropped;
        Drop(client);
        return;
    }
    std::array<std::string_view, 4> words{};
    std::size_t                     count = 0;
    while (!line.empty() && count < words.size()) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const std::size_t end = std::min(line.find(' '), line.size());
        words[count++] = line.substr(0, end);
        line.remove_prefix(end);
    }
    try {
        std::string body;
        bool        ok = false;
        if (count < 2 || count > 3 || words[0] != "json") {
            body = "usage: json COMMAND [ARGUMENT]\n";
        } else {
            const ControlFacts facts{g_control.rpc_listener, g_control.started_ms, g_control.refused,
                                     g_control.dropped};
            ok = RunControlCommand(words[1], words[2], facts, body);
        }
        AppendAnswer(client.output, ok, body);
    } catch (const std::bad_alloc &) {
        Drop(client);  // the server goes on; the client learns from the closed socket
    }
}

// Takes what the client has sent and answers every complete line.
void Receive(ControlClient &client)
{
    std::array<char, kReadPerPass> buffer;
    const ssize_t                  n = recv(client.fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the client is done sending: finish writing what it asked for, then close
        client.closing = true;
        return;
    }
    for (ssize_t i = 0; i < n && client.fd && !client.closing; ++i) {
        const char c = buffer[static_cast<std::size_t>(i)];
        if (c != '\n') {
            if (client.received == client.request.size()) {
                AppendAnswer(client.output, false, "request line too long\n");
                client.closing = true;
                break;
            }
            client.request[client.received++] = c;
            continue;
        }
        std::string_view line(client.request.data(), client.received);
        if (line.ends_with('\r')) line.remove_suffix(1);
        client.received = 0;
        Answer(client, line);
    }
}

// Refuses a connection with a one-line reason; the write is a courtesy and never waits.
void Refuse(UniqueFd fd, std::string_view reason)
{
    ++g_control.refused;
    std::string answer;
    AppendAnswer(answer, false, reason);
    (void)!send(fd.get(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void Accept()
{
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        UniqueFd fd(accept4(g_control.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;  // nothing more waiting, or an error that the next pass will see again
        ucred     peer{};
        socklen_t size = sizeof peer;
        // The file mode keeps others out already; the credentials decide even if the mode was changed.
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer || peer.uid != 0) {
            Refuse(std::move(fd), "permission denied: the control socket is for root only\n");
            continue;
        }
        ControlClient *slot = nullptr;
        for (ControlClient &client : g_control.clients)
            if (!client.fd) {
                slot = &client;
                break;
            }
        if (!slot) {
            Refuse(std::move(fd), "busy: too many control connections\n");
            continue;
        }
        Drop(*slot);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd.get();
        if (epoll_ctl(g_control.epoll.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0) continue;  // closes it
        slot->fd = std::move(fd);
        slot->watched = EPOLLIN;
    }
}

// Watches for what the client's state calls for: requests until it closes, room while answers wait.
void Rewatch(ControlClient &client)
{
    uint32_t events = client.closing ? 0u : uint32_t{EPOLLIN};
    if (client.sent < client.output.size()) events |= EPOLLOUT;
    if (events == client.watched) return;
    epoll_event event{};
    event.events = events;
    event.data.fd = client.fd.get();
    if (epoll_ctl(g_control.epoll.get(), EPOLL_CTL_MOD, client.fd.get(), &event) == 0)
        client.watched = events;
    else
        Drop(client);
}

// Serves whatever is ready on the control socket. Runs after the runtime's pass, never inside it.
void ServeControl() noexcept
{
    std::array<epoll_event, kControlEntries> ready{};
    const int count = epoll_wait(g_control.epoll.get(), ready.data(), static_cast<int>(ready.size()), 0);
    bool      accept = false;
    // Clients first: a descriptor freed by a dropped client may come back from this pass's accept.
    for (int i = 0; i < count; ++i) {
        const epoll_event &event = ready[static_cast<std::size_t>(i)];
        if (event.data.fd == g_control.listener.get()) {
            accept = true;
            continue;
        }
        for (ControlClient &client : g_control.clients) {
            if (client.fd.get() != event.data.fd) continue;
            try {
                if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Receive(client);
            } catch (const std::bad_alloc &) {
                Drop(client);  // out of memory for its answers: the server goes on without this client
            }
            if (client.fd) Flush(client);
            if (client.fd) Rewatch(client);
            break;
        }
    }
    try {
        if (accept) Accept();
    } catch (const std::bad_alloc &) {
        // a refusal's message could not be built; the refused connection has been closed all the same
    }
}

}  // namespace

bool OpenControlSocket(int rpc_listener) noexcept
{
    g_control.rpc_listener = rpc_listener;
    g_control.started_ms = MonotonicMs();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    static_assert(std::char_traits<char>::length(kControlSocket) < sizeof addr.sun_path);
    std::strcpy(addr.sun_path, kControlSocket);
    // Only one server runs at a time, so a socket left at the path is a dead server's: replace it.
    struct stat st {};
    if (lstat(kControlSocket, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(kControlSocket);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // Bound with no permission for others, so there is no moment in which anyone else may connect.
    const mode_t saved = umask(0177);
    const bool   bound = fd && bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    umask(saved);
    UniqueFd    epoll(epoll_create1(EPOLL_CLOEXEC));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd.get();
    if (!bound || listen(fd.get(), kControlClients) != 0 || !epoll ||
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0) {
        std::array<char, 256> reason{};
        TraceLog(1, "ntsys_svc", "OpenControlSocket", __LINE__, "control socket %s unavailable: %s", kControlSocket,
                 strerror_r(errno, reason.data(), reason.size()));
        return false;
    }
    g_control.listener = std::move(fd);
    g_control.epoll = std::move(epoll);
    WatchSideService(g_control.epoll.get(), ServeControl);
    return true;
}

void CloseControlSocket() noexcept
{
    if (!g_control.listener) return;
    for (ControlClient &client : g_control.clients)
        Drop(client);
    WatchSideService(-1, nullptr);
    g_control.listener.reset();
    g_control.epoll.reset();
    unlink(kControlSocket);
}
