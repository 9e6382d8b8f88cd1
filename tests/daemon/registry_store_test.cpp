// registry_store_test.cpp: the registry through the wire against the real daemon, on a tree laid out on disk.
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kst::Answer;
using kst::Next;
using kst::Words5;

constexpr uint64_t kLm = 2;  // HKEY_LOCAL_MACHINE
const std::string  kLmDir = std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/";

class RegistryDaemon : public kst::DaemonTest {
protected:
    void SetUp() override { ASSERT_TRUE(sandbox_.StartRpcbind()); }
    // Starts the daemon on the tree as laid out so far.
    void Start()
    {
        ASSERT_TRUE(sandbox_.Start());
        c_ = Connect();
    }
    // The names RegEnumKeyEx returns, index 0 on, until the empty name.
    std::vector<std::string> Subkeys(uint64_t key)
    {
        std::vector<std::string> names;
        for (uint64_t i = 0;; ++i) {
            const auto r = c_.RegEnumKeyEx(key, i);
            if (!r || r->name.empty()) return names;
            names.push_back(r->name);
        }
    }
    // Lays out BIG/G0, G1... below HKEY_LOCAL_MACHINE on disk, each with per_group keys K0, K1...
    bool LayOutBigTree(int groups, int per_group)
    {
        for (int g = 0; g < groups; ++g) {
            const std::string group = "BIG/G" + std::to_string(g);
            if (!kst::MakeKey("HKEY_LOCAL_MACHINE/" + group)) return false;
            for (int k = 0; k < per_group; ++k)
                if (mkdir((kLmDir + group + "/K" + std::to_string(k)).c_str(), 0777) != 0) return false;
        }
        return true;
    }
    // Parks a synchronous registration; returns its xid.
    uint32_t ParkNotify(kst::Connection &c, uint64_t key, uint64_t watch_subtree)
    {
        return ParkCall(c, kst::proc::kRegNotify, kst::EncodeWords5({key, watch_subtree}),
                        "RegNotifyChangeKeyValue called");
    }
    uint64_t Set(uint64_t key, std::string_view name, std::string_view data, uint64_t type = 1)
    {
        return c_.RegSetValueEx(key, name, type, data.size(), data).value_or(~0ull);
    }
    bool HasTrace(std::string_view text, std::size_t since) { return sandbox_.CountTrace(text, since) > 0; }
    // RegQueryInfoKey's answer as a fresh read of the key's directory (below HKEY_LOCAL_MACHINE) gives it:
    // every entry that is no directory a value, its size read from "V_" + its shown name upper-cased.
    static Words5 InfoOnDisk(const std::string &dir)
    {
        uint64_t subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, newest = 0;
        int32_t  largest = 0;
        for (const auto &entry : fs::directory_iterator(kLmDir + dir)) {
            std::string name = entry.path().filename();
            struct stat st {};
            if (stat(entry.path().c_str(), &st) == 0) newest = std::max<uint64_t>(newest, st.st_mtime);
            if (entry.is_directory()) {
                ++subkeys, longest_subkey = std::max<uint64_t>(longest_subkey, name.size());
                continue;
            }
            if (name.size() >= 2 && name.starts_with("V_")) name.erase(0, 2);
            ++values, longest_name = std::max<uint64_t>(longest_name, name.size());
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
            const std::string bytes = kst::ReadFile(kLmDir + dir + "/V_" + name).value_or("");
            int32_t           header[2] = {};
            if (bytes.size() >= sizeof header) std::memcpy(header, bytes.data(), sizeof header);
            largest = std::max(largest, header[1]);
        }
        return Words5{subkeys, longest_subkey, values, (longest_name << 16) + (static_cast<uint32_t>(largest) & 0xFFFF),
                      newest};
    }

    kst::Connection c_;
};

