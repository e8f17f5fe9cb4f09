#pragma once
// Rounding to a whole number as std::round does (half-way cases away from zero), without the
// maths library: a program that needs nothing else from it need not map it (see LeanLink.cmake).

#include <cstdint>

// The whole number nearest to x, half-way cases away from zero; exact for every double. NaN and
// infinities come back as they are, so does the sign of zero.
constexpr double RoundHalfAway(double x) {
    // From 2^52 on every double is whole (and NaN compares false).
    if (!(x > -0x1p52 && x < 0x1p52))
        return x;
    const double t = static_cast<double>(static_cast<std::int64_t>(x)); // toward zero
    const double f = x - t;                                             // exact
    if (f >= 0.5)
        return t + 1;
    if (f <= -0.5)
        return t - 1;
    return t == 0 ? x * 0 : t; // x * 0 keeps the sign of x, as std::round does
}
