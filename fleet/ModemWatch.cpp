#include "fleet/ModemWatch.h"

#include <algorithm>
#include <chrono>

namespace fleet {

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

ModemWatch::ModemWatch(std::vector<std::string> ports, Factory factory)
    : m_factory(std::move(factory)) {
    for (auto& port : ports) {
        m_ports.push_back(std::make_unique<Port>());
        m_ports.back()->strPort = std::move(port);
    }
}

ModemWatch::~ModemWatch() {
    Stop();
}

bool ModemWatch::Start(std::string& strError) {
    if (!m_ready.Create(strError))
        return false;
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
    m_ready.Raise();
}

void ModemWatch::Read(std::vector<ModemChange>& changes) {
    m_ready.Lower();
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
