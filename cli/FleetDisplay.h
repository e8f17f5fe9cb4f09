#pragma once
// What the operator sees of a run of many units (morfw upload with several ports, morfw
// station), in the output forms of a single upload:
//   rows   on a terminal: one live row per unit (port, part, records, elapsed, time left, then
//          its result), redrawn in place below the run's other lines, each fitted to the
//          terminal's width (also after it changed); a unit whose row goes leaves its last row
//          above the rows, led by the time it finished;
//   plain  without a terminal: the lines a single upload prints, each prefixed "PORT: ";
//   quiet  only the message boxes and result lines, prefixed the same way;
//   json   the sessions' own objects, each with "port", then one object per result.
// The summary table (or JSON summary object) ends the run.

#include "cli/Reporter.h"
#include "fleet/Runner.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct FleetOutput {
    OutputMode mode = OutputMode::Text;
    int nOutFd = 1;
    int nErrFd = 2;
    bool bRows = false; // text mode on a capable terminal
    int nColumns = 0;   // 0: the terminal's; tests set a width
    int nLines = 0;     // 0: the terminal's height
};

class FleetDisplay : public fleet::RunnerObserver {
public:
    explicit FleetDisplay(const FleetOutput& output);
    FleetDisplay(const FleetDisplay&) = delete;
    FleetDisplay& operator=(const FleetDisplay&) = delete;

    void OnStarted(const fleet::UnitState& unit) override;
    void OnLog(const fleet::UnitState& unit, std::string_view text) override;
    void OnProgress(const fleet::UnitState& unit) override;
    void OnMessage(const fleet::UnitState& unit, const fleet::UnitMessage& box) override;
    void OnNotice(const fleet::UnitState& unit, std::string_view text) override;
    void OnStderr(const fleet::UnitState& unit, std::string_view line) override;
    void OnJson(const fleet::UnitState& unit, const nlohmann::ordered_json& object) override;
    void OnFinished(const fleet::UnitState& unit) override;

    // Rows: a row for a port before any session runs on it (the station's ports), with a text
    // of its own ("waiting for a unit"), or that text changed. A unit started on a port with
    // a row takes that row.
    void SetRow(const std::string& strLabel, const std::string& strIdleText);
    // The row goes (its device is gone). A finished unit's last row stays above the rows.
    void DropRow(const std::string& strLabel);
    // The row waits again (its unit was taken out): a finished unit's last row goes above the
    // rows, the row itself shows strIdleText.
    void ResetRow(const std::string& strLabel, const std::string& strIdleText);

    // A remark of the run itself: "morfw: TEXT" on standard error (above the rows); in JSON a
    // notice object for each label given (the run's remarks concern its units).
    void Notice(std::string_view text, const std::vector<std::string>& labels = {});
    // A remark of the run about one port (a unit arrived): "PORT: morfw: TEXT" on standard
    // error in the plain form; the rows and JSON say it their own way, --quiet not at all.
    void Note(const std::string& strLabel, std::string_view text);
    // An object of the run's own in JSON (the station's device events); nothing otherwise.
    void Event(const nlohmann::ordered_json& object);
    // A text of the run's own (a warning box), on standard error or output, above the rows.
    void Line(std::string_view text, bool bStderr);

    // Refreshes the rows with the units' current figures (their clocks run between events).
    void Tick(const std::vector<fleet::UnitState>& units);
    // The terminal's width from now on (tests; 0: ask the terminal).
    void SetColumns(int nColumns) { m_out.nColumns = nColumns; }

    // Ends the rows (they stay as they are) and prints the summary of these units; log files
    // in strLogDir (when given) are named by their file name.
    void Summary(const std::vector<fleet::UnitState>& units, int nExitCode, double dWallSeconds,
                 const std::string& strLogDir = {});

    // The station's end: every port with its successes and failures of the day, and in all.
    struct PortTally {
        std::string strLabel;
        int nSucceeded = 0;
        int nFailed = 0;
    };
    void DaySummary(const std::vector<PortTally>& tallies, int nExitCode, double dWallSeconds,
                    const std::string& strLogDir);

    // The text of one row, fitted to nColumns (the label column nLabelColumns wide).
    static std::string RowText(const std::string& strLabel, const std::string& strBody,
                               std::size_t nLabelColumns, std::size_t nColumns);
    // A unit's row without its label: figures while it runs, then its result.
    static std::string UnitText(const fleet::UnitState& unit);
    // Columns padded to their widest cell, two blanks apart; the first row is the header.
    static std::string Table(const std::vector<std::vector<std::string>>& rows);
    // The result as the table and rows say it: "success", "failed (1)", "port error (3)", ...
    static std::string ResultText(int nExitCode);

private:
    struct Row {
        std::string strLabel;
        std::string strIdleText;
        int nUnitId = 0; // 0: no session yet
    };
    Row* FindRow(const std::string& strLabel);
    void Out(std::string_view text);
    void Err(std::string_view text);
    // A permanent line above the rows (the rows are redrawn below it).
    void Above(std::string_view text, bool bStderr);
    void PrefixedLines(const fleet::UnitState& unit, std::string_view text, bool bStderr);
    void EndRows();
    // The line a finished unit's row leaves above the rows, or "" while it has none.
    std::string LastRowText(const Row& r);
    void EraseRows();
    void DrawRows();
    // How many lines the rows as last drawn take on the screen now.
    std::size_t DrawnHeight() const;
    // A table's lines cut to the terminal's width (never wrapped) when it has rows.
    std::string FitTable(const std::string& strTable) const;
    std::vector<std::string> RowTexts();
    int Columns() const;
    int Lines() const;

    FleetOutput m_out;
    bool m_bOutOk = true;
    std::vector<Row> m_rows;
    std::map<int, fleet::UnitState> m_units;
    std::map<int, std::string> m_partial;    // plain form: each unit's unfinished log line
    std::map<int, std::string> m_finishedAt; // each finished unit's time of day, "14:03:12"
    std::vector<std::string> m_drawn;        // the rows as last drawn
    int m_nDrawnColumns = 0;                 // the width they were drawn for
    bool m_bRowsShown = false;
    bool m_bRowsEnded = false;
};

} // namespace cli
