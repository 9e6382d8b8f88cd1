// library_test.cpp: libkstnt against the real daemon: the C example built from the staged install, and
// the races that lose a wake-up, a count or a mutex when the library gets its reply order wrong.
#define KSTNT_NO_NAME_MACROS
#include "libkstnt/kstnt.h"
#include "tests/support/sandbox.h"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <thread>
#include <vector>

namespace kst {
namespace {

// Short I/O deadline, so the test of a daemon that stops answering ends quickly. Set before the
// library's first call reads it.
const bool kIoTimeoutSet = setenv("KSTNT_IO_TIMEOUT_MS", "700", 1) == 0;

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

class LibraryTest : public DaemonTest {};

// The README's example, compiled as a user compiles it: cc and pkg-config against a staged install.
TEST_F(LibraryTest, CProgramBuiltFromTheInstalledLibraryRunsAsOnNt)
{
    ASSERT_TRUE(kIoTimeoutSet);
    const std::string stage = std::string(KST_BINARY_DIR) + "/kstnt-stage";
    const std::string script =
        "set -e; rm -rf '" + stage +
        "'; for c in libkstnt libkstnt-dev; do cmake --install '" KST_BINARY_DIR "' --prefix '" + stage +
        "' --component $c >/dev/null; done; export PKG_CONFIG_PATH='" + stage + "/" +
        KST_INSTALL_LIBDIR "/pkgconfig'; " KST_EXAMPLE_CC " -std=c99 -Wall -Wextra -pedantic -Werror -o '" + stage +
        "/example' '" KST_SOURCE_DIR "/tests/lib/example.c' $(pkg-config --cflags --libs kstnt) "
        "-Wl,-rpath,$(pkg-config --variable=libdir kstnt) " KST_EXAMPLE_LIBS "; '" +
        stage + "/example'";
    const int status = std::system(script.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A synchronous registration blocks its thread until a value changes below the key (a new subkey is no
// such change), and only then returns ERROR_SUCCESS.
TEST_F(LibraryTest, SynchronousNotificationReturnsOnceAValueChangesBelowTheKey)
{
    HKEY key = nullptr, sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "WATCHED", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    std::atomic<LONG> result = -1;
    const std::size_t mark = sandbox_.TraceMark();
    std::thread       waiter([&] { result = RegNotifyChangeKeyValue(key, TRUE, 0, nullptr, FALSE); });
    EXPECT_TRUE(sandbox_.WaitForTrace("RegNotifyChangeKeyValue called", 5000, mark));
    ASSERT_EQ(RegCreateKeyExA(key, "SUB", 0, nullptr, 0, 0, nullptr, &sub, nullptr), ERROR_SUCCESS);
    EXPECT_FALSE(PollFor(100, [&] { return result.load() != -1; }));  // room for a wrong early return to show
    const DWORD value = 7;
    EXPECT_EQ(RegSetValueExA(sub, "V", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value),
              ERROR_SUCCESS);
    const bool returned = PollFor(5000, [&] { return result.load() != -1; });
    EXPECT_EQ(result.load(), ERROR_SUCCESS);
    returned ? waiter.join() : waiter.detach();
}

void Interrupted(int) {}

// A release that lands just as a wait times out: the library cancels, and a count the daemon granted
// in between must come back as a success. Every release is accounted for: the successful waits plus
// what is left in the semaphore equal the releases, and a mutex is never held twice, and never
// held by a thread that was told its wait timed out. Process signals keep interrupting the waiters'
// polls meanwhile, which must neither end a wait early nor lose its place in the reply stream.
TEST_F(LibraryTest, ReleasesCrossingTimeOutsAreNeverLost)
{
    constexpr int kReleases = 3000;
    HANDLE        sem = CreateSemaphoreA(nullptr, 0, kReleases, nullptr);
    HANDLE        mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_TRUE(sem && mutex) << GetLastError();
    struct sigaction action = {};
    action.sa_handler = Interrupted;  // no SA_RESTART: every blocked call sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    std::atomic<bool> done{false};
    std::atomic<int>  taken{0}, holders{0}, handovers{0}, faults{0};

    std::vector<std::thread> waiters;
    for (int t = 0; t < 3; ++t)
        waiters.emplace_back([&] {
            for (DWORD round = 0; !done; ++round) {
                const DWORD rc = WaitForSingleObject(sem, round % 2);  // a poll, then a 1 ms wait
                if (rc == WAIT_OBJECT_0)
                    ++taken;
                else if (rc != WAIT_TIMEOUT)
                    ++faults;
                if (WaitForSingleObject(mutex, 1) != WAIT_OBJECT_0) {
                    // Timed out: the mutex must not be this thread's. Owning it now means a hand-over
                    // that crossed the time-out was reported as WAIT_TIMEOUT.
                    if (ReleaseMutex(mutex)) ++faults;
                    continue;
                }
                if (holders.fetch_add(1) != 0) ++faults;  // two owners at once
                ++handovers;
                holders.fetch_sub(1);
                if (!ReleaseMutex(mutex)) ++faults;  // a success reported as a time-out leaves it owned
            }
        });
    std::thread interrupter([&] {
        while (!done) {
            for (auto &t : waiters)
                pthread_kill(t.native_handle(), SIGUSR1);
            poll(nullptr, 0, 1);
        }
    });
    for (int i = 0; i < kReleases; ++i) {
        if (!ReleaseSemaphore(sem, 1, nullptr)) ++faults;
        if (i % 4 == 0) std::this_thread::yield();
    }
    // Wait until the waiters have taken what they can, then count what is left.
    PollFor(20000, [&] { return taken.load() >= kReleases; });
    done = true;
    interrupter.join();
    for (auto &t : waiters)
        t.join();
    int left = 0;
    while (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0)
        ++left;
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(taken.load() + left, kReleases);
    EXPECT_GT(handovers.load(), 0);
}

// Sixteen threads, each with its own connection, use handles created by the main thread and each owns
// a mutex of its own that no other thread can take while it holds it: taken twice and released once,
// it is still held, as NT counts. Every other thread then ends while it still owns its mutex: its
// connection closes, and the daemon hands the mutex on (no WAIT_ABANDONED here: the next owner just
// gets it).
TEST_F(LibraryTest, SixteenThreadsShareHandlesOwnTheirMutexesAndPassThemOnWhenTheyEnd)
{
    constexpr int                kThreads = 16;
    HANDLE                       go = CreateEventA(nullptr, TRUE, FALSE, "lib.go");
    std::array<HANDLE, kThreads> mutexes{};
    for (auto &m : mutexes)
        m = CreateMutexA(nullptr, FALSE, nullptr);
    std::atomic<int> faults{0};
    std::barrier     owned(kThreads), checked(kThreads);

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            if (WaitForSingleObject(mutexes[i], 5000) != WAIT_OBJECT_0 ||
                WaitForSingleObject(mutexes[i], INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(mutexes[i]))
                ++faults;
            owned.arrive_and_wait();
            // Every other thread's mutex is owned: a poll and a short wait both time out.
            const HANDLE other = mutexes[(i + 1) % kThreads];
            if (WaitForSingleObject(other, 0) != WAIT_TIMEOUT || WaitForSingleObject(other, 5) != WAIT_TIMEOUT)
                ++faults;
            if (ReleaseMutex(other) || GetLastError() != ERROR_NOT_OWNER) ++faults;
            checked.arrive_and_wait();
            if (WaitForSingleObject(go, INFINITE) != WAIT_OBJECT_0) ++faults;
            if (i % 2 == 1) return;  // ends while it owns its mutex
            if (!ReleaseMutex(mutexes[i])) ++faults;
        });
    EXPECT_TRUE(SetEvent(go));
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(faults.load(), 0);
    for (HANDLE m : mutexes)
        EXPECT_EQ(WaitForMultipleObjects(1, &m, TRUE, 5000), WAIT_OBJECT_0);
}

// A daemon restart: a parked INFINITE wait fails with a clear code, handles from before are refused,
// and the next call connects again; nothing is retried silently. A daemon that stops answering can't
// hang a call: each returns within its time-out plus the I/O deadline, and once it answers again the
// next call works.
TEST_F(LibraryTest, RestartedOrStoppedDaemonFailsCallsThenReconnects)
{
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);
    std::atomic<DWORD> parked{0}, parked_error{0};
    std::thread        waiter([&] {
        parked = WaitForSingleObject(ev, INFINITE);
        parked_error = GetLastError();
    });
    ASSERT_TRUE(sandbox_.WaitForTrace("WaitForSingleObject called"));
    ASSERT_TRUE(sandbox_.Stop());
    waiter.join();
    EXPECT_EQ(parked.load(), WAIT_FAILED);
    EXPECT_EQ(parked_error.load(), static_cast<DWORD>(ERROR_CONNECTION_ABORTED));
    EXPECT_FALSE(SetEvent(ev));  // this thread's connection may still report the loss itself
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(sandbox_.Start());
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);

    ASSERT_EQ(kill(sandbox_.pid(), SIGSTOP), 0);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 200), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_LT(Clock::now() - start, Ms(200 + 3 * 700 + 2000));
    start = Clock::now();
    EXPECT_FALSE(SetEvent(ev));  // a new connection: accepted by the kernel, never answered
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_LT(Clock::now() - start, Ms(2 * 700 + 2000));
    ASSERT_EQ(kill(sandbox_.pid(), SIGCONT), 0);
    EXPECT_TRUE(SetEvent(ev)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace kst
