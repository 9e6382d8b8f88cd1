// identity.h: the words clients receive for objects and keys. A word names one record for the life of
// the process and is never handed out again, so a late call with a closed handle or a deleted key's word
// is refused instead of reaching whatever was created after it.
#pragma once

#include <sys/random.h>

#include <cstdint>
#include <ctime>
#include <unistd.h>

// Bits 44..62 are drawn once per process and are never all zero, so every word is far above the error
// codes and the predefined key handles, and a word kept by a client from before a restart names nothing
// in the new process (one chance in half a million of the same draw). The top bit stays clear so a word
// reads the same signed or unsigned in traces. The low 44 bits count up: at a hundred thousand new
// records a second they last more than five years.
inline constexpr int kIdentityCounterBits = 44;

[[nodiscard]] inline uint64_t DrawIdentityEpoch() noexcept
{
    uint64_t draw = 0;
    if (getrandom(&draw, sizeof draw, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof draw)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        draw = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(getpid());
    }
    const uint64_t epoch = draw >> (kIdentityCounterBits + 1);  // 19 bits
    return epoch != 0 ? epoch : 1;
}

// A word never returned before in this process.
[[nodiscard]] inline uint64_t NewIdentity() noexcept
{
    static const uint64_t epoch = DrawIdentityEpoch() << kIdentityCounterBits;
    static uint64_t       counter = 0;
    return epoch | (++counter & ((uint64_t{1} << kIdentityCounterBits) - 1));
}
