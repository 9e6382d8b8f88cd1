// control_commands.cpp: what the control socket's commands read and do: status, objects, connections,
// registrations, disconnect and trace-calls, each answered as text or JSON.
//
// Everything is read at the moment of the request and nothing is kept. Handles and connection identities
// use all 64 bits, beyond what JSON numbers carry exactly, so JSON gives them as "0x..." strings.
// Connections are named by their descriptor, as `connections` lists them and `disconnect` takes them.
#include "rpc/control.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/unique.h"
#include "registry/key_tree.h"
#include "rpc/dispatch.h"
#include "rpc/proto.h"
#include "sync/sync.h"
#include "trace/trace.h"

namespace {

// Appends printf-style text; only our own formats come here.
__attribute__((format(printf, 2, 3))) void Appendf(std::string &out, const char *format, ...)
{
    std::array<char, 256> buffer;
    va_list               args;
    va_start(args, format);
    const int n = vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n > 0) out.append(buffer.data(), std::min(static_cast<std::size_t>(n), buffer.size() - 1));
}

// Names come from clients and from disk: in text, bytes that would break a line or a column are escaped.
// Backslashes stay, since they separate key names (which never hold one).
void AppendText(std::string &out, std::string_view text, bool column)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || (column && c == ' '))
            Appendf(out, "\\x%02x", byte);
        else
            out += c;
    }
}

