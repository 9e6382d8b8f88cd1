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
    // Parks a single wait, or a multiple wait when a flag is given.
    void Park(kst::Connection &c, const std::vector<uint64_t> &handles, std::optional<uint64_t> wait_all = {})
    {
        if (wait_all)
            ParkCall(c, kst::proc::kWaitMultiple, kst::EncodeWait(handles.size(), *wait_all, handles),
                     "WaitForMultipleObject called");
        else
            ParkCall(c, kst::proc::kWaitSingle, kst::EncodeWord(handles[0]),
                     "WaitForSingleObject called, id=" + std::to_string(handles[0]));
    }

    // Trace lines from `since` on written by that function with exactly that message. A routine traces
    // before its reply goes out, so once the reply is in, the line is there.
    std::size_t Traces(const std::string &function, const std::string &message, std::size_t since) const
    {
        return sandbox_.CountTrace(" ntsys_s " + function + ":", since, message);
    }
};
