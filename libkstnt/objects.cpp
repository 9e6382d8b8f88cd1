// objects.cpp: events, mutexes and semaphores, and the waits on them with NT time-outs.
//
// The daemon keeps no timers: a wait either answers at once or parks until a signal. A finite time-out
// is this library's: when it runs out, the matching cancel goes out on the same connection, and the
// daemon then writes exactly two replies, the wait's first. Both carry the connection's latest xid
// when the cancel found the wait parked; the wait's reply carries its own xid when it was written
// before the cancel arrived, that is when a signal crossed the cancel. That wait succeeded, and the
// count or ownership it took is the caller's: it is returned as a success, never as a time-out.
//   answered in time           -> its result
//   time-out, cancel found it  -> reply 0 under the cancel's xid, then the cancel's: WAIT_TIMEOUT
//   time-out, signal crossed   -> the wait's result under its own xid, then the cancel's: that result
// A time-out of 0 sends the wait and the cancel in one write; INFINITE sends no cancel at all.
#include "libkstnt/session.h"

#include <array>
#include <cstring>

namespace kstnt {
namespace {

using kst::Bytes;

uint64_t Word(HANDLE h)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
}
HANDLE Handle(uint64_t word)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
}

// A name the daemon's 64-byte name field can carry; sets the last error when it can't.
bool NameFits(LPCSTR name)
{
    if (!name || strlen(name) <= KSTNT_MAX_OBJECT_NAME) return true;
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return false;
}

// The handle in a Create or Open reply, or NULL with the last error set.
HANDLE HandleFrom(std::optional<uint64_t> word, Subject subject, DWORD error_on_success)
{
    if (!word) return nullptr;
    if (IsIdentity(*word)) {
        SetError(error_on_success);
        return Handle(*word);
    }
    SetError(*word == 0 ? ERROR_INVALID_PARAMETER : Translate(*word, subject));
    return nullptr;
}

// Create for a named object first tries to open it, because NT reports an existing object with
// ERROR_ALREADY_EXISTS and programs test for it (one instance only); the daemon's create finds an
// existing object silently. Both paths take one reference, so the handle is closed once either way.
HANDLE Create(uint32_t create_proc, uint32_t open_proc, uint64_t arg1, uint64_t arg2, LPCSTR name)
{
    if (!NameFits(name)) return nullptr;
    if (name && *name) {
        const auto opened = CallWord(open_proc, kst::EncodeString(name));
        if (!opened) return nullptr;
        if (IsIdentity(*opened)) return HandleFrom(opened, Subject::Name, ERROR_ALREADY_EXISTS);
    }
    return HandleFrom(CallWord(create_proc, kst::EncodeCreate(arg1, arg2, name ? name : "")), Subject::Name,
                      ERROR_SUCCESS);
}

HANDLE Open(uint32_t proc, LPCSTR name)
{
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!NameFits(name)) return nullptr;
    return HandleFrom(CallWord(proc, kst::EncodeString(name)), Subject::Name, ERROR_SUCCESS);
}

// A call on one handle whose reply is the daemon's code.
BOOL OnHandle(uint32_t proc, HANDLE h, const Bytes &args)
{
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto word = CallWord(proc, args);
    if (!word) return FALSE;
    SetError(Translate(*word, Subject::Handle));
    return *word == 0;
}

// What a wait's reply means: the index of the object that satisfied it, or WAIT_FAILED.
DWORD WaitResult(uint64_t word, std::span<const uint64_t> handles, bool wait_all)
{
    if (word == 0 && wait_all) return WAIT_OBJECT_0;  // every object was ready at once
    if (IsIdentity(word)) {
        for (std::size_t i = 0; i < handles.size(); ++i)
            if (handles[i] == word) {
                SetError(ERROR_SUCCESS);
                if (wait_all) return WAIT_OBJECT_0;
                Acquired(word);
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
    }
    // 0 for a wait that was not cancelled, or an identity that was not waited for: not this protocol.
    SetError(word == 0 || IsIdentity(word) ? ERROR_INVALID_DATA : Translate(word, Subject::Handle));
    return WAIT_FAILED;
}

// A wait on one (single) or several objects with an NT time-out; see the top of the file.
DWORD Wait(std::span<const uint64_t> handles, bool single, bool wait_all, DWORD ms)
{
    kst::Connection *c = Connection();
    if (!c) return WAIT_FAILED;
    const Bytes    args = single ? kst::EncodeWord(handles[0]) : kst::EncodeWait(handles.size(), wait_all, handles);
    const Bytes    cancel_args = single ? args : kst::EncodeWait(handles.size(), 0, handles);
    const uint32_t wait_proc = single ? kst::proc::kWaitSingle : kst::proc::kWaitMultiple;
    const uint32_t cancel_proc = single ? kst::proc::kCancelWaitSingle : kst::proc::kCancelWaitMultiple;

    const uint32_t wait_xid = c->NextXid();
    kst::Reply     first;
    if (ms == 0) {
        const uint32_t cancel_xid = c->NextXid();
        Bytes          both = kst::CallRecord(wait_xid, wait_proc, args);
        const Bytes    cancel = kst::CallRecord(cancel_xid, cancel_proc, cancel_args);
        both.insert(both.end(), cancel.begin(), cancel.end());
        if (!SendFramed(*c, both)) return WAIT_FAILED;
    } else {
        if (!Send(*c, wait_proc, args, wait_xid)) return WAIT_FAILED;
        const Got got = Receive(*c, ms, first);
        if (got == Got::Failed) return WAIT_FAILED;
        if (got == Got::Reply) {
            if (first.xid == wait_xid && first.Word()) return WaitResult(*first.Word(), handles, wait_all);
            SetError(ERROR_INVALID_DATA);  // a reply under a foreign xid: the connection is out of step
            Drop();
            return WAIT_FAILED;
        }
        if (!Send(*c, cancel_proc, cancel_args, c->NextXid())) return WAIT_FAILED;
    }
    const uint32_t cancel_xid = wait_xid + 1;
    // Exactly two replies follow the cancel, and each comes within the I/O deadline: the daemon answers
    // the cancel at once. Losing track here would leave a reply for the next call to misread.
    kst::Reply  second;
    const DWORD io = static_cast<DWORD>(IoTimeoutMs());
    for (kst::Reply *r : {&first, &second}) {
        const Got got = Receive(*c, io, *r);
        if (got == Got::Failed) return WAIT_FAILED;
        if (got == Got::TimedOut) {
            SetError(ERROR_TIMEOUT);
            Drop();
            return WAIT_FAILED;
        }
    }
    const auto word = first.Word();
    if (second.xid != cancel_xid || !word || (first.xid != wait_xid && first.xid != cancel_xid)) {
        SetError(ERROR_INVALID_DATA);
        Drop();
        return WAIT_FAILED;
    }
    // Under the cancel's xid, 0 is the cancelled wait. Anything else is the wait's own answer.
    if (first.xid == cancel_xid && *word == 0) {
        SetError(ERROR_SUCCESS);
        return WAIT_TIMEOUT;
    }
    return WaitResult(*word, handles, wait_all);
}

}  // namespace
}  // namespace kstnt

