// nt_api_test.cpp: the W forms, the per-user roots, the calls NT builds from the basic ones and
// waitable threads, through the real daemon: every caller buffer at its boundary, and the races of
// the new paths.
#include "libkstnt/kstnt.h"
#include "tests/support/sandbox.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kst {
namespace {

class NtApiTest : public DaemonTest {
protected:
    // The daemon is new for every test: a connection this thread kept from the last one reports its
    // loss on its next call, here rather than in the test.
    void SetUp() override
    {
        DaemonTest::SetUp();
        RegFlushKey(HKEY_LOCAL_MACHINE);
    }
};

const BYTE *Data(const void *p)
{
    return static_cast<const BYTE *>(p);
}

// One call that fills a caller's buffer: size in its own units (bytes, or characters for a name).
struct BufferCall {
    const char                          *what;
    std::size_t                          unit;  // bytes per unit of size
    bool                                 name;  // the count returned excludes the NUL
    std::function<LONG(BYTE *, DWORD *)> call;  // buffer, size in and out
};

// Each call, A and W, with exactly the room needed and one unit less: the first succeeds, the second
// answers ERROR_MORE_DATA with what is needed, and neither writes past its room (a sentinel behind
// it stays). NT's own buffer-sizing rules are met along the way: a NULL data buffer asks for the size.
TEST_F(NtApiTest, EveryCallerBufferAtItsBoundaryAAndW)
{
    HKEY key = nullptr, child = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "BOUNDS", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(key, "Child\u00e9", 0, nullptr, 0, 0, nullptr, &child, nullptr), ERROR_SUCCESS);
    const char text[] = "h\u00e9llo w\u00f6rld";
    ASSERT_EQ(RegSetValueExA(key, "Gr\u00fc\u00df", 0, REG_SZ, Data(text), sizeof text), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(child, "", 0, REG_SZ, Data(text), sizeof text), ERROR_SUCCESS);
    auto                          p = [](BYTE *b) { return reinterpret_cast<char *>(b); };
    auto                          w = [](BYTE *b) { return reinterpret_cast<wchar_t *>(b); };
    const std::vector<BufferCall> calls{
        {"RegQueryValueExA", 1, false,
         [&](BYTE *b, DWORD *n) { return RegQueryValueExA(key, "GR\u00fc\u00df", nullptr, nullptr, b, n); }},
        {"RegQueryValueExW", 1, false,
         [&](BYTE *b, DWORD *n) { return RegQueryValueExW(key, L"gr\u00fc\u00df", nullptr, nullptr, b, n); }},
        {"RegGetValueA", 1, false,
         [&](BYTE *b, DWORD *n) { return RegGetValueA(key, nullptr, "Gr\u00fc\u00df", RRF_RT_REG_SZ, nullptr, b, n); }},
        {"RegGetValueW", 1, false,
         [&](BYTE *b, DWORD *n) {
             return RegGetValueW(HKEY_LOCAL_MACHINE, L"BOUNDS", L"Gr\u00fc\u00df", RRF_RT_ANY, nullptr, b, n);
         }},
        {"RegEnumValueA name", 1, true,
         [&](BYTE *b, DWORD *n) { return RegEnumValueA(key, 0, p(b), n, nullptr, nullptr, nullptr, nullptr); }},
        {"RegEnumValueW name", sizeof(wchar_t), true,
         [&](BYTE *b, DWORD *n) { return RegEnumValueW(key, 0, w(b), n, nullptr, nullptr, nullptr, nullptr); }},
        {"RegEnumValueA data", 1, false,
         [&](BYTE *b, DWORD *n) {
             char  name[16];
             DWORD chars = sizeof name;
             return RegEnumValueA(key, 0, name, &chars, nullptr, nullptr, b, n);
         }},
        {"RegEnumValueW data", 1, false,
         [&](BYTE *b, DWORD *n) {
             wchar_t name[16];
             DWORD   chars = 16;
             return RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, b, n);
         }},
        {"RegEnumKeyExA", 1, true,
         [&](BYTE *b, DWORD *n) { return RegEnumKeyExA(key, 0, p(b), n, nullptr, nullptr, nullptr, nullptr); }},
        {"RegEnumKeyExW", sizeof(wchar_t), true,
         [&](BYTE *b, DWORD *n) { return RegEnumKeyExW(key, 0, w(b), n, nullptr, nullptr, nullptr, nullptr); }},
        {"RegQueryValueA", 1, false,
         [&](BYTE *b, DWORD *n) {
             LONG       size = static_cast<LONG>(*n);
             const LONG rc = RegQueryValueA(key, "child\u00e9", p(b), &size);
             *n = static_cast<DWORD>(size);
             return rc;
         }},
        {"RegQueryValueW", 1, false,
         [&](BYTE *b, DWORD *n) {
             LONG       size = static_cast<LONG>(*n);
             const LONG rc = RegQueryValueW(key, L"Child\u00e9", w(b), &size);
             *n = static_cast<DWORD>(size);
             return rc;
         }},
    };
    constexpr BYTE kSentinel = 0xA5;
    for (const BufferCall &c : calls) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> whole(1024, kSentinel);
        DWORD             reported = static_cast<DWORD>(whole.size() / c.unit);
        ASSERT_EQ(c.call(whole.data(), &reported), ERROR_SUCCESS);
        const DWORD needed = reported + (c.name ? 1 : 0);  // units of room, the NUL included
        for (const DWORD room : {needed, needed - 1}) {
            std::vector<BYTE> buffer(needed * c.unit + 16, kSentinel);
            DWORD             size = room;
            EXPECT_EQ(c.call(buffer.data(), &size), room == needed ? ERROR_SUCCESS : ERROR_MORE_DATA) << room;
            EXPECT_EQ(size, reported) << room;
            for (std::size_t at = room * c.unit; at < buffer.size(); ++at)
                ASSERT_EQ(buffer[at], kSentinel) << "written past " << room << " units at byte " << at;
            if (room == needed) {
                EXPECT_EQ(0, memcmp(buffer.data(), whole.data(), needed * c.unit));
            }
        }
        DWORD asked = 0;
        if (!c.name) {
            EXPECT_TRUE(c.call(nullptr, &asked) == ERROR_SUCCESS && asked == reported);
        }
    }
}

