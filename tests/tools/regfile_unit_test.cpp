// Unit tests of kstctl's pure pieces: KEY spellings, options, durations and the .reg format.
#include "tools/kstctl/args.h"
#include "tools/kstctl/keypath.h"
#include "tools/kstctl/regfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kstctl {
namespace {

using namespace std::string_literals;

KeyPath Key(std::string_view text)
{
    std::string error;
    auto        key = ParseKeyPath(text, error);
    EXPECT_TRUE(key) << text << ": " << error;
    return key.value_or(KeyPath{});
}

TEST(KeyPathTest, EverySpellingAndSeparatorNamesTheSameKey)
{
    for (const char *text : {"HKLM\\Soft\\X", "hkey_local_machine/Soft/X", "HKLM//Soft\\\\X\\", "Hklm/soft/x"})
        EXPECT_TRUE(Key(text).SameAs(Key("HKEY_LOCAL_MACHINE\\SOFT\\X"))) << text;
    for (const char *text : {"HKCR\\A", "HKEY_CLASSES_ROOT\\A", "HKEY_CLASS_ROOT/A"}) {
        EXPECT_EQ(Key(text).root, Root::ClassesRoot) << text;
        EXPECT_EQ(FormatKeyPath(Key(text)), "HKEY_CLASSES_ROOT\\A");
    }
    EXPECT_TRUE(Key("HKLM\\A\\B").Within(Key("hklm\\a")));
    EXPECT_FALSE(Key("HKLM\\AB").Within(Key("HKLM\\A")));
    std::string error;
    KeyFault    fault = KeyFault::BadName;
    for (const char *bad : {"", "HKEY_DYN_DATA\\A", "\\HKLM\\A", "SOFT\\X"}) {
        EXPECT_FALSE(ParseKeyPath(bad, error, KeySyntax::CommandLine, &fault)) << bad;
        EXPECT_EQ(fault, KeyFault::UnknownRoot) << bad;
    }
    for (const char *bad : {"HKLM\\..\\A", "HKLM\\."}) {
        EXPECT_FALSE(ParseKeyPath(bad, error, KeySyntax::CommandLine, &fault)) << bad;
        EXPECT_EQ(fault, KeyFault::BadName) << bad;
    }
    EXPECT_FALSE(ParseKeyPath("HKLM\\a/b", error, KeySyntax::RegFile));  // a name regedit allows, this registry not
    EXPECT_FALSE(ParseKeyPath("HKLM\\" + std::string(256, 'a'), error));
    EXPECT_TRUE(ParseKeyPath("HKLM\\" + std::string(255, 'a'), error));
}

// The per-user roots are keys below HKLM, mapped as libkstnt maps them, and keep their spelling in output.
TEST(KeyPathTest, PerUserRootsMapBelowTheMachineRootAndKeepTheirName)
{
    const std::string uid = std::to_string(getuid());
    unsetenv("KSTNT_HKEY_USERS");
    setenv("KSTNT_HKEY_CURRENT_CONFIG", "HKLM/Cfg", 1);
    EXPECT_TRUE(Key("HKCU\\Soft").SameAs(Key("HKLM\\HKEY_USERS\\S-1-22-1-" + uid + "\\Soft")));
    EXPECT_TRUE(Key("hkey_users\\x").SameAs(Key("HKLM\\HKEY_USERS\\X")));
    EXPECT_TRUE(Key("HKCC\\x").SameAs(Key("HKLM\\CFG\\X")));
    EXPECT_EQ(FormatKeyPath(Key("HKEY_CURRENT_USER\\Soft")), "HKEY_CURRENT_USER\\Soft");
    EXPECT_TRUE(Key("HKCU").IsRoot());
    setenv("KSTNT_HKEY_CURRENT_CONFIG", "nowhere", 1);
    std::string error;
    KeyFault    fault = KeyFault::UnknownRoot;
    EXPECT_FALSE(ParseKeyPath("HKCC\\x", error, KeySyntax::RegFile, &fault));
    EXPECT_EQ(fault, KeyFault::BadName);
    unsetenv("KSTNT_HKEY_CURRENT_CONFIG");
}

// Option spellings and their refusals are driven through the built tool (kstctl_test).
TEST(ArgsTest, DurationsInEveryUnitRoundUpAndStayBelowInfinite)
{
    const std::pair<const char *, uint32_t> good[] = {{"30", 30000},  {"1.5s", 1500},  {"250ms", 250}, {"0.0001s", 1},
                                                      {"2m", 120000}, {"1h", 3600000}, {"0", 0}};
    for (const auto &[text, ms] : good)
        EXPECT_EQ(ParseDurationMs(text), ms) << text;
    for (const char *bad : {"", "x", "-1", "1.", ".5", "1.2.3", "5d", "1200h"})
        EXPECT_FALSE(ParseDurationMs(bad)) << bad;
}

// Entries in one line each: "+KEY", "-KEY", "KEY:name=type:hex bytes", "KEY:name=-"; skipped line numbers.
std::string Render(const RegFile &file)
{
    std::string out;
    for (const RegEntry &e : file.entries) {
        const std::string key = FormatKeyPath(e.key);
        if (e.op == RegEntry::Op::Key) out += "+" + key;
        if (e.op == RegEntry::Op::DeleteKey) out += "-" + key;
        if (e.op == RegEntry::Op::DeleteValue) out += key + ":" + e.name + "=-";
        if (e.op == RegEntry::Op::SetValue) {
            out += key + ":" + e.name + "=" + std::to_string(e.type) + ":";
            for (const char c : e.data) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x", static_cast<uint8_t>(c));
                out += hex;
            }
        }
        out += "\n";
    }
    for (const RegSkipped &s : file.skipped)
        out += "skip " + std::to_string(s.line) + "\n";
    return out;
}

