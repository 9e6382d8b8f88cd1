// objects.h: what the thread calls (threads.cpp) take from the object calls (objects.cpp).
#pragma once

#include "libkstnt/session.h"

namespace kstnt {

// A new unnamed manual-reset event, not set, registered as a thread's handle; NULL with the last
// error set when the daemon refuses it.
HANDLE NewThreadEvent();
// Sets a thread's event when the thread ends (SetEvent refuses a thread's handle).
BOOL SetThreadEvent(HANDLE hThread);
// CloseHandle of an event, mutex or semaphore (or of a thread's event, once threads.cpp allows it).
BOOL CloseObject(HANDLE hObject);
// CloseHandle of a thread's handle (threads.cpp).
BOOL CloseThread(HANDLE hThread);

}  // namespace kstnt
