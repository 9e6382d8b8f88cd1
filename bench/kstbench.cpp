// kstbench.cpp: round-trip throughput of a running KSTntserver (found through the portmapper):
// null calls, an event handed back and forth between two connections, and registry value writes
// and reads. Counts are bounded; run it against a test daemon, never a production registry key.
#include "client/client.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// Runs op count times and prints rounds per second; false as soon as one call fails.
bool Measure(const char *what, int count, const std::function<bool()> &op)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        if (!op()) {
            std::fprintf(stderr, "%s: call %d failed\n", what, i);
            return false;
        }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-34s %7d rounds %8.0f rounds/s %6.1f us/round\n", what, count, count / took.count(),
                took.count() * 1e6 / count);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    const auto port = kst::PmapGetPort();
    kst::Connection a, b;
    if (count <= 0 || !port || *port == 0 || !a.Connect(*port) || !b.Connect(*port)) {
        std::fprintf(stderr, "usage: kstbench [calls]; KSTntserver must be running and registered\n");
        return 2;
    }
    const uint64_t ev = a.CreateEvent(0, 0, "").value_or(0);
    const uint64_t key = a.RegCreateKeyEx(2, "KSTBENCH").value_or(0);
    const std::string data(100, 'x');
    const bool ok =
        Measure("null procedure", count, [&] { return a.Null(); }) &&
        Measure("create + close event", count / 2,
                [&] { return a.CloseHandle(a.CreateEvent(0, 0, "").value_or(0)) == 0u; }) &&
        // b parks a wait, a signals it: two calls and one deferred reply per round.
        Measure("parked wait answered by SetEvent", count / 2, [&] {
            const uint32_t xid = b.NextXid();
            return b.SendCall(kst::proc::kWaitSingle, kst::EncodeWord(ev), xid) && a.SetEvent(ev) == 0u &&
                   b.ReadReply().has_value();
        }) &&
        Measure("RegSetValueEx 100 bytes", count / 4, [&] { return a.RegSetValueEx(key, "V", 3, 100, data) == 0u; }) &&
        Measure("RegQueryValueEx 100 bytes", count / 4, [&] { return a.RegQueryValueEx(key, "V").has_value(); });
    a.RegDeleteKey(2, "KSTBENCH");
    a.CloseHandle(ev);
    return ok ? 0 : 1;
}
