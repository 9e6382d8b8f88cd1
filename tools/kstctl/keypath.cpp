// keypath.cpp: KEY spellings reduced to a root and key names.
#include "tools/kstctl/keypath.h"

#include <array>

namespace kstctl {
namespace {

struct RootSpelling {
    std::string_view name;  // as typed, compared without regard to case
    Root             root;
};

constexpr std::array kRootSpellings{
    RootSpelling{"HKLM", Root::LocalMachine},
    RootSpelling{"HKEY_LOCAL_MACHINE", Root::LocalMachine},
    RootSpelling{"HKCR", Root::ClassesRoot},
    RootSpelling{"HKEY_CLASSES_ROOT", Root::ClassesRoot},
    RootSpelling{"HKEY_CLASS_ROOT", Root::ClassesRoot},
};

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
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

std::optional<KeyPath> ParseKeyPath(std::string_view text, std::string &error)
{
    std::vector<std::string> words;
    std::size_t              start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(start, end - start);
        if (!word.empty()) {
            if (word == "." || word == "..") {
                error = "key name '" + std::string(word) + "' is not allowed";
                return std::nullopt;
            }
            if (word.find('\0') != std::string_view::npos) {
                error = "key name holds a NUL byte";
                return std::nullopt;
            }
            if (word.size() > kMaxNameBytes) {
                error = "key name longer than 255 bytes";
                return std::nullopt;
            }
            words.emplace_back(word);
        }
        start = end + 1;
    }
    if (words.empty()) {
        error = "missing key (start with HKLM or HKCR)";
        return std::nullopt;
    }
    KeyPath key;
    bool    known = false;
    for (const RootSpelling &s : kRootSpellings)
        if (SameName(words[0], s.name)) {
            key.root = s.root;
            known = true;
        }
    if (!known || (!text.empty() && (text[0] == '\\' || text[0] == '/'))) {
        error = "unknown root key '" + words[0] + "' (use HKLM, HKEY_LOCAL_MACHINE, HKCR or HKEY_CLASSES_ROOT)";
        return std::nullopt;
    }
    key.parts.assign(words.begin() + 1, words.end());
    return key;
}

std::string_view RootName(Root root)
{
    return root == Root::ClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

std::string FormatKeyPath(const KeyPath &key)
{
    std::string text(RootName(key.root));
    for (const std::string &part : key.parts)
        text += "\\" + part;
    return text;
}

}  // namespace kstctl
