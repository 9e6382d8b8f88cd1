// live.cpp: the live-view subcommands: one request over the daemon's control socket, its answer printed.
//
// The daemon answers in one form, JSON: "ok N\n" or "error N\n" and N bytes (the protocol is
// described in admin/control.h). This side frames the request, checks the answer and prints it as
// text or JSON (live_view.cpp).
#include "tools/kstctl/live.h"

#include "common/paths.h"
#include "common/unique.h"
#include "tools/kstctl/args.h"
#include "tools/kstctl/kstctl.h"
#include "tools/kstctl/live_view.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace kstctl {
namespace {

constexpr int         kAnswerTimeoutMs = 10000;  // the daemon answers within a pass of its loop
constexpr std::size_t kMaxAnswer = 256u << 20;   // more than any daemon holds; a larger length is garbage

enum Option { kJson };
constexpr OptionSpec kOptions[] = {{nullptr, "json", false, kJson}};

struct Answer {
    bool        ok;    // "ok" rather than "error"
    std::string body;  // exactly as long as announced
};

// Reads until the answer is complete; nullopt (with the reason in error) on a close, an error or a time-out.
std::optional<Answer> ReadAnswer(int fd, std::string &error)
{
    std::string data;
    const auto  deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    for (;;) {
        if (const std::size_t eol = data.find('\n'); eol != std::string::npos) {
            const std::string head = data.substr(0, eol);
            const std::size_t space = head.find(' ');
            const std::string word = head.substr(0, space);
            const auto length = ParseNumber(space == std::string::npos ? "" : head.substr(space + 1), kMaxAnswer);
            if ((word != "ok" && word != "error") || !length) {
                error = "the control socket sent something that is not an answer";
                return std::nullopt;
            }
            if (data.size() - eol - 1 >= *length) return Answer{word == "ok", data.substr(eol + 1, *length)};
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd    entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            error = "no answer from the control socket";
            return std::nullopt;
        }
        char          buffer[65536];
        const ssize_t n = ready < 0 ? -1 : recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n == 0 ? "the daemon closed the control socket" : std::strerror(errno);
            return std::nullopt;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

// Sends one request line for command and prints the answer: its text or JSON form on stdout, or the
// daemon's error on stderr.
int Ask(std::string_view command, const std::string &request, bool json)
{
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return Fail(kExitUnavailable, "socket: %s", std::strerror(errno));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, kControlSocket, sizeof kControlSocket);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM)
            return Fail(kExitNoPermission, "%s: permission denied (root only)", kControlSocket);
        return Fail(kExitUnavailable, "%s: %s (is KSTntserver running?)", kControlSocket, std::strerror(err));
    }
    const std::string line = request + "\n";
    if (send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return Fail(kExitUnavailable, "%s: %s", kControlSocket, std::strerror(errno));
    std::string error;
    const auto  answer = ReadAnswer(fd.get(), error);
    if (!answer) return Fail(kExitUnavailable, "%s", error.c_str());
    std::string text = answer->body;
    if (!answer->ok) {
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return Fail(text.starts_with("permission denied") ? kExitNoPermission : kExitFailure, "%s", text.c_str());
    }
    const auto document = ParseJson(text);
    const auto shown = document ? RenderAnswer(command, *document, json) : std::nullopt;
    if (!shown) return Fail(kExitUnavailable, "the control socket sent an answer that kstctl cannot read");
    std::fwrite(shown->data(), 1, shown->size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// The common shape: `kstctl COMMAND [--json] [ARGUMENT]`, with `arguments` words required: connection
// numbers, or with `choices` one of those words or none.
int Run(int argc, char **argv, const char *help, const char *command, std::size_t arguments,
        std::initializer_list<std::string_view> choices = {})
{
    if (WantsHelp(argc, argv)) return PrintHelp(help);
    ParsedArgs  args;
    std::string error;
    if (!ParseArgs(argc, argv, kOptions, args, error)) return UsageError("%s", error.c_str());
    if (args.words.size() < arguments) return UsageError("missing connection");
    if (args.words.size() > arguments + (choices.size() > 0))
        return UsageError("unexpected argument '%s'", args.words.back().c_str());
    std::string request = "json ";
    request += command;
    for (const std::string &word : args.words) {
        if (choices.size() > 0) {
            if (std::find(choices.begin(), choices.end(), word) == choices.end())
                return UsageError("'%s' is neither on nor off", word.c_str());
            request += ' ' + word;
        } else {
            if (!ParseNumber(word, 0x7fffffff)) return UsageError("'%s' is not a connection number", word.c_str());
            request += ' ' + std::to_string(*ParseNumber(word, 0x7fffffff));
        }
    }
    return Ask(command, request, !args.options.empty());
}

constexpr char kStatusHelp[] =
    "Usage: kstctl status [--json]\n\n"
    "The daemon's figures: pid, uptime, RPC port, connections, objects by type, parked calls, keys\n"
    "loaded, registrations, control connections refused and dropped, and calls per procedure since\n"
    "start. Root only (control socket /run/KSTntserver.ctl).\n";
constexpr char kObjectsHelp[] =
    "Usage: kstctl objects [--json]\n\n"
    "Every event, mutex and semaphore, newest first: type, handle, open count, state (event signalled\n"
    "or clear and manual or auto reset, mutex owner connection, semaphore count/maximum), the\n"
    "connections waiting on it in the order a signal wakes them, and its name or <unnamed>.\n";
constexpr char kConnectionsHelp[] =
    "Usage: kstctl connections [--json]\n\n"
    "Every client connection: its descriptor (the CONN of kstctl disconnect), peer address, the peer\n"
    "process's pid and command when its socket can be found on this host, parked calls with their\n"
    "age, and the mutexes it owns.\n";
constexpr char kRegistrationsHelp[] =
    "Usage: kstctl registrations [--json]\n\n"
    "Every registry change registration: kind (synchronous: a parked request; event: a client's event;\n"
    "event-closed: an event closed since), the subtree flag as registered, the event, and the key.\n";
constexpr char kDisconnectHelp[] =
    "Usage: kstctl disconnect [--json] CONN\n\n"
    "Drops the client connection with descriptor CONN (see kstctl connections) as if its peer had\n"
    "closed it: its parked calls are dropped and each mutex it owns passes to its next waiter.\n"
    "Prints nothing on success.\n";
constexpr char kTraceCallsHelp[] =
    "Usage: kstctl trace-calls [--json] [on|off]\n\n"
    "Switches the per-call trace lines (one per RPC call, syslog priority debug) on or off in syslog\n"
    "until the daemon stops, and prints the setting: on or off. Without an argument it only prints it.\n"
    "They start off unless KST_TRACE_CALLS=1 was set; a trace file (KST_TRACE_FILE) always gets them.\n";

}  // namespace

int RunStatus(int argc, char **argv)
{
    return Run(argc, argv, kStatusHelp, "status", 0);
}
int RunObjects(int argc, char **argv)
{
    return Run(argc, argv, kObjectsHelp, "objects", 0);
}
int RunConnections(int argc, char **argv)
{
    return Run(argc, argv, kConnectionsHelp, "connections", 0);
}
int RunRegistrations(int argc, char **argv)
{
    return Run(argc, argv, kRegistrationsHelp, "registrations", 0);
}
int RunDisconnect(int argc, char **argv)
{
    return Run(argc, argv, kDisconnectHelp, "disconnect", 1);
}
int RunTraceCalls(int argc, char **argv)
{
    return Run(argc, argv, kTraceCallsHelp, "trace-calls", 0, {"on", "off"});
}

}  // namespace kstctl
