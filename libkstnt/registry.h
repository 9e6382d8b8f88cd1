// registry.h: the registry operations of libkstnt on the daemon's UTF-8 names, under the A and W
// functions (registry_api.cpp) and the tree calls built from them (registry_tree.cpp).
//
// Each operation takes the key twice: as the caller's HKEY and as the daemon's word for it (OnKey
// resolves a predefined key, the per-user roots included, before the operation runs).
#pragma once

#include "libkstnt/session.h"

#include <string>
#include <string_view>

namespace kstnt {

// A value as the daemon stores it.
struct Value {
    DWORD       type = REG_NONE;  // as written
    std::string data;             // the stored bytes: UTF-8 for string types
};

// What RegQueryInfoKey reports, in the daemon's units (bytes).
struct KeyInfo {
    DWORD    sub_keys = 0;        // subkeys of the key
    DWORD    max_sub_key = 0;     // bytes of the longest subkey name
    DWORD    values = 0;          // values of the key
    DWORD    max_value_name = 0;  // bytes of the longest value name
    DWORD    max_value = 0;       // bytes of the largest value
    uint64_t written = 0;         // last write, seconds since 1970
};

// The daemon's word for a key, resolving the predefined keys; ERROR_INVALID_HANDLE for NULL.
LONG ResolveKey(HKEY key, uint64_t &word);
// Forgets a per-user root's word; false for any other key.
bool ForgetUserRoot(HKEY key) noexcept;
// Runs body(word) on the resolved key, behind GuardReg. A per-user root whose key the daemon no longer
// knows (it was restarted, or the key deleted) is created again and the body run once more: the
// refusal of the key came before the body changed anything.
template <class Body> LONG OnKey(HKEY key, Body body)
{
    return GuardReg([&]() -> LONG {
        for (int attempt = 0;; ++attempt) {
            uint64_t word = 0;
            if (const LONG rc = ResolveKey(key, word)) return rc;
            const LONG rc = body(word);
            if (rc != ERROR_INVALID_HANDLE || attempt > 0 || !ForgetUserRoot(key)) return rc;
        }
    });
}

LONG OpenKey(HKEY parent, uint64_t key, std::string_view sub, PHKEY result);
LONG CreateKey(HKEY parent, uint64_t key, std::string_view sub, PHKEY result, LPDWORD disposition);
LONG DeleteKey(uint64_t key, std::string_view sub);
LONG SetValue(uint64_t key, std::string_view name, DWORD type, std::string_view data);
LONG QueryValue(uint64_t key, std::string_view name, Value &out);
LONG DeleteValue(uint64_t key, std::string_view name);
// The index-th subkey's name; ERROR_NO_MORE_ITEMS past the last.
LONG EnumKey(uint64_t key, DWORD index, std::string &name, uint64_t &written);
// The index-th value; ERROR_NO_MORE_ITEMS past the last.
LONG EnumValue(uint64_t key, DWORD index, std::string &name, Value &out);
LONG QueryInfo(uint64_t key, KeyInfo &out);
// Seconds since 1970 as a FILETIME (100 ns since 1601); nothing for NULL.
void StoreTime(PFILETIME out, uint64_t seconds);

}  // namespace kstnt
