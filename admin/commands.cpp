// commands.cpp: what the control socket's commands read and do: status, objects, connections,
// registrations, disconnect and trace-calls, each answered as one JSON document.
//
// Every subsystem copies out its own records (SnapshotObjects, SnapshotConnections, SnapshotTree) at
// the moment of the request and nothing is kept; this file only puts them into one structured form.
// Text for people is kstctl's job, and so is finding a peer's process: the server never walks /proc.
// Handles and connection identities use all 64 bits, beyond what JSON numbers carry exactly, so they
// travel as "0x..." strings. Connections are named by their descriptor, as `connections` lists them
// and `disconnect` takes them.
#include "admin/control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

#include "common/text_out.h"
#include "registry/key_tree.h"
#include "rpc/caller.h"
#include "rpc/dispatch.h"
#include "rpc/loop.h"
#include "rpc/proto.h"
#include "sync/sync.h"
#include "trace/trace.h"

namespace {

void AppendHex(std::string &out, uint64_t word)
{
    Appendf(out, "\"0x%" PRIx64 "\"", word);
}

uint64_t AgeMs(const ParkedView &parked, uint64_t now)
{
    return now - std::min(now, parked.received_ms);
}

void AppendJsonOrNull(std::string &out, const char *text)
{
    if (text)
        AppendJson(out, text);
    else
        out += "null";
}

// "a.b.c.d:port", or "-" when the address is not known.
std::string AddressText(const sockaddr_in &address)
{
    std::array<char, INET_ADDRSTRLEN> text{};
    if (address.sin_family != AF_INET || !inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size())) return "-";
    std::string where = text.data();
    Appendf(where, ":%u", ntohs(address.sin_port));
    return where;
}

// Connection identity to descriptor, for connections that have brought a call.
std::unordered_map<uint64_t, int> DescriptorsByIdentity(const std::vector<ConnectionView> &connections)
{
    std::unordered_map<uint64_t, int> map;
    for (const ConnectionView &c : connections)
        if (c.identity) map[c.identity] = c.fd;
    return map;
}

void Status(const ControlFacts &facts, std::string &out)
{
    const std::vector<ConnectionView> connections = SnapshotConnections(facts.rpc_listener);
    std::array<uint64_t, 4>           objects{};  // events, mutexes, semaphores, internal events
    for (const ObjectView &obj : SnapshotObjects())
        ++objects[obj.internal ? 3 : static_cast<std::size_t>(obj.type)];
    const TreeSnapshot tree = SnapshotTree();
    sockaddr_in        local{};
    socklen_t          size = sizeof local;
    const unsigned     port =
        getsockname(facts.rpc_listener, reinterpret_cast<sockaddr *>(&local), &size) == 0 ? ntohs(local.sin_port) : 0;
    const uint64_t uptime = (MonotonicMs() - facts.started_ms) / 1000;
    Appendf(out, "{\"pid\":%d,\"uptime_seconds\":%" PRIu64 ",\"port\":%u,\"connections\":%zu,", getpid(), uptime, port,
            connections.size());
    out += "\"policy\":";
    if (PolicyInForce().present)
        AppendJson(out, PolicyInForce().source);
    else
        out += "null";
    out += ',';
    Appendf(out,
            "\"objects\":{\"event\":%" PRIu64 ",\"mutex\":%" PRIu64 ",\"semaphore\":%" PRIu64 ",\"internal\":%" PRIu64
            "},",
            objects[0], objects[1], objects[2], objects[3]);
    Appendf(out, "\"parked_calls\":%zu,\"keys_loaded\":%" PRIu64 ",\"registrations\":%zu,", SnapshotParked().size(),
            tree.keys, tree.registrations.size());
    Appendf(out,
            "\"refused_connections\":%" PRIu64 ",\"refused_control_clients\":%" PRIu64
            ",\"dropped_control_clients\":%" PRIu64 ",\"calls\":{",
            RefusedConnections(), facts.refused, facts.dropped);
    const auto calls = CallCounts();
    for (uint32_t proc = 0; proc <= kLastProc; ++proc)
        Appendf(out, "%s\"%s\":%" PRIu64, proc ? "," : "", ProcedureName(proc), calls[proc]);
    Appendf(out, "},\"calls_unknown\":%" PRIu64 "}\n", calls[kLastProc + 1]);
}

