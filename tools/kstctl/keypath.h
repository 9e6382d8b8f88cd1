// keypath.h: the spellings of a registry KEY on the command line and in .reg files, reduced to a root and
// a list of key names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kstctl {

enum class Root { ClassesRoot, LocalMachine };

// Longest key or value name the daemon can carry (its name fields hold 256 bytes with the NUL).
inline constexpr std::size_t kMaxNameBytes = 255;

struct KeyPath {
    Root                     root = Root::LocalMachine;  // which of the two trees
    std::vector<std::string> parts;                      // key names below the root, none for the root itself

    // Key names compare as the daemon finds them: ASCII letters without regard to case.
    [[nodiscard]] bool SameAs(const KeyPath &other) const;
    // True when this key is other or lies below it.
    [[nodiscard]] bool Within(const KeyPath &other) const;
};

// Accepts HKLM, HKEY_LOCAL_MACHINE, HKCR, HKEY_CLASSES_ROOT and the on-disk HKEY_CLASS_ROOT (any case),
// then key names separated by "\" or "/"; repeated and trailing separators are ignored. Refuses "." and
// ".." (on disk they name other directories), NUL bytes and names over kMaxNameBytes. nullopt with
// error set.
std::optional<KeyPath> ParseKeyPath(std::string_view text, std::string &error);

// "HKEY_LOCAL_MACHINE\A\B": the spelling .reg files and the output use.
std::string      FormatKeyPath(const KeyPath &key);
std::string_view RootName(Root root);

// ASCII case-insensitive equality, as the daemon compares key and value names.
bool SameName(std::string_view a, std::string_view b);

}  // namespace kstctl
