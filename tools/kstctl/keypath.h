// keypath.h: the spellings of a registry KEY on the command line and in .reg files, reduced to a root and
// a list of key names.
#pragma once

#include "client/user_roots.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kstctl {

enum class Root { ClassesRoot, LocalMachine };

// Longest key or value name the daemon can carry (its name fields hold 256 bytes with the NUL).
inline constexpr std::size_t kMaxNameBytes = 255;

struct KeyPath {
    Root                         root = Root::LocalMachine;  // which of the daemon's two trees
    std::vector<std::string>     parts;                      // key names below the root, none for the root itself
    std::optional<kst::UserRoot> shown_as;                   // the per-user root it was spelled with, if any
    std::size_t                  mapped = 0;                 // leading parts that stand for shown_as

    // Key names compare as the daemon finds them: ASCII letters without regard to case.
    [[nodiscard]] bool SameAs(const KeyPath &other) const;
    // True when this key is other or lies below it.
    [[nodiscard]] bool Within(const KeyPath &other) const;
    // True for a root key, also a per-user one: nothing a .reg file or reg delete may remove.
    [[nodiscard]] bool IsRoot() const { return parts.size() == mapped; }
};

// Where a spelling comes from: the command line takes "/" as a separator too; a .reg file, like
// regedit, only "\", so a "/" there is part of a name, which this registry can't hold.
enum class KeySyntax { CommandLine, RegFile };
// Why a spelling was refused: a root that regedit does not know (it skips such a line), or a name or
// mapping this registry can't use.
enum class KeyFault { UnknownRoot, BadName };

// Accepts HKLM, HKEY_LOCAL_MACHINE, HKCR, HKEY_CLASSES_ROOT, the on-disk HKEY_CLASS_ROOT, and the
// per-user roots HKCU, HKEY_CURRENT_USER, HKU, HKEY_USERS, HKCC, HKEY_CURRENT_CONFIG (any case; mapped
// by kst::MapUserRoot, as libkstnt maps them), then key names; repeated and trailing separators are
// ignored. Refuses "." and ".." (on disk they name other directories), NUL bytes and names over
// kMaxNameBytes. nullopt with error (and fault, when given) set.
std::optional<KeyPath> ParseKeyPath(std::string_view text, std::string &error,
                                    KeySyntax syntax = KeySyntax::CommandLine, KeyFault *fault = nullptr);

// "HKEY_LOCAL_MACHINE\A\B", or "HKEY_CURRENT_USER\A" for a key spelled below a per-user root: the
// spelling .reg files and the output use.
std::string      FormatKeyPath(const KeyPath &key);
std::string_view RootName(Root root);

// ASCII case-insensitive equality, as the daemon compares key and value names.
bool SameName(std::string_view a, std::string_view b);

}  // namespace kstctl
