// A tty's modem-status lines: TIOCMGET reads them, TIOCMIWAIT sleeps until one changes, and the
// wake signal (platform/WakeSignal.h) cuts that sleep short.
#include "fleet/ModemWatch.h"

#include "platform/WakeSignal.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fleet {

namespace {

class TtyModemInput final : public IModemInput {
public:
    TtyModemInput(std::string strDevice, int nBit)
        : m_strDevice(std::move(strDevice)), m_nBit(nBit) {}
    ~TtyModemInput() override { Close(); }

    bool Open(std::string& strError) override {
        InstallWakeSignal();
        m_fd = open(m_strDevice.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            strError = m_strDevice + ": cannot open: " + std::strerror(errno);
            return false;
        }
        return true;
    }
    void Close() override {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    int Level(std::string& strError) override {
        int bits = 0;
        if (ioctl(m_fd, TIOCMGET, &bits) != 0) {
            strError = m_strDevice + ": no modem-status lines (" + std::strerror(errno) + ")";
            return -1;
        }
        return (bits & m_nBit) != 0 ? 1 : 0;
    }
    Wait WaitChange(std::string& strError) override {
        m_waiter.store(pthread_self());
        m_bWaiting.store(true);
        const int r = ioctl(m_fd, TIOCMIWAIT, m_nBit);
        const int e = errno;
        m_bWaiting.store(false);
        if (r == 0)
            return Wait::Changed;
        if (e == EINTR)
            return Wait::Interrupted;
        strError = m_strDevice + ": cannot wait for the modem lines (" + std::strerror(e) + ")";
        // The driver has no such wait (ENOTTY), as opposed to a line that went away (EIO).
        const bool bNoWait = e == ENOTTY || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP;
        return bNoWait ? Wait::Unsupported : Wait::Failed;
    }
    void Interrupt() override {
        if (m_bWaiting.load())
            SendWakeSignal(m_waiter.load());
    }

private:
    std::string m_strDevice;
    int m_nBit;
    int m_fd = -1;
    std::atomic<pthread_t> m_waiter{};
    std::atomic<bool> m_bWaiting{false};
};

} // namespace

std::unique_ptr<IModemInput> MakeTtyModemInput(const std::string& strDevice, ModemLine line) {
    const int bit = line == ModemLine::Dcd   ? TIOCM_CD
                    : line == ModemLine::Dsr ? TIOCM_DSR
                                             : TIOCM_CTS;
    return std::make_unique<TtyModemInput>(strDevice, bit);
}

} // namespace fleet
