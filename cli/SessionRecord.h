#pragma once
// Where an upload keeps the record of its session: the --log file, or, for a unit of a
// many-unit run, the unit's own log file and its row in results.csv (which its runner made and
// handed over). The Reporter writes the session's text into it as it comes and ends it with the
// result.

#include "cli/ExitCodes.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace cli {

struct RecordOutcome {
    ExitCode code = ExitCode::Success;
    std::string strDetail; // why it did not succeed, or what a success has to add; or ""
    double dElapsed = 0;
};

class SessionRecord {
public:
    virtual ~SessionRecord() = default;
    // Appends the session's text (a header line, the log text). Returns false only for the
    // write that fails first; Error() then says why, and nothing more is written.
    virtual bool Write(std::string_view text) = 0;
    // Ends the record with its result line. A success whose record is incomplete is written
    // as exit code 6 with the reason. Returns a failure not reported before, or "".
    virtual std::string Finish(const RecordOutcome& outcome) = 0;
    // The first failure of the record, or "" while it is whole.
    virtual std::string Error() const = 0;
    // What the JSON result says of the record.
    virtual void Describe(nlohmann::ordered_json& result) const = 0;
};

// The --log file. Sessions on other terminals may append to the same file at the same time, so
// a regular file gets each session's record whole, in one locked append when the session ends;
// meanwhile the record grows in FILE.PID.part beside it (in memory where no file can be made
// there), which a session that is killed leaves behind. Anything else (a device, a pipe) is
// written as the text comes.
class LogFileRecord final : public SessionRecord {
public:
    LogFileRecord() = default;
    ~LogFileRecord() override;
    LogFileRecord(const LogFileRecord&) = delete;
    LogFileRecord& operator=(const LogFileRecord&) = delete;

    // Opens FILE for appending, made when missing. False and strError (the system's reason)
    // when it cannot be opened.
    bool Open(const std::string& strPath, std::string& strError);
    // The file the record grows in until it is appended, or "" (in memory, or written as it
    // comes).
    const std::string& PartPath() const { return m_strPartPath; }

    bool Write(std::string_view text) override;
    std::string Finish(const RecordOutcome& outcome) override;
    std::string Error() const override { return m_strError; }
    void Describe(nlohmann::ordered_json& result) const override;

private:
    bool Failed(const std::string& strReason);
    std::string m_strPath;
    std::string m_strPartPath;
    int m_fd = -1;
    int m_partFd = -1;
    bool m_bWhole = false;   // a regular file: appended whole at the end
    std::string m_strMemory; // the record so far, when no part file could be made
    std::string m_strError;
};

// A unit's record of a many-unit run, taken over from the runner's handoff. Null and strError
// when it cannot be.
std::unique_ptr<SessionRecord> AdoptUnitRecord(const std::string& strHandoff,
                                               std::string& strError);

// Runs an --on-result command for result to its end (at most nSeconds; Linux). Returns what
// went wrong with it, or "".
std::string RunResultCommand(const std::string& strCommand, const nlohmann::ordered_json& result,
                             int nSeconds);

} // namespace cli
