#pragma once
// Waits on events until a moment given to the nanosecond: the simulated line hands characters
// over at their due moments, and millisecond time-outs would deliver them up to a millisecond late.

#include "platform/Event.h"
#include "platform/Types.h"

#include <chrono>

// Waits until a is set (WAIT_OBJECT_0), b is set (WAIT_OBJECT_0 + 1; b may be null), or the
// clock reaches deadline (WAIT_TIMEOUT; time_point::max() waits without limit). When both are
// set, a wins. WAIT_FAILED when the system refuses the wait.
DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline);
