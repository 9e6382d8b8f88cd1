/* kstnt.h: the NT-shaped client library of KSTntserver. Named events, mutexes and semaphores with
 * waits and time-outs, waitable threads, and the registry, under the names, types, results and
 * argument lists that NT declares for them, so a program written against NT is ported by replacing
 * its windows.h (winreg.h, tchar.h) by this header. The A and W forms follow UNICODE, the C runtime's
 * TCHAR names _UNICODE, as NT's headers choose them.
 *
 * Link with `pkg-config --cflags --libs kstnt`. Plain C (C99 and later) and C++.
 *
 * Every thread talks to the daemon over its own connection, opened on first use and closed when the
 * thread ends; mutex ownership therefore belongs to a thread, as on NT, and a thread's parked wait
 * holds up no other thread. Handles are valid from every thread of the process. Object functions
 * return a handle or BOOL and set the thread's last error; registry functions return the error code.
 * kstnt(3) lists the codes, the per-user root mapping, the text conversions and the differences from NT.
 */
#ifndef KSTNT_H
#define KSTNT_H

#include <stddef.h>
#include <stdint.h>
/* What a program that includes windows.h gets from the C library as well. */
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: only what is marked here is exported. */
#if defined(__GNUC__)
#define KSTNT_API __attribute__((visibility("default")))
#define KSTNT_NORETURN __attribute__((noreturn))
#define KSTNT_PRINTF(f, a) __attribute__((__format__(__printf__, f, a)))
#else
#define KSTNT_API
#define KSTNT_NORETURN
#define KSTNT_PRINTF(f, a)
#endif

#ifndef WINAPI
#define WINAPI
#endif
#ifndef APIENTRY
#define APIENTRY
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
/* NT code names its calling conventions; on this system's C ABI there is only one. */
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif
#ifndef WINAPIV
#define WINAPIV
#endif
#ifndef VOID
#define VOID void
#endif
#ifndef CONST
#define CONST const
#endif

/* Types, at the widths NT gives them. */
typedef int            BOOL;
typedef unsigned char  BYTE;
typedef unsigned char  BOOLEAN;
typedef char           CHAR;
typedef int            INT;
typedef unsigned int   UINT;
typedef short          SHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef uint32_t       DWORD;
typedef int32_t        LONG;
typedef uint32_t       ULONG;
typedef int64_t        LONGLONG;
typedef LONG           LSTATUS;
typedef uint64_t       ULONGLONG;
typedef uintptr_t      ULONG_PTR;
typedef intptr_t       LONG_PTR;
typedef intptr_t       INT_PTR;
typedef uintptr_t      UINT_PTR;
typedef uintptr_t      DWORD_PTR;
typedef size_t         SIZE_T;
typedef void          *PVOID;
typedef void          *LPVOID;
typedef const void    *LPCVOID;
typedef void          *HANDLE;
typedef HANDLE        *PHANDLE;
typedef HANDLE        *LPHANDLE;
typedef BOOL          *PBOOL;
typedef BOOL          *LPBOOL;
typedef BYTE          *PBYTE;
typedef BYTE          *LPBYTE;
typedef DWORD         *LPDWORD;
typedef DWORD         *PDWORD;
typedef LONG          *LPLONG;
typedef LONG          *PLONG;
typedef ULONG         *PULONG;
typedef USHORT        *PUSHORT;
typedef WORD          *PWORD;
typedef WORD          *LPWORD;
typedef char          *PSTR;
typedef char          *LPSTR;
typedef const char    *PCSTR;
typedef const char    *LPCSTR;

/* Wide text is the C library's wchar_t (one code point per unit here), so L"..." literals and the wcs*
 * functions work unchanged. The W functions carry it as UTF-8 on the wire; see kstnt(3). */
typedef wchar_t        WCHAR;
typedef WCHAR         *PWCHAR;
typedef WCHAR         *PWSTR;
typedef WCHAR         *LPWSTR;
typedef const WCHAR   *PCWSTR;
typedef const WCHAR   *LPCWSTR;
typedef DWORD          REGSAM;
typedef DWORD          ACCESS_MASK;
typedef struct HKEY__ *HKEY;
typedef HKEY          *PHKEY;

/* TCHAR text: wide when UNICODE is defined (the Win32 names, TCHAR, TEXT), and when _UNICODE is defined
 * (the C runtime's _TCHAR, _T, _tmain, _tcs*, _tprintf), as NT's headers choose them. */
#ifdef UNICODE
typedef WCHAR TCHAR;
#define KSTNT_TEXT(s) L##s
#define KSTNT_TNAME(n) n##W
#else
typedef char          TCHAR;
#define KSTNT_TEXT(s) s
#define KSTNT_TNAME(n) n##A
#endif
typedef TCHAR       *PTCHAR;
typedef TCHAR       *PTSTR;
typedef TCHAR       *LPTSTR;
typedef const TCHAR *PCTSTR;
typedef const TCHAR *LPCTSTR;
#define TEXT(s) KSTNT_TEXT(s)
#define __TEXT(s) KSTNT_TEXT(s)

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

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260
#define MAXIMUM_WAIT_OBJECTS 64

/* Waits. */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define WAIT_IO_COMPLETION 0x000000C0u /* never returned: there are no alertable waits */
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
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_OWNER 288L
#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_CONNECTION_ABORTED 1236L
#define ERROR_TIMEOUT 1460L
#define ERROR_DATATYPE_MISMATCH 1629L
#define ERROR_UNSUPPORTED_TYPE 1630L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

/* GetExitCodeThread's answer while the thread runs. */
#define STILL_ACTIVE 259u

