// sandbox.cpp: rpcbind, /dev/log, fixture files and the real daemon inside nsrun's namespaces.
#include "tests/support/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef KST_DEFAULT_DAEMON
#define KST_DEFAULT_DAEMON "KSTntserver"
#endif
#ifndef KST_SOURCE_DIR
#define KST_SOURCE_DIR "."
#endif

namespace kst {
namespace {

constexpr int kPollStepMs = 5;  // between two looks at a condition
constexpr char kDevLog[] = "/dev/log";
constexpr char kRpcbind[] = "/usr/sbin/rpcbind";
constexpr char kRpcbindSock[] = "/run/rpcbind.sock";
constexpr char kSystemctl[] = "/usr/bin/systemctl";
constexpr uint32_t kPmapProg = 100000, kPmapVers = 2;
constexpr char kLsanSuppressions[] = KST_SOURCE_DIR "/tests/support/lsan.supp";

using Clock = std::chrono::steady_clock;

// Polls cond every few ms until it holds or timeout_ms passes; the only way this code waits.
template <class Cond>
bool PollFor(int timeout_ms, Cond cond)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond()) return true;
        if (Clock::now() >= deadline) return false;
        poll(nullptr, 0, kPollStepMs);
    }
}

// Starts argv[0] with the given environment, stdin on /dev/null; -1 on failure.
pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    std::vector<char *> argv, envp;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << strerror(rc);
        return -1;
    }
    return pid;
}

