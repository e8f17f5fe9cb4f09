#pragma once
// Threads started from an entry thunk, with an exit code and a priority.

#include "platform/ThreadThunk.h"
#include "platform/Types.h"

#include <atomic>
#include <memory>
#include <thread>

enum ThreadPriority : int {
    THREAD_PRIORITY_LOWEST = -2,
    THREAD_PRIORITY_BELOW_NORMAL = -1,
    THREAD_PRIORITY_NORMAL = 0,
    THREAD_PRIORITY_ABOVE_NORMAL = 1,
    THREAD_PRIORITY_HIGHEST = 2,
};

// Applies a priority to the calling thread as a nice value. A refusal (an ordinary user may
// not raise priority) is ignored without a message. Returns whether it took effect.
bool SetCurrentThreadPriority(int nPriority);

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

    bool IsStarted() const { return m_thread.joinable(); }
    // STILL_ACTIVE while the routine runs, then its result.
    DWORD GetExitCode() const;
    // Waits until the thread has ended. Must not be called from the thread itself.
    void Join();
    // Lets the thread run on unowned; its exit code stays readable through a shared state.
    void Detach();
    // Id of the system thread (0 before the start).
    long GetThreadId() const;

private:
    struct State {
        std::atomic<DWORD> dwExitCode{STILL_ACTIVE};
        std::atomic<long> nTid{0};
    };
    std::shared_ptr<State> m_pState;
    std::thread m_thread;
};
