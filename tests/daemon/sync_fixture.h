// sync_fixture.h: a running daemon and the wire helpers of the object tests that need the real process.
// Everything else about objects, waits and signals runs in the rpc tier.
#pragma once

#include "tests/support/sandbox.h"

#include <optional>
#include <string>
#include <vector>

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
};
