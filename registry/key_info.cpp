// key_info.cpp: the kept answers of RegQueryInfoKey, by key identity, and how each change on the feed
// moves them on or forgets them (key_info.h).
#include "registry/key_info.h"

#include "registry/feed.h"
#include "registry/watch.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

std::unordered_map<uint64_t, KeyInfo> g_kept;  // only keys asked about since an answer was last forgotten

KeyInfo *KeptToChange(const KeyNode *key)
{
    if (!key) return nullptr;
    const auto found = g_kept.find(key->identity);
    return found == g_kept.end() ? nullptr : &found->second;
}

void Forget(const KeyNode *key)
{
    if (key) g_kept.erase(key->identity);
}

// The key's directory changed in a way not followed here: its answer goes, and its parent's, which
// holds the directory's time.
void ForgetWithParent(const KeyNode *key)
{
    Forget(key);
    if (key) Forget(key->parent);
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

// key's directory has changed by the daemon's hand: its parent's answer, which holds that time among its
// subkeys', follows. Its time before is not known, so it must only have moved forward past the newest.
void DirectoryTouched(const KeyNode *key)
{
    KeyInfo *up = KeptToChange(key->parent);
    if (!up) return;
    const auto now = DirectoryModifiedAt(key);
    if (!now || !MoveLastWrite(*up, kTimeUnknown, *now, true, true)) Forget(key->parent);
}

void ValueEntryChanged(const Change &change)
{
    const KeyNode *key = change.key;
    DirectoryTouched(key);
    KeyInfo *info = KeptToChange(key);
    if (!info) return;
    const auto &before = change.before, &after = change.after;
    // Removing a value removes its "V_" file, which other entries may have been read through.
    bool exact = before && after && (after->present || info->only_value_files);
    if (exact) {
        const auto length = static_cast<uint32_t>(change.name.size());
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
    if (!exact) Forget(key);
}

void SubkeyAdded(const KeyNode *parent, const KeyNode *child)
{
    if (KeyInfo *info = KeptToChange(parent)) {
        // The answer stays only while the new directory is watched as well as the old ones, from before
        // its time is read.
        const bool watched = WatchKeyDirectory(const_cast<KeyNode *>(child));
        const auto made = DirectoryModifiedAt(child);
        ++info->subkeys;
        info->longest_subkey = std::max(info->longest_subkey, static_cast<uint32_t>(std::strlen(KeyName(child))));
        if (!watched || !made || !MoveLastWrite(*info, kTimeUnknown, *made, false, true)) Forget(parent);
    }
    DirectoryTouched(parent);
}

void SubkeyRemoved(const KeyNode *parent, const KeyNode *child)
{
    if (KeyInfo *info = KeptToChange(parent)) {
        --info->subkeys;
        // The removed directory's time is not known: it may have been the newest.
        if (std::strlen(KeyName(child)) >= info->longest_subkey ||
            !MoveLastWrite(*info, kTimeUnknown, kTimeUnknown, true, false))
            Forget(parent);
    }
    DirectoryTouched(parent);
}

void OnChange(Change &change) noexcept
{
    switch (change.kind) {
    case ChangeKind::ValueWritten:
    case ChangeKind::ValueRemoved:
        if (change.foreign)
            ForgetWithParent(change.key);
        else
            ValueEntryChanged(change);
        return;
    case ChangeKind::SubkeyAdded:
        SubkeyAdded(change.key, change.child);
        return;
    case ChangeKind::SubkeyRemoved:
        SubkeyRemoved(change.key, change.child);
        return;
    case ChangeKind::DirectoryChanged:
        ForgetWithParent(change.key);
        return;
    case ChangeKind::KeyLeaving:
        Forget(change.key);
        return;
    case ChangeKind::Forgotten:
        g_kept.clear();
        return;
    }
}

}  // namespace

const KeyInfo *KeptKeyInfo(const KeyNode *key) noexcept
{
    if (g_kept.empty()) return nullptr;
    DrainChanges();  // what other programs did until now reaches the answers first
    KeyInfo *info = KeptToChange(key);
    if (!info) return nullptr;
    RegPath     path;
    struct stat st {};
    if (!GetRegFullPath(key, path) || stat(path.text, &st) != 0 || st.st_dev != info->device ||
        st.st_ino != info->inode) {
        Forget(key);
        return nullptr;
    }
    return info;
}

bool HasKeptKeyInfo(const KeyNode *key) noexcept
{
    return KeptToChange(key) != nullptr;
}

bool PrepareKeeping(KeyNode *key, KeyInfo &info) noexcept
{
    if (!WatchSubkeyDirectories(key)) return false;
    RegPath     path;
    struct stat st {};
    if (!GetRegFullPath(key, path) || stat(path.text, &st) != 0) return false;
    info.device = st.st_dev;
    info.inode = st.st_ino;
    return true;
}

void KeepKeyInfo(const KeyNode *key, const KeyInfo &info) noexcept
{
    try {
        g_kept.insert_or_assign(key->identity, info);
    } catch (...) {  // out of memory: the answer is read from disk again next time
    }
}

void SubscribeKeyInfo() noexcept
{
    SubscribeChanges(OnChange);
}
