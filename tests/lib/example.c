/* example.c: an NT-style program on libkstnt, built with `cc $(pkg-config --cflags --libs kstnt)`.
 * It goes once through the library's calls against a running daemon (mutexes are library_test's) and
 * exits with the number of results that differ from what NT documents (0: all as expected). */
#include <kstnt.h>

#include <stdio.h>
#include <string.h>

static int failures;

#define EXPECT(cond)                                                                                                   \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            printf("line %d: %s (last error %u)\n", __LINE__, #cond, (unsigned)GetLastError());                        \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

static void Objects(void)
{
    HANDLE ev = CreateEvent(NULL, FALSE, FALSE, "example.ready");
    EXPECT(ev != NULL && GetLastError() == ERROR_SUCCESS);
    HANDLE again = CreateEvent(NULL, FALSE, FALSE, "example.ready");
    EXPECT(again == ev && GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT(OpenEvent(EVENT_ALL_ACCESS, FALSE, "example.ready") == ev);
    EXPECT(OpenEvent(EVENT_ALL_ACCESS, FALSE, "example.none") == NULL && GetLastError() == ERROR_FILE_NOT_FOUND);

    HANDLE sem = CreateSemaphore(NULL, 1, 2, NULL);
    EXPECT(!ReleaseSemaphore(sem, 2, NULL) && GetLastError() == ERROR_TOO_MANY_POSTS);
    EXPECT(CreateSemaphore(NULL, 3, 2, NULL) == NULL && GetLastError() == ERROR_INVALID_PARAMETER);
    HANDLE both[2] = {ev, sem};
    EXPECT(WaitForMultipleObjects(2, both, FALSE, 0) == WAIT_OBJECT_0 + 1);
    EXPECT(WaitForMultipleObjects(2, both, FALSE, 10) == WAIT_TIMEOUT);
    EXPECT(ReleaseSemaphore(sem, 1, NULL) && SetEvent(ev));
    EXPECT(WaitForMultipleObjects(2, both, TRUE, 1000) == WAIT_OBJECT_0);

    /* Limits are refused before anything is sent. */
    char name[80];
    memset(name, 'n', sizeof name - 1);
    name[sizeof name - 1] = '\0';
    EXPECT(CreateEvent(NULL, TRUE, FALSE, name) == NULL && GetLastError() == ERROR_FILENAME_EXCED_RANGE);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (int i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i)
        many[i] = ev;
    EXPECT(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0) == WAIT_FAILED &&
           GetLastError() == ERROR_INVALID_PARAMETER);

    EXPECT(CloseHandle(sem) && CloseHandle(ev));
    EXPECT(!CloseHandle(sem) && GetLastError() == ERROR_INVALID_HANDLE);
}