// A JSON string; bytes above 0x7f are taken as Latin-1, so any name gives valid UTF-8 output.
void AppendJson(std::string &out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            Appendf(out, "\\u%04x", byte);
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendHex(std::string &out, uint64_t word)
{
    Appendf(out, "\"0x%" PRIx64 "\"", word);
}

// A parked call as the views show it; a multiple wait is linked on several objects but counted once.
struct Parked {
    const WaiterRecord *waiter;  // the parked call
    int                 fd;      // its connection's descriptor
    uint32_t            proc;    // the procedure that parked
    uint64_t            age_ms;  // time since it arrived
};

Parked ViewOf(const WaiterRecord &waiter, uint64_t now)
{
    const RequestRecord &request = *waiter.request;
    return {&waiter, RequestSocket(&request), request.procedure, now - std::min(now, request.received_ms)};
}

std::vector<Parked> AllParked()
{
    std::vector<Parked>                      parked;
    std::unordered_set<const WaiterRecord *> seen;
    const uint64_t                           now = MonotonicMs();
    ForEachObject([&](const ObjectRecord &obj) {
        ForEachWaiter(obj, [&](const WaiterRecord &waiter) {
            if (seen.insert(&waiter).second) parked.push_back(ViewOf(waiter, now));
        });
    });
    return parked;
}

// The runtime's connections, by descriptor: every transport it polls but the listener.
std::vector<int> RpcConnections(int listener)
{
    std::vector<int> fds;
    for (int i = 0; i < svc_max_pollfd; ++i)
        if (svc_pollfd[i].fd >= 0 && svc_pollfd[i].fd != listener) fds.push_back(svc_pollfd[i].fd);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// Connection identity to descriptor, for connections that have brought a call.
std::unordered_map<uint64_t, int> DescriptorsByIdentity(const std::vector<int> &fds)
{
    std::unordered_map<uint64_t, int> map;
    for (const int fd : fds)
        if (const uint64_t identity = ConnectionOnSocket(fd)) map[identity] = fd;
    return map;
}

const char *TypeName(const ObjectRecord &obj)
{
    switch (obj.type) {
    case ObjectType::Event:
        return "event";
    case ObjectType::Mutex:
        return "mutex";
    case ObjectType::Semaphore:
        return "semaphore";
    }
    return "unknown";
}

// The registry's own events that park synchronous change requests; no client holds a handle to them.
bool IsInternal(const ObjectRecord &obj)
{
    return obj.type == ObjectType::Event && obj.identity == 0;
}

void Status(ControlFormat format, const ControlFacts &facts, std::string &out)
{
    const std::vector<int>  connections = RpcConnections(facts.rpc_listener);
    std::array<uint64_t, 4> objects{};  // events, mutexes, semaphores, internal events
    ForEachObject(
        [&](const ObjectRecord &obj) { ++objects[IsInternal(obj) ? 3 : static_cast<std::size_t>(obj.type)]; });
    uint64_t keys = 0, registrations = 0;
    ForEachKey([&](const KeyNode &key) {
        ++keys;
        if (ViewRegistration(key).kind != RegistrationKind::None) ++registrations;
    });
    sockaddr_in    local{};
    socklen_t      size = sizeof local;
    const unsigned port =
        getsockname(facts.rpc_listener, reinterpret_cast<sockaddr *>(&local), &size) == 0 ? ntohs(local.sin_port) : 0;
    const uint64_t    uptime = (MonotonicMs() - facts.started_ms) / 1000;
    const std::size_t parked = AllParked().size();
    if (format == ControlFormat::Json) {
        Appendf(out, "{\"pid\":%d,\"uptime_seconds\":%" PRIu64 ",\"port\":%u,\"connections\":%zu,", getpid(), uptime,
                port, connections.size());
        Appendf(out,
                "\"objects\":{\"event\":%" PRIu64 ",\"mutex\":%" PRIu64 ",\"semaphore\":%" PRIu64
                ",\"internal\":%" PRIu64 "},",
                objects[0], objects[1], objects[2], objects[3]);
        Appendf(out, "\"parked_calls\":%zu,\"keys_loaded\":%" PRIu64 ",\"registrations\":%" PRIu64 ",", parked, keys,
                registrations);
        Appendf(out,
                "\"refused_connections\":%" PRIu64 ",\"refused_control_clients\":%" PRIu64
                ",\"dropped_control_clients\":%" PRIu64 ",\"calls\":{",
                facts.rpc_refused, facts.refused, facts.dropped);
        for (uint32_t proc = 0; proc <= kLastProc; ++proc)
            Appendf(out, "%s\"%s\":%" PRIu64, proc ? "," : "", ProcedureName(proc), facts.calls[proc]);
        Appendf(out, "},\"calls_unknown\":%" PRIu64 "}\n", facts.calls[kLastProc + 1]);
        return;
    }
    Appendf(out, "pid                      %d\n", getpid());
    Appendf(out, "uptime                   %" PRIu64 " s\n", uptime);
    Appendf(out, "port                     %u\n", port);
    Appendf(out, "connections              %zu\n", connections.size());
    Appendf(out,
            "objects                  events %" PRIu64 ", mutexes %" PRIu64 ", semaphores %" PRIu64
            ", internal events %" PRIu64 "\n",
            objects[0], objects[1], objects[2], objects[3]);
    Appendf(out, "parked calls             %zu\n", parked);
    Appendf(out, "keys loaded              %" PRIu64 "\n", keys);
    Appendf(out, "registrations            %" PRIu64 "\n", registrations);
    Appendf(out, "refused connections      %" PRIu64 "\n", facts.rpc_refused);
    Appendf(out, "refused control clients  %" PRIu64 "\n", facts.refused);
    Appendf(out, "dropped control clients  %" PRIu64 "\n", facts.dropped);
    out += "calls";
    bool any = false;
    for (uint32_t proc = 0; proc <= kLastProc + 1; ++proc) {
        if (facts.calls[proc] == 0) continue;
        Appendf(out, "%s%s %" PRIu64, any ? ", " : "                    ", ProcedureName(proc), facts.calls[proc]);
        any = true;
    }
    out += any ? "\n" : "                    none\n";
}

void Objects(ControlFormat format, const ControlFacts &facts, std::string &out)
{
    const auto     owners = DescriptorsByIdentity(RpcConnections(facts.rpc_listener));
    const uint64_t now = MonotonicMs();
    const bool     json = format == ControlFormat::Json;
    out += json ? "[" : "TYPE       HANDLE              OPEN  STATE                 WAITERS       NAME\n";
    bool first = true;
    ForEachObject([&](const ObjectRecord &obj) {
        const int owner = obj.type == ObjectType::Mutex && obj.mutex.owner != 0
                              ? (owners.contains(obj.mutex.owner) ? owners.at(obj.mutex.owner) : -1)
                              : -1;
        if (json) {
            Appendf(out, "%s{\"type\":\"%s\",\"name\":", first ? "" : ",", TypeName(obj));
            if (obj.name)
                AppendJson(out, obj.name);
            else
                out += "null";
            out += ",\"handle\":";
            AppendHex(out, obj.handle);
            Appendf(out, ",\"open_count\":%" PRId64 ",\"internal\":%s,", obj.ref_count,
                    IsInternal(obj) ? "true" : "false");
            switch (obj.type) {
            case ObjectType::Event:
                Appendf(out, "\"state\":%u,\"signalled\":%s,\"manual_reset\":%s", obj.event.state,
                        obj.event.state != 0 ? "true" : "false", obj.event.manual_reset != 0 ? "true" : "false");
                break;
            case ObjectType::Mutex:
                if (obj.mutex.owner == 0)
                    out += "\"owner\":null";
                else
                    Appendf(out, "\"owner\":%d", owner);
                break;
            case ObjectType::Semaphore:
                Appendf(out, "\"count\":%" PRId64 ",\"maximum\":%" PRId64, obj.semaphore.count, obj.semaphore.maximum);
                break;
            }
            out += ",\"waiters\":[";
            bool first_waiter = true;
            ForEachWaiter(obj, [&](const WaiterRecord &waiter) {
                const Parked p = ViewOf(waiter, now);
                Appendf(out, "%s{\"connection\":%d,\"call\":\"%s\",\"age_ms\":%" PRIu64 "}", first_waiter ? "" : ",",
                        p.fd, ProcedureName(p.proc), p.age_ms);
                first_waiter = false;
            });
            out += "]}";
        } else {
            std::string state;
            switch (obj.type) {
            case ObjectType::Event:
                if (obj.event.state <= 1)
                    state = obj.event.state ? "signalled" : "clear";
                else
                    Appendf(state, "state=%u", obj.event.state);
                state += obj.event.manual_reset ? ",manual" : ",auto";
                if (IsInternal(obj)) state += ",internal";
                break;
            case ObjectType::Mutex:
                if (obj.mutex.owner == 0)
                    state = "free";
                else
                    Appendf(state, "owner=%d", owner);
                break;
            case ObjectType::Semaphore:
                Appendf(state, "count=%" PRId64 "/%" PRId64, obj.semaphore.count, obj.semaphore.maximum);
                break;
            }
            std::string waiters;
            ForEachWaiter(obj, [&](const WaiterRecord &waiter) {
                Appendf(waiters, "%s%d", waiters.empty() ? "" : ",", ViewOf(waiter, now).fd);
            });
            Appendf(out, "%-10s 0x%016" PRIx64 " %5" PRId64 "  %-21s %-13s ", TypeName(obj), obj.handle, obj.ref_count,
                    state.c_str(), waiters.empty() ? "-" : waiters.c_str());
            if (obj.name)
                AppendText(out, obj.name, false);
            else
                out += "<unnamed>";
            out += '\n';
        }
        first = false;
    });
    if (json) out += "]\n";
}

// The process holding the other end of a loopback connection, when its socket can be found.
struct PeerProcess {
    pid_t       pid = 0;  // 0 when not found
    std::string command;  // its /proc comm
};

// Client-side socket inodes of our connections, from the kernel's TCP table: the socket whose local
// address is our peer's and whose remote address is ours.
std::unordered_map<unsigned long, int> PeerInodes(const std::vector<int> &fds)
{
    std::unordered_map<unsigned long, int> inodes;
    UniqueFile                             table(fopen("/proc/net/tcp", "r"));
    if (!table) return inodes;
    struct Ends {
        sockaddr_in local, peer;  // this connection's two addresses
    };
    std::unordered_map<int, Ends> ends;
    for (const int fd : fds) {
        Ends      e{};
        socklen_t a = sizeof e.local, b = sizeof e.peer;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&e.local), &a) == 0 &&
            getpeername(fd, reinterpret_cast<sockaddr *>(&e.peer), &b) == 0 && e.peer.sin_family == AF_INET)
            ends[fd] = e;
    }
    std::array<char, 512> line;
    while (fgets(line.data(), static_cast<int>(line.size()), table.get())) {
        unsigned      local_addr = 0, local_port = 0, remote_addr = 0, remote_port = 0;
        unsigned long inode = 0;
        if (sscanf(line.data(), " %*u: %8X:%4X %8X:%4X %*x %*s %*s %*s %*u %*u %lu", &local_addr, &local_port,
                   &remote_addr, &remote_port, &inode) != 5 ||
            inode == 0)
            continue;
        for (const auto &[fd, e] : ends)
            if (local_addr == e.peer.sin_addr.s_addr && local_port == ntohs(e.peer.sin_port) &&
                remote_addr == e.local.sin_addr.s_addr && remote_port == ntohs(e.local.sin_port))
                inodes[inode] = fd;
    }
    return inodes;
}

