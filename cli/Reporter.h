#pragma once
// The output layer of morfw upload. Everything the session shows (log text, the progress bar,
// message boxes) and everything morfw says of its own arrives here, from any thread, and goes
// out in one of three forms:
//   text   the log text as the dialog's pane receives it, written as it grows, with a live
//          status line below it when standard output is a terminal;
//   quiet  only the message boxes that report errors, the success box and the result line;
//   json   one JSON object per line on standard output.
// A record, when given (the --log file, a unit's record), receives the log text in every form.

#include "cli/ExitCodes.h"
#include "cli/SessionRecord.h"
#include "cli/SessionTracker.h"
#include "cli/StatusLine.h"
#include "fleet/RecordSettings.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace cli {

enum class OutputMode { Text, Quiet, Json };

// What a message box stands for, from its icon and caption.
enum class BoxKind { Error, Warning, Information };

struct ReporterSettings {
    OutputMode mode = OutputMode::Text;
    int nOutFd = 1;
    int nErrFd = 2;
    bool bStatusLine = false;         // only in text mode, and only for a capable terminal
    SessionRecord* pRecord = nullptr; // the session's record (not owned), or null
    fleet::RecordSettings trace = {}; // station, operator, work order for the JSON result
};

struct SessionInfo {
    std::string strVersion;
    std::string strPort;
    std::string strImageDir;
    bool bSlow = false;
    bool bRelaxed = false;
};

class Reporter {
public:
    explicit Reporter(const ReporterSettings& settings);
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // The session begins: elapsed times count from here; the JSON form writes its start line.
    void BeginSession(const SessionInfo& info);

    void Log(std::string_view text);
    void ProgressRange(int nRange);
    void ProgressPos(int nPos);
    void ProgressDelta(int nDelta);
    // strDetail (the system's reason for a failure) goes into the JSON message as "detail";
    // the text forms say it in their result line.
    void MessageBox(std::string_view text, std::string_view caption, BoxKind kind,
                    std::string_view strDetail = {});

    // A remark of morfw's own ("cancel requested ..."), to standard error as "morfw: TEXT".
    void Notice(std::string_view text);
    // One debug trace line, to standard error in every form.
    void Trace(std::string_view line);
    // A line for the record only (its header).
    void LogFileLine(std::string_view line);

    // Refreshes the status line (its clock runs even while nothing else happens).
    void Tick();

    // Ends the output: the status line goes, the log's last line stays. A detail (why it did not
    // succeed; what a success has to add) becomes the last line ("morfw: DETAIL" on standard
    // error); the JSON form writes its result object, the record its result line. Returns the
    // run's exit code: code, except that a success whose record could not be written in full
    // becomes ExitCode::LogFile.
    ExitCode Finish(ExitCode code, std::string_view strDetail);
    // The result object Finish made (in every form), for --on-result.
    nlohmann::ordered_json GetResult() const;

    double GetElapsedSeconds() const;
    SessionTracker GetTracker() const;
    // Why a write to the log file failed (reported once, as a notice, when it happened), or
    // empty while every write has gone through.
    std::string GetLogFileError() const;

private:
    void OutLocked(std::string_view text);
    void NoticeLocked(std::string_view text);
    void LogFileLocked(std::string_view text);
    void ErrLocked(std::string_view text);
    void JsonLocked(const std::string& line);
    void EraseRegionLocked();
    void DrawRegionLocked();
    void RefreshLocked();
    void RedrawStatusLocked();
    std::string StatusTextLocked();
    double ElapsedLocked() const;

    const ReporterSettings m_settings;
    mutable std::mutex m_mutex;
    std::string m_strPort;
    nlohmann::ordered_json m_result;
    std::chrono::steady_clock::time_point m_start;
    SessionTracker m_tracker;
    RateEstimator m_rate;
    bool m_bOutOk = true;
    std::string m_strLogFileError;
    bool m_bStatusActive = false;
    // The terminal region below the finished log lines: the log's unfinished last line and,
    // below it, the status line. The cursor stands at the end of the status line while shown.
    bool m_bRegionShown = false;
    std::string m_strPartial;
    int m_nPartialRows = 0;
};

} // namespace cli
