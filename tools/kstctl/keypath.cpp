// keypath.cpp: KEY spellings reduced to a root and key names.
#include "tools/kstctl/keypath.h"

#include <array>

namespace kstctl {
namespace {

struct RootSpelling {
    std::string_view             name;  // as typed, compared without regard to case
    Root                         root;  // the daemon's tree, for the two it keeps
    std::optional<kst::UserRoot> user;  // set for a per-user root, which lives below one of them
};

constexpr std::array kRootSpellings{
    RootSpelling{"HKLM", Root::LocalMachine, {}},
    RootSpelling{"HKEY_LOCAL_MACHINE", Root::LocalMachine, {}},
    RootSpelling{"HKCR", Root::ClassesRoot, {}},
    RootSpelling{"HKEY_CLASSES_ROOT", Root::ClassesRoot, {}},
    RootSpelling{"HKEY_CLASS_ROOT", Root::ClassesRoot, {}},
    RootSpelling{"HKCU", Root::LocalMachine, kst::UserRoot::CurrentUser},
    RootSpelling{"HKEY_CURRENT_USER", Root::LocalMachine, kst::UserRoot::CurrentUser},
    RootSpelling{"HKU", Root::LocalMachine, kst::UserRoot::Users},
    RootSpelling{"HKEY_USERS", Root::LocalMachine, kst::UserRoot::Users},
    RootSpelling{"HKCC", Root::LocalMachine, kst::UserRoot::CurrentConfig},
    RootSpelling{"HKEY_CURRENT_CONFIG", Root::LocalMachine, kst::UserRoot::CurrentConfig},
};

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The names of text between separators; empty ones dropped. nullopt with error for a name the
// registry can't hold.
std::optional<std::vector<std::string>> SplitNames(std::string_view text, std::string_view separators,
                                                   std::string &error)
{
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (word == "." || word == "..")
            error = "key name '" + std::string(word) + "' is not allowed";
        else if (word.find('\0') != std::string_view::npos)
            error = "key name holds a NUL byte";
        else if (word.size() > kMaxNameBytes)
            error = "key name longer than 255 bytes";
        else if (word.find('/') != std::string_view::npos)
            error = "key name '" + std::string(word) + "' holds '/', which this registry takes as a separator";
        if (!error.empty()) return std::nullopt;
        words.emplace_back(word);
    }
    return words;
}

// Fills key's root (and, for a per-user root, the key names it stands for) from its spelling.
bool ApplyRoot(const RootSpelling &spelling, KeyPath &key, std::string &error)
{
    key.root = spelling.root;
    if (!spelling.user) return true;
    const auto mapped = kst::MapUserRoot(*spelling.user, error);
    if (!mapped) return false;
    auto names = SplitNames(mapped->path, "\\", error);
    if (!names) return false;
    key.root = mapped->root == 1 ? Root::ClassesRoot : Root::LocalMachine;
    key.shown_as = spelling.user;
    key.mapped = names->size();
    key.parts = std::move(*names);
    return true;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

bool KeyPath::SameAs(const KeyPath &other) const
{
    return parts.size() == other.parts.size() && Within(other);
}

bool KeyPath::Within(const KeyPath &other) const
{
    if (root != other.root || parts.size() < other.parts.size()) return false;
    for (std::size_t i = 0; i < other.parts.size(); ++i)
        if (!SameName(parts[i], other.parts[i])) return false;
    return true;
}

std::optional<KeyPath> ParseKeyPath(std::string_view text, std::string &error, KeySyntax syntax, KeyFault *fault)
{
    const std::string_view separators = syntax == KeySyntax::CommandLine ? "\\/" : "\\";
    const auto             refuse = [&](KeyFault why) {
        if (fault) *fault = why;
        return std::nullopt;
    };
    const std::size_t      root_end = std::min(text.find_first_of(separators), text.size());
    const std::string_view root_word = text.substr(0, root_end);
    const RootSpelling    *spelling = nullptr;
    for (const RootSpelling &s : kRootSpellings)
        if (SameName(root_word, s.name)) spelling = &s;
    if (!spelling) {
        error = root_word.empty() ? "missing root key (start with HKLM, HKCU, HKCR, HKU or HKCC)"
                                  : "unknown root key '" + std::string(root_word) +
                                        "' (use HKLM, HKCU, HKCR, HKU, HKCC or their long names)";
        return refuse(KeyFault::UnknownRoot);
    }
    error.clear();
    auto    names = SplitNames(text.substr(root_end), separators, error);
    KeyPath key;
    if (!names || !ApplyRoot(*spelling, key, error)) return refuse(KeyFault::BadName);
    key.parts.insert(key.parts.end(), names->begin(), names->end());
    return key;
}

std::string_view RootName(Root root)
{
    return root == Root::ClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

std::string FormatKeyPath(const KeyPath &key)
{
    std::string text(key.shown_as ? kst::UserRootName(*key.shown_as) : RootName(key.root));
    for (std::size_t i = key.shown_as ? key.mapped : 0; i < key.parts.size(); ++i)
        text += "\\" + key.parts[i];
    return text;
}

}  // namespace kstctl
