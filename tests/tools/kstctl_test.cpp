// kstctl_test.cpp: the built kstctl driven against the real daemon in the sandbox, checked through the
// daemon's files on disk, the tool's exit statuses and output, and raw clients of the control socket
// that it must refuse or drop without the RPC service noticing.
#include "tests/support/sandbox.h"
#include "tests/tools/read_nt.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Args = std::vector<std::string>;

const std::string kLmDir = std::string(kst::kRegistryDir) + "/HKEY_LOCAL_MACHINE/";
constexpr char    kSocket[] = "/run/KSTntserver.ctl";

struct Result {
    std::string command;      // as run, for the failure message
    int         status = -1;  // exit status, 128+N for signal N (137: did not end in time)
    std::string out;          // stdout
    std::string err;          // stderr
};
std::ostream &operator<<(std::ostream &os, const Result &r)
{
    return os << r.command << ": status " << r.status << ", stdout [" << r.out << "], stderr [" << r.err << "]";
}

// Runs kstctl with args and stdin text through files (so neither side can fill a pipe), killed after 20 s.
Result Kstctl(const Args &args, const std::string &input = {})
{
    std::string command = "timeout -s KILL 20 " KST_KSTCTL;
    for (const std::string &a : args)  // none holds a quote: one would break the command, and the test fails
        command += " '" + a + "'";
    if (!kst::WriteFile("/run/kstctl.in", input)) return {command, -1, {}, {}};
    const int status = std::system((command + " </run/kstctl.in >/run/kstctl.out 2>/run/kstctl.err").c_str());
    return {command, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            kst::ReadFile("/run/kstctl.out").value_or("?"), kst::ReadFile("/run/kstctl.err").value_or("?")};
}

// Runs each command in turn and checks its exit status.
void ExpectStatuses(const std::vector<std::pair<Args, int>> &steps)
{
    for (const auto &[args, status] : steps) {
        const Result r = Kstctl(args);
        EXPECT_EQ(r.status, status) << r;
    }
}

// A socket connected to the control socket, or with bound set, a dead server's socket left at its path.
UniqueFd ControlFd(bool bound = false)
{
    UniqueFd    fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kSocket);
    const auto *at = reinterpret_cast<sockaddr *>(&addr);
    if ((bound ? bind(fd.get(), at, sizeof addr) : connect(fd.get(), at, sizeof addr)) != 0) fd.reset();
    return fd;
}

// In a child that becomes user 65534: 1 when connecting is refused by the file mode, 2 when the daemon
// answers with a refusal and closes, 0 otherwise.
int NonRootAttempt()
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(0);
        UniqueFd fd = ControlFd();
        if (!fd) _exit(errno == EACCES ? 1 : 0);
        const timeval patience{5, 0};  // an answer instead of the refusal must not hang the test
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        (void)!send(fd.get(), "json status\n", 12, MSG_NOSIGNAL);  // the refusal may have closed it already
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
    const Result     listed = Kstctl({"connections", "--json"});
    std::smatch      m;
    const std::regex entry("\"fd\":([0-9]+),\"peer\":\"127\\.0\\.0\\.1:" + std::to_string(ntohs(local.sin_port)) +
                           "\"");
    return std::regex_search(listed.out, m, entry) ? std::stoi(m[1]) : -1;
}

