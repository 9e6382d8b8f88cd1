// startup_unit_test.cpp: the interface list behind the loopback check, on files the daemon tests can't lay
// out (their /proc/net/dev always has its headers and well-formed lines). The port configuration's text
// helpers are checked through the daemon's traces in port_test.
#include "daemon/daemon.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

// GetNICInfoFrom on a temporary file holding text.
int Parse(const std::string &text, NICInfo **info)
{
    char       path[] = "/tmp/kst-netdev-XXXXXX";
    const int  fd = mkstemp(path);
    const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const int result = written ? GetNICInfoFrom(path, info) : -2;
    unlink(path);
    return result;
}

// Catches names taken from lines without a colon, and a loopback test that wants "lo" exactly or finds it
// anywhere in the name. (The two header lines of a real /proc/net/dev hold no colon either.)
TEST(StartupUnit, InterfaceListTakesNamedLinesAndLoopbackNamesBeginningWithLo)
{
    NICInfo *info = nullptr;
    ASSERT_EQ(Parse("h1\nh2\n  eth0: 1 2\nlo without colon\n   : 3\n  xlo: 4\n", &info), 0);
    ASSERT_EQ(info->count, 2);
    EXPECT_STREQ(info->names[0], "eth0");
    EXPECT_STREQ(info->names[1], "xlo");
    EXPECT_EQ(info->loopback, 0);
    FreeNICInfo(&info);
    EXPECT_EQ(info, nullptr);

    ASSERT_EQ(Parse("h1\nh2\nlocal0: 0\n", &info), 0);
    EXPECT_EQ(info->loopback, 1);
    FreeNICInfo(&info);
}

}  // namespace
