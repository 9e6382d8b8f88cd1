// flush.cpp: the disk waiter: the one thread of the server besides its loop, which does nothing but wait
// for the disk on behalf of RegFlushKey.
//
// A flush asks for a key's value files and its directory to reach the disk before its reply. Syncing them
// takes milliseconds to tens of milliseconds on a disk, and done in the loop it held every other client for
// that long. So the loop only opens the key's directory, parks the call on an internal event (identity 0,
// so the waiter's reply is the word 0, as a flush answers), and queues a job; the thread syncs the
// directory's regular files and the directory, closes it, moves the job to the done list and writes to an
// eventfd that the loop watches. The loop then signals the event, which answers the parked call, and
// closes the event. A job thus ends in one of two ways:
//   synced                          -> the parked call is answered 0 and the event closed, in the loop
//   connection lost before the sync -> the waiter was dropped with its connection (no reply, nothing sent to
//                                      the connection); the job still syncs, and the event, now without a
//                                      waiter, is closed when the job is done
// The thread touches no record of the server: it gets a descriptor and gives back the event's word, and
// the two lists it shares with the loop are guarded by one mutex. At shutdown it finishes every queued job
// before it is joined, and their calls are answered, so a reply never claims what the disk hasn't got.
//
// For tests only: KST_TEST_FLUSH_GATE names a FIFO, opened at the start, from which the thread reads one
// byte before each job, so that a test can hold flushes in progress for as long as it needs and let each go.
#include "registry/flush.h"

#include "registry/key_tree.h"
#include "rpc/loop.h"
#include "sync/sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace {

struct FlushJob {
    FlushJob *next;       // the next job on the same list
    int       directory;  // the key's directory, open; closed by the sync
    uint64_t  event;      // word of the internal event the call is parked on
};

struct DiskWaiter {
    pthread_t       thread;      // valid while running
    bool            running;     // started and not yet joined; the loop's own
    int             done_fd;     // eventfd: the thread adds 1 for each job done; -1 when not running
    pthread_mutex_t lock;        // guards the fields below
    pthread_cond_t  wake;        // a job was queued or the stop asked for
    FlushJob       *queued;      // jobs to sync, oldest first
    FlushJob      **queued_end;  // where the next job is linked
    FlushJob       *done;        // jobs synced, not yet answered, newest first
    bool            stopping;    // no more jobs come: finish the queued ones and end
    int             gate;        // the tests' FIFO, open to read and write (so never at its end); -1 in service
};
DiskWaiter g_waiter{{},      false, -1, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, nullptr, &g_waiter.queued,
                    nullptr, false, -1};

// Puts the key's regular files, values and whatever else lies there, and then the directory itself on the
// disk, and closes the directory. A file's data is enough (its size goes with it); the directory's sync
// carries the names and the renames that placed each value.
void SyncKeyDirectory(int directory) noexcept
{
    UniqueDir dir(fdopendir(directory));
    if (!dir) {
        close(directory);
        return;
    }
    while (const dirent *entry = readdir(dir.get())) {
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) || entry->d_name == kNewValueName) continue;
        // Not blocking on the open: a FIFO put there by another program must not hold the flush.
        const UniqueFd file(openat(dirfd(dir.get()), entry->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat    st {};
        if (file && fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) fdatasync(file.get());
    }
    fsync(dirfd(dir.get()));
}

// The tests' gate: one byte read from the FIFO before a job.
void PassGate() noexcept
{
    char byte = 0;
    while (read(g_waiter.gate, &byte, 1) < 0 && errno == EINTR) {
    }
}

