// kstctl_test.cpp: the built kstctl driven against the real daemon in the sandbox, checked through the
// daemon's files on disk and the tool's exit statuses and output.
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kLmDir = std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/";

struct Result {
    int         status = -1;  // exit status, 128+N for signal N (137: did not end in time)
    std::string out;          // stdout
    std::string err;          // stderr
};
std::ostream &operator<<(std::ostream &os, const Result &r)
{
    return os << "status " << r.status << ", stdout [" << r.out << "], stderr [" << r.err << "]";
}

// Runs kstctl with args and stdin text through files (so neither side can fill a pipe), killed after 20 s.
Result Kstctl(const std::vector<std::string> &args, const std::string &input = {})
{
    std::string command = "timeout -s KILL 20 " KST_KSTCTL;
    for (const std::string &a : args) {
        command += " '";
        for (char ch : a)
            command += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        command += "'";
    }
    if (!kst::WriteFile("/run/kstctl.in", input)) return {};
    const int status = std::system((command + " </run/kstctl.in >/run/kstctl.out 2>/run/kstctl.err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            kst::ReadFile("/run/kstctl.out").value_or("?"), kst::ReadFile("/run/kstctl.err").value_or("?")};
}

// Every file below a key directory with its bytes: what the registry holds, read behind the daemon.
std::map<std::string, std::string> Disk(const std::string &key_dir)
{
    std::map<std::string, std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(key_dir))
        out[e.path().string().substr(key_dir.size())] =
            e.is_directory() ? "dir" : kst::ReadFile(e.path()).value_or("?");
    return out;
}

class KstctlTest : public kst::DaemonTest {};

TEST_F(KstctlTest, ExportDeleteImportCompareKeepsEveryByteInBothFormats)
{
    kst::Connection c = Connect();
    const uint64_t  top = c.RegCreateKeyEx(2, "RT").value();
    uint64_t        sub = c.RegCreateKeyEx(top, "SUB").value();
    ASSERT_TRUE(c.RegCreateKeyEx(sub, "EMPTY"));
    std::vector<std::tuple<std::string, uint64_t, std::string>> values = {
        // name, type, data
        {"", 1, "unnamed\0"s},
        {"SZ", 1, "a \"q\" \\ b\0"s},
        {"NONUL", 1, "abc"},
        {"INNER", 1, "a\0b\0"s},
        {"CRLF", 1, "x\r\n\0"s},
        {"HIGH", 1, "caf\xE9\0"s},
        {"D", 4, "\x01\x02\x03\x04"},
        {"D3", 4, "\x01\x02\x03"},
        {"Q", 11, "12345678"},
        {"EMPTYBIN", 3, ""},
        {"ODD", 3, "\x01\x02\x03"},
        {"FULL", 3, std::string(508, '\x5A')},
        {"T507", 2, std::string(507, 'e')},
        {"T12", 12, "x"},
        {"TMAX", 0xFFFFFFFF, "\x00\xFF"s},
        {"EMPTYSZ", 1, "\0"s},
        {"UTF8", 1, "caf\xC3\xA9 \xF0\x9F\x98\x80\0"s},
        {"NA\"ME", 7, "a\0b\0\0"s},
        {"ZERO", 0, ""},
    };
    for (uint64_t t = 0; t <= 11; ++t)
        values.push_back({"TYPE" + std::to_string(t), t, "\x00\x01\x02\x03\x04"s});
    for (const auto &[name, type, data] : values)
        ASSERT_EQ(c.RegSetValueEx(sub, name, type, data.size(), data), 0u) << name;
    ASSERT_EQ(c.RegSetValueEx(top, "ROOTVAL", 1, 2, "r\0"s), 0u);
    const auto before = Disk(kLmDir + "RT");

    for (const char *format : {"--force", "--unicode"}) {  // the second overwrites the first (/y)
        SCOPED_TRACE(format);
        EXPECT_EQ(Kstctl({"reg", "export", "HKLM\\rt", "/run/rt.reg", format, "/y"}).status, 0);
        EXPECT_EQ(Kstctl({"reg", "compare", "HKLM\\RT", "/run/rt.reg"}).status, 0);
        const Result gone = Kstctl({"reg", "delete", "HKLM\\RT", "/f"});
        ASSERT_EQ(gone.status, 0) << gone;
        EXPECT_FALSE(fs::exists(kLmDir + "RT"));
        const Result drift = Kstctl({"reg", "compare", "HKLM\\RT", "/run/rt.reg"});
        EXPECT_EQ(drift.status, 2) << drift;
        EXPECT_NE(drift.out.find("only in file: HKEY_LOCAL_MACHINE\\RT\\SUB\\EMPTY"), std::string::npos) << drift;
        const Result imported = Kstctl({"reg", "import", "/run/rt.reg"});
        ASSERT_EQ(imported.status, 0) << imported;
        EXPECT_TRUE(imported.out.empty() && imported.err.empty()) << imported;
        EXPECT_EQ(Disk(kLmDir + "RT"), before);
        EXPECT_EQ(Kstctl({"reg", "compare", "HKLM/RT", "/run/rt.reg"}).status, 0);
    }
    // One changed byte is drift, and so is a value the file does not have. (The import made new keys.)
    sub = c.RegOpenKeyEx(2, "RT\\SUB").value();
    ASSERT_EQ(c.RegSetValueEx(sub, "ODD", 3, 3, "\x01\x02\x04"), 0u);
    ASSERT_EQ(c.RegSetValueEx(sub, "NEW", 1, 2, "n\0"s), 0u);
    const Result drift = Kstctl({"reg", "compare", "HKEY_LOCAL_MACHINE\\RT", "-"}, *kst::ReadFile("/run/rt.reg"));
    EXPECT_EQ(drift.status, 2);
    EXPECT_EQ(drift.out,
              "only in registry: HKEY_LOCAL_MACHINE\\RT\\SUB: NEW\ndiffers: HKEY_LOCAL_MACHINE\\RT\\SUB: ODD\n");
}

TEST_F(KstctlTest, HandWrittenFilesInBothFormatsImport)
{
    const std::string text = "REGEDIT4\n"
                             "; set up by hand\n"
                             "[HKEY_LOCAL_MACHINE\\App\\Cfg]\n"
                             "@=\"default\"\n"
                             "\n"
                             "  \"Path\" = \"C:\\\\dir\\\\\"  \n"
                             "\"Count\"=DWORD:2a\n"
                             "\"Blob\"=hex:01,02,\\\n"
                             "    0a,\\\n"
                             "  b\n"
                             "\"Gone\"=-\n"
                             "[HKEY_CLASS_ROOT\\Ext]\n"
                             "\"E\"=hex(2):25,00\n";
    ASSERT_TRUE(kst::WriteFile(kLmDir + "APP/CFG/V_GONE", kst::ValueFile(1, "x")));
    const Result r = Kstctl({"reg", "import", "-"}, text);
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(kst::ReadFile(kLmDir + "APP/CFG/V_"), kst::ValueFile(1, "default\0"s));
    EXPECT_EQ(kst::ReadFile(kLmDir + "APP/CFG/V_PATH"), kst::ValueFile(1, "C:\\dir\\\0"s));
    EXPECT_EQ(kst::ReadFile(kLmDir + "APP/CFG/V_COUNT"), kst::ValueFile(4, "\x2a\0\0\0"s));
    EXPECT_EQ(kst::ReadFile(kLmDir + "APP/CFG/V_BLOB"), kst::ValueFile(3, "\x01\x02\x0a\x0b"));
    EXPECT_FALSE(fs::exists(kLmDir + "APP/CFG/V_GONE"));
    EXPECT_EQ(kst::ReadFile(std::string(kst::kRegistryDir) + "/HKEY_CLASS_ROOT/EXT/V_E"), kst::ValueFile(2, "%\0"s));

    // Version 5.00: UTF-16LE with a byte-order mark; its text is stored as UTF-8. [-KEY] removes a tree.
    std::string wide = "\xFF\xFE";
    for (char16_t u : std::u16string(u"Windows Registry Editor Version 5.00\r\n\r\n[-HKLM\\App]\r\n"
                                     u"[HKLM\\Wide]\r\n\"Euro\"=\"\u20AC\U0001F600\"\r\n"))
        wide += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    ASSERT_EQ(Kstctl({"reg", "import", "-"}, wide).status, 0);
    EXPECT_FALSE(fs::exists(kLmDir + "APP"));
    EXPECT_EQ(kst::ReadFile(kLmDir + "WIDE/V_EURO"), kst::ValueFile(1, "\xE2\x82\xAC\xF0\x9F\x98\x80\0"s));
}

TEST_F(KstctlTest, MalformedFileIsRejectedWithItsLineAndNothingWritten)
{
    const Result r = Kstctl({"reg", "import", "-"}, "REGEDIT4\n[HKLM\\Bad]\n\"a\"=\"ok\"\n\n\"b\"=dword:xyz\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("<stdin>:5: "), std::string::npos) << r;
    EXPECT_FALSE(fs::exists(kLmDir + "BAD"));
}

TEST_F(KstctlTest, QueryAddDeleteAndTheirRefusals)
{
    ASSERT_EQ(Kstctl({"reg", "add", "HKLM\\Q\\K", "/v", "n", "/t", "REG_DWORD", "/d", "0x10"}).status, 0);
    ASSERT_EQ(Kstctl({"reg", "add", "hklm/q/k", "--value=s", "--data", "text"}).status, 0);
    ASSERT_EQ(Kstctl({"reg", "add", "HKLM\\Q\\K\\Child"}).status, 0);
    const Result q = Kstctl({"reg", "query", "HKLM\\Q\\K"});
    EXPECT_EQ(q.out, "HKEY_LOCAL_MACHINE\\Q\\K\n    N    REG_DWORD    0x00000010 (16)\n    S    REG_SZ    text\n\n"
                     "HKEY_LOCAL_MACHINE\\Q\\K\\CHILD\n")
        << q;
    EXPECT_EQ(Kstctl({"reg", "query", "HKLM\\Q", "/v", "s", "/s"}).out,
              "HKEY_LOCAL_MACHINE\\Q\\K\n    S    REG_SZ    text\n");
    // Overwriting and deleting ask first; without a terminal they refuse unless forced.
    EXPECT_EQ(Kstctl({"reg", "add", "HKLM\\Q\\K", "/v", "s", "/d", "new"}).status, 1);
    EXPECT_EQ(Kstctl({"reg", "delete", "HKLM\\Q\\K", "/v", "S"}).status, 1);
    EXPECT_EQ(kst::ReadFile(kLmDir + "Q/K/V_S"), kst::ValueFile(1, "text\0"s));
    EXPECT_EQ(Kstctl({"reg", "delete", "HKLM\\Q\\K", "/va", "/f"}).status, 0);
    EXPECT_FALSE(fs::exists(kLmDir + "Q/K/V_S") || fs::exists(kLmDir + "Q/K/V_N"));
    EXPECT_EQ(Kstctl({"reg", "query", "HKLM\\Q\\NONE"}).status, 1);
    EXPECT_EQ(Kstctl({"reg", "delete", "HKLM", "/f"}).status, 1);
    for (const std::vector<std::string> &usage : {std::vector<std::string>{"reg", "query"},
                                                  {"reg", "query", "HKCU\\X"},
                                                  {"reg", "add", "HKLM\\Q", "/v", "x", "/t", "REG_DWORD", "/d", "x"},
                                                  {"reg", "frob"},
                                                  {"wait"},
                                                  {"sem", "create", "S", "3", "2"},
                                                  {"nope"}}) {
        const Result r = Kstctl(usage);
        EXPECT_EQ(r.status, 64) << usage[1] << ": " << r;
        EXPECT_TRUE(r.out.empty() && !r.err.empty()) << r;
    }
    for (const char *sub : {"reg", "event", "mutex", "sem", "wait", "run", "ping"}) {
        const Result r = Kstctl({sub, "--help"});
        EXPECT_TRUE(r.status == 0 && !r.out.empty() && r.err.empty()) << sub << ": " << r;
    }
}

TEST_F(KstctlTest, WaitAndRunTimeOutWithTheirOwnStatusAndRunHoldsTheMutex)
{
    // create keeps exactly one reference, also when run twice: the object outlives kstctl, and the
    // second create adds nothing that would keep it alive after its last real close.
    ASSERT_EQ(Kstctl({"event", "create", "E"}).status, 0);
    ASSERT_EQ(Kstctl({"event", "create", "E", "--signalled"}).status, 0);
    kst::Connection c = Connect();
    const uint64_t  e = c.OpenEvent("E").value();
    EXPECT_EQ(c.CloseHandle(e), 0u);
    EXPECT_EQ(c.CloseHandle(e), 0u);
    EXPECT_EQ(c.OpenEvent("E"), 2u);  // deleted by the second close

    ASSERT_EQ(Kstctl({"event", "create", "E"}).status, 0);
    ASSERT_EQ(Kstctl({"event", "create", "F", "--manual-reset"}).status, 0);
    EXPECT_EQ(Kstctl({"wait", "E", "--timeout", "200ms"}).status, 75);
    ASSERT_EQ(Kstctl({"event", "set", "F"}).status, 0);
    const Result any = Kstctl({"wait", "E", "F", "--timeout", "5s"});
    EXPECT_EQ(any.status, 0);
    EXPECT_EQ(any.out, "F\n");
    EXPECT_EQ(Kstctl({"wait", "E", "event:F", "--all", "--timeout", "200ms"}).status, 75);
    EXPECT_EQ(Kstctl({"wait", "NOSUCH"}).status, 1);
    ASSERT_EQ(Kstctl({"mutex", "create", "E"}).status, 0);
    EXPECT_EQ(Kstctl({"wait", "E"}).status, 64);  // an event and a mutex are both called E

    ASSERT_EQ(Kstctl({"sem", "create", "S", "0", "2"}).status, 0);
    EXPECT_EQ(Kstctl({"sem", "release", "S", "3"}).status, 1);
    ASSERT_EQ(Kstctl({"sem", "release", "S", "2"}).status, 0);
    EXPECT_EQ(Kstctl({"wait", "sem:S", "--timeout", "1s"}).status, 0);
    EXPECT_EQ(Kstctl({"wait", "sem:S", "--timeout", "1s"}).status, 0);
    EXPECT_EQ(Kstctl({"wait", "sem:S", "--timeout", "100ms"}).status, 75);

    // run: the command's own status, and the mutex is held while it runs and free after.
    EXPECT_EQ(Kstctl({"run", "--mutex", "M", "--", "sh", "-c", "exit 7"}).status, 7);
    kst::Connection holder = Connect();
    const uint64_t  m = holder.CreateMutex(0, 0, "M").value();
    ASSERT_EQ(holder.WaitForSingleObject(m), m);
    const Result blocked = Kstctl({"run", "--mutex", "M", "--timeout", "300ms", "--", "touch", "/run/ran"});
    EXPECT_EQ(blocked.status, 75) << blocked;
    EXPECT_FALSE(fs::exists("/run/ran"));
    ASSERT_EQ(holder.ReleaseMutex(m), 0u);
    const Result ran = Kstctl({"run", "--mutex", "M", "--timeout", "5s", "sh", "-c", "touch /run/ran"});
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_TRUE(fs::exists("/run/ran"));
    // While COMMAND runs the mutex is taken: a wait from COMMAND itself times out, and run passes its 75 on.
    EXPECT_EQ(Kstctl({"run", "--mutex", "M", "--", KST_KSTCTL, "wait", "mutex:M", "--timeout", "200ms"}).status, 75);
    EXPECT_EQ(holder.WaitForSingleObject(m, 2000), m);  // and free again afterwards
}

TEST_F(KstctlTest, PingAndUnreachableDaemon)
{
    const Result up = Kstctl({"ping"});
    EXPECT_EQ(up.status, 0);
    EXPECT_TRUE(up.out.empty() && up.err.empty()) << up;
    ASSERT_TRUE(sandbox_.Stop());
    const Result down = Kstctl({"ping"});
    EXPECT_EQ(down.status, 69);
    EXPECT_NE(down.err.find("not registered"), std::string::npos) << down;
    EXPECT_EQ(Kstctl({"reg", "query", "HKLM"}).status, 69);
    EXPECT_EQ(Kstctl({"event", "set", "E"}).status, 69);
}

}  // namespace
