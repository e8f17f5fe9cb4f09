#include "sim/tool/DeviceUnit.h"

#include "sim/SimWait.h"

#include "platform/WakeSignal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

DWORD MaxRate(const SimOptions& opts) {
    return opts.rates.empty() ? 4800 : *std::max_element(opts.rates.begin(), opts.rates.end());
}

} // namespace

// ---- CModemWatch ----

bool CModemWatch::ReadLevels(bool& bDtr, bool& bRts) const {
    int bits = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) != 0)
        return false;
    // Through a null-modem cable the host's DTR drives this side's DSR, its RTS our CTS.
    bDtr = (bits & TIOCM_DSR) != 0;
    bRts = (bits & TIOCM_CTS) != 0;
    return true;
}

bool CModemWatch::Start(const std::string& strDevice, Notify notify, std::string* pstrError) {
    m_fd = open(strDevice.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool bDtr = false;
    bool bRts = false;
    if (m_fd < 0 || !ReadLevels(bDtr, bRts)) {
        if (pstrError)
            *pstrError = strDevice + ": no modem-status lines (" + std::strerror(errno) + ")";
        Stop();
        return false;
    }
    InstallWakeSignal();
    m_notify = std::move(notify);
    m_notify(bDtr, bRts, SimClock::now());
    m_bStop = false;
    m_bEnded = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CModemWatch::Run() {
    bool bDtr = false;
    bool bRts = false;
    ReadLevels(bDtr, bRts);
    while (!m_bStop.load()) {
        // Sleeps in the driver until one of the inputs changes; the stop request interrupts it.
        if (ioctl(m_fd, TIOCMIWAIT, TIOCM_DSR | TIOCM_CTS) != 0 && errno != EINTR)
            break;
        bool d = false;
        bool r = false;
        if (!ReadLevels(d, r))
            break;
        if (d != bDtr || r != bRts) {
            bDtr = d;
            bRts = r;
            m_notify(d, r, SimClock::now());
        }
    }
    m_bEnded = true;
}

void CModemWatch::Stop() {
    if (m_thread.joinable()) {
        m_bStop = true;
        // A signal that lands just before the thread enters its wait is lost: repeat it.
        while (!m_bEnded.load()) {
            SendWakeSignal(m_thread.native_handle());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_thread.join();
    }
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

// ---- CDeviceUnit ----

CDeviceUnit::CDeviceUnit(Settings settings, Print print)
    : m_set(std::move(settings)), m_print(std::move(print)),
      m_noiseOut(m_set.opts.dNoise, m_set.opts.nSeed, 2),
      m_noiseIn(m_set.opts.dNoise, m_set.opts.nSeed, 1) {}

CDeviceUnit::~CDeviceUnit() {
    m_modem.Stop();
    m_pLine.reset();
}

HRESULT CDeviceUnit::Open(std::string* pstrError) {
    SimKnownImages images;
    if (!LoadSimKnownImages(m_set.opts.strImageDir, images, pstrError))
        return E_FAIL;
    // The modem-status descriptor is opened first: the line takes the device exclusively.
    if (!m_set.bAssumeLines) {
        std::string why;
        const bool bOk = m_modem.Start(
            m_set.strDevice,
            [this](bool bDtr, bool bRts, SimTime t) {
                {
                    std::lock_guard lock(m_modemMutex);
                    m_modemEvents.emplace_back(bDtr, bRts, t);
                }
                m_wake.Set();
            },
            &why);
        if (!bOk) {
            m_print(why + "; taking \"Q!X\" at 300 baud as the unlock");
            m_set.bAssumeLines = true;
        }
    }
    std::string strReason;
    if (OpenSerialLine(m_set.strDevice, &m_pLine, &strReason) != S_OK) {
        if (pstrError)
            *pstrError = m_set.strDevice + ": cannot open the device: " + strReason;
        return E_FAIL;
    }
    if (m_pLine->PrepareRaw() != S_OK) {
        if (pstrError)
            *pstrError = m_set.strDevice + ": the device refused raw transfer";
        return E_FAIL;
    }
    m_pUnit = std::make_unique<CSimUnit>(m_set.opts, std::move(images),
                                         static_cast<ISimUnitOutput&>(*this), m_print);
    if (!SetRate(kSimUnlockBaud) || m_pLine->SetQueueSizes(4096, 4096) != S_OK ||
        m_pLine->PrepareEvents() != S_OK) {
        if (pstrError)
            *pstrError = m_set.strDevice + ": cannot set up the line";
        return E_FAIL;
    }
    return S_OK;
}

bool CDeviceUnit::SetRate(DWORD dwBaud) {
    if (dwBaud == m_dwRate)
        return true;
    DCB dcb;
    dcb.BaudRate = dwBaud;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (m_pLine->Configure(dcb) != S_OK) {
        m_print("cannot set " + std::to_string(dwBaud) + " baud");
        return false;
    }
    m_dwRate = dwBaud;
    return true;
}

void CDeviceUnit::EmitByte(BYTE value, DWORD dwBaud, SimTime start, SimTime end) {
    m_out.push_back({false, value, dwBaud, start, end});
}

void CDeviceUnit::EmitBreak(SimTime start, SimTime end) {
    m_out.push_back({true, 0, 0, start, end});
}

SimTime CDeviceUnit::CancelFrom(SimTime t) {
    while (!m_out.empty() && m_out.back().start >= t)
        m_out.pop_back();
    return m_out.empty() ? SimTime{} : m_out.back().end;
}

void CDeviceUnit::SendDue(const CEvent& stop) {
    while (!m_out.empty() && m_out.front().start <= SimClock::now()) {
        if (m_out.front().bBreak) {
            const SimDuration len = m_out.front().end - m_out.front().start;
            m_out.pop_front();
            m_pLine->WaitTxDrained(stop, 200);
            m_pLine->SetBreak(true);
            SimWaitUntil(stop, nullptr, SimClock::now() + len);
            m_pLine->SetBreak(false);
            continue;
        }
        // Every character that is due goes out in one write; the UART paces them.
        const DWORD baud = m_out.front().dwBaud;
        char buf[512];
        int n = 0;
        while (n < static_cast<int>(sizeof buf) && !m_out.empty() && !m_out.front().bBreak &&
               m_out.front().dwBaud == baud && m_out.front().start <= SimClock::now()) {
            buf[n++] =
                static_cast<char>(m_out.front().value ^ ((m_noiseOut.NextFrame() >> 1) & 0xFF));
            m_out.pop_front();
        }
        SetRate(baud);
        m_pLine->Write(buf, n, stop, 2000);
    }
}

void CDeviceUnit::DeliverChar(BYTE value, bool bError, SimTime end) {
    const std::uint32_t flips = m_noiseIn.NextFrame();
    value = static_cast<BYTE>(value ^ ((flips >> 1) & 0xFF));
    bError |= (flips & 0x201u) != 0;
    SimRxChar c;
    c.value = value;
    c.bFramingError = bError;
    c.lineValue = value;
    c.dwSenderBaud = m_dwRate;
    c.end = end;
    c.start = end - SimCharTime(m_dwRate ? m_dwRate : kSimUnlockBaud);
    if (m_pUnit->RxBaud() == 0 && !(value == 0xFF && !bError)) {
        // The device listens at the highest bootstrap rate. A lead 0xFF sent slower stays low
        // through the start bit and the first data bits at our rate: the number of low bits
        // received tells the host's rate.
        int nLow = 1;
        for (int bit = 0; bit < 8 && !(value & (1u << bit)); ++bit)
            ++nLow;
        double dBest = 1.01;
        for (DWORD r : m_set.opts.rates) {
            const double ratio = static_cast<double>(m_dwRate) / r;
            const double d = std::abs(ratio - nLow);
            if (ratio > 1.5 && d < dBest) {
                dBest = d;
                c.dwSenderBaud = r;
                c.lineValue = 0xFF;
            }
        }
    }
    m_pUnit->OnChar(c);
}

void CDeviceUnit::FlushAssumedUnlock(SimTime now, bool bAll) {
    // Characters at 300 baud are held back until they show whether they end in "Q!X"; the
    // unlock then gets the modem lines it would have had: raised before "Q", dropped after "X".
    const std::size_t n = m_held.size();
    if (n >= 3 && std::get<0>(m_held[n - 3]) == 'Q' && std::get<0>(m_held[n - 2]) == '!' &&
        std::get<0>(m_held[n - 1]) == 'X') {
        while (m_held.size() > 3) {
            const auto [v, e, t] = m_held.front();
            m_held.pop_front();
            DeliverChar(v, e, t);
        }
        const SimTime tQ = std::get<2>(m_held.front()) - SimCharTime(kSimUnlockBaud);
        const SimTime tX = std::get<2>(m_held.back());
        m_pUnit->OnModemLines(true, true, tQ - SimMilliseconds(1));
        while (!m_held.empty()) {
            const auto [v, e, t] = m_held.front();
            m_held.pop_front();
            DeliverChar(v, e, t);
        }
        m_pUnit->OnModemLines(false, false, tX);
        return;
    }
    while (!m_held.empty() && (bAll || m_held.size() > 2 ||
                               now - std::get<2>(m_held.front()) > SimMilliseconds(300))) {
        const auto [v, e, t] = m_held.front();
        m_held.pop_front();
        DeliverChar(v, e, t);
    }
}

void CDeviceUnit::ReadChars() {
    for (;;) {
        char c;
        RxInfo info;
        const int n = m_pLine->Read(&c, 1, info);
        if (n < 0) {
            m_bUnplugged = true;
            return;
        }
        if (n == 0)
            return;
        const SimTime now = SimClock::now();
        if (info.nBreaks > 0) {
            FlushAssumedUnlock(now, true);
            m_pUnit->OnBreak(now - SimCharTime(m_dwRate), now);
            continue;
        }
        const bool bError = info.nLineErrors > 0;
        if (m_set.bAssumeLines && m_pUnit->RxBaud() == kSimUnlockBaud) {
            m_held.emplace_back(static_cast<BYTE>(c), bError, now);
            FlushAssumedUnlock(now, false);
            continue;
        }
        FlushAssumedUnlock(now, true);
        DeliverChar(static_cast<BYTE>(c), bError, now);
    }
}

int CDeviceUnit::Run(const CEvent& stop) {
    int nReportedRecords = 0;
    for (;;) {
        // Reset before the stop is looked at: a stop that sets both events after the look
        // must still end the wait below.
        m_wake.Reset();
        if (stop.IsSet())
            break;
        {
            std::deque<std::tuple<bool, bool, SimTime>> events;
            {
                std::lock_guard lock(m_modemMutex);
                events.swap(m_modemEvents);
            }
            for (const auto& [d, r, t] : events) {
                if (m_set.bVerbose)
                    m_print(std::string("DTR ") + (d ? "up" : "down") + ", RTS " +
                            (r ? "up" : "down"));
                m_pUnit->OnModemLines(d, r, t);
            }
        }
        if (SimClock::now() >= m_pUnit->Deadline())
            m_pUnit->OnTimer(SimClock::now());
        const DWORD want = m_pUnit->RxBaud();
        if (m_out.empty())
            SetRate(want == 0 ? MaxRate(m_set.opts) : want);
        SendDue(stop);

        const SimReport& rep = m_pUnit->Report();
        if (m_set.bVerbose && rep.stats.nRecordFrames != nReportedRecords) {
            nReportedRecords = rep.stats.nRecordFrames;
            if (nReportedRecords % 100 == 0)
                m_print(std::to_string(nReportedRecords) + " records received");
        }
        if (m_set.opts.nUnplug > 0 && rep.stats.nRecordFrames >= m_set.opts.nUnplug &&
            m_out.empty()) {
            m_print("unplug: the unit leaves the line after " +
                    std::to_string(rep.stats.nRecordFrames) + " records");
            m_pLine.reset();
            stop.Wait(INFINITE);
            return 0;
        }

        SimTime wake = m_pUnit->Deadline();
        if (!m_out.empty())
            wake = std::min(wake, m_out.front().start);
        if (!m_held.empty())
            wake = std::min(wake, std::get<2>(m_held.front()) + SimMilliseconds(300));
        DWORD ms = INFINITE;
        if (wake != kSimNever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - SimClock::now());
            ms = static_cast<DWORD>(std::max<long long>(0, left.count()));
        }
        switch (m_pLine->WaitRx(m_wake, ms)) {
        case LineWait::Ready:
            ReadChars();
            break;
        case LineWait::Gone:
            m_bUnplugged = true;
            break;
        default:
            FlushAssumedUnlock(SimClock::now(), false);
            break;
        }
        if (m_bUnplugged) {
            m_print(m_set.strDevice + ": the line has gone away");
            return 1;
        }
    }
    return 0;
}