// Wide text is UTF-8 on the wire and back: an A call reads what a W call wrote and the other way
// round, with sizes in each caller's bytes. Limits apply to the UTF-8 form, and text without one is
// refused, both before anything is sent.
TEST_F(NtApiTest, WideAndNarrowCallsShareValuesAndTheUtf8Limits)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Wide\\\u00c4rger", 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t list[] = L"\u4e16\0\U0001F600\0";
    ASSERT_EQ(RegSetValueExW(key, L"Liste", 0, REG_MULTI_SZ, Data(list), sizeof list), ERROR_SUCCESS);
    const DWORD number = 0x00E9C3u;  // not text: stays four bytes in both forms
    ASSERT_EQ(RegSetValueExW(key, L"N", 0, REG_DWORD, Data(&number), sizeof number), ERROR_SUCCESS);
    char  narrow[32];
    DWORD size = sizeof narrow, type = 0;
    ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "WIDE\\\u00c4RGER", "liste", RRF_RT_REG_MULTI_SZ, &type, narrow, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(narrow, size), std::string("\u4e16\0\U0001F600\0\0", 10));
    DWORD read = 0;
    size = sizeof read;
    EXPECT_EQ(RegQueryValueExA(key, "N", nullptr, &type, reinterpret_cast<BYTE *>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, number);

    const std::wstring long_name(150, L'\u00e9');  // 150 characters, 300 bytes of UTF-8
    EXPECT_EQ(RegSetValueExW(key, long_name.c_str(), 0, REG_DWORD, Data(&number), 4), ERROR_FILENAME_EXCED_RANGE);
    const std::wstring long_data(300, L'\u00e9');
    EXPECT_EQ(RegSetValueExW(key, L"D", 0, REG_SZ, Data(long_data.c_str()), 1204), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, L"\xD800", 0, REG_DWORD, Data(&number), 4), ERROR_NO_UNICODE_TRANSLATION);
    // A value name the store can't hold is never sent: it would name a file in another directory.
    HKEY beside = nullptr;  // its directory is where "a/b" would land
    ASSERT_EQ(RegCreateKeyExA(key, "V_A", 0, nullptr, 0, 0, nullptr, &beside, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "a\\b", 0, REG_DWORD, Data(&number), 4), ERROR_INVALID_NAME);
    EXPECT_EQ(RegSetValueExW(key, L"a/b", 0, REG_DWORD, Data(&number), 4), ERROR_INVALID_NAME);
    EXPECT_EQ(RegQueryValueExA(key, "a\\b", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key, L"a/b"), ERROR_FILE_NOT_FOUND);
    const std::wstring long_object(40, L'\u00e9');
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, long_object.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    HANDLE named = CreateMutexW(nullptr, FALSE, L"m\u00fctex");
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "m\u00fctex"), named);
    // "Local\" is the name space of names without a prefix (the prefix is case-sensitive, as on NT);
    // "Global\" names objects of its own.
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"Local\\m\u00fctex"), named);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "local\\m\u00fctex"), nullptr);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\m\u00fctex"), nullptr);

    // _stprintf_s of a _UNICODE build reads %s as wide text and %S as narrow, and keeps to its room.
    wchar_t printed[8];
    wmemset(printed, L'#', 8);
    EXPECT_EQ(kstnt_swprintf(printed, 6, L"%s|%S", L"\u00e9t", "no"), 5);
    EXPECT_EQ(std::wstring(printed), L"\u00e9t|no");
    EXPECT_EQ(kstnt_swprintf(printed, 5, L"%s|%S", L"\u00e9t", "no"), -1);
    EXPECT_EQ(std::wstring(printed), L"\u00e9t|n");
    EXPECT_EQ(printed[6], L'#');
}

