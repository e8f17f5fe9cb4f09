#pragma once
// A session's sleeps and waits of a millisecond (each host break, each wait for an answer) must
// last about that long. On Windows the system timer ticks every 15.6 ms by default, so a
// session raises its resolution to 1 ms for its own duration, and gives it back when it ends,
// so that its timing never depends on what ran before it. Elsewhere there is nothing to raise.

#include <functional>

class CTimerResolutionScope {
public:
    CTimerResolutionScope();  // raises the resolution
    ~CTimerResolutionScope(); // gives back what the constructor raised, and only that
    CTimerResolutionScope(const CTimerResolutionScope&) = delete;
    CTimerResolutionScope& operator=(const CTimerResolutionScope&) = delete;

private:
    bool m_bRaised;
};

// Tests watch the calls: fn(true) for each raise that took effect, fn(false) for each
// give-back. An empty function removes the observer; the previous one is returned.
using TimerPeriodObserver = std::function<void(bool bRaise)>;
TimerPeriodObserver SetTimerPeriodObserver(TimerPeriodObserver fn);
