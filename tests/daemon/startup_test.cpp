// startup_test.cpp: start-up refusals, plain and systemd starts with their pid and ready files, and the
// orderly shutdown on SIGTERM, all seen from outside the process.
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

namespace {

constexpr char    kSystemdPidFile[] = "/run/KSTntserver.pid";
const std::string kInfo =
    std::string("<").append(std::to_string(LOG_USER | LOG_INFO)).append(">");  // priority 6, default facility

using Texts = std::vector<std::string>;
using Pids = std::vector<pid_t>;  // of kst::Processes("KSTntserver"): once the launcher is reaped, only a daemon

class Startup : public ::testing::Test {
protected:
    kst::Sandbox sandbox_;
};

// Catches a probe that gives up silently, keeps going without a portmapper, or reports the wrong cause, and a
// loopback test that looks at no name at all, finds "lo" anywhere in one or wants "lo" exactly: with lo
// renamed xlo0 the start is refused even with rpcbind up, as local0 it goes ahead.
TEST_F(Startup, RefusesWithoutPortmapperOrLoopback)
{
    ASSERT_TRUE(sandbox_.ListenSyslog());
    EXPECT_EQ(sandbox_.Launch(), 5);              // five probes with a one-second pause between two
    EXPECT_EQ(sandbox_.TraceLines().size(), 1u);  // "Starting up..." and nothing further
    EXPECT_EQ(kst::Processes("KSTntserver"), Pids{});
    ASSERT_EQ(system("ip link set dev lo name xlo0"), 0);
    ASSERT_TRUE(sandbox_.StartRpcbind());
    EXPECT_EQ(sandbox_.Launch(), 5);
    EXPECT_EQ(sandbox_.SyslogMessages(), (Texts{kInfo + "Please cofirm the portmap or rpcbind service is working!",
                                                kInfo + "Please cofirm the loopback is working!"}));
    EXPECT_EQ(kst::Processes("KSTntserver"), Pids{});
    EXPECT_NE(access(kst::kReadyFile, F_OK), 0);
    ASSERT_EQ(system("ip link set dev xlo0 name local0"), 0);  // a name that begins with "lo" counts
    EXPECT_TRUE(sandbox_.Start());
}

// Catches a missing instance check, a unit file alone (systemctl not executable) taken for systemd mode, a
// stale pid file taken for a running instance (no positive-pid or liveness check), a pid file rewritten
// without truncation, wrong pid or ready file contents (newline, launcher's pid), a missing registration,
// and a shutdown that leaves the registration or ready file behind, removes the pid file
// or ends other than with status 0 (objects_test shuts down with parked waits and an owned mutex).
TEST_F(Startup, PidFileDecidesThePlainStartAndSigtermWithdrawsIt)
{
    ASSERT_TRUE(sandbox_.StartRpcbind());
    ASSERT_TRUE(sandbox_.ListenSyslog());
    ASSERT_TRUE(kst::WriteFile(kst::kUnitFile, "[Service]\nType=forking\n"));
    // systemctl covered by a non-executable node: a unit file alone is no systemd start
    ASSERT_EQ(mount("/dev/null", "/usr/bin/systemctl", nullptr, MS_BIND, nullptr), 0);
    const std::string live = std::to_string(getpid());  // this test: pid 1 of the namespace
    ASSERT_TRUE(kst::WriteFile(kst::kPidFile, live));
    EXPECT_EQ(sandbox_.Launch(), 7);
    EXPECT_EQ(sandbox_.SyslogMessages(), Texts{kInfo + "KSTntserver is already running!"});
    EXPECT_EQ(sandbox_.CountTrace(" 1 daemon_main daemon_start:", 0, "KSTntserver is already running!"), 1u);
    EXPECT_EQ(kst::ReadFile(kst::kPidFile), live);
    EXPECT_EQ(kst::PmapGetPort(), 0);
    EXPECT_EQ(kst::Processes("KSTntserver"), Pids{});

    const bool  grouped = access("/proc/self/autogroup", F_OK) == 0;  // the kernel groups sessions
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    // A descriptor the daemon inherits is closed once it has detached; the trace's own stay open.
    const int inherited = 900;
    const int null = open("/dev/null", O_RDONLY);  // without close-on-exec
    ASSERT_EQ(dup2(null, inherited), inherited);
    close(null);
    for (const std::string &stale :
         {std::string("0"), std::string("-5"), std::string("abc"), std::string(""), std::to_string(dead)}) {
        SCOPED_TRACE("pid file \"" + stale + "\"");
        ASSERT_TRUE(kst::WriteFile(kst::kPidFile, stale));
        const std::size_t mark = sandbox_.TraceMark();
        ASSERT_TRUE(sandbox_.Start());
        const pid_t pid = sandbox_.pid();
        EXPECT_EQ(sandbox_.CountTrace(" 3 daemon_main main:", mark, "Starting up..."), 1u);
        EXPECT_EQ(sandbox_.CountTrace("fork the child process", mark), 0u);
        EXPECT_EQ(kst::Processes("KSTntserver"), Pids{pid});
        EXPECT_EQ(kst::ReadFile(kst::kPidFile), std::to_string(pid));
        EXPECT_EQ(kst::ReadFile(kst::kReadyFile), std::to_string(pid));
        EXPECT_NE(access(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(inherited)).c_str(), F_OK), 0);
        EXPECT_EQ(kst::SessionNice(pid), grouped ? "-10" : "") << "the priority of the session it leads";
        ASSERT_TRUE(sandbox_.Stop());
        EXPECT_EQ(sandbox_.daemon_exit_status(), 0);
        EXPECT_EQ(sandbox_.CountTrace(" 3 ntsys_svc ServerTerminate:", mark, "Shutting down..."), 1u);
        EXPECT_NE(access(kst::kReadyFile, F_OK), 0);
        EXPECT_EQ(kst::PmapGetPort(), 0);
        EXPECT_EQ(kst::ReadFile(kst::kPidFile), std::to_string(pid));
    }
}

