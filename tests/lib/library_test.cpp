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

// Installs the library into a stage once per test process (tests run side by side), as the packages
// would, for programs to be built against; removed when the process exits.
const std::string &Stage()
{
    // Never freed: the exit handler that removes the stage runs after static objects are gone.
    static const std::string *const stage = [] {
        std::string dir = std::string(KST_BINARY_DIR) + "/kstnt-stage-XXXXXX";  // each test has pid 1 here
        if (!mkdtemp(dir.data())) return new std::string();
        std::atexit([] { [[maybe_unused]] const int rc = std::system(("rm -rf '" + Stage() + "'").c_str()); });
        const std::string script = "set -e; for c in libkstnt libkstnt-dev; do cmake --install '" KST_BINARY_DIR
                                   "' --prefix '" +
                                   dir + "' --component $c >/dev/null; done";
        return new std::string(std::system(script.c_str()) == 0 ? dir : std::string());
    }();
    return *stage;
}

// Compiles tests/lib/<source> as a user does, with cc and pkg-config against the staged install,
// runs it with the environment (NAME=value ...) and arguments given, and returns its exit status and
// what it printed.
struct ProgramRun {
    int         status = -1;  // as waitpid reports it
    std::string out;          // its standard output
};
ProgramRun BuildAndRun(const std::string &source, const std::string &cflags, const std::string &env,
                       const std::string &args = "")
{
    ProgramRun run;
    if (Stage().empty()) return run;
    const std::string binary = Stage() + "/" + source.substr(source.rfind('/') + 1) + ".bin";
    const std::string script = "set -e; export PKG_CONFIG_PATH='" + Stage() + "/" KST_INSTALL_LIBDIR "/pkgconfig'; " +
                               KST_EXAMPLE_CC " -Wall -Wextra -pedantic -Werror " + cflags + " -o '" + binary + "' '" +
                               KST_SOURCE_DIR "/tests/lib/" + source +
                               "' $(pkg-config --cflags --libs kstnt) -Wl,-rpath,$(pkg-config --variable=libdir "
                               "kstnt) " KST_EXAMPLE_LIBS "; " +
                               env + " '" + binary + "' " + args;
    FILE *pipe = popen(script.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> chunk;
    for (std::size_t n; (n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
        run.out.append(chunk.data(), n);
    run.status = pclose(pipe);
    return run;
}

// The C example, compiled as a user compiles it: cc and pkg-config against a staged install.
TEST_F(LibraryTest, CProgramBuiltFromTheInstalledLibraryRunsAsOnNt)
{
    ASSERT_TRUE(kIoTimeoutSet);
    const ProgramRun run = BuildAndRun("example.c", "-std=c99", "");
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status << "\n" << run.out;
}

// NT programs ported by their include alone. A UNICODE build with TCHAR, _tmain and _tprintf, in C and
// in C++, keeps
// its settings below HKEY_CURRENT_USER, reads them with RegGetValue's type filters, and the daemon
// holds the UTF-8 of its wide text where the per-user mapping puts it.
TEST_F(LibraryTest, UnicodeConfigReaderPortsByItsIncludeAlone)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orn\\Viewer");
    const std::string build = "-std=c99 -DUNICODE -D_UNICODE";
    const ProgramRun  run = BuildAndRun("programs/config_reader.c", build, "VIEWER_HOME=/home/v");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "created\n"
                       "Title 0 type 1: Gr\u00fc\u00dfe, \u4e16\u754c (40 bytes)\n"
                       "Width 0: 1280\n"
                       "Width as text 1630\n"
                       "Cache 0 type 1: /home/v\\cache\n"
                       "Cache unexpanded 0 type 2: %VIEWER_HOME%\\cache\n"
                       "Recent needs 48 bytes (0)\n"
                       "recent: alpha\n"
                       "recent: beta\n"
                       "Missing 2, buffer now \"\"\n");
    // The header is C++ too: the same program built as C++ finds the key it made.
    const ProgramRun again =
        BuildAndRun("programs/config_reader.c", "-x c++ -std=c++17 -DUNICODE -D_UNICODE", "", "'Jos\u00e9'");
    EXPECT_EQ(again.out.substr(0, again.out.find("Title")), "opened\nuser Jos\u00e9 (4 characters)\n");

    const std::string user = "HKEY_USERS\\S-1-22-1-" + std::to_string(getuid()) + "\\Software\\Orn\\Viewer";
    char              title[64] = {};
    DWORD             size = sizeof title;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, user.c_str(), "Title", RRF_RT_REG_SZ, nullptr, title, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(title, "Gr\u00fc\u00dfe, \u4e16\u754c");
}

// The entry points NT samples write (void or int, with or without arguments and environment, narrow or
// wide, __cdecl, and void main where main is wrapped) build with -pedantic -Werror as C and as C++, end
// with the status NT gives them, and see their arguments and environment; ExitProcess ends the program
// with its code.
TEST_F(LibraryTest, EveryEntryPointFormNtAcceptsRunsWithItsStatus)
{
    const std::string c = "-std=c99 ", cxx = "-x c++ -std=c++17 ", unicode = "-DUNICODE -D_UNICODE ",
                      wrap = "-DKSTNT_WRAP_MAIN ";
    const struct {
        const char *form;
        std::string flags;
        int         status;
        std::string out;
    } runs[] = {
        {"1", cxx, 0, "void, nothing: 0\n"},
        {"1", c + unicode, 0, "void, nothing: 0\n"},
        {"2", c, 3, "int, nothing: 0\n"},
        {"2", cxx + unicode, 3, "int, nothing: 0\n"},
        {"3", cxx, 0, "void, 2 arguments: Jos\u00e9 (5 characters)\n"},
        {"3", c + unicode, 0, "void, 2 arguments: Jos\u00e9 (4 characters)\n"},
        {"4", c, 4, "int, 2 arguments: Jos\u00e9 (5 characters)\n"},
        {"4", cxx + unicode, 4, "int, 2 arguments: Jos\u00e9 (4 characters)\n"},
        {"5", c, 0, "wide, void: Jos\u00e9 (4 characters)\n"},
        {"5", cxx, 0, "wide, void: Jos\u00e9 (4 characters)\n"},
        {"6", c, 6, "wide, envp: Jos\u00e9, Gr\u00fc\u00dfe (5 characters)\n"},
        {"6", cxx, 6, "wide, envp: Jos\u00e9, Gr\u00fc\u00dfe (5 characters)\n"},
        {"7", c, 0, "void, envp: Gr\u00fc\u00dfe (7 characters)\n"},
        {"7", cxx + unicode, 0, "void, envp: Gr\u00fc\u00dfe (5 characters)\n"},
        {"8", cxx + wrap, 0, "void main: 0\n"},
        {"8", c + unicode + wrap, 0, "void main: 0\n"},
        {"9", c, 9, "main, envp: Gr\u00fc\u00dfe (7 characters)\n"},
        {"9", cxx + wrap, 9, "main, envp: Gr\u00fc\u00dfe (7 characters)\n"},
    };
    for (const auto &r : runs) {
        const ProgramRun run = BuildAndRun("programs/entry_points.c", r.flags + "-DFORM=" + r.form,
                                           "GREETING='Gr\u00fc\u00dfe'", "'Jos\u00e9'");
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == r.status) << r.form << " " << r.flags << "\n"
                                                                                  << run.out;
        EXPECT_EQ(run.out, r.out) << r.form << " " << r.flags;
    }
    const ProgramRun usage = BuildAndRun("programs/entry_points.c", c + "-DFORM=4", "", "one two");
    EXPECT_TRUE(WIFEXITED(usage.status) && WEXITSTATUS(usage.status) == 7) << usage.status;
    EXPECT_EQ(usage.out, "usage: entry_points [word]\n");
}

