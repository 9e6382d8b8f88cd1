// startup_unit_test.cpp: the interface list behind the loopback check, and the two text helpers of the
// port configuration.
#include "daemon/daemon.h"
#include "rpc/server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A fresh temporary file holding text; removed when the test binary ends.
std::string TempFile(const std::string &text)
{
    char path[] = "/tmp/kst-netdev-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    static struct Made {
        std::vector<std::string> paths;
        ~Made()
        {
            for (const std::string &p : paths)
                unlink(p.c_str());
        }
    } made;
    made.paths.emplace_back(path);
    return path;
}

// Catches a list built from a file without its two header lines, names taken from lines without a colon,
// and a loopback test that wants "lo" exactly.
TEST(StartupUnit, InterfaceListNeedsTwoHeaderLinesAndTakesNamesBeginningWithLo)
{
    NICInfo *const sentinel = reinterpret_cast<NICInfo *>(0xbd);
    NICInfo *info = sentinel;
    EXPECT_EQ(GetNICInfoFrom(TempFile("Inter-|\n").c_str(), &info), -1);
    EXPECT_EQ(GetNICInfoFrom("/nonexistent/net/dev", &info), -1);
    EXPECT_EQ(info, sentinel);
    EXPECT_EQ(GetNICInfoFrom(TempFile("h1\nh2\n").c_str(), nullptr), -1);

    ASSERT_EQ(GetNICInfoFrom(TempFile("h1\nh2\n").c_str(), &info), 0);
    EXPECT_EQ(info->count, 0);
    EXPECT_EQ(info->loopback, 0); // so the daemon refuses: no loopback
    FreeNICInfo(&info);
    EXPECT_EQ(info, nullptr);

    ASSERT_EQ(GetNICInfoFrom(TempFile("h1\nh2\n  eth0: 1 2\nlo without colon\n   : 3\n  xlo: 4\n").c_str(), &info), 0);
    ASSERT_EQ(info->count, 2);
    EXPECT_STREQ(info->names[0], "eth0");
    EXPECT_STREQ(info->names[1], "xlo");
    EXPECT_EQ(info->loopback, 0);
    FreeNICInfo(&info);

    ASSERT_EQ(GetNICInfoFrom(TempFile("h1\nh2\nlocal0: 0\n").c_str(), &info), 0);
    EXPECT_EQ(info->loopback, 1);
    FreeNICInfo(&info);
    FreeNICInfo(&info); // null record and null pointer are both accepted
    FreeNICInfo(nullptr);
}

// Catches stripping of characters other than space and tab, and a blank-only text turned into null.
TEST(StartupUnit, StripstringRemovesOnlySpacesAndTabsInPlace)
{
    EXPECT_EQ(stripstring(nullptr), nullptr);
    char empty[] = "";
    EXPECT_EQ(stripstring(empty), nullptr);
    char blanks[] = " \t ";
    EXPECT_EQ(stripstring(blanks), blanks + 3);
    char padded[] = "\t 32768 \t";
    EXPECT_EQ(stripstring(padded), padded + 2);
    EXPECT_STREQ(padded + 2, "32768");
    char other[] = "\r 1\f";
    EXPECT_STREQ(stripstring(other), "\r 1\f");
}

// Catches a "+" sign, a lone "-", or trailing letters taken as decimal.
TEST(StartupUnit, IsDecimalIsAnOptionalMinusAndDigits)
{
    EXPECT_EQ(IsDecimal(nullptr), 0);
    for (const char *yes : {"0", "032768", "-32768"})
        EXPECT_EQ(IsDecimal(yes), 1) << yes;
    for (const char *no : {"", "-", "+1", "1-", "32768abc", " 1", "--1"})
        EXPECT_EQ(IsDecimal(no), 0) << no;
}

} // namespace
