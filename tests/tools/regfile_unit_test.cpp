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
    auto key = ParseKeyPath(text, error);
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

TEST(ArgsTest, SlashAndLongFormsMixWithWords)
{
    enum { kValue, kEmpty, kForce };
    constexpr OptionSpec specs[] = {
        {"v", "value", true, kValue}, {"ve", "empty-name", false, kEmpty}, {"f", "force", false, kForce}};
    const char *argv[] = {"add", "HKLM\\A", "/V",         "n1", "--value=n2", "--value",
                          "n3",  "/ve",     "/tmp/x.reg", "-",  "--",         "/f"};
    ParsedArgs args;
    std::string error;
    ASSERT_TRUE(ParseArgs(12, const_cast<char **>(argv), specs, args, error)) << error;
    ASSERT_EQ(args.options.size(), 4u);
    EXPECT_EQ(args.options[0].arg, "n1");
    EXPECT_EQ(args.options[1].arg, "n2");
    EXPECT_EQ(args.options[2].arg, "n3");
    EXPECT_EQ(args.options[3].id, kEmpty);
    EXPECT_EQ(args.words, (std::vector<std::string>{"HKLM\\A", "/tmp/x.reg", "-", "/f"}));
    for (std::vector<const char *> bad :
         {std::vector<const char *>{"x", "--bogus"}, {"x", "-q"}, {"x", "/v"}, {"x", "--force=1"}}) {
        ParsedArgs ignored;
        EXPECT_FALSE(ParseArgs(static_cast<int>(bad.size()), const_cast<char **>(bad.data()), specs, ignored, error))
            << bad[1];
    }
}

TEST(ArgsTest, DurationsInEveryUnitRoundUpAndStayBelowInfinite)
{
    EXPECT_EQ(ParseDurationMs("30"), 30000u);
    EXPECT_EQ(ParseDurationMs("1.5s"), 1500u);
    EXPECT_EQ(ParseDurationMs("250ms"), 250u);
    EXPECT_EQ(ParseDurationMs("0.0001s"), 1u);
    EXPECT_EQ(ParseDurationMs("2m"), 120000u);
    EXPECT_EQ(ParseDurationMs("1h"), 3600000u);
    EXPECT_EQ(ParseDurationMs("0"), 0u);
    for (const char *bad : {"", "x", "-1", "1.", ".5", "1.2.3", "5d", "1200h"})
        EXPECT_FALSE(ParseDurationMs(bad)) << bad;
}

struct Value {
    std::string name;
    uint32_t type;
    std::string data;
};

// A file with one key and the given values, written in format.
std::string WriteFile(const std::vector<Value> &values, RegFormat format)
{
    std::string error, text = RegHeader(format) + *FormatKeyLine(Key("HKLM\\K"), format, error);
    for (const Value &v : values) {
        auto lines = FormatValue(v.name, v.type, v.data, format, error);
        EXPECT_TRUE(lines) << error;
        text += lines.value_or("");
    }
    return EncodeRegText(text + "\r\n", format);
}

std::vector<RegEntry> Parse(std::string_view bytes)
{
    RegParseError error;
    auto entries = ParseRegFile(bytes, error);
    EXPECT_TRUE(entries) << "line " << error.line << ": " << error.message;
    return entries.value_or(std::vector<RegEntry>{});
}

