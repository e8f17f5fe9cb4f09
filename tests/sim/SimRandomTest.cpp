// The simulator's own logarithm against the maths library's, and the noise it draws with it.
#include "sim/SimRandom.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

namespace {

// How many representable doubles lie between a and b (both finite, of one sign).
std::uint64_t Ulps(double a, double b) {
    const auto x = std::bit_cast<std::int64_t>(a);
    const auto y = std::bit_cast<std::int64_t>(b);
    return static_cast<std::uint64_t>(x > y ? x - y : y - x);
}

} // namespace

TEST(SimLog, WithinOneUnitInTheLastPlaceOfTheLibrarys) {
    EXPECT_EQ(SimLog(1.0), 0.0);
    std::mt19937_64 gen(5);
    for (int i = 0; i < 2'000'000; ++i) {
        // The draws the noise takes its logarithm of, (0, 1]; then positive doubles of any size,
        // subnormal ones among them.
        const double u = 1.0 - static_cast<double>(gen() >> 11) * 0x1.0p-53;
        ASSERT_LE(Ulps(SimLog(u), std::log(u)), 1u) << u;
        const double any = std::bit_cast<double>(gen() >> 1);
        if (std::isfinite(any) && any > 0) {
            ASSERT_LE(Ulps(SimLog(any), std::log(any)), 1u) << any;
        }
    }
    for (const double x :
         {0x1p-1074, 0x1p-1022, 0x1.fffffffffffffp-1, 0x1.0000000000001p0, 2.0, 0x1.6a09e667f3bcdp0,
          0x1.6a09e667f3bccp-1, 1e300, 0x1.fffffffffffffp1023})
        EXPECT_LE(Ulps(SimLog(x), std::log(x)), 1u) << x;
}

TEST(SimLog, Log1pOfTheFlipProbabilities) {
    for (const double p :
         {1e-12, 1e-9, 1e-6, 1e-4, 3e-4, 1e-3, 0.01, 0.05, 0.1, 0.3, 0.5, 0.9, 0.999})
        EXPECT_LE(Ulps(SimLog1p(-p), std::log1p(-p)), 1u) << p;
    EXPECT_EQ(SimLog1p(-1e-20), -1e-20); // 1 + x rounds to 1: the first term is all there is
}

// The gaps between bit flips come out as they did with the maths library's logarithm, so that a
// seed gives the noise it always gave.
TEST(SimLog, NoiseGapsAsWithTheLibrarysLogarithm) {
    for (const double p : {1e-5, 1e-4, 1e-3, 0.01, 0.1, 0.5}) {
        CSimRandom ours(42, 1);
        CSimRandom theirs(42, 1);
        for (int i = 0; i < 300'000; ++i) {
            const std::uint64_t gap = ours.Gap(p);
            const double u = 1.0 - theirs.NextDouble();
            const double g = std::floor(std::log(u) / std::log1p(-p));
            ASSERT_EQ(gap, static_cast<std::uint64_t>(g)) << "p " << p << ", draw " << i;
        }
    }
}
