// ctl_live_test.cpp: the live view through the control socket: kstctl against the daemon, and raw
// clients that the socket must refuse or drop without the RPC service noticing.
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr char kSocket[] = "/run/KSTntserver.ctl";

struct ToolResult {
    int         status;  // exit status, or -1 when it did not exit normally
    std::string out;     // everything it wrote on stdout
};

// Runs the built kstctl with args and collects its stdout; stderr passes through to the test log.
ToolResult Kstctl(std::vector<std::string> args)
{
    args.insert(args.begin(), KST_KSTCTL);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {-1, {}};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t     pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ToolResult result{-1, {}};
    char       buffer[4096];
    for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;)
        result.out.append(buffer, n);
    close(out[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

UniqueFd ConnectControl()
{
    UniqueFd    fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kSocket);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fd.reset();
    return fd;
}

// In a child that becomes user 65534: 1 when connecting is refused by the file mode, 2 when the daemon
// answers with a refusal and closes, 0 otherwise.
int NonRootAttempt()
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(0);
        UniqueFd fd = ConnectControl();
        if (!fd) _exit(errno == EACCES ? 1 : 0);
        const timeval patience{5, 0};  // an answer instead of the refusal must not hang the test
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        (void)!send(fd.get(), "text status\n", 12, MSG_NOSIGNAL);  // the refusal may have closed it already
        std::string got;
        char        buffer[256];
        for (ssize_t n; (n = read(fd.get(), buffer, sizeof buffer)) > 0;)
            got.append(buffer, n);
        _exit(got.starts_with("error ") && got.find("permission denied") != std::string::npos ? 2 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The descriptor the daemon serves a test connection on, from `kstctl connections --json`.
int ServerFd(const kst::Connection &c)
{
    sockaddr_in local{};
    socklen_t   size = sizeof local;
    getsockname(c.fd(), reinterpret_cast<sockaddr *>(&local), &size);
    const ToolResult listed = Kstctl({"connections", "--json"});
    std::smatch      m;
    const std::regex entry("\"fd\":([0-9]+),\"peer\":\"127\\.0\\.0\\.1:" + std::to_string(ntohs(local.sin_port)) +
                           "\"");
    return std::regex_search(listed.out, m, entry) ? std::stoi(m[1]) : -1;
}

class ControlSocket : public kst::DaemonTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox_.StartRpcbind());
        // A dead server's socket is still there: the new one replaces it.
        UniqueFd    stale(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, kSocket);
        ASSERT_EQ(bind(stale.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_TRUE(sandbox_.Start());
    }
};

TEST_F(ControlSocket, IsRootOnlyByModeAndCredentialsAndGoesAwayAtShutdown)
{
    struct stat st {};
    ASSERT_EQ(lstat(kSocket, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(NonRootAttempt(), 1);
    ASSERT_EQ(chmod(kSocket, 0666), 0);  // past the file mode, the peer's credentials still refuse
    EXPECT_EQ(NonRootAttempt(), 2);

    const ToolResult status = Kstctl({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("refused control clients  1\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("pid                      " + std::to_string(sandbox_.pid()) + "\n"), std::string::npos);

    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_NE(lstat(kSocket, &st), 0);
    EXPECT_EQ(Kstctl({"status"}).status, 69);
}

TEST_F(ControlSocket, ClientThatNeverReadsIsDroppedWhileRpcCallsGoOn)
{
    kst::Connection rpc = Connect();
    UniqueFd        greedy = ConnectControl();
    ASSERT_TRUE(greedy);
    // Requests keep coming, answers are never read: the daemon must drop this client, not wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto       slowest = std::chrono::steady_clock::duration::zero();
    bool       dropped = false;
    for (int i = 0; !dropped && std::chrono::steady_clock::now() < deadline; ++i) {
        const ssize_t n = send(greedy.get(), "text status\n", 12, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) dropped = true;
        if (n < 0 && errno == EAGAIN) poll(nullptr, 0, 1);
        if (i % 500 == 0) {
            const auto start = std::chrono::steady_clock::now();
            ASSERT_TRUE(rpc.Null()) << rpc.error();
            slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        }
    }
    EXPECT_TRUE(dropped);
    EXPECT_LT(slowest, std::chrono::seconds(2));
    const ToolResult status = Kstctl({"status"});
    EXPECT_NE(status.out.find("dropped control clients  1\n"), std::string::npos) << status.out;
}

TEST_F(ControlSocket, ObjectsShowOwnerAndWaiterAndDisconnectHandsTheMutexOn)
{
    kst::Connection owner = Connect(), waiter = Connect();
    const uint64_t  m = *owner.CreateMutex(0, 1, "M");
    const uint32_t  xid = ParkCall(waiter, kst::proc::kWaitSingle, kst::EncodeWord(m),
                                   "WaitForSingleObject called, id=" + std::to_string(m));
    const int       owner_fd = ServerFd(owner), waiter_fd = ServerFd(waiter);
    ASSERT_GE(owner_fd, 0);
    ASSERT_GE(waiter_fd, 0);

    const ToolResult objects = Kstctl({"objects"});
    EXPECT_EQ(objects.status, 0);
    EXPECT_TRUE(std::regex_search(objects.out, std::regex("\nmutex +0x[0-9a-f]+ +1  owner=" + std::to_string(owner_fd) +
                                                          " +" + std::to_string(waiter_fd) + " +M\n")))
        << objects.out;
    const ToolResult connections = Kstctl({"connections"});
    EXPECT_TRUE(std::regex_search(connections.out, std::regex("\n" + std::to_string(waiter_fd) + " .* " +
                                                              std::to_string(getpid()) + " .*WaitForSingleObject\\(")))
        << connections.out;

    EXPECT_EQ(Kstctl({"disconnect", "99999"}).status, 1);
    const ToolResult dropped = Kstctl({"disconnect", std::to_string(owner_fd)});
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(dropped.out, "");
    EXPECT_EQ(kst::Next(waiter), (kst::Answer{xid, m}));  // the mutex passed to the parked waiter
    EXPECT_TRUE(owner.ClosedWithin(2000));
    EXPECT_NE(Kstctl({"objects", "--json"}).out.find("\"owner\":" + std::to_string(waiter_fd) + ",\"waiters\":[]"),
              std::string::npos);
}

}  // namespace
