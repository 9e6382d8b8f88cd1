// messages.cpp: the error and help output every subcommand shares.
#include "tools/kstctl/kstctl.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace kstctl {
namespace {

// Set once by main before any subcommand runs; a tool process has one command line.
std::string &CommandName()
{
    static std::string name = "kstctl";
    return name;
}

}  // namespace

void SetCommandName(std::string_view words)
{
    CommandName().assign(words);
}

int VFail(int status, const char *format, va_list args)
{
    std::fflush(stdout);  // results already printed come before the error in a shared terminal
    std::fprintf(stderr, "%s: ", CommandName().c_str());
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    return status;
}

int Fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    VFail(status, format, args);
    va_end(args);
    return status;
}

int UsageError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    VFail(kExitUsage, format, args);
    va_end(args);
    std::fprintf(stderr, "Try '%s --help'.\n", CommandName().c_str());
    return kExitUsage;
}

bool WantsHelp(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "/?") == 0)
            return true;
    }
    return false;
}

int PrintHelp(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
}

}  // namespace kstctl
