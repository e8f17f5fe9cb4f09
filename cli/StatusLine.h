#pragma once
// The live status line shown below the log on a terminal: part, percentage, load records done
// and total, elapsed time and the estimated time left.

#include "fleet/Progress.h"

#include <string>

namespace cli {

// "m:ss" below an hour, "h:mm:ss" from an hour on; negative times count as 0.
using fleet::FormatDuration;

// Estimates the time left from the pace of the load records so far (shared with the
// many-unit runner).
using fleet::RateEstimator;

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
