/* single_instance.c: the one-copy guard NT programs write, a named mutex taken at start and never
 * released or closed, with an event of its own and one it shares with whoever started it, which its
 * exit handler closes. A fork's child ends normally too, before the parent goes on. */
#define _POSIX_C_SOURCE 200809L
#include <kstnt.h>

#include <sys/wait.h>
#include <unistd.h>

static HANDLE shared;

static void CloseShared(void)
{
    printf("own close: %s\n", CloseHandle(shared) ? "done" : "failed");
}

int main(void)
{
    HANDLE guard = CreateMutex(NULL, TRUE, TEXT("Local\\single.guard"));
    if (guard == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        printf("already running\n");
        return 1;
    }
    HANDLE mine = CreateEvent(NULL, TRUE, FALSE, TEXT("single.mine"));
    shared = OpenEvent(SYNCHRONIZE, FALSE, TEXT("single.shared"));
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) exit(0);
    waitpid(child, NULL, 0);
    printf("after the child: %s\n",
           OpenEvent(SYNCHRONIZE, FALSE, TEXT("single.mine")) == mine ? "still there" : "gone");
    atexit(CloseShared);
    return 0;
}
