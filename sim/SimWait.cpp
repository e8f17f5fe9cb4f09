#include "sim/SimWait.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

timespec ToTimespec(std::chrono::nanoseconds ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    return ts;
}

// Waits on two descriptors until one is readable or the clock reaches deadline: WAIT_OBJECT_0
// for the first (which wins when both are), WAIT_OBJECT_0 + 1 for the second, WAIT_TIMEOUT or
// WAIT_FAILED. A negative descriptor is left out, as poll does.
DWORD WaitForFds(int fdA, int fdB, std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    pollfd p[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
    for (;;) {
        timespec ts{};
        timespec* pts = nullptr;
        if (deadline != Clock::time_point::max()) {
            const auto left = deadline - Clock::now();
            if (left.count() > 0)
                ts = ToTimespec(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
            pts = &ts;
        }
        const int r = ppoll(p, 2, pts, nullptr);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        if (r == 0)
            return WAIT_TIMEOUT;
        if (p[0].revents & POLLIN)
            return WAIT_OBJECT_0;
        if (p[1].revents & POLLIN)
            return WAIT_OBJECT_0 + 1;
        return WAIT_FAILED;
    }
}

// Sets the timer to go off at t (time_point::max(): never). True when the system took it.
bool SetTimerAt(int fd, std::chrono::steady_clock::time_point t) {
    itimerspec spec{}; // all zero: disarmed
    if (t != std::chrono::steady_clock::time_point::max()) {
        spec.it_value = ToTimespec(t.time_since_epoch());
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
            spec.it_value.tv_nsec = 1; // zero would disarm; a moment long past goes off at once
    }
    return timerfd_settime(fd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

} // namespace

DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline) {
    return WaitForFds(a.Fd(), b ? b->Fd() : -1, deadline);
}

CSimAlarm::CSimAlarm() : m_fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}

CSimAlarm::~CSimAlarm() {
    if (m_fd >= 0)
        close(m_fd);
}

bool CSimAlarm::IsValid() const {
    return m_fd >= 0;
}

void CSimAlarm::Arm(TimePoint t) {
    if (m_bArmed && t == m_at)
        return; // already set for that moment
    m_at = t;
    m_bArmed = SetTimerAt(m_fd, t);
}

void CSimAlarm::BringForward(TimePoint t) {
    if (t >= m_at)
        return;
    m_at = t;
    SetTimerAt(m_fd, t);
}

void CSimAlarm::MoveTo(TimePoint t) {
    if (t == m_at)
        return;
    m_at = t;
    SetTimerAt(m_fd, t);
}

DWORD CSimAlarm::Wait(const CEvent& stop, TimePoint deadline) {
    const DWORD r = WaitForFds(stop.Fd(), m_fd, deadline);
    if (r == WAIT_OBJECT_0 + 1) {
        std::uint64_t expirations = 0;
        ssize_t n;
        do {
            n = read(m_fd, &expirations, sizeof expirations); // clears it
        } while (n < 0 && errno == EINTR);
        m_bArmed = false; // gone off: the next Arm sets it again
    }
    return r;
}

void SimUsePreciseTimers() {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}
