#include "upload/Clock.h"

#include <gtest/gtest.h>

namespace {

TEST(SystemClock, PausesAndMeasuresOnAMonotonicClock) {
    CSystemClock& clock = CSystemClock::Instance();
    const std::int64_t nBefore = clock.GetMonotonicTime();
    clock.Sleep(20);
    const std::int64_t nAfter = clock.GetMonotonicTime();
    // 100-ns units: at least the 20 ms slept; the upper bound is generous for a busy machine.
    EXPECT_GE(nAfter - nBefore, 20 * 10'000);
    EXPECT_LT(nAfter - nBefore, 5'000 * 10'000);
}

} // namespace
