// main.cpp: kstctl, the operator's tool: finds the subcommand and hands it the rest of the command line.
#include "tools/kstctl/kstctl.h"
#include "tools/kstctl/live.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace kstctl {
namespace {

struct Subcommand {
    const char *name;                   // first word after kstctl
    int (*run)(int argc, char **argv);  // argv[0] is the name
    const char *summary;                // one line for kstctl --help
};

constexpr std::array kSubcommands{
    Subcommand{"reg", RunReg, "query, edit, export, import and compare registry keys"},
    Subcommand{"event", RunEvent, "create, set or reset a named event"},
    Subcommand{"mutex", RunMutex, "create a named mutex"},
    Subcommand{"sem", RunSem, "create or release a named semaphore"},
    Subcommand{"wait", RunWait, "wait for named objects, with a time-out"},
    Subcommand{"run", RunRun, "run a command while holding a named mutex"},
    Subcommand{"ping", RunPing, "check that the daemon answers (portmapper and null call)"},
    Subcommand{"policy", RunPolicy, "show the access policy, or test a request against it"},
    Subcommand{"status", RunStatus, "the daemon's figures (control socket)"},
    Subcommand{"objects", RunObjects, "every object with its state and waiters (control socket)"},
    Subcommand{"connections", RunConnections, "every client connection (control socket)"},
    Subcommand{"registrations", RunRegistrations, "registry change registrations (control socket)"},
    Subcommand{"disconnect", RunDisconnect, "drop one client connection (control socket)"},
    Subcommand{"trace-calls", RunTraceCalls, "per-call trace lines in syslog on or off (control socket)"},
};

int MainHelp()
{
    std::printf("Usage: kstctl SUBCOMMAND [ARGUMENTS...]\n"
                "       kstctl SUBCOMMAND --help\n\n"
                "The operator's tool for KSTntserver. Subcommands:\n");
    for (const Subcommand &s : kSubcommands)
        std::printf("  %-14s %s\n", s.name, s.summary);
    std::printf("\nExit status: 0 success, 1 failure, 2 differences (reg compare), 64 usage error,\n"
                "69 daemon unreachable, 75 time-out, 77 permission denied. See kstctl(8).\n");
    return kExitOk;
}

}  // namespace
}  // namespace kstctl

int main(int argc, char **argv)
{
    using namespace kstctl;
    if (argc < 2) return UsageError("missing subcommand");
    const std::string_view word = argv[1];
    if (word == "--help" || word == "-h" || word == "help") return MainHelp();
    for (const Subcommand &s : kSubcommands) {
        if (word != s.name) continue;
        SetCommandName(std::string("kstctl ") + s.name);
        return s.run(argc - 1, argv + 1);
    }
    return UsageError("unknown subcommand '%s'", argv[1]);
}
