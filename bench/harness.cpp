// harness.cpp: child processes, portmapper, syslog sink, the daemon and Redis inside nsrun's namespaces.
#include "bench/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kst::bench {
namespace {

constexpr char kDevLog[] = "/dev/log";
constexpr char kRedisServer[] = "/usr/bin/redis-server";

std::optional<pid_t> ReadPid(const char *path)
{
    std::ifstream f(path);
    long          pid = 0;
    if (!(f >> pid) || pid <= 0) return std::nullopt;
    return static_cast<pid_t>(pid);
}

int g_server_cpu = -1;  // where PlaceServer puts servers; -1 on one CPU

}  // namespace

std::string PlaceClients()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const std::string of = " of " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs";
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) return "1" + of;
    int first = -1, last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &cpus)) continue;
        if (first < 0) first = cpu;
        last = cpu;
    }
    cpu_set_t mine;
    CPU_ZERO(&mine);
    CPU_SET(last, &mine);
    if (sched_setaffinity(0, sizeof mine, &mine) != 0) return std::to_string(CPU_COUNT(&cpus)) + of;
    g_server_cpu = first;
    return "2" + of + ", servers on one and clients on the other";
}

void PlaceServer(pid_t pid)
{
    if (g_server_cpu < 0 || pid <= 0) return;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(g_server_cpu, &cpus);
    std::error_code failed;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", failed))
        sched_setaffinity(static_cast<pid_t>(std::atoi(task.path().filename().c_str())), sizeof cpus, &cpus);
}

void PlaceFloor(pid_t pid)
{
    PlaceServer(pid);
    // The daemon gives the group its session is scheduled as its own priority, -10: a floor, in a
    // session of its own too, gets the same, so both weigh alike against their callers' session.
    if (pid <= 0 || getsid(pid) != pid) return;
    if (std::ofstream group("/proc/" + std::to_string(pid) + "/autogroup"); group) group << -10 << std::flush;
}

bool EndChild(pid_t pid, int timeout_ms)
{
    if (pid <= 0 || kill(pid, SIGTERM) != 0) return false;
    if (PollFor(timeout_ms, [&] { return Reap(pid).has_value(); })) return true;
    kill(pid, SIGKILL);
    PollFor(2000, [&] { return Reap(pid).has_value(); });
    return false;
}

long RssKb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.starts_with("VmRSS:")) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

double CpuSeconds(pid_t pid)
{
    std::ifstream      f("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    return f >> ns ? static_cast<double>(ns) / 1e9 : -1;
}

uint16_t FreePort(uint16_t from)
{
    for (uint16_t port = from;; ++port) {
        UniqueFd    fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return port;
    }
}

bool SyslogSink::Start()
{
    // As a host with systemd has it (the default of 10 makes a sender wait for the reader after a burst);
    // the setting belongs to this network namespace.
    std::ofstream("/proc/sys/net/unix/max_dgram_qlen") << 512;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kDevLog);
    unlink(kDevLog);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return false;
    chmod(kDevLog, 0666);
    reader_ = std::thread([this] {
        char buf[8192];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0)
                while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
                }
        }
    });
    return true;
}

SyslogSink::~SyslogSink()
{
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
}

std::optional<double> Daemon::Start(int timeout_ms)
{
    const auto  start = Clock::now();
    const pid_t launcher = Spawn({path_}, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, ChildOutput::Discard);
    if (launcher < 0) return std::nullopt;
    // The launcher detaches the daemon and exits; the daemon is then ours to reap as pid 1.
    bool         launched = false;
    const bool   ready = PollFor(timeout_ms, [&] {
        if (!launched) launched = Reap(launcher).has_value();
        if (access(kReadyFile, F_OK) != 0) return false;
        port_ = PmapGetPort(kProgram, kVersion).value_or(0);
        Connection c;
        return port_ != 0 && c.Connect(port_) && c.Null();
    });
    const double took = SecondsSince(start);
    if (!launched) PollFor(2000, [&] { return Reap(launcher).has_value(); });
    if (!ready) return std::nullopt;
    pid_ = ReadPid(kReadyFile).value_or(-1);
    PlaceServer(pid_);
    return pid_ > 0 ? std::optional<double>(took) : std::nullopt;
}

bool Daemon::Stop()
{
    if (pid_ <= 0) return true;
    const bool ok = EndChild(pid_, 20000);
    pid_ = -1;
    port_ = 0;
    return ok;
}

Connection Daemon::Connect() const
{
    Connection c;
    c.Connect(port_);
    return c;
}

