#include "platform/TimerResolution.h"

#include "platform/SystemSinks.h"

#include <mutex>

namespace {

std::mutex g_mutex;
TimerPeriodObserver g_observer;

void Observe(bool bRaise) {
    TimerPeriodObserver observer;
    {
        std::lock_guard lock(g_mutex);
        observer = g_observer;
    }
    if (observer)
        observer(bRaise);
}

} // namespace

CTimerResolutionScope::CTimerResolutionScope() : m_bRaised(SystemTimerPeriod(true)) {
    if (m_bRaised)
        Observe(true);
}

CTimerResolutionScope::~CTimerResolutionScope() {
    if (!m_bRaised)
        return;
    SystemTimerPeriod(false);
    Observe(false);
}

TimerPeriodObserver SetTimerPeriodObserver(TimerPeriodObserver fn) {
    std::lock_guard lock(g_mutex);
    TimerPeriodObserver old = std::move(g_observer);
    g_observer = std::move(fn);
    return old;
}
