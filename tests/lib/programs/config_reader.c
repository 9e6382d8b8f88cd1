/* config_reader.c: a UNICODE NT program that keeps its settings below HKEY_CURRENT_USER and reads
 * them back with RegGetValue, written as for windows.h and built with -DUNICODE -D_UNICODE. */
#include <kstnt.h>

#define APP_KEY TEXT("Software\\Orn\\Viewer")

static LSTATUS WriteDefaults(void)
{
    HKEY        key;
    DWORD       disposition, width = 1280;
    const TCHAR title[] = TEXT("Gr\u00FC\u00DFe, \u4E16\u754C");
    const TCHAR cache[] = TEXT("%VIEWER_HOME%\\cache");
    const TCHAR recent[] = TEXT("alpha\0beta\0");
    LSTATUS     rc = RegCreateKeyEx(HKEY_CURRENT_USER, APP_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS | KEY_WOW64_64KEY, NULL, &key, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    _tprintf(_T("%s\n"), disposition == REG_CREATED_NEW_KEY ? _T("created") : _T("opened"));
    RegSetValueEx(key, TEXT("Title"), 0, REG_SZ, (const BYTE *)title, sizeof title);
    RegSetValueEx(key, TEXT("Width"), 0, REG_DWORD, (const BYTE *)&width, sizeof width);
    RegSetValueEx(key, TEXT("Cache"), 0, REG_EXPAND_SZ, (const BYTE *)cache, sizeof cache);
    rc = RegSetValueEx(key, TEXT("Recent"), 0, REG_MULTI_SZ, (const BYTE *)recent, sizeof recent);
    RegCloseKey(key);
    return rc;
}

int _tmain(int argc, _TCHAR *argv[])
{
    TCHAR   text[64];
    DWORD   size = sizeof text, type, width = 0;
    LSTATUS rc = WriteDefaults();
    if (rc != ERROR_SUCCESS) {
        _tprintf(_T("cannot write the defaults: %ld\n"), (long)rc);
        return 1;
    }
    if (argc > 1) _tprintf(_T("user %s (%u characters)\n"), argv[1], (unsigned)lstrlen(argv[1]));

    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Title"), RRF_RT_REG_SZ, &type, text, &size);
    _tprintf(_T("Title %ld type %lu: %s (%lu bytes)\n"), (long)rc, (unsigned long)type, text, (unsigned long)size);

    size = sizeof width;
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Width"), RRF_RT_DWORD, NULL, &width, &size);
    _tprintf(_T("Width %ld: %lu\n"), (long)rc, (unsigned long)width);
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Width"), RRF_RT_REG_SZ, NULL, NULL, NULL);
    _tprintf(_T("Width as text %ld\n"), (long)rc);

    size = sizeof text;
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Cache"), RRF_RT_REG_SZ, &type, text, &size);
    _tprintf(_T("Cache %ld type %lu: %s\n"), (long)rc, (unsigned long)type, text);
    size = sizeof text;
    rc =
        RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Cache"), RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, text, &size);
    _tprintf(_T("Cache unexpanded %ld type %lu: %s\n"), (long)rc, (unsigned long)type, text);

    size = 0;
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Recent"), RRF_RT_REG_MULTI_SZ, NULL, NULL, &size);
    _tprintf(_T("Recent needs %lu bytes (%ld)\n"), (unsigned long)size, (long)rc);
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Recent"), RRF_RT_REG_MULTI_SZ, NULL, text, &size);
    for (const TCHAR *item = text; rc == ERROR_SUCCESS && *item; item += _tcslen(item) + 1)
        _tprintf(_T("recent: %s\n"), item);

    size = sizeof text;
    lstrcpy(text, TEXT("stale"));
    rc = RegGetValue(HKEY_CURRENT_USER, APP_KEY, TEXT("Missing"), RRF_RT_ANY | RRF_ZEROONFAILURE, NULL, text, &size);
    _tprintf(_T("Missing %ld, buffer now \"%s\"\n"), (long)rc, text);
    return 0;
}
