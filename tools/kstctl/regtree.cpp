// regtree.cpp: reading keys and values from the daemon.
//
// The daemon's value enumeration shows the unnamed value with an empty name, which also means "no more
// values", and an entry it can't read ends the same way. So the walk takes the entry count from the key
// information, tries every index below it, and reads the unnamed value by name.
#include "tools/kstctl/regtree.h"

#include "tools/kstctl/kstctl.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

namespace kstctl {
namespace {

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr DWORD kBufferBytes = 4096;  // well above the 512 a reply can carry

}  // namespace

Progress::Progress(const char *verb) : verb_(verb), enabled_(isatty(STDERR_FILENO) == 1), last_ms_(NowMs()) {}

void Progress::Add(std::size_t keys, std::size_t values)
{
    keys_ += keys;
    values_ += values;
    if (!enabled_ || NowMs() - last_ms_ < 250) return;  // short walks show nothing
    last_ms_ = NowMs();
    std::fprintf(stderr, "\r%s: %zu keys, %zu values...", verb_, keys_, values_);
    shown_ = true;
}

void Progress::Done()
{
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
}

LONG ReadKey(HKEY key, const KeyPath &path, KeyContent &out)
{
    out = {path, {}, {}};
    DWORD subkeys = 0, values = 0;
    if (const LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                         nullptr, nullptr, nullptr))
        return rc;

    std::array<char, 512> name{};
    for (DWORD i = 0;; ++i) {
        DWORD      chars = name.size();
        const LONG rc = RegEnumKeyExA(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc) return rc;
        out.subkeys.emplace_back(name.data(), chars);
    }
    std::sort(out.subkeys.begin(), out.subkeys.end());

    std::string data(kBufferBytes, '\0');
    std::size_t unreadable = 0;
    for (DWORD i = 0; i < values; ++i) {
        DWORD      chars = name.size(), type = 0, size = kBufferBytes;
        const LONG rc =
            RegEnumValueA(key, i, name.data(), &chars, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size);
        if (rc == ERROR_NO_MORE_ITEMS) {
            ++unreadable;  // the unnamed value, read below, or an entry that is not a value
            continue;
        }
        if (rc) return rc;
        out.values.push_back({std::string(name.data(), chars), type, data.substr(0, size)});
    }
    DWORD      type = 0, size = kBufferBytes;
    const LONG rc = RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size);
    if (rc == ERROR_SUCCESS) {
        out.values.push_back({"", type, data.substr(0, size)});
        if (unreadable > 0) --unreadable;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        return rc;
    }
    if (unreadable > 0)
        Fail(kExitOk, "warning: %s: %zu entr%s that can't be read as a value (or an empty unnamed REG_NONE value)",
             FormatKeyPath(path).c_str(), unreadable, unreadable == 1 ? "y" : "ies");
    std::sort(out.values.begin(), out.values.end(), [](const Value &a, const Value &b) { return a.name < b.name; });
    return ERROR_SUCCESS;
}

LONG ResolveSpelling(KeyPath &key)
{
    UniqueKey             at(RootHandle(key.root));
    std::array<char, 512> name{};
    for (std::string &part : key.parts) {
        for (DWORD i = 0;; ++i) {
            DWORD      chars = name.size();
            const LONG rc = RegEnumKeyExA(at.get(), i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) return ERROR_FILE_NOT_FOUND;
            if (rc) return rc;
            if (SameName(std::string_view(name.data(), chars), part)) {
                part.assign(name.data(), chars);
                break;
            }
        }
        HKEY next = nullptr;
        if (const LONG rc = RegOpenKeyExA(at.get(), part.c_str(), 0, KEY_ALL_ACCESS, &next)) return rc;
        at.reset(next);
    }
    return ERROR_SUCCESS;
}

namespace {

LONG WalkTree(const KeyPath &top, std::vector<KeyContent> &out, Progress *progress)
{
    UniqueKey key;
    if (const LONG rc = OpenKeyPath(top, key)) return rc;
    KeyContent content;
    if (const LONG rc = ReadKey(key.get(), top, content)) return rc;
    key.reset();
    if (progress) progress->Add(1, content.values.size());
    const std::vector<std::string> subkeys = content.subkeys;
    out.push_back(std::move(content));
    for (const std::string &name : subkeys) {
        KeyPath child = top;
        child.parts.push_back(name);
        const LONG rc = WalkTree(child, out, progress);
        if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted while we walked
        if (rc) return rc;
    }
    return ERROR_SUCCESS;
}

}  // namespace

LONG ReadTree(const KeyPath &given, std::vector<KeyContent> &out, Progress *progress)
{
    KeyPath top = given;
    if (const LONG rc = ResolveSpelling(top)) return rc;
    return WalkTree(top, out, progress);
}

}  // namespace kstctl
