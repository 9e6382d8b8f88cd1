// read_nt.cpp: one value read through RegOpenKeyEx and RegQueryValueEx, A or W.
#include "tests/tools/read_nt.h"

#include "libkstnt/kstnt.h"

#include <type_traits>

namespace {

template <class C> std::basic_string<C> Read(int root, const std::string &key_text, const std::string &name_text)
{
    constexpr bool             wide = std::is_same_v<C, wchar_t>;
    const HKEY                 top = root == kCr ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
    const std::basic_string<C> key(key_text.begin(), key_text.end()), name(name_text.begin(), name_text.end());
    const auto                 text = [](std::string_view s) { return std::basic_string<C>(s.begin(), s.end()); };
    HKEY                       h = nullptr;
    C                          data[600];
    DWORD                      type = 0, size = sizeof data;
    LONG                       rc = 0;
    if constexpr (wide)
        rc = RegOpenKeyExW(top, key.c_str(), 0, KEY_READ, &h);
    else
        rc = RegOpenKeyExA(top, key.c_str(), 0, KEY_READ, &h);
    if (rc) return text("missing key");
    if constexpr (wide)
        rc = RegQueryValueExW(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    else
        rc = RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(h);
    if (rc) return text("missing");
    if (size % sizeof(C)) return text("half a character");
    return text(std::to_string(type) + ":") + std::basic_string<C>(data, size / sizeof(C));
}

}  // namespace

std::string ReadA(int root, const std::string &key, const std::string &name)
{
    return Read<char>(root, key, name);
}

std::wstring ReadW(int root, const std::string &key, const std::string &name)
{
    return Read<wchar_t>(root, key, name);
}
