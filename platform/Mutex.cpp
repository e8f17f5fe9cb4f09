#include "platform/Mutex.h"

#include <chrono>

DWORD CMutex::Lock(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        m_mutex.lock();
        return WAIT_OBJECT_0;
    }
    return m_mutex.try_lock_for(std::chrono::milliseconds(dwMilliseconds)) ? WAIT_OBJECT_0
                                                                            : WAIT_TIMEOUT;
}

bool CMutex::Unlock() {
    m_mutex.unlock();
    return true;
}
