#pragma once
// Runs the built morfw as a user would: its own process, arguments, working directory and
// environment, with standard output and standard error captured.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

struct RunResult {
    int nExitCode = -1; // -1 when the program did not exit normally
    int nSignal = 0;    // the signal that ended it, if one did
    std::string strOut;
    std::string strErr;
};

struct RunSpec {
    std::string strProgram;                 // path of the file to run
    std::vector<std::string> args;          // without argv[0]
    std::string strArgv0;                   // empty: the program path
    std::string strCwd;                     // empty: the test's own
    std::map<std::string, std::string> env; // added to (or replacing in) the test's environment
};

// A running program whose standard output is read line by line.
class ChildProcess {
public:
    explicit ChildProcess(const RunSpec& spec);
    ~ChildProcess(); // kills and reaps a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // The next line of standard output without its line feed; nothing at the end of output or
    // when the time runs out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    void Signal(int nSignal);
    // Reads everything left and waits for the end (at most timeout, then it is killed).
    RunResult Finish(std::chrono::milliseconds timeout);

private:
    bool Pump(int nTimeoutMs); // false at the end of both streams
    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_outBuf; // standard output not yet handed out by ReadLine
    std::string m_outAll;
    std::string m_errAll;
};

RunResult RunProgram(const RunSpec& spec,
                     std::chrono::milliseconds timeout = std::chrono::seconds(240));
