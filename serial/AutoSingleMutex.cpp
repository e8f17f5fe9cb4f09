#include "serial/AutoSingleMutex.h"

CAutoSingleMutex::CAutoSingleMutex(CMutex* hMutex, DWORD dwTimeout, BOOL bLock)
    : m_hMutex(hMutex), m_dwTimeout(dwTimeout) {
    if (bLock)
        Lock();
}

CAutoSingleMutex::~CAutoSingleMutex() {
    while (m_nLockCount > 0) {
        m_hMutex->Unlock();
        --m_nLockCount;
    }
}

DWORD CAutoSingleMutex::Lock() {
    m_dwResult = m_hMutex->Lock(m_dwTimeout);
    if (m_dwResult == WAIT_OBJECT_0 || m_dwResult == WAIT_ABANDONED)
        ++m_nLockCount;
    return m_dwResult;
}

DWORD CAutoSingleMutex::Unlock() {
    m_dwResult = m_hMutex->Unlock() ? 1 : 0;
    --m_nLockCount;
    return m_dwResult;
}
