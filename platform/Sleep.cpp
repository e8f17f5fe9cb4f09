#include "platform/Sleep.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

void Sleep(DWORD dwMilliseconds) {
    // The host's break is a Sleep(1) between raising and lifting it: with the kernel's default
    // 50 us of timer slack and a relative sleep, each one ran 0.1 ms long. The thread's slack is
    // cut to 1 us once, and the sleep runs to an absolute deadline, so an interruption restarts
    // it without adding to its length.
    thread_local const bool bPrecise = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;
    (void)bPrecise;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(dwMilliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1'000'000L;
    if (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_nsec -= 1'000'000'000L;
        ++deadline.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