// Finds the processes holding those sockets by their descriptors under /proc.
std::unordered_map<int, PeerProcess> PeerProcesses(const std::vector<int> &fds)
{
    std::unordered_map<int, PeerProcess> found;
    const auto                           inodes = PeerInodes(fds);
    if (inodes.empty()) return found;
    UniqueDir   proc(opendir("/proc"));
    const pid_t self = getpid();
    while (proc && found.size() < inodes.size()) {
        const dirent *entry = readdir(proc.get());
        if (!entry) break;
        pid_t       pid = 0;
        const char *end = entry->d_name + strlen(entry->d_name);
        if (std::from_chars(entry->d_name, end, pid).ptr != end || pid <= 0 || pid == self) continue;
        std::array<char, 64> path;
        snprintf(path.data(), path.size(), "/proc/%d/fd", pid);
        UniqueDir dir(opendir(path.data()));
        while (dir) {
            const dirent *fd_entry = readdir(dir.get());
            if (!fd_entry) break;
            std::array<char, 96> link_path, target{};
            snprintf(link_path.data(), link_path.size(), "/proc/%d/fd/%.20s", pid, fd_entry->d_name);
            const ssize_t n = readlink(link_path.data(), target.data(), target.size() - 1);
            unsigned long inode = 0;
            if (n <= 0 || sscanf(target.data(), "socket:[%lu]", &inode) != 1) continue;
            const auto it = inodes.find(inode);
            if (it == inodes.end() || found.contains(it->second)) continue;
            PeerProcess &peer = found[it->second];
            peer.pid = pid;
            snprintf(path.data(), path.size(), "/proc/%d/comm", pid);
            if (UniqueFile comm{fopen(path.data(), "r")}) {
                std::array<char, 64> name{};
                if (fgets(name.data(), static_cast<int>(name.size()), comm.get())) {
                    peer.command = name.data();
                    if (!peer.command.empty() && peer.command.back() == '\n') peer.command.pop_back();
                }
            }
        }
    }
    return found;
}