std::string Parsed(const std::string &text)
{
    RegParseError error;
    const auto    file = ParseRegFile(text, error);
    return file ? Render(*file) : "error " + std::to_string(error.line) + ": " + error.message;
}

std::string Utf16(const std::u16string &text)
{
    std::string out = "\xFF\xFE";
    for (const char16_t u : text)
        out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
}

// The forms regedit takes, with its meaning: each case is a file and what it does.
TEST(RegFileTest, ReadsEveryFormRegeditReadsWithItsMeaning)
{
    const std::string k = "[HKLM\\A]\n", a = "+HKEY_LOCAL_MACHINE\\A\n", v = "HKEY_LOCAL_MACHINE\\A:";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Whitespace, comments, ";" after data, no final newline, CR alone, Ctrl-Z at the end.
        {" \tREGEDIT4\r\r\t[HKLM\\A]\r\t\"n\" \t= \"x\" ;c\r#c\r\t;c\r\"d\"=dword:\t2a;c\r@=\"\"",
         a + v + "n=1:7800\n" + v + "d=4:2a000000\n" + v + "=1:00\n"},
        {"REGEDIT4\n" + k + "\"x\"=\"\\\\ \\\" \\q\"\n\x1A", a + v + "x=1:5c2022205c7100\n"},
        // Names: "" is the unnamed value, a name may start with '=' and hold \" ; "=-" deletes.
        {"REGEDIT4\n" + k + "\"\"=\"d\"\n\"=a\\\"b\"=-\n", a + v + "=1:6400\n" + v + "=a\"b=-\n"},
        // A string regedit wrote with line breaks in it goes on to its closing quote, breaks kept.
        {"REGEDIT4\r\n" + k + "\"m\"=\"a\r\nb\nc\"\r\n", a + v + "m=1:610d0a620a6300\n"},
        // hex lists: continued after a comma, past blank lines and ";" comments; a trailing comma.
        {"REGEDIT4\n" + k + "\"h\"=hex(7):41,\\ ;c\n\n ;c\n  42,00,\n\"e\"=hex(b):\n\"z\"=hex(ffffffff):\\\n1",
         a + v + "h=7:414200\n" + v + "e=11:\n" + v + "z=4294967295:01\n"},
        // [-KEY], and the old REGEDIT form.
        {"REGEDIT4\n[-HKCR\\Old]\n", "-HKEY_CLASSES_ROOT\\Old\n"},
        {"REGEDIT\r\nHKEY_CLASSES_ROOT\\.x = a b \r\nHKEY_CLASSES_ROOT\\.y\r\n",
         "+HKEY_CLASSES_ROOT\\.x\nHKEY_CLASSES_ROOT\\.x:=1:61206220"
         "00\n+HKEY_CLASSES_ROOT\\.y\nHKEY_CLASSES_ROOT\\.y:=1:00\n"},
        // 5.00: strings are UTF-16 text stored as UTF-8, quoted and hex(1/2/7) alike; REGEDIT4 keeps bytes.
        {Utf16(u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"q\"=\"\u20AC\"\r\n"
               u"\"x\"=hex(2):25,00,ac,20,00,00\r\n\"b\"=hex:ac,20\r\n"),
         a + v + "q=1:e282ac00\n" + v + "x=2:25e282ac00\n" + v + "b=3:ac20\n"},
        {"\xEF\xBB\xBFWindows Registry Editor Version 5.00\n" + k + "\"q\"=\"\xE2\x82\xAC\"\n",
         a + v + "q=1:e282ac00\n"},
        {"REGEDIT4\n" + k + "\"x\"=hex(2):25,00\n", a + v + "x=2:2500\n"},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(Parsed(text), expected) << text;
}