TEST(RegFileTest, EveryValueReadsBackByteForByteInBothFormats)
{
    std::vector<Value> values = {
        {"", kRegSz, "unnamed\0"s},
        {"S", kRegSz, "a \"q\" \\ b\0"s},
        {"EMPTYSZ", kRegSz, "\0"s},
        {"NONUL", kRegSz, "abc"},
        {"INNER", kRegSz, "a\0b\0"s},
        {"CRLF", kRegSz, "a\r\nb\0"s},
        {"LATIN1", kRegSz, "caf\xE9\0"s},
        {"UTF8", kRegSz, "caf\xC3\xA9 \xF0\x9F\x98\x80\0"s},
        {"D", kRegDword, "\x01\x02\x03\x04"},
        {"D3", kRegDword, "\x01\x02\x03"},
        {"ZERO", kRegNone, ""},
        {"Q", kRegQword, "12345678"},
        {"BIG", kRegBinary, std::string(508, '\xA5')},
        {"ODD", kRegExpandSz, "%X%"},
        {"T12", 12, "x"},
        {"TMAX", 0xFFFFFFFF, "\x00\xFF"s},
        {"na\"me", kRegMultiSz, "a\0b\0\0"s},
    };
    for (uint32_t t = 0; t <= 11; ++t)
        values.push_back({"TYPE" + std::to_string(t), t, "\x00\x01\x02\x03\x04"s});
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Unicode}) {
        const auto entries = Parse(WriteFile(values, format));
        ASSERT_EQ(entries.size(), values.size() + 1);
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(entries[i + 1].name, values[i].name);
            EXPECT_EQ(entries[i + 1].type, values[i].type) << values[i].name;
            EXPECT_EQ(entries[i + 1].data, values[i].data) << values[i].name;
        }
    }
    // Text forms only where they keep the bytes.
    std::string error;
    EXPECT_EQ(FormatValue("S", kRegSz, "x\0"s, RegFormat::Regedit4, error), "\"S\"=\"x\"\r\n");
    EXPECT_EQ(FormatValue("", kRegDword, "\x0a\0\0\0"s, RegFormat::Regedit4, error), "@=dword:0000000a\r\n");
    EXPECT_EQ(FormatValue("N", kRegSz, "x", RegFormat::Regedit4, error), "\"N\"=hex(1):78\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Unicode, error), "\"L\"=hex(1):e9,00\r\n");
    EXPECT_EQ(FormatValue("L", kRegSz, "\xE9\0"s, RegFormat::Regedit4, error), "\"L\"=\"\xE9\"\r\n");
    EXPECT_FALSE(FormatValue("A\nB", kRegSz, "x\0"s, RegFormat::Regedit4, error));
    EXPECT_FALSE(FormatValue("\xE9", kRegSz, "x\0"s, RegFormat::Unicode, error));
    // Long hex data wraps within 80 columns.
    const std::string big = WriteFile({{"BIG", kRegBinary, std::string(508, '\xA5')}}, RegFormat::Regedit4);
    for (std::size_t start = 0, end; (end = big.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 80u);
}

TEST(RegFileTest, HandWrittenFilesInBothEncodings)
{
    const std::string text = "REGEDIT4\n"
                             "; a comment\n"
                             "\n"
                             "[HKEY_LOCAL_MACHINE\\Soft\\A]\n"
                             "@=\"default\"\n"
                             "  \"Path\" = \"C:\\\\dir\\\\\"  \n"
                             "\"Num\"=DWORD:FF\n"
                             "\"Bin\"=hex:01,02,\\\n"
                             "    0a,\\\n"
                             "  b\n"
                             "\"Exp\"=hex(2):25,00\n"
                             "\"Gone\"=-\n"
                             "[-HKCR\\Old]\n";
    const auto entries = Parse(text);
    ASSERT_EQ(entries.size(), 8u);
    EXPECT_EQ(entries[0].op, RegEntry::Op::Key);
    EXPECT_EQ(entries[1].data, "default\0"s);
    EXPECT_EQ(entries[2].name, "Path");
    EXPECT_EQ(entries[2].data, "C:\\dir\\\0"s);
    EXPECT_EQ(entries[3].data, "\xFF\0\0\0"s);
    EXPECT_EQ(entries[4].data, "\x01\x02\x0a\x0b");
    EXPECT_EQ(entries[5].type, kRegExpandSz);
    EXPECT_EQ(entries[6].op, RegEntry::Op::DeleteValue);
    EXPECT_EQ(entries[7].op, RegEntry::Op::DeleteKey);
    EXPECT_EQ(entries[7].key.root, Root::ClassesRoot);
    EXPECT_EQ(entries[7].line, 13u);

    // The same in UTF-16LE with a byte-order mark, CRLF, and a character beyond the BMP in a string.
    std::string utf16 = "\xFF\xFE";
    for (char16_t u :
         std::u16string(u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"E\"=\"\u20AC\U0001F600\"\r\n"))
        utf16 += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    const auto wide = Parse(utf16);
    ASSERT_EQ(wide.size(), 2u);
    EXPECT_EQ(wide[1].data, "\xE2\x82\xAC\xF0\x9F\x98\x80\0"s);
}

TEST(RegFileTest, MalformedFilesNameTheirLine)
{
    const std::string head = "REGEDIT4\n[HKLM\\A]\n";
    std::string tail_508; // with the leading 00, one byte too many
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
        {head + "[HKCU\\A]\n", 3},
        {head + "[-HKLM]\n", 3},
        {head + "garbage\n", 3},
        {"REGEDIT4\n\"x\"=\"v\"\n", 2},
        {head + "[-HKLM\\B]\n\"x\"=\"v\"\n", 4},
        {head + "\"x\"=\"v\" trailing\n", 3},
        {head + "\"x\"=word:1\n", 3},
    };
    for (const auto &[text, line] : cases) {
        RegParseError error;
        EXPECT_FALSE(ParseRegFile(text, error)) << text;
        EXPECT_EQ(error.line, line) << text << " -> " << error.message;
        EXPECT_FALSE(error.message.empty());
    }
    RegParseError error;
    EXPECT_FALSE(ParseRegFile("\xFF\xFEW\0\x00\xD8"s, error)); // unpaired surrogate
}

} // namespace
} // namespace kstctl
