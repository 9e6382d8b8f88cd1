// objects.cpp: kstctl event, mutex, sem, wait and run: named objects from the shell.
//
// The daemon keeps an object while any handle to it is open, and it never closes a handle because a
// connection ended. So "create" leaves its handle open on purpose, and tells libkstnt not to close it
// when kstctl ends: the object outlives kstctl, and stays until the daemon stops. Every other
// subcommand closes what it opened.
#include "libkstnt/session.h"
#include "tools/kstctl/args.h"
#include "tools/kstctl/kstctl.h"
#include "tools/kstctl/nt.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kstctl {
namespace {

constexpr char kEventHelp[] =
    "Usage: kstctl event create NAME [--manual-reset] [--signalled]\n"
    "       kstctl event set NAME\n"
    "       kstctl event reset NAME\n\n"
    "create makes a named event (auto-reset and not signalled unless told otherwise) that stays in\n"
    "the daemon until it stops; an existing event is left as it is. set signals it, waking its\n"
    "waiters; reset clears it.\n";
constexpr char kMutexHelp[] =
    "Usage: kstctl mutex create NAME\n\n"
    "Makes a free named mutex that stays in the daemon until it stops; an existing one is left as\n"
    "it is. A mutex belongs to the connection that waited for it, so kstctl can't hold one after it\n"
    "exits: use 'kstctl run --mutex NAME -- COMMAND' to hold one while a command runs.\n";
constexpr char kSemHelp[] =
    "Usage: kstctl sem create NAME INITIAL MAX\n"
    "       kstctl sem release NAME [COUNT]\n\n"
    "create makes a named semaphore with count INITIAL and maximum MAX (0 <= INITIAL <= MAX) that\n"
    "stays in the daemon until it stops; an existing one is left as it is. release adds COUNT\n"
    "(default 1), waking as many waiters; it fails when the count would pass the maximum.\n";
constexpr char kWaitHelp[] =
    "Usage: kstctl wait NAME... [--all] [--timeout DURATION]\n\n"
    "Waits until one of the named objects is signalled (with --all: every one), at most DURATION\n"
    "(30, 1.5s, 250ms, 2m, 1h; default: for ever). NAME is an event, mutex or semaphore; write\n"
    "event:NAME, mutex:NAME or sem:NAME when more than one kind has that name. Waiting consumes\n"
    "what the object gives: an auto-reset event is reset, a semaphore count taken; a mutex is\n"
    "owned until kstctl exits, which is at once. Without --all and with more than one NAME, prints\n"
    "the name of the object that ended the wait. Exit status 75 on time-out.\n";
constexpr char kRunHelp[] =
    "Usage: kstctl run --mutex NAME [--timeout DURATION] [--] COMMAND [ARGUMENT...]\n\n"
    "Takes the named mutex (creating it when missing), runs COMMAND while holding it, releases it\n"
    "and exits with COMMAND's status (128+N when signal N ended it). Exit status 75 when the mutex\n"
    "was not free within DURATION; COMMAND is then not run. SIGTERM and SIGHUP are passed on to\n"
    "COMMAND; SIGINT and SIGQUIT from the terminal reach it directly.\n";

enum class Kind { Event, Mutex, Semaphore };

const char *KindName(Kind kind)
{
    return kind == Kind::Event ? "event" : kind == Kind::Mutex ? "mutex" : "semaphore";
}

HANDLE OpenByKind(Kind kind, const std::string &name)
{
    switch (kind) {
    case Kind::Event:
        return OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
    case Kind::Mutex:
        return OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    case Kind::Semaphore:
        return OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name.c_str());
    }
    return nullptr;
}

// Opens an object that must exist; prints why not.
bool OpenExisting(Kind kind, const std::string &name, UniqueHandle &out, int &status)
{
    out.reset(OpenByKind(kind, name));
    if (out.get()) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND)
        status = Fail(kExitFailure, "no %s named '%s'", KindName(kind), name.c_str());
    else
        status = FailCode(code, std::string(KindName(kind)) + " " + name);
    return false;
}

// The result of a create: an object that existed already gets its extra reference back, so it is left
// exactly as it was; a new one keeps the handle open (see the top of this file).
int Created(HANDLE h, Kind kind, const std::string &name)
{
    if (!h) return FailCode(GetLastError(), std::string("create ") + KindName(kind) + " " + name);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        CloseHandle(h);
    else
        kstnt::KeepAtExit(h);
    return kExitOk;
}

