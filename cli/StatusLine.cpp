#include "cli/StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

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