/* Access rights: accepted and ignored. */
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define THREAD_ALL_ACCESS 0x001FFFFFu
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
/* The daemon has one view of the registry: the WOW64 flags are accepted and change nothing. */
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_WOW64_RES 0x0300u

/* CreateEventEx, CreateMutexEx flags. */
#define CREATE_EVENT_MANUAL_RESET 0x00000001u
#define CREATE_EVENT_INITIAL_SET 0x00000002u
#define CREATE_MUTEX_INITIAL_OWNER 0x00000001u

/* CreateThread flags: the stack size may be a reservation; CREATE_SUSPENDED is refused, since there is
 * no ResumeThread. */
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

/* The predefined keys. The daemon keeps HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE; the per-user roots
 * are keys below HKEY_LOCAL_MACHINE, created on first use and the same for kstctl:
 *   HKEY_USERS           HKEY_LOCAL_MACHINE\HKEY_USERS                 (KSTNT_HKEY_USERS)
 *   HKEY_CURRENT_USER    <HKEY_USERS>\S-1-22-1-<uid of the process>    (KSTNT_HKEY_CURRENT_USER)
 *   HKEY_CURRENT_CONFIG  HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Hardware Profiles\Current
 *                                                                      (KSTNT_HKEY_CURRENT_CONFIG)
 * An environment variable in parentheses, set to a key such as "HKLM\Users\alice", replaces that
 * default; it is read once, at the process's first call on that root. */
#define KSTNT_PREDEFINED_KEY(n) ((HKEY)(ULONG_PTR)(LONG_PTR)(-0x7FFFFFFF - 1 + (n)))
#define HKEY_CLASSES_ROOT KSTNT_PREDEFINED_KEY(0)
#define HKEY_CURRENT_USER KSTNT_PREDEFINED_KEY(1)
#define HKEY_LOCAL_MACHINE KSTNT_PREDEFINED_KEY(2)
#define HKEY_USERS KSTNT_PREDEFINED_KEY(3)
#define HKEY_CURRENT_CONFIG KSTNT_PREDEFINED_KEY(5)

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

/* Key options: every key is kept on disk, so these are accepted and change nothing. */
#define REG_OPTION_RESERVED 0x0000u
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_OPTION_VOLATILE 0x0001u
#define REG_OPTION_CREATE_LINK 0x0002u
#define REG_OPTION_BACKUP_RESTORE 0x0004u
#define REG_OPTION_OPEN_LINK 0x0008u
#define REG_OPTION_DONT_VIRTUALIZE 0x0010u
#define REG_LEGAL_OPTION 0x001Fu
#define REG_CREATED_NEW_KEY 0x0001u
#define REG_OPENED_EXISTING_KEY 0x0002u

/* Notify filters: accepted; a value write is the one change that fires (a new or deleted subkey does
 * not), and a key carries one registration at a time. A registration is not tied to its thread, so
 * REG_NOTIFY_THREAD_AGNOSTIC changes nothing. */
#define REG_NOTIFY_CHANGE_NAME 0x0001u
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x0002u
#define REG_NOTIFY_CHANGE_LAST_SET 0x0004u
#define REG_NOTIFY_CHANGE_SECURITY 0x0008u
#define REG_LEGAL_CHANGE_FILTER 0x000Fu
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000u

/* RegGetValue flags: which types the caller accepts, and what to do with the data. */
#define RRF_RT_REG_NONE 0x00000001u
#define RRF_RT_REG_SZ 0x00000002u
#define RRF_RT_REG_EXPAND_SZ 0x00000004u
#define RRF_RT_REG_BINARY 0x00000008u
#define RRF_RT_REG_DWORD 0x00000010u
#define RRF_RT_REG_MULTI_SZ 0x00000020u
#define RRF_RT_REG_QWORD 0x00000040u
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000FFFFu
#define RRF_SUBKEY_WOW6464KEY 0x00010000u
#define RRF_SUBKEY_WOW6432KEY 0x00020000u
#define RRF_WOW64_MASK 0x00030000u
#define RRF_NOEXPAND 0x10000000u
#define RRF_ZEROONFAILURE 0x20000000u

/* Limits the daemon's records impose; longer arguments are refused before anything is sent. */
#define KSTNT_MAX_OBJECT_NAME 64 /* bytes of an event, mutex or semaphore name */
#define KSTNT_MAX_KEY_NAME 255   /* bytes of a subkey path or value name */
#define KSTNT_MAX_VALUE_DATA 508 /* bytes of one value */
#define KSTNT_MAX_PATH 4095      /* bytes of a key's full path on the daemon's disk */

