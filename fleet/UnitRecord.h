#pragma once
// The records a production line keeps of each unit in its log directory: one log file per unit
// and run (a header naming the station, the port, the adapter and the exact image set, the
// session's transcript, a result line) and one row in DIR/results.csv, shared by every run.
//
// The runner makes the log file and writes its header; the unit's session, a process of its
// own, takes the record over (Handoff, Adopt) and writes the transcript, the result line and
// the row itself, so that they are there even when the runner is killed. The runner finishes
// the record only of a session that ended without doing so (a crash, a kill).

#include "fleet/RecordSettings.h"
#include "fleet/UnitState.h"

#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// What every unit of a run shares in its record.
struct RecordContext {
    std::string strHost;     // this machine's name
    std::string strVersion;  // "morfw 1.0.4.1"
    std::string strImageDir; // ending in '/'
    std::string strOptions;  // "--slow --relaxed", or "none"
    RecordSettings trace = {}; // station, operator, work order
};

// "20261209-141503_ttyUSB0.log": the local time and the port's last path part, with every
// character but letters, digits, '.', '-', '_' and '=' turned into '_'.
std::string LogFileName(const std::string& strPort, long long nUnixTime);

// One field of a CSV row: quoted (with inner quotes doubled) when it holds a comma, a quote,
// a line break or blanks at either end; as it is otherwise.
std::string CsvField(std::string_view text);
// The fields joined with commas, ended with CR LF (RFC 4180).
std::string CsvRow(const std::vector<std::string>& fields);
// A cell of results.csv, which is opened in spreadsheets: control characters escaped (as in
// every text morfw prints), and a text that a spreadsheet would take for a formula ('=', '+',
// '-', '@' first) preceded by an apostrophe, which keeps it text.
std::string SafeCell(std::string_view text);

// Appends one row to a CSV file shared by concurrent runs: opened with O_APPEND and held under
// an exclusive flock while it checks for emptiness (then writes strHeader first) and writes the
// row in one write. False and strError (the system's reason) when it could not.
bool AppendCsvRow(const std::string& strPath, const std::string& strHeaderRow,
                  const std::string& strRow, std::string& strError);

// The header row of results.csv.
const std::string& ResultsCsvHeader();

class UnitRecord {
public:
    UnitRecord() = default;
    ~UnitRecord();
    UnitRecord(const UnitRecord&) = delete;
    UnitRecord& operator=(const UnitRecord&) = delete;

    // Creates the unit's log file in strDir and writes its header (the image set's revision
    // and digests are read now, as the session is about to load it). False and strError when
    // the file cannot be made; a header that cannot be written leaves Error() set.
    bool Open(const std::string& strDir, const UnitState& unit, const RecordContext& ctx,
              std::string& strError);
    const std::string& Path() const { return m_strPath; }

    // What the unit's session needs to take the record over (one line of JSON).
    std::string Handoff() const;
    // In the session: takes over the record a runner opened. False and strError when the
    // handoff is not one or the log file cannot be opened.
    bool Adopt(const std::string& strHandoff, std::string& strError);
    // In the runner: the session has finished the record; only the file is let go.
    void Release();

    // Appends the session's text. Returns false only for the write that fails first; Error()
    // then says why, and nothing more is written.
    bool Append(std::string_view text);
    // The result line, on a line of its own, then the unit's row in DIR/results.csv. A result
    // with a message (any failure; a success the operator tried to cancel) says it. A success
    // whose record is incomplete (a write failed, now or before) becomes kCodeLogFile with the
    // reason as its message. Returns a failure not reported before (for a notice), or "".
    std::string Finish(UnitState& unit);
    const std::string& Error() const { return m_strError; }

    // Appends one more line to a finished unit's log file (what became of its result).
    static bool AppendLine(const std::string& strPath, const std::string& strLine,
                           std::string& strError);

private:
    bool Write(std::string_view text);
    bool EndsInLineFeed() const;
    int m_fd = -1;
    std::string m_strDir;
    std::string m_strPath;
    std::string m_strError;
    std::string m_strHost;
    std::string m_strStartTime;
    std::string m_strLabel;
    std::string m_strStableName;
    std::string m_strAdapterSerial;
    std::string m_strSerial;
    std::string m_strRevision;
    std::string m_strSetDigest;
    RecordSettings m_trace;
};

} // namespace fleet