// The fields of the object's own state, as its type describes them.
void AppendTypeState(std::string &out, const ObjectView &obj, const std::unordered_map<uint64_t, int> &owners)
{
    bool first = true;
    for (const ViewField &field : obj.fields) {
        if (!field.name) continue;
        Appendf(out, "%s\"%s\":", first ? "" : ",", field.name);
        first = false;
        const auto owner = static_cast<uint64_t>(field.value);
        if (field.kind == ViewField::Kind::Bool)
            out += field.value ? "true" : "false";
        else if (field.kind == ViewField::Kind::Number)
            Appendf(out, "%" PRId64, field.value);
        else if (owner == 0)
            out += "null";
        else
            Appendf(out, "%d", owners.contains(owner) ? owners.at(owner) : -1);
    }
}

void Objects(const ControlFacts &facts, std::string &out)
{
    const auto     owners = DescriptorsByIdentity(SnapshotConnections(facts.rpc_listener));
    const uint64_t now = MonotonicMs();
    out += "[";
    bool first = true;
    for (const ObjectView &obj : SnapshotObjects()) {
        Appendf(out, "%s{\"type\":\"%s\",\"name\":", first ? "" : ",", obj.type_name);
        AppendJsonOrNull(out, obj.name);
        out += ",\"handle\":";
        AppendHex(out, obj.handle);
        Appendf(out, ",\"open_count\":%" PRId64 ",\"internal\":%s,", obj.open_count, obj.internal ? "true" : "false");
        AppendTypeState(out, obj, owners);
        out += ",\"waiters\":[";
        for (const ParkedView &p : obj.waiters)
            Appendf(out, "%s{\"connection\":%d,\"call\":\"%s\",\"age_ms\":%" PRIu64 "}",
                    &p == &obj.waiters.front() ? "" : ",", p.fd, ProcedureName(p.procedure), AgeMs(p, now));
        out += "]}";
        first = false;
    }
    out += "]\n";
}

// A connection's parked calls and owned mutexes.
void AppendHoldings(std::string &out, const std::vector<ParkedView> &parked,
                    const std::vector<const ObjectView *> &mutexes, uint64_t now)
{
    out += ",\"parked\":[";
    for (const ParkedView &p : parked)
        Appendf(out, "%s{\"call\":\"%s\",\"age_ms\":%" PRIu64 "}", &p == &parked.front() ? "" : ",",
                ProcedureName(p.procedure), AgeMs(p, now));
    out += "],\"mutexes\":[";
    for (const ObjectView *obj : mutexes) {
        if (obj != mutexes.front()) out += ',';
        out += "{\"handle\":";
        AppendHex(out, obj->handle);
        out += ",\"name\":";
        AppendJsonOrNull(out, obj->name);
        out += '}';
    }
    out += "]}";
}

