#include "fleet/DeviceWatch.h"

namespace fleet {

bool SplitMatch(const std::string& strMatch, const std::string& strDefaultDir, std::string& strDir,
                std::string& strPattern) {
    const auto slash = strMatch.rfind('/');
    if (slash == std::string::npos) {
        strDir = strDefaultDir;
        const bool bEndsInSeparator =
            !strDefaultDir.empty() && (strDefaultDir.back() == '/' || strDefaultDir.back() == '\\');
        strPattern = strDefaultDir + (bEndsInSeparator ? "" : "/") + strMatch;
        return true;
    }
    strDir = slash == 0 ? "/" : strMatch.substr(0, slash);
    strPattern = strMatch;
    return strDir.find_first_of("*?[") == std::string::npos;
}

} // namespace fleet