// The C runtime's character and string I/O under its TCHAR names, built narrow and _UNICODE as C with
// -pedantic -Werror: its input (its own source) and a file it writes read back, wide text as UTF-8 on
// byte streams; the secure copies empty their destination when the text does not fit, as on NT.
TEST_F(LibraryTest, TcharCharacterAndStringIoBehaveAlikeInBothForms)
{
    const std::string args = "'" + Stage() + "/tchar_io.txt' < '" KST_SOURCE_DIR "/tests/lib/programs/tchar_io.c'";
    for (const bool wide : {false, true}) {
        const std::string flags = std::string("-std=c99 -D_DEFAULT_SOURCE ") + (wide ? "-DUNICODE -D_UNICODE" : "");
        const ProgramRun  run = BuildAndRun("programs/tchar_io.c", flags, "", args);
        EXPECT_EQ(run.status, 0) << flags;
        // The first line holds one two-byte character: one unit fewer when wide.
        EXPECT_EQ(run.out, "first /, then " + std::string(wide ? "104" : "105") +
                               " characters\n"
                               "too long: refused \"\"; next: 100 characters\n"
                               "read x, na\u00efve: 42 31\n"
                               "then caf\u00e9|7\n"
                               "copy to 4: 34 \"\"; fits: 0 \"abc\"\n"
                               "cat: 34 \"\" 0 \"abcd\"; truncate: 80 \"tru\"; printf: -1 \"\" 3 \"n-7\"\n"
                               "[HKLM\\Software][HKCU\\Env] 0 0 -12 255 77 =Value e Value\n"
                               "!\n")
            << flags;
    }
}

