#pragma once
// Follows a session through the log text and the progress bar calls it makes, the way an
// operator reads the dialog: which part runs, how many load records have gone, whether the
// loading or the opening line ended in "Failed!!!". The command line builds its status line,
// its exit code and its result line from this.

#include <string>
#include <string_view>

namespace cli {

// What the records say of the two cancels that came too late to stop anything: one seen only
// after the fifth part had succeeded (the session still ends as cancelled, as it always has), and
// one confirmed after the last check, which the guard still reports although the upload succeeded.
inline constexpr const char* RESULT_CANCELLED_AFTER_EVERY_RECORD =
    "cancelled after the unit had received every record";
inline constexpr const char* RESULT_CANCEL_AFTER_END =
    "success; the cancel came after the upload had ended";

class SessionTracker {
public:
    enum class Step { NotStarted, Loading, Opening, Stages };

    void OnLog(std::string_view text);
    void OnProgressRange(int nRange);
    void OnProgressPos(int nPos);
    void OnProgressDelta(int nDelta);

    Step GetStep() const { return m_step; }
    // The part (stage) announced last, 1 to 5; 0 before the first.
    int GetPart() const { return m_nPart; }
    // Load records begun in parts 3 to 5 (one "." each).
    int GetRecords() const { return m_nRecords; }
    // Retry marks seen: "+" and "*" in parts 1 and 2, "!", ":", ";" in parts 3 to 5.
    int GetRetries() const { return m_nRetries; }
    // The progress bar as the dialog would show it: range 0..N, position clamped to it.
    int GetRange() const { return m_nRange; }
    int GetPosition() const { return m_nPosition; }

    bool LoadFailed() const { return m_bLoadFailed; }
    bool OpenFailed() const { return m_bOpenFailed; }
    bool SawUserCancelled() const { return m_bUserCancelled; }
    // The fifth part's line ended in " Succeeded": the unit has every record and answered the
    // final exchange.
    bool LastPartSucceeded() const { return m_bLastPartSucceeded; }
    // What the result says of a cancel: for an upload that succeeded, a cancel the guard still
    // reported (else ""); for one that ended as cancelled, whether the unit had every record.
    std::string CancelDetail(bool bSucceeded) const;
    // The line the session writes after a failed loading line (which file, what is wrong), or
    // empty when there is none.
    std::string GetImageError() const;

private:
    Step m_step = Step::NotStarted;
    int m_nPart = 0;
    int m_nRecords = 0;
    int m_nRetries = 0;
    int m_nRange = 0;
    int m_nPosition = 0;
    bool m_bLoadFailed = false;
    bool m_bOpenFailed = false;
    bool m_bUserCancelled = false;
    bool m_bLastPartSucceeded = false;
    std::string m_strLoadingText; // what followed the loading line, up to the opening line
};

} // namespace cli
