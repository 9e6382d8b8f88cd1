// kstbench.cpp: the daemon's costs beside their floors, measured in the same run and printed as one table.
//
// It runs as pid 1 of tools/nsrun's private namespaces (bench/run does that): it starts its own portmapper,
// a /dev/log reader, the echo server (kstecho), the bare ping-pong server (kstpingpong), a private Redis
// when one is installed, and the daemon
// binary it is given, so an older build can be measured the same way. Floor and scenario alternate in short
// slices, and each figure is a median over slices (a ratio: the median of the ratios of neighbouring
// slices), so load from elsewhere on the machine hits both alike and a disturbed slice does not count.
//
//   kstbench [--quick] [--only SECTION] [--daemon PATH] [--echo PATH] [--pingpong PATH] [--scratch DIR]
//
// --scratch puts /opt/orn/kestrel on DIR (bind mount) so the registry lives on that disk file system
// rather than on nsrun's tmpfs; bench/run passes a directory in the build tree.
#include "bench/file_work.h"
#include "bench/harness.h"
#include "bench/library.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifndef KST_DEFAULT_DAEMON
#define KST_DEFAULT_DAEMON "KSTntserver"
#endif
#ifndef KST_DEFAULT_ECHO
#define KST_DEFAULT_ECHO "kstecho"
#endif
#ifndef KST_DEFAULT_PINGPONG
#define KST_DEFAULT_PINGPONG "kstpingpong"
#endif

namespace {

namespace fs = std::filesystem;
using kst::Connection;
using kst::bench::Clock;
using kst::bench::SecondsSince;

constexpr uint64_t    kLocalMachine = 2;          // predefined key handle of HKEY_LOCAL_MACHINE
constexpr std::size_t kValueBytes = 100;          // data of the value the registry rows write and read
constexpr int         kConnections = 16;          // the many-connection null-call row
constexpr int         kCrowd = 10000;             // idle connections of the crowd rows
constexpr int         kCrowdWaits = 1000;         // of them, this many hold a parked wait
constexpr rlim_t      kDescriptors = 32768;       // the crowd on both sides, and the daemon's share of it
constexpr int         kMemoryConnections = 1000;  // idle connections and parked waits of the memory rows
constexpr int         kMemoryItems = 10000;       // objects and keys of the memory rows
constexpr int         kParkRounds = 15;           // parked waits per connection in the memory rows
constexpr int         kTreeGroups = 100;          // a start-up tree: this many group keys, the rest below them
constexpr int         kValuedEvery = 100;         // of its keys, one in this many holds values
constexpr int         kValuesPerKey = 10;         // that many
constexpr int         kStallBoundMs = 100;        // the longest another client's call may be held
constexpr int         kTimedWaitMs = 1;           // the library rows' wait that times out
constexpr int         kLongCallMs = 120000;       // reply time allowed to a call that removes thousands of keys
constexpr int         kFlushedValues = 50;        // values of the key the flush stall row flushes
constexpr double      kFlushStallMs = 2;          // another client's null call p99 beside the flusher
constexpr double      kMixedFreshMs = 10;         // a fresh connection's null call p99 beside the mixed clients

struct Options {
    bool        quick = false;  // shorter slices, no 100,000-key start-up
    std::string daemon = KST_DEFAULT_DAEMON;
    std::string echo = KST_DEFAULT_ECHO;
    std::string pingpong = KST_DEFAULT_PINGPONG;
    bool        pinned = false;  // clients and servers share one CPU (bench/run without --no-pin)
    std::string scratch;         // disk directory for /opt/orn/kestrel; empty: nsrun's tmpfs
    std::string only;            // one section (speed, stall, library, scale, memory, crowd, start-up); empty: all
    double      slice = 0.05;    // seconds per measurement slice
    int         slices = 20;     // slices per side of a paired measurement

    [[nodiscard]] bool Wants(std::string_view section) const { return only.empty() || only == section; }
};

// One line of the result table.
struct Row {
    std::string scenario;  // what was measured
    std::string measured;  // the daemon's figure
    std::string floor;     // what it is held against, measured in this run
    std::string ratio;     // measured against floor (or against K=10)
    std::string goal;      // the bound it should meet
    std::string verdict;   // "ok", "MISS" or empty when there is no bound
};

std::vector<Row> g_rows;  // the table, in order

// Only ever called with a literal format; the attribute lets the compiler check each call's arguments.
__attribute__((format(printf, 1, 2))) std::string Format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char buf[256];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// 12345.6 -> "12.3k"; rates are easier to compare that way.
std::string Rate(double per_second, const char *unit)
{
    if (per_second <= 0) return "failed";
    if (per_second >= 1000) return Format("%.1fk %s/s", per_second / 1000, unit);
    return Format("%.0f %s/s", per_second, unit);
}

std::string Duration(double seconds)
{
    if (seconds < 0) return "failed";
    if (seconds < 1e-3) return Format("%.1f us", seconds * 1e6);
    if (seconds < 1) return Format("%.1f ms", seconds * 1e3);
    return Format("%.2f s", seconds);
}

std::string Bytes(double bytes)
{
    if (bytes >= 10 * 1024) return Format("%.0f KB", bytes / 1024);
    return Format("%.0f B", bytes);
}

void Add(Row row)
{
    std::fprintf(stderr, "  %-52s %s\n", row.scenario.c_str(), row.measured.c_str());
    g_rows.push_back(std::move(row));
}

// A ratio row: verdict from `at_least` (ratio must be >= goal) or at most.
void AddRatio(std::string scenario, std::string measured, std::string floor, double ratio, double goal, bool at_least)
{
    const bool ok = std::isfinite(ratio) && ratio > 0 && (at_least ? ratio >= goal : ratio <= goal);
    Add({std::move(scenario), std::move(measured), std::move(floor),
         std::isfinite(ratio) && ratio > 0 ? Format("%.2fx", ratio) : "-",
         goal > 0 ? Format("%s %.3gx", at_least ? ">=" : "<=", goal) : "", goal > 0 ? (ok ? "ok" : "MISS") : ""});
}

void Note(const std::string &text)
{
    std::fprintf(stderr, "  note: %s\n", text.c_str());
    g_rows.push_back({text, "", "", "", "", ""});
}

// Runs op for `seconds` (at least once); operations per second, 0 as soon as one fails.
double Throughput(double seconds, const std::function<bool()> &op)
{
    const auto start = Clock::now();
    long       count = 0;
    do {
        if (!op()) return 0;
        ++count;
    } while (SecondsSince(start) < seconds);
    return count / SecondsSince(start);
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Throughput of each op in each of o.slices rounds, the ops taking turns: samples[op][round].
using Samples = std::vector<std::vector<double>>;
Samples Alternate(const Options &o, const std::vector<std::function<double()>> &ops)
{
    Samples samples(ops.size());
    for (int s = 0; s < o.slices; ++s)
        for (std::size_t i = 0; i < ops.size(); ++i)
            samples[i].push_back(ops[i]());
    return samples;
}

// As Alternate, for ops that are timed by Throughput.
Samples AlternateCalls(const Options &o, const std::vector<std::function<bool()>> &ops)
{
    std::vector<std::function<double()>> timed;
    for (const auto &op : ops)
        timed.push_back([&o, &op] { return Throughput(o.slice, op); });
    return Alternate(o, timed);
}

// The median over rounds of f(round); 0 when any sample of a round failed.
double MedianRatio(const Samples &s, const std::function<double(std::size_t)> &f)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < s[0].size(); ++i) {
        bool ok = true;
        for (const auto &op : s)
            ok = ok && op[i] > 0;
        ratios.push_back(ok ? f(i) : 0);
    }
    return Median(ratios);
}

// Context switches (voluntary or not) of the calling thread so far.
long ThreadSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The same of a server's first thread, which runs its loop; 0 when it can't be read.
long ServerSwitches(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    long          switches = 0;
    for (std::string line; std::getline(f, line);)
        if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
            switches += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
    return switches;
}

// Handoffs and the context switches they took, of the server and both callers, summed over slices. Pinned
// to one CPU a handoff's cost is mostly these switches, and how many there are follows the scheduler's
// interleaving of the three parties as much as any party's own work.
struct SwitchCount {
    double               handoffs = 0;
    long                 switches = 0;
    [[nodiscard]] double PerHandoff() const { return handoffs > 0 ? switches / handoffs : 0; }
};

