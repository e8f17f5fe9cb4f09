#include "platform/Event.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CEvent::CEvent(bool bInitiallySet) : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (bInitiallySet)
        Set();
}

bool CEvent::IsValid() const { return m_fd >= 0; }

CEvent::~CEvent() {
    if (m_fd >= 0)
        close(m_fd);
}

void CEvent::Set() {
    // The counter only has to be non-zero; repeated sets just add to it.
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = write(m_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void CEvent::Reset() {
    std::uint64_t value;
    ssize_t n;
    do {
        n = read(m_fd, &value, sizeof value); // zeroes the counter; EAGAIN when already clear
    } while (n < 0 && errno == EINTR);
}

bool CEvent::IsSet() const { return Wait(0) == WAIT_OBJECT_0; }

DWORD CEvent::Wait(DWORD dwMilliseconds) const {
    pollfd p{m_fd, POLLIN, 0};
    const int r = PollFor(&p, 1, dwMilliseconds);
    if (r < 0)
        return WAIT_FAILED;
    return r == 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

int PollFor(pollfd* fds, int nfds, DWORD dwMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const bool bInfinite = dwMilliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(bInfinite ? 0 : dwMilliseconds);
    int timeout = bInfinite ? -1 : static_cast<int>(std::min<DWORD>(dwMilliseconds, 0x7FFFFFFF));
    for (;;) {
        const int r = poll(fds, static_cast<nfds_t>(nfds), timeout);
        if (r >= 0 || errno != EINTR)
            return r;
        if (!bInfinite) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

DWORD WaitForEither(const CEvent& a, const CEvent& b, DWORD dwMilliseconds) {
    pollfd p[2] = {{a.Fd(), POLLIN, 0}, {b.Fd(), POLLIN, 0}};
    const int r = PollFor(p, 2, dwMilliseconds);
    if (r < 0)
        return WAIT_FAILED;
    if (r == 0)
        return WAIT_TIMEOUT;
    if (p[0].revents & POLLIN)
        return WAIT_OBJECT_0;
    if (p[1].revents & POLLIN)
        return WAIT_OBJECT_0 + 1;
    return WAIT_FAILED;
}

DWORD WaitEventOrFd(const CEvent& ev, int fd, short events, DWORD dwMilliseconds,
                    short* pRevents) {
    pollfd p[2] = {{ev.Fd(), POLLIN, 0}, {fd, events, 0}};
    const int r = PollFor(p, 2, dwMilliseconds);
    if (r < 0)
        return WAIT_FAILED;
    if (r == 0)
        return WAIT_TIMEOUT;
    if (p[0].revents & POLLIN)
        return WAIT_OBJECT_0;
    if (pRevents)
        *pRevents = p[1].revents;
    return p[1].revents ? WAIT_OBJECT_0 + 1 : WAIT_FAILED;
}