std::optional<ParsedArgs> ParseOrFail(int argc, char **argv, std::span<const OptionSpec> specs, int &status,
                                      bool stop_at_word = false)
{
    ParsedArgs  args;
    std::string error;
    if (!ParseArgs(argc, argv, specs, args, error, stop_at_word)) {
        status = UsageError("%s", error.c_str());
        return std::nullopt;
    }
    return args;
}

// A name for the daemon's 64-byte name field; empty names make unnamed objects nobody can find again.
bool CheckName(const std::string &name, int &status)
{
    if (name.empty())
        status = UsageError("the name can't be empty");
    else if (name.size() > KSTNT_MAX_OBJECT_NAME)
        status = UsageError("names hold at most %d bytes", KSTNT_MAX_OBJECT_NAME);
    else
        return true;
    return false;
}

// Set by the handlers below; the loops look at it between bounded steps.
volatile sig_atomic_t g_signal = 0;
void                  NoteSignal(int sig)
{
    g_signal = sig;
}

// Sets the handler of each signal. A signal kstctl was started with ignored (SIGINT in a background
// job) stays ignored when catching it, as the shell meant; SIG_IGN and SIG_DFL are set as asked.
void Catch(std::initializer_list<int> signals, void (*handler)(int), bool restart)
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&sa.sa_mask);
    for (const int sig : signals) {
        struct sigaction old {};
        if (handler == NoteSignal && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

// Waits in steps short enough to notice SIGINT or SIGTERM, each step ended by the library's cancel,
// which never loses a wake-up. Wait-all is not split: a parked wait-all that is cancelled would throw
// away the signals it had already taken; a signal ends it the default way, and the daemon drops the
// parked call with the connection. WAIT_TIMEOUT when the time ran out or a signal came.
DWORD InterruptibleWait(const std::vector<HANDLE> &handles, bool all, std::optional<uint32_t> timeout_ms)
{
    constexpr uint32_t kStepMs = 250;
    const auto         n = static_cast<DWORD>(handles.size());
    if (all) return WaitForMultipleObjects(n, handles.data(), TRUE, timeout_ms.value_or(INFINITE));
    Catch({SIGINT, SIGTERM, SIGHUP}, NoteSignal, true);
    uint64_t left = timeout_ms.value_or(INFINITE);
    for (;;) {
        const uint32_t step = timeout_ms ? static_cast<uint32_t>(std::min<uint64_t>(left, kStepMs)) : kStepMs;
        const DWORD    rc = WaitForMultipleObjects(n, handles.data(), FALSE, step);
        if (rc != WAIT_TIMEOUT || g_signal) return rc;
        if (timeout_ms) {
            left -= step;
            if (left == 0) return rc;
        }
    }
}

// The status a shell gives a process ended by signal sig, after the default action is restored.
int DieLike(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig);
    return 128 + sig;
}

}  // namespace

int RunEvent(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kEventHelp);
    enum { kManual, kSignalled };
    constexpr OptionSpec specs[] = {{nullptr, "manual-reset", false, kManual},
                                    {nullptr, "signalled", false, kSignalled}};
    int                  status = kExitOk;
    const auto           args = ParseOrFail(argc, argv, specs, status);
    if (!args) return status;
    if (args->words.size() != 2) return UsageError("expected create, set or reset and a NAME");
    const std::string &op = args->words[0], &name = args->words[1];
    if (op != "create" && !args->options.empty()) return UsageError("options apply to create only");
    if (!CheckName(name, status)) return status;
    if (op == "create") {
        bool manual = false, signalled = false;
        for (const ParsedOption &o : args->options)
            (o.id == kManual ? manual : signalled) = true;
        return Created(CreateEventA(nullptr, manual, signalled, name.c_str()), Kind::Event, name);
    }
    if (op != "set" && op != "reset") return UsageError("unknown operation '%s'", op.c_str());
    UniqueHandle h;
    if (!OpenExisting(Kind::Event, name, h, status)) return status;
    if (!(op == "set" ? SetEvent(h.get()) : ResetEvent(h.get()))) return FailCode(GetLastError(), op + " " + name);
    return kExitOk;
}