// A tree laid out on disk: what loads, how lookups, the information query and enumeration read it, values
// through their exact file bytes, and no name that reaches outside the key it addresses.
TEST_F(RegistryDaemon, LoadsLooksUpQueriesAndEnumeratesTheTreeOnDiskAndNoNameReachesOutsideItsKey)
{
    for (const char *k : {"ORDER/b", "ORDER/B", "ORDER/a", "ORDER/FOO", "ORDER/foo", "ORDER/_x", "OTHER/IN", "Foo/Bar",
                          "INFO/SUB", "VALS", "K"})
        ASSERT_TRUE(kst::MakeKey(std::string("HKEY_LOCAL_MACHINE/") + k));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "ORDER/V_X", kst::ValueFile(1, "x")));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "ORDER/notes.txt", "n"));
    fs::create_directory_symlink("../OTHER", kLmDir + "ORDER/LINK");  // a link to a directory is a key
    fs::create_directory_symlink(".", kLmDir + "ORDER/LOOP");         // a link back to itself is not followed
    ASSERT_TRUE(kst::WriteFile(kLmDir + "INFO/V_A", kst::ValueFile(7, "abc")));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "INFO/V_LONGNAME", kst::ValueFile(7, std::string(300, 'L'))));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "INFO/notes.txt", std::string(1000, 'n')));  // counted, size not read
    // Distinct times: the newest entry wins, the key's own directory does not count.
    const auto at = [](const std::string &p, time_t t) {
        timeval tv[2] = {{t, 0}, {t, 0}};
        return utimes(p.c_str(), tv) == 0;
    };
    ASSERT_TRUE(at(kLmDir + "INFO/SUB", 1000) && at(kLmDir + "INFO/V_A", 3000) &&
                at(kLmDir + "INFO/V_LONGNAME", 2000) && at(kLmDir + "INFO/notes.txt", 1500) &&
                at(kLmDir + "INFO", 9000));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "SIB/V_KEEP", kst::ValueFile(1, "keep")));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "V_TOP", kst::ValueFile(1, "top")));
    ASSERT_TRUE(kst::WriteFile(std::string(kst::kRegistryDir) + "/../canary", "canary"));
    ASSERT_TRUE(kst::WriteFile(std::string(kst::kRegistryDir) + "/../outside/V_X", "x"));
    fs::create_directory_symlink("../../../outside", kLmDir + "K/LINK");  // an administrator's link out
    Start();
    const uint64_t order = c_.RegOpenKeyEx(kLm, "order").value();
    EXPECT_EQ(Subkeys(order), (std::vector<std::string>{"B", "FOO", "LINK", "_x", "a", "b", "foo"}));
    EXPECT_NE(c_.RegOpenKeyEx(order, "link\\in"), 0u);
    struct stat st {};  // an enumerated key carries its directory's modification time
    ASSERT_EQ(stat((kLmDir + "ORDER/B").c_str(), &st), 0);
    EXPECT_EQ(c_.RegEnumKeyEx(order, 0)->arg1, static_cast<uint64_t>(st.st_mtime));

    // Lookups ignore case and convert backslashes.
    const uint64_t foo = c_.RegOpenKeyEx(kLm, "foo").value();
    const uint64_t bar = c_.RegOpenKeyEx(kLm, "foo\\bar").value();
    for (const char *same : {"Foo/BAR", "foo//bar", "foo/bar/", "/foo/bar"})
        EXPECT_EQ(c_.RegOpenKeyEx(kLm, same), bar) << same;
    EXPECT_EQ(c_.RegOpenKeyEx(foo, "bar"), bar);
    EXPECT_EQ(c_.RegOpenKeyEx(kLm, ""), 0u);  // no path names the key itself

    // The information query and enumeration walk the directory; values round-trip through exact file bytes.
    const uint64_t info = c_.RegOpenKeyEx(kLm, "INFO").value();
    EXPECT_EQ(c_.RegQueryInfoKey(info), (Words5{1, 3, 3, (9u << 16) + 300, 3000}));

    // In whatever order the directory gives: notes.txt has no V_NOTES.TXT behind it, index 3 is past the end.
    std::multiset<std::string> shown;
    for (uint64_t i = 0; i < 4; ++i) {
        const auto r = c_.RegEnumValue(info, i).value();
        shown.insert(r.name.empty() ? "" : r.name + ":" + std::to_string(r.size));
    }
    EXPECT_EQ(shown, (std::multiset<std::string>{"", "", "A:3", "LONGNAME:300"}));

    // Values round-trip through exact file bytes, within their size limits.
    const uint64_t key = c_.RegOpenKeyEx(kLm, "VALS").value();
    EXPECT_EQ(Set(key, "Foo", "hello", 0x11223344), 0u);
    EXPECT_EQ(kst::ReadFile(kLmDir + "VALS/V_FOO"), kst::ValueFile(0x11223344, "hello"));
    const auto q = c_.RegQueryValueEx(key, "FOO").value();
    EXPECT_EQ(q.type, 0x11223344u);
    EXPECT_EQ(q.data.substr(0, q.size), "hello");
    EXPECT_EQ(Set(key, "", "", 9), 0u);  // the empty name, the empty value: 8 header bytes and one zero
    EXPECT_EQ(kst::ReadFile(kLmDir + "VALS/V_"), kst::ValueFile(9, "") + std::string(1, '\0'));
    EXPECT_EQ(c_.RegQueryValueEx(key, "")->size, 0u);

    const std::string big(508, 'b');
    EXPECT_EQ(Set(key, "BIG", big), 0u);
    EXPECT_EQ(Set(key, "BIG", std::string(509, 'x')), 8u);
    EXPECT_EQ(kst::ReadFile(kLmDir + "VALS/V_BIG"), kst::ValueFile(1, big));
    const auto cut = c_.RegQueryValueEx(key, "big").value();
    EXPECT_EQ(cut.size, 507u);
    EXPECT_EQ(cut.data, std::string(507, 'b') + std::string(5, '\0'));  // nothing of earlier calls past the value
    for (uint64_t i = 0; i < 3; ++i) {                                  // enumeration returns all 508 bytes
        const auto r = c_.RegEnumValue(key, i).value();
        EXPECT_TRUE(r.name != "BIG" || r.data.substr(0, r.size) == big);
    }

    const std::size_t mark = sandbox_.TraceMark();
    const auto        missing = c_.RegQueryValueEx(key, "none").value();
    EXPECT_EQ(missing.type + missing.size, 0u);
    EXPECT_TRUE(HasTrace("file " + kLmDir.substr(0, kLmDir.size() - 1) + "//VALS//V_NONE can't be opened", mark));
    EXPECT_EQ(c_.RegDeleteValue(key, "foo"), 0u);
    EXPECT_FALSE(fs::exists(kLmDir + "VALS/V_FOO"));
    EXPECT_EQ(c_.RegDeleteValue(key, "foo"), 0u);  // a missing value deletes fine

    // No name reaches outside the key it addresses.
    const uint64_t k = c_.RegOpenKeyEx(kLm, "K").value();
    ASSERT_NE(c_.RegCreateKeyEx(k, "V_..").value_or(0), 0u);  // an ordinary key, then used as a stepping stone
    ASSERT_NE(c_.RegCreateKeyEx(k, "A").value_or(0), 0u);
    auto              before = kst::Snapshot("/opt/orn/kestrel");
    const std::string unterminated = "../../../canary" + std::string(241, '/');  // 256 bytes, no NUL

    for (const std::string &name : std::vector<std::string>{"..", ".", "A/..", "a\\..", unterminated})
        EXPECT_EQ(c_.RegCreateKeyEx(k, name), name == unterminated ? 4u : 7u) << name;
    for (const char *name : {"../SIB", "..\\..", "..\\..\\X", "A/../../X", "V_../../X"})
        EXPECT_EQ(c_.RegCreateKeyEx(k, name), 4u) << name;
    for (const std::string &name : std::vector<std::string>{"..", "../SIB", "A/..", "V_..\\..", unterminated}) {
        EXPECT_EQ(c_.RegOpenKeyEx(k, name), 0u) << name;
        EXPECT_EQ(c_.RegDeleteKey(k, name), 2u) << name;
    }
    EXPECT_EQ(c_.RegDeleteKey(kLm, "K/.."), 2u);
    for (const std::string &name :
         std::vector<std::string>{"../../TOP", "..\\..\\SIB\\KEEP", "../../../../canary", "/../TOP", unterminated}) {
        EXPECT_EQ(Set(k, name, "owned"), 7u) << name;
        EXPECT_EQ(c_.RegQueryValueEx(k, name)->size, 0u) << name;
        EXPECT_EQ(c_.RegDeleteValue(k, name), 0u) << name;  // as for a value that does not exist
    }
    for (const char *name : {"../../SIB/V_KEEP", "../../V_TOP", "/../../../../../canary"})
        EXPECT_EQ(c_.RegDeleteValue(k, name), 0u);
    EXPECT_EQ(kst::Snapshot("/opt/orn/kestrel"), before);
    EXPECT_EQ(c_.RegDeleteKey(k, "link"), 0u);  // the link goes, what it points to stays
    before.erase(kLmDir + "K/LINK");
    EXPECT_EQ(kst::Snapshot("/opt/orn/kestrel"), before);
}