/* Synchronisation objects. A W function's name travels as UTF-8: the 64-byte limit is of that form. */
KSTNT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                     LPCSTR lpName);
KSTNT_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                     LPCWSTR lpName);
KSTNT_API HANDLE WINAPI CreateEventExA(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCSTR lpName, DWORD dwFlags,
                                       DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCWSTR lpName, DWORD dwFlags,
                                       DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
KSTNT_API BOOL WINAPI   SetEvent(HANDLE hEvent);
KSTNT_API BOOL WINAPI   ResetEvent(HANDLE hEvent);
/* SetEvent and ResetEvent in one write, which the daemon handles back to back: the waiters parked on
 * the event when it arrives are released (all of them, or one for an auto-reset event) and the event
 * is left non-signalled. A wait still on its way to the daemon, or being cancelled after its time-out,
 * misses the pulse. */
KSTNT_API BOOL WINAPI   PulseEvent(HANDLE hEvent);
KSTNT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
KSTNT_API HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
KSTNT_API HANDLE WINAPI CreateMutexExA(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCSTR lpName, DWORD dwFlags,
                                       DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCWSTR lpName, DWORD dwFlags,
                                       DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
KSTNT_API BOOL WINAPI   ReleaseMutex(HANDLE hMutex);
KSTNT_API HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                         LONG lMaximumCount, LPCSTR lpName);
KSTNT_API HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                         LONG lMaximumCount, LPCWSTR lpName);
KSTNT_API HANDLE WINAPI CreateSemaphoreExA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                           LONG lMaximumCount, LPCSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI CreateSemaphoreExW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                           LONG lMaximumCount, LPCWSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess);
KSTNT_API HANDLE WINAPI OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
KSTNT_API HANDLE WINAPI OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
KSTNT_API BOOL WINAPI   ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);
KSTNT_API BOOL WINAPI   CloseHandle(HANDLE hObject);
/* Waits are never alertable: bAlertable is accepted and WAIT_IO_COMPLETION never returned. */
KSTNT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
KSTNT_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
KSTNT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                              DWORD dwMilliseconds);
KSTNT_API DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                                DWORD dwMilliseconds, BOOL bAlertable);
/* The signal (SetEvent, ReleaseMutex or ReleaseSemaphore by one, by the kind of object this process
 * created or opened) and the wait go out in one write and the daemon handles them back to back, so
 * no other client's call comes between them. A failed signal returns WAIT_FAILED; the wait sent with
 * it is then cancelled, and if it had already been satisfied what it took is given back. */
KSTNT_API DWORD WINAPI SignalObjectAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn, DWORD dwMilliseconds,
                                           BOOL bAlertable);
KSTNT_API DWORD WINAPI GetLastError(void);
KSTNT_API void WINAPI  SetLastError(DWORD dwErrCode);

/* Threads. A thread handle is an unnamed manual-reset event of the daemon that the library sets when
 * the thread ends (returns or calls ExitThread), so it can be waited for with the other objects, in
 * any and all waits. CloseHandle closes it; the thread runs on regardless. */
KSTNT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                     LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                                     LPDWORD lpThreadId);
KSTNT_API void WINAPI   ExitThread(DWORD dwExitCode) KSTNT_NORETURN;
KSTNT_API BOOL WINAPI   GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
KSTNT_API DWORD WINAPI  GetCurrentThreadId(void);
KSTNT_API void WINAPI   Sleep(DWORD dwMilliseconds);
KSTNT_API DWORD WINAPI  SleepEx(DWORD dwMilliseconds, BOOL bAlertable);

/* Registry. The W functions carry names and REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data as UTF-8 on
 * the wire and every other type byte for byte, so an A and a W call see the same value; sizes are the
 * caller's bytes (characters for names), as NT counts them. The limits below are of the UTF-8 form;
 * text that has none (an unpaired surrogate) is refused with ERROR_NO_UNICODE_TRANSLATION. */
#define KSTNT_REG_AW(ret, name, params_a, params_w)                                                                    \
    KSTNT_API ret WINAPI name##A params_a;                                                                             \
    KSTNT_API ret WINAPI name##W params_w
KSTNT_REG_AW(LONG, RegOpenKeyEx, (HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult),
             (HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult));
KSTNT_REG_AW(LONG, RegOpenKey, (HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult),
             (HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult));
KSTNT_REG_AW(LONG, RegCreateKeyEx,
             (HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
              const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition),
             (HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
              const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition));
KSTNT_REG_AW(LONG, RegCreateKey, (HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult),
             (HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult));
KSTNT_API LONG WINAPI RegCloseKey(HKEY hKey);
KSTNT_API LONG WINAPI RegFlushKey(HKEY hKey);
KSTNT_REG_AW(LONG, RegDeleteKey, (HKEY hKey, LPCSTR lpSubKey), (HKEY hKey, LPCWSTR lpSubKey));
KSTNT_REG_AW(LONG, RegDeleteKeyEx, (HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved),
             (HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved));
/* Removes the subkey's subkeys and values and then the subkey; with a NULL subkey, the key's own
 * subkeys and values, keeping the key. */
KSTNT_REG_AW(LONG, RegDeleteTree, (HKEY hKey, LPCSTR lpSubKey), (HKEY hKey, LPCWSTR lpSubKey));
/* Copies the values and subkeys of hKeySrc\lpSubKey into hKeyDest. */
KSTNT_REG_AW(LONG, RegCopyTree, (HKEY hKeySrc, LPCSTR lpSubKey, HKEY hKeyDest),
             (HKEY hKeySrc, LPCWSTR lpSubKey, HKEY hKeyDest));
KSTNT_REG_AW(LONG, RegDeleteValue, (HKEY hKey, LPCSTR lpValueName), (HKEY hKey, LPCWSTR lpValueName));
KSTNT_REG_AW(LONG, RegSetValueEx,
             (HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData),
             (HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData));
KSTNT_REG_AW(LONG, RegSetKeyValue,
             (HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType, LPCVOID lpData, DWORD cbData),
             (HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData, DWORD cbData));
KSTNT_REG_AW(LONG, RegQueryValueEx,
             (HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData),
             (HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData));
/* As NT: lpSubKey may be NULL; RRF_RT_* select the types accepted (else ERROR_UNSUPPORTED_TYPE);
 * strings come back terminated; REG_EXPAND_SZ is expanded from the environment (%NAME%) unless
 * RRF_NOEXPAND; RRF_ZEROONFAILURE clears the buffer when the call fails. */
KSTNT_REG_AW(LONG, RegGetValue,
             (HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
              LPDWORD pcbData),
             (HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
              LPDWORD pcbData));
