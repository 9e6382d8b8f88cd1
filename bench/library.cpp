// library.cpp: the library rows' calls. Each raw call sends what libkstnt sends for the same call, so a
// difference between the two is the library's own: its session lookup, error translation and copies.
#include "bench/library.h"

#define KSTNT_NO_NAME_MACROS
#include "libkstnt/kstnt.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace kst::bench {
namespace {

constexpr uint64_t kLocalMachine = 2;  // HKEY_LOCAL_MACHINE's handle on the wire
constexpr char     kKey[] = "KSTBENCH_LIBRARY";

// A wait with a time-out of 0, as the library sends it: the wait and its cancel in one write, then both
// replies.
bool RawPoll(Connection &c, uint64_t handle)
{
    const uint32_t xid = c.NextXid(), cancel_xid = c.NextXid();
    Bytes          both = CallRecord(xid, proc::kWaitSingle, EncodeWord(handle));
    const Bytes    cancel = CallRecord(cancel_xid, proc::kCancelWaitSingle, EncodeWord(handle));
    both.insert(both.end(), cancel.begin(), cancel.end());
    if (!c.SendRaw(both)) return false;
    const auto first = c.ReadReply(), second = c.ReadReply();
    return first && second && first->Word() == handle;
}

// A wait that times out after timeout_ms, as the library does it: the wait, no reply in time, the
// cancel, then both replies (the cancelled wait's 0 and the cancel's own).
bool RawTimedOut(Connection &c, uint64_t handle, int timeout_ms)
{
    if (!c.SendCall(proc::kWaitSingle, EncodeWord(handle), c.NextXid())) return false;
    if (c.ReadReply(timeout_ms) || !c.timed_out()) return false;
    if (!c.SendCall(proc::kCancelWaitSingle, EncodeWord(handle), c.NextXid())) return false;
    const auto first = c.ReadReply(), second = c.ReadReply();
    return first && second && first->Word() == 0u;
}

}  // namespace

std::vector<LibraryCall> LibraryCalls(uint16_t port, int timeout_ms)
{
    setenv("KSTNT_PORT", std::to_string(port).c_str(), 1);
    auto raw = std::make_shared<Connection>();
    if (!raw->Connect(port)) return {};
    // A manual-reset event that stays signalled, one that never is, and a key with one 100-byte value; each
    // made by each side, so neither uses the other's handles.
    HANDLE lib_set = CreateEventA(nullptr, TRUE, TRUE, nullptr),
           lib_unset = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const uint64_t raw_set = raw->CreateEvent(1, 1, "").value_or(0), raw_unset = raw->CreateEvent(1, 0, "").value_or(0);
    HKEY           lib_key = nullptr;
    const std::string data(100, 'l');
    if (!lib_set || !lib_unset || !raw_set || !raw_unset ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, 0, nullptr, &lib_key, nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(lib_key, "V", 0, 3, reinterpret_cast<const BYTE *>(data.data()), 100) != ERROR_SUCCESS)
        return {};
    const uint64_t raw_key = raw->RegOpenKeyEx(kLocalMachine, kKey).value_or(0);
    if (raw_key <= 0xFFFF) return {};
    return {
        {"WaitForSingleObject(h, 0), signalled", [=] { return WaitForSingleObject(lib_set, 0) == WAIT_OBJECT_0; },
         [=] { return RawPoll(*raw, raw_set); }},
        {"SetEvent", [=] { return SetEvent(lib_set) != FALSE; }, [=] { return raw->SetEvent(raw_set) == 0u; }},
        {"RegQueryValueExA, 100 bytes",
         [=] {
             BYTE  buffer[128];
             DWORD type = 0, size = sizeof buffer;
             return RegQueryValueExA(lib_key, "V", nullptr, &type, buffer, &size) == ERROR_SUCCESS && size == 100;
         },
         [=] { return raw->RegQueryValueEx(raw_key, "V").has_value(); }},
        {"WaitForSingleObject(h, " + std::to_string(timeout_ms) + "), times out",
         [=] { return WaitForSingleObject(lib_unset, static_cast<DWORD>(timeout_ms)) == WAIT_TIMEOUT; },
         [=] { return RawTimedOut(*raw, raw_unset, timeout_ms); }},
    };
}

}  // namespace kst::bench
