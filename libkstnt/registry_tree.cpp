// registry_tree.cpp: the registry calls NT builds from the basic ones: RegGetValue, RegSetKeyValue,
// the legacy RegQueryValue and RegSetValue, RegDeleteTree and RegCopyTree, A and W.
//
// The tree calls list a key's subkeys and values before they change anything, so that a daemon that
// answers oddly can make them fail but never loop.
#include "libkstnt/chars.h"
#include "libkstnt/registry.h"

#include <array>
#include <cstdlib>
#include <vector>

namespace kstnt {
namespace {

uint64_t WordOf(HKEY key)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
}

// The key itself for an empty subkey, else the subkey opened.
LONG OpenSub(HKEY parent, uint64_t key, std::string_view sub, uint64_t &out)
{
    HKEY opened = nullptr;
    if (const LONG rc = OpenKey(parent, key, sub, &opened)) return rc;
    out = opened == parent ? key : WordOf(opened);
    return ERROR_SUCCESS;
}

// Every subkey name, or every value name, of a key as the daemon enumerates them.
LONG ListNames(uint64_t key, bool values, std::vector<std::string> &names)
{
    for (DWORD index = 0;; ++index) {
        std::string name;
        Value       value;
        uint64_t    written = 0;
        const LONG  rc = values ? EnumValue(key, index, name, value) : EnumKey(key, index, name, written);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc) return rc;
        names.push_back(std::move(name));
    }
}

// Removes everything below a key: each subkey's own tree, then the subkey, then the values. The value
// with the empty name never shows in an enumeration and is deleted by name.
LONG ClearTree(uint64_t key)
{
    std::vector<std::string> subs, values;
    if (const LONG rc = ListNames(key, false, subs)) return rc;
    for (const std::string &sub : subs) {
        uint64_t child = 0;
        if (const LONG rc = OpenSub(nullptr, key, sub, child)) return rc;
        if (const LONG rc = ClearTree(child)) return rc;
        if (const LONG rc = DeleteKey(key, sub)) return rc;
    }
    if (const LONG rc = ListNames(key, true, values)) return rc;
    values.emplace_back();
    for (const std::string &name : values)
        if (const LONG rc = DeleteValue(key, name)) return rc;
    return ERROR_SUCCESS;
}

// Copies a key's values, the unnamed one included, and its subkeys' trees into another key.
LONG CopyTree(uint64_t from, uint64_t to)
{
    std::vector<std::string> subs, values;
    if (const LONG rc = ListNames(from, true, values)) return rc;
    values.emplace_back();
    for (const std::string &name : values) {
        Value      value;
        const LONG rc = QueryValue(from, name, value);
        if (rc == ERROR_FILE_NOT_FOUND && name.empty()) continue;
        if (rc) return rc;
        if (const LONG set = SetValue(to, name, value.type, value.data)) return set;
    }
    if (const LONG rc = ListNames(from, false, subs)) return rc;
    for (const std::string &sub : subs) {
        uint64_t child = 0;
        HKEY     created = nullptr;
        if (const LONG rc = OpenSub(nullptr, from, sub, child)) return rc;
        if (const LONG rc = CreateKey(nullptr, to, sub, &created, nullptr)) return rc;
        if (const LONG rc = CopyTree(child, WordOf(created))) return rc;
    }
    return ERROR_SUCCESS;
}

// The RRF_RT_* bit of a type; 0 for the types only RRF_RT_ANY accepts.
DWORD TypeBit(DWORD type)
{
    constexpr std::array<DWORD, 12> kBits{RRF_RT_REG_NONE,
                                          RRF_RT_REG_SZ,
                                          RRF_RT_REG_EXPAND_SZ,
                                          RRF_RT_REG_BINARY,
                                          RRF_RT_REG_DWORD,
                                          0,
                                          0,
                                          RRF_RT_REG_MULTI_SZ,
                                          0,
                                          0,
                                          0,
                                          RRF_RT_REG_QWORD};
    return type < kBits.size() ? kBits[type] : 0;
}