int RunMutex(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kMutexHelp);
    int        status = kExitOk;
    const auto args = ParseOrFail(argc, argv, {}, status);
    if (!args) return status;
    if (args->words.size() != 2 || args->words[0] != "create") return UsageError("expected create NAME");
    const std::string &name = args->words[1];
    if (!CheckName(name, status)) return status;
    return Created(CreateMutexA(nullptr, FALSE, name.c_str()), Kind::Mutex, name);
}

int RunSem(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kSemHelp);
    int        status = kExitOk;
    const auto args = ParseOrFail(argc, argv, {}, status);
    if (!args) return status;
    const std::vector<std::string> &w = args->words;
    if (w.size() < 2) return UsageError("expected create NAME INITIAL MAX or release NAME [COUNT]");
    const std::string &name = w[1];
    if (!CheckName(name, status)) return status;
    if (w[0] == "create") {
        if (w.size() != 4) return UsageError("expected create NAME INITIAL MAX");
        const auto initial = ParseNumber(w[2], LONG_MAX), maximum = ParseNumber(w[3], LONG_MAX);
        if (!initial || !maximum || *initial > *maximum)
            return UsageError("INITIAL and MAX must be numbers with 0 <= INITIAL <= MAX <= %ld",
                              static_cast<long>(LONG_MAX));
        return Created(
            CreateSemaphoreA(nullptr, static_cast<LONG>(*initial), static_cast<LONG>(*maximum), name.c_str()),
            Kind::Semaphore, name);
    }
    if (w[0] != "release") return UsageError("unknown operation '%s'", w[0].c_str());
    if (w.size() > 3) return UsageError("expected release NAME [COUNT]");
    const auto count = w.size() == 3 ? ParseNumber(w[2], LONG_MAX) : std::optional<uint64_t>(1);
    if (!count || *count == 0) return UsageError("COUNT must be a number from 1 to %ld", static_cast<long>(LONG_MAX));
    UniqueHandle h;
    if (!OpenExisting(Kind::Semaphore, name, h, status)) return status;
    if (!ReleaseSemaphore(h.get(), static_cast<LONG>(*count), nullptr))
        return FailCode(GetLastError(), "release " + name);
    return kExitOk;
}

int RunWait(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kWaitHelp);
    enum { kAll, kTimeout };
    constexpr OptionSpec specs[] = {{nullptr, "all", false, kAll}, {nullptr, "timeout", true, kTimeout}};
    int                  status = kExitOk;
    const auto           args = ParseOrFail(argc, argv, specs, status);
    if (!args) return status;
    bool                    all = false;
    std::optional<uint32_t> timeout_ms;
    for (const ParsedOption &o : args->options) {
        if (o.id == kAll)
            all = true;
        else if (!(timeout_ms = ParseDurationMs(o.arg)))
            return UsageError("bad duration '%s'", o.arg.c_str());
    }
    if (args->words.empty()) return UsageError("name at least one object");
    if (args->words.size() > MAXIMUM_WAIT_OBJECTS) return UsageError("at most %d objects", MAXIMUM_WAIT_OBJECTS);

    std::vector<UniqueHandle> owned;
    std::vector<HANDLE>       handles;
    for (const std::string &word : args->words) {
        std::optional<Kind> only;
        std::string         name = word;
        for (const auto &[prefix, kind] :
             {std::pair{"event:", Kind::Event}, std::pair{"mutex:", Kind::Mutex}, std::pair{"sem:", Kind::Semaphore},
              std::pair{"semaphore:", Kind::Semaphore}})
            if (word.starts_with(prefix)) {
                only = kind;
                name = word.substr(std::strlen(prefix));
            }
        if (!CheckName(name, status)) return status;
        UniqueHandle found;
        int          kinds = 0;
        for (const Kind kind : {Kind::Event, Kind::Mutex, Kind::Semaphore}) {
            if (only && kind != *only) continue;
            UniqueHandle h(OpenByKind(kind, name));
            if (!h.get() && GetLastError() != ERROR_FILE_NOT_FOUND)
                return FailCode(GetLastError(), std::string(KindName(kind)) + " " + name);
            if (h.get() && ++kinds == 1) found = std::move(h);
        }
        if (kinds == 0)
            return Fail(kExitFailure, "no %s named '%s'", only ? KindName(*only) : "event, mutex or semaphore",
                        name.c_str());
        if (kinds > 1)
            return UsageError("more than one kind of object is named '%s': write event:, mutex: or sem: before it",
                              name.c_str());
        handles.push_back(found.get());
        owned.push_back(std::move(found));
    }
    const DWORD rc = InterruptibleWait(handles, all, timeout_ms);
    if (rc == WAIT_TIMEOUT && g_signal) return DieLike(g_signal);
    if (rc == WAIT_TIMEOUT) return Fail(kExitTimeout, "timed out");
    if (rc == WAIT_FAILED) return FailCode(GetLastError(), "wait");
    if (!all && handles.size() > 1 && rc - WAIT_OBJECT_0 < handles.size())
        std::printf("%s\n", args->words[rc - WAIT_OBJECT_0].c_str());
    return kExitOk;
}