/* The legacy pair: the unnamed REG_SZ value of a subkey. */
KSTNT_REG_AW(LONG, RegQueryValue, (HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData),
             (HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData));
KSTNT_REG_AW(LONG, RegSetValue, (HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD cbData),
             (HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD cbData));
/* Names come back as the daemon stores them: in upper case. */
KSTNT_REG_AW(LONG, RegEnumKeyEx,
             (HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
              LPDWORD lpcchClass, PFILETIME lpftLastWriteTime),
             (HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
              LPDWORD lpcchClass, PFILETIME lpftLastWriteTime));
KSTNT_REG_AW(LONG, RegEnumKey, (HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName),
             (HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName));
KSTNT_REG_AW(LONG, RegEnumValue,
             (HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
              LPBYTE lpData, LPDWORD lpcbData),
             (HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
              LPBYTE lpData, LPDWORD lpcbData));
/* The W form's maxima are upper bounds: name lengths in UTF-8 bytes, data sizes as if every byte of
 * string data were a character of its own. */
KSTNT_REG_AW(LONG, RegQueryInfoKey,
             (HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
              LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
              LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime),
             (HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
              LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
              LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime));
KSTNT_API LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                              BOOL fAsynchronous);
#undef KSTNT_REG_AW

/* Wide text printed as NT prints it: in a format of these, %s and %c take wide text and %S and %C
 * narrow text (the C library's wprintf reads them the other way round). The output is UTF-8 on a
 * byte stream, whatever the locale. */
KSTNT_API int kstnt_wprintf(const wchar_t *format, ...);
KSTNT_API int kstnt_fwprintf(FILE *stream, const wchar_t *format, ...);
KSTNT_API int kstnt_swprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);
KSTNT_API int kstnt_vfwprintf(FILE *stream, const wchar_t *format, va_list args);
KSTNT_API int kstnt_vswprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args);
/* swscanf under NT's spelling: %s, %c and %[ fill wide text, %S and %C narrow. */
KSTNT_API int kstnt_swscanf(const wchar_t *input, const wchar_t *format, ...);
/* Wide characters and lines read and written as UTF-8 on a byte stream, as the printing above writes
 * them (WEOF with errno EILSEQ for bytes that are not UTF-8). */
KSTNT_API wint_t   kstnt_fgetwc(FILE *stream);
KSTNT_API wint_t   kstnt_fputwc(wchar_t c, FILE *stream);
KSTNT_API wchar_t *kstnt_fgetws(wchar_t *buffer, int count, FILE *stream);
KSTNT_API int      kstnt_fputws(const wchar_t *text, FILE *stream);
/* _wfopen: the path and mode converted to UTF-8. */
KSTNT_API FILE *kstnt_wfopen(const wchar_t *path, const wchar_t *mode);
/* NT's two-argument _wcstok, its position kept per thread. */
KSTNT_API wchar_t *kstnt_wcstok(wchar_t *text, const wchar_t *delimiters);
/* Runs a wide main with the command line converted from UTF-8 (what wmain and _tmain expand to). Given
 * the environment (envp as main got it) instead of the command line, it converts that the same way. */
KSTNT_API int kstnt_run_wmain(int argc, char **argv, int (*wide_main)(int, wchar_t **));

/* wmain and _tmain: Linux starts programs at main, so these macros define a main that calls the
 * program's own function, converting the arguments (and the environment) from UTF-8 for a wide one.
 * That function may return int or void and take no parameters, (argc, argv) or (argc, argv, envp), as
 * NT's compilers accept; a void one ends the program with status 0. Defining KSTNT_WRAP_MAIN treats
 * main the same way, for the `void main(void)` that C++ refuses (an int main must then return its
 * status: falling off its end is no longer main's implicit 0). The real main is written (main), so no
 * macro named main expands it. */