// Two parties hand a token back and forth: `wait_a`/`signal_b` on the helper thread, `signal_a`/`wait_b`
// here. Handoffs per second over `seconds`; 0 when a call failed. With count, the handoffs and the two
// callers' switches are added there.
double PingPong(double seconds, const std::function<bool()> &wait_a, const std::function<bool()> &signal_b,
                const std::function<bool()> &signal_a, const std::function<bool()> &wait_b,
                SwitchCount *count = nullptr)
{
    std::atomic<bool> stop = false, failed = false;
    long              helper_switches = 0;
    std::thread       other([&] {
        const long before = ThreadSwitches();
        while (wait_a() && !stop)
            if (!signal_b()) break;
        if (!stop) failed = true;
        helper_switches = ThreadSwitches() - before;
    });
    const long        before = ThreadSwitches();
    const auto        start = Clock::now();
    long              rounds = 0;
    bool              ok = true;
    while (ok) {
        ok = signal_a() && wait_b();
        rounds += ok;
        if (SecondsSince(start) >= seconds || failed) break;
    }
    const double took = SecondsSince(start);
    stop = true;
    ok = signal_a() && ok;  // releases the helper's last wait
    other.join();
    if (count) {
        count->handoffs += 2.0 * static_cast<double>(rounds);
        count->switches += ThreadSwitches() - before + helper_switches;
    }
    return ok && !failed ? 2.0 * rounds / took : 0;
}

// The bare file work of one value write and read in the benchmark itself.
bool FileWork(const std::string &directory, const std::string &content)
{
    return kst::bench::WriteValueFile(directory, content) && kst::bench::ReadValueFile(directory, content.size());
}

// A floor server (the echo or the ping-pong server) on port with the further arguments, in a session of
// its own and on the servers' CPU as the daemon is; -1 when it did not start.
pid_t StartFloor(const std::string &binary, uint16_t port, const std::vector<std::string> &arguments = {})
{
    std::vector<std::string> command = {binary, std::to_string(port)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const pid_t echo = kst::Spawn(command, {}, kst::ChildOutput::Discard, kst::ChildSession::Own);
    kst::bench::PlaceFloor(echo);
    Connection probe;
    if (echo > 0 && kst::bench::PollFor(5000, [&] { return probe.Connect(port); })) return echo;
    if (echo > 0) kst::bench::EndChild(echo, 2000);
    return -1;
}

pid_t StartEcho(const Options &o, uint16_t port, const std::vector<std::string> &arguments)
{
    return StartFloor(o.echo, port, arguments);
}

// One call on each connection, all sent before any reply is read.
bool NullOnEach(std::vector<Connection> &conns)
{
    for (Connection &c : conns)
        if (!c.SendCall(kst::proc::kNull, {}, c.NextXid())) return false;
    for (Connection &c : conns) {
        const auto reply = c.ReadReply();
        if (!reply || !reply->succeeded()) return false;
    }
    return true;
}

std::vector<Connection> Connections(int n, uint16_t port)
{
    std::vector<Connection> conns(static_cast<std::size_t>(n));
    for (Connection &c : conns)
        c.Connect(port);
    return conns;
}

// Removes a key below HKEY_LOCAL_MACHINE with everything in it, however long that takes.
bool DeleteKey(Connection &c, const std::string &name)
{
    return c.CallWord(kst::proc::kRegDeleteKey, kst::EncodeOpen(kLocalMachine, name), kLongCallMs) == 0u;
}

// Waits until the daemon's background removals of deleted trees have ended and the file system has
// written back what came before, so that a measurement does not share the CPU, the disk and the file
// system's locks with an earlier one's aftermath.
void SettleFileSystem()
{
    const std::string registry = std::string(kst::bench::kKestrel) + "/registry";
    kst::bench::PollFor(30000, [&] {
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(registry, ec))
            if (entry.path().filename().string().starts_with(".KSTntserver.deleted.")) return false;
        return true;
    });
    sync();
}

// A measurement beside its floor: both rates (medians over slices) and the median ratio of neighbouring slices.
struct Paired {
    double measured = 0, floor = 0, ratio = 0;
};

Paired Pair(const Samples &r)
{
    return {Median(r[0]), r.size() > 1 ? Median(r[1]) : 0,
            r.size() > 1 ? MedianRatio(r, [&](std::size_t i) { return r[0][i] / r[1][i]; }) : 0};
}

// Null calls on kConnections connections to the daemon against as many to the echo server, per call.
Paired ManyNulls(const Options &o, const kst::bench::Daemon &d, uint16_t echo_port)
{
    auto   dconns = Connections(kConnections, d.port()), econns = Connections(kConnections, echo_port);
    Paired p = Pair(AlternateCalls(o, {[&] { return NullOnEach(dconns); }, [&] { return NullOnEach(econns); }}));
    p.measured *= kConnections;
    p.floor *= kConnections;
    return p;
}

void NullRows(const Options &o, const kst::bench::Daemon &d, uint16_t echo_port)
{
    Connection dc = d.Connect(), ec;
    ec.Connect(echo_port);
    const Paired one = Pair(AlternateCalls(o, {[&] { return dc.Null(); }, [&] { return ec.Null(); }}));
    AddRatio("null call, 1 connection", Rate(one.measured, "calls"), "echo " + Rate(one.floor, "calls"), one.ratio, 0.8,
             true);
    const Paired many = ManyNulls(o, d, echo_port);
    AddRatio(Format("null call, %d connections", kConnections), Rate(many.measured, "calls"),
             "echo " + Rate(many.floor, "calls"), many.ratio, 0.8, true);
}

void ValueRows(const Options &o, const kst::bench::Daemon &d)
{
    const std::string data(kValueBytes, 'x');
    // The daemon's value file: type and size as two 32-bit words, then the data.
    const std::string file_content = std::string(8, '\1') + data;
    // Beside the daemon's key, as the daemon writes paths: the root's directory, then "//" + name + "//".
    const std::string floor_dir = std::string(kst::bench::kRegistryDir) + "/HKEY_LOCAL_MACHINE//KSTBENCH_FLOOR//";
    mkdir(floor_dir.c_str(), 0777);
    // The floor: an echo server that does the value's file work between call and reply, in the server
    // and on the server's CPU as the daemon does it. Done by the benchmark between two echo round trips
    // instead, the file work would run on the clients' CPU when the layout splits clients from servers,
    // and a write-back or a kernel worker on one CPU but not the other moved the ratio by a third.
    const uint16_t port = kst::bench::FreePort(41000);
    const pid_t    echo = StartEcho(o, port, {floor_dir, std::to_string(file_content.size())});
    Connection     dc = d.Connect(), ec;
    const uint64_t key = dc.RegCreateKeyEx(kLocalMachine, "KSTBENCH").value_or(0);
    if (echo < 0 || !ec.Connect(port)) {
        Note("set+query rows skipped: the file-working echo server did not start");
    } else {
        const auto pair = [&](Connection &c) {
            return c.RegSetValueEx(key, "V", 3, kValueBytes, data) == 0u && c.RegQueryValueEx(key, "V").has_value();
        };
        const auto r = AlternateCalls(
            o, {[&] { return pair(dc); }, [&] { return pair(ec); }, [&] { return FileWork(floor_dir, file_content); }});
        AddRatio("RegSetValueEx+RegQueryValueEx", Rate(Median(r[0]), "pairs"),
                 "file work+2 echo " + Rate(Median(r[1]), "pairs"),
                 MedianRatio(r, [&](std::size_t i) { return r[0][i] / r[1][i]; }), 0.9, true);
        AddRatio("  the same against the bare file work alone", Rate(Median(r[0]), "pairs"),
                 "file work " + Rate(Median(r[2]), "pairs"),
                 MedianRatio(r, [&](std::size_t i) { return r[0][i] / r[2][i]; }), 0, true);
    }
    if (echo > 0) kst::bench::EndChild(echo, 2000);
    std::error_code ec_removed;
    fs::remove_all(floor_dir, ec_removed);
    DeleteKey(dc, "KSTBENCH");
}

// The bare epoll ping-pong server (kstpingpong), and what the handoff learnt against it.
struct BareFloor {
    uint16_t    port = 0;  // 0 when it did not start
    pid_t       pid = -1;
    Paired      pairing;  // the daemon's handoff against it
    SwitchCount daemon, bare;
};

