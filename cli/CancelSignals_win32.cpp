#include "cli/CancelSignals.h"

#include "platform/CancelEventName.h"
#include "platform/Win32.h"

#include <atomic>
#include <cstdint>

namespace cli {

namespace {

// The handler runs on a thread of the system's: it only queues the event for the main thread.
std::atomic<int> g_nPending{0};
std::atomic<int> g_nLast{0};
HANDLE g_hWake = nullptr;          // manual-reset: set while something is pending
HANDLE g_hEnded = nullptr;         // set when the session has closed its port
HANDLE g_hSessionCancel = nullptr; // "Local\morfw-session-cancel-PID", set by a runner
HANDLE g_hSessionWait = nullptr;

void Queue(int nSignal) {
    g_nLast.store(nSignal);
    g_nPending.fetch_add(1);
    if (g_hWake)
        SetEvent(g_hWake);
}

BOOL WINAPI OnConsoleCtrl(DWORD dwCtrlType) {
    int nSignal = SIGINT;
    if (dwCtrlType == CTRL_BREAK_EVENT)
        nSignal = SIGBREAK;
    else if (dwCtrlType != CTRL_C_EVENT)
        nSignal = SIGTERM; // the console closes, the user logs off, the system shuts down
    Queue(nSignal);
    // The system ends the process when this returns from a closing console: hold it until the
    // session has closed the port (the system waits about 5 s at most).
    if (nSignal == SIGTERM && g_hEnded)
        WaitForSingleObject(g_hEnded, 4500);
    return TRUE;
}

// The runner's cancel of a session comes as its Ctrl-C: once.
VOID CALLBACK OnSessionCancel(PVOID, BOOLEAN) {
    Queue(SIGINT);
}

} // namespace

CancelSignals::~CancelSignals() {
    if (m_bInstalled) {
        if (g_hEnded)
            SetEvent(g_hEnded);
        SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
    }
    if (g_hSessionWait) {
        UnregisterWaitEx(g_hSessionWait, INVALID_HANDLE_VALUE);
        g_hSessionWait = nullptr;
    }
}

bool CancelSignals::Install() {
    if (!g_hWake)
        g_hWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_hEnded)
        g_hEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(g_hEnded);
    if (!g_hSessionCancel) {
        g_hSessionCancel = CreateEventA(nullptr, TRUE, FALSE,
                                        SessionCancelEventName(GetCurrentProcessId()).c_str());
    }
    if (g_hSessionCancel && !g_hSessionWait) {
        RegisterWaitForSingleObject(&g_hSessionWait, g_hSessionCancel, OnSessionCancel, nullptr,
                                    INFINITE, WT_EXECUTEONLYONCE);
    }
    m_bInstalled = SetConsoleCtrlHandler(OnConsoleCtrl, TRUE) != FALSE;
    return m_bInstalled;
}

bool CancelSignals::Wait(DWORD dwMilliseconds) {
    if (g_hWake && g_nPending.load() == 0)
        WaitForSingleObject(g_hWake, dwMilliseconds);
    return g_nPending.load() > 0;
}

int CancelSignals::Fd() const {
    return g_hWake ? static_cast<int>(reinterpret_cast<std::intptr_t>(g_hWake)) : -1;
}

int CancelSignals::Take() {
    int n = g_nPending.load();
    while (n > 0 && !g_nPending.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= 1 && g_hWake) {
        // Nothing more pending: the event is cleared, unless a signal came meanwhile.
        ResetEvent(g_hWake);
        if (g_nPending.load() > 0)
            SetEvent(g_hWake);
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
