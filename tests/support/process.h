// process.h: child processes inside tools/nsrun's namespaces, shared by the daemon tests and the benchmark:
// starting one with an exact environment, collecting its status, and the namespace's own portmapper.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kst {

enum class ChildOutput { Inherit, Discard };
// Own: the child leads a session of its own, as the daemon does once it has called daemon(): the
// scheduler then groups its CPU time apart from the process that started it (autogroups).
enum class ChildSession { Inherit, Own };

// Starts args[0] with exactly env and stdin on /dev/null; with Discard also stdout and stderr. -1 on
// failure, with errno saying why.
pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
            ChildOutput output = ChildOutput::Inherit, ChildSession session = ChildSession::Inherit);
// A child's exit status once it has ended (128+N for signal N), without blocking; nullopt while it runs.
std::optional<int> Reap(pid_t pid);
// rpcbind -w -f in the background; true once 127.0.0.1:111 answers and its local socket exists.
bool StartRpcbind();

}  // namespace kst