// Two connections hand a token back and forth through two auto-reset events, slices taking turns with
// Redis BLPOP/RPUSH doing the same through two lists (floor 0 when there is no Redis) and, when bare is
// given, with the bare epoll server doing it with no RPC at all (its pairing and switches put in *bare).
Paired Handoff(const Options &o, const kst::bench::Daemon &d, uint16_t redis_port, BareFloor *bare = nullptr)
{
    Connection             setup = d.Connect();
    const uint64_t         e1 = setup.CreateEvent(0, 0, "").value_or(0), e2 = setup.CreateEvent(0, 0, "").value_or(0);
    kst::bench::WordCaller a, b;
    const bool             connected = a.Connect(d.port()) && b.Connect(d.port());
    using kst::bench::WordCaller;
    kst::Bytes wait_a = WordCaller::Record(kst::proc::kWaitSingle, e1),
               set_a = WordCaller::Record(kst::proc::kSetEvent, e2),
               set_b = WordCaller::Record(kst::proc::kSetEvent, e1),
               wait_b = WordCaller::Record(kst::proc::kWaitSingle, e2);
    SwitchCount unused;
    // The server's switches around a slice whose callers add theirs.
    const auto counted = [](pid_t server, SwitchCount &count, const std::function<double(SwitchCount *)> &slice) {
        const long   before = ServerSwitches(server);
        const double rate = slice(&count);
        count.switches += ServerSwitches(server) - before;
        return rate;
    };
    const auto kst_round = [&] {
        return !connected ? 0.0 : counted(d.pid(), bare ? bare->daemon : unused, [&](SwitchCount *count) {
            return PingPong(
                o.slice, [&] { return a.Call(wait_a) == e1; }, [&] { return a.Call(set_a) == 0u; },
                [&] { return b.Call(set_b) == 0u; }, [&] { return b.Call(wait_b) == e2; }, count);
        });
    };
    kst::bench::Redis ra, rb;
    const bool        redis = redis_port != 0 && ra.Connect(redis_port) && rb.Connect(redis_port);
    using kst::bench::Redis;
    const std::string pop1 = Redis::Encode({"BLPOP", "L1", "0"}), pop2 = Redis::Encode({"BLPOP", "L2", "0"}),
                      push1 = Redis::Encode({"RPUSH", "L1", "x"}), push2 = Redis::Encode({"RPUSH", "L2", "x"});
    const auto redis_round = [&] {
        return PingPong(
            o.slice, [&] { return ra.Command(pop1); }, [&] { return ra.Command(push2); },
            [&] { return rb.Command(push1); }, [&] { return rb.Command(pop2); });
    };
    kst::bench::PingCaller pa, pb;
    using kst::bench::PingCaller;
    const bool floor = bare && bare->port != 0 && pa.Connect(bare->port) && pb.Connect(bare->port);
    const auto bare_round = [&] {
        return counted(bare->pid, bare->bare, [&](SwitchCount *count) {
            return PingPong(
                o.slice, [&] { return pa.Call(PingCaller::kWait, 0) == 0u; },
                [&] { return pa.Call(PingCaller::kSet, 1) == 0u; }, [&] { return pb.Call(PingCaller::kSet, 0) == 0u; },
                [&] { return pb.Call(PingCaller::kWait, 1) == 1u; }, count);
        });
    };
    std::vector<std::function<double()>> rounds = {kst_round};
    if (redis) rounds.push_back(redis_round);
    if (floor) rounds.push_back(bare_round);
    const Samples r = Alternate(o, rounds);
    const auto    against = [&](std::size_t i) {
        return Paired{Median(r[0]), Median(r[i]), MedianRatio(r, [&](std::size_t s) { return r[0][s] / r[i][s]; })};
    };
    const Paired p = redis ? against(1) : Paired{Median(r[0]), 0, 0};
    if (bare) bare->pairing = floor ? against(rounds.size() - 1) : Paired{Median(r[0]), 0, 0};
    setup.CloseHandle(e1);
    setup.CloseHandle(e2);
    return p;
}

// The handoff against its physical floor, the bare epoll server, in every layout; against Redis with a
// goal only pinned, where a round trip is the servers' work and not the luck of wake-ups across CPUs.
void HandoffRow(const Options &o, const kst::bench::Daemon &d, uint16_t redis_port, BareFloor bare)
{
    const Paired  p = Handoff(o, d, redis_port, &bare);
    const Paired &b = bare.pairing;
    if (b.floor > 0) {
        AddRatio("parked-wait handoff, ping-pong", Rate(p.measured, "handoffs"),
                 "bare epoll " + Rate(b.floor, "handoffs"), b.ratio, 0.95, true);
        Note(Format("handoff: context switches per handoff, server and both callers: daemon %.2f, bare epoll %.2f",
                    bare.daemon.PerHandoff(), bare.bare.PerHandoff()));
    } else {
        Note("handoff: the bare ping-pong server did not start: no floor");
    }
    if (p.floor > 0)
        AddRatio(o.pinned ? "  the same against Redis" : "  the same against Redis (not pinned: no goal)",
                 Rate(p.measured, "handoffs"), "Redis BLPOP/RPUSH " + Rate(p.floor, "handoffs"), p.ratio,
                 o.pinned ? 1.05 : 0, true);
    else
        Note("handoff: Redis not installed: no Redis floor");
}

// Latency of each null call of a client over `seconds`, in seconds; empty when a call failed.
std::vector<double> NullLatencies(Connection &c, double seconds)
{
    std::vector<double> took;
    const auto          start = Clock::now();
    while (SecondsSince(start) < seconds) {
        const auto call = Clock::now();
        if (!c.Null()) return {};
        took.push_back(SecondsSince(call));
    }
    return took;
}

double Quantile(std::vector<double> v, double q)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * q))];
}

// Another client's null calls beside one client that rewrites a value of a 50-value key and flushes the
// key, over and over, against the same calls without it: the flush's wait for the disk must not hold the
// loop. Meaningful on a disk file system only (bench/run without --quick); on a tmpfs a sync costs nothing.
void FlushStallRow(const Options &o, const kst::bench::Daemon &d)
{
    Connection        setup = d.Connect(), caller = d.Connect(), flusher = d.Connect();
    const uint64_t    key = setup.RegCreateKeyEx(kLocalMachine, "KSTBENCH_FLUSH").value_or(0);
    const std::string data(kValueBytes, 'f');
    bool              ok = key != 0;
    for (int i = 0; ok && i < kFlushedValues; ++i)
        ok = setup.RegSetValueEx(key, "V" + std::to_string(i), 3, kValueBytes, data) == 0u;
    const double              seconds = o.quick ? 1.0 : 3.0;
    const std::vector<double> alone = ok ? NullLatencies(caller, seconds) : std::vector<double>{};
    std::atomic<bool>         stop = false, failed = false;
    long                      flushes = 0;
    std::thread               loop([&] {
        for (int i = 0; !stop && !failed; ++i, ++flushes)
            failed = flusher.RegSetValueEx(key, "V" + std::to_string(i % kFlushedValues), 3, kValueBytes, data) != 0u ||
                     flusher.RegFlushKey(key) != 0u;
    });
    const auto                start = Clock::now();
    const std::vector<double> beside = ok ? NullLatencies(caller, seconds) : std::vector<double>{};
    const double              took = SecondsSince(start);
    stop = true;
    loop.join();
    const bool   good = ok && !failed && !alone.empty() && !beside.empty();
    const double p99 = Quantile(beside, 0.99);
    Add({"null call p99 beside a flusher (50-value key)",
         good ? "p99 " + Duration(p99) + ", median " + Duration(Quantile(beside, 0.5)) : "failed",
         "alone p99 " + Duration(Quantile(alone, 0.99)) + ", median " + Duration(Quantile(alone, 0.5)) +
             Format("; %.0f flushes/s", flushes / took),
         "", Format("<= %.0f ms", kFlushStallMs), good ? (p99 * 1000 <= kFlushStallMs ? "ok" : "MISS") : ""});
    DeleteKey(setup, "KSTBENCH_FLUSH");
}

// libkstnt beside the raw client: the same calls with the same records on the wire, slices taking turns.
void LibraryRows(const Options &o, const kst::bench::Daemon &d)
{
    const auto calls = kst::bench::LibraryCalls(d.port(), kTimedWaitMs);
    if (calls.empty()) return Note("libkstnt rows: the library's objects could not be made");
    for (const auto &call : calls) {
        const Paired p = Pair(AlternateCalls(o, {call.library, call.raw}));
        AddRatio("libkstnt " + call.name, Rate(p.measured, "calls"), "client/ " + Rate(p.floor, "calls"), p.ratio, 0.9,
                 true);
    }
}

// What an operation costs: wall time, and the daemon's own CPU time. The scale rows compare the CPU time,
// which waiting for a CPU on a busy machine hardly moves, and each against the same op on items of ten in
// the neighbouring slice, so what the machine's load does to caches and the disk weighs on both.
struct Cost {
    double seconds = -1;  // wall time per operation; negative when an operation failed
    double cpu = -1;      // the daemon's CPU time per operation
};

// The cost of an op repeated for one slice; failed when an op failed.
Cost SliceCost(const Options &o, const kst::bench::Daemon &d, const std::function<bool()> &op)
{
    const double cpu_before = d.CpuSeconds();
    const auto   start = Clock::now();
    long         n = 0;
    do {
        if (!op()) return {};
        ++n;
    } while (SecondsSince(start) < o.slice);
    return {SecondsSince(start) / n, (d.CpuSeconds() - cpu_before) / n};
}

// The lesser of two costs, field by field; a failed one never wins.
Cost Least(const Cost &a, const Cost &b)
{
    if (a.seconds < 0 || b.seconds < 0) return {};
    return {std::min(a.seconds, b.seconds), std::min(a.cpu, b.cpu)};
}