namespace {

// A TCP connection to 127.0.0.1:port with TCP_NODELAY, as both clients use it; not valid on failure.
UniqueFd ConnectLoopback(uint16_t port)
{
    UniqueFd    fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return UniqueFd();
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Sends all of data; false on a broken connection.
bool SendAll(int fd, const void *data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = send(fd, static_cast<const char *>(data) + done, size - done, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) return false;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    return true;
}

uint32_t Be32(const uint8_t *p)
{
    uint32_t v = 0;
    memcpy(&v, p, sizeof v);
    return ntohl(v);
}

}  // namespace

bool WordCaller::Connect(uint16_t port)
{
    fd_ = ConnectLoopback(port);
    return static_cast<bool>(fd_);
}

std::optional<uint64_t> WordCaller::Call(Bytes &record)
{
    const uint32_t xid = htonl(++xid_);
    memcpy(record.data() + 4, &xid, sizeof xid);
    if (!SendAll(fd_.get(), record.data(), record.size())) return std::nullopt;
    // Record mark, xid, reply, accepted, empty verifier, success, the word: 36 bytes.
    uint8_t     reply[36];
    std::size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = recv(fd_.get(), reply + got, sizeof reply - got, 0);
        if (n <= 0 && errno != EINTR) return std::nullopt;
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    if (Be32(reply) != (0x80000000u | 32) || Be32(reply + 4) != xid_ || Be32(reply + 8) != 1 || Be32(reply + 12) != 0 ||
        Be32(reply + 24) != 0)
        return std::nullopt;
    return uint64_t{Be32(reply + 28)} << 32 | Be32(reply + 32);
}

bool PingCaller::Connect(uint16_t port)
{
    fd_ = ConnectLoopback(port);
    return static_cast<bool>(fd_);
}

std::optional<uint32_t> PingCaller::Call(uint32_t operation, uint32_t event)
{
    uint32_t message[2] = {operation, event};
    if (!SendAll(fd_.get(), message, sizeof message)) return std::nullopt;
    return recv(fd_.get(), message, sizeof message, MSG_WAITALL) == static_cast<ssize_t>(sizeof message)
               ? std::optional<uint32_t>(message[0])
               : std::nullopt;
}

bool Redis::Connect(uint16_t port)
{
    fd_ = ConnectLoopback(port);
    return static_cast<bool>(fd_);
}

std::string Redis::Encode(std::initializer_list<std::string_view> words)
{
    std::string out = "*";
    out.append(std::to_string(words.size())).append("\r\n");
    for (std::string_view w : words)
        out.append("$").append(std::to_string(w.size())).append("\r\n").append(w).append("\r\n");
    return out;
}

bool Redis::Command(const std::string &encoded)
{
    return SendAll(fd_.get(), encoded.data(), encoded.size()) && ReadReply();
}

bool Redis::ReadLine(std::string &line)
{
    for (std::size_t end; (end = buffer_.find("\r\n")) == std::string::npos;) {
        char          chunk[4096];
        const ssize_t n = recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n <= 0 && errno != EINTR) return false;
        if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t end = buffer_.find("\r\n");
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
}

// One reply of any type; arrays are read element by element, bulk strings as a line of their own (the
// benchmark's values hold no CR LF).
bool Redis::ReadReply()
{
    std::string line;
    if (!ReadLine(line) || line.empty() || line[0] == '-') return false;
    const long n = std::strtol(line.c_str() + 1, nullptr, 10);
    if (line[0] == '*')
        for (long i = 0; i < n; ++i)
            if (!ReadReply()) return false;
    if (line[0] == '$' && n >= 0) return ReadLine(line);
    return true;
}

pid_t StartRedis(uint16_t port)
{
    if (access(kRedisServer, X_OK) != 0) return -1;
    // In a session of its own, as the daemon runs once it has called daemon(): sharing the benchmark's
    // scheduling group, Redis would be preempted less by the clients it wakes than the daemon is.
    const pid_t redis = Spawn({kRedisServer, "--bind", "127.0.0.1", "--port", std::to_string(port), "--save", "",
                               "--appendonly", "no", "--daemonize", "no", "--dir", "/run", "--logfile", ""},
                              {"PATH=/usr/sbin:/usr/bin"}, ChildOutput::Discard, ChildSession::Own);
    Redis       probe;
    if (redis > 0 && PollFor(10000, [&] { return !Reap(redis) && probe.Connect(port) && probe.Command({"PING"}); }))
        return redis;
    if (redis > 0) EndChild(redis, 2000);
    return -1;
}

}  // namespace kst::bench
