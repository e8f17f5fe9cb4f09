#include "fleet/ReadyFlags.h"

#include "fleet/WaitItem.h"
#include "platform/Win32.h"

#include <algorithm>

namespace fleet {

namespace {
std::string Failed(const char* pszWhat) {
    return std::string(pszWhat) + ": error " + std::to_string(GetLastError());
}
} // namespace

ReadyFlag::~ReadyFlag() {
    if (m_fd != -1)
        CloseHandle(HandleOfWait(m_fd));
}

bool ReadyFlag::Create(std::string& strError) {
    const HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        strError = Failed("CreateEvent");
    m_fd = WaitHandleOf(h);
    return h != nullptr;
}

void ReadyFlag::Raise() {
    SetEvent(HandleOfWait(m_fd));
}

void ReadyFlag::Lower() {
    ResetEvent(HandleOfWait(m_fd));
}

ReadyTimer::~ReadyTimer() {
    if (m_fd != -1)
        CloseHandle(HandleOfWait(m_fd));
}

bool ReadyTimer::Create(std::string& strError) {
    // Manual-reset: it stays signalled for every wait until it is set again.
    const HANDLE h = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    if (!h)
        strError = Failed("CreateWaitableTimer");
    m_fd = WaitHandleOf(h);
    return h != nullptr;
}

void ReadyTimer::Set(std::chrono::steady_clock::duration after) {
    // Relative times are negative, in 100 ns units.
    const auto ticks = std::max<long long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(after).count() / 100, 1);
    LARGE_INTEGER due;
    due.QuadPart = -ticks;
    SetWaitableTimer(HandleOfWait(m_fd), &due, 0, nullptr, nullptr, FALSE);
}

void ReadyTimer::Clear() {
    // Setting a timer makes it non-signalled; cancelling it then keeps it so.
    LARGE_INTEGER due;
    due.QuadPart = -(1LL << 62);
    SetWaitableTimer(HandleOfWait(m_fd), &due, 0, nullptr, nullptr, FALSE);
    CancelWaitableTimer(HandleOfWait(m_fd));
}

} // namespace fleet
