// sync_fixture.h: short forms of the object, wait and signal calls for the rpc tier's tests.
#pragma once

#include "tests/rpc/harness.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst::rpc {

namespace P = kst::proc;

// A word as the traces print it with "0x%lx" or "%p".
inline std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

class SyncRpc : public RpcHarness {
protected:
    uint64_t Event(Connection &c, uint64_t manual_reset, uint64_t initial_state, std::string_view name = "")
    {
        return Call(c, P::kCreateEvent, EncodeCreate(manual_reset, initial_state, name));
    }
    uint64_t Mutex(Connection &c, uint64_t initial_owner, std::string_view name = "")
    {
        return Call(c, P::kCreateMutex, EncodeCreate(0, initial_owner, name));
    }
    uint64_t Semaphore(Connection &c, uint64_t initial, uint64_t maximum, std::string_view name = "")
    {
        return Call(c, P::kCreateSemaphore, EncodeCreate(initial, maximum, name));
    }
    uint64_t Open(Connection &c, uint32_t proc, std::string_view name) { return Call(c, proc, EncodeString(name)); }
    // A call whose only argument is a handle: set, reset, close, single wait, release mutex, single cancel.
    uint64_t On(Connection &c, uint32_t proc, uint64_t handle) { return Call(c, proc, EncodeWord(handle)); }
    uint64_t Release(Connection &c, uint64_t semaphore, uint64_t count)
    {
        return Call(c, P::kReleaseSemaphore, EncodeWords5({.arg1 = semaphore, .arg2 = count}));
    }
    uint64_t WaitMultiple(Connection &c, uint64_t count, uint64_t wait_all, const std::vector<uint64_t> &handles)
    {
        return Call(c, P::kWaitMultiple, EncodeWait(count, wait_all, handles));
    }
    // Parks a single wait, or a multiple wait over all the handles when a flag is given.
    uint32_t ParkOn(Connection &c, const std::vector<uint64_t> &handles, std::optional<uint64_t> wait_all = {})
    {
        if (wait_all) return Park(c, P::kWaitMultiple, EncodeWait(handles.size(), *wait_all, handles));
        return Park(c, P::kWaitSingle, EncodeWord(handles[0]));
    }
    // Signals an event that no waiter may still hold: the signal stays for the next wait.
    void ExpectUnwatched(Connection &c, uint64_t event)
    {
        EXPECT_EQ(WaitersOn(event), 0u);
        EXPECT_EQ(On(c, P::kSetEvent, event), 0u);
        EXPECT_EQ(On(c, P::kWaitSingle, event), event);
    }
    // The next reply on c: the word reply to xid carrying word, byte for byte.
    void ExpectReply(Connection &c, uint32_t xid, uint64_t word) { EXPECT_EQ(Read(c), WordReply(xid, word)); }
};

}  // namespace kst::rpc
