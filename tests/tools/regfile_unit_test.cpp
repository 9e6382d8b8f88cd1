// Unit tests of kstctl's pure pieces: KEY spellings, options, durations and the .reg format.
#include "tools/kstctl/args.h"
#include "tools/kstctl/keypath.h"
#include "tools/kstctl/regfile.h"

#include <gtest/gtest.h>

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
    for (const char *bad : {"", "HKCU\\A", "\\HKLM\\A", "HKLM\\..\\A", "HKLM\\.", "SOFT\\X"})
        EXPECT_FALSE(ParseKeyPath(bad, error)) << bad;
    EXPECT_FALSE(ParseKeyPath("HKLM\\" + std::string(256, 'a'), error));
    EXPECT_TRUE(ParseKeyPath("HKLM\\" + std::string(255, 'a'), error));
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

// Every type and size reads back byte for byte through the tool against the daemon (kstctl_test); here
// the text forms, which are used only where they keep the bytes.
TEST(RegFileTest, TextFormsOnlyWhereTheyKeepTheBytes)
{
    std::string error;
    EXPECT_EQ(FormatValue("S", kRegSz, "x\0"s, RegFormat::Regedit4, error), "\"S\"=\"x\"\r\n");
    EXPECT_EQ(FormatValue("", kRegDword, "\x0a\0\0\0"s, RegFormat::Regedit4, error), "@=dword:0000000a\r\n");
    EXPECT_EQ(FormatValue("N", kRegSz, "x", RegFormat::Regedit4, error), "\"N\"=hex(1):78\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Unicode, error), "\"L\"=hex(1):e9,00\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Regedit4, error), "\"L\"=\"\xE9\"\r\n");
    EXPECT_FALSE(FormatValue("A\nB", kRegSz, "x\0"s, RegFormat::Regedit4, error));
    EXPECT_FALSE(FormatValue("\xE9", kRegSz, "x\0"s, RegFormat::Unicode, error));
}

TEST(RegFileTest, MalformedFilesNameTheirLine)
{
    const std::string head = "REGEDIT4\n[HKLM\\A]\n";
    std::string       tail_508;  // with the leading 00, one byte too many
    for (int i = 0; i < 508; ++i)
        tail_508 += ",00";
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"REGEDIT5\n", 1},
        {head + "\"x\"=\"unterminated\n", 3},
        {head + "\"x\"=\"bad \\q escape\"\n", 3},
        {head + "\"x\"=dword:123456789\n", 3},
        {head + "\"x\"=hex:1,zz\n", 3},
        {head + "\n\"x\"=hex:01,\\\n", 4},
        {head + "\"x\"=hex(100000000):00\n", 3},
        {head + "\"a/b\"=\"x\"\n", 3},
        {head + "\"" + std::string(256, 'n') + "\"=\"x\"\n", 3},
        {head + "\"x\"=hex:00" + tail_508 + "\n", 3},
        {head + "[HKLM\\A\n", 3},
        {head + "[-HKLM]\n", 3},
        {head + "garbage\n", 3},
        {"REGEDIT4\n\"x\"=\"v\"\n", 2},
        {head + "[-HKLM\\B]\n\"x\"=\"v\"\n", 4},
        {head + "\"x\"=\"v\" trailing\n", 3},
    };
    for (const auto &[text, line] : cases) {
        RegParseError error;
        EXPECT_FALSE(ParseRegFile(text, error)) << text;
        EXPECT_EQ(error.line, line) << text << " -> " << error.message;
    }
    RegParseError error;
    EXPECT_FALSE(ParseRegFile("\xFF\xFEW\0\x00\xD8"s, error));  // unpaired surrogate
    // Entries carry their own line (import names it when the daemon refuses one), past continuations.
    const auto entries = ParseRegFile("REGEDIT4\n\n[HKLM\\A]\n\"b\"=hex:01,\\\n 02\n[-HKCR\\Old]\n", error);
    ASSERT_TRUE(entries) << error.message;
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[2].line, 6u);
}

}  // namespace
}  // namespace kstctl
