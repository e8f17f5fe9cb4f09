// The recursive, timed mutex as a Win32 mutex.
#include "platform/Mutex.h"

#include "platform/Win32.h"

CMutex::CMutex() : m_hMutex(CreateMutexA(nullptr, FALSE, nullptr)) {}

CMutex::~CMutex() {
    if (m_hMutex)
        CloseHandle(m_hMutex);
}

DWORD CMutex::Lock(DWORD dwMilliseconds) {
    const DWORD r = WaitForSingleObject(m_hMutex, dwMilliseconds);
    // An abandoned mutex is owned by the caller all the same.
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool CMutex::Unlock() { return ReleaseMutex(m_hMutex) != FALSE; }
