// What an upload tells the operator of the port's adapter, from the verdicts of the table.

#include "serial/AdapterInfo.h"

namespace {

std::string Named(const ADAPTER_INFO& info) {
    const std::string strChip = AdapterChip(info);
    std::string s = strChip.empty() ? "the adapter" : "the " + strChip + " adapter";
    if (!info.strDriver.empty())
        s += " (" + info.strDriver + ")";
    return s;
}

std::string Say(const ADAPTER_INFO& info, const ADAPTER_VERDICT& v) {
    std::string s = Named(info) + ": " + v.strReason;
    if (!v.strFix.empty())
        s += "; " + v.strFix;
    return s;
}

} // namespace

std::vector<std::string> AdapterUploadWarnings(const ADAPTER_INFO& info, bool bSlowMode) {
    std::vector<std::string> lines;
    for (const ADAPTER_VERDICT& v : JudgeAdapter(info)) {
        if (v.verdict != VERDICT::Problem)
            continue;
        // Only what makes this upload fail: the unit's breaks, and 738 baud when it is used.
        if (v.need == ADAPTER_NEED::ReceivesBreak || v.need == ADAPTER_NEED::SendsBreak ||
            (v.need == ADAPTER_NEED::Rate738 && bSlowMode))
            lines.push_back(Say(info, v));
    }
    return lines;
}

std::string AdapterBreakVerdict(const ADAPTER_INFO& info) {
    for (const ADAPTER_VERDICT& v : JudgeAdapter(info)) {
        if (v.need == ADAPTER_NEED::ReceivesBreak && v.verdict == VERDICT::Problem)
            return Say(info, v);
    }
    return {};
}
