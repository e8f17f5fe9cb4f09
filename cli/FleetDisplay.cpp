#include "cli/FleetDisplay.h"

#include "cli/StatusLine.h"
#include "cli/Terminal.h"
#include "platform/PrintableText.h"
#include "platform/Rounding.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>

namespace cli {

using Json = nlohmann::ordered_json;

namespace {

std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// The child's own echo of a cancel: the run says it once for all of them.
bool IsCancelEcho(std::string_view text) {
    return text.starts_with("cancel requested (") || text.starts_with("cancel already under way");
}

// The end of a long label, which tells by-id names apart ("...A50285BI-if00-port0").
std::string FitLabel(const std::string& strLabel, std::size_t nColumns) {
    if (DisplayColumns(strLabel) <= nColumns)
        return strLabel + std::string(nColumns - DisplayColumns(strLabel), ' ');
    if (nColumns <= 3)
        return std::string(FitColumns(strLabel, nColumns));
    std::string_view tail = strLabel;
    while (!tail.empty() && DisplayColumns(tail) > nColumns - 3) {
        tail.remove_prefix(1);
        while (!tail.empty() && (static_cast<unsigned char>(tail.front()) & 0xC0) == 0x80)
            tail.remove_prefix(1);
    }
    std::string s = "..." + std::string(tail);
    return s + std::string(nColumns - DisplayColumns(s), ' ');
}

std::string Retries(int n) {
    return std::to_string(n) + (n == 1 ? " retry" : " retries");
}

std::string OrDash(const std::string& s) {
    return s.empty() ? "-" : EscapeControlChars(s);
}

} // namespace

FleetDisplay::FleetDisplay(const FleetOutput& output) : m_out(output) {}

// --- Pieces -------------------------------------------------------------------------------------

std::string FleetDisplay::ResultText(int nExitCode) {
    const std::string code = " (" + std::to_string(nExitCode) + ")";
    switch (nExitCode) {
    case fleet::kCodeSuccess:
        return "success";
    case fleet::kCodeUsage:
        return "usage error" + code;
    case fleet::kCodePort:
        return "port error" + code;
    case fleet::kCodeImages:
        return "image error" + code;
    case fleet::kCodeCancelled:
        return "cancelled" + code;
    case fleet::kCodeLogFile:
        return "record incomplete" + code;
    default:
        return "failed" + code;
    }
}

std::string FleetDisplay::UnitText(const fleet::UnitState& u) {
    if (u.bFinished) {
        // Padded so that the times of finished rows line up.
        std::string t = ResultText(u.nExitCode);
        t +=
            std::string(t.size() < 15 ? 15 - t.size() : 0, ' ') + "  " + FormatDuration(u.dElapsed);
        if (u.nRetries > 0)
            t += "  " + Retries(u.nRetries);
        if (!u.strMessage.empty())
            t += "  " + EscapeControlChars(u.strMessage);
        return t;
    }
    std::string t = u.nPart > 0 ? "part " + std::to_string(u.nPart) + " of 5" : "starting";
    if (u.nTotal > 0) {
        t += "  " + std::to_string(std::clamp(u.nRecords, 0, u.nTotal)) + "/" +
             std::to_string(u.nTotal) + " records";
    }
    t += "  " + FormatDuration(u.dElapsed) + " elapsed";
    if (u.dLeft >= 0)
        t += "  about " + FormatDuration(std::ceil(u.dLeft)) + " left";
    if (u.nRetries > 0)
        t += "  " + Retries(u.nRetries);
    return t;
}

std::string FleetDisplay::RowText(const std::string& strLabel, const std::string& strBody,
                                  std::size_t nLabelColumns, std::size_t nColumns) {
    const std::string row = FitLabel(EscapeControlChars(strLabel), nLabelColumns) + "  " + strBody;
    return std::string(FitColumns(row, nColumns));
}

std::string FleetDisplay::Table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], DisplayColumns(row[i]));
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - DisplayColumns(row[i]) + 2, ' ');
        }
        text += line + "\n";
    }
    return text;
}

int FleetDisplay::Columns() const {
    return m_out.nColumns > 0 ? m_out.nColumns : TerminalColumns(m_out.nOutFd);
}

