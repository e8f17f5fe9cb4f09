#pragma once
// Ctrl-C (SIGINT), SIGTERM and SIGHUP as the operator's confirmed cancel. The signals are
// blocked in every thread and read from a signalfd by the waiting main thread, so nothing runs
// in signal context: the main thread sets the session's cancel flag and the session ends
// through its guard, which closes the port. Further signals only say that the cancel is under
// way; none of them ends the process before the guard has run.

#include <csignal>

namespace cli {

class CancelSignals {
public:
    CancelSignals() = default;
    ~CancelSignals(); // restores the signal mask and closes the descriptor
    CancelSignals(const CancelSignals&) = delete;
    CancelSignals& operator=(const CancelSignals&) = delete;

    // Must run before any thread starts, so that every thread inherits the blocked mask.
    // Signals the process was started with ignored (nohup, a background job) stay ignored.
    // False when the system refused; the signals then keep their default action.
    bool Install();

    // Readable while a signal is pending; -1 when not installed.
    int Fd() const { return m_fd; }

    // Takes one pending signal: its number, or 0 when none is pending.
    int Take();

private:
    int m_fd = -1;
    sigset_t m_set{};
    sigset_t m_oldMask{};
    bool m_bMasked = false;
};

const char* SignalName(int nSignal);

} // namespace cli
