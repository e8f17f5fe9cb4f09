#pragma once
// A mutex in the role of a Win32 mutex handle: recursive for its owning thread, with timed waits.

#include "platform/Types.h"

#include <mutex>

class CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    // WAIT_OBJECT_0 when acquired, WAIT_TIMEOUT otherwise.
    DWORD Lock(DWORD dwMilliseconds);
    // True on success (the calling thread held it).
    bool Unlock();

private:
    std::recursive_timed_mutex m_mutex;
};
