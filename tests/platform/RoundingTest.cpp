// RoundHalfAway, which stands in for the maths library's std::round.
#include "platform/Rounding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>

namespace {

// The same double, bit for bit (the sign of zero included), or both NaN.
bool Same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

} // namespace

// As the standard has std::round; stated here, not taken from a library (a Windows runtime under
// Wine rounds 0.49999999999999994 up to 1, having added 0.5 first).
TEST(Rounding, HalfWayCasesAndEdges) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> cases[] = {
        {0.0, 0.0},
        {-0.0, -0.0},
        {0.5, 1.0},
        {-0.5, -1.0},
        {1.5, 2.0},
        {-1.5, -2.0},
        {2.5, 3.0},
        {-2.5, -3.0},
        {0.49999999999999994, 0.0},
        {-0.49999999999999994, -0.0},
        {0.5000000000000001, 1.0},
        {1e-300, 0.0},
        {-1e-300, -0.0},
        {4.9e-324, 0.0},
        {12345.4995, 12345.0},
        {12345.5, 12346.0},
        {4503599627370495.5, 4503599627370496.0},
        {-4503599627370495.5, -4503599627370496.0},
        {4503599627370497.0, 4503599627370497.0},
        {1e300, 1e300},
        {-1e300, -1e300},
        {kInf, kInf},
        {-kInf, -kInf},
    };
    for (const auto& [x, expected] : cases)
        EXPECT_TRUE(Same(RoundHalfAway(x), expected)) << x;
    EXPECT_TRUE(std::isnan(RoundHalfAway(std::numeric_limits<double>::quiet_NaN())));
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
