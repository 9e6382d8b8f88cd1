// regfile.cpp: reading and writing the .reg text format.
//
// Reading follows what regedit does with each line: a line it takes, this parser turns into an entry;
// a line it passes over in silence (a dword of nine digits, a value under a key line it could not
// read, the rest of a broken hex list), this parser records as skipped, so that import can refuse the
// file or, when told to, do what regedit does. What regedit does with a file as a whole (no header)
// is an error; so is what this registry can't hold (names with '/' or '\\', values over 508 bytes),
// unless the caller asks for such lines to be skipped as well.
#include "tools/kstctl/regfile.h"

#include "client/text.h"
#include "tools/kstctl/args.h"

#include <array>
#include <cstdio>

namespace kstctl {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader31 = "REGEDIT";  // what regedit takes for the old form: any other REGEDIT...
constexpr std::string_view kOldRoot = "HKEY_CLASSES_ROOT";
constexpr std::size_t      kWrapColumn = 76;  // hex lines stay within 80 columns with the trailing ",\"
constexpr std::string_view kBlanks = " \t";

constexpr std::array<std::string_view, kRegLastNamedType + 1> kTypeNames{
    "REG_NONE",
    "REG_SZ",
    "REG_EXPAND_SZ",
    "REG_BINARY",
    "REG_DWORD",
    "REG_DWORD_BIG_ENDIAN",
    "REG_LINK",
    "REG_MULTI_SZ",
    "REG_RESOURCE_LIST",
    "REG_FULL_RESOURCE_DESCRIPTOR",
    "REG_RESOURCE_REQUIREMENTS_LIST",
    "REG_QWORD",
};

std::string_view TrimLeft(std::string_view s)
{
    const std::size_t at = s.find_first_not_of(kBlanks);
    return at == std::string_view::npos ? std::string_view{} : s.substr(at);
}

std::string_view Trim(std::string_view s)
{
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// What may follow a complete item on a line: blanks, then nothing or a ";" comment ("#" is not one there).
bool OnlyCommentLeft(std::string_view s)
{
    s = TrimLeft(s);
    return s.empty() || s.front() == ';';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

bool IsStringType(uint32_t type)
{
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// Bytes in a UTF-8 sequence that starts with lead; 0 for a byte no sequence starts with.
std::size_t SequenceLength(uint8_t lead)
{
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

void AppendUtf16le(std::string &out, std::u16string_view units)
{
    for (const char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
}

// One physical line: its text without the line break, the break itself, and its number.
struct Line {
    std::string_view text;
    std::string_view ending;  // "\r\n", "\n", "\r", or empty at the end of the file
    std::size_t      number = 0;
};

// Hands out the lines of a text one at a time; CRLF, LF and CR alone each end a line, as regedit reads.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool Next(Line &out)
    {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find_first_of("\r\n", pos_), after = end + 1;
        if (end == std::string_view::npos) end = after = text_.size();
        if (end < text_.size() && text_[end] == '\r' && after < text_.size() && text_[after] == '\n') ++after;
        out = {text_.substr(pos_, end - pos_), text_.substr(end, after - end), ++number_};
        pos_ = after;
        return true;
    }

private:
    std::string_view text_;
    std::size_t      pos_ = 0, number_ = 0;
};

// A UTF-16LE file after its byte-order mark as UTF-8, converted a line at a time so that an error
// names its line.
std::optional<std::string> DecodeUtf16(std::string_view bytes, RegParseError &error)
{
    if (bytes.size() % 2 != 0) {
        error = {0, "UTF-16 file with an odd number of bytes"};
        return std::nullopt;
    }
    std::string    out;
    std::u16string line;
    std::size_t    number = 1;
    const auto     flush = [&] {
        auto utf8 = kst::Utf16ToUtf8(line);
        if (!utf8) error = {number, "an unpaired UTF-16 surrogate in the text"};
        out += utf8.value_or("");
        line.clear();
        return utf8.has_value();
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const auto unit =
            static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
        line += unit;
        const bool crlf_first = unit == u'\r' && i + 3 < bytes.size() && bytes[i + 2] == '\n' && bytes[i + 3] == '\0';
        if ((unit == u'\n' || unit == u'\r') && !crlf_first) {
            if (!flush()) return std::nullopt;
            ++number;
        }
    }
    if (!flush()) return std::nullopt;
    return out;
}

// The file's text: UTF-16LE converted to UTF-8, a UTF-8 byte-order mark dropped, and an end-of-file
// byte 0x1A (Ctrl-Z, as DOS editors end files) dropped with the blank lines after it.
std::optional<std::string> DecodeFile(std::string_view bytes, RegParseError &error)
{
    std::string text;
    if (bytes.starts_with("\xFF\xFE")) {
        auto utf8 = DecodeUtf16(bytes.substr(2), error);
        if (!utf8) return std::nullopt;
        text = std::move(*utf8);
    } else if (bytes.starts_with("\xFE\xFF")) {
        error = {0, "big-endian UTF-16 is not a .reg encoding (save it as UTF-16LE)"};
        return std::nullopt;
    } else {
        text = bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
    }
    const std::size_t eof = text.find('\x1A');
    if (eof != std::string::npos && text.find_first_not_of(" \t\r\n\x1A", eof) == std::string::npos) text.resize(eof);
    return text;
}

enum class Dialect { Regedit4, Unicode, Old };

// What one value's data parse came to.
enum class Outcome { Ok, Skip, Fail };

// Turns a file's lines into entries, keeping the key of the last [KEY] line.
class Parser {
public:
    Parser(std::string_view text, bool skip_unholdable, RegFile &out, RegParseError &error)
        : lines_(text), skip_unholdable_(skip_unholdable), out_(out), error_(error)
    {
    }
    bool Run();

private:
    bool    NextLine();
    bool    Skip(std::size_t line, std::string why);
    bool    Fail(std::size_t line, std::string why);
    bool    Unholdable(std::size_t line, std::string why);
    bool    BodyLine();
    bool    OldLine();
    bool    KeyLine(std::string_view rest);
    bool    ValueLine(std::string_view rest);
    bool    Finish(RegEntry &entry);
    Outcome ReadQuoted(std::string_view &rest, bool multiline, std::string &out, std::string &why);
    Outcome ReadData(std::string_view rest, RegEntry &entry, std::string &why);
    Outcome ReadHex(std::string_view rest, std::string &out, std::string &why);

    LineReader             lines_;
    bool                   skip_unholdable_;  // what the registry can't hold is skipped, not an error
    Line                   line_;             // the line being read
    Dialect                dialect_ = Dialect::Regedit4;
    std::optional<KeyPath> section_;  // the key of the last [KEY] line; values belong to it
    std::string            no_section_ = "a value before the first [KEY] line";  // why there is none
    RegFile               &out_;
    RegParseError         &error_;
};

bool Parser::NextLine()
{
    if (!lines_.Next(line_)) return false;
    // A version 5.00 file without a byte-order mark is still Unicode text: here, UTF-8.
    if (dialect_ == Dialect::Unicode && !kst::IsUtf8(line_.text))
        return Fail(line_.number, "a version 5.00 file must be UTF-8 or UTF-16LE text; this line is not UTF-8");
    return true;
}

bool Parser::Skip(std::size_t line, std::string why)
{
    out_.skipped.push_back({line, std::move(why)});
    return true;
}

bool Parser::Fail(std::size_t line, std::string why)
{
    error_ = {line, std::move(why)};
    return false;
}

// Regedit would take the line, but this registry can't hold what it asks for.
bool Parser::Unholdable(std::size_t line, std::string why)
{
    return skip_unholdable_ ? Skip(line, std::move(why)) : Fail(line, std::move(why));
}

bool Parser::Run()
{
    const bool             has_line = lines_.Next(line_);
    const std::string_view head = Trim(line_.text);
    if (has_line && head == kHeader5)
        dialect_ = Dialect::Unicode;
    else if (has_line && head == kHeader4)
        dialect_ = Dialect::Regedit4;
    else if (has_line && head.starts_with(kHeader31))
        dialect_ = Dialect::Old;  // "REGEDIT", but also "REGEDIT3" or "REGEDIT4 x": only old-form lines count
    else
        return Fail(1, "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\", "
                       "\"REGEDIT4\" or \"REGEDIT\"");
    while (error_.message.empty() && NextLine())
        if (!(dialect_ == Dialect::Old ? OldLine() : BodyLine())) return false;
    return error_.message.empty();
}

bool Parser::BodyLine()
{
    const std::string_view rest = TrimLeft(line_.text);
    if (rest.empty() || rest.front() == ';' || rest.front() == '#') return true;
    if (rest.front() == '[') return KeyLine(rest);
    if (rest.front() == '"' || rest.front() == '@') return ValueLine(rest);
    return Skip(line_.number, "not a [KEY], \"name\"=data, @=data or comment line");
}

// "HKEY_CLASSES_ROOT\key = text" or "HKEY_CLASSES_ROOT\key text": the unnamed value of key. After an
// "=" one blank belongs to the separator; the rest of the line, blanks included, is the text.
bool Parser::OldLine()
{
    const std::string_view rest = TrimLeft(line_.text);
    if (rest.empty() || rest.front() == ';') return true;
    const std::size_t      key_end = std::min(rest.find_first_of(kBlanks), rest.size());
    const std::string_view path = rest.substr(0, key_end);
    if (!StartsWithNoCase(path, kOldRoot) || (path.size() > kOldRoot.size() && path[kOldRoot.size()] != '\\'))
        return Skip(line_.number, "not an HKEY_CLASSES_ROOT\\key = text line of the old REGEDIT form");
    std::string_view text = TrimLeft(rest.substr(key_end));
    if (text.starts_with('=')) {
        text.remove_prefix(1);
        if (text.starts_with(' ')) text.remove_prefix(1);
    }
    std::string why;
    KeyFault    fault = KeyFault::BadName;
    auto        key = ParseKeyPath(path, why, KeySyntax::RegFile, &fault);
    if (!key) return fault == KeyFault::UnknownRoot ? Skip(line_.number, why) : Unholdable(line_.number, why);
    out_.entries.push_back({RegEntry::Op::Key, line_.number, *key, {}, 0, {}});
    RegEntry value{RegEntry::Op::SetValue, line_.number, std::move(*key), {}, kRegSz, std::string(text) + '\0'};
    return Finish(value);
}

// [KEY] or [-KEY]. Blanks inside the brackets belong to the names (regedit keeps a trailing one); a
// line regedit can't read leaves no key, so the values after it are passed over too.
bool Parser::KeyLine(std::string_view rest)
{
    section_.reset();
    no_section_ = "a value under a key line that was skipped";
    const std::size_t close = rest.rfind(']');
    if (close == std::string_view::npos) return Skip(line_.number, "key line without its closing ']'");
    if (!OnlyCommentLeft(rest.substr(close + 1))) return Skip(line_.number, "text after the key line's ']'");
    std::string_view inner = rest.substr(1, close - 1);
    const bool       remove = inner.starts_with('-');
    if (remove) inner.remove_prefix(1);
    std::string why;
    KeyFault    fault = KeyFault::BadName;
    auto        key = ParseKeyPath(inner, why, KeySyntax::RegFile, &fault);
    if (!key) return fault == KeyFault::UnknownRoot ? Skip(line_.number, why) : Unholdable(line_.number, why);
    if (remove && key->IsRoot()) return Skip(line_.number, "a root key can't be deleted");
    out_.entries.push_back({remove ? RegEntry::Op::DeleteKey : RegEntry::Op::Key, line_.number, *key, {}, 0, {}});
    if (remove)
        no_section_ = "a value under a [-KEY] line";
    else
        section_ = std::move(*key);
    return true;
}

bool Parser::ValueLine(std::string_view rest)
{
    const std::size_t first = line_.number;
    RegEntry          entry{RegEntry::Op::SetValue, first, {}, {}, kRegSz, {}};
    std::string       why;
    if (rest.front() == '@') {
        rest.remove_prefix(1);
    } else if (const Outcome o = ReadQuoted(rest, false, entry.name, why); o != Outcome::Ok) {
        return o == Outcome::Skip ? Skip(first, why) : Fail(first, why);
    }
    rest = TrimLeft(rest);
    if (!rest.starts_with('=')) return Skip(first, "expected '=' after the value name");
    const Outcome o = ReadData(TrimLeft(rest.substr(1)), entry, why);
    if (o == Outcome::Skip) return Skip(first, why);
    // A failed data parse is a line that is not text (the whole file is refused) or string data that
    // is not UTF-16 text, which the registry can't hold.
    if (o == Outcome::Fail) return error_.message.empty() ? Unholdable(first, why) : Fail(first, why);
    if (!section_) return Skip(first, no_section_);
    entry.key = *section_;
    return Finish(entry);
}

// Checks a complete value against what the registry holds and keeps it.
bool Parser::Finish(RegEntry &entry)
{
    std::string why;
    if (!entry.name.empty() && !CheckValueName(entry.name, why)) return Unholdable(entry.line, why);
    if (entry.data.size() > kMaxValueBytes)
        return Unholdable(entry.line,
                          "value of " + std::to_string(entry.data.size()) + " bytes; the registry holds at most 508");
    out_.entries.push_back(std::move(entry));
    return true;
}

// Quoted text from rest.front() == '"' up to its closing quote, leaving rest after it. "\\" and "\""
// stand for a backslash and a quote; any other backslash stays as written, except "\0", which regedit
// refuses. Value data (multiline) goes on past line ends, keeping them, as regedit writes a string that
// holds line breaks; a backslash just before such a line end is refused, as regedit refuses it.
Outcome Parser::ReadQuoted(std::string_view &rest, bool multiline, std::string &out, std::string &why)
{
    for (std::size_t i = 1;;) {
        if (i >= rest.size()) {
            why = "quoted text without its closing quote";
            if (!multiline || line_.ending.empty()) return Outcome::Skip;
            out += line_.ending;
            if (!NextLine()) return error_.message.empty() ? Outcome::Skip : Outcome::Fail;
            rest = line_.text;
            i = 0;
            continue;
        }
        const char c = rest[i++];
        if (c == '"') {
            rest.remove_prefix(i);
            return Outcome::Ok;
        }
        if (c != '\\') {
            out += c;
        } else if (i >= rest.size()) {
            why = "a backslash at the end of a line in quoted text";
            return Outcome::Skip;
        } else if (rest[i] == '0') {
            why = "\\0 in quoted text, which regedit refuses";
            return Outcome::Skip;
        } else if (rest[i] == '\\' || rest[i] == '"') {
            out += rest[i++];
        } else {
            out += c;
        }
    }
}

// The data after "name"=: quoted text, -, dword:, hex: or hex(N):, each allowed a ";" comment after it.
Outcome Parser::ReadData(std::string_view rest, RegEntry &entry, std::string &why)
{
    if (rest.starts_with('"')) {
        if (const Outcome o = ReadQuoted(rest, true, entry.data, why); o != Outcome::Ok) return o;
        why = "text after the closing quote";
        if (!OnlyCommentLeft(rest)) return Outcome::Skip;
        entry.data += '\0';
        return Outcome::Ok;
    }
    if (rest.starts_with('-')) {
        entry.op = RegEntry::Op::DeleteValue;
        why = "text after '-'";
        return OnlyCommentLeft(rest.substr(1)) ? Outcome::Ok : Outcome::Skip;
    }
    if (StartsWithNoCase(rest, "dword:")) {
        const std::string_view value = TrimLeft(rest.substr(6));
        std::size_t            digits = 0;
        uint32_t               v = 0;
        while (digits < value.size() && HexDigit(value[digits]) >= 0)
            v = v << 4 | static_cast<uint32_t>(HexDigit(value[digits++]));
        why = "dword: needs 1 to 8 hex digits (regedit skips the line otherwise)";
        if (digits == 0 || digits > 8 || !OnlyCommentLeft(value.substr(digits))) return Outcome::Skip;
        entry.type = kRegDword;
        for (int b = 0; b < 4; ++b)
            entry.data += static_cast<char>((v >> (8 * b)) & 0xFF);
        return Outcome::Ok;
    }
    if (!StartsWithNoCase(rest, "hex")) {
        why = "unknown data (expected \"text\", -, dword:, hex: or hex(N):)";
        return Outcome::Skip;
    }
    rest.remove_prefix(3);
    entry.type = kRegBinary;
    if (rest.starts_with('(')) {
        const std::size_t      close = rest.find(')');
        const std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
        const bool             hex =
            !digits.empty() && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
        why = "hex(N): needs a type of 1 to 8 hex digits";
        if (!hex || digits.size() > 8) return Outcome::Skip;
        entry.type = static_cast<uint32_t>(ParseNumber("0x" + std::string(digits), 0xFFFFFFFFu).value_or(0));
        rest.remove_prefix(close + 1);
    }
    why = "expected ':' after hex or hex(N)";
    if (!rest.starts_with(':')) return Outcome::Skip;
    std::string bytes;
    if (const Outcome o = ReadHex(rest.substr(1), bytes, why); o != Outcome::Ok) return o;
    if (dialect_ != Dialect::Unicode || !IsStringType(entry.type)) {
        entry.data = std::move(bytes);
        return Outcome::Ok;
    }
    auto text = StringDataFromUtf16(bytes);
    why = "hex(" + std::to_string(entry.type) + ") string data in a version 5.00 file is UTF-16LE text; this is not";
    if (!text) return Outcome::Fail;
    entry.data = std::move(*text);
    return Outcome::Ok;
}

// A comma-separated list of bytes (one or two hex digits), which a "\" after a comma continues on the
// next line. Between such lines regedit passes over blank lines and ";" comments; any other line,
// a "#" comment or the next value included, is read as more of the list.
Outcome Parser::ReadHex(std::string_view rest, std::string &out, std::string &why)
{
    bool first_line = true, after_comma = true, byte_on_line = false;
    for (std::size_t i = 0;;) {
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
            ++i;
        if (i >= rest.size() || rest[i] == ';') return Outcome::Ok;
        const char c = rest[i];
        if (c == '\\' && after_comma && (byte_on_line || (first_line && out.empty()))) {
            why = "text after the '\\' that continues a hex list";
            if (!OnlyCommentLeft(rest.substr(i + 1))) return Outcome::Skip;
            do {
                if (!NextLine()) return error_.message.empty() ? Outcome::Ok : Outcome::Fail;  // regedit takes it
                rest = TrimLeft(line_.text);
            } while (rest.empty() || rest.front() == ';');
            first_line = byte_on_line = false;
            i = 0;
            continue;
        }
        const int high = HexDigit(c), low = i + 1 < rest.size() ? HexDigit(rest[i + 1]) : -1;
        why = "bad byte in hex data (one or two hex digits, separated by commas; '\\' after a comma continues)";
        if (!after_comma || high < 0) return Outcome::Skip;
        out += static_cast<char>(low < 0 ? high : high * 16 + low);
        i += low < 0 ? 1 : 2;
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
            ++i;
        after_comma = i < rest.size() && rest[i] == ',';
        if (after_comma) ++i;
        byte_on_line = true;
        if (!after_comma && i < rest.size() && rest[i] != ';') return Outcome::Skip;
    }
}

}  // namespace

std::string StringDataToUtf16(std::string_view bytes)
{
    std::string out;
    std::size_t run = 0;  // start of the UTF-8 run not yet converted
    const auto  flush = [&](std::size_t end) {
        AppendUtf16le(out, kst::Utf8ToUtf16(bytes.substr(run, end - run)).value_or(u""));
    };
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t len = SequenceLength(static_cast<uint8_t>(bytes[pos]));
        if (len != 0 && pos + len <= bytes.size() && kst::IsUtf8(bytes.substr(pos, len))) {
            pos += len;
            continue;
        }
        flush(pos);
        AppendUtf16le(out, std::u16string(1, static_cast<char16_t>(0xDC00 + static_cast<uint8_t>(bytes[pos]))));
        run = ++pos;
    }
    flush(bytes.size());
    return out;
}

std::optional<std::string> StringDataFromUtf16(std::string_view utf16le)
{
    if (utf16le.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    for (std::size_t i = 0; i < utf16le.size(); i += 2)
        units += static_cast<char16_t>(static_cast<uint8_t>(utf16le[i]) | static_cast<uint8_t>(utf16le[i + 1]) << 8);
    std::string out;
    std::size_t run = 0;
    const auto  flush = [&](std::size_t end) {
        auto utf8 = kst::Utf16ToUtf8(std::u16string_view(units).substr(run, end - run));
        out += utf8.value_or("");
        return utf8.has_value();
    };
    for (std::size_t i = 0; i < units.size(); ++i) {
        const bool paired = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() &&
                            units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        if (paired) {
            ++i;
        } else if (units[i] >= 0xDC80 && units[i] <= 0xDCFF) {
            if (!flush(i)) return std::nullopt;
            out += static_cast<char>(units[i] - 0xDC00);
            run = i + 1;
        }
    }
    if (!flush(units.size())) return std::nullopt;
    return out;
}

bool CheckValueName(std::string_view name, std::string &error)
{
    if (name.size() > kMaxNameBytes)
        error = "value name longer than 255 bytes";
    else if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
        error = "value name holds '/', '\\' or a NUL byte, which the registry can't store";
    else
        return true;
    return false;
}

std::string TypeName(uint32_t type)
{
    return type <= kRegLastNamedType ? std::string(kTypeNames[type]) : std::to_string(type);
}

std::optional<uint32_t> ParseTypeName(std::string_view text)
{
    if (auto number = ParseNumber(text, 0xFFFFFFFFu)) return static_cast<uint32_t>(*number);
    const std::string_view bare = StartsWithNoCase(text, "REG_") ? text.substr(4) : text;
    if (SameName(bare, "DWORD_LITTLE_ENDIAN")) return kRegDword;
    if (SameName(bare, "QWORD_LITTLE_ENDIAN")) return kRegQword;
    for (uint32_t t = 0; t <= kRegLastNamedType; ++t)
        if (SameName(bare, kTypeNames[t].substr(4))) return t;
    return std::nullopt;
}

std::optional<RegFile> ParseRegFile(std::string_view bytes, RegParseError &error, bool skip_unholdable)
{
    error = {};
    const auto text = DecodeFile(bytes, error);
    if (!text) return std::nullopt;
    RegFile file;
    Parser  parser(*text, skip_unholdable, file, error);
    if (!parser.Run()) return std::nullopt;
    return file;
}

namespace {

// A name or quoted text with its backslashes and quotes escaped.
std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The text form of a value's data, or nullopt when only hex keeps its bytes. regedit writes a REG_SZ
// as quoted text; here only one with exactly one terminating NUL and no line breaks qualifies (and, in
// the Unicode format, only UTF-8), since reading anything else back would give other bytes.
std::optional<std::string> TextForm(uint32_t type, std::string_view data, RegFormat format)
{
    if (type == kRegDword && data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<uint8_t>(data[i]);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", v);
        return text;
    }
    if (type != kRegSz || data.empty() || data.back() != '\0') return std::nullopt;
    const std::string_view body = data.substr(0, data.size() - 1);
    if (body.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return std::nullopt;
    if (format == RegFormat::Unicode && !kst::IsUtf8(body)) return std::nullopt;
    return Quote(body);
}

}  // namespace

std::string RegHeader(RegFormat format)
{
    return std::string(format == RegFormat::Unicode ? kHeader5 : kHeader4) + "\r\n\r\n";
}

std::optional<std::string> FormatKeyLine(const KeyPath &key, RegFormat format, std::string &error)
{
    std::string path = FormatKeyPath(key);
    if (path.find_first_of("\r\n") != std::string::npos) {
        error = "key name holds a line break, which a .reg file can't carry";
        return std::nullopt;
    }
    if (format == RegFormat::Unicode && !kst::IsUtf8(path)) {
        error = "key name is not UTF-8 (export it without --unicode)";
        return std::nullopt;
    }
    return "[" + path + "]\r\n";
}

std::optional<std::string> FormatValue(std::string_view name, uint32_t type, std::string_view data, RegFormat format,
                                       std::string &error)
{
    std::string line = "@=";
    if (!name.empty()) {
        if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            error = "value name holds a line break or NUL, which a .reg file can't carry";
            return std::nullopt;
        }
        if (format == RegFormat::Unicode && !kst::IsUtf8(name)) {
            error = "value name is not UTF-8 (export it without --unicode)";
            return std::nullopt;
        }
        line = Quote(name) + "=";
    }
    if (auto text = TextForm(type, data, format)) return line + *text + "\r\n";

    // As regedit writes them: string types of a Unicode file as UTF-16LE, everything else as stored.
    const std::string bytes =
        format == RegFormat::Unicode && IsStringType(type) ? StringDataToUtf16(data) : std::string(data);
    char prefix[16];
    if (type == kRegBinary)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    line += prefix;
    std::string out;
    bool        first_on_line = true;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char piece[4];
        std::snprintf(piece, sizeof piece, i + 1 < bytes.size() ? "%02x," : "%02x", static_cast<uint8_t>(bytes[i]));
        if (!first_on_line && line.size() + 2 > kWrapColumn) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += piece;
        first_on_line = false;
    }
    return out + line + "\r\n";
}

std::string EncodeRegText(std::string_view text, RegFormat format)
{
    if (format == RegFormat::Regedit4) return std::string(text);
    std::string out = "\xFF\xFE";
    AppendUtf16le(out, kst::Utf8ToUtf16(text).value_or(u""));  // callers wrote only UTF-8 (checked above)
    return out;
}

}  // namespace kstctl