int FleetDisplay::Lines() const {
    return m_out.nLines > 0 ? m_out.nLines : TerminalLines(m_out.nOutFd);
}

void FleetDisplay::Out(std::string_view text) {
    if (m_bOutOk && !text.empty())
        m_bOutOk = WriteAll(m_out.nOutFd, text);
}

void FleetDisplay::Err(std::string_view text) {
    WriteAll(m_out.nErrFd, text);
}

// --- Rows ---------------------------------------------------------------------------------------

FleetDisplay::Row* FleetDisplay::FindRow(const std::string& strLabel) {
    for (auto& r : m_rows) {
        if (r.strLabel == strLabel)
            return &r;
    }
    return nullptr;
}

std::vector<std::string> FleetDisplay::RowTexts() {
    const auto width = static_cast<std::size_t>(std::max(Columns() - 1, 10));
    std::size_t labelCols = 4;
    for (const auto& r : m_rows)
        labelCols = std::max(labelCols, DisplayColumns(EscapeControlChars(r.strLabel)));
    labelCols = std::min(labelCols, std::max<std::size_t>(12, width * 2 / 5));

    // Never more rows than the screen holds, or moving up over them would go wrong.
    const auto room = static_cast<std::size_t>(std::max(Lines() - 1, 2));
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (texts.size() + 1 == room && i + 1 < m_rows.size()) {
            texts.push_back(std::string(
                FitColumns("... and " + std::to_string(m_rows.size() - i) + " more", width)));
            break;
        }
        const Row& r = m_rows[i];
        const auto it = m_units.find(r.nUnitId);
        const std::string body = it != m_units.end() ? UnitText(it->second) : r.strIdleText;
        texts.push_back(RowText(r.strLabel, body, labelCols, width));
    }
    return texts;
}

std::size_t FleetDisplay::DrawnHeight() const {
    // A terminal narrowed since the rows were drawn has rewrapped each row into the lines it
    // takes now (VTE, tmux, kitty, Windows Terminal do; xterm cuts them instead, and the rows
    // then also wipe a line or two above them, which is better than stale rows).
    const auto cols = static_cast<std::size_t>(std::max(Columns(), 1));
    std::size_t lines = 0;
    for (const auto& text : m_drawn) {
        const std::size_t width = DisplayColumns(text);
        lines += Columns() == m_nDrawnColumns || width <= cols ? 1 : (width + cols - 1) / cols;
    }
    return lines;
}

std::string FleetDisplay::FitTable(const std::string& strTable) const {
    if (!m_out.bRows)
        return strTable; // a file or a pipe gets every column
    const auto width = static_cast<std::size_t>(std::max(Columns() - 1, 10));
    std::string text;
    for (std::size_t from = 0; from < strTable.size();) {
        auto nl = strTable.find('\n', from);
        nl = nl == std::string::npos ? strTable.size() : nl;
        text += std::string(FitColumns(std::string_view(strTable).substr(from, nl - from), width));
        text += '\n';
        from = nl + 1;
    }
    return text;
}

void FleetDisplay::EraseRows() {
    if (!m_bRowsShown)
        return;
    std::string s = "\r";
    if (const std::size_t height = DrawnHeight(); height > 1)
        s += "\033[" + std::to_string(height - 1) + "A";
    s += "\033[J";
    Out(s);
    m_bRowsShown = false;
    m_drawn.clear();
}

void FleetDisplay::DrawRows() {
    if (!m_out.bRows || m_bRowsEnded)
        return;
    const std::vector<std::string> texts = RowTexts();
    if (m_bRowsShown && texts == m_drawn)
        return;
    // Each row is written over the one before it, so the rows do not flicker; what was below
    // the new last row goes.
    std::string s = "\r";
    if (const std::size_t height = m_bRowsShown ? DrawnHeight() : 0; height > 1)
        s += "\033[" + std::to_string(height - 1) + "A";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            s += "\r\n";
        s += texts[i] + "\033[K";
    }
    s += "\033[J";
    Out(s);
    m_drawn = texts;
    m_nDrawnColumns = Columns();
    m_bRowsShown = !texts.empty();
}

