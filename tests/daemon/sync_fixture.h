// sync_fixture.h: a running daemon and the wire helpers shared by the object, wait and signal tests.
#pragma once

#include "tests/support/sandbox.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using kst::Answer;
using kst::ExpectUnwatched;
using kst::Next;

inline uint64_t Word(kst::Connection &c)
{
    return Next(c).second;
}

// A handle as the daemon's traces print it with "0x%lx" or "%p".
inline std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

class SyncDaemon : public kst::DaemonTest {
protected:
    // Sends a wait that must park (a single wait, or a multiple wait when a flag is given): its trace
    // shows that the daemon has handled it, and no reply follows.
    void Park(kst::Connection &c, const std::vector<uint64_t> &handles, std::optional<uint64_t> wait_all = {})
    {
        const std::size_t mark = sandbox_.TraceMark();
        const std::string trace =
            wait_all ? "WaitForMultipleObject called" : "WaitForSingleObject called, id=" + std::to_string(handles[0]);
        ASSERT_TRUE(c.SendCall(
            wait_all ? kst::proc::kWaitMultiple : kst::proc::kWaitSingle,
            wait_all ? kst::EncodeWait(handles.size(), *wait_all, handles) : kst::EncodeWord(handles[0]), c.NextXid()));
        EXPECT_TRUE(sandbox_.WaitForTrace(trace, 5000, mark)) << trace;
        EXPECT_TRUE(c.NoReplyWithin(200)) << "answered instead of parked: " << trace;
    }

    // Trace lines from `since` on written by that function with exactly that message. A routine traces
    // before its reply goes out, so once the reply is in, the line is there.
    std::size_t Traces(const std::string &function, const std::string &message, std::size_t since) const
    {
        return sandbox_.CountTrace(" ntsys_s " + function + ":", since, message);
    }
};
