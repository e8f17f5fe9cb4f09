#pragma once
// The --on-result command of one finished unit: "/bin/sh -c COMMAND" with the unit's JSON result
// object on its standard input and the result's main fields in MORFW_* variables. It runs in a
// process group of its own (a Ctrl-C at the terminal is the station's, not its), and when its
// time is up the whole group is ended with SIGKILL. Its output is kept only to say why it
// failed. It never changes the unit's result: the caller records what became of it.
//
// No thread of its own: the runner polls Fd() with its sessions and calls Check(); a
// single-port upload, which has nothing else to do, calls RunToEnd().

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace fleet {

// The variables the command gets, "NAME=value": MORFW_ and the upper-cased key of each of the
// result's main fields (MORFW_PORT, MORFW_STATUS, MORFW_EXIT_CODE, ...), empty when the result
// lacks it. Strings as they are, numbers as JSON writes them.
std::vector<std::string> ResultVariables(const nlohmann::ordered_json& result);

class ResultCommand {
public:
    // Starts strCommand for result; nSeconds is its time limit.
    ResultCommand(const std::string& strCommand, const nlohmann::ordered_json& result,
                  int nSeconds);
    // Ends and reaps a command that still runs.
    ~ResultCommand();
    ResultCommand(const ResultCommand&) = delete;
    ResultCommand& operator=(const ResultCommand&) = delete;

    // The descriptor that becomes readable when the command has ended, or -1 (then Check() is
    // to be called at least every 100 ms).
    int Fd() const { return m_pidFd; }
    // Milliseconds until the command's time is up (0 when it is), for a poll's timeout; -1
    // once it is over.
    int MsLeft() const;
    // Reaps the command if it has ended, or ends it if its time is up. True once it is over.
    bool Check();
    bool Over() const { return m_bOver; }
    // Waits for the command's end (at most its time limit).
    void RunToEnd();
    // Once over: "" when it exited with code 0, otherwise what went wrong, for the records
    // ("the --on-result command exited with code 3: its last output line").
    const std::string& Failure() const { return m_strFailure; }

private:
    void Ended(int nStatus);
    std::string LastOutputLine() const;

    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_outFd = -1; // the command's output, an anonymous file
    int m_nSeconds;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_bOver = false;
    std::string m_strFailure;
};

} // namespace fleet
