// text.h: the one conversion between the registry's UTF-8 strings and NT's wide text.
//
// The daemon stores names and string data as bytes, which the library and kstctl treat as UTF-8.
// NT's W functions hand us wchar_t (UTF-32 on Linux), and Unicode .reg files carry UTF-16LE; both
// meet the registry here. Conversions are strict: an unpaired surrogate, a code point above
// U+10FFFF or a malformed, overlong or truncated UTF-8 sequence yields nullopt, so that a caller can
// refuse it with its own error rather than store text that reads back differently.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kst {

// UTF-16 code units (host order) to UTF-8.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16 code units (host order).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
// wchar_t text (one code point per unit) to UTF-8.
std::optional<std::string> WideToUtf8(std::wstring_view text);
// UTF-8 to wchar_t text.
std::optional<std::wstring> Utf8ToWide(std::string_view text);
// Whether bytes are well-formed UTF-8 (what the W functions and a Unicode export can carry).
[[nodiscard]] bool IsUtf8(std::string_view text);

}  // namespace kst