void FleetDisplay::Above(std::string_view text, bool bStderr) {
    EraseRows();
    std::string line(text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    if (bStderr)
        Err(line);
    else
        Out(line);
    DrawRows();
}

void FleetDisplay::SetRow(const std::string& strLabel, const std::string& strIdleText) {
    if (Row* r = FindRow(strLabel)) {
        r->strIdleText = strIdleText;
        r->nUnitId = 0;
    } else {
        m_rows.push_back({strLabel, strIdleText, 0});
    }
    DrawRows();
}

std::string FleetDisplay::LastRowText(const Row& r) {
    const auto unit = m_units.find(r.nUnitId);
    if (unit == m_units.end() || !unit->second.bFinished)
        return {};
    // Led by the time it finished, so that it is never taken for a live row.
    const std::string row = m_finishedAt[r.nUnitId] + "  " +
                            RowText(r.strLabel, UnitText(unit->second),
                                    DisplayColumns(EscapeControlChars(r.strLabel)), SIZE_MAX);
    return std::string(FitColumns(row, static_cast<std::size_t>(std::max(Columns() - 1, 10))));
}

void FleetDisplay::DropRow(const std::string& strLabel) {
    const auto it = std::find_if(m_rows.begin(), m_rows.end(),
                                 [&](const Row& r) { return r.strLabel == strLabel; });
    if (it == m_rows.end())
        return;
    const std::string last = LastRowText(*it);
    m_units.erase(it->nUnitId);
    m_finishedAt.erase(it->nUnitId);
    m_rows.erase(it);
    if (m_out.bRows && !last.empty())
        Above(last, false);
    else
        DrawRows();
}

void FleetDisplay::ResetRow(const std::string& strLabel, const std::string& strIdleText) {
    Row* r = FindRow(strLabel);
    if (!r) {
        SetRow(strLabel, strIdleText);
        return;
    }
    const std::string last = LastRowText(*r);
    m_units.erase(r->nUnitId);
    m_finishedAt.erase(r->nUnitId);
    r->nUnitId = 0;
    r->strIdleText = strIdleText;
    if (m_out.bRows && !last.empty())
        Above(last, false);
    else
        DrawRows();
}

void FleetDisplay::Tick(const std::vector<fleet::UnitState>& units) {
    for (const auto& u : units) {
        if (const auto it = m_units.find(u.nId); it != m_units.end())
            it->second = u;
    }
    DrawRows();
}

// --- The sessions' events -----------------------------------------------------------------------

void FleetDisplay::PrefixedLines(const fleet::UnitState& unit, std::string_view text,
                                 bool bStderr) {
    // Each line feed ends a line (an empty one too); a last piece without one is a line.
    const std::string prefix = EscapeControlChars(unit.strLabel) + ":";
    std::string out;
    for (std::size_t from = 0; from < text.size();) {
        auto nl = text.find('\n', from);
        if (nl == std::string_view::npos)
            nl = text.size();
        const std::string_view line = text.substr(from, nl - from);
        out += prefix + (line.empty() ? std::string() : " " + std::string(line)) + "\n";
        from = nl + 1;
    }
    if (out.empty())
        out = prefix + "\n";
    if (m_out.bRows)
        Above(out, bStderr);
    else if (bStderr)
        Err(out);
    else
        Out(out);
}

void FleetDisplay::OnStarted(const fleet::UnitState& unit) {
    m_units[unit.nId] = unit;
    if (Row* r = FindRow(unit.strLabel))
        r->nUnitId = unit.nId;
    else
        m_rows.push_back({unit.strLabel, {}, unit.nId});
    DrawRows();
}

void FleetDisplay::OnLog(const fleet::UnitState& unit, std::string_view text) {
    m_units[unit.nId] = unit;
    if (m_out.mode != OutputMode::Text || m_out.bRows)
        return;
    std::string& partial = m_partial[unit.nId];
    partial.append(text);
    const auto nl = partial.rfind('\n');
    if (nl == std::string::npos)
        return;
    PrefixedLines(unit, std::string_view(partial).substr(0, nl + 1), false);
    partial.erase(0, nl + 1);
}

void FleetDisplay::OnProgress(const fleet::UnitState& unit) {
    m_units[unit.nId] = unit;
}

void FleetDisplay::OnMessage(const fleet::UnitState& unit, const fleet::UnitMessage& box) {
    m_units[unit.nId] = unit;
    if (m_out.mode == OutputMode::Json || m_out.bRows)
        return; // JSON has the object; a row says the result
    if (box.strKind == "warning" && m_out.mode == OutputMode::Quiet)
        return;
    PrefixedLines(unit, box.strText, box.strKind != "information");
}

void FleetDisplay::OnNotice(const fleet::UnitState& unit, std::string_view text) {
    m_units[unit.nId] = unit;
    if (m_out.mode == OutputMode::Json)
        return; // the object comes through OnJson
    if (m_out.bRows && IsCancelEcho(text))
        return;
    PrefixedLines(unit, "morfw: " + std::string(text), true);
}

void FleetDisplay::OnStderr(const fleet::UnitState& unit, std::string_view line) {
    if (m_out.mode == OutputMode::Json) {
        Out(Dump(Json{{"type", "stderr"}, {"port", unit.strLabel}, {"text", line}}));
        return;
    }
    PrefixedLines(unit, line, true);
}

void FleetDisplay::OnJson(const fleet::UnitState& unit, const nlohmann::ordered_json& object) {
    (void)unit;
    if (m_out.mode == OutputMode::Json)
        Out(Dump(object));
}

void FleetDisplay::OnFinished(const fleet::UnitState& unit) {
    m_units[unit.nId] = unit;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    char clock[16] = "";
    if (localtime_r(&now, &tm))
        std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
    m_finishedAt[unit.nId] = clock;
    switch (m_out.mode) {
    case OutputMode::Json:
        Out(Dump(unit.result));
        return;
    case OutputMode::Text:
        if (m_out.bRows) {
            DrawRows();
            return;
        }
        if (auto it = m_partial.find(unit.nId); it != m_partial.end()) {
            if (!it->second.empty())
                PrefixedLines(unit, it->second, false);
            m_partial.erase(it);
        }
        break;
    case OutputMode::Quiet:
        break;
    }
    // As a single upload ends: with its message, a success's too (a cancel that came too late).
    if (unit.nExitCode != fleet::kCodeLogFile && !unit.strMessage.empty())
        PrefixedLines(unit, "morfw: " + unit.strMessage, true);
}

// --- The run's own output -----------------------------------------------------------------------

void FleetDisplay::Notice(std::string_view text, const std::vector<std::string>& labels) {
    if (m_out.mode == OutputMode::Json) {
        for (const auto& label : labels)
            Out(Dump(Json{{"type", "notice"}, {"port", label}, {"text", text}}));
        return;
    }
    const std::string line = "morfw: " + std::string(text) + "\n";
    if (m_out.bRows)
        Above(line, true);
    else
        Err(line);
}

void FleetDisplay::Note(const std::string& strLabel, std::string_view text) {
    if (m_out.mode != OutputMode::Text || m_out.bRows)
        return;
    Err(EscapeControlChars(strLabel) + ": morfw: " + std::string(text) + "\n");
}

void FleetDisplay::Line(std::string_view text, bool bStderr) {
    if (m_out.mode == OutputMode::Json)
        return;
    if (m_out.bRows) {
        Above(text, bStderr);
        return;
    }
    std::string line(text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    if (bStderr)
        Err(line);
    else
        Out(line);
}

void FleetDisplay::Event(const nlohmann::ordered_json& object) {
    if (m_out.mode == OutputMode::Json)
        Out(Dump(object));
}

void FleetDisplay::Summary(const std::vector<fleet::UnitState>& units, int nExitCode,
                           double dWallSeconds, const std::string& strLogDir) {
    int nSucceeded = 0;
    for (const auto& u : units)
        nSucceeded += u.nExitCode == fleet::kCodeSuccess ? 1 : 0;
    if (m_out.mode == OutputMode::Json) {
        Json results = Json::array();
        for (const auto& u : units) {
            results.push_back({{"port", u.strLabel},
                               {"stable_name", u.strStableName},
                               {"adapter_serial", u.strAdapterSerial},
                               {"status", u.strStatus},
                               {"exit_code", u.nExitCode},
                               {"elapsed", RoundHalfAway(u.dElapsed * 1000) / 1000},
                               {"retries", u.nRetries},
                               {"log_file", u.strLogFile}});
        }
        Out(Dump(Json{{"type", "summary"},
                      {"status", fleet::StatusName(nExitCode)},
                      {"exit_code", nExitCode},
                      {"units", units.size()},
                      {"succeeded", nSucceeded},
                      {"elapsed", RoundHalfAway(dWallSeconds * 1000) / 1000},
                      {"results", results}}));
        return;
    }
    if (m_out.bRows) {
        Tick(units);
        EndRows();
    }
    std::vector<std::vector<std::string>> table = {
        {"port", "stable name", "adapter serial", "result", "elapsed", "retries", "log file"}};
    for (const auto& u : units) {
        // Log files by their name in the log directory, which the last line names once.
        std::string log = u.strLogFile;
        if (!strLogDir.empty() && log.starts_with(strLogDir))
            log.erase(0, strLogDir.size());
        table.push_back({EscapeControlChars(u.strLabel), OrDash(u.strStableName),
                         OrDash(u.strAdapterSerial), ResultText(u.nExitCode),
                         FormatDuration(u.dElapsed), std::to_string(u.nRetries), OrDash(log)});
    }
    const auto n = static_cast<int>(units.size());
    std::string text =
        "\n" + FitTable(Table(table)) + std::to_string(n) + (n == 1 ? " unit" : " units") + " in " +
        FormatDuration(dWallSeconds) + ": " + std::to_string(nSucceeded) + " succeeded, " +
        std::to_string(n - nSucceeded) + " did not; exit code " + std::to_string(nExitCode) + "\n";
    if (!strLogDir.empty())
        text += "Log files and results.csv in " + EscapeControlChars(strLogDir) + "\n";
    Out(text);
}

} // namespace cli

namespace cli {

void FleetDisplay::EndRows() {
    if (m_bRowsShown)
        Out("\r\n");
    m_bRowsShown = false;
    m_bRowsEnded = true;
}

void FleetDisplay::DaySummary(const std::vector<PortTally>& tallies, int nExitCode,
                              double dWallSeconds, const std::string& strLogDir) {
    int nSucceeded = 0, nFailed = 0;
    for (const auto& t : tallies) {
        nSucceeded += t.nSucceeded;
        nFailed += t.nFailed;
    }
    if (m_out.mode == OutputMode::Json) {
        Json ports = Json::array();
        for (const auto& t : tallies)
            ports.push_back(
                {{"port", t.strLabel}, {"succeeded", t.nSucceeded}, {"failed", t.nFailed}});
        Out(Dump(Json{{"type", "summary"},
                      {"status", fleet::StatusName(nExitCode)},
                      {"exit_code", nExitCode},
                      {"units", nSucceeded + nFailed},
                      {"succeeded", nSucceeded},
                      {"failed", nFailed},
                      {"elapsed", RoundHalfAway(dWallSeconds * 1000) / 1000},
                      {"ports", ports}}));
        return;
    }
    if (m_out.bRows) {
        DrawRows();
        EndRows();
    }
    std::vector<std::vector<std::string>> table = {{"port", "succeeded", "failed"}};
    for (const auto& t : tallies) {
        table.push_back({EscapeControlChars(t.strLabel), std::to_string(t.nSucceeded),
                         std::to_string(t.nFailed)});
    }
    table.push_back({"in all", std::to_string(nSucceeded), std::to_string(nFailed)});
    std::string text = "\n" + FitTable(Table(table)) + "Station ran " +
                       FormatDuration(dWallSeconds) + "; exit code " + std::to_string(nExitCode) +
                       "\n";
    if (!strLogDir.empty())
        text += "Log files and results.csv in " + EscapeControlChars(strLogDir) + "\n";
    Out(text);
}

} // namespace cli