// The thread: takes the oldest job, syncs it, hands it back; ends once stopping with nothing queued.
void *WaitForDisk(void *) noexcept
{
    pthread_mutex_lock(&g_waiter.lock);
    for (;;) {
        while (!g_waiter.queued && !g_waiter.stopping)
            pthread_cond_wait(&g_waiter.wake, &g_waiter.lock);
        FlushJob *job = g_waiter.queued;
        if (!job) break;
        g_waiter.queued = job->next;
        if (!g_waiter.queued) g_waiter.queued_end = &g_waiter.queued;
        pthread_mutex_unlock(&g_waiter.lock);

        if (g_waiter.gate != -1) PassGate();
        SyncKeyDirectory(std::exchange(job->directory, -1));

        pthread_mutex_lock(&g_waiter.lock);
        job->next = g_waiter.done;
        g_waiter.done = job;
        const uint64_t one = 1;
        const ssize_t  unused = write(g_waiter.done_fd, &one, sizeof one);  // a counter never full at our rates
        (void)unused;
    }
    pthread_mutex_unlock(&g_waiter.lock);
    return nullptr;
}

// Answers the calls of every job done: the event's signal writes the parked reply, 0, unless the call's
// connection went meanwhile; then the event goes.
void AnswerFlushes() noexcept
{
    uint64_t      count = 0;
    const ssize_t unused = read(g_waiter.done_fd, &count, sizeof count);
    (void)unused;
    pthread_mutex_lock(&g_waiter.lock);
    FlushJob *done = std::exchange(g_waiter.done, nullptr);
    pthread_mutex_unlock(&g_waiter.lock);
    while (done) {
        const std::unique_ptr<FlushJob> job(std::exchange(done, done->next));
        if (ObjectOfHandle(job->event)) {
            SetEvent(job->event);
            CloseHandle(job->event);
        }
    }
    SetLastError(0);
}

}  // namespace

bool StartDiskWaiter() noexcept
{
    if (g_waiter.running) return true;
    if (const char *gate = std::getenv("KST_TEST_FLUSH_GATE"); gate && g_waiter.gate == -1)
        g_waiter.gate = open(gate, O_RDWR | O_CLOEXEC);
    UniqueFd done(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!done) return false;
    g_waiter.done_fd = done.get();
    g_waiter.stopping = false;
    // Signals go to the loop's thread, where the handlers expect to interrupt a wait.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_create(&g_waiter.thread, nullptr, WaitForDisk, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        g_waiter.done_fd = -1;
        return false;
    }
    pthread_setname_np(g_waiter.thread, "disk waiter");
    g_waiter.running = true;
    WatchCompletions(done.release(), AnswerFlushes);
    return true;
}

void StopDiskWaiter() noexcept
{
    if (!g_waiter.running) return;
    pthread_mutex_lock(&g_waiter.lock);
    g_waiter.stopping = true;
    pthread_cond_signal(&g_waiter.wake);
    pthread_mutex_unlock(&g_waiter.lock);
    pthread_join(g_waiter.thread, nullptr);
    g_waiter.running = false;
    AnswerFlushes();
    WatchCompletions(-1, nullptr);
    close(std::exchange(g_waiter.done_fd, -1));
}

bool ParkFlush(const char *directory) noexcept
{
    UniqueFd dir(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;  // nothing there to flush
    std::unique_ptr<FlushJob> job(g_waiter.running ? new (std::nothrow) FlushJob{} : nullptr);
    ObjectRecord             *event = job ? CreateEvent(0, 0, 0, nullptr) : nullptr;
    if (event) {
        // The table knows the event by its handle; its identity, what its waiter is answered with, becomes 0.
        job->event = event->handle;
        event->identity = 0;
        if (!WaitForSingleObject(job->event, 0xFFFFFFFF)) {
            CloseHandle(job->event);
            event = nullptr;
        }
    }
    if (!event) {  // without the thread or without memory, the flush keeps its promise at the loop's cost
        SyncKeyDirectory(dir.release());
        return false;
    }
    job->directory = dir.release();
    pthread_mutex_lock(&g_waiter.lock);
    *g_waiter.queued_end = job.get();
    g_waiter.queued_end = &job.release()->next;
    pthread_cond_signal(&g_waiter.wake);
    pthread_mutex_unlock(&g_waiter.lock);
    return true;
}
