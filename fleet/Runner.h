#pragma once
// Runs the upload sessions of many units at once, one child process per unit: the program's
// own file started as "morfw upload --port NAME --json [options]", whose JSON lines (start,
// log, progress, message, notice, result) come back through pipes. A session that fails,
// hangs, loses its port or crashes ends only its own process; the runner reads what each
// wrote and judges each by its own result.
//
// Nothing here writes to a terminal: front ends (the command line's rows, a window's table)
// follow the units through RunnerObserver and Units(). The runner has no thread of its own:
// Wait() polls the children's pipes and process descriptors (and any descriptors the caller
// adds, such as a signalfd) and calls the observer on the caller's thread.

#include "fleet/UnitRecord.h"
#include "fleet/UnitState.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <poll.h>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

struct UnitMessage {
    std::string strKind; // "error", "warning", "information"
    std::string strCaption;
    std::string strText;
    std::string strDetail; // the system's reason of a failed open, or ""
};

class RunnerObserver {
public:
    virtual ~RunnerObserver() = default;
    virtual void OnStarted(const UnitState& /*unit*/) {}
    // The log text as the session appended it (one mark, one line or a part of one).
    virtual void OnLog(const UnitState& /*unit*/, std::string_view /*text*/) {}
    virtual void OnProgress(const UnitState& /*unit*/) {}
    virtual void OnMessage(const UnitState& /*unit*/, const UnitMessage& /*box*/) {}
    // A remark of the session's program, or of the runner about this unit (its record); both
    // also come to OnJson as notice objects.
    virtual void OnNotice(const UnitState& /*unit*/, std::string_view /*text*/) {}
    // A line the session wrote to standard error (its traces), or output that was no JSON.
    virtual void OnStderr(const UnitState& /*unit*/, std::string_view /*line*/) {}
    // Each object the session wrote but its result, with "port" added, as it came, and the
    // runner's own notices.
    virtual void OnJson(const UnitState& /*unit*/, const nlohmann::ordered_json& /*object*/) {}
    // The session has ended and its result is judged (unit.result holds the result object).
    virtual void OnFinished(const UnitState& /*unit*/) {}
};

struct RunnerSettings {
    std::string strProgram = "/proc/self/exe"; // the morfw to start: this very program file
    std::vector<std::string> sessionArgs;      // after "upload --port NAME --json"
    std::string strLogDir;                     // the records' directory, or "" for none
    RecordContext record;                      // what every unit's record shares
    std::string strDevDir = "/dev";            // roots for the ports' stable names
    std::string strSysClassTty = "/sys/class/tty";
};

struct UnitRequest {
    std::string strPort;  // what the session opens
    std::string strLabel; // the name the unit is shown and recorded by; "" for strPort
    std::string strSerial = {}; // the unit's serial number for its records, or ""
};

class Runner {
public:
    Runner(RunnerSettings settings, RunnerObserver& observer);
    // Ends what still runs (SIGTERM, the cancel; SIGKILL for any session still there 30 s
    // later) and reaps it.
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Starts a unit's session and returns its id. A session that cannot be started is
    // finished at once as failed.
    int Start(const UnitRequest& request);
    // Sends nSignal to every session still running (SIGINT is the operator's confirmed
    // cancel). Returns how many it reached.
    int Signal(int nSignal);
    int RunningCount() const;

    // Waits up to nTimeoutMs (-1: until something happens) for the sessions' output and ends,
    // handles them, and fills in the revents of the extra descriptors, which are polled too.
    // Returns poll's result.
    int Wait(int nTimeoutMs, std::span<pollfd> extra = {});

    // Every unit started so far in start order, the running ones' times up to now.
    std::vector<UnitState> Units() const;
    // One unit (its time up to now), or an empty state with nId 0 for an unknown id.
    UnitState Unit(int nId) const;

private:
    struct Child;
    void ReadPipe(Child& c, bool bStdout);
    void HandleLine(Child& c, std::string_view line);
    void HandleObject(Child& c, const nlohmann::ordered_json& obj);
    void Reap(Child& c, bool bBlock);
    void FinishUnit(Child& c);
    void Record(Child& c, std::string_view text);
    // A remark of the runner's own about a unit: to OnNotice, and as a notice object to OnJson.
    void Notify(Child& c, const std::string& strText);
    static void UpdateTimes(UnitState& state, const Child& c);

    RunnerSettings m_settings;
    RunnerObserver& m_observer;
    std::vector<std::unique_ptr<Child>> m_units;
    int m_nNextId = 1;
};

} // namespace fleet
