#pragma once
// Threads started from an entry thunk, with an exit code and a priority.

#include "platform/ThreadThunk.h"
#include "platform/Types.h"

#include <atomic>
#include <memory>
#if !defined(_WIN32)
#include <thread>
#endif

#if !defined(THREAD_PRIORITY_HIGHEST)
// The Win32 priority steps (the same values as <windows.h>'s).
enum ThreadPriority : int {
    THREAD_PRIORITY_LOWEST = -2,
    THREAD_PRIORITY_BELOW_NORMAL = -1,
    THREAD_PRIORITY_NORMAL = 0,
    THREAD_PRIORITY_ABOVE_NORMAL = 1,
    THREAD_PRIORITY_HIGHEST = 2,
};
#endif

// Applies a priority to the calling thread: SetThreadPriority on Windows, a nice value on
// Linux. A refusal (an ordinary user may not raise priority) is ignored without a message.
// Returns whether it took effect.
bool SetCurrentThreadPriority(int nPriority);

// Asks that the calling thread, which sleeps most of the time and runs briefly when woken, be
// run soon after its wake-up rather than after the running thread's time slice. On Linux 6.12
// and later that is a short time slice (0.1 ms) for the fair scheduler, which lets a woken
// thread preempt; its nice value is kept, so an ordinary user may ask it too. Windows has no
// such request (the thread's priority does it). False when the system refused it.
bool RequestShortTimeSlices();

// Names the calling thread, as debuggers, `top -H` and /proc/PID/task/TID/comm show it (Linux
// keeps 15 characters). Windows 10 and later keep it too (SetThreadDescription); older Windows
// ignores it.
void NameCurrentThread(const char* pszName);

// One thread. The thread runs CThreadThunk::Entry(pThunk, pParam) and keeps its result as the
// exit code. The thunk is not owned: its creator frees it after the thread has ended.
class CThread {
public:
    CThread() = default;
    ~CThread(); // joins a thread that was neither joined nor detached
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // False when the system could not start the thread.
    bool Start(CThreadThunk* pThunk, void* pParam, int nPriority = THREAD_PRIORITY_NORMAL);

    bool IsStarted() const;
    // STILL_ACTIVE while the routine runs, then its result.
    DWORD GetExitCode() const;
    // Waits until the thread has ended. Must not be called from the thread itself.
    void Join();
    // Lets the thread run on unowned; its exit code stays readable through a shared state.
    void Detach();
    // Id of the system thread (0 before the start).
    long GetThreadId() const;

private:
#if defined(_WIN32)
    // CreateThread's handle, kept until destruction: GetExitCodeThread reads it also after a
    // Detach. Thread_win32.cpp.
    void* m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    bool m_bJoinable = false;
#else
    struct State {
        std::atomic<DWORD> dwExitCode{STILL_ACTIVE};
        std::atomic<long> nTid{0};
    };
    std::shared_ptr<State> m_pState;
    std::thread m_thread;
#endif
};