// A program that ends normally closes what it left open, as NT closes a process's handles: its owned
// single-instance mutex goes, so the next copy starts; its exit handler's own close comes first and is
// not made twice (the reference held here stays); a forked child's end closes nothing of its parent's.
TEST_F(LibraryTest, NormalEndClosesTheProcessHandlesAsOnNt)
{
    HANDLE shared = CreateEventA(nullptr, TRUE, FALSE, "single.shared");
    for (int copy = 0; copy < 2; ++copy) {
        const ProgramRun run = BuildAndRun("programs/single_instance.c", "-std=c99", "");
        EXPECT_EQ(run.status, 0) << copy;
        EXPECT_EQ(run.out, "after the child: still there\nown close: done\n") << copy;
    }
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "single.shared"), shared);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "single.guard"), nullptr);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "single.mine"), nullptr);
}

// A watcher that registers for changes, a tree delete that keeps the key when given no subkey, and
// HKEY_CURRENT_USER moved by the environment.
TEST_F(LibraryTest, TreeWatcherSeesTheChangeAndClearsItsTree)
{
    const ProgramRun run = BuildAndRun("programs/tree_watch.c", "-std=c99", "KSTNT_HKEY_CURRENT_USER='HKLM\\Alt/me'");
    EXPECT_EQ(run.status, 0);
    // Subkeys come in the daemon's order, which is not the order of creation.
    const bool        nightly_first = run.out.find("NIGHTLY") < run.out.find("WEEKLY");
    const std::string first = nightly_first ? "NIGHTLY" : "WEEKLY", second = nightly_first ? "WEEKLY" : "NIGHTLY";
    EXPECT_EQ(run.out, "before the change: quiet\n"
                       "after the change: signalled\n"
                       "subkey " +
                           first +
                           "\n"
                           "subkey " +
                           second +
                           "\n"
                           "2 subkeys\n"
                           "cleared, 0 values left\n"
                           "0 subkeys\n"
                           "delete tree: 0\n"
                           "open again: 2\n");
    HKEY orn = nullptr, jobs = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Alt\\me\\Software\\Orn", 0, KEY_READ, &orn), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(orn, "Jobs", 0, KEY_READ, &jobs), ERROR_FILE_NOT_FOUND);
}

// Worker threads released by an event, serialised by a named mutex, waited for all at once and mixed
// with an event, with their exit codes.
TEST_F(LibraryTest, WorkerThreadsAreWaitedForWithEvents)
{
    const ProgramRun run = BuildAndRun("programs/workers.c", "-std=c99", "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "started: distinct ids\n"
                       "running: STILL_ACTIVE\n"
                       "wait before go: timeout\n"
                       "wait after go: done\n"
                       "worker 1 exit 101\n"
                       "worker 2 exit 102\n"
                       "worker 3 exit 103\n"
                       "worker 4 exit 204\n"
                       "total 10\n"
                       "mixed wait: 1\n"
                       "thread handle as event: refused\n");
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
