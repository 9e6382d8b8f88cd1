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
// SignalObjectAndWait puts its signal in front of the wait in that write, and a failed signal cancels
// the wait at once.
#include "libkstnt/objects.h"

#include "libkstnt/chars.h"

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

// The procedures that create and open each kind of named object.
struct KindProcs {
    uint32_t create;  // Create*
    uint32_t open;    // Open*
};
constexpr KindProcs ProcsOf(Kind kind)
{
    switch (kind) {
    case Kind::Mutex:
        return {kst::proc::kCreateMutex, kst::proc::kOpenMutex};
    case Kind::Semaphore:
        return {kst::proc::kCreateSemaphore, kst::proc::kOpenSemaphore};
    case Kind::Event:
    case Kind::Thread:
        break;
    }
    return {kst::proc::kCreateEvent, kst::proc::kOpenEvent};
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
HANDLE Create(Kind kind, uint64_t arg1, uint64_t arg2, LPCSTR name)
{
    if (!NameFits(name)) return nullptr;
    HANDLE made = nullptr;
    if (name && *name) {
        const auto opened = CallWord(ProcsOf(kind).open, kst::EncodeString(name));
        if (!opened) return nullptr;
        if (IsIdentity(*opened)) made = HandleFrom(opened, Subject::Name, ERROR_ALREADY_EXISTS);
    }
    if (!made)
        made = HandleFrom(CallWord(ProcsOf(kind).create, kst::EncodeCreate(arg1, arg2, name ? name : "")),
                          Subject::Name, ERROR_SUCCESS);
    if (made) ObjectOpened(Word(made), kind);
    return made;
}

HANDLE Open(Kind kind, LPCSTR name)
{
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!NameFits(name)) return nullptr;
    HANDLE opened = HandleFrom(CallWord(ProcsOf(kind).open, kst::EncodeString(name)), Subject::Name, ERROR_SUCCESS);
    if (opened) ObjectOpened(Word(opened), kind);
    return opened;
}

// NT's "Local\" prefix names the session's own name space, where an unprefixed name already is in a
// normal process; so both spell one object. The prefix is case-sensitive, as on NT. "Global\" stays part
// of the name: there are no sessions here, and such a name is one of its own.
constexpr std::string_view kLocalPrefix = "Local\\";

// A caller's object name as the daemon's bytes, and the pointer Create and Open take (NULL stays
// NULL); nullptr with the last error set when wide text has no UTF-8 form.
template <class C> struct ObjectName {
    explicit ObjectName(const C *name) : given(name)
    {
        if (const LONG rc = In(name, bytes)) {
            SetError(static_cast<DWORD>(rc));
            failed = true;
        }
        if (bytes.starts_with(kLocalPrefix)) bytes.erase(0, kLocalPrefix.size());
    }
    [[nodiscard]] LPCSTR get() const { return given ? bytes.c_str() : nullptr; }

    const C    *given;           // as the caller passed it
    std::string bytes;           // its UTF-8 form
    bool        failed = false;  // it has none
};

template <class C> HANDLE CreateEventT(BOOL bManualReset, BOOL bInitialState, const C *lpName)
{
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        const ObjectName name(lpName);
        if (name.failed) return nullptr;
        return Create(Kind::Event, bManualReset ? 1 : 0, bInitialState ? 1 : 0, name.get());
    });
}

template <class C> HANDLE CreateMutexT(BOOL bInitialOwner, const C *lpName)
{
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        const ObjectName name(lpName);
        if (name.failed) return nullptr;
        HANDLE mutex = Create(Kind::Mutex, 0, bInitialOwner ? 1 : 0, name.get());
        // An existing mutex is opened, never taken over, as on NT.
        if (mutex && bInitialOwner && GetLastError() == ERROR_SUCCESS) Acquired(Word(mutex));
        return mutex;
    });
}

template <class C> HANDLE CreateSemaphoreT(LONG lInitialCount, LONG lMaximumCount, const C *lpName)
{
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (lInitialCount < 0 || lMaximumCount <= 0 || lInitialCount > lMaximumCount) {
            SetError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const ObjectName name(lpName);
        if (name.failed) return nullptr;
        return Create(Kind::Semaphore, static_cast<uint64_t>(lInitialCount), static_cast<uint64_t>(lMaximumCount),
                      name.get());
    });
}

