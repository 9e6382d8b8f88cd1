// regfile.cpp: reading and writing the .reg text format.
#include "tools/kstctl/regfile.h"

#include "tools/kstctl/args.h"

#include <array>
#include <cstdio>

namespace kstctl {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::size_t      kWrapColumn = 76;  // hex lines stay within 80 columns with the trailing ",\"

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

// Appends code point cp as UTF-8.
void AppendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[pos]; advances pos. nullopt for anything but the shortest form of
// a scalar value.
std::optional<uint32_t> NextUtf8(std::string_view text, std::size_t &pos)
{
    const auto    byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    std::size_t   extra;
    uint32_t      cp, min;
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
        min = 0x10000;
    } else
        return std::nullopt;
    if (pos + extra >= text.size()) return std::nullopt;
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (byte(pos + i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    pos += extra + 1;
    return cp;
}

// UTF-16LE after the byte-order mark to UTF-8; nullopt with the failing line in error.
std::optional<std::string> Utf16ToUtf8(std::string_view bytes, RegParseError &error)
{
    std::string out;
    std::size_t line = 1;
    const auto  unit = [&](std::size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
    };
    if (bytes.size() % 2 != 0) {
        error = {0, "UTF-16 file with an odd number of bytes"};
        return std::nullopt;
    }
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            error = {line, "unpaired UTF-16 surrogate"};
            return std::nullopt;
        }
        if (cp == '\n') ++line;
        AppendUtf8(out, cp);
    }
    return out;
}

std::string Utf8ToUtf16(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    const auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (std::size_t pos = 0; pos < text.size();) {
        auto next = NextUtf8(text, pos);
        if (!next) {  // callers check validity first; a stray byte still moves on
            next = 0xFFFD;
            ++pos;
        }
        const uint32_t cp = *next;
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
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

// Reads a quoted text at s[0] == '"' with \\ and \" escapes; leaves s after the closing quote.
std::optional<std::string> ReadQuoted(std::string_view &s, std::string &error)
{
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (s[i] == '\\') {
            if (i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
                out += s[++i];
                continue;
            }
            error = "unknown escape in quoted text (write \\\\ for a backslash, \\\" for a quote)";
            return std::nullopt;
        }
        out += s[i];
    }
    error = "quoted text without its closing quote";
    return std::nullopt;
}

// Comma-separated bytes of one or two hex digits; a trailing comma is accepted.
std::optional<std::string> ReadHexBytes(std::string_view s, std::string &error)
{
    std::string out;
    s = Trim(s);
    while (!s.empty()) {
        const std::size_t      comma = s.find(',');
        const std::string_view item = Trim(s.substr(0, comma));
        if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 || (item.size() == 2 && HexDigit(item[1]) < 0)) {
            error = "bad byte '" + std::string(item) + "' in hex data (two hex digits, separated by commas)";
            return std::nullopt;
        }
        out += static_cast<char>(item.size() == 1 ? HexDigit(item[0]) : HexDigit(item[0]) * 16 + HexDigit(item[1]));
        if (comma == std::string_view::npos) break;
        s = Trim(s.substr(comma + 1));
    }
    return out;
}

// The text of a value's data, or nullopt when only hex keeps its bytes.
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
    if (format == RegFormat::Unicode && !IsValidUtf8(body)) return std::nullopt;
    std::string out = "\"";
    for (const char c : body) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

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

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();)
        if (!NextUtf8(text, pos)) return false;
    return true;
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