// The cost of at_k, the least over o.slices slices, each slice beside one of at_ten, the same op on the
// pass's items of ten, one before the other by turns; the CPU ratio of each pair is added to growth (as
// one more K's samples). Failed, its samples empty, when an op failed.
Cost CostBesideTen(const Options &o, const kst::bench::Daemon &d, const std::function<bool()> &at_k,
                   const std::function<bool()> &at_ten, std::vector<std::vector<double>> &growth)
{
    Cost                least{1e9, 1e9};
    std::vector<double> ratios;
    for (int s = 0; s < o.slices; ++s) {
        const bool  k_first = s % 2 == 0;
        const Cost  first = SliceCost(o, d, k_first ? at_k : at_ten);
        const Cost  second = SliceCost(o, d, k_first ? at_ten : at_k);
        const Cost &k = k_first ? first : second, &ten = k_first ? second : first;
        if (k.seconds < 0 || ten.seconds < 0) {
            growth.emplace_back();
            return {};
        }
        least = Least(least, k);
        ratios.push_back(k.cpu / ten.cpu);
    }
    growth.push_back(std::move(ratios));
    return least;
}

// This thread's CPU time, user and system, in seconds.
double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Makes items 0..k-1 with make(i) and adds the cost per item of each run of kChunk items to chunks. Their
// median is the cost at about k/2 items, the average when the cost grows with the count; a chunk
// disturbed by the machine's load does not move it.
constexpr int kChunk = 10;
//
// With a floor, each chunk has the floor's own chunk (floor(i) for the same i) beside it, timed by this
// thread's CPU time into floor_chunks, one before the other by turns: both then meet the same directory
// sizes and the same disk moments (the first chunk after a sync finds the file system idle).
// beside(chunk), when given, runs after each chunk (and its floor's) with the chunk's number.
bool CreationCosts(const kst::bench::Daemon &d, int k, const std::function<bool(int)> &make, std::vector<Cost> &chunks,
                   const std::function<bool(int)> &floor = {}, std::vector<Cost> *floor_chunks = nullptr,
                   const std::function<bool(int)> &beside = {})
{
    static int chunks_made = 0;  // which side goes first alternates from chunk to chunk, run after run
    const auto daemon_chunk = [&](int from) {
        const double cpu_before = d.CpuSeconds();
        const auto   start = Clock::now();
        for (int i = from; i < from + kChunk && i < k; ++i)
            if (!make(i)) return false;
        chunks.push_back({SecondsSince(start) / kChunk, (d.CpuSeconds() - cpu_before) / kChunk});
        return true;
    };
    const auto floor_chunk = [&](int from) {
        const double cpu_before = ThreadCpuSeconds();
        const auto   start = Clock::now();
        for (int i = from; i < from + kChunk && i < k; ++i)
            if (!floor(i)) return false;
        floor_chunks->push_back({SecondsSince(start) / kChunk, (ThreadCpuSeconds() - cpu_before) / kChunk});
        return true;
    };
    for (int from = 0; from < k; from += kChunk) {
        const bool ok = !floor                   ? daemon_chunk(from)
                        : chunks_made++ % 2 == 0 ? daemon_chunk(from) && floor_chunk(from)
                                                 : floor_chunk(from) && daemon_chunk(from);
        if (!ok || (beside && !beside(from / kChunk))) return false;
    }
    return true;
}

// The median of each field over rounds or chunks; failed when none succeeded.
Cost MedianCost(const std::vector<Cost> &costs)
{
    std::vector<double> seconds, cpu;
    for (const Cost &r : costs) {
        seconds.push_back(r.seconds);
        cpu.push_back(r.cpu);
    }
    return costs.empty() ? Cost{} : Cost{Median(seconds), Median(cpu)};
}

// The scale rows' costs, one per K. mkdir is the file system's own share of creating a key: the same
// loop of mkdir calls in a directory of K, timed by this thread's CPU time.
struct ScaleCosts {
    std::vector<Cost> create_event, set_reset, create_key, mkdir, query, info, info_after_write, enumerate;
    // Per K, samples taken together over every pass, whose median is the figure (the least of a
    // difference or a ratio of two noisy costs is no cost at all): the daemon's own CPU share of each
    // chunk of key creations and of the ten creations beside them, and for each row on K items the
    // daemon CPU of each slice over that of the same op on the items of ten in the slice beside it.
    std::vector<std::vector<double>> key_own, key_own_reference, set_reset_growth, query_growth, info_growth,
        write_growth, enumerate_growth;
};

// The floor of creating K sibling keys: mkdir of the same names beside each other in a directory of the
// registry's file system, under the same kind of path the daemon builds. A round starts in a new
// directory; an old one leaves the registry by a rename, as the daemon's deleted keys do.
class MkdirFloor {
public:
    bool NewRound()
    {
        std::error_code   ec;
        const std::string trash = std::string(kst::bench::kKestrel) + Format("/work/removed-mkdir-%d", rounds_++);
        if (rename(dir_.c_str(), trash.c_str()) != 0) fs::remove_all(dir_, ec);
        return mkdir(dir_.c_str(), 0777) == 0;
    }
    bool Make(int i) const { return mkdir((dir_ + "//S" + std::to_string(i)).c_str(), 0777) == 0; }
    // A new directory beside the round's, for ten mkdirs as under a new key; "" when it can't be made.
    std::string NewSide()
    {
        const std::string side = dir_ + Format("_SIDE%zu", sides_.size());
        if (mkdir(side.c_str(), 0777) != 0) return "";
        sides_.push_back(side);
        return side;
    }
    ~MkdirFloor()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        for (const std::string &side : sides_)
            fs::remove_all(side, ec);
    }

private:
    std::string              dir_ = std::string(kst::bench::kRegistryDir) + "/HKEY_LOCAL_MACHINE/KSTBENCH_MKDIR";
    std::vector<std::string> sides_;
    int                      rounds_ = 0;
};

// How many times K items are made over. At K=10 a run is one chunk: several runs, one after another so
// each finds the code warm. A run that follows the small ones starts cold (its first few hundred items
// cost up to twice as much as later ones at any K): below 10,000 three runs, so that most chunks are warm.
int CreationRounds(int k)
{
    return k == 10 ? 21 : k < 10000 ? 3 : 1;
}

// Creates K named events on c, kept in events, and returns the median cost of their chunks.
Cost CreateNamedEvents(const kst::bench::Daemon &d, Connection &c, int k, std::vector<uint64_t> &events)
{
    const int         rounds = CreationRounds(k);
    std::vector<Cost> chunks;
    bool              ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        for (uint64_t h : events)
            c.CloseHandle(h);
        events.clear();
        const std::string prefix = Format("BENCH%d_%d_", k, r);
        ok = CreationCosts(
            d, k,
            [&](int i) {
                events.push_back(c.CreateEvent(1, 0, prefix + std::to_string(i)).value_or(0));
                return events.back() != 0;
            },
            chunks);
    }
    return ok ? MedianCost(chunks) : Cost{};
}

// Creates K named events and K sibling keys on c, adding their costs to sc; the events and the parent key
// (its first child open in *first_key) stay for the rows on them.
void CreateScaleItems(const kst::bench::Daemon &d, Connection &c, int k, std::vector<uint64_t> &events,
                      uint64_t &parent, uint64_t &first_key, ScaleCosts &sc)
{
    sc.create_event.push_back(CreateNamedEvents(d, c, k, events));

    const std::string parent_name = Format("KSTBENCH_K%d", k);
    std::vector<Cost> chunks, floor_chunks;
    MkdirFloor        floor;
    bool              ok = true;
    // Beside some two dozen chunks of each K, the same ten creations, and their floor's ten mkdirs, in
    // directories of their own (a new key under HKEY_LOCAL_MACHINE, a new directory beside the floor's):
    // the daemon's own share with ten subkeys in the same disk moments, which the growth is taken
    // against. ext4's costs move by several times between the start of a round, just after a sync, and
    // its middle, so a share measured in other rounds, even at K=10, is no reference.
    // One subkey Si of the key under, closed again unless keep; false on an error word.
    const auto make_subkey = [&c](uint64_t under, int i, bool keep = false) {
        const uint64_t h = c.RegCreateKeyEx(under, "S" + std::to_string(i)).value_or(0);
        return h > 100 && (keep || c.RegCloseKey(h) == 0u) ? h : 0;  // small words are error codes
    };
    std::vector<double>      reference_own;
    std::vector<std::string> reference_keys;
    const int                every = std::max(1, k / kChunk / 24);
    const auto               reference = [&](int chunk) {
        if (chunk % every != every / 2) return true;
        reference_keys.push_back(Format("KSTBENCH_TEN%d_%zu", k, reference_keys.size()));
        const uint64_t    key = c.RegCreateKeyEx(kLocalMachine, reference_keys.back()).value_or(0);
        const std::string side = floor.NewSide();
        const auto        make = [&](int i) { return make_subkey(key, i) != 0; };
        const auto mkdir_beside = [&](int i) { return mkdir((side + "//S" + std::to_string(i)).c_str(), 0777) == 0; };
        std::vector<Cost> made, floor_made;
        const bool done = key > 100 && !side.empty() && CreationCosts(d, kChunk, make, made, mkdir_beside, &floor_made);
        if (key > 100) c.RegCloseKey(key);
        if (done) reference_own.push_back(made[0].cpu - floor_made[0].cpu);
        return done;
    };
    for (int r = 0; r < CreationRounds(k) && ok; ++r) {
        if (first_key) c.RegCloseKey(first_key);
        if (parent) c.RegCloseKey(parent);
        DeleteKey(c, parent_name);
        ok = floor.NewRound();
        SettleFileSystem();
        parent = c.RegCreateKeyEx(kLocalMachine, parent_name).value_or(0);
        ok = ok && CreationCosts(
                       d, k,
                       [&](int i) {
                           const uint64_t h = make_subkey(parent, i, i == 0);
                           if (i == 0) first_key = h;  // kept open for the query row
                           return h != 0;
                       },
                       chunks, [&](int i) { return floor.Make(i); }, &floor_chunks, reference);
        for (const std::string &name : reference_keys)
            DeleteKey(c, name);
        reference_keys.clear();
    }
    SettleFileSystem();  // the reference keys' removals end before the rows on the K keys
    sc.create_key.push_back(ok ? MedianCost(chunks) : Cost{});
    sc.mkdir.push_back(ok ? MedianCost(floor_chunks) : Cost{});
    // The daemon's own CPU share chunk by chunk, each less the floor's chunk right after it: ext4's mkdir
    // cost moves by several times within a run, and neighbours see the same.
    std::vector<double> own;
    for (std::size_t i = 0; ok && i < chunks.size() && i < floor_chunks.size(); ++i)
        own.push_back(chunks[i].cpu - floor_chunks[i].cpu);
    sc.key_own.push_back(ok ? own : std::vector<double>{});
    sc.key_own_reference.push_back(ok ? reference_own : std::vector<double>{});
}