// Whether RegGetValue's flags accept a value: ERROR_UNSUPPORTED_TYPE for a type they exclude, and
// ERROR_DATATYPE_MISMATCH for REG_BINARY of the wrong size under RRF_RT_DWORD or RRF_RT_QWORD alone.
LONG Accepts(DWORD flags, const Value &value)
{
    const DWORD types = flags & RRF_RT_ANY;
    if (types == RRF_RT_ANY) return ERROR_SUCCESS;
    if (!(types & TypeBit(value.type))) return ERROR_UNSUPPORTED_TYPE;
    const std::size_t expected = types == RRF_RT_DWORD ? 4 : types == RRF_RT_QWORD ? 8 : 0;
    if (value.type == REG_BINARY && expected && value.data.size() != expected) return ERROR_DATATYPE_MISMATCH;
    return ERROR_SUCCESS;
}

// %NAME% replaced by the environment's NAME, as ExpandEnvironmentStrings does; a name that is not set
// stays as written. The text ends at its first NUL.
std::string Expand(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::string out;
    while (!text.empty()) {
        const std::size_t open = text.find('%');
        const std::size_t close = open == text.npos ? text.npos : text.find('%', open + 1);
        if (close == text.npos) break;
        out += text.substr(0, open);
        const std::string name(text.substr(open + 1, close - open - 1));
        const char       *value = name.empty() ? nullptr : getenv(name.c_str());
        if (value) {
            out += value;
            text.remove_prefix(close + 1);
        } else {
            out += text.substr(open, close - open);  // the closing % may open the next name
            text.remove_prefix(close);
        }
    }
    return out += text;
}

// String data as RegGetValue returns it: terminated once, a REG_MULTI_SZ twice.
void Terminate(Value &value)
{
    if (!IsStringType(value.type)) return;
    if (value.data.empty() || value.data.back() != '\0') value.data += '\0';
    if (value.type == REG_MULTI_SZ && (value.data.size() < 2 || value.data[value.data.size() - 2] != '\0'))
        value.data += '\0';
}

// RegGetValue after the arguments are checked: the value as the flags want it, in the caller's form.
template <class C>
LONG GetValue(HKEY hKey, uint64_t key, const C *lpSubKey, const C *lpValue, DWORD dwFlags, LPDWORD pdwType,
              PVOID pvData, LPDWORD pcbData)
{
    std::string sub, name, data;
    uint64_t    holder = 0;
    Value       value;
    if (const LONG rc = In(lpSubKey, sub)) return rc;
    if (const LONG rc = In(lpValue, name)) return rc;
    if (const LONG rc = OpenSub(hKey, key, sub, holder)) return rc;
    if (const LONG rc = QueryValue(holder, name, value)) return rc;
    // The filter sees the type the caller will get: an expanded REG_EXPAND_SZ is a REG_SZ.
    if (value.type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) value = {REG_SZ, Expand(value.data)};
    if (const LONG rc = Accepts(dwFlags, value)) return rc;
    Terminate(value);
    if (const LONG rc = DataOut<C>(value.type, value.data, data)) return rc;
    const LONG rc = StoreData(data, static_cast<LPBYTE>(pvData), pcbData);
    if (pdwType) *pdwType = value.type;
    return rc;
}

template <class C>
LONG GetValueT(HKEY hKey, const C *lpSubKey, const C *lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
               LPDWORD pcbData)
{
    const DWORD types = dwFlags & RRF_RT_ANY;
    // Asking for REG_EXPAND_SZ alone means asking for it unexpanded.
    if ((pvData && !pcbData) || types == 0 ||
        ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) && types != RRF_RT_ANY))
        return ERROR_INVALID_PARAMETER;
    const DWORD capacity = pvData ? *pcbData : 0;
    const LONG  rc = OnKey(
         hKey, [&](uint64_t key) { return GetValue(hKey, key, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData); });
    if (rc && (dwFlags & RRF_ZEROONFAILURE) && pvData) memset(pvData, 0, capacity);
    return rc;
}

template <class C>
LONG SetKeyValueT(HKEY hKey, const C *lpSubKey, const C *lpValueName, DWORD dwType, LPCVOID lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub, name, data;
        HKEY        holder = nullptr;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        if (const LONG rc = In(lpValueName, name)) return rc;
        if (const LONG rc = DataIn<C>(dwType, static_cast<const BYTE *>(lpData), cbData, data)) return rc;
        if (const LONG rc = CreateKey(hKey, key, sub, &holder, nullptr)) return rc;
        return SetValue(holder == hKey ? key : WordOf(holder), name, dwType, data);
    });
}