// Create and delete change only their directories whatever the names; no path grows past its limit; no
// key identity outlives its key or its process.
TEST_F(RegistryDaemon, CreateDeleteAndPathLimitsAndNoKeyIdentityOutlivesItsKeyOrProcess)
{
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/A"));
    Start();
    const uint64_t a = c_.RegOpenKeyEx(kLm, "A").value();
    const uint64_t b = c_.RegCreateKeyEx(kLm, "a\\b").value();
    EXPECT_TRUE(fs::is_directory(kLmDir + "A/B"));
    EXPECT_EQ(c_.RegCreateKeyEx(kLm, "A/B"), b);
    EXPECT_EQ(c_.RegCreateKeyEx(kLm, "X/Y"), 4u);
    EXPECT_FALSE(fs::exists(kLmDir + "X"));
    EXPECT_NE(c_.RegCreateKeyEx(kLm, "a//c").value_or(0), 0u);
    EXPECT_EQ(c_.RegCreateKeyEx(kLm, "A/"), a);  // an empty leaf opens the parent
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/A/LATE"));
    EXPECT_NE(c_.RegCreateKeyEx(a, "late").value_or(0), 0u);  // made on disk after start-up: adopted
    ASSERT_TRUE(kst::WriteFile(kLmDir + "A/PLAIN", ""));
    EXPECT_EQ(c_.RegCreateKeyEx(a, "plain"), 7u);  // a file of that name is no key
    const uint64_t deep = c_.RegCreateKeyEx(b, "DEEP").value();
    EXPECT_EQ(Set(deep, "v", "1"), 0u);
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(c_.RegDeleteKey(kLm, "a\\B"), 0u);
    EXPECT_FALSE(fs::exists(kLmDir + "A/B"));
    EXPECT_EQ(c_.RegOpenKeyEx(kLm, "A/B/DEEP"), 0u);
    EXPECT_EQ(c_.RegDeleteKey(kLm, "A/B"), 2u);
    EXPECT_EQ(c_.RegDeleteKey(a, ""), 2u);
    EXPECT_TRUE(HasTrace("Sub key not exist", mark));
    EXPECT_EQ(Subkeys(a), (std::vector<std::string>{"LATE", "C"}));

    // The information query and enumeration follow every change made through the daemon, those that
    // lower a maximum or move a subkey's time included.
    const uint64_t q = c_.RegCreateKeyEx(kLm, "Q").value(), s = c_.RegCreateKeyEx(q, "S").value();
    ASSERT_NE(c_.RegCreateKeyEx(q, "LONGEST").value_or(0), 0u);
    ASSERT_EQ(Set(q, "LONGVALUE", std::string(300, 'x')) + Set(q, "V", "1"), 0u);
    const auto mtime = [](const std::string &p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_mtime) : 0;
    };
    timeval old[2] = {{1000, 0}, {1000, 0}};
    for (const char *entry : {"Q/S", "Q/LONGEST", "Q/V_V", "Q/V_LONGVALUE"})
        ASSERT_EQ(utimes((kLmDir + entry).c_str(), old), 0);
    EXPECT_EQ(c_.RegQueryInfoKey(q), (Words5{2, 7, 2, (9u << 16) + 300, 1000}));
    EXPECT_EQ(c_.RegEnumKeyEx(q, 1)->arg1, 1000u);
    ASSERT_EQ(Set(s, "x", "1"), 0u);  // S's directory changes, Q's own does not
    EXPECT_EQ(c_.RegQueryInfoKey(q)->arg5, mtime(kLmDir + "Q/S"));
    EXPECT_EQ(c_.RegEnumKeyEx(q, 1)->arg1, mtime(kLmDir + "Q/S"));
    ASSERT_EQ(*c_.RegDeleteKey(q, "LONGEST") + *c_.RegDeleteValue(q, "LONGVALUE"), 0u);
    EXPECT_EQ(c_.RegQueryInfoKey(q), (Words5{1, 1, 1, (1u << 16) + 1, mtime(kLmDir + "Q/S")}));
    EXPECT_EQ(c_.RegQueryInfoKey(s)->arg3, 1u);

    // A kept answer moves on with each change as a fresh read sees the disk: a random walk of writes,
    // removals and subkeys in W, below P, against the same figures counted on disk after every step. The
    // entries laid out before (times 2000 and 3000) are never touched, so the newest time and the maxima
    // fall back to them whenever the walk has removed what it made.
    const uint64_t p = c_.RegCreateKeyEx(kLm, "P").value(), w = c_.RegCreateKeyEx(p, "W").value();
    ASSERT_NE(c_.RegCreateKeyEx(w, "OK").value_or(0) * c_.RegCreateKeyEx(p, "OLD").value_or(0), 0u);
    ASSERT_EQ(Set(w, "OV", std::string(40, 'o')), 0u);
    for (const auto &[entry, when] : {std::pair{"P/W/OK", 3000}, {"P/W/V_OV", 2000}, {"P/OLD", 2000}}) {
        const timeval at[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimes((kLmDir + entry).c_str(), at), 0);
    }
    const auto                     on_disk = [&](const std::string &dir) { return InfoOnDisk(dir); };
    const std::vector<std::string> names = {"A", "BB", "CCC", "DDDDDD"};
    std::mt19937                   walk(11);
    for (int step = 0; step < 200; ++step) {
        const std::string &name = names[walk() % names.size()];
        std::string        did;
        if (walk() % 25 == 0) {  // times move on
            did = "a second on, ";
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        switch (walk() % 5) {
        case 0:
        case 1:
            did += "set " + name;
            ASSERT_EQ(Set(w, name, std::string(walk() % 509, 'v')), 0u) << did;
            break;
        case 2:
            did += "delete value " + name;
            ASSERT_EQ(c_.RegDeleteValue(w, name), 0u) << did;
            break;
        case 3:
            did += "create key " + name;
            ASSERT_NE(c_.RegCreateKeyEx(w, name).value_or(0), 0u) << did;
            break;
        default:
            did += "delete key " + name;
            ASSERT_LE(c_.RegDeleteKey(w, name).value_or(~0ull), 2u) << did;
        }
        ASSERT_EQ(c_.RegQueryInfoKey(w), on_disk("P/W")) << "step " << step << ": " << did;
        ASSERT_EQ(c_.RegQueryInfoKey(p), on_disk("P")) << "step " << step << ": " << did;
    }
    // The longest name going alone (older than the newest entry, smaller than the largest) lowers it, and
    // the newest entry going takes the time back to the one before.
    for (const std::string &name : names)
        ASSERT_EQ(c_.RegDeleteValue(w, name), 0u);
    ASSERT_EQ(Set(w, "DDDDDD", "1"), 0u);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_EQ(Set(w, "A", "1"), 0u);
    ASSERT_EQ(c_.RegQueryInfoKey(w), on_disk("P/W"));
    ASSERT_EQ(c_.RegDeleteValue(w, "DDDDDD"), 0u);
    EXPECT_EQ(c_.RegQueryInfoKey(w), on_disk("P/W"));
    ASSERT_EQ(c_.RegDeleteValue(w, "A"), 0u);
    EXPECT_EQ(c_.RegQueryInfoKey(w), on_disk("P/W"));

    // Shell characters in key names are ordinary characters, also to the removal of a key.
    const std::string odd = "it's $(touch pwned); `touch pwned` | & > *",
                      upper = "IT'S $(TOUCH PWNED); `TOUCH PWNED` | & > *";
    EXPECT_NE(c_.RegCreateKeyEx(kLm, odd).value_or(0), 0u);
    EXPECT_TRUE(fs::is_directory(kLmDir + upper));
    EXPECT_EQ(c_.RegDeleteKey(kLm, odd), 0u);
    EXPECT_FALSE(fs::exists(kLmDir + upper));
    EXPECT_FALSE(fs::exists("/pwned"));
    EXPECT_FALSE(fs::exists("/PWNED"));

    // A deleted key's handle names nothing, however many keys are made and deleted after it (their freed
    // records there to be reused), nor does any handle from before a restart.
    std::set<uint64_t> seen = {b, deep};
    for (int i = 0; i < 64; ++i) {
        EXPECT_TRUE(seen.insert(c_.RegCreateKeyEx(a, "N").value()).second) << "an identity came back";
        EXPECT_EQ(c_.RegDeleteKey(a, "N"), 0u);
    }
    EXPECT_EQ(Set(deep, "v", "1"), 2u);
    EXPECT_EQ(c_.RegOpenKeyEx(deep, "X"), 2u);
    EXPECT_EQ(c_.CancelRegNotify({deep}), 2u);

    // Keys of 200 characters: a twenty-first level's full path would pass 4095 characters.
    const std::string long_name(200, 'N');
    uint64_t          wide = kLm;
    std::string       disk = kLmDir;
    int               levels = 0;
    for (uint64_t r; (r = c_.RegCreateKeyEx(wide, long_name).value()) != 7; ++levels, wide = r, disk += long_name + "/")
        ASSERT_GT(r, 8u);
    EXPECT_EQ(levels, 20);
    EXPECT_EQ(Set(wide, std::string(255, 'v'), "x"), 7u);  // its value file's path would not fit either
    EXPECT_TRUE(fs::is_empty(disk)) << "nothing shortened was created instead";
    EXPECT_EQ(Set(wide, "v", "x"), 0u);
    // One-letter keys as deep as paths allow; loading them again must not exhaust the stack.
    int depth = 0;
    for (uint64_t r, key = kLm; (r = c_.RegCreateKeyEx(key, "D").value()) != 7; ++depth, key = r)
        ASSERT_GT(r, 8u);
    EXPECT_EQ(depth, 1349);

    ASSERT_TRUE(sandbox_.Stop() && sandbox_.Start());
    c_ = Connect();
    EXPECT_EQ(Set(a, "v", "1"), 2u);
    EXPECT_NE(c_.RegOpenKeyEx(kLm, "A").value_or(a), a);
    int reloaded = 0;
    for (uint64_t key = kLm; (key = c_.RegOpenKeyEx(key, "D").value()) != 0;)
        ++reloaded;
    EXPECT_EQ(reloaded, depth);
}

