// sandbox.cpp: rpcbind, /dev/log, fixture files and the real daemon inside nsrun's namespaces.
#include "tests/support/sandbox.h"

#include "tests/support/process.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifndef KST_DEFAULT_DAEMON
#define KST_DEFAULT_DAEMON "KSTntserver"
#endif
#ifndef KST_SOURCE_DIR
#define KST_SOURCE_DIR "."
#endif

namespace kst {
namespace {

namespace fs = std::filesystem;

constexpr char kDevLog[] = "/dev/log";
constexpr char kRpcbindSock[] = "/run/rpcbind.sock";
constexpr char kSystemctl[] = "/usr/bin/systemctl";
constexpr char kLsanSuppressions[] = KST_SOURCE_DIR "/tests/support/lsan.supp";

// The sanitizer reports in /run, one file per reporting process.
std::vector<std::string> SanitizerLogs()
{
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator("/run"))
        if (e.path().string().starts_with(kSanitizerLog)) out.push_back(e.path());
    return out;
}

// "<14>Dec  5 17:19:00 KSTntserver[42]: text\n" -> "<14>text"; nullopt for another program's message
// (the pidof that the daemon runs logs a process that vanished while it looked). The time stamp holds
// no ": ", so the first one ends the ident.
std::optional<std::string> ParseSyslog(std::string_view raw)
{
    const std::size_t ident_end = raw.find(": ");
    if (ident_end == std::string_view::npos) return std::nullopt;
    const std::string_view ident = raw.substr(0, ident_end).substr(raw.rfind(' ', ident_end) + 1);
    if (ident != "KSTntserver" && !ident.starts_with("KSTntserver[")) return std::nullopt;
    std::string text = std::string(raw.substr(0, raw.find('>') + 1)) + std::string(raw.substr(ident_end + 2));
    while (text.ends_with('\n'))
        text.pop_back();
    return text;
}

}  // namespace

bool WriteFile(const std::string &path, std::string_view content)
{
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(f.flush());
}

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(f), {});
}

bool MakeKey(std::string_view key_path)
{
    std::error_code ec;
    fs::create_directories(std::string(kRegistryDir) + "/" + std::string(key_path), ec);
    return !ec;
}

std::string ValueFile(uint32_t type, std::string_view data)
{
    const auto  size = static_cast<uint32_t>(data.size());
    std::string content(reinterpret_cast<const char *>(&type), 4);  // host byte order, as the daemon writes
    content.append(reinterpret_cast<const char *>(&size), 4);
    return content.append(data);
}

std::map<std::string, std::string> Snapshot(const std::string &root)
{
    std::map<std::string, std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(root)) {
        const std::string p = e.path().string();
        out[p] = e.is_symlink()     ? "link:" + fs::read_symlink(p).string()
                 : e.is_directory() ? "dir"
                                    : ReadFile(p).value_or("?");
    }
    return out;
}

std::optional<pid_t> ReadPid(const std::string &path)
{
    const long pid = strtol(ReadFile(path).value_or("").c_str(), nullptr, 10);
    return pid > 0 ? std::optional<pid_t>(static_cast<pid_t>(pid)) : std::nullopt;
}

std::optional<long> ProcStatusKb(pid_t pid, std::string_view field)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return std::nullopt;
}

std::vector<pid_t> Processes(std::string_view name)
{
    std::vector<pid_t> out;
    for (const auto &e : fs::directory_iterator("/proc"))
        if (const pid_t p = atoi(e.path().filename().c_str());
            p > 1 && (name.empty() || ReadFile(e.path() / "comm") == std::string(name) + "\n"))
            out.push_back(p);
    return out;
}

std::string SessionNice(pid_t pid)
{
    const std::string group = ReadFile("/proc/" + std::to_string(pid) + "/autogroup").value_or("");
    const auto        at = group.find(" nice ");
    return at == std::string::npos ? "" : group.substr(at + 6, group.find('\n') - at - 6);
}

Sandbox::Sandbox()
{
    struct stat opt {
    }, kestrel{};
    const bool mounted =
        stat("/opt/orn", &opt) == 0 && stat("/opt/orn/kestrel", &kestrel) == 0 && opt.st_dev != kestrel.st_dev;
    if (getpid() != 1 || !mounted) {
        fprintf(stderr, "daemon tests run only inside tools/nsrun (e.g. tools/nsrun ./test); refusing.\n");
        std::_Exit(125);
    }
    // A test binary run whole in one namespace: start each case from the state nsrun creates.
    for (const char *f : {kTraceFile, kReadyFile, kPidFile, kPropertyFile, kUnitFile, kDevLog, kRpcbindSock})
        unlink(f);
    for (const auto &f : SanitizerLogs())
        unlink(f.c_str());
    umount2(kSystemctl, MNT_DETACH);
    std::error_code ec;
    fs::remove_all("/run/rpcbind", ec);
    fs::remove_all(kRegistryDir, ec);
    MakeKey("HKEY_CLASS_ROOT");
    MakeKey("HKEY_LOCAL_MACHINE");
}