#ifndef KSTNT_NO_WMAIN
#ifdef __cplusplus
} /* extern "C" */
namespace kstnt_main {
template <class R, class... A> R  ReturnOf(R (*)(A...));
template <class F> constexpr bool TakesEnv(F)
{
    return false;
}
template <class R, class C> constexpr bool TakesEnv(R (*)(int, C **, C **))
{
    return true;
}
template <class C> int Call(int (*f)(), int, C **, C **)
{
    return f();
}
template <class C> int Call(void (*f)(), int, C **, C **)
{
    f();
    return 0;
}
template <class C> int Call(int (*f)(int, C **), int argc, C **argv, C **)
{
    return f(argc, argv);
}
template <class C> int Call(void (*f)(int, C **), int argc, C **argv, C **)
{
    f(argc, argv);
    return 0;
}
template <class C> int Call(int (*f)(int, C **, C **), int argc, C **argv, C **envp)
{
    return f(argc, argv, envp);
}
template <class C> int Call(void (*f)(int, C **, C **), int argc, C **argv, C **envp)
{
    f(argc, argv, envp);
    return 0;
}
}  // namespace kstnt_main
extern "C" {
#define KSTNT_MAIN_RETURN(f) decltype(kstnt_main::ReturnOf(f))
#define KSTNT_MAIN_ENV(f, C) kstnt_main::TakesEnv(f)
#define KSTNT_MAIN_RUN(f, C, argc, argv, envp) return kstnt_main::Call<C>((f), (argc), (argv), (envp))
#define KSTNT_MAIN_CHECK(f, C)
#else
/* C has no overloads: the function's own type picks the call, at compile time, among the six forms. */
#define KSTNT_MAIN_IS(f, type) __builtin_types_compatible_p(__typeof__(f), type)
#define KSTNT_MAIN_ENV(f, C) (KSTNT_MAIN_IS(f, int(int, C **, C **)) || KSTNT_MAIN_IS(f, void(int, C **, C **)))
#define KSTNT_MAIN_VOID(f, C)                                                                                          \
    (KSTNT_MAIN_IS(f, void(void)) || KSTNT_MAIN_IS(f, void(int, C **)) || KSTNT_MAIN_IS(f, void(int, C **, C **)))
#define KSTNT_MAIN_BARE(f) (KSTNT_MAIN_IS(f, void(void)) || KSTNT_MAIN_IS(f, int(void)))
#define KSTNT_MAIN_RETURN(f)                                                                                           \
    __typeof__(__builtin_choose_expr(KSTNT_MAIN_VOID(f, char) || KSTNT_MAIN_VOID(f, wchar_t), (void)0, 0))
/* Through a pointer of type void (*)(void), the one type that converts to any other without a warning;
 * only the call for the function's own type is ever made. */
#define KSTNT_MAIN_RUN(f, C, argc, argv, envp)                                                                         \
    void (*const kstnt_entry)(void) = (void (*)(void))(f);                                                             \
    if (KSTNT_MAIN_BARE(f) && KSTNT_MAIN_VOID(f, C)) {                                                                 \
        kstnt_entry();                                                                                                 \
        return 0;                                                                                                      \
    }                                                                                                                  \
    if (KSTNT_MAIN_BARE(f)) return ((int (*)(void))kstnt_entry)();                                                     \
    if (KSTNT_MAIN_ENV(f, C) && KSTNT_MAIN_VOID(f, C)) {                                                               \
        ((void (*)(int, C **, C **))kstnt_entry)((argc), (argv), (envp));                                              \
        return 0;                                                                                                      \
    }                                                                                                                  \
    if (KSTNT_MAIN_ENV(f, C)) return ((int (*)(int, C **, C **))kstnt_entry)((argc), (argv), (envp));                  \
    if (KSTNT_MAIN_VOID(f, C)) {                                                                                       \
        ((void (*)(int, C **))kstnt_entry)((argc), (argv));                                                            \
        return 0;                                                                                                      \
    }                                                                                                                  \
    return ((int (*)(int, C **))kstnt_entry)((argc), (argv))
/* Any other form is refused here rather than called with the wrong arguments. */
#define KSTNT_MAIN_CHECK(f, C)                                                                                         \
    typedef char kstnt_main_returns_int_or_void_and_takes_nothing_or_argc_argv_or_argc_argv_envp                       \
        [KSTNT_MAIN_BARE(f) || KSTNT_MAIN_IS(f, int(int, C **)) || KSTNT_MAIN_IS(f, void(int, C **)) ||                \
                 KSTNT_MAIN_ENV(f, C)                                                                                  \
             ? 1                                                                                                       \
             : -1];
#endif
/* A wide function taking envp gets the environment converted by a first pass through kstnt_run_wmain,
 * which then runs the second, for the command line. */
#define wmain(...)                                                                                                     \
    kstnt_wmain(__VA_ARGS__);                                                                                          \
    KSTNT_MAIN_CHECK(kstnt_wmain, wchar_t)                                                                             \
    static wchar_t **kstnt_wide_envp;                                                                                  \
    static int       kstnt_narrow_argc;                                                                                \
    static char    **kstnt_narrow_argv;                                                                                \
    static int       kstnt_wide_main(int kstnt_argc, wchar_t **kstnt_argv)                                             \
    {                                                                                                                  \
        KSTNT_MAIN_RUN(kstnt_wmain, wchar_t, kstnt_argc, kstnt_argv, kstnt_wide_envp);                                 \
    }                                                                                                                  \
    static int kstnt_wide_environment(int kstnt_count, wchar_t **kstnt_envp)                                           \
    {                                                                                                                  \
        (void)kstnt_count;                                                                                             \
        kstnt_wide_envp = kstnt_envp;                                                                                  \
        return kstnt_run_wmain(kstnt_narrow_argc, kstnt_narrow_argv, kstnt_wide_main);                                 \
    }                                                                                                                  \
    int(main)(int kstnt_argc, char **kstnt_argv, char **kstnt_envp)                                                    \
    {                                                                                                                  \
        int kstnt_count = 0;                                                                                           \
        if (!KSTNT_MAIN_ENV(kstnt_wmain, wchar_t)) return kstnt_run_wmain(kstnt_argc, kstnt_argv, kstnt_wide_main);    \
        kstnt_narrow_argc = kstnt_argc;                                                                                \
        kstnt_narrow_argv = kstnt_argv;                                                                                \
        while (kstnt_envp[kstnt_count])                                                                                \
            ++kstnt_count;                                                                                             \
        return kstnt_run_wmain(kstnt_count, kstnt_envp, kstnt_wide_environment);                                       \
    }                                                                                                                  \
    KSTNT_MAIN_RETURN(kstnt_wmain) kstnt_wmain(__VA_ARGS__)
#define KSTNT_NARROW_MAIN(...)                                                                                         \
    kstnt_tmain(__VA_ARGS__);                                                                                          \
    KSTNT_MAIN_CHECK(kstnt_tmain, char)                                                                                \
    int(main)(int kstnt_argc, char **kstnt_argv, char **kstnt_envp)                                                    \
    {                                                                                                                  \
        KSTNT_MAIN_RUN(kstnt_tmain, char, kstnt_argc, kstnt_argv, kstnt_envp);                                         \
    }                                                                                                                  \
    KSTNT_MAIN_RETURN(kstnt_tmain) kstnt_tmain(__VA_ARGS__)
#ifdef KSTNT_WRAP_MAIN
#define main(...) KSTNT_NARROW_MAIN(__VA_ARGS__)
#endif
#else
#define KSTNT_NARROW_MAIN(...) main(__VA_ARGS__)
#endif

/* The C runtime's secure string functions, which the C library lacks, with NT's results but without
 * its invalid-parameter handler (there is none to call): a NULL or zero-sized destination is EINVAL; a
 * source that does not fit leaves the destination empty (dst[0] = 0) and returns ERANGE (EINVAL for a
 * NULL source, or a strcat_s destination with no NUL within its size); strncpy_s with _TRUNCATE keeps
 * what fits and returns STRUNCATE. sprintf_s and swprintf_s return -1 with the buffer empty and errno
 * ERANGE when the text does not fit. In C++ the array forms that take the size from the array exist too. */
#ifndef _ERRNO_T_DEFINED
#define _ERRNO_T_DEFINED
typedef int errno_t;
#endif
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif
#ifndef STRUNCATE
#define STRUNCATE 80
#endif
#define KSTNT_SECURE_STRINGS(C, cpy_s, cat_s, ncpy_s)                                                                  \
    static inline errno_t ncpy_s(C *dest, size_t size, const C *src, size_t count)                                     \
    {                                                                                                                  \
        size_t n = 0;                                                                                                  \
        if (!dest || size == 0) return EINVAL;                                                                         \
        if (!src) {                                                                                                    \
            dest[0] = 0;                                                                                               \
            return count == 0 ? 0 : EINVAL;                                                                            \
        }                                                                                                              \
        for (; n < count && n < size && src[n]; ++n)                                                                   \
            dest[n] = src[n];                                                                                          \
        if (n == size && count == _TRUNCATE) {                                                                         \
            dest[size - 1] = 0;                                                                                        \
            return STRUNCATE;                                                                                          \
        }                                                                                                              \
        if (n == size) {                                                                                               \
            dest[0] = 0;                                                                                               \
            return ERANGE;                                                                                             \
        }                                                                                                              \
        dest[n] = 0;                                                                                                   \
        return 0;                                                                                                      \
    }                                                                                                                  \
    /* Copying a whole string copies at most size characters: one too long is ERANGE either way. */                    \
    static inline errno_t cpy_s(C *dest, size_t size, const C *src)                                                    \
    {                                                                                                                  \
        return ncpy_s(dest, size, src, size);                                                                          \
    }                                                                                                                  \
    static inline errno_t cat_s(C *dest, size_t size, const C *src)                                                    \
    {                                                                                                                  \
        size_t end = 0;                                                                                                \
        if (!dest || size == 0) return EINVAL;                                                                         \
        while (end < size && dest[end])                                                                                \
            ++end;                                                                                                     \
        if (!src || end == size) {                                                                                     \
            dest[0] = 0;                                                                                               \
            return EINVAL;                                                                                             \
        }                                                                                                              \
        if (cpy_s(dest + end, size - end, src) == 0) return 0;                                                         \
        dest[0] = 0;                                                                                                   \
        return ERANGE;                                                                                                 \
    }
KSTNT_SECURE_STRINGS(char, strcpy_s, strcat_s, strncpy_s)
KSTNT_SECURE_STRINGS(wchar_t, wcscpy_s, wcscat_s, wcsncpy_s)
#undef KSTNT_SECURE_STRINGS
KSTNT_PRINTF(3, 0) static inline int vsprintf_s(char *buffer, size_t size, const char *format, va_list args)
{
    int n;
    if (!buffer || size == 0 || !format) {
        errno = EINVAL;
        return -1;
    }
    n = vsnprintf(buffer, size, format, args);
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = 0;
        errno = n < 0 ? EINVAL : ERANGE;
        return -1;
    }
    return n;
}
KSTNT_PRINTF(3, 4) static inline int sprintf_s(char *buffer, size_t size, const char *format, ...)
{
    int     n;
    va_list args;
    va_start(args, format);
    n = vsprintf_s(buffer, size, format, args);
    va_end(args);
    return n;
}
/* NT's wide spelling of the format, as kstnt_wprintf reads it. */
static inline int vswprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, va_list args)
{
    int n;
    if (!buffer || size == 0 || !format) {
        errno = EINVAL;
        return -1;
    }
    n = kstnt_vswprintf(buffer, size, format, args);
    if (n < 0) {
        buffer[0] = 0;
        errno = ERANGE;
    }
    return n;
}
static inline int swprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, ...)
{
    int     n;
    va_list args;
    va_start(args, format);
    n = vswprintf_s(buffer, size, format, args);
    va_end(args);
    return n;
}
/* gets_s and _getws_s: a line of standard input without its newline; a line that does not fit is read
 * to its end and dropped, leaving the buffer empty, and NULL is returned with errno ERANGE. */
