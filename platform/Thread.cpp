#include "platform/Thread.h"

#include "platform/Status.h"
#include "platform/Trace.h"

#include <cerrno>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The kernel's struct sched_attr (glibc has no wrapper for sched_setattr).
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
    std::uint32_t utilMin;
    std::uint32_t utilMax;
};

// The shortest slice the kernel takes; the threads that ask run for microseconds a wake-up.
constexpr std::uint64_t kShortSliceNs = 100'000;

} // namespace

bool SetCurrentThreadPriority(int nPriority) {
    // Linux gives each thread its own nice value; one step of priority is five steps of nice.
    const int nNice = -5 * nPriority;
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    return setpriority(PRIO_PROCESS, tid, nNice) == 0;
}

void NameCurrentThread(const char* pszName) {
    // The kernel refuses a name of more than 15 characters rather than cutting it.
    pthread_setname_np(pthread_self(), std::string(pszName).substr(0, 15).c_str());
}

bool RequestShortTimeSlices() {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nNice = getpriority(PRIO_PROCESS, tid);
    if (nNice == -1 && errno != 0)
        return false;
    // SCHED_OTHER with the thread's own nice value; sched_runtime is the slice it asks for
    // (kernels before 6.12 ignore it for this policy).
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.nice = nNice;
    attr.runtime = kShortSliceNs;
    return syscall(SYS_sched_setattr, 0, &attr, 0U) == 0;
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

bool CThread::IsStarted() const {
    return m_thread.joinable();
}

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

long CThread::GetThreadId() const {
    return m_pState ? m_pState->nTid.load() : 0;
}