template <class C> HANDLE OpenT(Kind kind, const C *lpName)
{
    return Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        const ObjectName name(lpName);
        if (name.failed) return nullptr;
        return Open(kind, name.get());
    });
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

// The end of a wait whose cancel has been sent; see the top of the file.
DWORD AfterCancel(kst::Connection &c, uint32_t wait_xid, std::span<const uint64_t> handles, bool wait_all)
{
    const uint32_t cancel_xid = wait_xid + 1;
    // Exactly two replies follow the cancel, and each comes within the I/O deadline: the daemon answers
    // the cancel at once. Losing track here would leave a reply for the next call to misread.
    kst::Reply  first, second;
    const DWORD io = static_cast<DWORD>(IoTimeoutMs());
    for (kst::Reply *r : {&first, &second}) {
        const Got got = Receive(c, io, *r);
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

// A signal sent in the same write just before a wait, and what became of it.
struct Prelude {
    uint32_t proc;                   // SetEvent, ReleaseMutex or ReleaseSemaphore
    Bytes    args;                   // its arguments
    uint64_t mutex = 0;              // the mutex it releases, whose ownership ends when it succeeds
    DWORD    error = ERROR_SUCCESS;  // its NT code once answered
};

// A wait on one (single) or several objects with an NT time-out; see the top of the file.
DWORD Wait(std::span<const uint64_t> handles, bool single, bool wait_all, DWORD ms, Prelude *prelude = nullptr)
{
    kst::Connection *c = Connection();
    if (!c) return WAIT_FAILED;
    const Bytes    args = single ? kst::EncodeWord(handles[0]) : kst::EncodeWait(handles.size(), wait_all, handles);
    const Bytes    cancel_args = single ? args : kst::EncodeWait(handles.size(), 0, handles);
    const uint32_t wait_proc = single ? kst::proc::kWaitSingle : kst::proc::kWaitMultiple;
    const uint32_t cancel_proc = single ? kst::proc::kCancelWaitSingle : kst::proc::kCancelWaitMultiple;

    Bytes          out;
    const uint32_t prelude_xid = prelude ? c->NextXid() : 0;
    if (prelude) out = kst::CallRecord(prelude_xid, prelude->proc, prelude->args);
    const uint32_t wait_xid = c->NextXid();
    const auto     append = [&out](const Bytes &record) { out.insert(out.end(), record.begin(), record.end()); };
    append(kst::CallRecord(wait_xid, wait_proc, args));
    bool cancelled = ms == 0;
    if (cancelled) append(kst::CallRecord(c->NextXid(), cancel_proc, cancel_args));
    if (!SendFramed(*c, out)) return WAIT_FAILED;
    if (prelude) {
        const auto word = ReadWord(*c, prelude_xid);
        if (!word) return WAIT_FAILED;
        prelude->error = Translate(*word, Subject::Handle);
        if (*word == 0 && prelude->mutex) Released(prelude->mutex);
        if (*word != 0 && !cancelled) {
            if (!Send(*c, cancel_proc, cancel_args, c->NextXid())) return WAIT_FAILED;
            cancelled = true;
        }
    }
    if (!cancelled) {
        kst::Reply first;
        const Got  got = Receive(*c, ms, first);
        if (got == Got::Failed) return WAIT_FAILED;
        if (got == Got::Reply) {
            if (first.xid == wait_xid && first.Word()) return WaitResult(*first.Word(), handles, wait_all);
            SetError(ERROR_INVALID_DATA);  // a reply under a foreign xid: the connection is out of step
            Drop();
            return WAIT_FAILED;
        }
        if (!Send(*c, cancel_proc, cancel_args, c->NextXid())) return WAIT_FAILED;
    }
    return AfterCancel(*c, wait_xid, handles, wait_all);
}

// Undoes what a wait took from an object: a mutex is released, a semaphore count and an event's
// signal are put back (setting a manual-reset event that satisfied a wait changes nothing).
void GiveBack(uint64_t handle)
{
    switch (KindOf(handle).value_or(Kind::Thread)) {
    case Kind::Mutex:
        ReleaseMutex(Handle(handle));
        break;
    case Kind::Semaphore:
        ReleaseSemaphore(Handle(handle), 1, nullptr);
        break;
    case Kind::Event:
        SetEvent(Handle(handle));
        break;
    case Kind::Thread:
        break;  // set for good
    }
}

DWORD SignalAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn, DWORD ms)
{
    const auto kind = hObjectToSignal ? KindOf(Word(hObjectToSignal)) : std::nullopt;
    if (!hObjectToWaitOn || !kind || *kind == Kind::Thread) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const uint64_t signal = Word(hObjectToSignal), wait = Word(hObjectToWaitOn);
    // A mutex owned more than once gives one level back here: only the wait goes out.
    if (*kind == Kind::Mutex && ReleaseNested(signal)) return Wait({&wait, 1}, true, false, ms);
    Prelude prelude{.proc = kst::proc::kSetEvent, .args = kst::EncodeWord(signal)};
    if (*kind == Kind::Mutex) {
        prelude.proc = kst::proc::kReleaseMutex;
        prelude.mutex = signal;
    } else if (*kind == Kind::Semaphore) {
        prelude.proc = kst::proc::kReleaseSemaphore;
        prelude.args = kst::EncodeWords5({.arg1 = signal, .arg2 = 1});
    }
    const DWORD result = Wait({&wait, 1}, true, false, ms, &prelude);
    if (result == WAIT_FAILED || prelude.error == ERROR_SUCCESS) return result;
    if (result == WAIT_OBJECT_0) GiveBack(wait);
    SetError(prelude.error);
    return WAIT_FAILED;
}

DWORD WaitMany(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
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
}

DWORD WaitOne(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (!hHandle) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const uint64_t handle = Word(hHandle);
    return Wait({&handle, 1}, true, false, dwMilliseconds);
}

// SetEvent and ResetEvent are for events: a thread's handle is set by its end alone.
BOOL OnEvent(uint32_t proc, HANDLE hEvent)
{
    if (hEvent && KindOf(Word(hEvent)) == Kind::Thread) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return OnHandle(proc, hEvent, kst::EncodeWord(Word(hEvent)));
}

}  // namespace

