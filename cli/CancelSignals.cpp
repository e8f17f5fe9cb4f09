#include "cli/CancelSignals.h"

#include "platform/Event.h"
#include "platform/Sleep.h"

#include <cerrno>
#include <initializer_list>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace cli {

namespace {
bool IsIgnored(int nSignal) {
    struct sigaction sa {};
    return sigaction(nSignal, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN;
}
} // namespace

CancelSignals::~CancelSignals() {
    if (m_fd >= 0)
        close(m_fd);
    if (m_bMasked) {
        // Drop what is still pending so that restoring the mask does not deliver it.
        timespec zero{};
        while (sigtimedwait(&m_set, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
    }
}

bool CancelSignals::Install() {
    // A reader that goes away (morfw upload | head) must not end the process before the guard
    // has closed the port: writes to it simply fail from then on.
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&m_set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A blocked signal is queued even when its action is "ignore": keep the ignored ones
        // out, or a job started with Ctrl-C ignored would cancel all the same.
        if (!IsIgnored(sig))
            sigaddset(&m_set, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &m_set, &m_oldMask) != 0)
        return false;
    m_bMasked = true;
    m_fd = signalfd(-1, &m_set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0) {
        pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
        m_bMasked = false;
        return false;
    }
    return true;
}

bool CancelSignals::Wait(DWORD dwMilliseconds) {
    if (m_fd < 0) {
        Sleep(dwMilliseconds);
        return false;
    }
    pollfd pfd{m_fd, POLLIN, 0};
    return PollFor(&pfd, 1, dwMilliseconds) > 0;
}

int CancelSignals::Fd() const {
    return m_fd;
}

int CancelSignals::Take() {
    if (m_fd < 0)
        return 0;
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t n = read(m_fd, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info))
            return static_cast<int>(info.ssi_signo);
        if (n < 0 && errno == EINTR)
            continue;
        return 0;
    }
}

const char* SignalName(int nSignal) {
    switch (nSignal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

} // namespace cli
