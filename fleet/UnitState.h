#pragma once
// One unit's session as the many-unit runner follows it: which port, how far it has come,
// and how it ended. The front ends (the command line's rows and summary, a window's table)
// read only this.

#include <nlohmann/json.hpp>

#include <string>
#include <sys/types.h>
#include <vector>

namespace fleet {

// The exit codes a session's program ends with: morfw's own (cli/ExitCodes.h, which checks
// that both agree). The runner keeps them as numbers.
inline constexpr int kCodeSuccess = 0;
inline constexpr int kCodeFailed = 1;
inline constexpr int kCodeUsage = 2;
inline constexpr int kCodePort = 3;
inline constexpr int kCodeImages = 4;
inline constexpr int kCodeCancelled = 5;
inline constexpr int kCodeLogFile = 6;

// How much a unit's code says about the whole run, higher first: cancelled (the run is
// incomplete), failed (a unit needs attention), usage, port (a fixture's adapter or cable),
// images (the same for every unit), log file (the units are fine, a record is missing),
// success. A code that morfw never gives counts as failed.
int Severity(int nCode);
// The code of a run of several units: 0 when each succeeded, otherwise the most severe code.
// No units at all is a success of nothing: 0.
int RunExitCode(const std::vector<int>& codes);

struct UnitState {
    int nId = 0;
    std::string strLabel;         // the port as the operator named it (rows, JSON "port", log name)
    std::string strPort;          // what the session opens (usually the same)
    std::string strStableName;    // its /dev/serial/by-id or by-path link, or ""
    std::string strAdapterSerial; // the USB adapter's serial number, or ""
    std::string strSerial;        // the unit's own serial number when one was given, or ""
    pid_t pid = -1;
    bool bFinished = false;
    int nPart = 0;                 // 1..5 once a part has begun
    int nRecords = 0;              // load records begun (parts 3 to 5)
    int nTotal = 0;                // load records in all (the progress bar's range)
    int nRetries = 0;              // retry marks in the log: "!", "+", ";", ":"
    double dElapsed = 0;           // seconds since the start, up to the end once finished
    double dLeft = -1;             // estimated seconds left; negative while not known
    int nExitCode = -1;            // once finished
    std::string strStatus;         // once finished: "success", "failed", "port", ...
    std::string strMessage;        // once finished: why it did not succeed, or ""
    std::string strLogFile;        // the unit's log file, or ""
    long nPeakRssKiB = 0;          // once finished: the session process's largest resident set
    double dCpuSeconds = 0;        // once finished: its user and system time
    nlohmann::ordered_json result; // once finished: the result object, with "port" and the above
};

// The status word of a code, as morfw's JSON says it.
const char* StatusName(int nCode);

} // namespace fleet
