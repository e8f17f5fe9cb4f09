#include "sim/SimWait.h"

#include "platform/Win32.h"


DWORD SimWaitUntil(const CEvent& a, const CEvent* b,
                   std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    const HANDLE handles[2] = {a.Handle(), b ? b->Handle() : nullptr};
    const DWORD nHandles = b ? 2 : 1;
    for (;;) {
        DWORD dwWait = INFINITE;
        if (deadline != Clock::time_point::max()) {
            const auto left = deadline - Clock::now();
            // Rounded up: a wait that ends early only comes round once more.
            dwWait = left.count() <= 0
                         ? 0
                         : static_cast<DWORD>(
                               std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        const DWORD r = WaitForMultipleObjects(nHandles, handles, FALSE, dwWait);
        if (r == WAIT_OBJECT_0 || (b && r == WAIT_OBJECT_0 + 1))
            return r;
        if (r != WAIT_TIMEOUT)
            return WAIT_FAILED;
        if (dwWait == 0 || Clock::now() >= deadline)
            return WAIT_TIMEOUT;
    }
}

void SimUsePreciseTimers() {
    // The timer's 1 ms period is raised by each open line for its own lifetime (CSimLine).
}
