// sandbox.h: what a daemon test needs around the real binary inside tools/nsrun's private namespaces:
// a portmapper, a syslog listener at /dev/log, the configuration, unit, pid and registry files, the
// daemon started as an administrator starts it, its trace file and its sanitizer reports.
//
// Every wait is bounded polling for a condition; nothing here sleeps as synchronisation.
#pragma once

#include "client/client.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

inline constexpr char kTraceFile[] = "/run/kst-trace.log";
inline constexpr char kSanitizerLog[] = "/run/kst-sanitizer";  // reports land in kst-sanitizer.<pid>
inline constexpr char kReadyFile[] = "/opt/orn/kestrel/work/KSTntserver.ready";
inline constexpr char kPidFile[] = "/var/run/KSTntserver.pid";  // /var/run is /run, so also /run/KSTntserver.pid
inline constexpr char kPropertyFile[] = "/opt/orn/kestrel/data/property.inf";
inline constexpr char kUnitFile[] = "/usr/lib/systemd/system/KSTntserver.service";
inline constexpr char kRegistryDir[] = "/opt/orn/kestrel/registry";
inline constexpr int kStartTimeoutMs = 20000;  // covers the daemon's 4 s portmapper probe with room to spare

// One datagram received at /dev/log.
struct SyslogMessage {
    int priority = -1;  // the <N> number: facility * 8 + severity
    std::string text;   // the message after "<N>timestamp ident[pid]: ", trailing newlines removed
    std::string raw;    // the whole datagram
    [[nodiscard]] int severity() const { return priority & 7; }
};

// Writes a file whole, creating missing parent directories; false on any error.
bool WriteFile(const std::string &path, std::string_view content);
std::optional<std::string> ReadFile(const std::string &path);
// A key directory below kRegistryDir, e.g. "HKEY_LOCAL_MACHINE/SOFTWARE/ORN", with its parents.
bool MakeKey(std::string_view key_path);
// A value file as the daemon stores it: type and size as 32-bit host order, then the data.
bool WriteValueFile(std::string_view key_path, std::string_view file_name, uint32_t type, std::string_view data);
// The leading decimal number of a pid or ready file, if positive.
std::optional<pid_t> ReadPid(const std::string &path);
// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); nullopt when unreadable.
std::optional<long> ProcStatusKb(pid_t pid, std::string_view field);
// Open descriptors of a process; -1 when /proc/<pid>/fd can't be read.
int CountFds(pid_t pid);

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
    void StopRpcbind();

    // Binds a datagram socket at /dev/log; messages are collected on demand.
    bool ListenSyslog();
    // Everything received so far (drains the socket first, without blocking).
    const std::vector<SyslogMessage> &SyslogMessages();
    // The first message whose text contains needle, polling until timeout_ms.
    std::optional<SyslogMessage> WaitForSyslog(std::string_view needle, int timeout_ms = 5000);

    bool WriteProperty(std::string_view content) { return WriteFile(kPropertyFile, content); }
    bool WriteUnitFile(std::string_view content = "[Service]\nType=forking\n") { return WriteFile(kUnitFile, content); }
    bool WritePidFile(std::string_view content) { return WriteFile(kPidFile, content); }
    // Covers /usr/bin/systemctl with a non-executable node, for the start without systemd.
    bool HideSystemctl();

    // Runs the daemon binary with no arguments and returns the launcher's exit status (-1 if it did not
    // exit within timeout_ms, 128+N if signal N ended it). The daemon then runs detached.
    int Launch(int timeout_ms = kStartTimeoutMs);
    // Waits until the ready file exists and the program is registered; learns the pid and port.
    // Silent on failure, for tests that expect the daemon never to become ready.
    bool WaitReady(int timeout_ms = kStartTimeoutMs);
    // Launch() == 0 and WaitReady(); a failure of either fails the test.
    bool Start();
    // Makes pid the daemon that Stop, WaitGone and teardown act on (e.g. from ReadPid(kPidFile)).
    void Track(pid_t pid);
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] uint16_t Port() const { return port_; }
    // A connection to the daemon's port; check connected() / error().
    Connection Connect();

    // SIGTERM, then waits until the process is gone; false if it survives timeout_ms.
    bool Stop(int timeout_ms = 10000);
    // True once the daemon process no longer exists (reaped: the namespace's pid 1 is this test).
    bool WaitGone(int timeout_ms = 10000);
    [[nodiscard]] bool DaemonAlive();
    // The daemon's exit status when this test reaped it (128+N for signal N).
    [[nodiscard]] std::optional<int> daemon_exit_status() const { return daemon_status_; }

    // Lines of the daemon's trace file.
    [[nodiscard]] std::vector<std::string> TraceLines() const;
    // Number of trace lines now; pass it as `since` to look only at what comes after.
    [[nodiscard]] std::size_t TraceMark() const { return TraceLines().size(); }
    [[nodiscard]] std::size_t CountTrace(std::string_view needle, std::size_t since = 0) const;
    // The first line from `since` on that contains needle, polling until timeout_ms.
    std::optional<std::string> WaitForTrace(std::string_view needle, int timeout_ms = 5000, std::size_t since = 0);

    // Kills what is left, then fails the test with any sanitizer report. Runs once; the destructor calls it.
    void Finish();

private:
    UniqueFd syslog_fd_;                  // bound at /dev/log; -1 until ListenSyslog
    std::vector<SyslogMessage> syslog_;   // received so far
    pid_t rpcbind_ = -1;                  // our child; -1 when not running
    pid_t pid_ = -1;                      // the daemon's pid once ready
    uint16_t port_ = 0;                   // the daemon's port at the portmapper
    std::optional<int> daemon_status_;    // set when the daemon was reaped
    bool finished_ = false;               // Finish() has run
};

}  // namespace kst
