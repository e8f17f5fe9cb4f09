#pragma once
// Ctrl-C (SIGINT), SIGTERM and SIGHUP as the operator's confirmed cancel. On Linux the signals
// are blocked in every thread and read from a signalfd by the waiting main thread, so nothing
// runs in signal context (CancelSignals.cpp); on Windows a console control handler
// (SetConsoleCtrlHandler) queues Ctrl-C, Ctrl-Break and the console's closing for the main
// thread, and so does the process's named cancel event, which its runner sets when it is a
// session of a many-unit run (CancelSignals_win32.cpp, platform/CancelEventName.h). The main thread
// sets the session's cancel flag and the session ends through its guard, which closes the port.
// Further signals only say that the cancel is under way; none of them ends the process before the
// guard has run.

#include "platform/Types.h"

#include <csignal>

namespace cli {

class CancelSignals {
public:
    CancelSignals() = default;
    ~CancelSignals(); // restores the signal mask and closes the descriptor
    CancelSignals(const CancelSignals&) = delete;
    CancelSignals& operator=(const CancelSignals&) = delete;

    // Must run before any thread starts, so that every thread inherits the blocked mask. On
    // Linux it also ignores SIGPIPE: a reader that goes away (morfw upload | head) must not end
    // the process before the guard has closed the port.
    // Signals the process was started with ignored (nohup, a background job) stay ignored.
    // False when the system refused; the signals then keep their default action.
    bool Install();

    // Waits until a signal is pending (true) or the time has passed (false).
    bool Wait(DWORD dwMilliseconds);

    // Takes one pending signal: its number, or 0 when none is pending.
    int Take();

    // For a caller that waits for it with other things (a fleet::WaitItem): the signalfd on
    // Linux; on Windows the handle of an event that is set while a signal is pending. -1 when
    // not installed.
    int Fd() const;

private:
#if defined(_WIN32)
    bool m_bInstalled = false;
#else
    int m_fd = -1;
    sigset_t m_set{};
    sigset_t m_oldMask{};
    bool m_bMasked = false;
#endif
};

const char* SignalName(int nSignal);

} // namespace cli