int RunRun(int argc, char **argv)
{
    if (WantsHelp(argc, argv)) return PrintHelp(kRunHelp);
    enum { kMutex, kTimeout };
    constexpr OptionSpec specs[] = {{nullptr, "mutex", true, kMutex}, {nullptr, "timeout", true, kTimeout}};
    int                  status = kExitOk;
    const auto           args = ParseOrFail(argc, argv, specs, status, /*stop_at_word=*/true);
    if (!args) return status;
    std::optional<std::string> name;
    std::optional<uint32_t>    timeout_ms;
    for (const ParsedOption &o : args->options) {
        if (o.id == kMutex)
            name = o.arg;
        else if (!(timeout_ms = ParseDurationMs(o.arg)))
            return UsageError("bad duration '%s'", o.arg.c_str());
    }
    if (!name) return UsageError("--mutex NAME is required");
    if (!CheckName(*name, status)) return status;
    if (args->words.empty()) return UsageError("missing COMMAND");
    // COMMAND gets the dispositions kstctl was started with (exec turns caught ones into the default).
    constexpr std::array                         kPassed{SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    std::array<struct sigaction, kPassed.size()> started{};
    for (std::size_t i = 0; i < kPassed.size(); ++i)
        sigaction(kPassed[i], nullptr, &started[i]);

    // Opens the mutex, or creates it free; the handle is closed at the end, so a mutex made here goes
    // away with the last handle, as flock's lock does.
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, name->c_str()));
    if (!mutex.get()) return FailCode(GetLastError(), "mutex " + *name);
    const DWORD rc = InterruptibleWait({mutex.get()}, false, timeout_ms);
    if (rc == WAIT_TIMEOUT && g_signal) return DieLike(g_signal);
    if (rc == WAIT_TIMEOUT) return Fail(kExitTimeout, "timed out waiting for mutex '%s'", name->c_str());
    if (rc != WAIT_OBJECT_0) return FailCode(GetLastError(), "mutex " + *name);

    // The terminal sends SIGINT and SIGQUIT to COMMAND too; kstctl stays to release the mutex.
    Catch({SIGINT, SIGQUIT}, SIG_IGN, false);
    Catch({SIGTERM, SIGHUP}, NoteSignal, false);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        ReleaseMutex(mutex.get());
        return Fail(kExitFailure, "fork: %s", std::strerror(errno));
    }
    if (child == 0) {
        for (std::size_t i = 0; i < kPassed.size(); ++i)
            sigaction(kPassed[i], &started[i], nullptr);
        std::vector<char *> child_argv;
        for (const std::string &w : args->words)
            child_argv.push_back(const_cast<char *>(w.c_str()));
        child_argv.push_back(nullptr);
        execvp(child_argv[0], child_argv.data());
        const int err = errno;
        std::fprintf(stderr, "kstctl run: %s: %s\n", child_argv[0], std::strerror(err));
        _exit(err == ENOENT ? 127 : 126);
    }
    int wstatus = 0;
    for (;;) {
        if (waitpid(child, &wstatus, 0) == child) break;
        if (errno != EINTR) return Fail(kExitFailure, "waitpid: %s", std::strerror(errno));
        if (g_signal) kill(child, std::exchange(g_signal, 0));
    }
    if (!ReleaseMutex(mutex.get()))
        Fail(kExitOk, "warning: releasing mutex '%s': %s", name->c_str(), ErrorText(GetLastError()).c_str());
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    return 128 + WTERMSIG(wstatus);
}

}  // namespace kstctl