using namespace kstnt;

extern "C" {

KSTNT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&] {
        return Create(kst::proc::kCreateEvent, kst::proc::kOpenEvent, bManualReset ? 1 : 0, bInitialState ? 1 : 0,
                      lpName);
    });
}

KSTNT_API HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&] { return Open(kst::proc::kOpenEvent, lpName); });
}

KSTNT_API BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return Guard<BOOL>(FALSE, [&] { return OnHandle(kst::proc::kSetEvent, hEvent, kst::EncodeWord(Word(hEvent))); });
}

KSTNT_API BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return Guard<BOOL>(FALSE, [&] { return OnHandle(kst::proc::kResetEvent, hEvent, kst::EncodeWord(Word(hEvent))); });
}

KSTNT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&] {
        HANDLE mutex = Create(kst::proc::kCreateMutex, kst::proc::kOpenMutex, 0, bInitialOwner ? 1 : 0, lpName);
        if (!mutex) return mutex;
        MutexOpened(Word(mutex));
        // An existing mutex is opened, never taken over, as on NT.
        if (bInitialOwner && GetLastError() == ERROR_SUCCESS) Acquired(Word(mutex));
        return mutex;
    });
}

KSTNT_API HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&] {
        HANDLE mutex = Open(kst::proc::kOpenMutex, lpName);
        if (mutex) MutexOpened(Word(mutex));
        return mutex;
    });
}

KSTNT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    return Guard<BOOL>(FALSE, [&] {
        if (hMutex && ReleaseNested(Word(hMutex))) {
            SetError(ERROR_SUCCESS);
            return TRUE;
        }
        const BOOL released = OnHandle(kst::proc::kReleaseMutex, hMutex, kst::EncodeWord(Word(hMutex)));
        if (released) Released(Word(hMutex));
        return released;
    });
}

KSTNT_API HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (lInitialCount < 0 || lMaximumCount <= 0 || lInitialCount > lMaximumCount) {
            SetError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return Create(kst::proc::kCreateSemaphore, kst::proc::kOpenSemaphore, static_cast<uint64_t>(lInitialCount),
                      static_cast<uint64_t>(lMaximumCount), lpName);
    });
}

KSTNT_API HANDLE WINAPI OpenSemaphoreA(DWORD, BOOL, LPCSTR lpName)
{
    return Guard<HANDLE>(nullptr, [&] { return Open(kst::proc::kOpenSemaphore, lpName); });
}

// The daemon does not report the previous count: *lpPreviousCount is left as it is.
KSTNT_API BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG)
{
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (lReleaseCount <= 0) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return OnHandle(kst::proc::kReleaseSemaphore, hSemaphore,
                        kst::EncodeWords5({.arg1 = Word(hSemaphore), .arg2 = static_cast<uint64_t>(lReleaseCount)}));
    });
}

KSTNT_API BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return Guard<BOOL>(FALSE, [&] {
        const BOOL closed = OnHandle(kst::proc::kCloseHandle, hObject, kst::EncodeWord(Word(hObject)));
        if (closed) MutexClosed(Word(hObject));
        return closed;
    });
}

KSTNT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return Guard<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        if (!hHandle) {
            SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        const uint64_t handle = Word(hHandle);
        return Wait({&handle, 1}, true, false, dwMilliseconds);
    });
}

KSTNT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                              DWORD dwMilliseconds)
{
    return Guard<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
            SetError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        std::array<uint64_t, MAXIMUM_WAIT_OBJECTS> handles{};
        for (DWORD i = 0; i < nCount; ++i) {
            handles[i] = Word(lpHandles[i]);
            if (handles[i] == 0) {
                SetError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            // NT refuses a handle listed twice in a wait for all; the daemon would consume it twice.
            for (DWORD j = 0; bWaitAll && j < i; ++j)
                if (handles[j] == handles[i]) {
                    SetError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
        }
        return Wait({handles.data(), nCount}, false, bWaitAll != FALSE, dwMilliseconds);
    });
}
}
