#include "fleet/ModemWatch.h"

#include "platform/WakeSignal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
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

bool ParseModemLine(const std::string& strName, ModemLine& line) {
    std::string s = strName;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    if (s == "dcd")
        line = ModemLine::Dcd;
    else if (s == "dsr")
        line = ModemLine::Dsr;
    else if (s == "cts")
        line = ModemLine::Cts;
    else
        return false;
    return true;
}

std::unique_ptr<IModemInput> MakeTtyModemInput(const std::string& strDevice, ModemLine line) {
    const int bit = line == ModemLine::Dcd   ? TIOCM_CD
                    : line == ModemLine::Dsr ? TIOCM_DSR
                                             : TIOCM_CTS;
    return std::make_unique<TtyModemInput>(strDevice, bit);
}

ModemWatch::ModemWatch(std::vector<std::string> ports, Factory factory)
    : m_factory(std::move(factory)) {
    for (auto& port : ports) {
        m_ports.push_back(std::make_unique<Port>());
        m_ports.back()->strPort = std::move(port);
    }
}

ModemWatch::~ModemWatch() {
    Stop();
    if (m_eventFd >= 0)
        close(m_eventFd);
}

bool ModemWatch::Start(std::string& strError) {
    m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0) {
        strError = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    for (auto& p : m_ports) {
        p->input = m_factory(p->strPort);
        Port& port = *p;
        p->thread = std::thread([this, &port] { Run(port); });
    }
    // Opening a tty and reading its lines does not block: the verdicts come at once.
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] {
        return std::all_of(m_ports.begin(), m_ports.end(),
                           [](const auto& p) { return p->nVerdict != 0; });
    });
    const bool bAny =
        std::any_of(m_ports.begin(), m_ports.end(), [](const auto& p) { return p->nVerdict > 0; });
    if (!bAny)
        strError = "no port can be watched";
    return bAny;
}

void ModemWatch::Verdict(Port& p, bool bWatched) {
    {
        std::lock_guard lock(m_mutex);
        if (p.nVerdict != 0)
            return;
        p.nVerdict = bWatched ? 1 : -1;
    }
    m_cv.notify_all();
}

IModemInput::Wait ModemWatch::Pause() {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(kModemPollMs), [&] { return m_bStop; });
    return m_bStop ? IModemInput::Wait::Interrupted : IModemInput::Wait::Changed;
}

void ModemWatch::Report(ModemChange change) {
    {
        std::lock_guard lock(m_mutex);
        m_changes.push_back(std::move(change));
    }
    const std::uint64_t one = 1;
    const ssize_t n = write(m_eventFd, &one, sizeof one);
    (void)n; // a full counter still reads as readable
}

void ModemWatch::Read(std::vector<ModemChange>& changes) {
    std::uint64_t count = 0;
    const ssize_t n = read(m_eventFd, &count, sizeof count);
    (void)n;
    std::lock_guard lock(m_mutex);
    changes.insert(changes.end(), m_changes.begin(), m_changes.end());
    m_changes.clear();
}

void ModemWatch::Release(const std::string& strPort) {
    std::lock_guard lock(m_mutex);
    for (auto& p : m_ports) {
        if (p->strPort == strPort)
            p->bReleased = true;
    }
    m_cv.notify_all();
}

bool ModemWatch::WaitForRelease(Port& p) {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return m_bStop || p.bReleased; });
    p.bReleased = false;
    return !m_bStop;
}

void ModemWatch::Run(Port& p) {
    IModemInput& in = *p.input;
    bool bUp = false;      // as last reported
    bool bPolling = false; // the driver cannot wait: the line is read every kModemPollMs
    std::string strError;
    const auto fail = [&] {
        in.Close();
        Report({p.strPort, false, strError, {}});
        Verdict(p, false);
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_bStop; });
    };
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_bStop)
                break;
        }
        if (!in.Open(strError)) {
            fail();
            break;
        }
        bool bLent = false;
        for (;;) {
            const int level = in.Level(strError);
            if (level < 0) {
                fail();
                break;
            }
            Verdict(p, true);
            if (level == 1 && !bUp) {
                // The session takes the port alone: closed before anyone hears of the unit.
                in.Close();
                bUp = true;
                Report({p.strPort, true, {}, {}});
                bLent = true;
                break;
            }
            if (level == 0 && bUp) {
                bUp = false;
                Report({p.strPort, false, {}, {}});
            }
            IModemInput::Wait w = bPolling ? Pause() : in.WaitChange(strError);
            if (w == IModemInput::Wait::Unsupported) {
                bPolling = true;
                Report({p.strPort,
                        false,
                        {},
                        strError + "; reading them every " + std::to_string(kModemPollMs) +
                            " ms instead"});
                w = Pause();
            }
            if (w == IModemInput::Wait::Failed) {
                fail();
                break;
            }
            if (w == IModemInput::Wait::Interrupted) {
                // A stray signal just waits again; a stop ends the watch.
                std::lock_guard lock(m_mutex);
                if (m_bStop)
                    break;
            }
        }
        if (!bLent) {
            in.Close();
            break;
        }
        if (!WaitForRelease(p))
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        p.bEnded = true;
    }
    m_cv.notify_all();
}

void ModemWatch::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    for (auto& p : m_ports) {
        if (!p->thread.joinable())
            continue;
        // A wake that lands just before the thread enters its wait is lost: repeat it.
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                if (p->bEnded)
                    break;
            }
            p->input->Interrupt();
            std::unique_lock lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return p->bEnded; });
        }
        p->thread.join();
    }
}

} // namespace fleet
