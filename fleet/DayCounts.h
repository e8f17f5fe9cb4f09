#pragma once
// The counts a station keeps of its day, for the whole station and per fixture: units passed
// and failed, the yield, and the pace in units per hour.
//
// A unit passes with exit code 0. A cancelled unit (5) was never judged and counts in neither;
// every other end is a failure, a success whose record is incomplete (6) too, since a site that
// keeps records cannot ship a unit without one.

#include <deque>
#include <string>

namespace fleet {

class DayCounts {
public:
    // A unit's session started at dSeconds (any clock of the caller's, the same throughout).
    void OnStarted(double dSeconds);
    // A unit's session ended with nExitCode at dSeconds.
    void OnFinished(int nExitCode, double dSeconds);

    int Passed() const { return m_nPassed; }
    int Failed() const { return m_nFailed; }
    int Cancelled() const { return m_nCancelled; }
    // Passed as a share of passed and failed, in percent; negative while none has been judged.
    double YieldPercent() const;
    // Units judged in the last hour up to dNow, per hour; while the first start is less than an
    // hour ago, those since it scaled to an hour. Negative while none has been judged, or less
    // than a minute after the first start (too early to say).
    double UnitsPerHour(double dNow) const;

private:
    int m_nPassed = 0;
    int m_nFailed = 0;
    int m_nCancelled = 0;
    double m_dFirstStart = -1;
    std::deque<double> m_ends; // the judged units' ends, within the last hour
};

// "96.4 %" (one decimal below 100), "100 %", or "-" for a negative value.
std::string FormatYield(double dPercent);
// "42" (whole units per hour), or "-" for a negative value.
std::string FormatUnitsPerHour(double dPerHour);

} // namespace fleet
