// regfile.h: the .reg text format: parsing a whole file into checked entries, and writing keys and values
// so that reading them back gives the same bytes.
//
// Two encodings: "REGEDIT4", 8-bit text whose bytes are the registry's bytes, and "Windows Registry
// Editor Version 5.00", UTF-16LE with a byte-order mark, whose text is UTF-8 in the registry. Lines end
// in CRLF when written; LF alone is read too. hex: and hex(N): data are the stored bytes in both.
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

struct RegParseError {
    std::size_t line = 0;  // 0 when the error is about the file as a whole
    std::string message;   // without the line number
};

// Parses and checks a whole file as read from disk (either encoding, told by its byte-order mark):
// every key spelling, name, type and size is checked, so an import that starts writing has nothing
// left to refuse. nullopt with error set at the first fault.
std::optional<std::vector<RegEntry>> ParseRegFile(std::string_view bytes, RegParseError &error);

// Writing: the pieces are UTF-8 or 8-bit text; EncodeRegText turns the whole into the file's bytes.
std::string                RegHeader(RegFormat format);  // the header line and a blank line
std::optional<std::string> FormatKeyLine(const KeyPath &key, RegFormat format, std::string &error);
// One value as "name"=data lines. Text forms are used only when they give back the same bytes; anything
// else becomes hex(N):. nullopt with error set when the name can't be written in this format.
std::optional<std::string> FormatValue(std::string_view name, uint32_t type, std::string_view data, RegFormat format,
                                       std::string &error);
std::string                EncodeRegText(std::string_view text, RegFormat format);

// A value name the daemon can store under a file name: at most 255 bytes, no '/', '\\' or NUL.
bool CheckValueName(std::string_view name, std::string &error);

// UTF-8 checks and conversions used by the Unicode format.
bool IsValidUtf8(std::string_view text);

}  // namespace kstctl
