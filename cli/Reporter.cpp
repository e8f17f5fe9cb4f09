#include "cli/Reporter.h"

#include "cli/Terminal.h"

#include <nlohmann/json.hpp>

#include "platform/PrintableText.h"
#include "platform/Rounding.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace cli {

using Json = nlohmann::ordered_json;

namespace {

// Texts from files and devices need not be valid UTF-8: replace what is not, never throw.
std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

const char* KindName(BoxKind kind) {
    switch (kind) {
    case BoxKind::Error:
        return "error";
    case BoxKind::Warning:
        return "warning";
    case BoxKind::Information:
        return "information";
    }
    return "error";
}

std::string WithLineEnd(std::string_view text) {
    std::string s(text);
    if (s.empty() || s.back() != '\n')
        s += '\n';
    return s;
}

} // namespace

Reporter::Reporter(const ReporterSettings& settings)
    : m_settings(settings), m_start(std::chrono::steady_clock::now()) {}

void Reporter::BeginSession(const SessionInfo& info) {
    std::lock_guard lock(m_mutex);
    m_start = std::chrono::steady_clock::now();
    m_strPort = info.strPort;
    if (m_settings.mode == OutputMode::Json) {
        JsonLocked(Dump(Json{{"type", "start"},
                             {"program", "morfw"},
                             {"version", info.strVersion},
                             {"port", info.strPort},
                             {"images", info.strImageDir},
                             {"slow", info.bSlow},
                             {"relaxed", info.bRelaxed}}));
    }
    if (m_settings.mode == OutputMode::Text && m_settings.bStatusLine) {
        m_bStatusActive = true;
        DrawRegionLocked();
    }
}

void Reporter::Log(std::string_view text) {
    std::lock_guard lock(m_mutex);
    m_tracker.OnLog(text);
    m_rate.OnRecords(m_tracker.GetRecords(), ElapsedLocked(), m_tracker.GetPart());
    LogFileLocked(text);

    switch (m_settings.mode) {
    case OutputMode::Quiet:
        break;
    case OutputMode::Json:
        JsonLocked(Dump(Json{{"type", "log"}, {"text", text}}));
        break;
    case OutputMode::Text:
        if (!m_bStatusActive) {
            OutLocked(text);
            break;
        }
        // The unfinished last line is redrawn together with the new text, so that the status
        // line always sits below the log.
        EraseRegionLocked();
        m_strPartial.append(text);
        if (const auto nl = m_strPartial.rfind('\n'); nl != std::string::npos) {
            OutLocked(std::string_view(m_strPartial).substr(0, nl + 1));
            m_strPartial.erase(0, nl + 1);
        }
        DrawRegionLocked();
        break;
    }
}

void Reporter::ProgressRange(int nRange) {
    std::lock_guard lock(m_mutex);
    m_tracker.OnProgressRange(nRange);
    RefreshLocked();
}

void Reporter::ProgressPos(int nPos) {
    std::lock_guard lock(m_mutex);
    m_tracker.OnProgressPos(nPos);
    RefreshLocked();
}

void Reporter::ProgressDelta(int nDelta) {
    std::lock_guard lock(m_mutex);
    m_tracker.OnProgressDelta(nDelta);
    RefreshLocked();
}

void Reporter::RefreshLocked() {
    if (m_settings.mode == OutputMode::Json) {
        JsonLocked(Dump(Json{{"type", "progress"},
                             {"position", m_tracker.GetPosition()},
                             {"range", m_tracker.GetRange()},
                             {"records", m_tracker.GetRecords()}}));
    } else {
        RedrawStatusLocked();
    }
}

void Reporter::RedrawStatusLocked() {
    if (!m_bRegionShown)
        return;
    const int width = TerminalColumns(m_settings.nOutFd);
    // Appended piece by piece: GCC 12 at -O3 takes "\r" + string for an overlapping copy.
    std::string s = "\r";
    s += FitColumns(StatusTextLocked(), static_cast<std::size_t>(std::max(width - 1, 1)));
    s += "\033[K";
    OutLocked(s);
}

void Reporter::MessageBox(std::string_view text, std::string_view caption, BoxKind kind,
                          std::string_view strDetail) {
    std::lock_guard lock(m_mutex);
    switch (m_settings.mode) {
    case OutputMode::Json: {
        Json box{
            {"type", "message"}, {"kind", KindName(kind)}, {"caption", caption}, {"text", text}};
        if (!strDetail.empty())
            box["detail"] = strDetail;
        JsonLocked(Dump(box));
        return;
    }
    case OutputMode::Quiet:
        if (kind == BoxKind::Warning)
            return;
        break;
    case OutputMode::Text:
        break;
    }
    if (kind == BoxKind::Information) {
        EraseRegionLocked();
        OutLocked(WithLineEnd(text));
        if (m_bStatusActive)
            DrawRegionLocked();
    } else {
        EraseRegionLocked();
        ErrLocked(WithLineEnd(text));
        if (m_bStatusActive)
            DrawRegionLocked();
    }
}

void Reporter::Notice(std::string_view text) {
    std::lock_guard lock(m_mutex);
    NoticeLocked(text);
}

void Reporter::NoticeLocked(std::string_view text) {
    if (m_settings.mode == OutputMode::Json) {
        JsonLocked(Dump(Json{{"type", "notice"}, {"text", text}}));
        return;
    }
    EraseRegionLocked();
    ErrLocked("morfw: " + WithLineEnd(text));
    if (m_bStatusActive)
        DrawRegionLocked();
}