class KstctlTest : public kst::DaemonTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox_.StartRpcbind());
        ASSERT_TRUE(ControlFd(true));  // a dead server's socket is still there: the new one replaces it
        ASSERT_TRUE(sandbox_.Start());
    }
};

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
        {"EMPTYBIN", 3, ""},
        {"ODD", 3, "\x01\x02\x03"},
        {"FULL", 3, std::string(508, '\x5A')},
        {"T507", 2, std::string(507, 'e')},
        {"TMAX", 0xFFFFFFFF, "\x00\xFF"s},
        {"EMPTYSZ", 1, "\0"s},
        {"UTF8", 1, "caf\xC3\xA9 \xF0\x9F\x98\x80\0"s},
        {"NA\"ME", 7, "a\0b\0\0"s},
    };
    for (uint64_t t = 0; t <= 11; ++t)
        values.push_back({"TYPE" + std::to_string(t), t, "\x00\x01\x02\x03\x04"s});
    for (const auto &[name, type, data] : values)
        ASSERT_EQ(c.RegSetValueEx(sub, name, type, data.size(), data), 0u) << name;
    ASSERT_EQ(c.RegSetValueEx(top, "ROOTVAL", 1, 2, "r\0"s), 0u);
    const auto before = kst::Snapshot(kLmDir + "RT");

    for (const char *format : {"--force", "--unicode"}) {  // the second overwrites the first (/y)
        SCOPED_TRACE(format);
        ExpectStatuses({{{"reg", "export", "HKLM\\rt", "/run/rt.reg", format, "/y"}, 0},
                        {{"reg", "compare", "HKLM\\RT", "/run/rt.reg"}, 0},
                        {{"reg", "delete", "HKLM\\RT", "/f"}, 0}});
        const Result drift = Kstctl({"reg", "compare", "HKLM\\RT", "/run/rt.reg"});
        EXPECT_EQ(drift.status, 2) << drift;
        EXPECT_NE(drift.out.find("only in file: HKEY_LOCAL_MACHINE\\RT\\SUB\\EMPTY"), std::string::npos) << drift;
        const Result imported = Kstctl({"reg", "import", "/run/rt.reg"});
        ASSERT_EQ(imported.status, 0) << imported;
        EXPECT_TRUE(imported.out.empty() && imported.err.empty()) << imported;
        EXPECT_EQ(kst::Snapshot(kLmDir + "RT"), before);
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

TEST_F(KstctlTest, HandWrittenFilesInBothFormatsImportAndAMalformedOneWritesNothing)
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

    // A malformed file names its line and writes nothing, not even the entries before the bad one.
    const Result bad = Kstctl({"reg", "import", "-"}, "REGEDIT4\n[HKLM\\Bad]\n\"a\"=\"ok\"\n\n\"b\"=dword:xyz\n");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("<stdin>:5: "), std::string::npos) << bad;
    EXPECT_FALSE(fs::exists(kLmDir + "BAD"));
}

