#include "fleet/DayCounts.h"

#include "fleet/UnitState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fleet {

namespace {
constexpr double kHour = 3600;
constexpr double kTooEarly = 60;
} // namespace

void DayCounts::OnStarted(double dSeconds) {
    if (m_dFirstStart < 0)
        m_dFirstStart = dSeconds;
}

void DayCounts::OnFinished(int nExitCode, double dSeconds) {
    if (nExitCode == kCodeCancelled) {
        ++m_nCancelled;
        return;
    }
    ++(nExitCode == kCodeSuccess ? m_nPassed : m_nFailed);
    if (m_dFirstStart < 0)
        m_dFirstStart = dSeconds;
    m_ends.push_back(dSeconds);
    while (!m_ends.empty() && m_ends.front() < dSeconds - kHour)
        m_ends.pop_front();
}

double DayCounts::YieldPercent() const {
    const int nJudged = m_nPassed + m_nFailed;
    return nJudged > 0 ? 100.0 * m_nPassed / nJudged : -1;
}

double DayCounts::UnitsPerHour(double dNow) const {
    if (m_dFirstStart < 0 || m_nPassed + m_nFailed == 0 || dNow - m_dFirstStart < kTooEarly)
        return -1;
    int n = 0;
    for (const double end : m_ends)
        n += end >= dNow - kHour && end <= dNow ? 1 : 0;
    const double span = std::min(kHour, dNow - m_dFirstStart);
    return n * kHour / span;
}

std::string FormatYield(double dPercent) {
    if (dPercent < 0)
        return "-";
    char buf[32];
    // Never rounded up to 100: one failure in a thousand still shows.
    const double tenths = std::floor(dPercent * 10) / 10;
    if (tenths >= 100)
        std::snprintf(buf, sizeof buf, "100 %%");
    else
        std::snprintf(buf, sizeof buf, "%.1f %%", tenths);
    return buf;
}

std::string FormatUnitsPerHour(double dPerHour) {
    if (dPerHour < 0)
        return "-";
    return std::to_string(static_cast<long long>(std::lround(dPerHour)));
}

} // namespace fleet
