// regfile.h: the .reg text format: parsing a whole file into checked entries with regedit's meaning,
// and writing keys and values so that regedit reads them and reading them back gives the same bytes.
//
// Three dialects, told by the first line: "Windows Registry Editor Version 5.00", whose strings are
// UTF-16 text (quoted text and the data of hex(1), hex(2) and hex(7), which is UTF-16LE) stored as the
// registry's UTF-8; "REGEDIT4", whose strings are the registry's bytes; and the old "REGEDIT" form of
// "HKEY_CLASSES_ROOT\key = text" lines. Any of them may be UTF-16LE or UTF-8 with a byte-order mark, or
// 8-bit without; lines end in CRLF, LF or CR. Written files end their lines in CRLF.
#pragma once

#include "tools/kstctl/keypath.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kstctl {

// Value types, numbered as NT numbers them; the daemon stores any 32-bit type without looking at it.
inline constexpr uint32_t kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4,
                          kRegDwordBigEndian = 5, kRegLink = 6, kRegMultiSz = 7, kRegQword = 11;
inline constexpr uint32_t kRegLastNamedType = 11;
// The daemon refuses larger values.
inline constexpr std::size_t kMaxValueBytes = 508;

// "REG_SZ" ... "REG_QWORD"; types beyond 11 as their decimal number.
std::string TypeName(uint32_t type);
// A type name (case-insensitive, REG_ prefix optional, also REG_DWORD_LITTLE_ENDIAN and
// REG_QWORD_LITTLE_ENDIAN) or a decimal or 0x number.
std::optional<uint32_t> ParseTypeName(std::string_view text);

enum class RegFormat { Regedit4, Unicode };

struct RegEntry {
    enum class Op { Key, DeleteKey, SetValue, DeleteValue };
    Op          op;    // what the line asks for
    std::size_t line;  // first line of the entry, counting from 1
    KeyPath     key;   // the key itself, or the key the value belongs to
    std::string name;  // value name; empty for "@"
    uint32_t    type;  // SetValue only
    std::string data;  // SetValue only: the bytes to store
};

// A line regedit passes over without a word (and the lines it took with it, such as the rest of a
// broken hex list); import refuses a file that has any unless told to skip them too.
struct RegSkipped {
    std::size_t line;  // first line of what is skipped
    std::string why;   // what is wrong with it
};

struct RegFile {
    std::vector<RegEntry>   entries;  // what regedit would do, in file order
    std::vector<RegSkipped> skipped;  // in file order
};

struct RegParseError {
    std::size_t line = 0;  // 0 when the error is about the file as a whole
    std::string message;   // without the line number
};

// Parses and checks a whole file as read from disk: every key spelling, name, type and size is
// checked, so an import that starts writing has nothing left to refuse. nullopt with error set at the
// first line that regedit refuses as a whole (no header) or that this registry can't hold (a name
// with '/' or '\\', a value over 508 bytes, a string that is not text). With skip_unholdable, what the
// registry can't hold is recorded as skipped instead, and the parse goes on.
std::optional<RegFile> ParseRegFile(std::string_view bytes, RegParseError &error, bool skip_unholdable = false);

// Writing: the pieces are UTF-8 or 8-bit text; EncodeRegText turns the whole into the file's bytes.
std::string                RegHeader(RegFormat format);  // the header line and a blank line
std::optional<std::string> FormatKeyLine(const KeyPath &key, RegFormat format, std::string &error);
// One value as "name"=data lines, in the form regedit writes for its type where that form gives back
// the same bytes; anything else becomes hex(N):. nullopt with error set when the name can't be written
// in this format.
std::optional<std::string> FormatValue(std::string_view name, uint32_t type, std::string_view data, RegFormat format,
                                       std::string &error);
std::string                EncodeRegText(std::string_view text, RegFormat format);

// String data between the registry's bytes and the UTF-16LE of a version 5.00 file. Bytes that are not
// UTF-8 travel as the lone code units U+DC80..U+DCFF (0x80..0xFF), so any bytes come back unchanged;
// nullopt for an odd length or another unpaired surrogate.
std::string                StringDataToUtf16(std::string_view bytes);
std::optional<std::string> StringDataFromUtf16(std::string_view utf16le);

// A value name the daemon can store under a file name: at most 255 bytes, no '/', '\\' or NUL.
bool CheckValueName(std::string_view name, std::string &error);

}  // namespace kstctl