HANDLE NewThreadEvent()
{
    HANDLE event =
        HandleFrom(CallWord(kst::proc::kCreateEvent, kst::EncodeCreate(1, 0, "")), Subject::Name, ERROR_SUCCESS);
    if (event) ObjectOpened(Word(event), Kind::Thread);
    return event;
}

BOOL SetThreadEvent(HANDLE hThread)
{
    return OnHandle(kst::proc::kSetEvent, hThread, kst::EncodeWord(Word(hThread)));
}

BOOL CloseObject(HANDLE hObject)
{
    const BOOL closed = OnHandle(kst::proc::kCloseHandle, hObject, kst::EncodeWord(Word(hObject)));
    if (closed) ObjectClosed(Word(hObject));
    return closed;
}

}  // namespace kstnt

using namespace kstnt;

extern "C" {

KSTNT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    return CreateEventT(bManualReset, bInitialState, lpName);
}
KSTNT_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    return CreateEventT(bManualReset, bInitialState, lpName);
}

KSTNT_API HANDLE WINAPI CreateEventExA(LPSECURITY_ATTRIBUTES, LPCSTR lpName, DWORD dwFlags, DWORD)
{
    return CreateEventT(dwFlags & CREATE_EVENT_MANUAL_RESET, dwFlags & CREATE_EVENT_INITIAL_SET, lpName);
}
KSTNT_API HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD)
{
    return CreateEventT(dwFlags & CREATE_EVENT_MANUAL_RESET, dwFlags & CREATE_EVENT_INITIAL_SET, lpName);
}

KSTNT_API HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR lpName)
{
    return OpenT(Kind::Event, lpName);
}
KSTNT_API HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR lpName)
{
    return OpenT(Kind::Event, lpName);
}

