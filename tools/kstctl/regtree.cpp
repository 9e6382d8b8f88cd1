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

LONG KeyCursor::Create(const KeyPath &key, HKEY &out)
{
    std::size_t keep = 0;  // levels shared with the previous path
    if (!open_.empty() && path_.root == key.root)
        while (keep < open_.size() && keep < key.parts.size() && SameName(path_.parts[keep], key.parts[keep]))
            ++keep;
    open_.resize(keep);
    path_ = key;
    for (std::size_t i = keep; i < key.parts.size(); ++i) {
        HKEY       next = nullptr;
        const HKEY at = i == 0 ? RootHandle(key.root) : open_[i - 1].get();
        if (const LONG rc =
                RegCreateKeyExA(at, key.parts[i].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr)) {
            open_.clear();
            return rc;
        }
        open_.emplace_back(next);
    }
    out = key.parts.empty() ? RootHandle(key.root) : open_.back().get();
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

// key (open as at) and everything below it; each subkey is opened from its parent's handle.
LONG WalkTree(HKEY at, const KeyPath &path, std::vector<KeyContent> &out, Progress *progress)
{
    KeyContent content;
    if (const LONG rc = ReadKey(at, path, content)) return rc;
    if (progress) progress->Add(1, content.values.size());
    const std::vector<std::string> subkeys = content.subkeys;
    out.push_back(std::move(content));
    for (const std::string &name : subkeys) {
        KeyPath child = path;
        child.parts.push_back(name);
        HKEY next = nullptr;
        LONG rc = RegOpenKeyExA(at, name.c_str(), 0, KEY_ALL_ACCESS, &next);
        if (rc == ERROR_SUCCESS) {
            const UniqueKey owner(next);
            rc = WalkTree(next, child, out, progress);
        }
        if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted while we walked
        if (rc) return rc;
    }
    return ERROR_SUCCESS;
}

}  // namespace

LONG ReadTree(const KeyPath &given, std::vector<KeyContent> &out, Progress *progress)
{
    KeyPath   top = given;
    UniqueKey key;
    if (LONG rc = ResolveSpelling(top); rc || (rc = OpenKeyPath(top, key))) return rc;
    return WalkTree(key.get(), top, out, progress);
}

}  // namespace kstctl