#define KSTNT_GETS_S(C, name, getline, getch, length, end)                                                             \
    static inline C *name(C *buffer, size_t size)                                                                      \
    {                                                                                                                  \
        size_t n;                                                                                                      \
        if (!buffer || size == 0 || size > 0x7FFFFFFF) {                                                               \
            errno = EINVAL;                                                                                            \
            return NULL;                                                                                               \
        }                                                                                                              \
        if (!getline(buffer, (int)size, stdin)) return NULL;                                                           \
        n = length(buffer);                                                                                            \
        if (n > 0 && buffer[n - 1] == '\n') {                                                                          \
            buffer[n - 1] = 0;                                                                                         \
            return buffer;                                                                                             \
        }                                                                                                              \
        for (n = 0;; ++n) {                                                                                            \
            const wint_t c = (wint_t)getch(stdin);                                                                     \
            if (c == (wint_t)'\n' || c == (wint_t)end) break;                                                          \
        }                                                                                                              \
        if (n == 0) return buffer; /* it just fitted */                                                                \
        buffer[0] = 0;                                                                                                 \
        errno = ERANGE;                                                                                                \
        return NULL;                                                                                                   \
    }
KSTNT_GETS_S(char, gets_s, fgets, getc, strlen, EOF)
KSTNT_GETS_S(wchar_t, _getws_s, kstnt_fgetws, kstnt_fgetwc, wcslen, WEOF)
#undef KSTNT_GETS_S
#ifdef __cplusplus
} /* extern "C" */
template <size_t N> inline errno_t strcpy_s(char (&dest)[N], const char *src)
{
    return strcpy_s(dest, N, src);
}
template <size_t N> inline errno_t wcscpy_s(wchar_t (&dest)[N], const wchar_t *src)
{
    return wcscpy_s(dest, N, src);
}
template <size_t N> inline errno_t strcat_s(char (&dest)[N], const char *src)
{
    return strcat_s(dest, N, src);
}
template <size_t N> inline errno_t wcscat_s(wchar_t (&dest)[N], const wchar_t *src)
{
    return wcscat_s(dest, N, src);
}
template <size_t N> inline errno_t strncpy_s(char (&dest)[N], const char *src, size_t count)
{
    return strncpy_s(dest, N, src, count);
}
template <size_t N> inline errno_t wcsncpy_s(wchar_t (&dest)[N], const wchar_t *src, size_t count)
{
    return wcsncpy_s(dest, N, src, count);
}
template <size_t N> KSTNT_PRINTF(2, 3) inline int sprintf_s(char (&buffer)[N], const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsprintf_s(buffer, N, format, args);
    va_end(args);
    return n;
}
template <size_t N> inline int swprintf_s(wchar_t (&buffer)[N], const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vswprintf_s(buffer, N, format, args);
    va_end(args);
    return n;
}
extern "C" {
#endif

/* The C runtime's own names for what the C library spells otherwise. */
#define _stricmp strcasecmp
#define _strnicmp strncasecmp
#define _wcsicmp wcscasecmp
#define _wcsnicmp wcsncasecmp
#define _strdup strdup
#define _wcsdup wcsdup
#define _snprintf snprintf
#define _snwprintf kstnt_swprintf
#define _wfopen kstnt_wfopen

/* The C runtime's TCHAR names, chosen by _UNICODE. A _UNICODE build reads and writes wide characters
 * as UTF-8 on byte streams, like its printing; it has no _tscanf or _ftscanf (read a line with _fgetts
 * and take it apart with _stscanf). */
#ifdef _UNICODE
typedef wchar_t _TCHAR;
typedef wchar_t _TSCHAR;
typedef wchar_t _TUCHAR;
typedef wint_t  _TINT;
#define __T(s) L##s
#define _TEOF WEOF
#define _tmain(...) wmain(__VA_ARGS__)
#define _tprintf kstnt_wprintf
#define _ftprintf kstnt_fwprintf
#define _vtprintf(format, args) kstnt_vfwprintf(stdout, (format), (args))
#define _vftprintf kstnt_vfwprintf
#define _stprintf_s swprintf_s
/* The unbounded forms, as NT's _swprintf: the caller vouches for the room. */
#define _stprintf(buffer, ...) kstnt_swprintf((buffer), (size_t)-1 / sizeof(wchar_t), __VA_ARGS__)
#define _vstprintf(buffer, format, args) kstnt_vswprintf((buffer), (size_t)-1 / sizeof(wchar_t), (format), (args))
#define _vstprintf_s vswprintf_s
#define _sntprintf kstnt_swprintf
#define _vsntprintf kstnt_vswprintf
#define _stscanf kstnt_swscanf
#define _gettchar() kstnt_fgetwc(stdin)
#define _getts_s _getws_s
#define _puttchar(c) kstnt_fputwc((c), stdout)
#define _fgettc kstnt_fgetwc
#define _gettc kstnt_fgetwc
#define _fputtc kstnt_fputwc
#define _puttc kstnt_fputwc
#define _tfopen kstnt_wfopen
#define _tcscpy_s wcscpy_s
#define _tcsncpy_s wcsncpy_s
#define _tcscat_s wcscat_s
#define _tcstok kstnt_wcstok
#define _tcslen wcslen
#define _tcsnlen wcsnlen
#define _tcscpy wcscpy
#define _tcsncpy wcsncpy
#define _tcscat wcscat
#define _tcsncat wcsncat
#define _tcscmp wcscmp
#define _tcsncmp wcsncmp
#define _tcsicmp wcscasecmp
#define _tcsnicmp wcsncasecmp
#define _tcschr wcschr
#define _tcsrchr wcsrchr
#define _tcsstr wcsstr
#define _tcsspn wcsspn
#define _tcscspn wcscspn
#define _tcsdup wcsdup
#define _tcstol wcstol
#define _tcstoul wcstoul
#define _tcstoi64 wcstoll
#define _tcstod wcstod
#define _ttoi(s) ((int)wcstol((s), NULL, 10))
#define _ttol(s) wcstol((s), NULL, 10)
#define _tstoi _ttoi
#define _fgetts kstnt_fgetws
#define _fputts kstnt_fputws
#define _istspace iswspace
#define _istdigit iswdigit
#define _istalpha iswalpha
#define _istalnum iswalnum
#define _istupper iswupper
#define _istlower iswlower
#define _istxdigit iswxdigit
#define _istpunct iswpunct
#define _istprint iswprint
#define _totupper towupper
#define _totlower towlower
#else
typedef char          _TCHAR;
typedef signed char   _TSCHAR;
typedef unsigned char _TUCHAR;
typedef int           _TINT;
#define __T(s) s
#define _TEOF EOF
#define _tmain(...) KSTNT_NARROW_MAIN(__VA_ARGS__)
#define _tprintf printf
#define _ftprintf fprintf
#define _vtprintf vprintf
#define _vftprintf vfprintf
#define _stprintf_s sprintf_s
#define _stprintf sprintf
#define _vstprintf vsprintf
#define _vstprintf_s vsprintf_s
#define _sntprintf snprintf
#define _vsntprintf vsnprintf
#define _tscanf scanf
#define _ftscanf fscanf
#define _stscanf sscanf
#define _gettchar getchar
#define _getts_s gets_s
#define _puttchar putchar
#define _fgettc fgetc
#define _gettc getc
#define _fputtc fputc
#define _puttc putc
#define _tfopen fopen
#define _tcscpy_s strcpy_s
#define _tcsncpy_s strncpy_s
#define _tcscat_s strcat_s
#define _tcstok strtok
#define _tcslen strlen
#define _tcsnlen strnlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcsncat strncat
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcsicmp strcasecmp
#define _tcsnicmp strncasecmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _tcsspn strspn
#define _tcscspn strcspn
#define _tcsdup strdup
#define _tcstol strtol
#define _tcstoul strtoul
#define _tcstoi64 strtoll
#define _tcstod strtod
#define _ttoi atoi
#define _ttol atol
#define _tstoi atoi
#define _fgetts fgets
#define _fputts fputs
#define _istspace isspace
#define _istdigit isdigit
#define _istalpha isalpha
#define _istalnum isalnum
#define _istupper isupper
#define _istlower islower
#define _istxdigit isxdigit
#define _istpunct ispunct
#define _istprint isprint
#define _totupper toupper
#define _totlower tolower
#endif
#define _T(s) __T(s)
#define _TEXT(s) __T(s)

/* What winnt.h gives for a parameter a function must take but does not read. */
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))