void Connections(ControlFormat format, const ControlFacts &facts, std::string &out)
{
    const std::vector<int> fds = RpcConnections(facts.rpc_listener);
    const auto             peers = PeerProcesses(fds);
    // Grouped once, so the listing costs the same per connection however many there are.
    std::unordered_map<int, std::vector<Parked>> parked_on;
    for (const Parked &p : AllParked())
        parked_on[p.fd].push_back(p);
    std::unordered_map<uint64_t, std::vector<const ObjectRecord *>> owned_by;
    ForEachObject([&](const ObjectRecord &obj) {
        if (obj.type == ObjectType::Mutex && obj.mutex.owner != 0) owned_by[obj.mutex.owner].push_back(&obj);
    });
    const std::vector<Parked>               no_calls;
    const std::vector<const ObjectRecord *> no_mutexes;
    const bool                              json = format == ControlFormat::Json;
    out += json ? "["
                : "FD     PEER                   PID      COMMAND          PARKED                           MUTEXES\n";
    for (const int fd : fds) {
        sockaddr_in                       peer{};
        socklen_t                         size = sizeof peer;
        std::array<char, INET_ADDRSTRLEN> address{};
        std::string                       where = "-";
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
            inet_ntop(AF_INET, &peer.sin_addr, address.data(), address.size())) {
            where = address.data();
            Appendf(where, ":%u", ntohs(peer.sin_port));
        }
        const uint64_t identity = ConnectionOnSocket(fd);
        const auto     process = peers.find(fd);
        const auto     calls_here = parked_on.find(fd);
        const auto    &parked = calls_here != parked_on.end() ? calls_here->second : no_calls;
        const auto     owned_here = identity != 0 ? owned_by.find(identity) : owned_by.end();
        const auto    &mutexes = owned_here != owned_by.end() ? owned_here->second : no_mutexes;
        if (json) {
            Appendf(out, "%s{\"fd\":%d,\"peer\":", fd == fds.front() ? "" : ",", fd);
            AppendJson(out, where);
            out += ",\"identity\":";
            AppendHex(out, identity);
            if (process != peers.end()) {
                Appendf(out, ",\"pid\":%d,\"command\":", process->second.pid);
                AppendJson(out, process->second.command);
            } else {
                out += ",\"pid\":null,\"command\":null";
            }
            out += ",\"parked\":[";
            bool first = true;
            for (const Parked &p : parked) {
                Appendf(out, "%s{\"call\":\"%s\",\"age_ms\":%" PRIu64 "}", first ? "" : ",", ProcedureName(p.proc),
                        p.age_ms);
                first = false;
            }
            out += "],\"mutexes\":[";
            for (const ObjectRecord *obj : mutexes) {
                if (obj != mutexes.front()) out += ',';
                out += "{\"handle\":";
                AppendHex(out, obj->handle);
                out += ",\"name\":";
                if (obj->name)
                    AppendJson(out, obj->name);
                else
                    out += "null";
                out += '}';
            }
            out += "]}";
            continue;
        }
        std::string calls, owned;
        for (const Parked &p : parked)
            Appendf(calls, "%s%s(%" PRIu64 ".%01" PRIu64 "s)", calls.empty() ? "" : ",", ProcedureName(p.proc),
                    p.age_ms / 1000, p.age_ms % 1000 / 100);
        for (const ObjectRecord *obj : mutexes) {
            if (!owned.empty()) owned += ',';
            if (obj->name)
                AppendText(owned, obj->name, true);
            else
                Appendf(owned, "0x%" PRIx64, obj->handle);
        }
        Appendf(out, "%-6d %-22s ", fd, where.c_str());
        if (process != peers.end()) {
            Appendf(out, "%-8d ", process->second.pid);
            std::string command;
            AppendText(command, process->second.command, true);
            Appendf(out, "%-16s ", command.c_str());
        } else {
            Appendf(out, "%-8s %-16s ", "-", "-");
        }
        Appendf(out, "%-32s %s\n", calls.empty() ? "-" : calls.c_str(), owned.empty() ? "-" : owned.c_str());
    }
    if (json) out += "]\n";
}