// Collects a child's status without blocking: its exit code (128+N for signal N), or nullopt if running.
std::optional<int> Reap(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ProcessExists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

bool MkdirP(const std::string &dir)
{
    for (std::size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        if (mkdir(dir.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (at == std::string::npos) return true;
    }
}

void RemoveTree(const char *path)
{
    nftw(path, [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> Glob(const std::string &pattern)
{
    std::vector<std::string> out;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (std::size_t i = 0; i < g.gl_pathc; ++i) out.emplace_back(g.gl_pathv[i]);
    globfree(&g);
    return out;
}

// "<14>Dec  5 17:19:00 KSTntserver[42]: text\n" -> priority 14, text "text".
SyslogMessage ParseSyslog(std::string raw)
{
    SyslogMessage m;
    std::string_view rest = raw;
    if (rest.starts_with('<') && rest.find('>') != std::string_view::npos) {
        m.priority = atoi(std::string(rest.substr(1, rest.find('>') - 1)).c_str());
        rest.remove_prefix(rest.find('>') + 1);
    }
    // RFC 3164 time stamp "Mmm dd hh:mm:ss ", as glibc's syslog() and logger write it.
    if (rest.size() > 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':' && rest[12] == ':' && rest[15] == ' ')
        rest.remove_prefix(16);
    // The ident (with an optional [pid]) is one word ending in ':'.
    const std::size_t colon = rest.find(": ");
    if (colon != std::string_view::npos && rest.substr(0, colon).find(' ') == std::string_view::npos)
        rest.remove_prefix(colon + 2);
    while (rest.ends_with('\n')) rest.remove_suffix(1);
    m.text = std::string(rest);
    m.raw = std::move(raw);
    return m;
}

}  // namespace

bool WriteFile(const std::string &path, std::string_view content)
{
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MkdirP(path.substr(0, slash))) return false;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(f.flush());
}

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool MakeKey(std::string_view key_path)
{
    return MkdirP(std::string(kRegistryDir) + "/" + std::string(key_path));
}

bool WriteValueFile(std::string_view key_path, std::string_view file_name, uint32_t type, std::string_view data)
{
    const auto size = static_cast<uint32_t>(data.size());
    std::string content(reinterpret_cast<const char *>(&type), 4);  // host byte order, as the daemon writes
    content.append(reinterpret_cast<const char *>(&size), 4);
    content.append(data);
    return WriteFile(std::string(kRegistryDir) + "/" + std::string(key_path) + "/" + std::string(file_name), content);
}

std::optional<pid_t> ReadPid(const std::string &path)
{
    const auto text = ReadFile(path);
    if (!text || text->empty()) return std::nullopt;
    const long pid = strtol(text->c_str(), nullptr, 10);
    if (pid <= 0) return std::nullopt;
    return static_cast<pid_t>(pid);
}

std::optional<long> ProcStatusKb(pid_t pid, std::string_view field)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return std::nullopt;
}

int CountFds(pid_t pid)
{
    UniqueDir dir(opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()));
    if (!dir) return -1;
    int n = 0;
    while (const dirent *e = readdir(dir.get()))
        if (e->d_name[0] != '.') ++n;
    return n;
}

Sandbox::Sandbox()
{
    struct stat opt{}, kestrel{};
    const bool mounted = stat("/opt/orn", &opt) == 0 && stat("/opt/orn/kestrel", &kestrel) == 0 &&
                         opt.st_dev != kestrel.st_dev;
    if (getpid() != 1 || !mounted) {
        fprintf(stderr, "daemon tests run only inside tools/nsrun (e.g. tools/nsrun ./test); refusing.\n");
        std::_Exit(125);
    }
    // A test binary run whole in one namespace: start each case from the state nsrun creates.
    for (const char *f : {kTraceFile, kReadyFile, kPidFile, kPropertyFile, kUnitFile, kDevLog, kRpcbindSock})
        unlink(f);
    for (const auto &f : Glob(std::string(kSanitizerLog) + "*")) unlink(f.c_str());
    for (const auto &f : Glob("/run/rpcbind/*")) unlink(f.c_str());
    umount2(kSystemctl, MNT_DETACH);
    RemoveTree(kRegistryDir);
    MakeKey("HKEY_CLASS_ROOT");
    MakeKey("HKEY_LOCAL_MACHINE");
}

bool Sandbox::StartRpcbind()
{
    if (mkdir("/run/rpcbind", 0755) != 0 && errno != EEXIST) return false;
    rpcbind_ = Spawn({kRpcbind, "-w", "-f"}, {"PATH=/usr/sbin:/usr/bin"});
    if (rpcbind_ < 0) return false;
    const bool up = PollFor(10000, [&] {
        return !Reap(rpcbind_) && access(kRpcbindSock, F_OK) == 0 && PmapGetPort(kPmapProg, kPmapVers).value_or(0);
    });
    if (!up) ADD_FAILURE() << "rpcbind did not come up on 127.0.0.1:111";
    return up;
}

void Sandbox::StopRpcbind()
{
    if (rpcbind_ <= 0) return;
    kill(rpcbind_, SIGTERM);
    if (!PollFor(5000, [&] { return Reap(rpcbind_).has_value(); })) {
        kill(rpcbind_, SIGKILL);
        PollFor(5000, [&] { return Reap(rpcbind_).has_value(); });
    }
    rpcbind_ = -1;
}

bool Sandbox::ListenSyslog()
{
    syslog_fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kDevLog);
    unlink(kDevLog);
    if (!syslog_fd_ || bind(syslog_fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "cannot bind " << kDevLog << ": " << strerror(errno);
        syslog_fd_.reset();
        return false;
    }
    chmod(kDevLog, 0666);
    return true;
}

const std::vector<SyslogMessage> &Sandbox::SyslogMessages()
{
    char buf[8192];
    for (ssize_t n; syslog_fd_ && (n = recv(syslog_fd_.get(), buf, sizeof buf, 0)) >= 0;)
        syslog_.push_back(ParseSyslog(std::string(buf, static_cast<std::size_t>(n))));
    return syslog_;
}

std::optional<SyslogMessage> Sandbox::WaitForSyslog(std::string_view needle, int timeout_ms)
{
    std::optional<SyslogMessage> found;
    PollFor(timeout_ms, [&] {
        for (const auto &m : SyslogMessages())
            if (m.text.find(needle) != std::string::npos) found = m;
        return found.has_value();
    });
    return found;
}

bool Sandbox::HideSystemctl()
{
    return mount("/dev/null", kSystemctl, nullptr, MS_BIND, nullptr) == 0;
}

int Sandbox::Launch(int timeout_ms)
{
    const char *path = getenv("KST_DAEMON");
    const std::string sanitizer = std::string("log_path=") + kSanitizerLog + ":print_stacktrace=1:halt_on_error=1";
    // The daemon's own environment, as clean as an administrator's shell, plus where to leave traces and reports.
    const pid_t launcher = Spawn({path && *path ? path : KST_DEFAULT_DAEMON},
                                 {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", std::string("KST_TRACE_FILE=") + kTraceFile,
                                  "ASAN_OPTIONS=" + sanitizer + ":detect_leaks=1", "UBSAN_OPTIONS=" + sanitizer,
                                  std::string("LSAN_OPTIONS=print_suppressions=0:suppressions=") + kLsanSuppressions});
    if (launcher < 0) return -1;
    std::optional<int> status;
    if (PollFor(timeout_ms, [&] { return (status = Reap(launcher)).has_value(); })) return *status;
    ADD_FAILURE() << "the daemon's launcher did not exit within " << timeout_ms << " ms";
    kill(launcher, SIGKILL);
    PollFor(5000, [&] { return Reap(launcher).has_value(); });
    return -1;
}

bool Sandbox::WaitReady(int timeout_ms)
{
    const bool ready = PollFor(timeout_ms, [&] {
        return access(kReadyFile, F_OK) == 0 && (port_ = PmapGetPort(kProgram, kVersion).value_or(0)) != 0;
    });
    if (!ready) return false;
    Track(ReadPid(kReadyFile).value_or(ReadPid(kPidFile).value_or(-1)));
    return pid_ > 0;
}

bool Sandbox::Start()
{
    const int status = Launch();
    if (status != 0) {
        ADD_FAILURE() << "the daemon's launcher exited with " << status;
        return false;
    }
    if (WaitReady()) return true;
    ADD_FAILURE() << "the daemon was not ready (ready file, registration, pid) within " << kStartTimeoutMs << " ms";
    return false;
}

void Sandbox::Track(pid_t pid)
{
    pid_ = pid;
    daemon_status_.reset();
}

Connection Sandbox::Connect()
{
    Connection c;
    if (!c.Connect(port_)) ADD_FAILURE() << c.error();
    return c;
}

bool Sandbox::DaemonAlive()
{
    if (pid_ <= 0) return false;
    // Orphans are reparented to the namespace's pid 1, this test: reap it so its zombie does not count.
    if (auto status = Reap(pid_)) daemon_status_ = status;
    return !daemon_status_ && ProcessExists(pid_);
}

bool Sandbox::WaitGone(int timeout_ms)
{
    return PollFor(timeout_ms, [&] { return !DaemonAlive(); });
}

bool Sandbox::Stop(int timeout_ms)
{
    if (pid_ <= 0 || kill(pid_, SIGTERM) != 0) return false;
    return WaitGone(timeout_ms);
}

std::vector<std::string> Sandbox::TraceLines() const
{
    std::vector<std::string> lines;
    std::ifstream f(kTraceFile);
    for (std::string line; std::getline(f, line);) lines.push_back(std::move(line));
    return lines;
}

std::size_t Sandbox::CountTrace(std::string_view needle, std::size_t since) const
{
    const auto lines = TraceLines();
    std::size_t n = 0;
    for (std::size_t i = since; i < lines.size(); ++i) n += lines[i].find(needle) != std::string::npos;
    return n;
}

std::optional<std::string> Sandbox::WaitForTrace(std::string_view needle, int timeout_ms, std::size_t since)
{
    std::optional<std::string> found;
    PollFor(timeout_ms, [&] {
        const auto lines = TraceLines();
        for (std::size_t i = since; i < lines.size() && !found; ++i)
            if (lines[i].find(needle) != std::string::npos) found = lines[i];
        return found.has_value();
    });
    return found;
}

void Sandbox::Finish()
{
    if (finished_) return;
    finished_ = true;
    // A graceful stop first, so a sanitizer build also checks the shutdown path and leaks.
    if (DaemonAlive() && !Stop(3000)) {
        kill(pid_, SIGKILL);
        WaitGone(5000);
    }
    StopRpcbind();
    // Anything else in the namespace was started by this test: a second instance, a launcher, helpers.
    std::vector<pid_t> left;
    UniqueDir proc(opendir("/proc"));
    while (const dirent *e = proc ? readdir(proc.get()) : nullptr) {
        const pid_t p = static_cast<pid_t>(atoi(e->d_name));
        if (p > 1) left.push_back(p);
    }
    for (pid_t p : left) kill(p, SIGKILL);
    for (pid_t p : left) PollFor(2000, [&] { return Reap(p) || !ProcessExists(p); });
    for (const auto &file : Glob(std::string(kSanitizerLog) + "*")) {
        const auto report = ReadFile(file);
        if (!report || report->find_first_not_of(" \n") != std::string::npos)
            ADD_FAILURE() << "sanitizer report " << file << ":\n" << report.value_or("(unreadable)");
        unlink(file.c_str());
    }
}

}  // namespace kst
