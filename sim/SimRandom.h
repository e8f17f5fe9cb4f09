#pragma once
// Random choices of the simulated line and unit. Our own generator (xoshiro256**, seeded through
// splitmix64) so that a seed gives the same choices with every standard library; for the same
// reason, and so that a program with the simulator needs no maths library, our own logarithm.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

// The natural logarithm of a positive finite x, to within one unit in the last place: the classic
// reduction to m * 2^k with m in [sqrt(2)/2, sqrt(2)), and a polynomial in s = f / (2 + f) for
// f = m - 1, evaluated in the order that keeps the most bits where f lies.
inline double SimLog(double x) {
    constexpr double kLn2Hi = 6.93147180369123816490e-01; // ln 2, its first 32 bits
    constexpr double kLn2Lo = 1.90821492927058770002e-10; // and the rest
    constexpr double kLg1 = 6.666666666666735130e-01, kLg2 = 3.999999999940941908e-01,
                     kLg3 = 2.857142874366239149e-01, kLg4 = 2.222219843214978396e-01,
                     kLg5 = 1.818357216161805012e-01, kLg6 = 1.531383769920937332e-01,
                     kLg7 = 1.479819860511658591e-01;
    int k = 0;
    if (x < 0x1p-1022) { // subnormal: scaled into the normal range first
        x *= 0x1p54;
        k = -54;
    }
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    k += static_cast<int>(bits >> 52) - 1023;
    const std::uint32_t hx = static_cast<std::uint32_t>(bits >> 32) & 0xFFFFFu; // m's top bits
    // m at or above about sqrt(2) is halved, and k counts one more.
    const bool bHalve = hx >= 0x6A09Cu;
    k += bHalve ? 1 : 0;
    const double m = std::bit_cast<double>(
        (bits & 0x000FFFFFFFFFFFFFull) | (bHalve ? 0x3FE0000000000000ull : 0x3FF0000000000000ull));
    const double f = m - 1.0;
    const double dk = k;
    if (((hx + 2) & 0xFFFFFu) < 3) { // |f| < 2^-20
        if (f == 0)
            return dk * kLn2Hi + dk * kLn2Lo;
        const double r = f * f * (0.5 - 0.33333333333333333 * f);
        return dk * kLn2Hi - ((r - dk * kLn2Lo) - f);
    }
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (kLg2 + w * (kLg4 + w * kLg6));
    const double t2 = z * (kLg1 + w * (kLg3 + w * (kLg5 + w * kLg7)));
    const double r = t2 + t1;
    if (hx >= 0x6147Au && hx <= 0x6B851u) { // m near sqrt(2)
        const double hfsq = 0.5 * f * f;
        return dk * kLn2Hi - ((hfsq - (s * (hfsq + r) + dk * kLn2Lo)) - f);
    }
    return dk * kLn2Hi - ((s * (f - r) - dk * kLn2Lo) - f);
}

// ln(1 + x) for x > -1, also where 1 + x rounds: the rounding's error divided out again.
inline double SimLog1p(double x) {
    const double u = 1.0 + x;
    if (u == 1.0)
        return x;
    return SimLog(u) * (x / (u - 1.0));
}

class CSimRandom {
public:
    explicit CSimRandom(std::uint64_t nSeed = 1, std::uint64_t nStream = 0) {
        std::uint64_t x = nSeed ^ (0x9E3779B97F4A7C15ull * (nStream + 1));
        for (auto& s : m_s)
            s = SplitMix(x);
    }

    std::uint64_t Next() {
        const std::uint64_t result = Rotl(m_s[1] * 5, 7) * 9;
        const std::uint64_t t = m_s[1] << 17;
        m_s[2] ^= m_s[0];
        m_s[3] ^= m_s[1];
        m_s[1] ^= m_s[2];
        m_s[0] ^= m_s[3];
        m_s[2] ^= t;
        m_s[3] = Rotl(m_s[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double NextDouble() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    // True with probability p.
    bool Chance(double p) { return p > 0 && (p >= 1 || NextDouble() < p); }

    // Uniform in [0, n), n > 0.
    std::uint32_t Below(std::uint32_t n) {
        return static_cast<std::uint32_t>((Next() >> 32) * n >> 32);
    }

    // The number of trials before the next success of probability p (a geometric draw), so that
    // rare events cost one draw each rather than one per trial.
    std::uint64_t Gap(double p) {
        if (p <= 0)
            return std::numeric_limits<std::uint64_t>::max();
        if (p >= 1)
            return 0;
        const double u = 1.0 - NextDouble(); // (0, 1]
        const double g = std::floor(SimLog(u) / SimLog1p(-p));
        return g >= 1.8e19 ? std::numeric_limits<std::uint64_t>::max()
                           : static_cast<std::uint64_t>(g);
    }

private:
    static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t SplitMix(std::uint64_t& x) {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint64_t m_s[4];
};

// Bit flips on one direction of the line: each bit of a character (start, 8 data, stop) flips
// with the probability p, independently.
class CBitNoise {
public:
    CBitNoise(double p, std::uint64_t nSeed, std::uint64_t nStream)
        : m_p(p), m_rand(nSeed, nStream), m_nGap(m_rand.Gap(p)) {}

    // The flips of the next character's 10 bits: bit 0 the start bit, bits 1-8 the data bits
    // (least significant first), bit 9 the stop bit.
    std::uint32_t NextFrame() {
        constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
        std::uint32_t mask = 0;
        std::uint64_t pos = 0; // bit of this frame that the gap counts from
        for (;;) {
            if (m_nGap == kNever)
                return mask;
            if (m_nGap >= 10 - pos) {
                m_nGap -= 10 - pos;
                return mask;
            }
            pos += m_nGap;
            mask |= 1u << pos;
            ++pos;
            m_nGap = m_rand.Gap(m_p);
        }
    }

private:
    double m_p;
    CSimRandom m_rand;
    std::uint64_t m_nGap; // bits before the next flip
};
