#pragma once
// A mutex in the role of a Win32 mutex handle: recursive for its owning thread, with timed waits.
// It serves the threads of one process only, so it is built from a lock and a condition
// variable of the process: std::mutex on Linux (rather than std::recursive_timed_mutex, whose
// timed lock ThreadSanitizer cannot follow), a slim reader/writer lock on Windows
// (Mutex_win32.cpp). A Win32 mutex object would cost a call into the system at every lock and
// release, and under Wine a round trip to its server.

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
    void* m_lock = nullptr;     // an SRWLOCK
    void* m_released = nullptr; // a CONDITION_VARIABLE
    unsigned long m_owner = 0;  // the owning thread's id
    int m_nDepth = 0;
#else
    std::mutex m_state;
    std::condition_variable m_released;
    std::thread::id m_owner;
    int m_nDepth = 0;
#endif
};
