// hardened_unit_test.cpp: the daemon started the way its unit starts it, with the unit's own file
// system and privilege restrictions applied by tests/packaging/unit-sandbox (systemd itself is not
// pid 1 here), must still pass its start-up checks, be callable the moment the start returns, keep
// the registry on disk, and shut down cleanly.
#include "tests/support/sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

constexpr char     kUnitSource[] = KST_SOURCE_DIR "/packaging/KSTntserver.service";
constexpr char     kUnitSandbox[] = KST_SOURCE_DIR "/tests/packaging/unit-sandbox";
constexpr char     kLauncher[] = "/run/kst-unit-launch";  // what systemd would run: ExecStart under the unit
constexpr uint64_t kLocalMachine = 2;

// The daemon as the package installs it: its unit and its access policy. Catches a hardening setting (a file-system
// restriction, a capability, a system call or address family the filters refuse) that breaks a start-up check, the
// fallback port (seteuid) or the raised priority; a start that returns before clients can call; privilege restrictions
// that did not apply (the unit's settings were then not applied at all and the test would prove nothing); and a
// registry the daemon can't write, delete from or leave behind on shutdown.
TEST(HardenedUnit, ServesUnderTheUnitsRestrictions)
{
    kst::Sandbox sandbox;
    // The unit's start is the forking one, chosen only where systemctl exists (package systemd).
    ASSERT_EQ(access("/usr/bin/systemctl", X_OK), 0) << "/usr/bin/systemctl is missing";
    ASSERT_TRUE(sandbox.StartRpcbind());
    // The package's access policy in place, as installed (nsrun gives each test its own /etc/KSTntserver).
    ASSERT_EQ(system("cp " KST_SOURCE_DIR "/packaging/access.conf /etc/KSTntserver/"), 0);
    // The real unit at the path the daemon tests, so it starts in its systemd (forking) mode.
    const std::optional<std::string> unit = kst::ReadFile(kUnitSource);
    ASSERT_TRUE(unit && kst::WriteFile(kst::kUnitFile, *unit));
    const char       *daemon = getenv("KST_DAEMON");
    const std::string program = daemon && *daemon ? daemon : KST_DEFAULT_DAEMON;
    ASSERT_TRUE(kst::WriteFile(kLauncher, std::string("#!/bin/sh\nexport KST_UNIT_SECCOMP=") + KST_UNIT_SECCOMP +
                                              "\nexec " + kUnitSandbox + " " + kUnitSource + " " + program + "\n"));
    ASSERT_EQ(chmod(kLauncher, 0755), 0);
    ASSERT_EQ(setenv("KST_DAEMON", kLauncher, 1), 0);

    // The leak check of a sanitizer build stops the daemon's threads with ptrace, which the unit's system call
    // filter refuses, as it should; the other tests check for leaks without the filter.
    sandbox.daemon_env.push_back(std::string("ASAN_OPTIONS=log_path=") + kst::kSanitizerLog +
                                 ":print_stacktrace=1:halt_on_error=1:detect_leaks=0");
    ASSERT_EQ(sandbox.Launch(), 0);
    // No waiting: once the start returns, the portmapper names the port and the program answers.
    const uint16_t port = kst::PmapGetPort().value_or(0);
    ASSERT_NE(port, 0);
    kst::Connection c;
    ASSERT_TRUE(c.Connect(port) && c.Null()) << c.error();
    ASSERT_TRUE(sandbox.WaitReady());

    // CapBnd: CAP_DAC_OVERRIDE (1), CAP_SETUID (7), CAP_SYS_NICE (23); Seccomp: the address-family and
    // system-call filters.
    const std::string status = kst::ReadFile("/proc/" + std::to_string(sandbox.pid()) + "/status").value_or("");
    for (const char *line : {"\nNoNewPrivs:\t1\n", "\nSeccomp:\t2\n", "\nCapBnd:\t0000000000800082\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line;
    EXPECT_EQ(sandbox.CountTrace("seteuid return with -1"), 0u);
    EXPECT_EQ(sandbox.CountTrace("setpriority FAIL"), 0u);
    EXPECT_EQ(sandbox.CountTrace("local callers can't be named"), 0u) << "the unit must let the kernel name callers";

    const uint64_t key = c.RegCreateKeyEx(kLocalMachine, "HARDENED").value_or(0);
    EXPECT_EQ(c.RegSetValueEx(key, "v", 1, 3, std::string_view("ok\0", 3)), 0u);
    EXPECT_TRUE(kst::ReadFile(std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/HARDENED/V_V"));
    EXPECT_EQ(c.RegDeleteKey(kLocalMachine, "HARDENED"), 0u);  // runs /bin/rm under the same restrictions
    EXPECT_NE(access((std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/HARDENED").c_str(), F_OK), 0);

    ASSERT_TRUE(sandbox.Stop());
    EXPECT_EQ(sandbox.daemon_exit_status(), 0);
}

}  // namespace
