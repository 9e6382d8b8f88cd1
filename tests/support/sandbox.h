// sandbox.h: what a daemon test needs around the real binary inside tools/nsrun's private namespaces:
// a portmapper, a syslog listener at /dev/log, the configuration, unit, pid and registry files, the
// daemon started as an administrator starts it, its trace file and its sanitizer reports.
//
// Every wait is bounded polling for a condition; nothing here sleeps as synchronisation.
#pragma once

#include "client/client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kst {

inline constexpr char kTraceFile[] = "/run/kst-trace.log";
inline constexpr char kSanitizerLog[] = "/run/kst-sanitizer";  // reports land in kst-sanitizer.<pid>
inline constexpr char kReadyFile[] = "/opt/orn/kestrel/work/KSTntserver.ready";
inline constexpr char kPidFile[] = "/var/run/KSTntserver.pid";  // /var/run is /run, so also /run/KSTntserver.pid
inline constexpr char kPropertyFile[] = "/opt/orn/kestrel/data/property.inf";
inline constexpr char kUnitFile[] = "/usr/lib/systemd/system/KSTntserver.service";
inline constexpr char kRegistryDir[] = "/opt/orn/kestrel/registry";
inline constexpr int  kStartTimeoutMs = 20000;  // covers the daemon's 4 s portmapper probe with room to spare

// Polls cond every few ms until it holds or timeout_ms passes; the only way the daemon tests wait.
template <class Cond> bool PollFor(int timeout_ms, Cond cond)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

// Writes a file whole, creating missing parent directories; false on any error.
bool                       WriteFile(const std::string &path, std::string_view content);
std::optional<std::string> ReadFile(const std::string &path);
// A key directory below kRegistryDir, e.g. "HKEY_LOCAL_MACHINE/SOFTWARE/ORN", with its parents.
bool MakeKey(std::string_view key_path);
// The bytes of a value file as the daemon stores it: type and size as 32-bit host order, then the data.
std::string ValueFile(uint32_t type, std::string_view data);
// Every file, directory and link below a directory by full path, with file bytes, "dir" or "link:<target>".
std::map<std::string, std::string> Snapshot(const std::string &root);
// The leading decimal number of a pid or ready file, if positive.
std::optional<pid_t> ReadPid(const std::string &path);
// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); nullopt when unreadable.
std::optional<long> ProcStatusKb(pid_t pid, std::string_view field);
// The namespace's processes other than this test (its pid 1); with a name, only those of that name.
std::vector<pid_t> Processes(std::string_view name = {});
// The nice of the scheduling group of pid's session, from /proc/<pid>/autogroup ("/autogroup-N nice K");
// empty when the kernel groups no sessions or the process has gone.
std::string SessionNice(pid_t pid);

class Sandbox {
public:
    // Refuses (exit 125) outside nsrun, so a test run by hand can't touch the host's /run.
    // Removes what an earlier test in the same namespace left behind.
    Sandbox();
    ~Sandbox() { Finish(); }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // rpcbind -w -f in the background; true once 127.0.0.1:111 answers and its local socket exists.
    bool StartRpcbind();
    // Binds a datagram socket at /dev/log; messages are collected on demand.
    bool ListenSyslog();
    // The daemon's messages received so far as "<priority>text", time stamp and ident removed (drains the
    // socket first).
    const std::vector<std::string> &SyslogMessages();

    // Runs the daemon binary with no arguments and returns the launcher's exit status (-1 if it did not
    // exit within timeout_ms, 128+N if signal N ended it). The daemon then runs detached.
    int Launch(int timeout_ms = kStartTimeoutMs);
    // Set before Launch: entries of the daemon's environment, replacing those of their names
    // ("KST_TRACE_FILE=": traces to syslog).
    std::vector<std::string> daemon_env;
    // Waits until the ready file exists and the program is registered; learns the pid and port.
    // Silent on failure, for tests that expect the daemon never to become ready.
    bool WaitReady(int timeout_ms = kStartTimeoutMs);
    // Launch() == 0 and WaitReady(); a failure of either fails the test.
    bool                   Start();
    [[nodiscard]] pid_t    pid() const { return pid_; }
    [[nodiscard]] uint16_t Port() const { return port_; }
    // A connection to the daemon's port; a failure to connect fails the test.
    Connection Connect();

    // SIGTERM, then waits until the process is gone (reaped: the namespace's pid 1 is this test);
    // false if it survives timeout_ms.
    bool Stop(int timeout_ms = 10000);
    // The daemon's exit status when this test reaped it (128+N for signal N).
    [[nodiscard]] std::optional<int> daemon_exit_status() const { return daemon_status_; }

    // Lines of the daemon's trace file.
    [[nodiscard]] std::vector<std::string> TraceLines() const;
    // Number of trace lines now; pass it as `since` to look only at what comes after.
    [[nodiscard]] std::size_t TraceMark() const { return TraceLines().size(); }
    // Lines from `since` on that contain needle and, when a message is given, end in " " + message.
    [[nodiscard]] std::size_t CountTrace(std::string_view needle, std::size_t since = 0,
                                         std::string_view message = {}) const;
    // Polls until a line from `since` on contains needle; false if none did within timeout_ms.
    bool WaitForTrace(std::string_view needle, int timeout_ms = 5000, std::size_t since = 0) const;

    // Kills what is left, then fails the test with any sanitizer report. Runs once; the destructor calls it.
    void Finish();

private:
    bool DaemonAlive();

    UniqueFd                 syslog_fd_;         // bound at /dev/log; -1 until ListenSyslog
    std::vector<std::string> syslog_;            // received so far, as "<priority>text"
    pid_t                    pid_ = -1;          // the daemon's pid once ready
    uint16_t                 port_ = 0;          // the daemon's port at the portmapper
    std::optional<int>       daemon_status_;     // set when the daemon was reaped
    bool                     finished_ = false;  // Finish() has run
};

// A reply as {xid, word}; the word is ~0 when no single-word reply arrived.
using Answer = std::pair<uint32_t, uint64_t>;
inline Answer Next(Connection &c)
{
    const auto reply = c.ReadReply();
    return {reply ? reply->xid : 0, reply && reply->Word() ? *reply->Word() : ~uint64_t{0}};
}

// A test case with its own portmapper and a serving daemon. A fixture that lays out files before the
// daemon starts overrides SetUp with StartRpcbind alone.
class DaemonTest : public ::testing::Test {
protected:
    void       SetUp() override { ASSERT_TRUE(sandbox_.StartRpcbind() && sandbox_.Start()); }
    Connection Connect() { return sandbox_.Connect(); }
    // Sends a call that must park: its trace line shows that the daemon has handled it, and no reply
    // follows. Returns its xid.
    uint32_t ParkCall(Connection &c, uint32_t proc, const Bytes &args, const std::string &trace)
    {
        const std::size_t mark = sandbox_.TraceMark();
        const uint32_t    xid = c.NextXid();
        EXPECT_TRUE(c.SendCall(proc, args, xid));
        EXPECT_TRUE(sandbox_.WaitForTrace(trace, 5000, mark)) << trace;
        EXPECT_TRUE(c.NoReplyWithin(200)) << "answered instead of parked: " << trace;
        return xid;
    }

    Sandbox sandbox_;
};

}  // namespace kst
