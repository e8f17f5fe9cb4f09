#pragma once
// Waits on events until a moment given to the nanosecond: the simulated line hands characters
// over at their due moments, and millisecond time-outs would deliver them up to a millisecond late.
// Windows waits take whole milliseconds: there a moment is met to within one.

#include "platform/Event.h"
#include "platform/Types.h"

#include <atomic>
#include <chrono>

// Waits until a is set (WAIT_OBJECT_0), b is set (WAIT_OBJECT_0 + 1; b may be null), or the
// clock reaches deadline (WAIT_TIMEOUT; time_point::max() waits without limit). When both are
// set, a wins. WAIT_FAILED when the system refuses the wait.
DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline);

// A moment one thread waits for and others may bring forward without waking it. The simulated
// line's threads sleep until their next moment (a character due at the host, the unit's next
// look); whoever schedules something earlier moves the alarm instead of waking the sleeper to
// look again, which would cost a wake-up on every record. One waiter; Arm and BringForward are
// called under the lock that guards what the moments are computed from.
class CSimAlarm {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    CSimAlarm();
    ~CSimAlarm();
    CSimAlarm(const CSimAlarm&) = delete;
    CSimAlarm& operator=(const CSimAlarm&) = delete;

    // False when the system refused the alarm's timer.
    bool IsValid() const;
    // The waiter, before it waits: go off at t (time_point::max(): not at all).
    void Arm(TimePoint t);
    // Another thread: go off at t if that is earlier than the moment armed.
    void BringForward(TimePoint t);
    // Another thread: go off at t instead, earlier or later (the waiter's wants changed).
    void MoveTo(TimePoint t);
    // The waiter: until stop is set (WAIT_OBJECT_0), the alarm goes off (WAIT_OBJECT_0 + 1) or
    // the clock reaches deadline (WAIT_TIMEOUT); WAIT_FAILED when the system refuses the wait.
    DWORD Wait(const CEvent& stop, TimePoint deadline);

private:
    TimePoint m_at = TimePoint::max();
#if defined(_WIN32)
    // Windows waits take whole milliseconds: the alarm is an event that makes the waiter take
    // the new moment as its time-out.
    CEvent m_moved;
    std::atomic<TimePoint::rep> m_atForWait{TimePoint::max().time_since_epoch().count()};
#else
    int m_fd;              // a timerfd on the monotonic clock, which steady_clock reads
    bool m_bArmed = false; // the timer holds m_at and has not gone off (the waiter's own flag)
#endif
};

// Makes the calling thread's timed waits end on time: to the microsecond rather than after the
// kernel's default 50 us of timer slack on Linux. On Windows each open line raises the system
// timer's period to 1 ms instead (CTimerResolutionScope). SimWait.cpp, SimWait_win32.cpp.
void SimUsePreciseTimers();
