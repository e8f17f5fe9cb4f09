#pragma once
// The live status line shown below the log on a terminal: part, percentage, load records done
// and total, elapsed time and the estimated time left.

#include <string>

namespace cli {

// "m:ss" below an hour, "h:mm:ss" from an hour on; negative times count as 0.
std::string FormatDuration(double dSeconds);

// Estimates the time left from the pace of the load records so far.
class RateEstimator {
public:
    // Records begun by dSeconds after the start.
    void OnRecords(int nRecords, double dSeconds);
    // Seconds left for nTotal records, or a negative value while the pace is not yet known
    // (the first records and at least two seconds of them are needed).
    double SecondsLeft(int nTotal, double dSeconds) const;

private:
    int m_nFirstRecords = -1;
    double m_dFirstTime = 0;
    int m_nRecords = 0;
};

struct StatusFigures {
    int nPart = 0;    // 1..5, 0 before the first part
    int nRecords = 0; // load records begun
    int nTotal = 0;   // load records in all (0 while the images are not loaded)
    int nRetries = 0; // retry marks seen
    double dElapsed = 0;
    double dLeft = -1; // negative: not known
};

// One line without a line end, e.g.
// "part 3/5   42%  640/1523 records  0:17 elapsed  about 0:23 left".
std::string FormatStatusLine(const StatusFigures& f);

} // namespace cli
