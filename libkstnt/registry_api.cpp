// registry_api.cpp: the A and W registry functions, each pair one template over the caller's
// character type (chars.h) on the operations of registry.cpp.
#include "libkstnt/chars.h"
#include "libkstnt/registry.h"

namespace kstnt {
namespace {

template <class C> LONG OpenKeyT(HKEY hKey, const C *lpSubKey, PHKEY phkResult)
{
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        return OpenKey(hKey, key, sub, phkResult);
    });
}

// RegCreateKeyEx needs a subkey; the legacy RegCreateKey reads NULL as the key itself.
template <class C>
LONG CreateKeyT(HKEY hKey, const C *lpSubKey, PHKEY phkResult, LPDWORD lpdwDisposition, bool null_is_key = false)
{
    if (!lpSubKey && !null_is_key) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        return CreateKey(hKey, key, sub, phkResult, lpdwDisposition);
    });
}

template <class C> LONG DeleteKeyT(HKEY hKey, const C *lpSubKey)
{
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string sub;
        if (const LONG rc = In(lpSubKey, sub)) return rc;
        return DeleteKey(key, sub);
    });
}

template <class C> LONG DeleteValueT(HKEY hKey, const C *lpValueName)
{
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string name;
        if (const LONG rc = In(lpValueName, name)) return rc;
        return DeleteValue(key, name);
    });
}

template <class C> LONG SetValueExT(HKEY hKey, const C *lpValueName, DWORD dwType, const BYTE *lpData, DWORD cbData)
{
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string name, data;
        if (const LONG rc = In(lpValueName, name)) return rc;
        if (const LONG rc = DataIn<C>(dwType, lpData, cbData, data)) return rc;
        return SetValue(key, name, dwType, data);
    });
}

template <class C> LONG QueryValueExT(HKEY hKey, const C *lpValueName, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string name, data;
        Value       value;
        if (const LONG rc = In(lpValueName, name)) return rc;
        if (const LONG rc = QueryValue(key, name, value)) return rc;
        if (const LONG rc = DataOut<C>(value.type, value.data, data)) return rc;
        if (lpType) *lpType = value.type;
        return StoreData(data, lpData, lpcbData);
    });
}

// Keys have no class here: a class buffer is given the empty string.
template <class C> void StoreNoClass(C *lpClass, LPDWORD lpcchClass)
{
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = C(0);
    if (lpcchClass) *lpcchClass = 0;
}

template <class C>
LONG EnumKeyExT(HKEY hKey, DWORD dwIndex, C *lpName, LPDWORD lpcchName, C *lpClass, LPDWORD lpcchClass,
                PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string name;
        uint64_t    written = 0;
        if (const LONG rc = EnumKey(key, dwIndex, name, written)) return rc;
        if (const LONG rc = StoreName(name, lpName, lpcchName)) return rc;
        StoreNoClass(lpClass, lpcchClass);
        StoreTime(lpftLastWriteTime, written);
        return ERROR_SUCCESS;
    });
}

template <class C>
LONG EnumValueT(HKEY hKey, DWORD dwIndex, C *lpValueName, LPDWORD lpcchValueName, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        std::string name, data;
        Value       value;
        if (const LONG rc = EnumValue(key, dwIndex, name, value)) return rc;
        if (const LONG rc = StoreName(name, lpValueName, lpcchValueName)) return rc;
        if (const LONG rc = DataOut<C>(value.type, value.data, data)) return rc;
        if (lpType) *lpType = value.type;
        return StoreData(data, lpData, lpcbData);
    });
}

// The W form's maxima are upper bounds: a name has at most as many characters as UTF-8 bytes, and
// string data at most one wide character per stored byte.
template <class C>
LONG QueryInfoT(HKEY hKey, C *lpClass, LPDWORD lpcchClass, LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    return OnKey(hKey, [&](uint64_t key) -> LONG {
        KeyInfo info;
        if (const LONG rc = QueryInfo(key, info)) return rc;
        StoreNoClass(lpClass, lpcchClass);
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        if (lpcSubKeys) *lpcSubKeys = info.sub_keys;
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.max_sub_key;
        if (lpcValues) *lpcValues = info.values;
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.max_value_name;
        if (lpcbMaxValueLen) *lpcbMaxValueLen = info.max_value * static_cast<DWORD>(sizeof(C));
        StoreTime(lpftLastWriteTime, info.written);
        return ERROR_SUCCESS;
    });
}

}  // namespace
}  // namespace kstnt

using namespace kstnt;

extern "C" {

KSTNT_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return OpenKeyT(hKey, lpSubKey, phkResult);
}
KSTNT_API LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return OpenKeyT(hKey, lpSubKey, phkResult);
}

KSTNT_API LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    return OpenKeyT(hKey, lpSubKey, phkResult);
}
KSTNT_API LONG WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    return OpenKeyT(hKey, lpSubKey, phkResult);
}

KSTNT_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR                  lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                                      const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return CreateKeyT(hKey, lpSubKey, phkResult, lpdwDisposition);
}
KSTNT_API LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR                 lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                      const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return CreateKeyT(hKey, lpSubKey, phkResult, lpdwDisposition);
}

KSTNT_API LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    return CreateKeyT(hKey, lpSubKey, phkResult, nullptr, true);
}
KSTNT_API LONG WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    return CreateKeyT(hKey, lpSubKey, phkResult, nullptr, true);
}

KSTNT_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    return DeleteKeyT(hKey, lpSubKey);
}
KSTNT_API LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    return DeleteKeyT(hKey, lpSubKey);
}

// There is one view of the registry: samDesired (KEY_WOW64_*) selects nothing.
KSTNT_API LONG WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM, DWORD)
{
    return DeleteKeyT(hKey, lpSubKey);
}
KSTNT_API LONG WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD)
{
    return DeleteKeyT(hKey, lpSubKey);
}

KSTNT_API LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return DeleteValueT(hKey, lpValueName);
}
KSTNT_API LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return DeleteValueT(hKey, lpValueName);
}

KSTNT_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                                     DWORD cbData)
{
    return SetValueExT(hKey, lpValueName, dwType, lpData, cbData);
}
KSTNT_API LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                                     DWORD cbData)
{
    return SetValueExT(hKey, lpValueName, dwType, lpData, cbData);
}

KSTNT_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                       LPDWORD lpcbData)
{
    return QueryValueExT(hKey, lpValueName, lpType, lpData, lpcbData);
}
KSTNT_API LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                       LPDWORD lpcbData)
{
    return QueryValueExT(hKey, lpValueName, lpType, lpData, lpcbData);
}

KSTNT_API LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                                    LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    return EnumKeyExT(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}
KSTNT_API LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                                    LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    return EnumKeyExT(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

KSTNT_API LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    return EnumKeyExT<char>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr);
}
KSTNT_API LONG WINAPI RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName)
{
    return EnumKeyExT<wchar_t>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr);
}

KSTNT_API LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValueT(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}
KSTNT_API LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValueT(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}

KSTNT_API LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                       LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                       LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                       LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    return QueryInfoT(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                      lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}
KSTNT_API LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                       LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                       LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                       LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    return QueryInfoT(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                      lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}
}
