#include "platform/Thread.h"

#include "platform/Status.h"
#include "platform/Trace.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

bool SetCurrentThreadPriority(int nPriority) {
    // Linux gives each thread its own nice value; one step of priority is five steps of nice.
    const int nNice = -5 * nPriority;
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    return setpriority(PRIO_PROCESS, tid, nNice) == 0;
}

CThread::~CThread() {
    if (m_thread.joinable())
        m_thread.join();
}

bool CThread::Start(CThreadThunk* pThunk, void* pParam, int nPriority) {
    if (m_thread.joinable())
        return false;
    auto pState = std::make_shared<State>();
    try {
        m_thread = std::thread([pState, pThunk, pParam, nPriority] {
            pState->nTid.store(static_cast<long>(syscall(SYS_gettid)));
            if (nPriority != THREAD_PRIORITY_NORMAL)
                SetCurrentThreadPriority(nPriority);
            DWORD dwExit;
            try {
                dwExit = CThreadThunk::Entry(pThunk, pParam);
            } catch (...) {
                // No error may leave a thread's entry; the unwinding has run the scope guards.
                TraceDebug("CThread: the thread ended with an unhandled error\n");
                dwExit = static_cast<DWORD>(E_UNEXPECTED);
            }
            pState->dwExitCode.store(dwExit);
        });
    } catch (...) {
        return false; // std::system_error: the system refused a new thread
    }
    m_pState = std::move(pState);
    return true;
}

bool CThread::IsStarted() const { return m_thread.joinable(); }

DWORD CThread::GetExitCode() const {
    return m_pState ? m_pState->dwExitCode.load() : STILL_ACTIVE;
}

void CThread::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void CThread::Detach() {
    if (m_thread.joinable())
        m_thread.detach();
}

long CThread::GetThreadId() const { return m_pState ? m_pState->nTid.load() : 0; }
