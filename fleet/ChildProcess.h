#pragma once
// One session's process as the runner (fleet::Runner) sees it: the system's part of running a
// unit in a process of its own. It is started with its standard output and error coming back
// through pipes and standard input empty, waited for together with the other sessions and the
// caller's own items, told to cancel, ended, and reaped.
//
// Linux (ChildProcess.cpp): fork and execve, pipes, a pidfd; the session has a process group of
// its own and dies with the runner (PR_SET_PDEATHSIG). Windows (ChildProcess_win32.cpp):
// CreateProcessW without a console of its own, in a job object that ends every session when the
// runner goes away, each pipe read by a thread of its own, and a named event as the cancel,
// which the session's CancelSignals waits for beside the console's Ctrl-C.

#include "fleet/WaitItem.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace fleet {

// What Signal sends: the cancel (SIGINT, SIGTERM, SIGHUP; the session logs "User cancelled..."
// and closes its port), or the end that nothing in the session can delay.
inline constexpr int kSignalKill = 9; // SIGKILL on Linux; TerminateProcess on Windows

// The program the runner starts by default: this very program file.
#if defined(_WIN32)
inline constexpr const char* kThisProgram = ""; // GetModuleFileNameW
#else
inline constexpr const char* kThisProgram = "/proc/self/exe";
#endif

// How a session's process ended.
struct ChildExit {
    bool bByItself = true; // it exited; false: a signal (Linux), an exception or a kill (Windows)
    int nExitCode = 0;     // when bByItself
    // When not by itself, what ended it, to follow "ended by": "signal 9",
    // "exception 0xC0000005", "TerminateProcess".
    std::string strCause;
    long nPeakRssKiB = 0;   // its largest resident set (working set on Windows)
    double dCpuSeconds = 0; // its user and system time
};

class ChildProcess {
public:
    ChildProcess();
    // Lets go of what is still open; a process still running is killed and reaped first.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts strProgram (kThisProgram: this program file) with args, args[0] being the name it
    // runs by. False and strError (the system's reason) when it could not be started.
    bool Start(const std::string& strProgram, const std::vector<std::string>& args,
               std::string& strError);
    int Pid() const;

    // Sends the cancel (SIGINT, SIGTERM, SIGHUP) or kSignalKill. False when the process has
    // ended or was never started.
    bool Signal(int nSignal);

    // Appends the output that has come since the last call (never blocks).
    void Read(std::string& strOut, std::string& strErr);
    // Both pipes are read to their end.
    bool OutputEnded() const;
    // Reaps the process if it has ended (without a way to see its end, once its output has
    // ended, by waiting for it). True once reaped; Exit() then says how it ended.
    bool Reap();
    const ChildExit& Exit() const;

    struct System; // the platform's state
    System& Sys() { return *m_pSys; }

private:
    std::unique_ptr<System> m_pSys;
};

// Waits up to nTimeoutMs (-1: until something happens) until a child has output or has ended,
// or an extra item is ready (its revents set; the others' cleared). Returns the number of
// things ready, 0 when the time passed, -1 when the wait failed.
int WaitForChildren(std::span<ChildProcess* const> children, int nTimeoutMs,
                    std::span<WaitItem> extra);

} // namespace fleet
