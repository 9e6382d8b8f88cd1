// removal.cpp: deleted keys' directories removed in the background by /bin/rm children, and the
// leftovers of such removals that a crash or a stop cut short.
//
// A child is started without waiting for it and reaped with WNOHANG on the poll loop's tick
// (RegistryTick, registry.cpp), never from a lookup; at most 32 run at once, and a 33rd waits in a queue
// (its directory already out of the tree) until a tick finds a slot free.
// Leftovers of an earlier run are removed from the first tick on, by the serving process itself,
// which can then reap them.
#include "registry/removal.h"

#include "registry/tree_internal.h"
#include "rpc/server.h"

#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct Removals {
    std::array<pid_t, 32>    running;            // rm processes still running; 0 for a free slot
    std::size_t              count;              // slots in use
    bool                     leftovers_pending;  // directories a crash left aside are still to be removed
    std::vector<std::string> queued;             // paths waiting for a free slot, oldest first
    bool                     yielded;            // the session's priority is yielded while rm runs
};
Removals g_removals{};

// Starts /bin/rm with one option and path as its single literal argument, never through a shell. It gets
// none of the server's descriptors: a removal that runs on must not hold the listening socket or a
// connection open. posix_spawn reports a failed exec itself, so false means exactly "could not be run".
bool SpawnRemove(const char *option, const char *path, pid_t *pid)
{
    char *argv[] = {const_cast<char *>("/bin/rm"), const_cast<char *>(option), const_cast<char *>(path), nullptr};
    char *envp[] = {nullptr};  // rm needs nothing from the daemon's environment
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    const bool started = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                         posix_spawn(pid, argv[0], &actions, nullptr, argv, envp) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

// Starts rm -rf in a free slot; false when none is free or rm could not be started.
bool SpawnInSlot(const char *path)
{
    auto slot = std::find(g_removals.running.begin(), g_removals.running.end(), 0);
    if (slot == g_removals.running.end()) return false;
    // rm shares the server's session, whose scheduling group weighs as one: the group's priority is
    // yielded first, so that rm is born into a group of the default weight (see the reap for the return).
    if (!g_removals.yielded) YieldSessionPriority(true);
    g_removals.yielded = true;
    pid_t pid = 0;
    if (!SpawnRemove("-rf", path, &pid)) return false;
    // At idle priority: unlinking a deleted tree of 100,000 keys is seconds of CPU, and at the server's
    // priority it took that CPU's time from the server and its clients, which waited up to 90 ms for a
    // call. posix_spawn offers no idle policy; rm has only just started when it is set. Should it fail,
    // rm merely runs at the normal priority.
    const sched_param idle{};
    (void)sched_setscheduler(pid, SCHED_IDLE, &idle);
    *slot = pid;
    ++g_removals.count;
    return true;
}

// Starts what waits in the queue while slots are free.
void StartQueued()
{
    std::size_t started = 0;
    while (started < g_removals.queued.size() && g_removals.count < g_removals.running.size()) {
        // One that can't be started now is dropped: its directory is already out of the tree, and the
        // next run removes it with the other leftovers.
        (void)SpawnInSlot(g_removals.queued[started].c_str());
        ++started;
    }
    g_removals.queued.erase(g_removals.queued.begin(), g_removals.queued.begin() + static_cast<long>(started));
}

}  // namespace

bool StartRemove(const char *path) noexcept
{
    ReapRemovals();
    if (g_removals.count < g_removals.running.size()) return SpawnInSlot(path);
    // Every slot busy: waiting for one here would hold every client for as long as the oldest rm runs.
    try {
        g_removals.queued.emplace_back(path);
        return true;
    } catch (const std::bad_alloc &) {
        return false;  // as if rm could not be started: the caller puts the directory back
    }
}

namespace {

// Removes, in the background, deleted keys that a crash or a stop left in the directory above a root,
// and at once a value's new file that a crash cut short there (the old value is intact).
void RemoveLeftovers(const KeyNode *root)
{
    RegPath above;
    if (!DirectoryAboveRoot(root, above)) return;
    UniqueDir dir(opendir(above.text));
    if (!dir) return;
    const std::size_t own = above.length;
    while (const dirent *entry = readdir(dir.get())) {
        if (entry->d_name == kNewValueName && entry->d_type == DT_REG) {
            unlinkat(dirfd(dir.get()), entry->d_name, 0);
            continue;
        }
        if (!std::string_view(entry->d_name).starts_with(kDeletedPrefix)) continue;
        TruncatePath(above, own);
        if (AppendPath(above, entry->d_name)) (void)StartRemove(above.text);
    }
}

}  // namespace

bool RunRemove(const char *option, const char *path) noexcept
{
    pid_t pid = 0;
    if (!SpawnRemove(option, path, &pid)) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) break;
    }
    return true;
}

void ReapRemovals() noexcept
{
    for (pid_t &pid : g_removals.running) {
        if (pid == 0) continue;
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            pid = 0;
            --g_removals.count;
        }
    }
    if (!g_removals.queued.empty()) StartQueued();
}

void RemoveLeftoversSoon() noexcept
{
    g_removals.leftovers_pending = true;
}

void RemoveLeftoversAndReap() noexcept
{
    if (g_removals.leftovers_pending) {
        g_removals.leftovers_pending = false;
        RemoveLeftovers(&class_root.node);
        RegPath first, second;
        if (!DirectoryAboveRoot(&class_root.node, first) || !DirectoryAboveRoot(&local_machine.node, second) ||
            std::strcmp(first.text, second.text) != 0) {
            RemoveLeftovers(&local_machine.node);
        }
    }
    if (g_removals.count > 0 || !g_removals.queued.empty()) ReapRemovals();
    if (g_removals.count == 0 && g_removals.yielded) {  // the last rm has been reaped (or none started)
        g_removals.yielded = false;
        YieldSessionPriority(false);
    }
}