// One pass over every K.
ScaleCosts MeasureScale(const Options &o, const kst::bench::Daemon &d, const std::vector<int> &ks)
{
    Connection c = d.Connect();
    ScaleCosts sc;
    // The items of ten that each row's slices take turns with, through the pass: ten named events and a
    // key of ten subkeys, the first with the value. The machine's load (a neighbour thrashing the caches,
    // the disk's moments) then weighs on both sides of every ratio alike.
    std::vector<uint64_t> ten_events;
    for (int i = 0; i < 10; ++i)
        ten_events.push_back(c.CreateEvent(1, 0, "KSTBENCH_TEN_E" + std::to_string(i)).value_or(0));
    DeleteKey(c, "KSTBENCH_REFERENCE");
    const uint64_t ten = c.RegCreateKeyEx(kLocalMachine, "KSTBENCH_REFERENCE").value_or(0), ten_first = [&] {
        uint64_t first = 0;
        for (int i = 0; i < 10; ++i)
            if (const uint64_t sub = c.RegCreateKeyEx(ten, "S" + std::to_string(i)).value_or(0))
                i == 0 ? void(first = sub) : void(c.RegCloseKey(sub));
        return first;
    }();
    c.RegSetValueEx(ten_first, "V", 3, kValueBytes, std::string(kValueBytes, 'q'));
    SettleFileSystem();
    const auto set_reset = [&c](uint64_t event) {
        return [&c, event] { return c.SetEvent(event) == 0u && c.ResetEvent(event) == 0u; };
    };
    const auto query = [&c](uint64_t key) { return [&c, key] { return c.RegQueryValueEx(key, "V").has_value(); }; };
    const auto info = [&c](uint64_t key, int subkeys) {
        return [&c, key, subkeys] {
            const auto answer = c.RegQueryInfoKey(key);
            return answer && answer->arg1 == static_cast<uint64_t>(subkeys);
        };
    };
    // The same query each time right after a write to the key: the answer follows the change rather than
    // being read again from the directory of K entries.
    const std::string value(kValueBytes, 'w');
    const auto        write_and_query = [&c, &value](uint64_t key, int subkeys) {
        return [&c, &value, key, subkeys] {
            const auto answer =
                c.RegSetValueEx(key, "W", 3, kValueBytes, value) == 0u ? c.RegQueryInfoKey(key) : std::nullopt;
            return answer && answer->arg1 == static_cast<uint64_t>(subkeys) && answer->arg3 == 1u;
        };
    };
    // A walk as a client enumerates, index after index, from the middle of the list on.
    const auto walk = [&c](uint64_t key, int subkeys) {
        return [&c, key, subkeys, index = static_cast<uint64_t>(subkeys / 2)]() mutable {
            const auto entry = c.RegEnumKeyEx(key, index);
            index = index + 1 < static_cast<uint64_t>(subkeys) ? index + 1 : 0;
            return entry && !entry->name.empty();
        };
    };
    for (int k : ks) {
        std::vector<uint64_t> events;
        uint64_t              parent = 0, first_key = 0;
        CreateScaleItems(d, c, k, events, parent, first_key, sc);
        const uint64_t oldest = events.empty() ? 0 : events.front();
        sc.set_reset.push_back(
            CostBesideTen(o, d, set_reset(oldest), set_reset(ten_events.front()), sc.set_reset_growth));
        c.RegSetValueEx(first_key, "V", 3, kValueBytes, std::string(kValueBytes, 'q'));
        sc.query.push_back(CostBesideTen(o, d, query(first_key), query(ten_first), sc.query_growth));
        sc.info.push_back(CostBesideTen(o, d, info(parent, k), info(ten, 10), sc.info_growth));
        sc.info_after_write.push_back(
            CostBesideTen(o, d, write_and_query(parent, k), write_and_query(ten, 10), sc.write_growth));
        sc.enumerate.push_back(CostBesideTen(o, d, walk(parent, k), walk(ten, 10), sc.enumerate_growth));
        for (uint64_t h : events)
            c.CloseHandle(h);
        c.RegCloseKey(first_key);
        c.RegCloseKey(parent);
        DeleteKey(c, Format("KSTBENCH_K%d", k));
        SettleFileSystem();
    }
    for (uint64_t h : ten_events)
        c.CloseHandle(h);
    c.RegCloseKey(ten_first);
    c.RegCloseKey(ten);
    DeleteKey(c, "KSTBENCH_REFERENCE");
    SettleFileSystem();
    return sc;
}

// The least of each cost of every row over two passes; the samples of both passes together.
void KeepLeast(ScaleCosts &best, const ScaleCosts &next)
{
    for (auto field : {&ScaleCosts::create_event, &ScaleCosts::set_reset, &ScaleCosts::create_key, &ScaleCosts::mkdir,
                       &ScaleCosts::query, &ScaleCosts::info, &ScaleCosts::info_after_write, &ScaleCosts::enumerate})
        for (std::size_t i = 0; i < (best.*field).size() && i < (next.*field).size(); ++i)
            (best.*field)[i] = Least((best.*field)[i], (next.*field)[i]);
    for (auto field : {&ScaleCosts::key_own, &ScaleCosts::key_own_reference, &ScaleCosts::set_reset_growth,
                       &ScaleCosts::query_growth, &ScaleCosts::info_growth, &ScaleCosts::write_growth,
                       &ScaleCosts::enumerate_growth})
        for (std::size_t i = 0; i < (best.*field).size() && i < (next.*field).size(); ++i) {
            std::vector<double> &samples = (best.*field)[i];
            const auto          &more = (next.*field)[i];
            if (samples.empty() || more.empty())
                samples.clear();  // a failed pass fails the row
            else
                samples.insert(samples.end(), more.begin(), more.end());
        }
}

// The median of a row's samples at one K; 0 (shown as a miss) when it has none.
double SampleMedian(const std::vector<std::vector<double>> &samples, std::size_t i)
{
    return i < samples.size() && !samples[i].empty() ? Median(samples[i]) : 0;
}