TEST_F(RegistryDaemon, NotificationFiresOnceByReplyOrEventAndCancelReplacementDeletionAndClosedEventsEndIt)
{
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/K/C/G"));
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/K/SUB"));
    Start();
    const uint64_t k = c_.RegOpenKeyEx(kLm, "K").value(), child = c_.RegOpenKeyEx(k, "C").value(),
                   grandchild = c_.RegOpenKeyEx(child, "G").value();
    kst::Connection w = Connect();
    uint32_t        xid = ParkNotify(w, k, 1);
    EXPECT_EQ(Set(grandchild, "v", "1"), 0u);
    EXPECT_EQ(Next(w), Answer(xid, 0));
    EXPECT_EQ(Set(grandchild, "v", "2"), 0u);  // one-shot: nothing left to fire
    EXPECT_TRUE(w.NoReplyWithin(100));
    for (uint64_t flag : {0, 2}) {
        xid = ParkNotify(w, k, flag);
        EXPECT_EQ(Set(child, "v", "3"), 0u);
        EXPECT_TRUE(w.NoReplyWithin(100)) << "flag " << flag << " does not watch below the key";
        EXPECT_EQ(Set(k, "v", "4"), 0u);
        EXPECT_EQ(Next(w), Answer(xid, 0));
    }

    // Asynchronous: the client's event is signalled instead.
    const uint64_t mutex = c_.CreateMutex(0, 0, "").value(), event = c_.CreateEvent(1, 0, "").value();
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({k, 0, 0, mutex, 1}), 4u);
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({k, 0, 0, 0xbad0, 1}), 2u);
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({k, 0, 0, event, 1}), 0u);
    EXPECT_TRUE(HasTrace("RegNotifyChangeKeyValue failed", mark));  // the immediate-reply path, with 0
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({k, 0, 0, 0, 2}), 0u);     // flag 2 replaces it, parks nothing

    // Cancel answers the parked registration first; replacement and deletion answer it too.
    const uint64_t sub = c_.RegOpenKeyEx(k, "SUB").value();
    EXPECT_EQ(c_.CancelRegNotify({k}), 0u);  // nothing registered
    EXPECT_EQ(c_.CancelRegNotify({0}), 4u);
    kst::Connection a = Connect(), b = Connect();
    ParkNotify(a, k, 0);
    const uint32_t cancel = a.NextXid();
    ASSERT_TRUE(a.SendCall(kst::proc::kCancelRegNotify, kst::EncodeWords5({k}), cancel));
    EXPECT_EQ(Next(a), Answer(cancel, 0));  // the parked registration, stamped with the cancel's xid
    EXPECT_EQ(Next(a), Answer(cancel, 0));  // then the cancel
    EXPECT_EQ(Set(k, "v", "1"), 0u);
    EXPECT_TRUE(a.NoReplyWithin(100));

    // A newer registration answers the one it replaces; the value write answers only the newer one.
    const uint32_t first = ParkNotify(a, k, 0);
    const uint32_t second = b.NextXid();
    ASSERT_TRUE(b.SendCall(kst::proc::kRegNotify, kst::EncodeWords5({k, 0, 0, 0, 0}), second));
    EXPECT_EQ(Next(a), Answer(first, 0));
    EXPECT_TRUE(b.NoReplyWithin(100));
    EXPECT_EQ(Set(k, "v", "2"), 0u);
    EXPECT_EQ(Next(b), Answer(second, 0));

    // Deleting a key answers registrations parked on it and below it before its own reply.
    const uint32_t on_k = ParkNotify(a, k, 0), on_sub = ParkNotify(b, sub, 0);
    EXPECT_EQ(c_.RegDeleteKey(kLm, "K"), 0u);
    EXPECT_EQ(Next(a), Answer(on_k, 0));
    EXPECT_EQ(Next(b), Answer(on_sub, 0));

    // A registration whose event was closed signals nothing created after it.
    const uint64_t again = c_.RegCreateKeyEx(kLm, "K").value(), closed = c_.CreateEvent(1, 0, "").value();
    EXPECT_EQ(c_.RegNotifyChangeKeyValue({again, 0, 0, closed, 1}), 0u);
    EXPECT_EQ(c_.CloseHandle(closed), 0u);
    std::vector<uint64_t> later;
    for (int i = 0; i < 48; ++i)
        later.push_back(c_.CreateEvent(1, 0, "").value());
    EXPECT_EQ(Set(again, "v", "1"), 0u);
    EXPECT_FALSE(w.WaitForMultipleObjects(later.size(), 0, later, 300).has_value()) << "one of them was signalled";
}

