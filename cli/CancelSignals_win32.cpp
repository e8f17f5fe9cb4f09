#include "cli/CancelSignals.h"

#include "platform/Event.h"
#include "platform/Win32.h"

#include <atomic>

namespace cli {

namespace {

// The handler runs on a thread of the system's: it only queues the event for the main thread.
std::atomic<int> g_nPending{0};
std::atomic<int> g_nLast{0};
CEvent* g_pWake = nullptr;
CEvent* g_pEnded = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD dwCtrlType) {
    int nSignal = SIGINT;
    if (dwCtrlType == CTRL_BREAK_EVENT)
        nSignal = SIGBREAK;
    else if (dwCtrlType != CTRL_C_EVENT)
        nSignal = SIGTERM; // the console closes, the user logs off, the system shuts down
    g_nLast.store(nSignal);
    g_nPending.fetch_add(1);
    if (g_pWake)
        g_pWake->Set();
    // The system ends the process when this returns from a closing console: hold it until the
    // session has closed the port (the system waits about 5 s at most).
    if (nSignal == SIGTERM && g_pEnded)
        g_pEnded->Wait(4500);
    return TRUE;
}

} // namespace

CancelSignals::~CancelSignals() {
    if (m_bInstalled) {
        if (g_pEnded)
            g_pEnded->Set();
        SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
    }
}

bool CancelSignals::Install() {
    static CEvent wake(false);
    static CEvent ended(false);
    g_pWake = &wake;
    g_pEnded = &ended;
    m_bInstalled = SetConsoleCtrlHandler(OnConsoleCtrl, TRUE) != FALSE;
    return m_bInstalled;
}

bool CancelSignals::Wait(DWORD dwMilliseconds) {
    if (g_pWake && g_pWake->Wait(dwMilliseconds) == WAIT_OBJECT_0)
        g_pWake->Reset();
    return g_nPending.load() > 0;
}

int CancelSignals::Take() {
    int n = g_nPending.load();
    while (n > 0 && !g_nPending.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? g_nLast.load() : 0;
}

const char* SignalName(int nSignal) {
    switch (nSignal) {
    case SIGINT:
        return "Ctrl-C";
    case SIGBREAK:
        return "Ctrl-Break";
    case SIGTERM:
        return "the console closing";
    default:
        return "a signal";
    }
}

} // namespace cli