// Lines regedit passes over are listed with their first line, and so are the values under a key line
// it passed over or under [-KEY]; what a broken hex list swallowed goes with it.
TEST(RegFileTest, ListsTheLinesRegeditSkips)
{
    const std::string                                      head = "REGEDIT4\n[HKLM\\A]\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"a\"=dword:123456789\n\"b\"=dword:0x1\n\"c\"=dword:1 #c\n\"d\"=\"x\"y\n\"e\"=\"\\0\"\n\"f\"=",
         "3 4 5 6 7 8"},
        {"\"a\"=hex:1,\\\n\"b\"=\"swallowed\"\n\"c\"=hex:01\\\n\"d\"=hex:01,\\\n#c\n\"e\"=hex:,1\n", "3 5 6 8"},
        {"\"a\"=hex(0x2):00\n\"b\"=hex:100\n[ HKLM\\B]\n\"c\"=\"x\"\n[HKLM\\C\n[-HKLM]\n", "3 4 5 6 7 8"},
        {"[-HKLM\\B]\n\"c\"=\"x\"\ngarbage\n\"unterminated\n\"t\"=\"Test \\\n", "4 5 6 7"},
    };
    for (const auto &[body, lines] : cases) {
        const std::string got = Parsed(head + body);
        std::string       skipped;
        for (std::size_t at = got.find("skip "); at != std::string::npos; at = got.find("skip ", at + 1)) {
            if (!skipped.empty()) skipped += ' ';
            skipped.append(got, at + 5, got.find('\n', at) - at - 5);
        }
        EXPECT_EQ(skipped, lines) << body << "\n" << got;
    }
    // The old form's header also covers "REGEDIT4x": regedit then reads no [KEY] line at all.
    EXPECT_EQ(Parsed("REGEDIT4 x\n[HKLM\\A]\n"), "skip 2\n");
}

