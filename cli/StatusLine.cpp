#include "cli/StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

std::string FormatDuration(double dSeconds) {
    const long long total = dSeconds > 0 ? static_cast<long long>(dSeconds) : 0;
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char buf[48];
    if (h > 0)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, s);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", m, s);
    return buf;
}

void RateEstimator::OnRecords(int nRecords, double dSeconds) {
    if (nRecords <= 0)
        return;
    if (m_nFirstRecords < 0) {
        m_nFirstRecords = nRecords;
        m_dFirstTime = dSeconds;
    }
    m_nRecords = nRecords;
}

double RateEstimator::SecondsLeft(int nTotal, double dSeconds) const {
    const double span = dSeconds - m_dFirstTime;
    if (m_nFirstRecords < 0 || m_nRecords <= m_nFirstRecords || span < 2.0)
        return -1;
    const double perSecond = (m_nRecords - m_nFirstRecords) / span;
    return std::max(0, nTotal - m_nRecords) / perSecond;
}

std::string FormatStatusLine(const StatusFigures& f) {
    std::string line;
    if (f.nPart > 0)
        line += "part " + std::to_string(f.nPart) + "/5  ";
    if (f.nTotal > 0) {
        const int done = std::clamp(f.nRecords, 0, f.nTotal);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%3d%%  %d/%d records  ",
                      static_cast<int>(100LL * done / f.nTotal), done, f.nTotal);
        line += buf;
    }
    line += FormatDuration(f.dElapsed) + " elapsed";
    if (f.dLeft >= 0)
        line += "  about " + FormatDuration(std::ceil(f.dLeft)) + " left";
    if (f.nRetries > 0)
        line += "  " + std::to_string(f.nRetries) + (f.nRetries == 1 ? " retry" : " retries");
    return line;
}

} // namespace cli
