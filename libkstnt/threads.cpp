// threads.cpp: NT threads on POSIX threads, waitable through the daemon.
//
// A thread's handle is an unnamed manual-reset event of the daemon, created by CreateThread before
// the thread starts. The thread runs with a connection of its own, like any other, and when it ends
// (its start routine returns, or it calls ExitThread) it stores its exit code and then sets the
// event on that connection, so a waiter on any thread, in a single wait or mixed with other objects
// in a wait for any or all, is completed by the daemon itself. The record of a thread lives while
// either the thread runs or its handle is open:
//   thread ends first    -> exit code stored, event set; CloseHandle later closes the event
//   CloseHandle first    -> event closed; the thread, when it ends, sets nothing
// The record's lock orders the two, so the thread never sets an event the daemon has already freed.
#include "libkstnt/objects.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace kstnt {
namespace {

// One thread started by CreateThread.
struct ThreadRecord {
    LPTHREAD_START_ROUTINE  start = nullptr;           // the caller's routine
    LPVOID                  parameter = nullptr;       // and its argument
    uint64_t                event = 0;                 // the daemon event that is the thread's handle
    std::mutex              lock;                      // guards everything below
    std::condition_variable started;                   // signalled once id is known
    DWORD                   id = 0;                    // the thread's id; 0 until it runs
    DWORD                   exit_code = STILL_ACTIVE;  // STILL_ACTIVE while it runs
    bool                    ended = false;             // exit_code is final and the event was set
    bool                    closed = false;            // CloseHandle closed the event first
};
using ThreadPtr = std::shared_ptr<ThreadRecord>;

// The records of the handles still open, by event. Never destroyed: a thread may end while the
// process exits.
class Threads {
public:
    void Add(const ThreadPtr &record)
    {
        std::lock_guard lock(mutex_);
        records_[record->event] = record;
    }
    ThreadPtr Find(uint64_t event)
    {
        std::lock_guard lock(mutex_);
        const auto      found = records_.find(event);
        return found == records_.end() ? nullptr : found->second;
    }
    void Remove(uint64_t event)
    {
        std::lock_guard lock(mutex_);
        records_.erase(event);
    }

private:
    std::mutex                              mutex_;    // CreateThread and CloseHandle come from any thread
    std::unordered_map<uint64_t, ThreadPtr> records_;  // event -> record
};

Threads &AllThreads()
{
    static Threads *const threads = new Threads;
    return *threads;
}

thread_local ThreadRecord *t_self = nullptr;  // the record of a thread CreateThread started

HANDLE Handle(uint64_t word)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
}

// The thread's end: its exit code, then the event, unless the handle was closed first.
void Finish(ThreadRecord &record, DWORD code)
{
    std::lock_guard lock(record.lock);
    if (record.ended) return;
    record.exit_code = code;
    record.ended = true;
    if (!record.closed) Guard<BOOL>(FALSE, [&] { return SetThreadEvent(Handle(record.event)); });
}

void *Run(void *argument)
{
    ThreadPtr record = std::move(*static_cast<ThreadPtr *>(argument));
    delete static_cast<ThreadPtr *>(argument);
    t_self = record.get();
    {
        std::lock_guard lock(record->lock);
        record->id = GetCurrentThreadId();
    }
    record->started.notify_all();
    Finish(*record, record->start(record->parameter));
    return nullptr;
}

HANDLE Start(SIZE_T stack_size, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (!start || (flags & CREATE_SUSPENDED)) {
        SetError(start ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);  // there is no ResumeThread
        return nullptr;
    }
    auto record = std::make_shared<ThreadRecord>();
    record->start = start;
    record->parameter = parameter;
    HANDLE event = NewThreadEvent();
    if (!event) return nullptr;
    record->event = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(event));
    AllThreads().Add(record);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size) pthread_attr_setstacksize(&attributes, std::max<SIZE_T>(stack_size, PTHREAD_STACK_MIN));
    auto     *argument = new ThreadPtr(record);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attributes, Run, argument);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete argument;
        CloseThread(event);
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (id) {
        std::unique_lock lock(record->lock);
        record->started.wait(lock, [&] { return record->id != 0; });
        *id = record->id;
    }
    SetError(ERROR_SUCCESS);
    return event;
}

}  // namespace

BOOL CloseThread(HANDLE hThread)
{
    const uint64_t  event = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hThread));
    const ThreadPtr record = AllThreads().Find(event);
    if (!record) return CloseObject(hThread);
    std::lock_guard lock(record->lock);
    if (!CloseObject(hThread)) return FALSE;  // a thread still waits for it: the handle stays
    record->closed = true;
    AllThreads().Remove(event);
    return TRUE;
}

}  // namespace kstnt

using namespace kstnt;

extern "C" {

KSTNT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                     LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    return Guard<HANDLE>(nullptr,
                         [&] { return Start(dwStackSize, lpStartAddress, lpParameter, dwCreationFlags, lpThreadId); });
}

// pthread_exit unwinds the thread's stack, so this calls nothing that catches every exception.
KSTNT_API void WINAPI ExitThread(DWORD dwExitCode)
{
    if (t_self) Finish(*t_self, dwExitCode);
    pthread_exit(nullptr);
}

KSTNT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        const ThreadPtr record = AllThreads().Find(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hThread)));
        if (!record || !lpExitCode) {
            SetError(record ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard lock(record->lock);
        *lpExitCode = record->exit_code;
        SetError(ERROR_SUCCESS);
        return TRUE;
    });
}

KSTNT_API DWORD WINAPI GetCurrentThreadId(void)
{
    return static_cast<DWORD>(syscall(SYS_gettid));
}

KSTNT_API void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Never alertable: there are no asynchronous procedure calls to run.
KSTNT_API DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL)
{
    Sleep(dwMilliseconds);
    return 0;
}
}
