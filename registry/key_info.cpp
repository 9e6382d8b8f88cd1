// key_info.cpp: the kept answers of RegQueryInfoKey, by key identity, the kept directory times, and how
// the daemon's own changes move them on.
#include "registry/key_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace {

bool                                  g_keeping = true;
std::unordered_map<uint64_t, KeyInfo> g_kept;  // only keys asked about since an answer was last forgotten

KeyInfo *KeptToChange(const KeyNode *key)
{
    if (!key) return nullptr;
    const auto found = g_kept.find(key->identity);
    return found == g_kept.end() ? nullptr : &found->second;
}

// One entry that counts towards last_write went from time was (kTimeUnknown: not there, or not known) to
// time now (kTimeUnknown: gone). False when the newest time can't be told without reading them all.
[[nodiscard]] bool MoveLastWrite(KeyInfo &info, int64_t was, int64_t now, bool was_there, bool is_there)
{
    if (is_there && now >= info.last_write) {
        info.last_write = now;
        return true;
    }
    // The entry may have been the newest: what is newest now, only a fresh read tells.
    return !was_there || (was != kTimeUnknown && was < info.last_write);
}

// key's directory has changed: its time is read again, and its parent's answer, which holds that time
// among its subkeys', follows.
void DirectoryTouched(const KeyNode *key)
{
    const int64_t was = std::exchange(key->modified, kTimeUnknown);
    KeyInfo      *up = KeptToChange(key->parent);
    if (!up) return;  // the time is read when it is next asked for
    const auto now = KeyModifiedAt(key);
    if (!now || !MoveLastWrite(*up, was, *now, true, true)) g_kept.erase(key->parent->identity);
}

}  // namespace

void StopKeepingKeyInfo() noexcept
{
    g_keeping = false;
    g_kept.clear();
}

const KeyInfo *KeptKeyInfo(uint64_t identity) noexcept
{
    const auto found = g_kept.find(identity);
    return found == g_kept.end() ? nullptr : &found->second;
}

void KeepKeyInfo(uint64_t identity, const KeyInfo &info) noexcept
{
    if (!g_keeping) return;
    try {
        g_kept.insert_or_assign(identity, info);
    } catch (...) {  // out of memory: the answer is read from disk again next time
    }
}

void ForgetKeyInfo(uint64_t identity) noexcept
{
    g_kept.erase(identity);
}

void KeyDirectoryChanged(const KeyNode *key) noexcept
{
    key->modified = kTimeUnknown;
    ForgetKeyInfo(key->identity);
    if (key->parent) ForgetKeyInfo(key->parent->identity);  // the parent's answer holds this directory's time
}

void ValueEntryChanged(const KeyNode *key, std::string_view name, const std::optional<ValueEntry> &before,
                       const std::optional<ValueEntry> &after) noexcept
{
    DirectoryTouched(key);
    KeyInfo *info = KeptToChange(key);
    if (!info) return;
    // Removing a value removes its "V_" file, which other entries may have been read through.
    bool exact = before && after && (after->present || info->only_value_files);
    if (exact) {
        const auto length = static_cast<uint32_t>(name.size());
        info->values = info->values + after->present - before->present;
        if (after->present)
            info->longest_value_name = std::max(info->longest_value_name, length);
        else if (before->present && length == info->longest_value_name)
            exact = false;
        if (after->present && after->stored >= info->largest)
            info->largest = after->stored;
        else if (before->present && before->stored >= info->largest)
            exact = false;
        exact = exact && MoveLastWrite(*info, before->present ? before->modified : kTimeUnknown, after->modified,
                                       before->present, after->present);
    }
    if (!exact) g_kept.erase(key->identity);
}

void SubkeyAdded(const KeyNode *parent, const KeyNode *child) noexcept
{
    if (KeyInfo *info = KeptToChange(parent)) {
        const auto made = KeyModifiedAt(child);
        ++info->subkeys;
        info->longest_subkey = std::max(info->longest_subkey, static_cast<uint32_t>(std::strlen(KeyName(child))));
        if (!made || !MoveLastWrite(*info, kTimeUnknown, *made, false, true)) g_kept.erase(parent->identity);
    }
    DirectoryTouched(parent);
}

void SubkeyRemoved(const KeyNode *parent, const KeyNode *child) noexcept
{
    if (KeyInfo *info = KeptToChange(parent)) {
        --info->subkeys;
        if (std::strlen(KeyName(child)) >= info->longest_subkey ||
            !MoveLastWrite(*info, child->modified, kTimeUnknown, true, false))
            g_kept.erase(parent->identity);
    }
    DirectoryTouched(parent);
}

void KeepModifiedAt(const KeyNode *key, time_t modified) noexcept
{
    if (g_keeping) key->modified = modified;
}

std::optional<time_t> KeyModifiedAt(const KeyNode *key) noexcept
{
    if (g_keeping && key->modified != kTimeUnknown) return static_cast<time_t>(key->modified);
    RegPath     path;
    struct stat st {};
    if (!GetRegFullPath(key, path) || stat(path.text, &st) != 0) return std::nullopt;
    KeepModifiedAt(key, st.st_mtime);
    return st.st_mtime;
}
