#include "sim/SimWait.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>

DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    pollfd p[2] = {{a.Fd(), POLLIN, 0}, {b ? b->Fd() : -1, POLLIN, 0}};
    for (;;) {
        timespec ts{};
        timespec* pts = nullptr;
        if (deadline != Clock::time_point::max()) {
            const auto left = deadline - Clock::now();
            if (left.count() > 0) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
                ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            }
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

void SimUsePreciseTimers() {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}
