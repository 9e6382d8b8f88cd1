// startup.cpp: the interface check and the detaching of the process, plainly or as a forking
// systemd service, with its pid file.
//
// A forking service counts as started when its first process exits, so the systemd-mode parent
// stays until the child has registered with the portmapper and written the ready file (or has
// died): units ordered after this one then find a server that answers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/unique.h"
#include "daemon/daemon.h"
#include "registry/registry.h"
#include "rpc/server.h"
#include "trace/trace.h"

namespace {

constexpr int kReadyRecheckMs = 100;  // re-reads the ready file even without an event, in case none came

struct NICInfoDeleter {
    void operator()(NICInfo *info) const noexcept { FreeNICInfo(&info); }
};

// Pid of a live instance named by the pid file, or 0; unreadable, empty or stale files count as none.
pid_t RunningInstance()
{
    UniqueFile file(fopen(kPidFile, "r"));
    int        pid = 0;
    if (!file || fscanf(file.get(), "%d", &pid) != 1 || pid <= 0) return 0;
    return kill(pid, 0) == 0 ? pid : 0;
}

// Writes a pid in decimal, without a newline; false when the file can't be opened.
bool WritePidFile(const char *path, pid_t pid)
{
    UniqueFile file(fopen(path, "w"));
    if (!file) return false;
    fprintf(file.get(), "%d", pid);
    return true;
}

// True when the ready file holds exactly this pid; the child writes it only once it is registered.
bool ReadyFileNames(pid_t pid)
{
    UniqueFile           file(fopen(kReadyFile, "r"));
    std::array<char, 32> text{};
    if (!file) return false;
    const std::size_t    n = fread(text.data(), 1, text.size() - 1, file.get());
    std::array<char, 32> expected{};
    snprintf(expected.data(), expected.size(), "%d", pid);
    return n == strlen(expected.data()) && strcmp(text.data(), expected.data()) == 0;
}

// Returns once the child is ready to serve or has ended. Changes in the work directory wake the
// wait early; without inotify the file is re-read every kReadyRecheckMs, and without a pidfd
// (kernels before 5.3) the parent can't tell a dead child from a slow one and does not wait.
void WaitUntilChildReady(pid_t child)
{
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
    const UniqueFd died(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    if (!died) return;  // no way to see the child end: waiting could last forever
    const UniqueFd changes(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (changes) inotify_add_watch(changes.get(), kWorkDir, IN_CLOSE_WRITE | IN_MOVED_TO);
    std::array<pollfd, 2> fds{pollfd{died.get(), POLLIN, 0}, pollfd{changes.get(), POLLIN, 0}};
    // The watch is in place before the first look, so a file written in between is not missed.
    while (!ReadyFileNames(child)) {
        if (poll(fds.data(), fds.size(), kReadyRecheckMs) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;  // ended before it could serve: systemd sees the pid gone
        std::array<char, 4096> events{};
        if (fds[1].revents != 0)
            while (read(changes.get(), events.data(), events.size()) > 0) {
            }
    }
}

}  // namespace

int GetNICInfoFrom(const char *path, NICInfo **list) noexcept
{
    if (!list) return -1;
    UniqueFile file(fopen(path, "r"));
    if (!file) return -1;
    std::array<char, 1024> line{};
    for (int header = 0; header < 2; ++header)
        if (!fgets(line.data(), static_cast<int>(line.size()), file.get())) return -1;

    std::unique_ptr<NICInfo, NICInfoDeleter> info(new (std::nothrow) NICInfo{});
    if (!info) return -1;
    int slots = 0;
    while (fgets(line.data(), static_cast<int>(line.size()), file.get())) {
        auto **grown = static_cast<char **>(realloc(info->names, sizeof(char *) * static_cast<std::size_t>(slots + 1)));
        if (!grown) return -1;
        info->names = grown;
        ++slots;
        char *colon = strchr(line.data(), ':');
        if (!colon) continue;
        *colon = '\0';
        std::array<char, 1024> word{};
        if (sscanf(line.data(), "%1023s", word.data()) != 1) continue;
        char *copy = strdup(word.data());
        if (!copy) return -1;
        info->names[info->count++] = copy;
        if (strncmp(copy, "lo", 2) == 0) info->loopback = 1;
    }
    *list = info.release();
    return 0;
}

int GetNICInfo(NICInfo **list) noexcept
{
    return GetNICInfoFrom(kNetDevFile, list);
}

void FreeNICInfo(NICInfo **list) noexcept
{
    if (!list || !*list) return;
    NICInfo *info = *list;
    for (int i = info->count - 1; i >= 0; --i)
        free(info->names[i]);
    free(info->names);
    delete info;
    *list = nullptr;
}

void close_allfd(int first) noexcept
{
    // One close_range per span between the trace's own descriptors: a close() of every possible
    // descriptor is a system call each, tens of thousands under a raised limit. Kernels before 5.9 lack
    // it; then every descriptor is closed in turn.
    std::array<int, 2> kept = TraceDescriptors();
    std::sort(kept.begin(), kept.end());
    unsigned from = static_cast<unsigned>(first);
    bool     ranged = true;
    for (const int fd : kept) {
        if (fd < 0 || static_cast<unsigned>(fd) < from) continue;
        if (static_cast<unsigned>(fd) > from)
            ranged = ranged && close_range(from, static_cast<unsigned>(fd) - 1, 0) == 0;
        from = static_cast<unsigned>(fd) + 1;
    }
    ranged = ranged && close_range(from, ~0u, 0) == 0;
    if (ranged) return;
    const long end = sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < end; ++fd)
        if (!TraceOwnsDescriptor(static_cast<int>(fd))) close(static_cast<int>(fd));
}

int daemon_start(const char *name) noexcept
{
    // The registry is read before any fork so that the serving process inherits it.
    SetLocalMachineRoot(kLocalMachineDir);
    LoadRegistry();
    unlink(kReadyFile);

    if (access(kSystemctl, X_OK) == 0 && access(kUnitFile, R_OK) == 0) {
        // A forking service: the parent reports the child's pid to systemd and leaves once it serves.
        const pid_t child = fork();
        if (child < 0) {
            TraceLog(2, "daemon_main", __func__, __LINE__, "error:fork the child process failed. exit\n");
            return 2;
        }
        if (child > 0) {
            TraceLog(3, "daemon_main", __func__, __LINE__, "fork the child process success. Childpid is %d\n", child);
            if (!WritePidFile(kSystemdPidFile, child) && !WritePidFile(kPidFile, child)) {
                TraceLog(2, "daemon_main", __func__, __LINE__, "Unable open pid file\n");
                exit(3);
            }
            WaitUntilChildReady(child);
            exit(0);
        }
    } else {
        if (RunningInstance() > 0) {
            syslog(6, "%s is already running!\n", name);
            TraceLog(1, "daemon_main", __func__, __LINE__, "%s is already running!\n", name);
            return 7;
        }
        umask(022);
        if (daemon(0, 0) != 0) {
            TraceLog(1, "daemon_main", __func__, __LINE__, "daemon() failed! exit. \n");
            return 2;
        }
        // syslog keeps a socket of its own; let it reconnect instead of writing to a reused descriptor.
        closelog();
        close_allfd(3);
        if (!WritePidFile(kPidFile, getpid())) {
            TraceLog(2, "daemon_main", __func__, __LINE__, "Unable open pid file\n");
            return 3;
        }
    }

    if (const int status = InstallTermHandler(); status != 0) return status;
    NTSYS_Server();
    return 0;
}
