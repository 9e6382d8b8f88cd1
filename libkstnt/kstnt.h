/* kstnt.h: the NT-shaped client library of KSTntserver. Named events, mutexes and semaphores with
 * waits and time-outs, and the registry, under the names, types, results and argument lists that NT
 * declares for them, so a program written against NT is ported by changing its includes.
 *
 * Link with `pkg-config --cflags --libs kstnt`. Plain C (C99 and later) and C++.
 *
 * Every thread talks to the daemon over its own connection, opened on first use and closed when the
 * thread ends; mutex ownership therefore belongs to a thread, as on NT. Handles are valid from every
 * thread of the process. Object functions return a handle or BOOL and set the thread's last error;
 * registry functions return the error code. README.md lists the codes and how they map.
 */
#ifndef KSTNT_H
#define KSTNT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: only what is marked here is exported. */
#if defined(__GNUC__)
#define KSTNT_API __attribute__((visibility("default")))
#else
#define KSTNT_API
#endif

#ifndef WINAPI
#define WINAPI
#endif

/* Types, at the widths NT gives them. */
typedef int            BOOL;
typedef unsigned char  BYTE;
typedef char           CHAR;
typedef uint32_t       DWORD;
typedef int32_t        LONG;
typedef uint64_t       ULONGLONG;
typedef uintptr_t      ULONG_PTR;
typedef intptr_t       LONG_PTR;
typedef void          *LPVOID;
typedef void          *HANDLE;
typedef BOOL          *LPBOOL;
typedef BYTE          *LPBYTE;
typedef DWORD         *LPDWORD;
typedef DWORD         *PDWORD;
typedef LONG          *LPLONG;
typedef LONG          *PLONG;
typedef char          *LPSTR;
typedef const char    *LPCSTR;
typedef DWORD          REGSAM;
typedef DWORD          ACCESS_MASK;
typedef struct HKEY__ *HKEY;
typedef HKEY          *PHKEY;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD  nLength;
    LPVOID lpSecurityDescriptor;
    BOOL   bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* 100-nanosecond intervals since 1601-01-01 UTC, split in two. */
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260
#define MAXIMUM_WAIT_OBJECTS 64

/* Waits. */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
/* Never returned: the daemon hands a dead owner's mutex on silently. Defined so ported tests compile. */
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u

/* Error codes set by the object functions and returned by the registry functions. */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_CONNECTION_ABORTED 1236L
#define ERROR_TIMEOUT 1460L

/* Access rights: accepted and ignored. */
#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define SEMAPHORE_MODIFY_STATE 0x0002u
#define SEMAPHORE_ALL_ACCESS 0x001F0003u
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_EXECUTE 0x00020019u
#define KEY_ALL_ACCESS 0x000F003Fu

/* The two root keys the daemon keeps. */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)(LONG_PTR)(-0x7FFFFFFF - 1))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)(LONG_PTR)(-0x7FFFFFFF + 1))

/* Value types, stored as given. */
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
#define REG_QWORD_LITTLE_ENDIAN 11u

#define REG_OPTION_RESERVED 0x0000u
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_CREATED_NEW_KEY 0x0001u
#define REG_OPENED_EXISTING_KEY 0x0002u

/* Notify filters: accepted; every value write counts as a change. */
#define REG_NOTIFY_CHANGE_NAME 0x0001u
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x0002u
#define REG_NOTIFY_CHANGE_LAST_SET 0x0004u
#define REG_NOTIFY_CHANGE_SECURITY 0x0008u

/* Limits the daemon's records impose; longer arguments are refused before anything is sent. */
#define KSTNT_MAX_OBJECT_NAME 64 /* bytes of an event, mutex or semaphore name */
#define KSTNT_MAX_KEY_NAME 255   /* bytes of a subkey path or value name */
#define KSTNT_MAX_VALUE_DATA 508 /* bytes of one value */
#define KSTNT_MAX_PATH 4095      /* bytes of a key's full path on the daemon's disk */

/* Synchronisation objects. */
KSTNT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                     LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API BOOL WINAPI   SetEvent(HANDLE hEvent);
KSTNT_API BOOL WINAPI   ResetEvent(HANDLE hEvent);
KSTNT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API BOOL WINAPI   ReleaseMutex(HANDLE hMutex);
KSTNT_API HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                         LONG lMaximumCount, LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API BOOL WINAPI   ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);
KSTNT_API BOOL WINAPI   CloseHandle(HANDLE hObject);
KSTNT_API DWORD WINAPI  WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
KSTNT_API DWORD WINAPI  WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds);
KSTNT_API DWORD WINAPI  GetLastError(void);
KSTNT_API void WINAPI   SetLastError(DWORD dwErrCode);

/* Registry. */
KSTNT_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
KSTNT_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                      REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                      PHKEY phkResult, LPDWORD lpdwDisposition);
KSTNT_API LONG WINAPI RegCloseKey(HKEY hKey);
KSTNT_API LONG WINAPI RegFlushKey(HKEY hKey);
KSTNT_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
KSTNT_API LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
KSTNT_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                                     DWORD cbData);
KSTNT_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                       LPDWORD lpcbData);
KSTNT_API LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                    LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
KSTNT_API LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                    LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
KSTNT_API LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                       LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                       LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                       LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
KSTNT_API LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                              BOOL fAsynchronous);

/* The names NT programs write. A C++ file that also uses other classes with these member names may
 * define KSTNT_NO_NAME_MACROS and call the suffixed functions. */
#ifndef KSTNT_NO_NAME_MACROS
#define CreateEvent CreateEventA
#define OpenEvent OpenEventA
#define CreateMutex CreateMutexA
#define OpenMutex OpenMutexA
#define CreateSemaphore CreateSemaphoreA
#define OpenSemaphore OpenSemaphoreA
#define RegOpenKeyEx RegOpenKeyExA
#define RegCreateKeyEx RegCreateKeyExA
#define RegDeleteKey RegDeleteKeyA
#define RegDeleteValue RegDeleteValueA
#define RegSetValueEx RegSetValueExA
#define RegQueryValueEx RegQueryValueExA
#define RegEnumKeyEx RegEnumKeyExA
#define RegEnumValue RegEnumValueA
#define RegQueryInfoKey RegQueryInfoKeyA
#endif

#ifdef __cplusplus
}
#endif

#endif /* KSTNT_H */
