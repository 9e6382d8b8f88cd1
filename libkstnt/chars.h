// chars.h: the one place where the A and W functions differ: how a caller's text and string data
// become the daemon's UTF-8 bytes and back, and how results are copied to a caller's buffer.
//
// Every public function with an A and a W form is one template over the caller's character type C
// (char or wchar_t). The A form passes bytes through as they are; the W form converts names and
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data strictly (client/text.h) and leaves every other type
// byte for byte, so both forms read and write the same stored value.
#pragma once

#include "client/text.h"
#include "libkstnt/session.h"

#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace kstnt {

template <class C> inline constexpr bool kWide = std::is_same_v<C, wchar_t>;

// The types whose data is text.
[[nodiscard]] inline bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A caller's NUL-terminated text as the daemon's bytes; NULL reads as "". ERROR_NO_UNICODE_TRANSLATION
// for wide text that has no UTF-8 form.
template <class C> LONG In(const C *text, std::string &out)
{
    if constexpr (kWide<C>) {
        const auto utf8 = kst::WideToUtf8(text ? std::wstring_view(text) : std::wstring_view());
        if (!utf8) return ERROR_NO_UNICODE_TRANSLATION;
        out = *utf8;
    } else {
        out = text ? text : "";
    }
    return ERROR_SUCCESS;
}

// The daemon's bytes as the caller's characters.
template <class C> LONG Out(std::string_view stored, std::basic_string<C> &out)
{
    if constexpr (kWide<C>) {
        auto wide = kst::Utf8ToWide(stored);
        if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
        out = std::move(*wide);
    } else {
        out = stored;
    }
    return ERROR_SUCCESS;
}

// A caller's value data (bytes as given) as the daemon stores it. Data that can't fit the daemon's
// value is refused before it is read: the caller's buffer may be shorter than the size it claims.
template <class C> LONG DataIn(DWORD type, const BYTE *data, DWORD size, std::string &out)
{
    const bool text = kWide<C> && IsStringType(type);
    // Every wide character takes at least one byte of UTF-8.
    if (size / (text ? sizeof(WCHAR) : 1) > KSTNT_MAX_VALUE_DATA) return ERROR_INVALID_PARAMETER;
    const std::string_view bytes(reinterpret_cast<const char *>(data), data ? size : 0);
    if (!text) {
        out = bytes;
        return ERROR_SUCCESS;
    }
    if (bytes.size() % sizeof(WCHAR) != 0) return ERROR_INVALID_PARAMETER;  // half a character
    std::wstring wide(bytes.size() / sizeof(WCHAR), L'\0');
    if (!bytes.empty()) memcpy(wide.data(), bytes.data(), bytes.size());  // the caller's bytes need no alignment
    const auto utf8 = kst::WideToUtf8(wide);
    if (!utf8) return ERROR_NO_UNICODE_TRANSLATION;
    out = *utf8;
    return ERROR_SUCCESS;
}

// Stored data as the caller's bytes.
template <class C> LONG DataOut(DWORD type, std::string_view stored, std::string &out)
{
    if (!kWide<C> || !IsStringType(type)) {
        out = stored;
        return ERROR_SUCCESS;
    }
    std::wstring wide;
    if (const LONG rc = Out(stored, wide)) return rc;
    out.assign(reinterpret_cast<const char *>(wide.data()), wide.size() * sizeof(WCHAR));
    return ERROR_SUCCESS;
}

// Copies data to an NT (buffer, size) pair: the size alone for a NULL buffer, ERROR_MORE_DATA with
// the size needed when it does not fit, and never a byte past *size.
LONG StoreData(std::string_view data, LPBYTE buffer, LPDWORD size);

// Copies a name to an NT (buffer, characters) pair, terminated; the count stored excludes the NUL. A
// buffer without room for the NUL gets ERROR_MORE_DATA, nothing written and the count needed.
template <class C> LONG StoreName(std::string_view stored, C *buffer, LPDWORD chars)
{
    std::basic_string<C> name;
    if (const LONG rc = Out(stored, name)) return rc;
    if (*chars < name.size() + 1) {
        *chars = static_cast<DWORD>(name.size());
        return ERROR_MORE_DATA;
    }
    std::char_traits<C>::copy(buffer, name.data(), name.size());
    buffer[name.size()] = C(0);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace kstnt