// Per-operation cost of each scale row at each K, and how its CPU time grows from K=10: the least over a few
// passes (one in quick mode), as the machine's load only ever adds to a cost. K=100,000 is measured in the
// first pass only (in quick mode not at all): its creations alone take most of a minute on disk; only its
// named events are made again in the later passes.
void ScaleRows(const Options &o, const kst::bench::Daemon &d)
{
    std::vector<int> ks = {10, 1000, 10000};
    if (!o.quick) ks.push_back(100000);
    ScaleCosts best = MeasureScale(o, d, ks);
    ks.resize(3);
    for (int pass = 1; pass < (o.quick ? 1 : 3); ++pass) {
        KeepLeast(best, MeasureScale(o, d, ks));
        // K=100,000 named events take seconds where the keys take most of a minute: they are made again
        // in each pass, so that their row too is the least over passes rather than one pass's luck.
        if (best.create_event.size() < 4) continue;
        Connection            c = d.Connect();
        std::vector<uint64_t> events;
        best.create_event[3] = Least(best.create_event[3], CreateNamedEvents(d, c, 100000, events));
        for (uint64_t h : events)
            c.CloseHandle(h);
    }
    if (!o.quick) ks.push_back(100000);
    const auto rows = [&](const char *what, const std::vector<Cost> &cost, const std::vector<Cost> *floor,
                          const std::vector<std::vector<double>> *growth = nullptr) {
        for (std::size_t i = 0; i < ks.size() && i < cost.size(); ++i) {
            const std::string name = Format("%s, K=%d", what, ks[i]);
            const std::string measured = Duration(cost[i].seconds) + "/op, CPU " + Duration(cost[i].cpu);
            const std::string mkdir = floor ? Format("mkdir CPU %s (%.2fx)", Duration((*floor)[i].cpu).c_str(),
                                                     (*floor)[i].cpu / (*floor)[0].cpu)
                                            : "";
            // Beside a floor the bound applies to the daemon's own share (the row after these).
            if (i == 0 || floor)
                Add({name, measured, mkdir, i == 0 ? "" : Format("%.2fx", cost[i].cpu / cost[0].cpu), "", ""});
            else if (growth)
                AddRatio(name, measured, "the same on ten, same moments", SampleMedian(*growth, i), 1.2, false);
            else
                AddRatio(name, measured, "daemon CPU per op at K=10", cost[i].cpu / cost[0].cpu, 1.2, false);
        }
    };
    rows("set+reset, oldest of K named events", best.set_reset, nullptr, &best.set_reset_growth);
    rows("value query, first of K sibling keys", best.query, nullptr, &best.query_growth);
    rows("RegQueryInfoKey of a key with K subkeys", best.info, nullptr, &best.info_growth);
    rows("RegQueryInfoKey after a write to the key, K subkeys", best.info_after_write, nullptr, &best.write_growth);
    rows("RegEnumKeyEx walk of K subkeys", best.enumerate, nullptr, &best.enumerate_growth);
    rows("create K named events", best.create_event, nullptr);
    rows("create K sibling keys (floor: the same mkdirs)", best.create_key, &best.mkdir);
    // What the daemon adds to the file system's own cost, at each K against K=10.
    for (std::size_t i = 1; i < ks.size() && i < best.key_own.size(); ++i) {
        const double own = SampleMedian(best.key_own, i), ten = SampleMedian(best.key_own_reference, i);
        AddRatio(Format("  the same less its mkdir, K=%d", ks[i]), Format("CPU %.1f us", own * 1e6),
                 Format("ten keys, same moments %.1f us", ten * 1e6), ten > 0 ? own / ten : 0, 1.2, false);
    }
}

// Resident memory once it has stopped moving; a parked call's record is built after its reply is due.
long SettledRss(const kst::bench::Daemon &d)
{
    long last = -2, now = d.RssKb();
    for (int i = 0; i < 50 && now != last; ++i) {
        poll(nullptr, 0, 20);
        last = now;
        now = d.RssKb();
    }
    return now;
}

// A memory row: bytes per item (negative when the step failed) and how many items were made.
void AddBytes(const std::string &scenario, double per, int count, double bound)
{
    const std::string goal = bound > 0 ? "<= " + Bytes(bound) : "";
    Add({scenario, per < 0 ? "failed" : Bytes(per), Format("RSS slope over %d", count), "", goal,
         bound > 0 && per >= 0 ? (per <= bound ? "ok" : "MISS") : ""});
}

// Runs add(i) for i in [0, n) and returns the daemon's resident bytes per item from n/5 on; -1 when an add
// failed.
template <class Add> double Slope(const kst::bench::Daemon &d, int n, Add &&add)
{
    long first = -1;
    for (int i = 0; i < n; ++i) {
        if (i == n / 5) first = SettledRss(d);
        if (!add(i)) return -1.0;
    }
    const long last = SettledRss(d);
    return first < 0 || last < 0 ? -1.0 : (last - first) * 1024.0 / (n - n / 5);
}

// Memory rows, each on a fresh daemon. Each figure is a slope: resident memory after the last items less
// that after the first fifth, over the items in between, so memory the allocator already held (freed
// buffers of start-up and of the first calls) is used up before the count starts and hides nothing.
void MemoryRows(const Options &o)
{
    const auto fresh = [&](const char *what, auto &&step) {
        kst::bench::Daemon d(o.daemon);
        if (!d.Start()) return Note(std::string(what) + ": the daemon did not start");
        Connection c = d.Connect();
        step(d, c);
    };
    fresh("memory per named event", [&](const kst::bench::Daemon &d, Connection &c) {
        const double per = Slope(
            d, kMemoryItems, [&](int i) { return c.CreateEvent(1, 0, "MEM_" + std::to_string(i)).value_or(0) != 0; });
        AddBytes("memory per named event (object + handle)", per, kMemoryItems * 4 / 5, 0);
    });
    fresh("memory per key", [&](const kst::bench::Daemon &d, Connection &c) {
        const uint64_t parent = c.RegCreateKeyEx(kLocalMachine, "KSTBENCH_MEM").value_or(0);
        const double   per = Slope(d, kMemoryItems, [&](int i) {
            const uint64_t h = c.RegCreateKeyEx(parent, "S" + std::to_string(i)).value_or(0);
            return h != 0 && c.RegCloseKey(h).has_value();
        });
        AddBytes("memory per key", per, kMemoryItems * 4 / 5, 160);
        DeleteKey(c, "KSTBENCH_MEM");
    });
    fresh("memory per parked wait", [&](const kst::bench::Daemon &d, Connection &c) {
        std::vector<Connection> conns(kMemoryConnections);
        bool                    connected = true;
        for (Connection &w : conns)
            connected = connected && w.Connect(d.port()) && w.Null();

        // One wait parked per connection per round; a connection's calls park one after another.
        const uint64_t gate = c.CreateEvent(1, 0, "").value_or(0);
        const double   per_wait =
            Slope(d, kParkRounds,
                  [&](int) {
                      bool sent = true;
                      for (Connection &w : conns)
                          sent = w.SendCall(kst::proc::kWaitSingle, kst::EncodeWord(gate), w.NextXid()) && sent;
                      return c.Null() && sent;  // answered after the daemon read what came before it
                  }) /
            kMemoryConnections;
        // They must really have been parked: nothing answered until the gate opens, then every one.
        bool parked =
            connected && conns.front().NoReplyWithin(0) && conns.back().NoReplyWithin(0) && c.SetEvent(gate) == 0u;
        for (Connection &w : conns)
            for (int round = 0; round < kParkRounds; ++round) {
                const auto reply = w.ReadReply();
                parked = parked && reply && reply->Word() == gate;
            }
        AddBytes("memory per parked wait", parked ? per_wait : -1, kMemoryConnections * (kParkRounds - kParkRounds / 5),
                 169);
    });
}

// Parks a wait on gate on each of conns[0, n); true when all were sent and the daemon has read them.
bool ParkOn(std::vector<Connection> &conns, int n, Connection &c, uint64_t gate)
{
    bool sent = gate != 0;
    for (int i = 0; i < n; ++i) {
        Connection &w = conns[static_cast<std::size_t>(i)];
        sent = w.SendCall(kst::proc::kWaitSingle, kst::EncodeWord(gate), w.NextXid()) && sent;
    }
    return c.Null() && sent && conns.front().NoReplyWithin(0);
}

// A crowd row: the ratio to its floor beside the crowd against the same ratio without it.
void AddCrowdRatio(const std::string &what, const char *unit, const Paired &alone, const Paired &crowded)
{
    const bool floors = alone.floor > 0 && crowded.floor > 0;
    AddRatio(what + ", beside the crowd", Rate(crowded.measured, unit),
             Format("alone %s%s", Rate(alone.measured, unit).c_str(), floors ? ", per floor" : ""),
             floors ? crowded.ratio / alone.ratio : crowded.measured / alone.measured, 0.9, true);
}

// Idle crowds, on a fresh daemon: null calls on kConnections connections and the handoff, each against
// its floor, alone and then beside kCrowd idle connections (one call each) of which kCrowdWaits hold a
// parked wait. The memory row is the slope of the crowd's connections.
void CrowdRows(const Options &o, uint16_t echo_port, uint16_t redis_port)
{
    kst::bench::Daemon d(o.daemon);
    if (!d.Start()) return Note("idle crowd: the daemon did not start");
    const Paired            nulls = ManyNulls(o, d, echo_port), handoff = Handoff(o, d, redis_port);
    std::vector<Connection> crowd(kCrowd);
    const double            per = Slope(d, kCrowd, [&](int i) {
        Connection &w = crowd[static_cast<std::size_t>(i)];
        return w.Connect(d.port()) && w.Null();
    });
    AddBytes(Format("memory per idle connection (after one call), %d", kCrowd), per, kCrowd * 4 / 5, 1536);
    Connection c = d.Connect();
    if (per < 0 || !ParkOn(crowd, kCrowdWaits, c, c.CreateEvent(1, 0, "").value_or(0)))
        return Note(Format("idle crowd: %d connections with %d parked waits could not be made", kCrowd, kCrowdWaits));
    Note(Format("the crowd: %d idle connections, %d of them with a parked wait", kCrowd, kCrowdWaits));
    AddCrowdRatio(Format("null call, %d connections", kConnections), "calls", nulls, ManyNulls(o, d, echo_port));
    AddCrowdRatio("parked-wait handoff", "handoffs", handoff, Handoff(o, d, redis_port));
}

