#pragma once
// A scoped holder of one mutex that remembers how often it holds it, and releases that many
// times when it leaves its scope (also when an error leaves it).

#include "platform/Mutex.h"
#include "platform/Types.h"

class CAutoSingleMutex {
public:
    CAutoSingleMutex(CMutex* hMutex, DWORD dwTimeout, BOOL bLock);
    virtual ~CAutoSingleMutex();
    CAutoSingleMutex(const CAutoSingleMutex&) = delete;
    CAutoSingleMutex& operator=(const CAutoSingleMutex&) = delete;

    // The wait result; the count rises when the mutex was acquired.
    DWORD Lock();
    // The release result (1 on success). Called only while the guard holds the mutex.
    DWORD Unlock();

    int GetLockCount() const { return m_nLockCount; }

private:
    DWORD m_dwResult = 0;
    CMutex* m_hMutex;
    int m_nLockCount = 0;
    DWORD m_dwTimeout;
};
