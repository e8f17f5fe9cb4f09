#include "upload/Clock.h"

#include "platform/Sleep.h"

#include <chrono>

void CSystemClock::Sleep(DWORD dwMilliseconds) {
    ::Sleep(dwMilliseconds);
}

std::int64_t CSystemClock::GetMonotonicTime() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CSystemClock& CSystemClock::Instance() {
    static CSystemClock clock;
    return clock;
}