std::string FileSystemOf(const char *path)
{
    struct statfs s {};
    if (statfs(path, &s) != 0) return "?";
    switch (s.f_type) {
    case 0x01021994:
        return "tmpfs";
    case 0xEF53:
        return "ext4";
    case 0x9123683E:
        return "btrfs";
    case 0x58465342:
        return "xfs";
    default:
        return Format("fs 0x%lx", static_cast<unsigned long>(s.f_type));
    }
}

// Lays out HKEY_LOCAL_MACHINE\KSTBENCH_TREE on disk: kTreeGroups group keys with keys/kTreeGroups keys below
// each, and on one key in kValuedEvery kValuesPerKey values.
bool PrepareTree(int keys)
{
    const std::string top = std::string(kst::bench::kRegistryDir) + "/HKEY_LOCAL_MACHINE/KSTBENCH_TREE";
    if (mkdir(top.c_str(), 0755) != 0) return false;
    const int         per_group = keys / kTreeGroups;
    const std::string value = std::string("\1\0\0\0\20\0\0\0", 8) + std::string(16, 'v');  // REG_SZ, 16 bytes
    for (int g = 0; g < kTreeGroups; ++g) {
        const std::string group = top + Format("/G%03d", g);
        if (mkdir(group.c_str(), 0755) != 0) return false;
        for (int k = 0; k < per_group; ++k) {
            const std::string key = group + Format("/K%05d", k);
            if (mkdir(key.c_str(), 0755) != 0) return false;
            for (int v = 0; (g * per_group + k) % kValuedEvery == 0 && v < kValuesPerKey; ++v) {
                const UniqueFd f(open((key + Format("/V_V%d", v)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                if (!f || write(f.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size()))
                    return false;
            }
        }
    }
    return true;
}

// Takes the tree out of the registry at once; the directory it goes to is removed with the scratch
// directory after the run (bench/run), or with nsrun's tmpfs. A tree on a tmpfs of its own is removed.
void RemoveTree()
{
    static int        removed = 0;
    const std::string trash = std::string(kst::bench::kKestrel) + Format("/work/removed-tree-%d", removed++);
    const std::string tree = std::string(kst::bench::kRegistryDir) + "/HKEY_LOCAL_MACHINE/KSTBENCH_TREE";
    std::error_code   ec;
    if (rename(tree.c_str(), trash.c_str()) != 0) fs::remove_all(tree, ec);  // on the registry's own tmpfs
}

// Longest null call of another client while the daemon deletes the start-up tree.
void StallRow(const kst::bench::Daemon &d)
{
    Connection        caller = d.Connect(), deleter = d.Connect();
    std::atomic<bool> stop = false;
    double            worst = 0;
    bool              ok = true;
    std::thread       loop([&] {
        while (!stop && ok) {
            const auto start = Clock::now();
            ok = caller.Call(kst::proc::kNull, {}, kLongCallMs).has_value();
            worst = std::max(worst, SecondsSince(start));
        }
    });
    poll(nullptr, 0, 50);  // the loop is running before the delete starts
    const auto   start = Clock::now();
    const bool   deleted = DeleteKey(deleter, "KSTBENCH_TREE");
    const double took = SecondsSince(start);
    poll(nullptr, 0, 50);
    stop = true;
    loop.join();
    const bool good = ok && deleted;
    Add({"delete of that tree: longest null call of another client", good ? Duration(worst) : "failed",
         "delete took " + Duration(deleted ? took : -1), "", Format("<= %d ms", kStallBoundMs),
         good ? (worst * 1000 <= kStallBoundMs ? "ok" : "MISS") : ""});
}

// One round of every procedure on one connection, each answered without waiting for another client (a wait
// on a signalled manual-reset event, an asynchronous registration, a flush that parks only for the disk);
// the calls made, 0 when one went unanswered.
int MixedRound(Connection &c, const std::string &name, const std::string &data)
{
    const uint64_t e = c.CreateEvent(1, 1, name).value_or(0), m = c.CreateMutex(0, 1, name).value_or(0),
                   s = c.CreateSemaphore(1, 2, name).value_or(0),
                   key = c.RegCreateKeyEx(kLocalMachine, name).value_or(0);
    const uint64_t                handles[] = {e};
    const std::optional<uint64_t> words[] = {c.SetEvent(e),
                                             c.ResetEvent(e),
                                             c.SetEvent(e),
                                             c.OpenEvent(name),
                                             c.WaitForSingleObject(e),
                                             c.WaitForMultipleObjects(1, 0, handles),
                                             c.CancelWaitSingle(e),
                                             c.CancelWaitMultiple(1, handles),
                                             c.OpenMutex(name),
                                             c.ReleaseMutex(m),
                                             c.OpenSemaphore(name),
                                             c.ReleaseSemaphore(s, 1),
                                             c.RegOpenKeyEx(kLocalMachine, name),
                                             c.RegSetValueEx(key, "V", 3, data.size(), data),
                                             c.RegNotifyChangeKeyValue({key, 0, 0, e, 1}),
                                             c.CancelRegNotify({key}),
                                             c.RegFlushKey(key),
                                             c.RegCreateKeyEx(key, "SUB"),
                                             c.RegDeleteKey(key, "SUB"),
                                             c.RegCloseKey(key)};
    const bool others = c.RegQueryValueEx(key, "V") && c.RegEnumValue(key, 0) && c.RegEnumKeyEx(kLocalMachine, 0) &&
                        c.RegQueryInfoKey(key) && c.RegDeleteValue(key, "V") && c.Null();
    bool ok = e && m && s && key && others;
    for (const auto &word : words)
        ok = ok && word.has_value();
    for (const uint64_t h : {e, e, m, m, s, s})  // each was opened once besides its creation
        ok = c.CloseHandle(h).has_value() && ok;
    return ok ? static_cast<int>(std::size(words)) + 6 + 6 + 4 : 0;
}

// Latency of the null call of a fresh connection, made over and over for `seconds`; empty on a failure.
std::vector<double> FreshNullLatencies(const kst::bench::Daemon &d, double seconds)
{
    std::vector<double> took;
    const auto          start = Clock::now();
    while (SecondsSince(start) < seconds) {
        Connection c = d.Connect();
        const auto call = Clock::now();
        if (!c.Null()) return {};
        took.push_back(SecondsSince(call));
    }
    return took;
}

// A fresh connection's null call beside 8 connections that run every procedure in turn, against the same
// without them: no call of the mix, a flush and the removals included, may hold the loop.
void MixedRow(const Options &o, const kst::bench::Daemon &d)
{
    constexpr int             kWorkers = 8;
    const double              seconds = o.quick ? 1.0 : 3.0;
    const std::vector<double> alone = FreshNullLatencies(d, seconds);
    std::atomic<bool>         stop = false, failed = false;
    std::atomic<long>         calls = 0;
    std::vector<std::thread>  workers;
    const std::string         data(kValueBytes, 'm');
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            Connection        c = d.Connect();
            const std::string name = "KSTBENCH_MIX" + std::to_string(w);
            while (!stop && !failed) {
                const int made = MixedRound(c, name, data);
                failed = made == 0;
                calls += made;
            }
        });
    const auto                start = Clock::now();
    const std::vector<double> beside = FreshNullLatencies(d, seconds);
    const double              took = SecondsSince(start);
    stop = true;
    for (std::thread &t : workers)
        t.join();
    const bool   good = !failed && !alone.empty() && !beside.empty();
    const double p99 = Quantile(beside, 0.99);
    Add({"fresh connection's null call p99 beside 8 mixed clients",
         good ? "p99 " + Duration(p99) + ", median " + Duration(Quantile(beside, 0.5)) : "failed",
         "alone p99 " + Duration(Quantile(alone, 0.99)) + Format("; mix %.0f calls/s", calls / took), "",
         Format("<= %.0f ms", kMixedFreshMs), good ? (p99 * 1000 <= kMixedFreshMs ? "ok" : "MISS") : ""});
    Connection cleanup = d.Connect();
    for (int w = 0; w < kWorkers; ++w)
        DeleteKey(cleanup, "KSTBENCH_MIX" + std::to_string(w));
}

// A tmpfs of this mount namespace over the registry, for the million keys: laying out and removing a
// million directories on a disk file system would take minutes of the run. False when it can't be mounted.
bool RegistryOnTmpfs()
{
    if (mount("tmpfs", kst::bench::kRegistryDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) return false;
    for (const char *root : {"HKEY_CLASS_ROOT", "HKEY_LOCAL_MACHINE"})
        if (mkdir((std::string(kst::bench::kRegistryDir) + "/" + root).c_str(), 0755) != 0) return false;
    return true;
}

// One start-up with `keys` keys laid out; its time row, and the daemon's settled RSS in KiB (-1 if none).
long StartWithKeys(const Options &o, int keys, double empty_start, bool stall)
{
    if (!PrepareTree(keys)) {
        Note(Format("could not lay out %d keys", keys));
        return -1;
    }
    sync();
    kst::bench::Daemon d(o.daemon);
    const auto         took = d.Start();
    const double       bound = keys >= 1000000 ? 5.0 : keys >= 100000 ? 1.5 : 0;
    const std::string  name =
        Format("start-up, %d+%d keys, %d values", keys, kTreeGroups, keys / kValuedEvery * kValuesPerKey);
    Add({name, took ? Duration(*took) : "failed",
         "empty registry " + Duration(empty_start) + "; this on " + FileSystemOf(kst::bench::kRegistryDir), "",
         bound > 0 ? Format("<= %.1f s", bound) : "", took && bound > 0 ? (*took <= bound ? "ok" : "MISS") : ""});
    const long rss = took ? SettledRss(d) : -1;
    if (took && stall) StallRow(d);
    d.Stop();
    RemoveTree();
    return rss;
}

// Start-up with 10,000 keys, and without --quick 100,000 (its tree then deleted beside another client's
// calls) and 1,000,000 (on a tmpfs); memory per key as the slope over the larger trees.
void StartupRows(const Options &o, double empty_start)
{
    const long small = StartWithKeys(o, 10000, empty_start, o.quick);
    if (o.quick) return;
    const long large = StartWithKeys(o, 100000, empty_start, true);
    if (small > 0 && large > 0)
        AddBytes("  memory per key loaded at start-up, 100,000", (large - small) * 1024.0 / 90000, 90000, 160);
    if (!RegistryOnTmpfs()) return Note("no tmpfs for the start-up with 1,000,000 keys");
    const long base = StartWithKeys(o, 10000, empty_start, false), huge = StartWithKeys(o, 1000000, empty_start, false);
    umount2(kst::bench::kRegistryDir, MNT_DETACH);
    if (base > 0 && huge > 0)
        AddBytes("  memory per key loaded at start-up, 1,000,000", (huge - base) * 1024.0 / 990000, 990000, 160);
}

// The one-minute load average, as /proc/loadavg writes it.
std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string   load;
    loadavg >> load;
    return load;
}

void PrintTable(const Options &o, const std::string &cpus, const std::string &load_at_start, double took)
{
    const std::time_t now = std::time(nullptr);
    char              when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf("\nKSTntserver benchmark, %s: daemon %s\nregistry on %s, run on %s, load average %s at "
                "start and %s at end, %s mode, %.0f s\n\n",
                when, o.daemon.c_str(), FileSystemOf(kst::bench::kKestrel).c_str(), cpus.c_str(), load_at_start.c_str(),
                LoadAverage().c_str(), o.quick ? "quick" : "full", took);
    std::printf("%-58s %-26s %-34s %-7s %-9s %s\n", "scenario", "measured", "floor (same run)", "ratio", "goal", "");
    for (const Row &r : g_rows)
        std::printf("%-58s %-26s %-34s %-7s %-9s %s\n", r.scenario.c_str(), r.measured.c_str(), r.floor.c_str(),
                    r.ratio.c_str(), r.goal.c_str(), r.verdict.c_str());
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            o.quick = true;
            o.slice = 0.03;
            o.slices = 8;
        } else if (i + 1 < argc && arg == "--daemon") {
            o.daemon = argv[++i];
        } else if (i + 1 < argc && arg == "--echo") {
            o.echo = argv[++i];
        } else if (i + 1 < argc && arg == "--pingpong") {
            o.pingpong = argv[++i];
        } else if (i + 1 < argc && arg == "--only") {
            o.only = argv[++i];
        } else if (i + 1 < argc && arg == "--scratch") {
            o.scratch = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

// Puts /opt/orn/kestrel on the scratch directory when one is given, and lays out the daemon's tree.
bool PrepareKestrel(const Options &o)
{
    std::error_code ec;
    if (!o.scratch.empty()) {
        fs::create_directories(o.scratch, ec);
        if (mount(o.scratch.c_str(), kst::bench::kKestrel, nullptr, MS_BIND, nullptr) != 0) return false;
        for (const auto &e : fs::directory_iterator(kst::bench::kKestrel, ec))
            fs::remove_all(e.path(), ec);
    }
    for (const char *dir : {"registry/HKEY_CLASS_ROOT", "registry/HKEY_LOCAL_MACHINE", "data", "work"})
        fs::create_directories(std::string(kst::bench::kKestrel) + "/" + dir, ec);
    return !ec;
}

// Ten thousand connections on this side and on the daemon's, which inherits the limit and serves three
// fifths of it: raised, hard limit too, inside the sandbox only; else the soft limit up to the hard one.
void RaiseDescriptorLimits()
{
    rlimit limit{kDescriptors, kDescriptors};
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: kstbench [--quick] [--only SECTION] [--daemon PATH] [--echo PATH] [--pingpong PATH] "
                     "[--scratch DIR]\n");
        return 2;
    }
    if (getpid() != 1) {
        std::fprintf(stderr, "kstbench runs only as pid 1 of tools/nsrun's namespaces: use bench/run\n");
        return 125;
    }
    const auto        start = Clock::now();
    const std::string load_at_start = LoadAverage();
    RaiseDescriptorLimits();
    const std::string cpus = kst::bench::PlaceClients();
    o.pinned = cpus.starts_with("1 of");
    kst::bench::SyslogSink syslog;
    if (!PrepareKestrel(o) || !syslog.Start() || !kst::StartRpcbind()) {
        std::fprintf(stderr, "kstbench: cannot set up the sandbox (kestrel tree, /dev/log, rpcbind)\n");
        return 1;
    }
    const uint16_t echo_port = kst::bench::FreePort(40000);
    const pid_t    echo = StartEcho(o, echo_port, {});
    if (echo < 0) {
        std::fprintf(stderr, "kstbench: the echo server %s did not start\n", o.echo.c_str());
        return 1;
    }
    const uint16_t pingpong_port = kst::bench::FreePort(echo_port + 1);
    const pid_t    pingpong = StartFloor(o.pingpong, pingpong_port);
    const uint16_t redis_port = kst::bench::FreePort(pingpong_port + 1);
    const pid_t    redis = kst::bench::StartRedis(redis_port);
    kst::bench::PlaceFloor(redis);
    if (redis < 0) Note("Redis rows skipped: /usr/bin/redis-server is not installed or did not start");

    double empty_start = -1;
    {
        kst::bench::Daemon d(o.daemon);
        const auto         took = d.Start();
        if (!took) {
            std::fprintf(stderr, "kstbench: %s did not become ready\n", o.daemon.c_str());
            return 1;
        }
        empty_start = *took;
        if (o.Wants("speed")) {
            std::fprintf(stderr, "speed against floors:\n");
            NullRows(o, d, echo_port);
            ValueRows(o, d);
            BareFloor bare;
            if (pingpong > 0) {
                bare.port = pingpong_port;
                bare.pid = pingpong;
            }
            HandoffRow(o, d, redis < 0 ? 0 : redis_port, bare);
        }
        if (o.Wants("stall")) {
            std::fprintf(stderr, "a flush beside other calls:\n");
            FlushStallRow(o, d);
            MixedRow(o, d);
        }
        if (o.Wants("library")) {
            std::fprintf(stderr, "libkstnt beside the raw client:\n");
            LibraryRows(o, d);
        }
        if (o.Wants("scale")) {
            std::fprintf(stderr, "scale:\n");
            ScaleRows(o, d);
        }
    }
    if (o.Wants("memory")) {
        std::fprintf(stderr, "memory:\n");
        MemoryRows(o);
    }
    if (o.Wants("crowd")) {
        std::fprintf(stderr, "idle crowd:\n");
        CrowdRows(o, echo_port, redis < 0 ? 0 : redis_port);
    }
    if (o.Wants("start-up")) {
        std::fprintf(stderr, "start-up:\n");
        StartupRows(o, empty_start);
        if (o.quick) Note("quick mode: no start-up with 100,000 and 1,000,000 keys");
    }

    kst::bench::EndChild(echo, 2000);
    if (pingpong > 0) kst::bench::EndChild(pingpong, 2000);
    if (redis > 0) kst::bench::EndChild(redis, 2000);
    PrintTable(o, cpus, load_at_start, SecondsSince(start));
    return 0;
}
