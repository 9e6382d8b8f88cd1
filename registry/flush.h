// flush.h: the disk waiter, the one thread of the server besides its loop; it waits for the disk so that
// the loop never does (flush.cpp).
#pragma once

// Starts the disk waiter and has the loop watch its completions; in the serving process, before the loop
// runs. False when the thread can't be started: flushes then wait for the disk in the loop.
bool StartDiskWaiter() noexcept;
// Lets the disk waiter finish every flush queued, joins it and answers those flushes; at shutdown, before
// the objects go. A reply never claims a flush that has not reached the disk.
void StopDiskWaiter() noexcept;
// Parks the calling request until the value files of the key whose directory is `directory` and the
// directory itself are on the disk; the reply is then 0. False when the call is answered at once: the
// directory can't be opened (nothing to flush), or the disk waiter isn't running or there is no memory,
// in which case the wait has already happened here.
[[nodiscard]] bool ParkFlush(const char *directory) noexcept;
