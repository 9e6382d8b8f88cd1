// user_roots.h: where the per-user roots of NT live in the daemon's two trees.
//
// The daemon keeps HKEY_CLASS_ROOT and HKEY_LOCAL_MACHINE only. HKEY_USERS, HKEY_CURRENT_USER and
// HKEY_CURRENT_CONFIG are keys below HKEY_LOCAL_MACHINE, chosen here once so that libkstnt and kstctl
// agree on them:
//   HKEY_USERS           HKEY_LOCAL_MACHINE\HKEY_USERS
//   HKEY_CURRENT_USER    <HKEY_USERS>\S-1-22-1-<uid>   (the real uid; Samba's SID for a Unix user)
//   HKEY_CURRENT_CONFIG  HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Hardware Profiles\Current
// HKEY_CURRENT_CONFIG is where NT itself links it. KSTNT_HKEY_USERS, KSTNT_HKEY_CURRENT_USER and
// KSTNT_HKEY_CURRENT_CONFIG in the environment replace a default; each names a key below
// HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT (HKLM\..., HKCR\... also), with "\" or "/" between names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kst {

enum class UserRoot { Users, CurrentUser, CurrentConfig };

// A key as the daemon names it: a root word (1 classes root, 2 local machine) and the path below it,
// names separated by single backslashes, neither leading nor trailing; never empty for a mapped root.
struct RootedPath {
    uint64_t    root = 2;  // the daemon's word for the tree
    std::string path;      // key names joined by '\'
};

// The key that stands for one per-user root for this process (environment read on every call).
// nullopt, with error saying which variable is wrong, when an override is not a key path below one
// of the daemon's roots.
std::optional<RootedPath> MapUserRoot(UserRoot which, std::string &error);

// The environment variable that overrides a root's default, and the root's NT name.
std::string_view UserRootVariable(UserRoot which);
std::string_view UserRootName(UserRoot which);

}  // namespace kst
