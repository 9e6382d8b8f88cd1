// wide_text.cpp: the C runtime's wide printing, reading and wide main as an NT program expects them.
//
// NT's wide printf reads %s and %c as wide text and %S and %C as narrow; the C library's wprintf reads
// %s and %c as narrow (converted in the program's locale: ASCII in the C locale). The format is rewritten to the C
// library's spelling before it is used, and the result is written as UTF-8 to a byte stream, so neither the stream's
// orientation nor the locale decides how the text comes out. Wide characters and lines are read and written
// the same way: as UTF-8 on a byte stream.
#include "client/text.h"
#include "libkstnt/session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

namespace kstnt {
namespace {

// NT's format spelled for the C library: in each conversion without a size modifier, s and c become
// ls and lc, and S and C become s and c.
std::wstring CFormat(const wchar_t *format)
{
    std::wstring out;
    for (const wchar_t *at = format; *at; ++at) {
        out += *at;
        if (*at != L'%') continue;
        const wchar_t *conversion = at + 1;
        while (*conversion && wcschr(L"-+ #0123456789.*", *conversion))
            ++conversion;
        out.append(at + 1, conversion);
        at = conversion;
        if (!*conversion) break;
        if (*conversion == L's' || *conversion == L'c' || *conversion == L'[') out += L'l';
        out += *conversion == L'S' ? L's' : *conversion == L'C' ? L'c' : *conversion;
    }
    return out;
}

// The formatted text, grown until it fits; nullopt when a conversion fails.
std::optional<std::wstring> Format(const wchar_t *format, va_list args)
{
    const std::wstring   c_format = CFormat(format);
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = vswprintf(buffer.data(), buffer.size(), c_format.c_str(), copy);
        va_end(copy);
        if (n >= 0) return std::wstring(buffer.data(), static_cast<std::size_t>(n));
        // -1 is also a conversion the C library could not make (narrow text outside the locale).
        if (buffer.size() >= (1u << 16)) return std::nullopt;
        buffer.resize(buffer.size() * 4);
    }
}

int Print(FILE *stream, const wchar_t *format, va_list args)
{
    const auto text = Format(format, args);
    const auto utf8 = text ? kst::WideToUtf8(*text) : std::nullopt;
    if (!utf8) return -1;
    if (fwrite(utf8->data(), 1, utf8->size(), stream) != utf8->size()) return -1;
    return static_cast<int>(text->size());
}

}  // namespace
}  // namespace kstnt

extern "C" {

KSTNT_API int kstnt_wprintf(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = kstnt::Guard<int>(-1, [&] { return kstnt::Print(stdout, format, args); });
    va_end(args);
    return n;
}

KSTNT_API int kstnt_fwprintf(FILE *stream, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = kstnt::Guard<int>(-1, [&] { return kstnt::Print(stream, format, args); });
    va_end(args);
    return n;
}

// As _snwprintf_s with _TRUNCATE: at most count characters with the NUL; -1 when cut.
KSTNT_API int kstnt_vswprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args)
{
    return kstnt::Guard<int>(-1, [&]() -> int {
        const auto text = kstnt::Format(format, args);
        if (!text || count == 0) return -1;
        const std::size_t kept = std::min(text->size(), count - 1);
        wmemcpy(buffer, text->data(), kept);
        buffer[kept] = L'\0';
        return kept == text->size() ? static_cast<int>(kept) : -1;
    });
}

KSTNT_API int kstnt_swprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = kstnt_vswprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

KSTNT_API int kstnt_vfwprintf(FILE *stream, const wchar_t *format, va_list args)
{
    return kstnt::Guard<int>(-1, [&] { return kstnt::Print(stream, format, args); });
}

// The C library's swscanf under NT's spelling: %s, %c and %[ fill wide text, %S and %C narrow.
KSTNT_API int kstnt_swscanf(const wchar_t *input, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = kstnt::Guard<int>(EOF, [&] { return vswscanf(input, kstnt::CFormat(format).c_str(), args); });
    va_end(args);
    return n;
}

