// live.h: the live-view subcommands, answered by the daemon over its control socket
// (/run/KSTntserver.ctl) instead of the RPC program.
//
// Each entry follows the subcommand convention of kstctl.h: argv[0] is the subcommand's name, --help
// prints its help, and the result is an exit status from kstctl.h (kExitUnavailable when the socket
// can't be reached, kExitNoPermission when the daemon refuses the caller).
#pragma once

namespace kstctl {

int RunStatus(int argc, char **argv);         // kstctl status [--json]
int RunObjects(int argc, char **argv);        // kstctl objects [--json]
int RunConnections(int argc, char **argv);    // kstctl connections [--json]
int RunRegistrations(int argc, char **argv);  // kstctl registrations [--json]
int RunDisconnect(int argc, char **argv);     // kstctl disconnect CONN
int RunTraceCalls(int argc, char **argv);     // kstctl trace-calls [on|off]

}  // namespace kstctl
