// ping.cpp: kstctl ping: is the daemon up? Asks the portmapper for the program's port and makes the null
// call there, without the control socket, so monitoring needs no privileges.
#include "client/client.h"
#include "tools/kstctl/args.h"
#include "tools/kstctl/kstctl.h"

#include <cstdlib>

namespace kstctl {
namespace {

constexpr char kHelp[] = "Usage: kstctl ping [--timeout DURATION]\n\n"
                         "Asks the portmapper at 127.0.0.1 for KSTntserver's port (or takes KSTNT_PORT from the\n"
                         "environment) and makes the null call there. Prints nothing and exits 0 when the daemon\n"
                         "answers; otherwise prints one line saying why and exits 69. DURATION bounds each step\n"
                         "(default 2s).\n";

enum Option { kTimeout };
constexpr OptionSpec kOptions[] = {{nullptr, "timeout", true, kTimeout}};

}  // namespace

int RunPing(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kHelp);
    ParsedArgs  args;
    std::string error;
    if (!ParseArgs(argc, argv, kOptions, args, error)) return UsageError("%s", error.c_str());
    if (!args.words.empty()) return UsageError("unexpected argument '%s'", args.words[0].c_str());
    uint32_t timeout_ms = 2000;
    for (const ParsedOption &o : args.options) {
        const auto ms = ParseDurationMs(o.arg);
        if (!ms || *ms > 3'600'000) return UsageError("bad duration '%s'", o.arg.c_str());
        timeout_ms = *ms;
    }
    const int ms = static_cast<int>(timeout_ms);

    uint16_t port = 0;
    if (const char *fixed = std::getenv("KSTNT_PORT"); fixed && *fixed) {
        const auto p = ParseNumber(fixed, 65535);
        if (!p || *p == 0) return Fail(kExitUsage, "KSTNT_PORT='%s' is not a port number", fixed);
        port = static_cast<uint16_t>(*p);
    } else {
        const auto registered = kst::PmapGetPort(kst::kProgram, kst::kVersion, kst::kIpprotoTcp, ms);
        if (!registered) return Fail(kExitUnavailable, "down: no portmapper answers at 127.0.0.1:111");
        if (*registered == 0)
            return Fail(kExitUnavailable, "down: program %u version %u is not registered with the portmapper",
                        kst::kProgram, kst::kVersion);
        port = *registered;
    }
    kst::Connection conn;
    if (!conn.Connect(port)) return Fail(kExitUnavailable, "down: %s", conn.error().c_str());
    const auto reply = conn.Call(kst::proc::kNull, {}, ms);
    if (!reply) return Fail(kExitUnavailable, "down: port %u: %s", port, conn.error().c_str());
    if (!reply->succeeded()) return Fail(kExitUnavailable, "down: port %u refused the null call", port);
    return kExitOk;
}

}  // namespace kstctl
