// live_view.cpp: the live view's text, column by column, from the daemon's JSON answers; and the one
// JSON answer kstctl completes, the connections, with the process at each one's other end.
//
// The daemon never walks /proc: finding a client's process is slow with many processes and needs
// rights the daemon is not given, so kstctl, run by root, does it here.
#include "tools/kstctl/live_view.h"

#include "common/text_out.h"
#include "tools/kstctl/peers.h"

#include <cinttypes>

namespace kstctl {
namespace {

using Kind = JsonValue::Kind;

std::string StatusText(const JsonValue &s)
{
    std::string      out;
    const auto       n = [&](std::string_view name) { return s[name].Int(); };
    const JsonValue &objects = s["objects"];
    Appendf(out, "pid                      %" PRId64 "\n", n("pid"));
    Appendf(out, "uptime                   %" PRId64 " s\n", n("uptime_seconds"));
    Appendf(out, "port                     %" PRId64 "\n", n("port"));
    Appendf(out, "connections              %" PRId64 "\n", n("connections"));
    if (s["policy"].IsNull())
        out += "policy: none (every caller may do everything)\n";
    else
        out += "policy: " + s["policy"].text + "\n";
    Appendf(out,
            "objects                  events %" PRId64 ", mutexes %" PRId64 ", semaphores %" PRId64
            ", internal events %" PRId64 "\n",
            objects["event"].Int(), objects["mutex"].Int(), objects["semaphore"].Int(), objects["internal"].Int());
    Appendf(out, "parked calls             %" PRId64 "\n", n("parked_calls"));
    Appendf(out, "keys loaded              %" PRId64 "\n", n("keys_loaded"));
    Appendf(out, "registrations            %" PRId64 "\n", n("registrations"));
    Appendf(out, "refused connections      %" PRId64 "\n", n("refused_connections"));
    Appendf(out, "refused control clients  %" PRId64 "\n", n("refused_control_clients"));
    Appendf(out, "dropped control clients  %" PRId64 "\n", n("dropped_control_clients"));
    out += "calls";
    bool       any = false;
    const auto add = [&](std::string_view name, int64_t count) {
        if (count == 0) return;
        Appendf(out, "%s%.*s %" PRId64, any ? ", " : "                    ", static_cast<int>(name.size()), name.data(),
                count);
        any = true;
    };
    const JsonValue &calls = s["calls"];
    for (std::size_t i = 0; i < calls.names.size(); ++i)
        add(calls.names[i], calls.items[i].Int());
    add("unknown", n("calls_unknown"));
    out += any ? "\n" : "                    none\n";
    return out;
}

// "signalled,manual", "owner=7", "count=1/5": what an object's state column says.
std::string StateText(const JsonValue &obj)
{
    std::string            state;
    const std::string_view type = obj["type"].text;
    if (type == "event") {
        const int64_t value = obj["state"].Int();
        if (value == 0 || value == 1)
            state = value ? "signalled" : "clear";
        else
            Appendf(state, "state=%" PRId64, value);
        state += obj["manual_reset"].Int() ? ",manual" : ",auto";
        if (obj["internal"].Int()) state += ",internal";
    } else if (type == "mutex") {
        if (obj["owner"].IsNull())
            state = "free";
        else
            Appendf(state, "owner=%" PRId64, obj["owner"].Int());
    } else {
        Appendf(state, "count=%" PRId64 "/%" PRId64, obj["count"].Int(), obj["maximum"].Int());
    }
    return state;
}

std::string ObjectsText(const JsonValue &objects)
{
    std::string out = "TYPE       HANDLE              OPEN  STATE                 WAITERS       NAME\n";
    for (const JsonValue &obj : objects.items) {
        std::string waiters;
        for (const JsonValue &w : obj["waiters"].items)
            Appendf(waiters, "%s%" PRId64, waiters.empty() ? "" : ",", w["connection"].Int());
        Appendf(out, "%-10s 0x%016" PRIx64 " %5" PRId64 "  %-21s %-13s ", obj["type"].text.c_str(),
                obj["handle"].Word(), obj["open_count"].Int(), StateText(obj).c_str(),
                waiters.empty() ? "-" : waiters.c_str());
        if (obj["name"].IsNull())
            out += "<unnamed>";
        else
            AppendText(out, obj["name"].text, false);
        out += '\n';
    }
    return out;
}

std::string ConnectionsText(const JsonValue &connections, const std::unordered_map<int, PeerProcess> &peers)
{
    std::string out =
        "FD     PEER                   UID      PID      COMMAND          PARKED                           MUTEXES\n";
    for (const JsonValue &c : connections.items) {
        std::string calls, owned;
        for (const JsonValue &p : c["parked"].items) {
            const auto age = static_cast<uint64_t>(p["age_ms"].Int());
            Appendf(calls, "%s%s(%" PRIu64 ".%01" PRIu64 "s)", calls.empty() ? "" : ",", p["call"].text.c_str(),
                    age / 1000, age % 1000 / 100);
        }
        for (const JsonValue &m : c["mutexes"].items) {
            if (!owned.empty()) owned += ',';
            if (m["name"].IsNull())
                Appendf(owned, "0x%" PRIx64, m["handle"].Word());
            else
                AppendText(owned, m["name"].text, true);
        }
        const int fd = static_cast<int>(c["fd"].Int());
        Appendf(out, "%-6d %-22s ", fd, c["peer"].text.c_str());
        if (!c["uid"].IsNull())
            Appendf(out, "%-8" PRId64 " ", c["uid"].Int());
        else
            Appendf(out, "%-8s ", c["remote"].Int() ? "remote" : "-");
        if (const auto process = peers.find(fd); process != peers.end()) {
            Appendf(out, "%-8d ", process->second.pid);
            std::string command;
            AppendText(command, process->second.command, true);
            Appendf(out, "%-16s ", command.c_str());
        } else {
            Appendf(out, "%-8s %-16s ", "-", "-");
        }
        Appendf(out, "%-32s %s\n", calls.empty() ? "-" : calls.c_str(), owned.empty() ? "-" : owned.c_str());
    }
    return out;
}

// The daemon's connection entries as --json prints them: its descriptor, the client's end and the
// identity, then the client's process in place of the daemon's own end.
std::string ConnectionsJson(const JsonValue &connections, const std::unordered_map<int, PeerProcess> &peers)
{
    std::string out = "[";
    for (const JsonValue &c : connections.items) {
        const int fd = static_cast<int>(c["fd"].Int());
        Appendf(out, "%s{\"fd\":%d,\"peer\":", out.size() > 1 ? "," : "", fd);
        out += c["peer"].raw;
        out += ",\"identity\":";
        out += c["identity"].raw;
        out += ",\"uid\":";
        out += c["uid"].raw;
        out += ",\"remote\":";
        out += c["remote"].raw;
        if (const auto process = peers.find(fd); process != peers.end()) {
            Appendf(out, ",\"pid\":%d,\"command\":", process->second.pid);
            AppendJson(out, process->second.command);
        } else {
            out += ",\"pid\":null,\"command\":null";
        }
        out += ",\"parked\":";
        out += c["parked"].raw;
        out += ",\"mutexes\":";
        out += c["mutexes"].raw;
        out += '}';
    }
    out += "]\n";
    return out;
}

std::string RegistrationsText(const JsonValue &registrations)
{
    std::string out = "KIND         SUBTREE  EVENT                KEY\n";
    for (const JsonValue &r : registrations.items) {
        Appendf(out, "%-12s %-8" PRId64 " ", r["kind"].text.c_str(), r["subtree"].Int());
        if (r["event"].IsNull())
            Appendf(out, "%-20s ", "-");
        else
            Appendf(out, "0x%016" PRIx64 "   ", r["event"].Word());
        AppendText(out, r["key"].text, false);
        out += '\n';
    }
    return out;
}

}  // namespace

std::optional<std::string> RenderAnswer(std::string_view command, const JsonValue &answer, bool json)
{
    const bool list = answer.kind == Kind::Array;
    if (command == "connections" && list) {
        std::vector<ConnectionEnds> ends;
        for (const JsonValue &c : answer.items)
            ends.push_back({static_cast<int>(c["fd"].Int()), c["local"].text, c["peer"].text});
        const auto peers = FindPeerProcesses(ends);
        return json ? ConnectionsJson(answer, peers) : ConnectionsText(answer, peers);
    }
    if (!list && answer.kind != Kind::Object) return std::nullopt;
    if (json) return std::string(answer.raw) + "\n";
    if (command == "status" && !list) return StatusText(answer);
    if (command == "objects" && list) return ObjectsText(answer);
    if (command == "registrations" && list) return RegistrationsText(answer);
    if (command == "trace-calls" && !list) return std::string(answer["trace_calls"].Int() ? "on\n" : "off\n");
    if (command == "disconnect" && !list) return std::string();
    return std::nullopt;
}

}  // namespace kstctl
