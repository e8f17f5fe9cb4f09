#include "station/TileModel.h"

#include "fleet/Progress.h"
#include "platform/PrintableText.h"

#include <algorithm>
#include <cmath>

namespace station {

namespace {

std::string LastPart(const std::string& strPort) {
    const auto slash = strPort.rfind('/');
    return slash == std::string::npos ? strPort : strPort.substr(slash + 1);
}

std::string Plural(int n, const char* pszOne, const char* pszMany) {
    return std::to_string(n) + " " + (n == 1 ? pszOne : pszMany);
}

TileLook ResultLook(int nExitCode) {
    switch (nExitCode) {
    case fleet::kCodeSuccess:
        return TileLook::Passed;
    case fleet::kCodePort:
    case fleet::kCodeImages:
        return TileLook::Problem;
    case fleet::kCodeCancelled:
        return TileLook::Cancelled;
    default:
        return TileLook::Failed;
    }
}

} // namespace

void TileModel::Clear() {
    bAsking = bHeld = bUnit = bStale = false;
    strHeldWhy.clear();
    unit = {};
    strTranscript.clear();
}

const char* ResultWords(int nExitCode) {
    switch (nExitCode) {
    case fleet::kCodeSuccess:
        return "PASSED";
    case fleet::kCodePort:
        return "PORT PROBLEM";
    case fleet::kCodeImages:
        return "IMAGE SET PROBLEM";
    case fleet::kCodeCancelled:
        return "CANCELLED";
    case fleet::kCodeLogFile:
        return "RECORD INCOMPLETE";
    default:
        return "FAILED";
    }
}

TileView DescribeTile(const TileModel& t) {
    TileView v;
    v.strTitle = EscapeControlChars(t.strLabel.empty() ? LastPart(t.strPort) : t.strLabel);
    v.strName = EscapeControlChars(t.bUnit && !t.unit.strStableName.empty() ? t.unit.strStableName
                                                                            : t.strPort);
    // The same marks as the state words: a tick for passed, a cross for failed.
    v.strCounts = "\u2714 " + std::to_string(t.counts.Passed()) + "  \u2716 " +
                  std::to_string(t.counts.Failed());
    const std::string key = t.nKey > 0 ? "F" + std::to_string(t.nKey) : std::string();

    if (!t.strWatchError.empty()) {
        v.look = TileLook::Problem;
        v.strState = "PORT PROBLEM";
        v.strDetail = "cannot watch the port: " + t.strWatchError;
        return v;
    }
    if (t.bAsking) {
        v.look = TileLook::Asking;
        v.strState = "SERIAL NUMBER?";
        v.strDetail = "Scan or type the unit's serial number, then Enter";
        return v;
    }
    if (t.bHeld) {
        v.look = TileLook::Held;
        v.strState = "HELD";
        v.strDetail = "The image set changed: reload it to start this unit";
        return v;
    }
    if (!t.bUnit) {
        v.look = TileLook::Idle;
        if (t.mode == ArrivalMode::StartKey) {
            v.strState = "READY";
            v.strDetail = key.empty() ? "Seat a unit, then press Start"
                                      : "Seat a unit, then press " + key + " or Start";
            v.bStartButton = true;
        } else {
            v.strState = "WAITING";
            v.strDetail = t.bPresent ? "A unit is here" : "Waiting for a unit";
        }
        return v;
    }

    const fleet::UnitState& u = t.unit;
    std::string figures = fleet::FormatDuration(u.dElapsed) + (u.bFinished ? "" : " elapsed");
    if (u.nRetries > 0)
        figures += "  " + Plural(u.nRetries, "retry", "retries");
    if (!u.strSerial.empty())
        figures += "  S/N " + EscapeControlChars(u.strSerial);
    v.strFigures = figures;
    if (!u.bFinished) {
        v.look = TileLook::Running;
        v.strState = "FLASHING";
        v.strDetail = u.nPart > 0 ? "part " + std::to_string(u.nPart) + " of 5" : "starting";
        if (u.dLeft >= 0)
            v.strDetail += ", about " + fleet::FormatDuration(std::ceil(u.dLeft)) + " left";
        if (u.nTotal > 0) {
            v.nMax = u.nTotal;
            v.nValue = std::clamp(u.nRecords, 0, u.nTotal);
        }
        return v;
    }
    v.look = ResultLook(u.nExitCode);
    v.strState = ResultWords(u.nExitCode);
    v.strDetail =
        u.nExitCode == fleet::kCodeSuccess ? "Take the unit out" : EscapeControlChars(u.strMessage);
    v.bStartButton = t.mode == ArrivalMode::StartKey;
    return v;
}

} // namespace station
