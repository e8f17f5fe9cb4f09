#pragma once
// A mutex in the role of a Win32 mutex handle: recursive for its owning thread, with timed waits.
// On Windows it is one (CreateMutexA, Mutex_win32.cpp). On Linux it is built from std::mutex and
// a condition variable rather than std::recursive_timed_mutex, whose timed lock
// ThreadSanitizer cannot follow.

#include "platform/Types.h"

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

class CMutex {
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    // WAIT_OBJECT_0 when acquired (again, for its owner), WAIT_TIMEOUT otherwise.
    DWORD Lock(DWORD dwMilliseconds);
    // False when the calling thread does not hold it.
    bool Unlock();

private:
#if defined(_WIN32)
    void* m_hMutex;
#else
    std::mutex m_state;
    std::condition_variable m_released;
    std::thread::id m_owner;
    int m_nDepth = 0;
#endif
};
