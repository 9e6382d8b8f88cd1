// key_info.cpp: the kept answers of RegQueryInfoKey, by key identity, and the kept directory times.
#include "registry/key_info.h"

#include <sys/stat.h>

#include <unordered_map>

namespace {

bool                                  g_keeping = true;
std::unordered_map<uint64_t, KeyInfo> g_kept;  // only keys asked about since their last change

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