// HKEY_CURRENT_USER is a key below HKEY_USERS, HKEY_USERS one below HKEY_LOCAL_MACHINE, and both
// enumerate and report like any key.
TEST_F(NtApiTest, PerUserRootsAreKeysOfTheMachineTree)
{
    HKEY app = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\App", &app), ERROR_SUCCESS);
    const std::string sid = "S-1-22-1-" + std::to_string(getuid());
    wchar_t           name[32];
    DWORD             chars = 32, sub_keys = 0;
    ASSERT_EQ(RegEnumKeyExW(HKEY_USERS, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), std::wstring(sid.begin(), sid.end()));
    HKEY via_machine = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("HKEY_USERS\\" + sid + "\\SOFTWARE\\APP").c_str(), 0, 0, &via_machine),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryInfoKeyA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(sub_keys, 1u);
    EXPECT_EQ(RegSetKeyValueA(HKEY_CURRENT_CONFIG, nullptr, "Display", REG_SZ, "wide", 5), ERROR_SUCCESS);
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", "Display",
                           RRF_RT_REG_SZ, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

// RegCopyTree takes values and subkeys along; RegDeleteTree with a subkey removes it, without one
// keeps the key.
TEST_F(NtApiTest, CopyTreeAndDeleteTree)
{
    HKEY from = nullptr, to = nullptr, opened = nullptr;
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, "From\\A\\B", "V", REG_SZ, "x", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(HKEY_LOCAL_MACHINE, "From", REG_SZ, "top", 0), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "From", &from), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "To", &to), ERROR_SUCCESS);
    ASSERT_EQ(RegCopyTreeA(from, nullptr, to), ERROR_SUCCESS);
    char  data[8];
    LONG  size = sizeof data;
    DWORD dsize = sizeof data;
    EXPECT_EQ(RegGetValueA(to, "A\\B", "V", RRF_RT_REG_SZ, nullptr, data, &dsize), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueA(HKEY_LOCAL_MACHINE, "To", data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(data, "top");
    EXPECT_EQ(RegDeleteTreeA(to, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "To", 0, 0, &opened), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(to, "A", 0, 0, &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"From"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "From", 0, 0, &opened), ERROR_FILE_NOT_FOUND);
}

// PulseEvent releases the thread parked on a manual-reset event and leaves it reset. SignalObjectAndWait
// releases the mutex as it starts waiting; when its signal fails it reports that, and what its wait
// took is back.
TEST_F(NtApiTest, PulseEventAndSignalObjectAndWait)
{
    HANDLE             gate = CreateEventExA(nullptr, nullptr, CREATE_EVENT_MANUAL_RESET, EVENT_ALL_ACCESS);
    std::atomic<DWORD> woke{WAIT_FAILED};
    const std::size_t  mark = sandbox_.TraceMark();
    std::thread        waiter([&] { woke = WaitForSingleObject(gate, 10000); });
    ASSERT_TRUE(sandbox_.WaitForTrace("WaitForSingleObject called", 5000, mark));
    EXPECT_TRUE(PulseEvent(gate));
    waiter.join();
    EXPECT_EQ(woke.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(gate, 0), WAIT_TIMEOUT);

    HANDLE mutex = CreateMutexExA(nullptr, nullptr, CREATE_MUTEX_INITIAL_OWNER, MUTEX_ALL_ACCESS);
    EXPECT_EQ(SignalObjectAndWait(mutex, gate, 20, FALSE), WAIT_TIMEOUT);
    std::thread([&] { woke = WaitForSingleObject(mutex, 0); }).join();
    EXPECT_EQ(woke.load(), WAIT_OBJECT_0);  // the mutex was free

    HANDLE full = CreateSemaphoreExA(nullptr, 1, 1, nullptr, 0, SEMAPHORE_ALL_ACCESS);
    HANDLE ready = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(SignalObjectAndWait(full, ready, 0, FALSE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0);  // given back
}

// A and W writers and readers on the same values: every read is one of the values written, whole,
// in the reader's own form.
TEST_F(NtApiTest, NarrowAndWideCallsRaceOnTheSameValues)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Race", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    const std::array<std::wstring, 2> wide{L"\u00e9t\u00e9", L"\u51ac\u5929\U0001F976"};
    const std::array<std::string, 2>  narrow{"\u00e9t\u00e9", "\u51ac\u5929\U0001F976"};
    std::atomic<int>                  faults{0};
    std::vector<std::thread>          threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const std::size_t pick = (i + t) % 2;
                if (t == 0) RegSetValueExW(key, L"S", 0, REG_SZ, Data(wide[pick].c_str()), (wide[pick].size() + 1) * 4);
                if (t == 1) RegSetValueExA(key, "S", 0, REG_SZ, Data(narrow[pick].c_str()), narrow[pick].size() + 1);
                if (t == 2) {
                    wchar_t buffer[16];
                    DWORD   size = sizeof buffer;
                    if (RegGetValueW(key, nullptr, L"S", RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS &&
                        buffer != wide[0] && buffer != wide[1])
                        ++faults;
                }
                if (t == 3) {
                    char  buffer[16];
                    DWORD size = sizeof buffer;
                    if (RegGetValueA(key, nullptr, "S", RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS &&
                        buffer != narrow[0] && buffer != narrow[1])
                        ++faults;
                }
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(faults.load(), 0);
}

DWORD WINAPI EndAfter(LPVOID ms)
{
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(ms)));
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(ms)) + 1000;
}

