#pragma once
// Waits on events until a moment given to the nanosecond: the simulated line hands characters
// over at their due moments, and millisecond time-outs would deliver them up to a millisecond late.
// Windows waits take whole milliseconds: there a moment is met to within one.

#include "platform/Event.h"
#include "platform/Types.h"

#include <chrono>

// Waits until a is set (WAIT_OBJECT_0), b is set (WAIT_OBJECT_0 + 1; b may be null), or the
// clock reaches deadline (WAIT_TIMEOUT; time_point::max() waits without limit). When both are
// set, a wins. WAIT_FAILED when the system refuses the wait.
DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline);

// Makes the calling thread's timed waits end on time: to the microsecond rather than after the
// kernel's default 50 us of timer slack on Linux. On Windows each open line raises the system
// timer's period to 1 ms instead (CTimerResolutionScope). SimWait.cpp, SimWait_win32.cpp.
void SimUsePreciseTimers();
