// access_test.cpp: the access policy and the quotas through the wire, with callers the kernel names:
// root (this test) and users 65534 and 65533, whose connections are made with that file-system uid, so
// the socket the daemon asks the kernel about is theirs.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr char     kPolicyFile[] = "/etc/KSTntserver/access.conf";
constexpr uint64_t kDenied = 13, kQuota = 14;
constexpr uint32_t kNobody = 65534, kOther = 65533;
constexpr uint64_t kHklm = 2;

class Access : public kst::DaemonTest {
protected:
    void SetUp() override { ASSERT_TRUE(sandbox_.StartRpcbind()); }
    void StartWith(const std::string &policy)
    {
        ASSERT_TRUE(kst::WriteFile(kPolicyFile, policy));
        ASSERT_TRUE(sandbox_.Start());
    }
    // A connection whose socket belongs to uid, as a process of that user would make it.
    kst::Connection ConnectAs(uint32_t uid)
    {
        setfsuid(uid);
        kst::Connection c;
        const bool      connected = c.Connect(sandbox_.Port());
        setfsuid(0);
        EXPECT_TRUE(connected) << c.error();
        return c;
    }
    bool KeyOnDisk(const std::string &path)
    {
        return std::filesystem::exists(std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/" + path);
    }
};

TEST_F(Access, EachRuleRefusesWithoutChangingAndAllowsWhereTheFileGrants)
{
    StartWith("allow root all\n"
              "allow uid:65534 objects root signal,wait   # and nothing else of root's\n"
              "allow uid:65534 write HKLM\\Software\\Shared\n"
              "quota * objects=3 value-bytes=8 waits=1\n");
    kst::Connection root = Connect(), user = ConnectAs(kNobody), other = ConnectAs(kOther);
    EXPECT_GT(user.RegCreateKeyEx(kHklm, "HKEY_USERS").value_or(0), 2u) << "on the way to its own HKCU";
    for (const char *key : {"SOFTWARE", "SOFTWARE\\Shared"})
        ASSERT_GT(root.RegCreateKeyEx(kHklm, key).value_or(0), 2u) << key;

    // The machine's keys: refused, nothing on disk, the refusal traced with the uid; own HKCU and a granted
    // subtree allowed.
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(user.RegCreateKeyEx(kHklm, "SOFTWARE\\Evil"), kDenied);
    EXPECT_FALSE(KeyOnDisk("SOFTWARE/EVIL"));
    EXPECT_EQ(user.RegSetValueEx(kHklm, "V_PATH", 1, 3, "bad"), kDenied);
    EXPECT_FALSE(KeyOnDisk("V_V_PATH"));
    EXPECT_TRUE(sandbox_.WaitForTrace("access: uid 65534 refused create key on HKLM/SOFTWARE/EVIL", 5000, mark));
    const auto own = user.RegCreateKeyEx(kHklm, "HKEY_USERS\\S-1-22-1-65534");
    ASSERT_TRUE(own && *own > 2);
    EXPECT_EQ(user.RegSetValueEx(*own, "Colour", 1, 4, "blue"), 0u);
    EXPECT_EQ(other.RegSetValueEx(*own, "Colour", 1, 3, "red"), kDenied) << "another user's HKCU is not its own";
    EXPECT_GT(user.RegCreateKeyEx(kHklm, "Software\\Shared\\Mine").value_or(0), 2u);
    EXPECT_TRUE(sandbox_.WaitForTrace("access: uid 65534 created key HKLM/SOFTWARE/SHARED/MINE", 5000, mark));
    EXPECT_EQ(user.RegDeleteKey(kHklm, "HKEY_USERS"), kDenied);
    EXPECT_TRUE(KeyOnDisk("HKEY_USERS/S-1-22-1-65534"));

    // Root's objects: signal and wait granted, reset, close and open by name not; the other user gets none.
    const auto event = root.CreateEvent(1, 0, "RootEvent");
    ASSERT_TRUE(event && *event > 16);
    EXPECT_EQ(user.OpenEvent("RootEvent"), kDenied) << "a name root created is not handed out";
    EXPECT_EQ(user.CreateEvent(1, 1, "RootEvent"), kDenied) << "nor taken over by a create";
    EXPECT_EQ(other.SetEvent(*event), kDenied);
    EXPECT_EQ(user.ResetEvent(*event), kDenied);
    EXPECT_EQ(user.CloseHandle(*event), kDenied);
    EXPECT_EQ(user.SetEvent(*event), 0u);
    EXPECT_EQ(user.WaitForSingleObject(*event), *event) << "signalled by the user, still open";
    EXPECT_EQ(root.CloseHandle(*event), 0u);
    const auto squat = user.CreateEvent(1, 1, "RootsNextEvent");
    EXPECT_EQ(root.CreateEvent(0, 0, "RootsNextEvent"), kDenied) << "a name taken first is not handed to root";
    EXPECT_EQ(root.SetEvent(squat.value_or(0)), 0u) << "root may still use the object by its handle";

    EXPECT_EQ(user.CloseHandle(squat.value_or(0)), 0u);
    // Quotas: objects counted exactly (a close gives one back), value bytes, parked waits.
    std::vector<uint64_t> mine;
    for (int i = 0; i < 3; ++i)
        mine.push_back(user.CreateEvent(0, 0, "").value_or(0));
    const std::size_t quota_mark = sandbox_.TraceMark();
    EXPECT_EQ(user.CreateEvent(0, 0, "Fourth"), kQuota);
    EXPECT_TRUE(sandbox_.WaitForTrace("access: uid 65534 past its quota objects=3", 5000, quota_mark));
    EXPECT_EQ(other.CreateEvent(0, 0, "").value_or(0) > 16, true) << "quotas are per uid";
    EXPECT_EQ(user.CloseHandle(mine.back()), 0u);
    mine.back() = user.CreateEvent(0, 0, "").value_or(0);
    EXPECT_GT(mine.back(), 16u) << "a closed object no longer counts";
    EXPECT_EQ(user.RegSetValueEx(*own, "Colour", 1, 8, "12345678"), 0u) << "an overwrite replaces its own bytes";
    EXPECT_EQ(user.RegSetValueEx(*own, "More", 1, 1, "x"), kQuota);
    const kst::Bytes wait = kst::CallRecord(0x51, kst::proc::kWaitSingle, kst::EncodeWord(mine[0]));
    ASSERT_TRUE(user.SendRaw(wait));
    ASSERT_TRUE(user.Null()) << "answered after the wait has parked";
    kst::Connection user2 = ConnectAs(kNobody);
    EXPECT_EQ(user2.WaitForSingleObject(mine[1]), kQuota) << "one parked wait is this uid's limit";
    EXPECT_EQ(root.Null(), true);
}

TEST_F(Access, WithoutAFileEveryoneMayDoEverythingAndABadFileStopsTheStart)
{
    ASSERT_TRUE(kst::WriteFile(kPolicyFile, "allow root all\nallow nobody write HKLM\n"));
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(sandbox_.Launch(), 8) << "never half a policy";
    EXPECT_TRUE(sandbox_.WaitForTrace("access.conf:2: 'nobody' names no caller", 5000, mark));
    ASSERT_EQ(unlink(kPolicyFile), 0);
    ASSERT_TRUE(sandbox_.Start());
    EXPECT_TRUE(sandbox_.WaitForTrace("access: no /etc/KSTntserver/access.conf, every caller may do everything"));
    kst::Connection root = Connect(), user = ConnectAs(kNobody);
    const auto      event = root.CreateEvent(0, 0, "RootEvent");
    EXPECT_EQ(user.OpenEvent("RootEvent"), event);
    EXPECT_EQ(user.SetEvent(*event), 0u);
    EXPECT_GT(user.RegCreateKeyEx(kHklm, "SOFTWARE").value_or(0), 2u);
    EXPECT_TRUE(KeyOnDisk("SOFTWARE"));
}

TEST_F(Access, RootKeepsItsReservedConnectionsAndEachUserItsQuota)
{
    rlimit limit{64, 64};  // the daemon inherits a table of 64 descriptors: it serves 36 connections
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    StartWith("quota uid:65534 connections=5\nreserve root-connections=30\n");
    std::vector<kst::Connection> held;
    auto                         served = [&](uint32_t uid) {
        held.push_back(ConnectAs(uid));
        if (held.back().Null()) return true;
        held.pop_back();
        return false;
    };
    int nobody = 0, other = 0;
    while (nobody < 10 && served(kNobody))
        ++nobody;
    EXPECT_EQ(nobody, 5) << "connections=5";
    EXPECT_TRUE(sandbox_.WaitForTrace("access: uid 65534 past its quota connections=5"));
    while (other < 10 && served(kOther))
        ++other;
    EXPECT_EQ(nobody + other, 36 - 30) << "the last 30 are root's";
    int root = 0;
    while (root < 10 && served(0))
        ++root;
    EXPECT_EQ(root, 10) << "no user locks root out";
    held.resize(held.size() - root);  // root's count too: the reserve is out of everyone's total
    held.erase(held.begin());         // one of nobody's goes: the counts are exact
    EXPECT_TRUE(kst::PollFor(5000, [&] { return ConnectAs(kNobody).Null(); })) << "its slot is free again";
}

}  // namespace