// Each connection with both its addresses: kstctl finds the process at the other end from them.
void Connections(const ControlFacts &facts, std::string &out)
{
    const std::vector<ConnectionView> connections = SnapshotConnections(facts.rpc_listener);
    const std::vector<ObjectView>     objects = SnapshotObjects();
    const uint64_t                    now = MonotonicMs();
    // Grouped once, so the listing costs the same per connection however many there are.
    std::unordered_map<int, std::vector<ParkedView>> parked_on;
    for (const ParkedView &p : SnapshotParked())
        parked_on[p.fd].push_back(p);
    std::unordered_map<uint64_t, std::vector<const ObjectView *>> owned_by;
    for (const ObjectView &obj : objects)
        if (obj.type == ObjectType::Mutex && obj.owner != 0) owned_by[obj.owner].push_back(&obj);
    const std::vector<ParkedView>         no_calls;
    const std::vector<const ObjectView *> no_mutexes;
    out += "[";
    for (const ConnectionView &c : connections) {
        const auto calls_here = parked_on.find(c.fd);
        const auto owned_here = c.identity != 0 ? owned_by.find(c.identity) : owned_by.end();
        Appendf(out, "%s{\"fd\":%d,\"peer\":", &c == &connections.front() ? "" : ",", c.fd);
        AppendJson(out, AddressText(c.peer));
        out += ",\"local\":";
        AppendJson(out, AddressText(c.local));
        out += ",\"identity\":";
        AppendHex(out, c.identity);
        // The caller as the kernel named it at accept: a uid, or a connection from another host.
        if (c.uid == kRemoteUid || c.uid == kUnknownUid)
            Appendf(out, ",\"uid\":null,\"remote\":%s", c.uid == kRemoteUid ? "true" : "false");
        else
            Appendf(out, ",\"uid\":%u,\"remote\":false", c.uid);
        AppendHoldings(out, calls_here != parked_on.end() ? calls_here->second : no_calls,
                       owned_here != owned_by.end() ? owned_here->second : no_mutexes, now);
    }
    out += "]\n";
}

const char *KindName(RegistrationKind kind)
{
    return kind == RegistrationKind::Synchronous ? "synchronous"
           : kind == RegistrationKind::Event     ? "event"
                                                 : "event-closed";
}

void Registrations(std::string &out)
{
    out += "[";
    bool first = true;
    for (const RegistrationSnapshot &r : SnapshotTree().registrations) {
        Appendf(out, "%s{\"key\":", first ? "" : ",");
        AppendJson(out, r.key);
        Appendf(out, ",\"subtree\":%u,\"kind\":\"%s\",\"event\":", r.watch_subtree, KindName(r.kind));
        if (r.kind == RegistrationKind::Event)
            AppendHex(out, r.event);
        else
            out += "null";
        out += '}';
        first = false;
    }
    out += "]\n";
}

// Drops one connection exactly as if its peer had closed it: the shutdown makes the socket read as
// closed, and the loop's next pass loses the connection the usual way, where the runtime destroys the
// transport and the destroy notification drops its parked calls and hands on its mutexes. Calls the
// peer sent before are served first, as they would be after a real close. Closing the descriptor here
// instead would pull it from under the runtime, which still has it registered.
bool Disconnect(const ControlFacts &facts, std::string_view argument, std::string &out)
{
    int                               fd = -1;
    const auto                        parsed = std::from_chars(argument.data(), argument.data() + argument.size(), fd);
    const std::vector<ConnectionView> connections = SnapshotConnections(facts.rpc_listener);
    if (argument.empty() || parsed.ec != std::errc{} || parsed.ptr != argument.data() + argument.size() ||
        std::none_of(connections.begin(), connections.end(), [fd](const ConnectionView &c) { return c.fd == fd; })) {
        out = "no such connection: ";
        AppendText(out, argument, false);
        out += '\n';
        return false;
    }
    shutdown(fd, SHUT_RDWR);
    Appendf(out, "{\"disconnected\":%d}\n", fd);
    return true;
}

// Per-call trace lines in syslog, for looking at a live server without restarting it and losing its
// parked calls. The switch is traced, so the log says why debug lines start or stop.
bool TraceCallsCommand(std::string_view argument, std::string &out)
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
    Appendf(out, "{\"trace_calls\":%s}\n", TraceCalls() ? "true" : "false");
    return true;
}

}  // namespace

bool RunControlCommand(std::string_view command, std::string_view argument, const ControlFacts &facts,
                       std::string &body)
{
    if (command == "disconnect") return Disconnect(facts, argument, body);
    if (command == "trace-calls") return TraceCallsCommand(argument, body);
    if (!argument.empty()) {
        body = "this command takes no argument\n";
        return false;
    }
    if (command == "status")
        Status(facts, body);
    else if (command == "objects")
        Objects(facts, body);
    else if (command == "connections")
        Connections(facts, body);
    else if (command == "registrations")
        Registrations(body);
    else {
        body = "unknown command\n";
        return false;
    }
    return true;
}
