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

// Estimates the time left from the pace of the load records: the time from one record to the
// next within a part. The pauses between parts (the unit's restart, a part's closing commands,
// seconds long) are no part of it: counted in, the first records' pace made an upload of 22 s
// look like more than a minute.
class RateEstimator {
public:
    // Records begun by dSeconds after the start, in part nPart.
    void OnRecords(int nRecords, double dSeconds, int nPart = 0) {
        if (nRecords <= 0)
            return;
        if (m_nRecords > 0 && nPart == m_nPart && nRecords > m_nRecords) {
            m_nPacedRecords += nRecords - m_nRecords;
            m_dPacedSeconds += dSeconds - m_dTime;
        }
        m_nRecords = nRecords;
        m_dTime = dSeconds;
        m_nPart = nPart;
    }
    // Seconds left for nTotal records, or a negative value while the pace is not yet known
    // (at least two seconds of records are needed).
    double SecondsLeft(int nTotal, double /*dSeconds*/) const {
        if (m_nPacedRecords <= 0 || m_dPacedSeconds < 2.0)
            return -1;
        const double perSecond = m_nPacedRecords / m_dPacedSeconds;
        return std::max(0, nTotal - m_nRecords) / perSecond;
    }

private:
    int m_nRecords = 0;
    double m_dTime = 0;
    int m_nPart = 0;
    int m_nPacedRecords = 0;
    double m_dPacedSeconds = 0;
};

} // namespace fleet
