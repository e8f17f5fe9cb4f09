// The recursive, timed mutex from a slim reader/writer lock and a condition variable: neither
// calls into the system (nor, under Wine, its server) unless a thread has to wait.
#include "platform/Mutex.h"

#include "platform/Win32.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

namespace {

PSRWLOCK SrwLock(void*& p) {
    return reinterpret_cast<PSRWLOCK>(&p);
}
PCONDITION_VARIABLE CondVar(void*& p) {
    return reinterpret_cast<PCONDITION_VARIABLE>(&p);
}

} // namespace

CMutex::CMutex() = default; // SRWLOCK_INIT and CONDITION_VARIABLE_INIT are all zero
CMutex::~CMutex() = default;

DWORD CMutex::Lock(DWORD dwMilliseconds) {
    const DWORD me = GetCurrentThreadId();
    AcquireSRWLockExclusive(SrwLock(m_lock));
    if (m_nDepth > 0 && m_owner == me) {
        ++m_nDepth;
        ReleaseSRWLockExclusive(SrwLock(m_lock));
        return WAIT_OBJECT_0;
    }
    const ULONGLONG start = GetTickCount64();
    while (m_nDepth > 0) {
        DWORD dwLeft = INFINITE;
        if (dwMilliseconds != INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= dwMilliseconds) {
                ReleaseSRWLockExclusive(SrwLock(m_lock));
                return WAIT_TIMEOUT;
            }
            dwLeft = static_cast<DWORD>(dwMilliseconds - spent);
        }
        SleepConditionVariableSRW(CondVar(m_released), SrwLock(m_lock), dwLeft, 0);
    }
    m_owner = me;
    m_nDepth = 1;
    ReleaseSRWLockExclusive(SrwLock(m_lock));
    return WAIT_OBJECT_0;
}

bool CMutex::Unlock() {
    AcquireSRWLockExclusive(SrwLock(m_lock));
    const bool bOwner = m_nDepth > 0 && m_owner == GetCurrentThreadId();
    const bool bReleased = bOwner && --m_nDepth == 0;
    if (bReleased)
        m_owner = 0;
    ReleaseSRWLockExclusive(SrwLock(m_lock));
    if (bReleased)
        WakeConditionVariable(CondVar(m_released));
    return bOwner;
}