/* The C library under the names windows.h gives it. */
#define ExitProcess(uExitCode) exit((int)(uExitCode))
#define ZeroMemory(dest, size) memset((dest), 0, (size))
#define FillMemory(dest, size, fill) memset((dest), (fill), (size))
#define CopyMemory(dest, src, size) memcpy((dest), (src), (size))
#define MoveMemory(dest, src, size) memmove((dest), (src), (size))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define _countof(a) ARRAYSIZE(a)
#define lstrlenA strlen
#define lstrlenW wcslen
#define lstrcpyA strcpy
#define lstrcpyW wcscpy
#define lstrcatA strcat
#define lstrcatW wcscat
#define lstrcmpA strcmp
#define lstrcmpW wcscmp
#ifndef KSTNT_NO_NAME_MACROS
#define lstrlen KSTNT_TNAME(lstrlen)
#define lstrcpy KSTNT_TNAME(lstrcpy)
#define lstrcat KSTNT_TNAME(lstrcat)
#define lstrcmp KSTNT_TNAME(lstrcmp)
#endif

/* The names NT programs write, the W or A function as UNICODE chooses. A C++ file that also uses other
 * classes with these member names may define KSTNT_NO_NAME_MACROS and call the suffixed functions. */
#ifndef KSTNT_NO_NAME_MACROS
#define CreateEvent KSTNT_TNAME(CreateEvent)
#define CreateEventEx KSTNT_TNAME(CreateEventEx)
#define OpenEvent KSTNT_TNAME(OpenEvent)
#define CreateMutex KSTNT_TNAME(CreateMutex)
#define CreateMutexEx KSTNT_TNAME(CreateMutexEx)
#define OpenMutex KSTNT_TNAME(OpenMutex)
#define CreateSemaphore KSTNT_TNAME(CreateSemaphore)
#define CreateSemaphoreEx KSTNT_TNAME(CreateSemaphoreEx)
#define OpenSemaphore KSTNT_TNAME(OpenSemaphore)
#define RegOpenKeyEx KSTNT_TNAME(RegOpenKeyEx)
#define RegOpenKey KSTNT_TNAME(RegOpenKey)
#define RegCreateKeyEx KSTNT_TNAME(RegCreateKeyEx)
#define RegCreateKey KSTNT_TNAME(RegCreateKey)
#define RegDeleteKey KSTNT_TNAME(RegDeleteKey)
#define RegDeleteKeyEx KSTNT_TNAME(RegDeleteKeyEx)
#define RegDeleteTree KSTNT_TNAME(RegDeleteTree)
#define RegCopyTree KSTNT_TNAME(RegCopyTree)
#define RegDeleteValue KSTNT_TNAME(RegDeleteValue)
#define RegSetValueEx KSTNT_TNAME(RegSetValueEx)
#define RegSetKeyValue KSTNT_TNAME(RegSetKeyValue)
#define RegQueryValueEx KSTNT_TNAME(RegQueryValueEx)
#define RegGetValue KSTNT_TNAME(RegGetValue)
#define RegQueryValue KSTNT_TNAME(RegQueryValue)
#define RegSetValue KSTNT_TNAME(RegSetValue)
#define RegEnumKeyEx KSTNT_TNAME(RegEnumKeyEx)
#define RegEnumKey KSTNT_TNAME(RegEnumKey)
#define RegEnumValue KSTNT_TNAME(RegEnumValue)
#define RegQueryInfoKey KSTNT_TNAME(RegQueryInfoKey)
#endif

#ifdef __cplusplus
}
#endif

#endif /* KSTNT_H */