// Catches an instance check or a daemon() call in systemd mode (the serving pid would differ from the one
// the parent reports), a parent that does not exit 0, a pid file with a newline, and a parent that leaves
// before the child can serve, so units ordered after this one would start too early: with the portmapper
// paused the child can't register, and the parent must wait.
TEST_F(Startup, SystemdParentLeavesOnlyOnceTheChildThatServesAnswersOrHasEnded)
{
    ASSERT_EQ(access("/usr/bin/systemctl", X_OK), 0) << "systemd mode needs /usr/bin/systemctl";
    ASSERT_TRUE(sandbox_.StartRpcbind());
    ASSERT_TRUE(kst::WriteFile(kst::kUnitFile, "[Service]\nType=forking\n"));
    ASSERT_TRUE(kst::WriteFile(kst::kPidFile, std::to_string(getpid())));  // live, but not looked at in this mode
    const std::string session_nice = kst::SessionNice(getpid());           // the session the child will share
    const Pids        rpcbind = kst::Processes("rpcbind");
    ASSERT_EQ(rpcbind.size(), 1u);
    ASSERT_EQ(kill(rpcbind[0], SIGSTOP), 0);
    std::future<int> launcher = std::async(std::launch::async, [&] { return sandbox_.Launch(); });
    EXPECT_TRUE(sandbox_.WaitForTrace("fork the child process success", kst::kStartTimeoutMs));
    EXPECT_EQ(launcher.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the parent left while the child could not register";
    ASSERT_EQ(kill(rpcbind[0], SIGCONT), 0);
    ASSERT_EQ(launcher.get(), 0);
    // No waiting from here on: the parent's exit is the promise that clients can call.
    const std::optional<pid_t> child = kst::ReadPid(kSystemdPidFile);
    ASSERT_TRUE(child);
    EXPECT_EQ(kst::ReadFile(kSystemdPidFile), std::to_string(*child));
    const uint16_t port = kst::PmapGetPort().value_or(0);
    ASSERT_NE(port, 0);
    kst::Connection c;
    EXPECT_TRUE(c.Connect(port) && c.Null()) << c.error();
    ASSERT_TRUE(sandbox_.WaitReady());
    EXPECT_EQ(kst::Processes("KSTntserver"), Pids{*child});
    EXPECT_EQ(kst::SessionNice(*child), session_nice) << "the priority of a session it does not lead";
    ASSERT_TRUE(sandbox_.Stop());

    // Catches a parent that waits for a ready file that will never come: without the work directory the child
    // fails to write it and ends, and the parent then leaves with the status it always has.
    const std::size_t mark = sandbox_.TraceMark();
    ASSERT_EQ(std::system("rm -rf /opt/orn/kestrel/work"), 0);
    EXPECT_EQ(sandbox_.Launch(), 0);
    EXPECT_EQ(sandbox_.CountTrace(" 2 ntsys_svc NTSYS_Server:", mark, "Unable open KSTntserver.ready file"), 1u);
}

}  // namespace
