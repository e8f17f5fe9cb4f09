#include "cli/SessionTracker.h"

#include "upload/UploadTexts.h"

#include <algorithm>

namespace cli {

namespace {
constexpr std::string_view STAGE_PREFIX = "Uploading firmware - part ";
// Text kept after the loading line: its result and the line that names the failing file.
constexpr std::size_t LOADING_TEXT_LIMIT = 4096;
} // namespace

void SessionTracker::OnLog(std::string_view text) {
    // The session appends each of its lines and each progress mark as a call of its own,
    // so whole texts are matched; the marks are recognised only inside the stages.
    if (text.find(LOG_LOADING) != std::string_view::npos) {
        m_step = Step::Loading;
        m_strLoadingText.clear();
        return;
    }
    if (text.find(LOG_OPENING) != std::string_view::npos) {
        m_step = Step::Opening;
        return;
    }
    if (const auto p = text.find(STAGE_PREFIX); p != std::string_view::npos) {
        const auto d = p + STAGE_PREFIX.size();
        if (d < text.size() && text[d] >= '1' && text[d] <= '5') {
            m_step = Step::Stages;
            m_nPart = text[d] - '0';
            return;
        }
    }
    if (text.find(LOG_USER_CANCELLED) != std::string_view::npos)
        m_bUserCancelled = true;

    switch (m_step) {
    case Step::NotStarted:
        break;
    case Step::Loading:
        if (m_strLoadingText.size() < LOADING_TEXT_LIMIT)
            m_strLoadingText.append(text.substr(0, LOADING_TEXT_LIMIT - m_strLoadingText.size()));
        if (m_strLoadingText.starts_with(LOG_FAILED))
            m_bLoadFailed = true;
        break;
    case Step::Opening:
        if (text.starts_with(LOG_FAILED))
            m_bOpenFailed = true;
        break;
    case Step::Stages:
        if (m_nPart >= 3 && text == ".") {
            ++m_nRecords;
        } else if (m_nPart == 5 && text == LOG_STAGE_SUCCEEDED) {
            m_bLastPartSucceeded = true;
        } else if (text.size() == 1 &&
                   std::string_view("+*!:;").find(text[0]) != std::string_view::npos) {
            ++m_nRetries;
        }
        break;
    }
}

void SessionTracker::OnProgressRange(int nRange) {
    m_nRange = std::max(nRange, 0);
    m_nPosition = std::clamp(m_nPosition, 0, m_nRange);
}

void SessionTracker::OnProgressPos(int nPos) {
    m_nPosition = std::clamp(nPos, 0, m_nRange);
}

void SessionTracker::OnProgressDelta(int nDelta) {
    // Like the bar, stop at the range's ends; in 64 bits so a huge step cannot overflow.
    const long long pos = static_cast<long long>(m_nPosition) + nDelta;
    m_nPosition = static_cast<int>(std::clamp<long long>(pos, 0, m_nRange));
}

std::string SessionTracker::CancelDetail(bool bSucceeded) const {
    // A cancel confirmed after the last check still gets the guard's "User cancelled...": the
    // upload succeeded all the same. One seen after part 5 had succeeded ends as cancelled,
    // though the unit has every record.
    if (bSucceeded)
        return m_bUserCancelled ? RESULT_CANCEL_AFTER_END : "";
    return m_bLastPartSucceeded ? RESULT_CANCELLED_AFTER_EVERY_RECORD : "upload cancelled";
}

std::string SessionTracker::GetImageError() const {
    const std::string_view failed = LOG_FAILED;
    if (!m_bLoadFailed)
        return {};
    std::string_view rest = std::string_view(m_strLoadingText).substr(failed.size());
    const auto nl = rest.find('\n');
    if (nl == std::string_view::npos)
        return {};
    return std::string(rest.substr(0, nl));
}

} // namespace cli
