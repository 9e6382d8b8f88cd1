// kstctl.h: what every kstctl subcommand shares: exit statuses, messages and the help convention.
//
// A subcommand is a function `int RunX(int argc, char **argv)` with argv[0] naming the subcommand; it
// answers --help on stdout with status 0, writes results only to stdout and errors only to stderr, and
// returns one of the statuses below (kstctl(8) lists them for administrators).
#pragma once

#include <cstdarg>
#include <string_view>

namespace kstctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;        // the daemon refused, or a file or value was wrong
inline constexpr int kExitDifferent = 2;      // reg compare: the registry and the file differ
inline constexpr int kExitUsage = 64;         // bad command line (sysexits EX_USAGE)
inline constexpr int kExitUnavailable = 69;   // the daemon (or its control socket) can't be reached
inline constexpr int kExitTimeout = 75;       // a wait ran out of time (sysexits EX_TEMPFAIL)
inline constexpr int kExitNoPermission = 77;  // the control socket refused this user

// The words in front of every message, "kstctl reg import"; main sets it once it knows the subcommand.
void SetCommandName(std::string_view words);
// Prints "<command>: <message>\n" on stderr and returns status, so callers write `return Fail(...)`.
int Fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
int VFail(int status, const char *format, va_list args) __attribute__((format(printf, 2, 0)));
// A usage error: the message, then "Try '<command> --help'." on stderr; returns kExitUsage.
int UsageError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// True when argv holds --help (or -h, /?) before any "--": the subcommand then prints its help.
bool WantsHelp(int argc, char **argv);
// Prints a help text on stdout and returns kExitOk.
int PrintHelp(std::string_view text);

// The subcommands of this directory (live.h declares those of the control socket).
int RunReg(int argc, char **argv);     // reg query|add|delete|export|import|compare
int RunEvent(int argc, char **argv);   // event create|set|reset NAME
int RunMutex(int argc, char **argv);   // mutex create NAME
int RunSem(int argc, char **argv);     // sem create NAME INITIAL MAX, sem release NAME [COUNT]
int RunWait(int argc, char **argv);    // wait NAME... [--all] [--timeout DURATION]
int RunRun(int argc, char **argv);     // run --mutex NAME [--timeout DURATION] -- COMMAND...
int RunPing(int argc, char **argv);    // ping [--timeout DURATION]
int RunPolicy(int argc, char **argv);  // policy show|test [--file FILE]

}  // namespace kstctl