// Other programs write the registry's directories under the running daemon: every answer is what a fresh
// read of the disk gives at that moment, and their value writes fire registrations as the daemon's own do,
// once each; the daemon's own write fires once, not again when the kernel reports it.
TEST_F(RegistryDaemon, OtherProgramsChangesShowAtOnceAndTheirValueWritesFireRegistrationsOnce)
{
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/X/S1") && kst::MakeKey("HKEY_LOCAL_MACHINE/X/S22/G"));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/V_A", kst::ValueFile(1, "abc")));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/V_B", kst::ValueFile(1, std::string(40, 'b'))));
    const auto at = [](const std::string &entry, time_t t) {
        const timeval tv[2] = {{t, 0}, {t, 0}};
        return utimes((kLmDir + entry).c_str(), tv) == 0;
    };
    for (const char *entry : {"X/S1", "X/S22", "X/V_A", "X/V_B"})
        ASSERT_TRUE(at(entry, 1000));
    Start();
    const uint64_t x = c_.RegOpenKeyEx(kLm, "X").value();
    const auto     fresh = [&](const char *step) {
        EXPECT_EQ(c_.RegQueryInfoKey(x), InfoOnDisk("X")) << step;
        EXPECT_EQ(c_.RegQueryInfoKey(x), InfoOnDisk("X")) << step << ", asked again";
    };
    fresh("as laid out");
    ASSERT_EQ(Set(x, "C", "c"), 0u);  // an answer the daemon's own write moved on, then others' changes
    fresh("after the daemon's write");
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/V_NEW", kst::ValueFile(1, std::string(300, 'n'))));
    fresh("a value file added");
    {  // rewritten in place: the same file, another size and bytes
        const int fd = open((kLmDir + "X/V_A").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string bytes = kst::ValueFile(2, std::string(400, 'z'));
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    fresh("a value rewritten in place");
    EXPECT_EQ(c_.RegQueryValueEx(x, "a")->size, 400u);
    ASSERT_EQ(unlink((kLmDir + "X/V_NEW").c_str()), 0);
    fresh("a value file removed");
    ASSERT_TRUE(at("X/V_B", 4000000000));
    fresh("a value re-timed");
    ASSERT_TRUE(at("X/V_B", 1000) && at("X/S1", 3000000000));
    fresh("a subkey directory re-timed");
    EXPECT_EQ(c_.RegEnumKeyEx(x, 0)->arg1, 3000000000u);
    ASSERT_TRUE(at("X/S1", 1000) && at("X/V_A", 1000) && at("X/V_C", 1000));
    fresh("every entry re-timed back");
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/S22/V_Q", kst::ValueFile(1, "q")));
    fresh("a file made in a subkey's directory");

    // A subkey directory removed: enumeration fails at its index, the query still counts it, untimed.
    ASSERT_TRUE(at("X/S22", 4000000001));
    fresh("the newest subkey directory");
    fs::remove_all(kLmDir + "X/S22");
    EXPECT_EQ(c_.RegEnumKeyEx(x, 1)->name, "");
    Words5 expected = InfoOnDisk("X");
    expected.arg1 += 1;
    expected.arg2 = 3;
    EXPECT_EQ(c_.RegQueryInfoKey(x), expected);
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/a much longer name.txt", ""));
    expected = InfoOnDisk("X");
    expected.arg1 += 1;
    expected.arg2 = 3;
    EXPECT_EQ(c_.RegQueryInfoKey(x), expected) << "a file that is no value";
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/X/S22/G"));

    // A key's parent renamed away and replaced by another program: no watch of the key hears of it.
    const uint64_t z = c_.RegCreateKeyEx(c_.RegCreateKeyEx(kLm, "Y").value(), "Z").value();
    ASSERT_EQ(Set(z, "OLD", "o"), 0u);
    EXPECT_EQ(c_.RegQueryInfoKey(z), InfoOnDisk("Y/Z"));
    fs::rename(kLmDir + "Y", kLmDir + "Y.OLD");
    ASSERT_TRUE(kst::WriteFile(kLmDir + "Y/Z/V_NEW", kst::ValueFile(1, std::string(99, 'n'))));
    EXPECT_EQ(c_.RegQueryInfoKey(z), InfoOnDisk("Y/Z"));

    // Registrations: a foreign write fires once (the subtree's too), the daemon's own write once.
    kst::Connection w = Connect();
    uint32_t        xid = ParkNotify(w, x, 0);
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/V_A", kst::ValueFile(1, "foreign")));
    EXPECT_EQ(Next(w), Answer(xid, 0));
    xid = ParkNotify(w, x, 0);  // nothing of that write is left to fire it again
    fs::rename(kLmDir + "X/V_B", kLmDir + "X/held");
    EXPECT_TRUE(w.NoReplyWithin(200)) << "only a value written fires";
    fs::rename(kLmDir + "X/held", kLmDir + "X/V_B");
    EXPECT_EQ(Next(w), Answer(xid, 0)) << "a value file moved in is written";

    xid = ParkNotify(w, x, 1);
    ASSERT_TRUE(kst::WriteFile(kLmDir + "X/S22/G/V_DEEP", kst::ValueFile(1, "d")));
    EXPECT_EQ(Next(w), Answer(xid, 0));

    // The daemon's own write, and a registration made right behind it in the same read: the kernel's
    // report of the write must not fire the new one.
    xid = ParkNotify(w, x, 0);
    const uint32_t set = c_.NextXid(), again = c_.NextXid();
    kst::Bytes     both = kst::CallRecord(set, kst::proc::kRegSetValue, kst::EncodeSet(x, "OWN", 1, 1, "o"));
    const auto     notify = kst::CallRecord(again, kst::proc::kRegNotify, kst::EncodeWords5({x, 0, 0, 0, 0}));
    both.insert(both.end(), notify.begin(), notify.end());
    ASSERT_TRUE(c_.SendRaw(both));
    EXPECT_EQ(Next(w), Answer(xid, 0));
    EXPECT_EQ(Next(c_), Answer(set, 0));
    EXPECT_TRUE(c_.NoReplyWithin(300)) << "the daemon's own write fired twice";
}

// Every entry directly in a directory, by name.
std::set<std::string> Entries(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// A full file system keeps the old value; fifos, sockets, devices and links out of the registry are values
// that cannot be opened; a kill at any moment of a write leaves each value whole and no half-written file;
// a shutdown then clears parked calls and owned mutexes, and no object handle outlives its process.
TEST_F(RegistryDaemon, FullDisksOddFilesKillsAndShutdownLeaveValuesOldOrNewAndNoStaleHandle)
{
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/FULL"));
    ASSERT_EQ(mount("tmpfs", (kLmDir + "FULL").c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    ASSERT_TRUE(kst::WriteFile(kLmDir + "FULL/V_OLD", kst::ValueFile(1, "old")));
    {
        UniqueFd          filler(open((kLmDir + "FULL/filler").c_str(), O_WRONLY | O_CREAT, 0644));
        const std::string block(4096, 'f');
        while (write(filler.get(), block.data(), block.size()) > 0) {
        }
    }
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/ODD"));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "REAL/V_R", kst::ValueFile(3, "inside")));
    const std::string secret = "/opt/orn/kestrel/secret";
    ASSERT_TRUE(kst::WriteFile(secret, kst::ValueFile(3, "secret")));
    const std::vector<std::pair<std::string, mode_t>> odd_files = {
        {"FIFO", S_IFIFO}, {"DEV", S_IFCHR}, {"SOCK", S_IFSOCK}};  // DEV has /dev/zero's numbers
    for (const auto &[name, type] : odd_files)
        ASSERT_EQ(mknod((kLmDir + "ODD/V_" + name).c_str(), type | 0644, makedev(1, 5)), 0) << name;
    fs::create_symlink(secret, kLmDir + "ODD/V_OUT");
    fs::create_symlink("../REAL/V_R", kLmDir + "ODD/V_IN");
    // As a kill between write and rename leaves it: above the roots, or beside the values of a key on a
    // file system of its own.
    ASSERT_TRUE(kst::WriteFile(kLmDir + "W/.KSTntserver.new", "half"));
    ASSERT_TRUE(kst::WriteFile(std::string(kst::kRegistryDir) + "/.KSTntserver.new", "half"));
    Start();
    EXPECT_FALSE(fs::exists(kLmDir + "W/.KSTntserver.new")) << "loading removes what a crash left";
    EXPECT_TRUE(kst::PollFor(2000, [] { return !fs::exists(std::string(kst::kRegistryDir) + "/.KSTntserver.new"); }))
        << "the server removes what a crash left above the roots";
    const uint64_t    full = c_.RegOpenKeyEx(kLm, "FULL").value();
    const std::size_t mark = sandbox_.TraceMark();
    // The file beside the value opened, so the reply is that of a write; the trace tells what happened.
    EXPECT_EQ(Set(full, "OLD", std::string(400, 'n')), 0u);
    EXPECT_EQ(Set(full, "NEW", "n"), 0u);
    EXPECT_EQ(sandbox_.CountTrace("can't be written", mark), 2u);
    EXPECT_EQ(kst::ReadFile(kLmDir + "FULL/V_OLD"), kst::ValueFile(1, "old"));
    EXPECT_EQ(Entries(kLmDir + "FULL"), (std::set<std::string>{"V_OLD", "filler"}));
    EXPECT_EQ(c_.RegQueryValueEx(full, "new")->size, 0u);
    ASSERT_EQ(unlink((kLmDir + "FULL/filler").c_str()), 0);
    // A file beside the values, as a write in flight has it: never a value entry, and taken over by the next write.
    ASSERT_TRUE(kst::WriteFile(kLmDir + "FULL/.KSTntserver.new", "half"));
    ASSERT_TRUE(kst::WriteFile(kLmDir + "ODD/.KSTntserver.new", "half"));
    EXPECT_EQ(Set(full, "NEW", "n"), 0u);  // room again: stored whole
    EXPECT_EQ(kst::ReadFile(kLmDir + "FULL/V_NEW"), kst::ValueFile(1, "n"));
    EXPECT_EQ(Entries(kLmDir + "FULL"), (std::set<std::string>{"V_OLD", "V_NEW"}));

    const uint64_t odd = c_.RegOpenKeyEx(kLm, "ODD").value();
    for (const char *name : {"FIFO", "DEV", "SOCK", "OUT"}) {
        const std::size_t mark = sandbox_.TraceMark();
        const auto        q = c_.RegQueryValueEx(odd, name);
        ASSERT_TRUE(q.has_value()) << name << ": the server did not answer";
        EXPECT_EQ(q->type, 0u) << name;
        EXPECT_EQ(q->size, 0u) << name;
        EXPECT_TRUE(HasTrace("ODD//V_" + std::string(name) + " can't be opened", mark)) << name;
        EXPECT_EQ(Set(odd, name, "x"), 7u) << name;
    }
    EXPECT_EQ(c_.RegQueryValueEx(odd, "in")->data.substr(0, 6), "inside");
    EXPECT_EQ(c_.RegQueryInfoKey(odd)->arg3, 5u);
    std::multiset<std::string> shown;
    for (uint64_t i = 0; i < 6; ++i)
        shown.insert(c_.RegEnumValue(odd, i)->name);
    EXPECT_EQ(shown, (std::multiset<std::string>{"", "", "", "", "", "IN"}));
    // A link inside the registry is written through; one leading out is never written.
    EXPECT_EQ(Set(odd, "IN", "changed"), 0u);
    EXPECT_EQ(kst::ReadFile(kLmDir + "REAL/V_R"), kst::ValueFile(1, "changed"));
    EXPECT_TRUE(fs::is_symlink(kLmDir + "ODD/V_IN"));
    EXPECT_EQ(kst::ReadFile(secret), kst::ValueFile(3, "secret"));

    const std::vector<std::string>               names = {"A", "B", "C", "D", "E", "F"};
    std::map<std::string, std::set<std::string>> sent;  // every file content each value may hold
    for (const std::string &name : names) {
        ASSERT_EQ(Set(c_.RegOpenKeyEx(kLm, "W").value(), name, "first"), 0u);
        sent[name].insert(kst::ValueFile(1, "first"));
    }
    std::mt19937 random(7);
    for (int kill_no = 0, serial = 0; kill_no < 30; ++kill_no) {
        const uint64_t w = c_.RegOpenKeyEx(kLm, "W").value();
        // Writes in flight back to back, of changing sizes; the random pause picks the moment of the kill.
        for (int i = 0; i < 300; ++i, ++serial) {
            const std::string &name = names[serial % names.size()];
            const std::string  data = std::to_string(serial) + std::string(1 + serial * 37 % 500, 'a' + serial % 26);
            sent[name].insert(kst::ValueFile(1, data));
            ASSERT_TRUE(
                c_.SendCall(kst::proc::kRegSetValue, kst::EncodeSet(w, name, 1, data.size(), data), c_.NextXid()));
        }
        ASSERT_TRUE(c_.ReadReply().has_value());  // writing has begun
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ASSERT_EQ(kill(sandbox_.pid(), SIGKILL), 0);
        ASSERT_TRUE(sandbox_.Stop());  // reaps it
        ASSERT_TRUE(sandbox_.Start());
        c_ = Connect();
        for (const std::string &name : names) {
            const auto file = kst::ReadFile(kLmDir + "W/V_" + name);
            ASSERT_TRUE(file.has_value()) << name << " lost after kill " << kill_no;
            ASSERT_TRUE(sent[name].count(*file)) << name << " holds " << file->size() << " bytes, no value written";
        }
        ASSERT_EQ(Entries(kLmDir + "W").size(), names.size()) << "a file beside the values after kill " << kill_no;
        // A new value's file is made above the roots; one that a kill left there goes once the server runs.
        const std::set<std::string> roots = {"HKEY_CLASS_ROOT", "HKEY_LOCAL_MACHINE"};
        ASSERT_TRUE(kst::PollFor(2000, [&] { return Entries(kst::kRegistryDir) == roots; }))
            << "a file above the roots after kill " << kill_no;
    }

    // Shutdown empties the object table although calls are parked and a mutex is owned (a sanitizer build
    // checks that their records are freed); the parked clients see their connection close without a reply.
    kst::Connection       b1 = Connect(), b2 = Connect();
    std::vector<uint64_t> old;
    for (int i = 0; i < 8; ++i)
        old.push_back(c_.CreateEvent(0, 0, "E" + std::to_string(i)).value());
    const uint64_t mutex = c_.CreateMutex(0, 1, "").value();
    ParkCall(b1, kst::proc::kWaitSingle, kst::EncodeWord(old[0]),
             "WaitForSingleObject called, id=" + std::to_string(old[0]));
    ParkCall(b2, kst::proc::kWaitMultiple, kst::EncodeWait(2, 0, std::vector{old[0], mutex}),
             "WaitForMultipleObject called");
    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_EQ(sandbox_.daemon_exit_status(), 0);
    EXPECT_TRUE(b1.ClosedWithin(2000));
    EXPECT_TRUE(b2.ClosedWithin(2000));
    ASSERT_TRUE(sandbox_.Start());
    c_ = Connect();
    // Object handles are drawn afresh too: one kept across the restart names nothing, not even the object
    // created again under the same name.
    for (int i = 0; i < 8; ++i) {
        const uint64_t fresh = c_.CreateEvent(0, 1, "E" + std::to_string(i)).value();
        EXPECT_NE(fresh, old[i]);
        EXPECT_EQ(c_.WaitForSingleObject(old[i]), 2u);
        EXPECT_EQ(c_.CloseHandle(old[i]), 2u);
        EXPECT_EQ(c_.WaitForSingleObject(fresh), fresh);  // still signalled: the stale calls touched nothing
    }
}

// A big registry answers before its leaves are listed. What only a listing shows (a link to a directory
// is a subkey; a crash's leftover goes) is there for the first call that looks, whichever it is, and the
// loop lists the rest behind the calls.
TEST_F(RegistryDaemon, ABigRegistrysLeavesAreListedWhenFirstLookedAtOrSoonAfter)
{
    ASSERT_TRUE(LayOutBigTree(4, 10000));
    // The leaves of the group loaded last, far behind the first calls in the loop's order.
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/SHARED/INNER"));
    for (const std::string leaf : {"OPEN", "INFO", "ENUM", "CREATE"}) {
        ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/BIG/G9/" + leaf));
        fs::create_directory_symlink("../../../SHARED", kLmDir + "BIG/G9/" + leaf + "/LINK");
    }
    ASSERT_TRUE(kst::MakeKey("HKEY_LOCAL_MACHINE/BIG/G9/LAST"));
    for (const std::string leftover : {"G3/K9999", "G9/LAST"})
        ASSERT_TRUE(kst::WriteFile(kLmDir + "BIG/" + leftover + "/.KSTntserver.new", "half"));
    Start();
    EXPECT_NE(c_.RegOpenKeyEx(kLm, "BIG/G9/OPEN/LINK/INNER"), 0u);
    EXPECT_EQ(c_.RegQueryInfoKey(c_.RegOpenKeyEx(kLm, "BIG/G9/INFO").value())->arg1, 1u);
    EXPECT_EQ(Subkeys(c_.RegOpenKeyEx(kLm, "BIG/G9/ENUM").value()), std::vector<std::string>{"LINK"});
    const uint64_t create = c_.RegOpenKeyEx(kLm, "BIG/G9/CREATE").value();
    EXPECT_NE(c_.RegCreateKeyEx(create, "NEW"), 0u);
    EXPECT_EQ(Subkeys(create), (std::vector<std::string>{"NEW", "LINK"})) << "a key created later comes first";
    EXPECT_TRUE(kst::PollFor(10000, [&] {
        return !fs::exists(kLmDir + "BIG/G3/K9999/.KSTntserver.new") &&
               !fs::exists(kLmDir + "BIG/G9/LAST/.KSTntserver.new");
    })) << "leaves no call looked at are listed all the same";
}

TEST_F(RegistryDaemon, DeletingABigSubtreeHoldsNoOtherClientAndLeavesNothingBehind)
{
    ASSERT_TRUE(LayOutBigTree(10, 1000));
    // A deletion that a stop cut short waits above the roots; the next run removes it.
    ASSERT_TRUE(kst::MakeKey(".KSTntserver.deleted.1/A/B"));
    Start();
    const std::set<std::string> roots = {"HKEY_CLASS_ROOT", "HKEY_LOCAL_MACHINE"};
    const auto cleaned = [&] { return c_.RegOpenKeyEx(kLm, "Q") && Entries(kst::kRegistryDir) == roots; };
    EXPECT_TRUE(kst::PollFor(10000, cleaned));
    kst::Connection                     other = Connect();
    const uint64_t                      q = c_.RegCreateKeyEx(kLm, "Q").value();
    std::atomic<bool>                   done{false};
    std::chrono::steady_clock::duration worst{};
    std::thread                         caller([&] {
        while (!done) {
            const auto start = std::chrono::steady_clock::now();
            if (!other.RegQueryValueEx(q, "X")) return;
            worst = std::max(worst, std::chrono::steady_clock::now() - start);
        }
    });
    // The key freed last (the last subkey in byte order of the last group) is gone for every call once the
    // delete has answered, and with no call left to serve the loop frees on until the registration
    // parked on it is answered too.
    const uint64_t  deep = c_.RegOpenKeyEx(kLm, "BIG/G9/K999").value();
    kst::Connection watcher = Connect();
    const uint32_t  parked = ParkNotify(watcher, deep, 0);
    EXPECT_EQ(c_.RegDeleteKey(kLm, "BIG"), 0u);
    done = true;
    caller.join();
    EXPECT_LT(worst, std::chrono::seconds(1));
    EXPECT_EQ(c_.RegCreateKeyEx(deep, "NEW"), 2u);
    EXPECT_EQ(Next(watcher), Answer(parked, 0));
    for (const pid_t rm : kst::Processes("rm")) {  // still at work: it holds no socket of the server's
        std::error_code ec;
        for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(rm) + "/fd", ec))
            EXPECT_FALSE(fs::read_symlink(fd.path(), ec).string().starts_with("socket:")) << "rm holds a socket";
        const std::string nice = kst::SessionNice(rm);  // empty once it has gone
        EXPECT_TRUE(nice == "0" || nice.empty()) << "rm shares the server's raised priority: " << nice;
    }
    EXPECT_FALSE(fs::exists(kLmDir + "BIG"));
    EXPECT_EQ(c_.RegOpenKeyEx(kLm, "BIG/G3/K7"), 0u);
    EXPECT_TRUE(kst::PollFor(20000, cleaned));
    EXPECT_TRUE(kst::PollFor(5000, [&] { return c_.RegOpenKeyEx(kLm, "Q") && kst::Processes("rm").empty(); }))
        << "a finished removal is reaped by a later call";
    if (access("/proc/self/autogroup", F_OK) == 0) {
        EXPECT_EQ(kst::SessionNice(sandbox_.pid()), "-10") << "the server's priority back once rm is reaped";
    }
}

// The control socket's status document.
std::string Status()
{
    UniqueFd    fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/run/KSTntserver.ctl");
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        send(fd.get(), "json status\n", 12, MSG_NOSIGNAL) != 12)
        return {};
    std::string got;
    char        buffer[4096];
    for (ssize_t n; got.find('}') == std::string::npos && (n = recv(fd.get(), buffer, sizeof buffer, 0)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    return got;
}

// A flush is answered 0 only once the disk waiter has synced its key, and meanwhile the loop serves everyone
// else. The test holds the waiter at its gate (a FIFO it reads one byte from before each flush) and lets
// flushes go one byte at a time: a flush whose client has left is finished and leaves nothing behind, and
// a stop lets the queued flushes reach the disk and answers them before the process ends.
TEST_F(RegistryDaemon, AFlushIsAnsweredOnceOnTheDiskWhileTheOthersAreServedAndLeavesNothingBehind)
{
    const std::string gate_path = "/run/kst-flush-gate";
    ASSERT_EQ(mkfifo(gate_path.c_str(), 0600), 0) << strerror(errno);
    sandbox_.daemon_env = {"KST_TEST_FLUSH_GATE=" + gate_path};
    Start();
    const UniqueFd gate(open(gate_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // the daemon holds it open
    ASSERT_TRUE(gate);
    const uint64_t key = c_.RegCreateKeyEx(kLm, "FLUSHED").value();
    for (const char *name : {"A", "B", "C"})
        ASSERT_EQ(Set(key, name, "data"), 0u);
    const std::string idle = Status();
    EXPECT_NE(idle.find("\"internal\":0},\"parked_calls\":0,"), std::string::npos) << idle;
    const auto files = [&] {  // the daemon's descriptors but its sockets, which come and go with the clients
        std::error_code ec;
        int             count = 0;
        for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(sandbox_.pid()) + "/fd", ec))
            count += !fs::read_symlink(fd.path(), ec).string().starts_with("socket:");
        return count;
    };
    const int before = files();

    kst::Connection flusher = Connect(), leaver = Connect();
    const uint32_t  xid = flusher.NextXid();
    ASSERT_TRUE(flusher.SendCall(kst::proc::kRegFlushKey, kst::EncodeWord(key), xid));
    EXPECT_TRUE(flusher.NoReplyWithin(200)) << "answered before the disk waiter synced it";
    EXPECT_EQ(c_.RegQueryValueEx(key, "a")->size, 4u);
    EXPECT_EQ(Set(key, "D", "more"), 0u);
    EXPECT_EQ(c_.RegFlushKey(0), 0u);  // naming no key: nothing to flush, answered at once
    EXPECT_EQ(c_.RegFlushKey(key + 1), 0u);
    ASSERT_TRUE(leaver.SendCall(kst::proc::kRegFlushKey, kst::EncodeWord(key), leaver.NextXid()));
    EXPECT_TRUE(leaver.NoReplyWithin(100));
    leaver = kst::Connection();  // gone while its flush waits at the gate
    ASSERT_TRUE(c_.Null());
    ASSERT_EQ(write(gate.get(), "xx", 2), 2);
    EXPECT_EQ(Next(flusher), (Answer{xid, 0}));
    EXPECT_TRUE(kst::PollFor(5000, [&] {
        const std::string now = Status();
        return now.find("\"internal\":0},\"parked_calls\":0,") != std::string::npos && files() == before;
    })) << Status();
    ASSERT_EQ(write(gate.get(), "x", 1), 1);  // lets the next flush through at once
    const std::size_t mark = sandbox_.TraceMark();
    EXPECT_EQ(c_.RegFlushKey(key), 0u);
    EXPECT_EQ(c_.RegFlushKey(0), 0u);
    EXPECT_EQ(sandbox_.CountTrace("", mark), 0u) << "a flush writes no trace";

    const uint32_t last = flusher.NextXid();
    ASSERT_TRUE(flusher.SendCall(kst::proc::kRegFlushKey, kst::EncodeWord(key), last));
    EXPECT_TRUE(flusher.NoReplyWithin(100));
    ASSERT_EQ(kill(sandbox_.pid(), SIGTERM), 0);
    EXPECT_TRUE(flusher.NoReplyWithin(300)) << "a stop must not answer a flush the disk has not got";
    ASSERT_EQ(write(gate.get(), "x", 1), 1);
    EXPECT_EQ(Next(flusher), (Answer{last, 0}));
    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_EQ(sandbox_.daemon_exit_status(), 0);
}

}  // namespace