// Thread handles and a semaphore in one wait for any, with time-outs of 0 and 1 ms while threads end
// and counts are released: every thread's end is seen with its exit code, and every count is taken
// once (the counts taken and left add up to the releases). A wait for all on the threads, timing out
// meanwhile, completes once they have all ended.
TEST_F(NtApiTest, ThreadEndsAndReleasesCrossingTimedOutWaitsAreNeverLost)
{
    constexpr int       kThreads = 40, kReleases = 400;
    HANDLE              sem = CreateSemaphoreA(nullptr, 0, kReleases, nullptr);
    std::vector<HANDLE> live{sem}, all;
    for (int i = 0; i < kThreads; ++i) {
        all.push_back(
            CreateThread(nullptr, 0, EndAfter, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(i % 13)), 0, nullptr));
        ASSERT_NE(all.back(), nullptr);
        live.push_back(all.back());
    }
    std::thread releaser([&] {
        for (int i = 0; i < kReleases; ++i)
            ReleaseSemaphore(sem, 1, nullptr);
    });
    // Meanwhile a wait for all of them keeps timing out until the last one ends.
    std::atomic<DWORD> all_rc{WAIT_FAILED};
    std::thread        all_waiter([&] {
        DWORD rc = WAIT_TIMEOUT;
        for (DWORD round = 0; rc == WAIT_TIMEOUT && round < 100000; ++round)
            rc = WaitForMultipleObjects(kThreads, all.data(), TRUE, round % 2);
        all_rc = rc;
    });
    int                taken = 0, faults = 0, ended = 0;
    for (DWORD round = 0; ended < kThreads && round < 200000; ++round) {
        const DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(live.size()), live.data(), FALSE, round % 2);
        if (rc == WAIT_OBJECT_0) {
            ++taken;
        } else if (rc > WAIT_OBJECT_0 && rc < WAIT_OBJECT_0 + live.size()) {
            DWORD code = 0;
            if (!GetExitCodeThread(live[rc], &code) || code < 1000) ++faults;
            live.erase(live.begin() + rc);
            ++ended;
        } else if (rc != WAIT_TIMEOUT) {
            ++faults;
        }
    }
    releaser.join();
    all_waiter.join();
    EXPECT_EQ(all_rc.load(), WAIT_OBJECT_0);
    while (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0)
        ++taken;
    EXPECT_EQ(ended, kThreads);
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(taken, kReleases);
    for (HANDLE thread : all)
        EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(all[0], nullptr));
}

}  // namespace
}  // namespace kst