// "HKEY_LOCAL_MACHINE\A\B": the root's name, then each key from the top down.
std::string KeyPath(const KeyNode &key)
{
    std::vector<const KeyNode *> chain;
    for (const KeyNode *node = &key; node->parent; node = node->parent)
        chain.push_back(node);
    const KeyNode *root = chain.empty() ? &key : chain.back()->parent;
    std::string    path = root == HKEY_CLASS_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += '\\';
        path += KeyName(*it);
    }
    return path;
}

void Registrations(ControlFormat format, std::string &out)
{
    const bool json = format == ControlFormat::Json;
    out += json ? "[" : "KIND         SUBTREE  EVENT                KEY\n";
    bool first = true;
    ForEachKey([&](const KeyNode &key) {
        const RegistrationView view = ViewRegistration(key);
        if (view.kind == RegistrationKind::None) return;
        const char       *kind = view.kind == RegistrationKind::Synchronous ? "synchronous"
                                 : view.kind == RegistrationKind::Event     ? "event"
                                                                            : "event-closed";
        const std::string path = KeyPath(key);
        if (json) {
            Appendf(out, "%s{\"key\":", first ? "" : ",");
            AppendJson(out, path);
            Appendf(out, ",\"subtree\":%u,\"kind\":\"%s\",\"event\":", key.watch_subtree, kind);
            if (view.kind == RegistrationKind::Event)
                AppendHex(out, view.event);
            else
                out += "null";
            out += '}';
        } else {
            Appendf(out, "%-12s %-8u ", kind, key.watch_subtree);
            if (view.kind == RegistrationKind::Event)
                Appendf(out, "0x%016" PRIx64 "   ", view.event);
            else
                Appendf(out, "%-20s ", "-");
            AppendText(out, path, false);
            out += '\n';
        }
        first = false;
    });
    if (json) out += "]\n";
}

