/* workers.c: an NT program that starts worker threads, releases them with an event and waits for
 * them, alone and mixed with an event, under a named mutex they share. */
#include <kstnt.h>

#define WORKERS 4

static HANDLE go, lock;
static LONG   total;

static DWORD WINAPI Worker(LPVOID parameter)
{
    int id = (int)(INT_PTR)parameter;
    if (WaitForSingleObject(go, INFINITE) != WAIT_OBJECT_0) return 1;
    if (WaitForSingleObject(lock, INFINITE) != WAIT_OBJECT_0) return 2;
    total += id;
    ReleaseMutex(lock);
    if (id == WORKERS) ExitThread(200 + id);
    return 100 + id;
}

static DWORD WINAPI Sleeper(LPVOID parameter)
{
    Sleep((DWORD)(INT_PTR)parameter);
    return 7;
}

int main(void)
{
    HANDLE threads[WORKERS], mixed[2];
    DWORD  ids[WORKERS], code, i;
    ZeroMemory(ids, sizeof ids);

    go = CreateEventEx(NULL, NULL, CREATE_EVENT_MANUAL_RESET, EVENT_ALL_ACCESS);
    lock = CreateMutexEx(NULL, "workers.lock", 0, MUTEX_ALL_ACCESS);
    for (i = 0; i < WORKERS; ++i)
        threads[i] = CreateThread(NULL, 0, Worker, (LPVOID)(INT_PTR)(i + 1), 0, &ids[i]);
    printf("started: %s\n", ids[0] != ids[1] && ids[0] != GetCurrentThreadId() ? "distinct ids" : "same ids");
    GetExitCodeThread(threads[0], &code);
    printf("running: %s\n", code == STILL_ACTIVE ? "STILL_ACTIVE" : "ended");
    printf("wait before go: %s\n",
           WaitForMultipleObjects(WORKERS, threads, TRUE, 100) == WAIT_TIMEOUT ? "timeout" : "done");
    SetEvent(go);
    printf("wait after go: %s\n",
           WaitForMultipleObjects(WORKERS, threads, TRUE, 10000) == WAIT_OBJECT_0 ? "done" : "timeout");
    for (i = 0; i < WORKERS; ++i) {
        GetExitCodeThread(threads[i], &code);
        printf("worker %lu exit %lu\n", (unsigned long)(i + 1), (unsigned long)code);
        CloseHandle(threads[i]);
    }
    printf("total %ld\n", (long)total);

    mixed[0] = CreateEvent(NULL, TRUE, FALSE, NULL);
    mixed[1] = CreateThread(NULL, 0, Sleeper, (LPVOID)(INT_PTR)50, 0, NULL);
    printf("mixed wait: %lu\n", (unsigned long)(WaitForMultipleObjects(2, mixed, FALSE, 10000) - WAIT_OBJECT_0));
    printf("thread handle as event: %s\n", SetEvent(mixed[1]) ? "set" : "refused");
    CloseHandle(mixed[1]);
    CloseHandle(mixed[0]);
    CloseHandle(lock);
    CloseHandle(go);
    return 0;
}
