#pragma once
// Random choices of the simulated line and unit. Our own generator (xoshiro256**, seeded through
// splitmix64) so that a seed gives the same choices with every standard library.

#include <cmath>
#include <cstdint>
#include <limits>

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
        const double g = std::floor(std::log(u) / std::log1p(-p));
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
