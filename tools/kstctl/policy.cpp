// policy.cpp: kstctl policy show|test: the access policy as the daemon reads it, and its answer to one
// request. Both run the daemon's own code (common/access_policy), so the answer is the daemon's.
#include "common/access_policy.h"
#include "common/paths.h"
#include "tools/kstctl/args.h"
#include "tools/kstctl/kstctl.h"

#include <pwd.h>

#include <cstdio>
#include <string>

namespace kstctl {
namespace {

constexpr char kHelp[] =
    "Usage: kstctl policy show [--file FILE]\n"
    "       kstctl policy test [--file FILE] CALLER VERB TARGET\n\n"
    "show prints the access policy of /etc/KSTntserver/access.conf (or FILE) as the daemon reads it at\n"
    "start-up, one directive a line, each group with the uids it resolved to; without the file: 'policy:\n"
    "none (every caller may do everything)'. A file that does not parse is named with its line; exit 1.\n\n"
    "test prints 'allowed' or 'refused' for one request and exits 0 or 1. CALLER is a uid, root,\n"
    "user:NAME or remote. VERB and TARGET:\n"
    "  open|wait|signal|reset|release|close OWNER   an object created by OWNER (a uid, root or remote)\n"
    "  write|notify KEY                              a registry key (HKLM\\A\\B, HKCU\\A, ...)\n"
    "  remote ADDRESS                                a connection from another host\n";

enum Option { kFile };
constexpr OptionSpec kOptions[] = {{nullptr, "file", true, kFile}};

std::optional<uint32_t> CallerUid(const std::string &word)
{
    if (word == "root") return 0;
    if (word == "remote") return kRemoteUid;
    if (word.rfind("user:", 0) == 0) {
        const passwd *user = getpwnam(word.c_str() + 5);
        if (!user) return std::nullopt;
        return user->pw_uid;
    }
    const auto uid = ParseNumber(word.rfind("uid:", 0) == 0 ? word.substr(4) : word, 0xFFFFFFFDu);
    if (!uid) return std::nullopt;
    return static_cast<uint32_t>(*uid);
}

}  // namespace

int RunPolicy(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kHelp);
    ParsedArgs  args;
    std::string error;
    if (!ParseArgs(argc, argv, kOptions, args, error)) return UsageError("%s", error.c_str());
    std::string file = kAccessFile;
    for (const ParsedOption &o : args.options)
        file = o.arg;
    if (args.words.empty()) return UsageError("missing show or test");
    const std::string action = args.words[0];
    if (action == "show" ? args.words.size() != 1 : action == "test" ? args.words.size() != 4 : true)
        return UsageError("usage: policy show | policy test CALLER VERB TARGET");
    const auto policy = ReadPolicyFile(file.c_str(), error);
    if (!policy) return Fail(kExitFailure, "%s", error.c_str());
    if (action == "show") {
        std::fputs(DescribePolicy(*policy).c_str(), stdout);
        return kExitOk;
    }
    const auto uid = CallerUid(args.words[1]);
    if (!uid) return UsageError("'%s' is no caller (a uid, root, user:NAME, remote)", args.words[1].c_str());
    const auto answer = TestPolicy(*policy, *uid, args.words[2], args.words[3], error);
    if (!answer) return UsageError("%s", error.c_str());
    std::printf("%s: uid %s %s %s%s%s%s\n", answer->allowed ? "allowed" : "refused", UidText(*uid).c_str(),
                args.words[2].c_str(), args.words[3].c_str(), answer->reason.empty() ? "" : " (",
                answer->reason.c_str(), answer->reason.empty() ? "" : ")");
    return answer->allowed ? kExitOk : kExitFailure;
}

}  // namespace kstctl
