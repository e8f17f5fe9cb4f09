#include "sim/SimWait.h"

#include "platform/Win32.h"

#include <algorithm>

DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    const HANDLE handles[2] = {a.Handle(), b ? b->Handle() : nullptr};
    const DWORD nHandles = b ? 2 : 1;
    for (;;) {
        DWORD dwWait = INFINITE;
        if (deadline != Clock::time_point::max()) {
            const auto left = deadline - Clock::now();
            // Rounded up: a wait that ends early only comes round once more.
            dwWait = left.count() <= 0
                         ? 0
                         : static_cast<DWORD>(
                               std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        const DWORD r = WaitForMultipleObjects(nHandles, handles, FALSE, dwWait);
        if (r == WAIT_OBJECT_0 || (b && r == WAIT_OBJECT_0 + 1))
            return r;
        if (r != WAIT_TIMEOUT)
            return WAIT_FAILED;
        if (dwWait == 0 || Clock::now() >= deadline)
            return WAIT_TIMEOUT;
    }
}

CSimAlarm::CSimAlarm() = default;
CSimAlarm::~CSimAlarm() = default;

bool CSimAlarm::IsValid() const {
    return m_moved.IsValid();
}

void CSimAlarm::Arm(TimePoint t) {
    m_at = t;
    m_atForWait.store(t.time_since_epoch().count());
    m_moved.Reset();
}

void CSimAlarm::BringForward(TimePoint t) {
    if (t >= m_at)
        return;
    m_at = t;
    m_atForWait.store(t.time_since_epoch().count());
    m_moved.Set(); // the waiter takes the new moment as its time-out
}

void CSimAlarm::MoveTo(TimePoint t) {
    if (t < m_at) {
        BringForward(t);
        return;
    }
    // Later: the waiter that has begun its wait comes round at the old moment and waits again;
    // waking it now would cost the very wake-up the move saves.
    m_at = t;
    m_atForWait.store(t.time_since_epoch().count());
}

DWORD CSimAlarm::Wait(const CEvent& stop, TimePoint deadline) {
    const TimePoint at{TimePoint::duration(m_atForWait.load())};
    const DWORD r = SimWaitUntil(stop, &m_moved, std::min(at, deadline));
    if (r == WAIT_TIMEOUT && at <= deadline)
        return WAIT_OBJECT_0 + 1; // the alarm's own moment came
    return r;
}

void SimUsePreciseTimers() {
    // The timer's 1 ms period is raised by each open line for its own lifetime (CSimLine).
}