static void Registry(void)
{
    HKEY  key = NULL, same = NULL;
    DWORD disposition = 0;
    EXPECT(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Example\\Deep", 0, NULL, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, NULL, &key, &disposition) == ERROR_SUCCESS &&
           disposition == REG_CREATED_NEW_KEY);
    EXPECT(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\example\\deep", 0, NULL, 0, KEY_READ, NULL, &same,
                          &disposition) == ERROR_SUCCESS &&
           disposition == REG_OPENED_EXISTING_KEY && same == key);
    EXPECT(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Example", 0, KEY_READ, &same) == ERROR_SUCCESS);
    EXPECT(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Missing", 0, KEY_READ, &same) == ERROR_FILE_NOT_FOUND);

    const char text[] = "hello";
    BYTE       big[KSTNT_MAX_VALUE_DATA], back[KSTNT_MAX_VALUE_DATA + 1];
    for (size_t i = 0; i < sizeof big; ++i)
        big[i] = (BYTE)i;
    EXPECT(RegSetValueEx(key, "Greeting", 0, REG_SZ, (const BYTE *)text, sizeof text) == ERROR_SUCCESS);
    EXPECT(RegSetValueEx(key, "Blob", 0, REG_BINARY, big, sizeof big) == ERROR_SUCCESS);
    EXPECT(RegSetValueEx(key, "Blob", 0, REG_BINARY, big, sizeof big + 1) == ERROR_INVALID_PARAMETER);

    DWORD type = 0, size = 0;
    EXPECT(RegQueryValueEx(key, "greeting", NULL, &type, NULL, &size) == ERROR_SUCCESS && type == REG_SZ &&
           size == sizeof text);
    size = 2;
    EXPECT(RegQueryValueEx(key, "Greeting", NULL, NULL, back, &size) == ERROR_MORE_DATA && size == sizeof text);
    size = sizeof back;
    EXPECT(RegQueryValueEx(key, "Blob", NULL, &type, back, &size) == ERROR_SUCCESS && size == sizeof big &&
           memcmp(back, big, sizeof big) == 0);

    DWORD subkeys = 9, values = 9, longest_name = 0, longest_data = 0;
    EXPECT(RegQueryInfoKey(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, &longest_name, &longest_data, NULL,
                           NULL) == ERROR_SUCCESS &&
           subkeys == 0 && values == 2 && longest_name == 8 && longest_data == sizeof big);
    char  name[KSTNT_MAX_KEY_NAME + 2];
    DWORD index = 0, chars = sizeof name;
    for (; RegEnumValue(key, index, name, &chars, NULL, NULL, NULL, NULL) == ERROR_SUCCESS; chars = sizeof name)
        ++index;
    EXPECT(index == 2);
    FILETIME written;
    chars = sizeof name;
    EXPECT(RegEnumKeyEx(same, 0, name, &chars, NULL, NULL, NULL, &written) == ERROR_SUCCESS &&
           strcmp(name, "DEEP") == 0);
    chars = sizeof name;
    EXPECT(RegEnumKeyEx(same, 1, name, &chars, NULL, NULL, NULL, NULL) == ERROR_NO_MORE_ITEMS);

    /* Change notification through an event. */
    HANDLE changed = CreateEvent(NULL, TRUE, FALSE, NULL);
    EXPECT(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) == ERROR_SUCCESS);
    EXPECT(WaitForSingleObject(changed, 0) == WAIT_TIMEOUT);
    EXPECT(RegSetValueEx(key, "Greeting", 0, REG_SZ, (const BYTE *)text, sizeof text) == ERROR_SUCCESS);
    EXPECT(WaitForSingleObject(changed, 5000) == WAIT_OBJECT_0);

    /* Names over 255 bytes and paths the daemon could not build are refused here. */
    HKEY level = HKEY_LOCAL_MACHINE, next;
    int  depth = 0;
    memset(name, 'k', KSTNT_MAX_KEY_NAME + 1);
    name[KSTNT_MAX_KEY_NAME + 1] = '\0';
    EXPECT(RegOpenKeyEx(level, name, 0, KEY_READ, &next) == ERROR_FILENAME_EXCED_RANGE);
    name[KSTNT_MAX_KEY_NAME] = '\0';
    LONG rc;
    for (; (rc = RegCreateKeyEx(level, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &next, NULL)) == ERROR_SUCCESS; ++depth)
        level = next;
    EXPECT(rc == ERROR_FILENAME_EXCED_RANGE && depth == 15);
    EXPECT(RegDeleteKey(HKEY_LOCAL_MACHINE, name) == ERROR_SUCCESS);

    EXPECT(RegDeleteValue(key, "Greeting") == ERROR_SUCCESS);
    EXPECT(RegQueryValueEx(key, "Greeting", NULL, NULL, NULL, &size) == ERROR_FILE_NOT_FOUND);
    EXPECT(RegCloseKey(key) == ERROR_SUCCESS && RegFlushKey(same) == ERROR_SUCCESS);
    EXPECT(RegDeleteKey(HKEY_LOCAL_MACHINE, "Software\\Example") == ERROR_SUCCESS);
    EXPECT(RegSetValueEx(key, "Gone", 0, REG_SZ, (const BYTE *)text, sizeof text) == ERROR_INVALID_HANDLE);
}

int main(void)
{
    Objects();
    Registry();
    printf("%d unexpected results\n", failures);
    return failures;
}