// What regedit refuses as a whole, and what this registry can't hold, name the line and end the parse;
// asked to, the parse skips what the registry can't hold (held = false) and goes on.
TEST(RegFileTest, RefusesWhatRegeditRefusesAndWhatTheRegistryCantHold)
{
    std::string tail_508;  // with the leading 00, one byte too many
    for (int i = 0; i < 508; ++i)
        tail_508 += ",00";
    const std::string head = "REGEDIT4\n[HKLM\\A]\n", tail = "\"after\"=\"x\"\n";
    const struct {
        std::string text;
        std::size_t line;
        bool        file;  // refused as a file, even when skipping
    } cases[] = {
        {"regedit4\n", 1, true},
        {"\nREGEDIT4\n", 1, true},
        {"Windows Registry Editor Version 4.00\n", 1, true},
        {head + "\"a/b\"=\"x\"\n" + tail, 3, false},
        {head + "\"a\\\\b\"=\"x\"\n" + tail, 3, false},
        {head + "\"" + std::string(256, 'n') + "\"=\"x\"\n" + tail, 3, false},
        {head + "\"x\"=hex:00" + tail_508 + "\n" + tail, 3, false},
        {head + "[HKLM\\a/b]\n\"under\"=\"x\"\n", 3, false},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=hex(2):25\n" + tail, 3, false},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=hex(1):00,d8,00,00\n" + tail, 3, false},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=\"caf\xE9\"\n", 3, true},
        {Utf16(u"REGEDIT4\n\n\"x\"=\"") + "\x00\xD8"s, 3, true},
    };
    for (const auto &c : cases) {
        RegParseError error;
        EXPECT_FALSE(ParseRegFile(c.text, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.message;
        const auto skipping = ParseRegFile(c.text, error, true);
        EXPECT_EQ(!skipping, c.file) << c.text << " -> " << error.message;
        if (!skipping) continue;
        ASSERT_EQ(skipping->skipped.size(), c.text.find("under") == std::string::npos ? 1u : 2u) << c.text;
        EXPECT_EQ(skipping->skipped[0].line, c.line) << c.text;
        EXPECT_EQ(skipping->entries.back().name, c.text.find("under") == std::string::npos ? "after" : "") << c.text;
    }
}

// Export uses text forms only where they keep the bytes, and writes 5.00 strings as UTF-16LE as regedit
// does; bytes that are not UTF-8 survive the trip through UTF-16.
TEST(RegFileTest, WritesWhatRegeditWritesAndReadsBackTheSameBytes)
{
    std::string error;
    EXPECT_EQ(FormatValue("S", kRegSz, "x\0"s, RegFormat::Regedit4, error), "\"S\"=\"x\"\r\n");
    EXPECT_EQ(FormatValue("", kRegDword, "\x0a\0\0\0"s, RegFormat::Regedit4, error), "@=dword:0000000a\r\n");
    EXPECT_EQ(FormatValue("N", kRegSz, "x", RegFormat::Regedit4, error), "\"N\"=hex(1):78\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Unicode, error), "\"L\"=hex(1):e9,dc,00,00\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Regedit4, error), "\"L\"=\"\xE9\"\r\n");
    EXPECT_EQ(FormatValue("E", kRegExpandSz, "%\0"s, RegFormat::Unicode, error), "\"E\"=hex(2):25,00,00,00\r\n");
    EXPECT_EQ(FormatValue("E", kRegExpandSz, "%\0"s, RegFormat::Regedit4, error), "\"E\"=hex(2):25,00\r\n");
    EXPECT_FALSE(FormatValue("A\nB", kRegSz, "x\0"s, RegFormat::Regedit4, error));
    EXPECT_FALSE(FormatValue("\xE9", kRegSz, "x\0"s, RegFormat::Unicode, error));
    std::string every_byte;
    for (int i = 0; i < 256; ++i)
        every_byte += {static_cast<char>(i), static_cast<char>(255 - i), 'a', '\xC3', '\xA9'};
    EXPECT_EQ(StringDataFromUtf16(StringDataToUtf16(every_byte)), every_byte);
    EXPECT_EQ(StringDataToUtf16("\xF0\x9F\x98\x80"), "\x3D\xD8\x00\xDE"s);
}

}  // namespace
}  // namespace kstctl