// Drops one connection exactly as if its peer had closed it: the shutdown makes the socket read as
// closed, and the loop's next pass loses the connection the usual way, where the runtime destroys the
// transport and the destroy notification drops its parked calls and hands on its mutexes. Calls the
// peer sent before are served first, as they would be after a real close. Closing the descriptor here
// instead would pull it from under the runtime, which still has it registered.
bool Disconnect(ControlFormat format, const ControlFacts &facts, std::string_view argument, std::string &out)
{
    int                    fd = -1;
    const auto             parsed = std::from_chars(argument.data(), argument.data() + argument.size(), fd);
    const std::vector<int> fds = RpcConnections(facts.rpc_listener);
    if (argument.empty() || parsed.ec != std::errc{} || parsed.ptr != argument.data() + argument.size() ||
        !std::binary_search(fds.begin(), fds.end(), fd)) {
        out = "no such connection: ";
        AppendText(out, argument, false);
        out += '\n';
        return false;
    }
    shutdown(fd, SHUT_RDWR);
    if (format == ControlFormat::Json) Appendf(out, "{\"disconnected\":%d}\n", fd);
    return true;
}

// Per-call trace lines in syslog, for looking at a live server without restarting it and losing its
// parked calls. The switch is traced, so the log says why debug lines start or stop.
bool TraceCallsCommand(ControlFormat format, std::string_view argument, std::string &out)
{
    if (argument != "" && argument != "on" && argument != "off") {
        out = "the argument is on or off\n";
        return false;
    }
    if (!argument.empty() && (argument == "on") != TraceCalls()) {
        TraceSetCalls(argument == "on");
        TraceLog(3, "ntsys_svc", "TraceCallsCommand", __LINE__, "per-call tracing to syslog switched %s",
                 TraceCalls() ? "on" : "off");
    }
    if (format == ControlFormat::Json)
        Appendf(out, "{\"trace_calls\":%s}\n", TraceCalls() ? "true" : "false");
    else
        out += TraceCalls() ? "on\n" : "off\n";
    return true;
}

}  // namespace

bool RunControlCommand(ControlFormat format, std::string_view command, std::string_view argument,
                       const ControlFacts &facts, std::string &body)
{
    if (command == "disconnect") return Disconnect(format, facts, argument, body);
    if (command == "trace-calls") return TraceCallsCommand(format, argument, body);
    if (!argument.empty()) {
        body = "this command takes no argument\n";
        return false;
    }
    if (command == "status")
        Status(format, facts, body);
    else if (command == "objects")
        Objects(format, facts, body);
    else if (command == "connections")
        Connections(format, facts, body);
    else if (command == "registrations")
        Registrations(format, body);
    else {
        body = "unknown command\n";
        return false;
    }
    return true;
}
