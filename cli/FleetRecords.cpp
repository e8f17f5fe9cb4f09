// What an upload takes from fleet/: a unit of a many-unit run keeps its own record (the log file
// its runner made, header written, gets the transcript, the result line and the row in
// results.csv from the session itself, so that they are written even when the runner is gone),
// and --on-result runs for a single-port upload too.

#include "cli/SessionRecord.h"

#include "fleet/ResultCommand.h"
#include "fleet/UnitRecord.h"

namespace cli {

namespace {

class UnitRecordSink final : public SessionRecord {
public:
    bool Adopt(const std::string& strHandoff, std::string& strError) {
        return m_record.Adopt(strHandoff, strError);
    }
    bool Write(std::string_view text) override {
        // Counted as the runner counts them, so that the row and the run's result agree.
        m_nRetries += fleet::IsRetryMark(text) ? 1 : 0;
        return m_record.Append(text);
    }
    std::string Finish(const RecordOutcome& outcome) override {
        fleet::UnitState unit;
        unit.nExitCode = ToInt(outcome.code);
        unit.strStatus = StatusName(outcome.code);
        unit.strMessage = outcome.strDetail;
        unit.dElapsed = outcome.dElapsed;
        unit.nRetries = m_nRetries;
        m_bFinished = true;
        return m_record.Finish(unit);
    }
    std::string Error() const override { return m_record.Error(); }
    void Describe(nlohmann::ordered_json& result) const override {
        // The runner then writes neither a result line nor a row for this unit.
        result["recorded"] = m_bFinished;
    }

private:
    fleet::UnitRecord m_record;
    int m_nRetries = 0;
    bool m_bFinished = false;
};

} // namespace

std::unique_ptr<SessionRecord> AdoptUnitRecord(const std::string& strHandoff,
                                               std::string& strError) {
    auto record = std::make_unique<UnitRecordSink>();
    if (!record->Adopt(strHandoff, strError))
        return nullptr;
    return record;
}

std::string RunResultCommand(const std::string& strCommand, const nlohmann::ordered_json& result,
                             int nSeconds) {
    fleet::ResultCommand command(strCommand, result, nSeconds);
    command.RunToEnd();
    return command.Failure();
}

} // namespace cli