std::optional<std::vector<RegEntry>> ParseRegFile(std::string_view bytes, RegParseError &error)
{
    std::string      decoded;
    std::string_view text = bytes;
    if (bytes.starts_with("\xFF\xFE")) {
        auto utf8 = Utf16ToUtf8(bytes.substr(2), error);
        if (!utf8) return std::nullopt;
        decoded = std::move(*utf8);
        text = decoded;
    } else if (bytes.starts_with("\xFE\xFF")) {
        error = {0, "big-endian UTF-16 is not a .reg encoding (save it as UTF-16LE)"};
        return std::nullopt;
    } else if (bytes.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }

    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    const auto fail = [&](std::size_t line, std::string message) {
        error = {line, std::move(message)};
        return std::nullopt;
    };
    if (lines.empty() || (Trim(lines[0]) != kHeader4 && Trim(lines[0]) != kHeader5))
        return fail(1, "the first line must be \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\"");

    std::vector<RegEntry>  entries;
    std::optional<KeyPath> section;  // the last [KEY]; values belong to it
    bool                   section_deleted = false;
    std::string            why;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t lineno = i + 1;
        std::string_view  line = Trim(lines[i]);
        if (line.find('\0') != std::string_view::npos) return fail(lineno, "NUL byte in the line");
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail(lineno, "key line without its closing ']'");
            std::string_view inner = line.substr(1, line.size() - 2);
            const bool       remove = inner.starts_with('-');
            if (remove) inner.remove_prefix(1);
            auto key = ParseKeyPath(inner, why);
            if (!key) return fail(lineno, why);
            if (remove && key->parts.empty()) return fail(lineno, "a root key can't be deleted");
            section = *key;
            entries.push_back(
                {remove ? RegEntry::Op::DeleteKey : RegEntry::Op::Key, lineno, std::move(*key), {}, 0, {}});
            section_deleted = remove;
            continue;
        }
        if (line[0] != '"' && line[0] != '@')
            return fail(lineno, "expected [KEY], \"name\"=data, @=data or a ; comment");
        if (!section) return fail(lineno, "value before the first [KEY] line");
        if (section_deleted) return fail(lineno, "value under a [-KEY] line");

        RegEntry entry{RegEntry::Op::SetValue, lineno, *section, {}, kRegSz, {}};
        if (line[0] == '@') {
            line.remove_prefix(1);
        } else {
            auto name = ReadQuoted(line, why);
            if (!name) return fail(lineno, why);
            if (name->empty()) return fail(lineno, "empty value name (write @ for the unnamed value)");
            if (!CheckValueName(*name, why)) return fail(lineno, why);
            entry.name = std::move(*name);
        }
        line = Trim(line);
        if (!line.starts_with('=')) return fail(lineno, "expected '=' after the value name");
        line = Trim(line.substr(1));

        if (line.starts_with('"')) {
            auto value = ReadQuoted(line, why);
            if (!value) return fail(lineno, why);
            if (!Trim(line).empty()) return fail(lineno, "text after the closing quote");
            entry.data = std::move(*value) + '\0';
        } else if (line == "-") {
            entry.op = RegEntry::Op::DeleteValue;
        } else if (StartsWithNoCase(line, "dword:")) {
            const std::string_view digits = Trim(line.substr(6));
            auto v = digits.size() <= 8 ? ParseNumber("0x" + std::string(digits), 0xFFFFFFFFu) : std::nullopt;
            if (!v) return fail(lineno, "dword: needs 1 to 8 hex digits");
            entry.type = kRegDword;
            for (int b = 0; b < 4; ++b)
                entry.data += static_cast<char>((*v >> (8 * b)) & 0xFF);
        } else if (StartsWithNoCase(line, "hex")) {
            std::string_view rest = line.substr(3);
            entry.type = kRegBinary;
            if (rest.starts_with('(')) {
                const std::size_t      close = rest.find(')');
                const std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
                auto t = !digits.empty() && digits.size() <= 8 ? ParseNumber("0x" + std::string(digits), 0xFFFFFFFFu)
                                                               : std::nullopt;
                if (!t) return fail(lineno, "hex(N): needs a type of 1 to 8 hex digits");
                entry.type = static_cast<uint32_t>(*t);
                rest = rest.substr(close + 1);
            }
            if (!rest.starts_with(':')) return fail(lineno, "expected ':' after hex or hex(N)");
            std::string list(rest.substr(1));
            // A trailing backslash continues the byte list on the next line.
            while (Trim(list).ends_with('\\')) {
                list = std::string(Trim(list));
                list.pop_back();
                if (++i >= lines.size()) return fail(lineno, "file ends after a '\\' continuation");
                list += Trim(lines[i]);
            }
            auto data = ReadHexBytes(list, why);
            if (!data) return fail(lineno, why);
            entry.data = std::move(*data);
        } else {
            return fail(lineno, "unknown data (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        if (entry.data.size() > kMaxValueBytes)
            return fail(lineno,
                        "value of " + std::to_string(entry.data.size()) + " bytes; the registry holds at most 508");
        entries.push_back(std::move(entry));
    }
    return entries;
}

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
    if (format == RegFormat::Unicode && !IsValidUtf8(path)) {
        error = "key name is not UTF-8 (export it without --unicode)";
        return std::nullopt;
    }
    return "[" + path + "]\r\n";
}

std::optional<std::string> FormatValue(std::string_view name, uint32_t type, std::string_view data, RegFormat format,
                                       std::string &error)
{
    std::string line;
    if (name.empty()) {
        line = "@=";
    } else {
        if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            error = "value name holds a line break or NUL, which a .reg file can't carry";
            return std::nullopt;
        }
        if (format == RegFormat::Unicode && !IsValidUtf8(name)) {
            error = "value name is not UTF-8 (export it without --unicode)";
            return std::nullopt;
        }
        line = "\"";
        for (const char c : name) {
            if (c == '\\' || c == '"') line += '\\';
            line += c;
        }
        line += "\"=";
    }
    if (auto text = TextForm(type, data, format)) return line + *text + "\r\n";

    char prefix[16];
    if (type == kRegBinary)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    line += prefix;
    std::string out;
    bool        first_on_line = true;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char piece[4];
        std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", static_cast<uint8_t>(data[i]));
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
    return "\xFF\xFE" + Utf8ToUtf16(text);
}

}  // namespace kstctl