// The corpus: one file per rule family, as regedit and people write them (tests/tools/regfiles).
TEST_F(KstctlTest, RealWorldFilesImportWithRegeditsMeaningAndExportBackByteForByte)
{
    const std::string dir = KST_REGFILES "/", cr = std::string(kst::kRegistryDir) + "/HKEY_CLASS_ROOT/";
    kst::Connection   c = Connect();
    ASSERT_TRUE(c.RegCreateKeyEx(c.RegCreateKeyEx(1, "CorpusApp.Document").value(), "Stale"));
    for (const char *file : {"export-utf16.reg", "handwritten-utf8.reg", "old-regedit4.reg", "installer.reg",
                             "tweak-hkcu.reg", "classes-old.reg"}) {
        const Result r = Kstctl({"reg", "import", dir + file});
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r;
    }
    const std::string ex = "SOFTWARE\\Corpus\\Export", hand = "SOFTWARE\\Corpus\\Hand",
                      legacy = "SOFTWARE\\Corpus\\Legacy";
    const std::vector<std::tuple<int, std::string, std::string, std::string>> expected = {
        {kLm, ex, "", "1:Default \"quoted\" C:\\Path\0"s},
        {kLm, ex, "Multi", "7:Line one\0Line two \xE2\x82\xAC\0\0"s},
        {kLm, ex, "Expand", "2:%SystemRoot%\\x\0"s},
        {kLm, ex, "Title", "1:Caf\xC3\xA9\0"s},
        {kLm, ex, "Big", "11:\x00\x01\x02\x03\x04\x05\x06\x07"s},
        {kLm, ex, "Notes", "1:first line\r\nsecond line\0"s},
        {kLm, ex, "Euro", "1:\xE2\x82\xAC 10\0"s},
        {kLm, ex, "Blob", "missing"},  // installer.reg: "Blob"=-
        {kLm, hand, "Greeting",
         "1:Gr\xC3\xBC\xC3\x9F"
         "e\0"s},
        {kLm, hand, "=starts with equals", "1:yes\0"s},
        {kLm, hand, "has \"quotes\"", "1:C:\\Program Files\\App\0"s},
        {kLm, hand, "Flags", "3:\x01\x02\x03\x04"s},
        {kLm, legacy, "Owner", "1:Ren\xE9\0"s},
        {kLm, legacy, "Path", "2:%WINDIR%\\tool\0"s},
        {kLm, legacy, "Level", "4:\x03\0\0\0"s},
        {kCr, "CorpusApp.Document\\shell\\open\\command", "", "1:\"C:\\Program Files\\Corpus\\corpus.exe\" \"%1\"\0"s},
        {kCr, "CorpusOld.File\\shell\\open\\command", "", "1:notepad.exe %1\0"s},
    };
    for (const auto &[root, key, name, value] : expected)
        EXPECT_EQ(ReadA(root, key, name), value) << key << ": " << name;
    // The strings through the W functions: the text regedit's reader gets (a 5.00 file's UTF-16, a
    // REGEDIT4 file's bytes), multi-strings with both terminators.
    const std::vector<std::tuple<int, std::string, std::string, std::wstring>> wide = {
        {kLm, ex, "", L"1:Default \"quoted\" C:\\Path\0"s},
        {kLm, ex, "Euro", L"1:\u20AC 10\0"s},
        {kLm, ex, "Title", L"1:Caf\u00E9\0"s},
        {kLm, ex, "Expand", L"2:%SystemRoot%\\x\0"s},
        {kLm, ex, "Multi", L"7:Line one\0Line two \u20AC\0\0"s},
        {kLm, hand, "Greeting", L"1:Gr\u00FC\u00DFe\0"s},
        {kLm, legacy, "Path", L"2:%WINDIR%\\tool\0"s},
        {kLm, legacy, "List", L"7:a\0b\0\0"s},
    };
    for (const auto &[root, key, name, value] : wide)
        EXPECT_EQ(ReadW(root, key, name), value) << key << ": " << name;
    EXPECT_FALSE(fs::exists(cr + "CORPUSAPP.DOCUMENT/STALE"));  // [-KEY] removed what was there
    const std::string hkcu = "HKEY_USERS/S-1-22-1-" + std::to_string(getuid()) +
                             "/SOFTWARE/MICROSOFT/WINDOWS/CURRENTVERSION/EXPLORER/ADVANCED/";
    EXPECT_EQ(kst::ReadFile(kLmDir + hkcu + "V_HIDDEN"), kst::ValueFile(4, "\x01\0\0\0"s));
    EXPECT_EQ(kst::ReadFile(kLmDir + "SOFTWARE/CORPUS/EXPORT/V_EXPAND"), kst::ValueFile(2, "%SystemRoot%\\x\0"s));
    EXPECT_EQ(Kstctl({"reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced"}).out,
              "HKEY_CURRENT_USER\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\ADVANCED\n"
              "    HIDDEN    REG_DWORD    0x00000001 (1)\n    HIDEFILEEXT    REG_DWORD    0x00000000 (0)\n");

    // Export, delete and import again give every byte back, under the per-user root's own name too.
    const auto before = kst::Snapshot(kLmDir + "SOFTWARE/CORPUS"), user = kst::Snapshot(kLmDir + "HKEY_USERS");
    for (const char *format : {"--force", "--unicode"}) {
        SCOPED_TRACE(format);
        ExpectStatuses({{{"reg", "export", "HKLM\\Software\\Corpus", "/run/c.reg", format, "/y"}, 0},
                        {{"reg", "export", "HKCU\\Software", "/run/u.reg", format, "/y"}, 0},
                        {{"reg", "delete", "HKLM\\Software\\Corpus", "/f"}, 0},
                        {{"reg", "delete", "HKCU\\Software", "/f"}, 0},
                        {{"reg", "import", "/run/c.reg"}, 0},
                        {{"reg", "import", "/run/u.reg"}, 0},
                        {{"reg", "compare", "HKCU\\Software", "/run/u.reg"}, 0}});
        EXPECT_EQ(kst::Snapshot(kLmDir + "SOFTWARE/CORPUS"), before);
        EXPECT_EQ(kst::Snapshot(kLmDir + "HKEY_USERS"), user);
    }
    // regedit's own form: hex(2) string data as UTF-16LE, and the per-user root by name.
    const auto ascii = [](const std::string &file) {  // the ASCII of a UTF-16LE file
        std::string text;
        for (const char ch : kst::ReadFile(file).value_or(""))
            if (ch > 0) text += ch;
        return text;
    };
    EXPECT_NE(ascii("/run/c.reg").find("\"EXPAND\"=hex(2):25,00,53,00,79,00"), std::string::npos);
    EXPECT_NE(ascii("/run/u.reg").find("\r\n[HKEY_CURRENT_USER\\SOFTWARE]\r\n"), std::string::npos);
    // compare names both sides as KEY is spelled, also when the file spells the per-user root.
    const std::string users = "HKEY_LOCAL_MACHINE\\HKEY_USERS\\S-1-22-1-" + std::to_string(getuid()) + "\\SOFTWARE";
    ExpectStatuses({{{"reg", "delete", users + "\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", "/f"}, 0}});
    EXPECT_EQ(Kstctl({"reg", "compare", users, "/run/u.reg"}).out,
              "only in file: " + users + "\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\ADVANCED\n");

    // A line regedit skips, or one asking for what the registry can't hold (a value name with '\', a key
    // name with '/'), refuses the file, naming it, and writes nothing; --skip-invalid passes over both
    // kinds, naming each, and imports the rest.
    const Result refused = Kstctl({"reg", "import", dir + "skipped-lines.reg"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("skipped-lines.reg:7: "), std::string::npos) << refused;
    EXPECT_FALSE(fs::exists(kLmDir + "SOFTWARE/CORPUS/SKIP"));
    const Result skipped = Kstctl({"reg", "import", "--skip-invalid", dir + "skipped-lines.reg"});
    EXPECT_EQ(skipped.status, 0);
    for (const char *line : {":5: skipped: dword:", ":7: skipped: ", ":10: skipped: ", ":11: skipped: "})
        EXPECT_NE(skipped.err.find("skipped-lines.reg"s + line), std::string::npos) << line << "\n" << skipped;
    EXPECT_EQ(ReadA(kLm, "SOFTWARE\\Corpus\\Skip", "After"), "1:kept\0"s);
    EXPECT_EQ(ReadA(kLm, "SOFTWARE\\Corpus\\Skip", "Last"), "1:kept\0"s);
    EXPECT_EQ(ReadA(kLm, "SOFTWARE\\Corpus\\Skip\\Next", "Later"), "1:kept\0"s);
    EXPECT_FALSE(fs::exists(kLmDir + "SOFTWARE/CORPUS/SKIP/SUB"));
    EXPECT_EQ(ReadA(kLm, "SOFTWARE\\Corpus\\Skip", "TooLong"), "missing");
}

TEST_F(KstctlTest, QueryAddDeleteAndTheirRefusals)
{
    // The access policy as the daemon reads it, and a request tested against it from both sides.
    EXPECT_EQ(Kstctl({"policy", "show"}).out, "policy: none (every caller may do everything)\n");
    ASSERT_TRUE(kst::WriteFile("/etc/KSTntserver/access.conf", "allow uid:7 write HKLM\\Soft\n"));
    ExpectStatuses({{{"policy", "test", "7", "write", "HKLM\\soft\\x"}, 0},
                    {{"policy", "test", "8", "write", "HKLM\\soft\\x"}, 1},
                    {{"policy", "test", "7", "fly", "HKLM"}, 64}});
    ASSERT_EQ(unlink("/etc/KSTntserver/access.conf"), 0);
    // Slash options in any case, long ones with = or a separate word, and words that look like options.
    ExpectStatuses({{{"reg", "add", "HKLM\\Q\\K", "/V", "n", "/t", "REG_DWORD", "/d", "0x10"}, 0},
                    {{"reg", "add", "hklm/q/k", "--value=s", "--data", "text"}, 0},
                    {{"reg", "add", "HKLM\\Q\\K\\Child", "/ve", "/d", "/f"}, 0}});
    EXPECT_EQ(kst::ReadFile(kLmDir + "Q/K/CHILD/V_"), kst::ValueFile(1, "/f\0"s));
    const Result q = Kstctl({"reg", "query", "HKLM\\Q\\K"});
    EXPECT_EQ(q.out, "HKEY_LOCAL_MACHINE\\Q\\K\n    N    REG_DWORD    0x00000010 (16)\n    S    REG_SZ    text\n\n"
                     "HKEY_LOCAL_MACHINE\\Q\\K\\CHILD\n")
        << q;
    EXPECT_EQ(Kstctl({"reg", "query", "HKLM\\Q", "/v", "s", "/s"}).out,
              "HKEY_LOCAL_MACHINE\\Q\\K\n    S    REG_SZ    text\n");
    // Overwriting and deleting ask first; without a terminal they refuse unless forced.
    ExpectStatuses({{{"reg", "add", "HKLM\\Q\\K", "/v", "s", "/d", "new"}, 1},
                    {{"reg", "delete", "HKLM\\Q\\K", "/v", "S"}, 1},
                    {{"reg", "query", "HKLM\\Q\\NONE"}, 1},
                    {{"reg", "delete", "HKLM", "/f"}, 1}});
    EXPECT_EQ(kst::ReadFile(kLmDir + "Q/K/V_S"), kst::ValueFile(1, "text\0"s));
    EXPECT_EQ(Kstctl({"reg", "delete", "HKLM\\Q\\K", "/va", "/f"}).status, 0);
    EXPECT_FALSE(fs::exists(kLmDir + "Q/K/V_S") || fs::exists(kLmDir + "Q/K/V_N"));
    for (const Args &usage : {Args{"reg", "query"},
                              {"reg", "add", "HKLM\\Q", "/v", "x", "/t", "REG_DWORD", "/d", "x"},
                              {"reg", "query", "HKLM", "--bogus"},
                              {"reg", "add", "HKLM\\Q", "/v"},
                              {"reg", "delete", "HKLM\\Q", "--force=1"},
                              {"wait"},
                              {"sem", "create", "S", "3", "2"},
                              {"nope"}}) {
        const Result r = Kstctl(usage);
        EXPECT_EQ(r.status, 64) << r;
        EXPECT_TRUE(r.out.empty() && !r.err.empty()) << r;
    }
}

TEST_F(KstctlTest, WaitAndRunTimeOutWithTheirOwnStatusAndRunHoldsTheMutex)
{
    // create keeps exactly one reference, also when run twice: the object outlives kstctl, and the
    // second create adds nothing that would keep it alive after its last real close.
    ExpectStatuses({{{"event", "create", "E"}, 0}, {{"event", "create", "E", "--signalled"}, 0}});
    kst::Connection c = Connect();
    const uint64_t  e = c.OpenEvent("E").value();
    EXPECT_EQ(c.CloseHandle(e), 0u);
    EXPECT_EQ(c.CloseHandle(e), 0u);
    EXPECT_EQ(c.OpenEvent("E"), 2u);  // deleted by the second close

    ExpectStatuses({{{"event", "create", "E"}, 0},
                    {{"event", "create", "F", "--manual-reset"}, 0},
                    {{"wait", "E", "--timeout", "200ms"}, 75},
                    {{"event", "set", "F"}, 0}});
    const Result any = Kstctl({"wait", "E", "F", "--timeout", "5s"});
    EXPECT_EQ(any.status, 0);
    EXPECT_EQ(any.out, "F\n");
    ExpectStatuses({{{"wait", "E", "event:F", "--all", "--timeout", "200ms"}, 75},
                    {{"wait", "NOSUCH"}, 1},
                    {{"mutex", "create", "E"}, 0},
                    {{"wait", "E"}, 64},  // an event and a mutex are both called E
                    {{"sem", "create", "S", "0", "2"}, 0},
                    {{"sem", "release", "S", "3"}, 1},
                    {{"sem", "release", "S", "2"}, 0},
                    {{"wait", "sem:S", "--timeout", "1s"}, 0},
                    {{"wait", "sem:S", "--timeout", "1s"}, 0},
                    {{"wait", "sem:S", "--timeout", "100ms"}, 75},
                    // run: the command's own status, and the mutex is held while it runs and free after.
                    {{"run", "--mutex", "M", "--", "sh", "-c", "exit 7"}, 7}});
    kst::Connection holder = Connect();
    const uint64_t  m = holder.CreateMutex(0, 0, "M").value();
    ASSERT_EQ(holder.WaitForSingleObject(m), m);
    EXPECT_EQ(Kstctl({"run", "--mutex", "M", "--timeout", "300ms", "--", "touch", "/run/ran"}).status, 75);
    EXPECT_FALSE(fs::exists("/run/ran"));
    ASSERT_EQ(holder.ReleaseMutex(m), 0u);
    EXPECT_EQ(Kstctl({"run", "--mutex", "M", "--timeout", "5s", "sh", "-c", "touch /run/ran"}).status, 0);
    EXPECT_TRUE(fs::exists("/run/ran"));
    // While COMMAND runs the mutex is taken: a wait from COMMAND itself times out, and run passes its 75 on.
    EXPECT_EQ(Kstctl({"run", "--mutex", "M", "--", KST_KSTCTL, "wait", "mutex:M", "--timeout", "200ms"}).status, 75);
    EXPECT_EQ(holder.WaitForSingleObject(m, 2000), m);  // and free again afterwards
}

// The control socket is root's alone, and once the daemon is down every command says so with 69.
TEST_F(KstctlTest, ControlSocketIsRootOnlyAndAStoppedDaemonIsUnavailable)
{
    struct stat st {};
    ASSERT_EQ(lstat(kSocket, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod(kSocket, 0666), 0);  // past the file mode, the peer's credentials still refuse
    EXPECT_EQ(NonRootAttempt(), 2);
    EXPECT_EQ(Kstctl({"ping"}).status, 0);

    ASSERT_TRUE(sandbox_.Stop());
    EXPECT_NE(lstat(kSocket, &st), 0);
    const Result down = Kstctl({"ping"});
    EXPECT_EQ(down.status, 69);
    EXPECT_NE(down.err.find("not registered"), std::string::npos) << down;
    ExpectStatuses({{{"status"}, 69}, {{"reg", "query", "HKLM"}, 69}, {{"event", "set", "E"}, 69}});
}

TEST_F(KstctlTest, ControlClientThatNeverReadsIsDroppedWhileRpcCallsGoOn)
{
    kst::Connection rpc = Connect();
    UniqueFd        greedy = ControlFd();
    ASSERT_TRUE(greedy);
    // Requests keep coming, answers are never read: the daemon must drop this client, not wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto       slowest = std::chrono::steady_clock::duration::zero();
    bool       dropped = false;
    for (int i = 0; !dropped && std::chrono::steady_clock::now() < deadline; ++i) {
        const ssize_t n = send(greedy.get(), "json status\n", 12, MSG_NOSIGNAL | MSG_DONTWAIT);
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
    EXPECT_NE(Kstctl({"status"}).out.find("dropped control clients  1\n"), std::string::npos);
}

// The JSON object listing is checked once the mutex has moved: its owner and its emptied waiter list.
TEST_F(KstctlTest, DisconnectHandsTheMutexOnAndObjectsShowsItsNewOwner)
{
    kst::Connection owner = Connect(), waiter = Connect();
    const uint64_t  m = *owner.CreateMutex(0, 1, "M");
    const uint32_t  xid = ParkCall(waiter, kst::proc::kWaitSingle, kst::EncodeWord(m),
                                   "WaitForSingleObject called, id=" + std::to_string(m));
    const int       owner_fd = ServerFd(owner), waiter_fd = ServerFd(waiter);
    ASSERT_GE(owner_fd, 0);
    ASSERT_GE(waiter_fd, 0);
    // Each caller as the kernel named it, and the policy in force (none here).
    EXPECT_NE(Kstctl({"connections", "--json"}).out.find("\"uid\":0,\"remote\":false"), std::string::npos);
    EXPECT_NE(Kstctl({"status"}).out.find("\npolicy: none (every caller may do everything)\n"), std::string::npos);

    const Result dropped = Kstctl({"disconnect", std::to_string(owner_fd)});
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(kst::Next(waiter), (kst::Answer{xid, m}));  // the mutex passed to the parked waiter
    EXPECT_TRUE(owner.ClosedWithin(2000));
    EXPECT_NE(Kstctl({"objects", "--json"}).out.find("\"owner\":" + std::to_string(waiter_fd) + ",\"waiters\":[]"),
              std::string::npos);
}

// Index of the first syslog message from `from` on that ends with text, waiting up to 5 s; -1 if none came.
long Arrived(kst::Sandbox &sandbox, long from, const std::string &text)
{
    long at = -1;
    kst::PollFor(5000, [&] {
        const auto &all = sandbox.SyslogMessages();
        for (auto i = static_cast<std::size_t>(from); at < 0 && i < all.size(); ++i)
            if (all[i].ends_with(text)) at = static_cast<long>(i);
        return at >= 0;
    });
    return at;
}

// Catches per-call lines in syslog by default (two a call use up the journal's rate limit and push out the
// errors), a switch that does not reach the trace library or goes unrecorded, and a start-up setting that
// is ignored. No trace file, as installed. Each switch's notice leaves after every line traced before it,
// so it shows how far the lines have arrived.
TEST(TraceCalls, PerCallLinesReachSyslogOnlyWhileSwitchedOn)
{
    kst::Sandbox sandbox;
    sandbox.daemon_env = {"KST_TRACE_FILE="};
    ASSERT_TRUE(sandbox.StartRpcbind() && sandbox.ListenSyslog() && sandbox.Start());
    kst::Connection c = sandbox.Connect();
    const uint64_t  ev = c.CreateEvent(0, 0, "").value();
    const auto      per_call = [&](long from, long to) {
        const auto &all = sandbox.SyslogMessages();
        return std::count_if(all.begin() + from, all.begin() + to, [](auto &m) { return m.starts_with("<31>"); });
    };
    const std::string on = "<29>[ntsys_svc] TraceCallsCommand:", set = "SetEvent called, id=" + std::to_string(ev);
    EXPECT_EQ(c.SetEvent(ev), 0u);
    EXPECT_EQ(Kstctl({"trace-calls"}).out, "off\n");
    EXPECT_EQ(Kstctl({"trace-calls", "maybe"}).status, 64);
    EXPECT_EQ(Kstctl({"trace-calls", "on"}).out, "on\n");
    const long first_on = Arrived(sandbox, 0, "per-call tracing to syslog switched on");
    ASSERT_GE(first_on, 0);
    EXPECT_TRUE(sandbox.SyslogMessages()[first_on].starts_with(on));
    EXPECT_EQ(per_call(0, first_on), 0);
    EXPECT_EQ(c.SetEvent(ev), 0u);
    const long traced = Arrived(sandbox, first_on, set);
    ASSERT_GT(traced, first_on);
    EXPECT_TRUE(sandbox.SyslogMessages()[traced].starts_with("<31>[ntsys_s] set_event_rpc_1_svc:"));
    EXPECT_EQ(Kstctl({"trace-calls", "--json", "off"}).out, "{\"trace_calls\":false}\n");
    EXPECT_EQ(c.SetEvent(ev), 0u);
    EXPECT_EQ(Kstctl({"trace-calls", "on"}).status, 0);
    const long off = Arrived(sandbox, traced, "switched off"), again = Arrived(sandbox, traced, "switched on");
    EXPECT_GT(again, off);
    EXPECT_EQ(per_call(off, again), 0);

    ASSERT_TRUE(sandbox.Stop());
    sandbox.daemon_env.push_back("KST_TRACE_CALLS=1");
    ASSERT_TRUE(sandbox.Start());
    EXPECT_EQ(Kstctl({"trace-calls"}).out, "on\n");
    kst::Connection later = sandbox.Connect();
    EXPECT_EQ(later.SetEvent(ev), 2u);  // a handle of the process before: refused, and traced
    EXPECT_GT(Arrived(sandbox, again + 1, "SetEvent failed"), again);
}

}  // namespace