// The unnamed value of a subkey as a string; a subkey without one reads as the empty string.
template <class C> LONG QueryLegacyT(HKEY hKey, const C *lpSubKey, C *lpData, PLONG lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub, data;
        uint64_t    holder = 0;
        Value       value{REG_SZ, {}};
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        if (const LONG rc = OpenSub(hKey, key, sub, holder)) return rc;
        const LONG rc = QueryValue(holder, "", value);
        if (rc && rc != ERROR_FILE_NOT_FOUND) return rc;
        value.type = REG_SZ;
        Terminate(value);
        if (const LONG out = DataOut<C>(REG_SZ, value.data, data)) return out;
        DWORD      size = lpcbData ? static_cast<DWORD>(*lpcbData) : 0;
        const LONG stored = StoreData(data, reinterpret_cast<LPBYTE>(lpData), lpcbData ? &size : nullptr);
        if (lpcbData) *lpcbData = static_cast<LONG>(size);
        return stored;
    });
}

// Sets the unnamed value of a subkey, created when missing, to a string; only REG_SZ is accepted, and
// the string's own length counts, not cbData.
template <class C> LONG SetLegacyT(HKEY hKey, const C *lpSubKey, DWORD dwType, const C *lpData)
{
    if (dwType != REG_SZ || !lpData) return ERROR_INVALID_PARAMETER;
    const std::size_t bytes = (std::char_traits<C>::length(lpData) + 1) * sizeof(C);
    return SetKeyValueT<C>(hKey, lpSubKey, nullptr, REG_SZ, lpData, static_cast<DWORD>(bytes));
}

template <class C> LONG DeleteTreeT(HKEY hKey, const C *lpSubKey)
{
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub;
        uint64_t    holder = 0;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        if (const LONG rc = OpenSub(hKey, key, sub, holder)) return rc;
        if (const LONG rc = ClearTree(holder)) return rc;
        return lpSubKey && holder != key ? DeleteKey(key, sub) : ERROR_SUCCESS;
    });
}

template <class C> LONG CopyTreeT(HKEY hKeySrc, const C *lpSubKey, HKEY hKeyDest)
{
    return OnKey(hKeySrc, [&](uint64_t key) -> LONG {
        std::string sub;
        uint64_t    from = 0, to = 0;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        if (const LONG rc = OpenSub(hKeySrc, key, sub, from)) return rc;
        if (const LONG rc = ResolveKey(hKeyDest, to)) return rc;
        return CopyTree(from, to);
    });
}

}  // namespace
}  // namespace kstnt

using namespace kstnt;

extern "C" {

KSTNT_API LONG WINAPI RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                                   PVOID pvData, LPDWORD pcbData)
{
    return GetValueT(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData);
}
KSTNT_API LONG WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                                   PVOID pvData, LPDWORD pcbData)
{
    return GetValueT(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData);
}

KSTNT_API LONG WINAPI RegSetKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType, LPCVOID lpData,
                                      DWORD cbData)
{
    return SetKeyValueT(hKey, lpSubKey, lpValueName, dwType, lpData, cbData);
}
KSTNT_API LONG WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData,
                                      DWORD cbData)
{
    return SetKeyValueT(hKey, lpSubKey, lpValueName, dwType, lpData, cbData);
}

KSTNT_API LONG WINAPI RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData)
{
    return QueryLegacyT(hKey, lpSubKey, lpData, lpcbData);
}
KSTNT_API LONG WINAPI RegQueryValueW(HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData)
{
    return QueryLegacyT(hKey, lpSubKey, lpData, lpcbData);
}

KSTNT_API LONG WINAPI RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD)
{
    return SetLegacyT(hKey, lpSubKey, dwType, lpData);
}
KSTNT_API LONG WINAPI RegSetValueW(HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD)
{
    return SetLegacyT(hKey, lpSubKey, dwType, lpData);
}

KSTNT_API LONG WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey)
{
    return DeleteTreeT(hKey, lpSubKey);
}
KSTNT_API LONG WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey)
{
    return DeleteTreeT(hKey, lpSubKey);
}

KSTNT_API LONG WINAPI RegCopyTreeA(HKEY hKeySrc, LPCSTR lpSubKey, HKEY hKeyDest)
{
    return CopyTreeT(hKeySrc, lpSubKey, hKeyDest);
}
KSTNT_API LONG WINAPI RegCopyTreeW(HKEY hKeySrc, LPCWSTR lpSubKey, HKEY hKeyDest)
{
    return CopyTreeT(hKeySrc, lpSubKey, hKeyDest);
}
}