bool Sandbox::StartRpcbind()
{
    const bool up = kst::StartRpcbind();
    if (!up) ADD_FAILURE() << "rpcbind did not come up on 127.0.0.1:111";
    return up;
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
        return false;
    }
    chmod(kDevLog, 0666);
    return true;
}

const std::vector<std::string> &Sandbox::SyslogMessages()
{
    char buf[8192];
    for (ssize_t n; syslog_fd_ && (n = recv(syslog_fd_.get(), buf, sizeof buf, 0)) >= 0;)
        if (auto text = ParseSyslog(std::string_view(buf, static_cast<std::size_t>(n)))) syslog_.push_back(*text);
    return syslog_;
}

int Sandbox::Launch(int timeout_ms)
{
    const char       *path = getenv("KST_DAEMON");
    const std::string sanitizer = std::string("log_path=") + kSanitizerLog + ":print_stacktrace=1:halt_on_error=1";
    // The daemon's own environment, as clean as an administrator's shell, plus where to leave traces and reports;
    // an entry of daemon_env replaces the one of its name.
    std::vector<std::string> env = daemon_env;
    for (const std::string &entry :
         std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", std::string("KST_TRACE_FILE=") + kTraceFile,
                                  "ASAN_OPTIONS=" + sanitizer + ":detect_leaks=1", "UBSAN_OPTIONS=" + sanitizer,
                                  std::string("LSAN_OPTIONS=print_suppressions=0:suppressions=") + kLsanSuppressions})
        if (std::none_of(env.begin(), env.end(),
                         [&](auto &e) { return e.starts_with(entry.substr(0, entry.find('=') + 1)); }))
            env.push_back(entry);
    const pid_t        launcher = Spawn({path && *path ? path : KST_DEFAULT_DAEMON}, env);
    std::optional<int> status;
    if (launcher < 0) {
        ADD_FAILURE() << "cannot start the daemon: " << strerror(errno);
        return -1;
    }
    if (PollFor(timeout_ms, [&] { return (status = Reap(launcher)).has_value(); })) return *status;
    ADD_FAILURE() << "the daemon's launcher did not exit within " << timeout_ms << " ms";  // Finish kills it
    return -1;
}

bool Sandbox::WaitReady(int timeout_ms)
{
    const bool ready = PollFor(timeout_ms, [&] {
        return access(kReadyFile, F_OK) == 0 && (port_ = PmapGetPort(kProgram, kVersion).value_or(0)) != 0;
    });
    if (!ready) return false;
    pid_ = ReadPid(kReadyFile).value_or(ReadPid(kPidFile).value_or(-1));
    daemon_status_.reset();
    return pid_ > 0;
}

bool Sandbox::Start()
{
    const int status = Launch();
    EXPECT_EQ(status, 0) << "the daemon's launcher exited with " << status;
    const bool ready = status == 0 && WaitReady();
    EXPECT_TRUE(status != 0 || ready) << "not ready (ready file, registration, pid) in time";
    return ready;
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
    return !daemon_status_ && (kill(pid_, 0) == 0 || errno != ESRCH);
}

bool Sandbox::Stop(int timeout_ms)
{
    return pid_ > 0 && kill(pid_, SIGTERM) == 0 && PollFor(timeout_ms, [&] { return !DaemonAlive(); });
}

std::vector<std::string> Sandbox::TraceLines() const
{
    std::vector<std::string> lines;
    std::ifstream            f(kTraceFile);
    for (std::string line; std::getline(f, line);)
        lines.push_back(std::move(line));
    return lines;
}

std::size_t Sandbox::CountTrace(std::string_view needle, std::size_t since, std::string_view message) const
{
    const auto lines = TraceLines();
    // The message is the line's last word(s): it ends the line and a blank comes before it.
    const auto ends_with_message = [message](std::string_view line) {
        return line.size() > message.size() && line.ends_with(message) && line[line.size() - message.size() - 1] == ' ';
    };
    std::size_t n = 0;
    for (std::size_t i = since; i < lines.size(); ++i)
        n += lines[i].find(needle) != std::string::npos && (message.empty() || ends_with_message(lines[i]));
    return n;
}

bool Sandbox::WaitForTrace(std::string_view needle, int timeout_ms, std::size_t since) const
{
    return PollFor(timeout_ms, [&] { return CountTrace(needle, since) > 0; });
}

void Sandbox::Finish()
{
    if (finished_) return;
    finished_ = true;
    // A graceful stop first, so a sanitizer build also checks the shutdown path and leaks.
    if (DaemonAlive()) Stop(3000);
    // Anything else in the namespace was started by this test: rpcbind, a second instance, a launcher.
    const std::vector<pid_t> left = Processes();
    for (pid_t p : left)
        kill(p, SIGKILL);
    for (pid_t p : left)
        PollFor(2000, [&] { return Reap(p) || (kill(p, 0) != 0 && errno == ESRCH); });
    for (const auto &file : SanitizerLogs()) {
        const auto report = ReadFile(file);
        if (!report || report->find_first_not_of(" \n") != std::string::npos)
            ADD_FAILURE() << "sanitizer report " << file << ":\n" << report.value_or("(unreadable)");
        unlink(file.c_str());
    }
}

}  // namespace kst
