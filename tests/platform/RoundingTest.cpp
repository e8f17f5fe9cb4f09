// RoundHalfAway against the maths library's std::round, which it stands in for.
#include "platform/Rounding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

// The same double, bit for bit (the sign of zero included), or both NaN.
bool Same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

} // namespace

TEST(Rounding, HalfWayCasesAndEdgesAsStdRound) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (const double x : {0.0,
                           -0.0,
                           0.5,
                           -0.5,
                           1.5,
                           -1.5,
                           2.5,
                           -2.5,
                           0.49999999999999994,
                           -0.49999999999999994,
                           0.5000000000000001,
                           1e-300,
                           -1e-300,
                           4.9e-324,
                           4503599627370495.5,
                           -4503599627370495.5,
                           4503599627370496.0,
                           9007199254740993.0,
                           1e300,
                           -1e300,
                           kInf,
                           -kInf,
                           std::numeric_limits<double>::quiet_NaN(),
                           12345.4995,
                           12345.5,
                           21.9995 * 1000}) {
        EXPECT_TRUE(Same(RoundHalfAway(x), std::round(x))) << x;
    }
    static_assert(RoundHalfAway(2.5) == 3 && RoundHalfAway(-2.5) == -3);
}

TEST(Rounding, ManyValuesAsStdRound) {
    std::mt19937_64 gen(16);
    for (int i = 0; i < 1'000'000; ++i) {
        // Every bit pattern, and elapsed times in milliseconds as the JSON output rounds them.
        const double any = std::bit_cast<double>(gen());
        const double ms = static_cast<double>(gen() % 100'000'000) / 997.0 * 1000;
        ASSERT_TRUE(Same(RoundHalfAway(any), std::round(any))) << any;
        ASSERT_TRUE(Same(RoundHalfAway(ms), std::round(ms))) << ms;
        ASSERT_TRUE(Same(RoundHalfAway(-ms), std::round(-ms))) << -ms;
    }
}
