#pragma once
// Durations as the operator reads them and the time left of an upload. Header-only: the
// single-port status line (cli/) uses it on both systems, the many-unit runner on Linux.

#include <algorithm>
#include <cstdio>
#include <string>

namespace fleet {

// "m:ss" below an hour, "h:mm:ss" from an hour on; negative times count as 0.
inline std::string FormatDuration(double dSeconds) {
    const long long total = dSeconds > 0 ? static_cast<long long>(dSeconds) : 0;
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char buf[48];
    if (h > 0)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, s);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", m, s);
    return buf;
}

// Estimates the time left from the pace of the load records so far.
class RateEstimator {
public:
    // Records begun by dSeconds after the start.
    void OnRecords(int nRecords, double dSeconds) {
        if (nRecords <= 0)
            return;
        if (m_nFirstRecords < 0) {
            m_nFirstRecords = nRecords;
            m_dFirstTime = dSeconds;
        }
        m_nRecords = nRecords;
    }
    // Seconds left for nTotal records, or a negative value while the pace is not yet known
    // (the first records and at least two seconds of them are needed).
    double SecondsLeft(int nTotal, double dSeconds) const {
        const double span = dSeconds - m_dFirstTime;
        if (m_nFirstRecords < 0 || m_nRecords <= m_nFirstRecords || span < 2.0)
            return -1;
        const double perSecond = (m_nRecords - m_nFirstRecords) / span;
        return std::max(0, nTotal - m_nRecords) / perSecond;
    }

private:
    int m_nFirstRecords = -1;
    double m_dFirstTime = 0;
    int m_nRecords = 0;
};

} // namespace fleet