// One character from UTF-8 bytes; WEOF at the end, or with errno EILSEQ for bytes that are not UTF-8
// (the byte that broke the sequence is left to be read next).
KSTNT_API wint_t kstnt_fgetwc(FILE *stream)
{
    const int first = getc(stream);
    if (first == EOF) return WEOF;
    if (first < 0x80) return static_cast<wint_t>(first);
    const int   more = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    std::string bytes(1, static_cast<char>(first));
    for (int i = 0; i < more; ++i) {
        const int next = getc(stream);
        if (next == EOF || (next & 0xC0) != 0x80) {
            if (next != EOF) ungetc(next, stream);
            break;
        }
        bytes += static_cast<char>(next);
    }
    const auto wide = kst::Utf8ToWide(bytes);
    if (!wide || wide->size() != 1) {
        errno = EILSEQ;
        return WEOF;
    }
    return static_cast<wint_t>((*wide)[0]);
}

KSTNT_API wint_t kstnt_fputwc(wchar_t c, FILE *stream)
{
    const auto utf8 = kst::WideToUtf8(std::wstring_view(&c, 1));
    if (!utf8) {
        errno = EILSEQ;
        return WEOF;
    }
    return fwrite(utf8->data(), 1, utf8->size(), stream) == utf8->size() ? static_cast<wint_t>(c) : WEOF;
}

// A line of at most count - 1 characters, with its newline, terminated; NULL when nothing was read.
KSTNT_API wchar_t *kstnt_fgetws(wchar_t *buffer, int count, FILE *stream)
{
    if (!buffer || count <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    int n = 0;
    while (n < count - 1) {
        const wint_t c = kstnt_fgetwc(stream);
        if (c == WEOF) {
            if (errno == EILSEQ && n == 0) return nullptr;
            break;
        }
        buffer[n++] = static_cast<wchar_t>(c);
        if (c == L'\n') break;
    }
    buffer[n] = L'\0';
    return n == 0 ? nullptr : buffer;
}

KSTNT_API int kstnt_fputws(const wchar_t *text, FILE *stream)
{
    return kstnt::Guard<int>(EOF, [&]() -> int {
        const auto utf8 = kst::WideToUtf8(text);
        if (!utf8) {
            errno = EILSEQ;
            return EOF;
        }
        return fwrite(utf8->data(), 1, utf8->size(), stream) == utf8->size() ? 0 : EOF;
    });
}

// _wfopen: the path and mode as UTF-8, the file system's own spelling.
KSTNT_API FILE *kstnt_wfopen(const wchar_t *path, const wchar_t *mode)
{
    return kstnt::Guard<FILE *>(nullptr, [&]() -> FILE * {
        const auto name = kst::WideToUtf8(path ? path : L""), how = kst::WideToUtf8(mode ? mode : L"");
        if (!path || !mode || !name || !how) {
            errno = EINVAL;
            return nullptr;
        }
        return fopen(name->c_str(), how->c_str());
    });
}

// NT's two-argument wcstok (_wcstok), with the place it stopped kept per thread as NT keeps it.
KSTNT_API wchar_t *kstnt_wcstok(wchar_t *text, const wchar_t *delimiters)
{
    static thread_local wchar_t *t_next = nullptr;
    return wcstok(text, delimiters, &t_next);
}

// An argument that is not UTF-8 is refused: the program ends with status 1 before it starts. So is an
// environment variable, for a wide main that takes the environment (the header's main passes it here).
KSTNT_API int kstnt_run_wmain(int argc, char **argv, int (*wide_main)(int, wchar_t **))
{
    std::vector<std::wstring> texts;
    std::vector<wchar_t *>    pointers;
    const bool                converted = kstnt::Guard<bool>(false, [&] {
        for (int i = 0; i < argc; ++i) {
            auto wide = kst::Utf8ToWide(argv[i]);
            if (!wide) return false;
            texts.push_back(std::move(*wide));
        }
        for (std::wstring &text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return true;
    });
    if (!converted) {
        if (argv == environ)
            fprintf(stderr, "%s: an environment variable is not UTF-8\n", program_invocation_short_name);
        else
            fprintf(stderr, "%s: an argument is not UTF-8\n", argc > 0 ? argv[0] : "program");
        return 1;
    }
    return wide_main(argc, pointers.data());
}
}
