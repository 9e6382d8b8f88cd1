// user_roots.cpp: the one mapping of the per-user roots onto keys below HKEY_LOCAL_MACHINE.
#include "client/user_roots.h"

#include <array>
#include <cstdlib>
#include <unistd.h>

namespace kst {
namespace {

constexpr uint64_t kClassesRootWord = 1, kLocalMachineWord = 2;

struct RootSpelling {
    std::string_view name;  // as written before the first separator, compared without case
    uint64_t         word;  // the daemon's word for that tree
};
constexpr std::array<RootSpelling, 5> kDaemonRoots{{{"HKEY_LOCAL_MACHINE", kLocalMachineWord},
                                                    {"HKLM", kLocalMachineWord},
                                                    {"HKEY_CLASSES_ROOT", kClassesRootWord},
                                                    {"HKCR", kClassesRootWord},
                                                    {"HKEY_CLASS_ROOT", kClassesRootWord}}};

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool SameAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// "HKLM\A/B\\C\" -> {2, "A\B\C"}; nullopt for another root, no key below it, or "." / "..".
std::optional<RootedPath> ParseRooted(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && !IsSeparator(text[at]))
        ++at;
    const std::string_view root = text.substr(0, at);
    RootedPath             out;
    bool                   known = false;
    for (const RootSpelling &spelling : kDaemonRoots) {
        if (SameAscii(root, spelling.name)) {
            out.root = spelling.word;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    while (at < text.size()) {
        while (at < text.size() && IsSeparator(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < text.size() && !IsSeparator(text[at]))
            ++at;
        const std::string_view name = text.substr(start, at - start);
        if (name.empty()) continue;
        if (name == "." || name == "..") return std::nullopt;
        if (!out.path.empty()) out.path += '\\';
        out.path += name;
    }
    if (out.path.empty()) return std::nullopt;
    return out;
}

std::optional<RootedPath> FromEnvironment(UserRoot which, std::string &error)
{
    const char *text = std::getenv(std::string(UserRootVariable(which)).c_str());
    if (!text || !*text) return std::nullopt;
    auto parsed = ParseRooted(text);
    if (!parsed) {
        error = std::string(UserRootVariable(which)) + "='" + text +
                "' is not a key below HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT";
    }
    return parsed;
}

}  // namespace

std::string_view UserRootVariable(UserRoot which)
{
    switch (which) {
    case UserRoot::Users:
        return "KSTNT_HKEY_USERS";
    case UserRoot::CurrentUser:
        return "KSTNT_HKEY_CURRENT_USER";
    case UserRoot::CurrentConfig:
        return "KSTNT_HKEY_CURRENT_CONFIG";
    }
    return {};
}

std::string_view UserRootName(UserRoot which)
{
    switch (which) {
    case UserRoot::Users:
        return "HKEY_USERS";
    case UserRoot::CurrentUser:
        return "HKEY_CURRENT_USER";
    case UserRoot::CurrentConfig:
        return "HKEY_CURRENT_CONFIG";
    }
    return {};
}

std::optional<RootedPath> MapUserRoot(UserRoot which, std::string &error)
{
    error.clear();
    if (auto fixed = FromEnvironment(which, error); fixed || !error.empty()) return fixed;
    switch (which) {
    case UserRoot::Users:
        return RootedPath{kLocalMachineWord, "HKEY_USERS"};
    case UserRoot::CurrentConfig:
        return RootedPath{kLocalMachineWord, "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"};
    case UserRoot::CurrentUser:
        break;
    }
    auto users = MapUserRoot(UserRoot::Users, error);
    if (!users) return std::nullopt;
    users->path += "\\S-1-22-1-" + std::to_string(getuid());
    return users;
}

}  // namespace kst
