// process.cpp: child processes for the tests and the benchmark (see process.h).
#include "tests/support/process.h"

#include "client/client.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kst {

pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env, ChildOutput output,
            ChildSession session)
{
    std::vector<char *> argv, envp;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output == ChildOutput::Discard) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (session == ChildSession::Own) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t     pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    errno = rc;
    return rc == 0 ? pid : -1;
}

std::optional<int> Reap(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool StartRpcbind()
{
    if (mkdir("/run/rpcbind", 0755) != 0 && errno != EEXIST) return false;
    const pid_t rpcbind = Spawn({"/usr/sbin/rpcbind", "-w", "-f"}, {"PATH=/usr/sbin:/usr/bin"});
    if (rpcbind < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (Reap(rpcbind)) return false;  // it ended: it could not take the port or its socket
        if (access("/run/rpcbind.sock", F_OK) == 0 && PmapGetPort(100000, 2).value_or(0)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        poll(nullptr, 0, 5);
    }
}

}  // namespace kst