KSTNT_API BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return Guard<BOOL>(FALSE, [&] { return OnEvent(kst::proc::kSetEvent, hEvent); });
}

KSTNT_API BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return Guard<BOOL>(FALSE, [&] { return OnEvent(kst::proc::kResetEvent, hEvent); });
}

KSTNT_API BOOL WINAPI PulseEvent(HANDLE hEvent)
{
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!hEvent || KindOf(Word(hEvent)) == Kind::Thread) {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const Bytes args = kst::EncodeWord(Word(hEvent));
        const auto  words = CallWordPair({kst::proc::kSetEvent, args}, {kst::proc::kResetEvent, args});
        if (!words) return FALSE;
        const uint64_t code = (*words)[0] ? (*words)[0] : (*words)[1];
        SetError(Translate(code, Subject::Handle));
        return code == 0;
    });
}

KSTNT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName)
{
    return CreateMutexT(bInitialOwner, lpName);
}
KSTNT_API HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName)
{
    return CreateMutexT(bInitialOwner, lpName);
}

KSTNT_API HANDLE WINAPI CreateMutexExA(LPSECURITY_ATTRIBUTES, LPCSTR lpName, DWORD dwFlags, DWORD)
{
    return CreateMutexT(dwFlags & CREATE_MUTEX_INITIAL_OWNER, lpName);
}
KSTNT_API HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD)
{
    return CreateMutexT(dwFlags & CREATE_MUTEX_INITIAL_OWNER, lpName);
}

KSTNT_API HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName)
{
    return OpenT(Kind::Mutex, lpName);
}
KSTNT_API HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName)
{
    return OpenT(Kind::Mutex, lpName);
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
    return CreateSemaphoreT(lInitialCount, lMaximumCount, lpName);
}
KSTNT_API HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName)
{
    return CreateSemaphoreT(lInitialCount, lMaximumCount, lpName);
}

KSTNT_API HANDLE WINAPI CreateSemaphoreExA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName,
                                           DWORD, DWORD)
{
    return CreateSemaphoreT(lInitialCount, lMaximumCount, lpName);
}
KSTNT_API HANDLE WINAPI CreateSemaphoreExW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                                           LPCWSTR lpName, DWORD, DWORD)
{
    return CreateSemaphoreT(lInitialCount, lMaximumCount, lpName);
}

KSTNT_API HANDLE WINAPI OpenSemaphoreA(DWORD, BOOL, LPCSTR lpName)
{
    return OpenT(Kind::Semaphore, lpName);
}
KSTNT_API HANDLE WINAPI OpenSemaphoreW(DWORD, BOOL, LPCWSTR lpName)
{
    return OpenT(Kind::Semaphore, lpName);
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
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (hObject && ClosedAtExit(Word(hObject))) {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return hObject && KindOf(Word(hObject)) == Kind::Thread ? CloseThread(hObject) : CloseObject(hObject);
    });
}

KSTNT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return Guard<DWORD>(WAIT_FAILED, [&] { return WaitOne(hHandle, dwMilliseconds); });
}

// No wait is alertable here: there are no asynchronous procedure calls to run.
KSTNT_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL)
{
    return Guard<DWORD>(WAIT_FAILED, [&] { return WaitOne(hHandle, dwMilliseconds); });
}

KSTNT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                              DWORD dwMilliseconds)
{
    return Guard<DWORD>(WAIT_FAILED, [&] { return WaitMany(nCount, lpHandles, bWaitAll, dwMilliseconds); });
}

KSTNT_API DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                                DWORD dwMilliseconds, BOOL)
{
    return Guard<DWORD>(WAIT_FAILED, [&] { return WaitMany(nCount, lpHandles, bWaitAll, dwMilliseconds); });
}

KSTNT_API DWORD WINAPI SignalObjectAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn, DWORD dwMilliseconds, BOOL)
{
    return Guard<DWORD>(WAIT_FAILED, [&] { return SignalAndWait(hObjectToSignal, hObjectToWaitOn, dwMilliseconds); });
}
}