void Reporter::Trace(std::string_view line) {
    std::lock_guard lock(m_mutex);
    EraseRegionLocked();
    ErrLocked(WithLineEnd(line));
    if (m_bStatusActive)
        DrawRegionLocked();
}

void Reporter::LogFileLine(std::string_view line) {
    std::lock_guard lock(m_mutex);
    LogFileLocked(WithLineEnd(line));
}

void Reporter::LogFileLocked(std::string_view text) {
    if (!m_settings.pRecord || m_settings.pRecord->Write(text))
        return;
    // A full disk must not leave an operator believing in a record that is not there: said
    // once, when it happens, and the run's result says it again.
    m_strLogFileError = m_settings.pRecord->Error();
    NoticeLocked(m_strLogFileError);
}

std::string Reporter::GetLogFileError() const {
    std::lock_guard lock(m_mutex);
    return m_strLogFileError;
}

void Reporter::Tick() {
    std::lock_guard lock(m_mutex);
    RedrawStatusLocked();
}

ExitCode Reporter::Finish(ExitCode code, std::string_view strDetail) {
    std::lock_guard lock(m_mutex);
    const double elapsed = ElapsedLocked();
    if (m_bStatusActive) {
        EraseRegionLocked();
        OutLocked(m_strPartial); // the log's last line stays as it was
        m_strPartial.clear();
        m_bStatusActive = false;
    }
    // The record's result line first: when that is the write that fails, the result must
    // still say so.
    if (m_settings.pRecord) {
        const std::string strNew =
            m_settings.pRecord->Finish({code, std::string(strDetail), elapsed});
        if (!strNew.empty())
            NoticeLocked(strNew);
        // Also a failure said elsewhere (a unit's runner could not write its header).
        if (m_strLogFileError.empty())
            m_strLogFileError = m_settings.pRecord->Error();
    }
    // An upload that failed keeps its own code; a success without its record is no success.
    if (code == ExitCode::Success && !m_strLogFileError.empty())
        code = ExitCode::LogFile;
    m_result = Json{{"type", "result"},
                    {"status", StatusName(code)},
                    {"exit_code", ToInt(code)},
                    {"elapsed", RoundHalfAway(elapsed * 1000) / 1000}};
    if (!strDetail.empty())
        m_result["message"] = strDetail;
    if (!m_strLogFileError.empty())
        m_result["log_file_error"] = m_strLogFileError;
    m_result["port"] = m_strPort;
    m_result["station"] = m_settings.trace.strStation;
    m_result["operator"] = m_settings.trace.strOperator;
    m_result["work_order"] = m_settings.trace.strWorkOrder;
    m_result["serial"] = "";
    if (m_settings.pRecord)
        m_settings.pRecord->Describe(m_result);
    if (m_settings.mode == OutputMode::Json) {
        JsonLocked(Dump(m_result));
    } else if (code != ExitCode::LogFile && !strDetail.empty()) {
        // (A record that failed was said once already, when it happened.)
        ErrLocked("morfw: " + WithLineEnd(strDetail));
    }
    return code;
}

nlohmann::ordered_json Reporter::GetResult() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

double Reporter::GetElapsedSeconds() const {
    std::lock_guard lock(m_mutex);
    return ElapsedLocked();
}

SessionTracker Reporter::GetTracker() const {
    std::lock_guard lock(m_mutex);
    return m_tracker;
}

double Reporter::ElapsedLocked() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void Reporter::OutLocked(std::string_view text) {
    if (m_bOutOk && !text.empty())
        m_bOutOk = WriteAll(m_settings.nOutFd, text);
}

void Reporter::ErrLocked(std::string_view text) {
    WriteAll(m_settings.nErrFd, text);
}

void Reporter::JsonLocked(const std::string& line) {
    OutLocked(line);
}

std::string Reporter::StatusTextLocked() {
    StatusFigures f;
    f.nPart = m_tracker.GetPart();
    f.nRecords = m_tracker.GetRecords();
    f.nTotal = m_tracker.GetRange();
    f.nRetries = m_tracker.GetRetries();
    f.dElapsed = ElapsedLocked();
    f.dLeft = m_rate.SecondsLeft(f.nTotal, f.dElapsed);
    return FormatStatusLine(f);
}

void Reporter::EraseRegionLocked() {
    if (!m_bRegionShown)
        return;
    std::string s = "\r";
    if (m_nPartialRows > 0)
        s += "\033[" + std::to_string(m_nPartialRows) + "A";
    s += "\033[J";
    OutLocked(s);
    m_bRegionShown = false;
}

void Reporter::DrawRegionLocked() {
    const int width = TerminalColumns(m_settings.nOutFd);
    std::string s = m_strPartial;
    m_nPartialRows = 0;
    if (!m_strPartial.empty()) {
        // A line that fills its last row exactly leaves the cursor there (pending wrap); the
        // CR LF then opens the next row, so the line takes ceil(columns / width) rows.
        const auto cols = static_cast<int>(DisplayColumns(m_strPartial));
        m_nPartialRows = std::max(1, (cols + width - 1) / width);
        s += "\r\n";
    }
    s += FitColumns(StatusTextLocked(), static_cast<std::size_t>(std::max(width - 1, 1)));
    s += "\033[K";
    OutLocked(s);
    m_bRegionShown = true;
}

} // namespace cli
