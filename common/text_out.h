// text_out.h: appending to a string: printf-style, names escaped for a line or a column, JSON strings.
//
// Shared by the server's admin view and kstctl, so a name is escaped the same way wherever it is shown.
#pragma once

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

// Appends printf-style text of at most 255 bytes; only our own formats come here.
__attribute__((format(printf, 2, 3))) inline void Appendf(std::string &out, const char *format, ...)
{
    std::array<char, 256> buffer;
    va_list               args;
    va_start(args, format);
    const int n = vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n > 0) out.append(buffer.data(), std::min(static_cast<std::size_t>(n), buffer.size() - 1));
}

// Names come from clients and from disk: in text, bytes that would break a line (or, in a middle
// column, the columns) are written \xNN. Backslashes stay, since they separate key names (which never
// hold one).
inline void AppendText(std::string &out, std::string_view text, bool column)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || (column && c == ' '))
            Appendf(out, "\\x%02x", byte);
        else
            out += c;
    }
}

// A JSON string; bytes above 0x7f are taken as Latin-1, so any name gives valid UTF-8 output.
inline void AppendJson(std::string &out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            Appendf(out, "\\u%04x", byte);
        } else {
            out += c;
        }
    }
    out += '"';
}
