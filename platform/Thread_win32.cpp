// Threads as Win32 threads: CreateThread, SetThreadPriority, GetExitCodeThread.
#include "platform/Thread.h"

#include "platform/Status.h"
#include "platform/Trace.h"
#include "platform/Win32.h"

#include <new>
#include <string>

namespace {

struct START {
    CThreadThunk* pThunk;
    void* pParam;
};

DWORD WINAPI ThreadEntry(LPVOID pv) {
    const START start = *static_cast<START*>(pv);
    delete static_cast<START*>(pv);
    try {
        return CThreadThunk::Entry(start.pThunk, start.pParam);
    } catch (...) {
        // No error may leave a thread's entry; the unwinding has run the scope guards.
        TraceDebug("CThread: the thread ended with an unhandled error\n");
        return static_cast<DWORD>(E_UNEXPECTED);
    }
}

} // namespace

bool SetCurrentThreadPriority(int nPriority) {
    return SetThreadPriority(GetCurrentThread(), nPriority) != FALSE;
}

bool RequestShortTimeSlices() {
    return false;
}

void NameCurrentThread(const char* pszName) {
    // Looked up, not linked: Windows before 10 has no SetThreadDescription.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto pfn = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (!pfn)
        return;
    std::wstring name;
    for (const char* p = pszName; *p; ++p)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    pfn(GetCurrentThread(), name.c_str());
}

CThread::~CThread() {
    Join();
    if (m_hThread)
        CloseHandle(m_hThread);
}

bool CThread::Start(CThreadThunk* pThunk, void* pParam, int nPriority) {
    if (m_bJoinable)
        return false;
    auto* pStart = new (std::nothrow) START{pThunk, pParam};
    if (!pStart)
        return false;
    // Suspended until its priority is set, so that it never runs a moment at the wrong one.
    DWORD dwId = 0;
    HANDLE h = CreateThread(nullptr, 0, ThreadEntry, pStart, CREATE_SUSPENDED, &dwId);
    if (!h) {
        delete pStart;
        return false;
    }
    if (nPriority != THREAD_PRIORITY_NORMAL)
        SetThreadPriority(h, nPriority);
    if (m_hThread)
        CloseHandle(m_hThread);
    m_hThread = h;
    m_dwThreadId = dwId;
    m_bJoinable = true;
    ResumeThread(h);
    return true;
}

bool CThread::IsStarted() const { return m_bJoinable; }

DWORD CThread::GetExitCode() const {
    DWORD dwCode = STILL_ACTIVE;
    if (!m_hThread || !GetExitCodeThread(m_hThread, &dwCode))
        return STILL_ACTIVE;
    return dwCode;
}

void CThread::Join() {
    if (m_bJoinable) {
        WaitForSingleObject(m_hThread, INFINITE);
        m_bJoinable = false;
    }
}

void CThread::Detach() { m_bJoinable = false; }

long CThread::GetThreadId() const { return static_cast<long>(m_dwThreadId); }
