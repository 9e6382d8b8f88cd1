/* tree_watch.c: an NT program that watches its jobs key for changes and clears it with RegDeleteTree. */
#include <kstnt.h>

static void ListSubkeys(HKEY key)
{
    char  name[MAX_PATH];
    DWORD index;
    for (index = 0;; ++index) {
        DWORD   length = sizeof name;
        LSTATUS rc = RegEnumKeyEx(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            printf("enumeration failed: %ld\n", (long)rc);
            return;
        }
        printf("subkey %s\n", name);
    }
    printf("%lu subkeys\n", (unsigned long)index);
}

int main(void)
{
    HKEY   jobs, sub;
    HANDLE changed = CreateEvent(NULL, FALSE, FALSE, NULL);
    DWORD  count = 3, values = 0;

    if (RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Orn\\Jobs", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &jobs, NULL) !=
        ERROR_SUCCESS)
        return 1;
    RegCreateKey(jobs, "Nightly\\Backup", &sub);
    RegSetValueEx(sub, "Count", 0, REG_DWORD, (const BYTE *)&count, sizeof count);
    RegCreateKey(jobs, "Weekly", &sub);
    RegSetValue(jobs, "Weekly", REG_SZ, "Sunday", 0);
    RegSetKeyValue(jobs, NULL, "Owner", REG_SZ, "ops", 4);

    if (RegNotifyChangeKeyValue(jobs, TRUE, REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC, changed, TRUE) !=
        ERROR_SUCCESS)
        return 2;
    printf("before the change: %s\n", WaitForSingleObject(changed, 0) == WAIT_TIMEOUT ? "quiet" : "signalled");
    RegSetKeyValue(jobs, "Nightly\\Backup", "State", REG_SZ, "done", 5);
    printf("after the change: %s\n", WaitForSingleObject(changed, 5000) == WAIT_OBJECT_0 ? "signalled" : "quiet");
    ListSubkeys(jobs);

    if (RegDeleteTree(jobs, NULL) != ERROR_SUCCESS) return 3;
    RegQueryInfoKey(jobs, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    printf("cleared, %lu values left\n", (unsigned long)values);
    ListSubkeys(jobs);
    RegCloseKey(jobs);
    printf("delete tree: %ld\n", (long)RegDeleteTree(HKEY_CURRENT_USER, "Software\\Orn\\Jobs"));
    printf("open again: %ld\n", (long)RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Orn\\Jobs", 0, KEY_READ, &jobs));
    CloseHandle(changed);
    return 0;
}
