// live.cpp: placeholder for the live-view subcommands until the control-socket client lands here.
#include "tools/kstctl/kstctl.h"
#include "tools/kstctl/live.h"

namespace kstctl {
namespace {

int NotAvailable(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp("this build of kstctl has no live view\n");
    return Fail(kExitUnavailable, "not available in this build");
}

}  // namespace

int RunStatus(int argc, char **argv) { return NotAvailable(argc, argv); }
int RunObjects(int argc, char **argv) { return NotAvailable(argc, argv); }
int RunConnections(int argc, char **argv) { return NotAvailable(argc, argv); }
int RunRegistrations(int argc, char **argv) { return NotAvailable(argc, argv); }
int RunDisconnect(int argc, char **argv) { return NotAvailable(argc, argv); }

}  // namespace kstctl
