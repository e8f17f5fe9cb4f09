#include "platform/Mutex.h"

#include <chrono>

CMutex::CMutex() = default;
CMutex::~CMutex() = default;

DWORD CMutex::Lock(DWORD dwMilliseconds) {
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(m_state);
    if (m_nDepth > 0 && m_owner == me) {
        ++m_nDepth;
        return WAIT_OBJECT_0;
    }
    const auto free = [this] { return m_nDepth == 0; };
    if (dwMilliseconds == INFINITE)
        m_released.wait(lock, free);
    else if (!m_released.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), free))
        return WAIT_TIMEOUT;
    m_owner = me;
    m_nDepth = 1;
    return WAIT_OBJECT_0;
}

bool CMutex::Unlock() {
    std::lock_guard lock(m_state);
    if (m_nDepth == 0 || m_owner != std::this_thread::get_id())
        return false;
    if (--m_nDepth == 0) {
        m_owner = {};
        m_released.notify_one();
    }
    return true;
}
