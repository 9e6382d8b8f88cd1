// text.cpp: strict UTF-8, UTF-16 and UTF-32 conversions for the W functions and .reg files.
#include "client/text.h"

#include <cstdint>

namespace kst {
namespace {

static_assert(sizeof(wchar_t) == 4, "wchar_t carries one code point per unit on this platform");

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(char32_t cp)
{
    return cp >= 0xD800 && cp <= 0xDFFF;
}

// One code point from text at `at`, advancing it; nullopt for anything but the shortest form of a
// scalar value.
std::optional<char32_t> DecodeOne(std::string_view text, size_t &at)
{
    const auto lead = static_cast<uint8_t>(text[at]);
    size_t     extra;
    char32_t   cp;
    char32_t   least;  // the smallest code point this length may carry; below it is overlong
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - at - 1 < extra) return std::nullopt;
    for (size_t i = 1; i <= extra; ++i) {
        const auto next = static_cast<uint8_t>(text[at + i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < least || cp > kMaxCodePoint || IsSurrogate(cp)) return std::nullopt;
    at += extra + 1;
    return cp;
}

// Appends one scalar value as UTF-8; false for a surrogate or a value beyond U+10FFFF.
bool EncodeOne(std::string &out, char32_t cp)
{
    if (cp > kMaxCodePoint || IsSurrogate(cp)) return false;
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
    return true;
}

// Hands each code point of text to emit in order; false, part-way, at the first malformed sequence.
template <typename Emit> bool ForEachCodePoint(std::string_view text, Emit emit)
{
    for (size_t at = 0; at < text.size();) {
        const auto cp = DecodeOne(text, at);
        if (!cp) return false;
        emit(*cp);
    }
    return true;
}

}  // namespace

std::optional<std::string> Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        char32_t cp = text[at];
        if (cp >= 0xD800 && cp <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[at + 1] - 0xDC00);
            ++at;
        }
        if (!EncodeOne(out, cp)) return std::nullopt;  // a lone surrogate
    }
    return out;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const bool whole = ForEachCodePoint(text, [&out](char32_t cp) {
        if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    });
    if (!whole) return std::nullopt;
    return out;
}

std::optional<std::string> WideToUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t unit : text)
        if (!EncodeOne(out, static_cast<char32_t>(unit))) return std::nullopt;
    return out;
}

std::optional<std::wstring> Utf8ToWide(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    if (!ForEachCodePoint(text, [&out](char32_t cp) { out += static_cast<wchar_t>(cp); })) return std::nullopt;
    return out;
}

bool IsUtf8(std::string_view text)
{
    return ForEachCodePoint(text, [](char32_t) {});
}

}  // namespace kst
