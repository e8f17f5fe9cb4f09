#include "sim/SimLine.h"

#include "image/FileImg.h"
#include "platform/ProgramDir.h"
#include "platform/Trace.h"
#include "sim/SimWait.h"

#include <algorithm>
#include <cmath>

namespace {

// A receiver this far off the sender's rate no longer samples the bits where they are.
constexpr double kRateMismatch = 0.03;
// Once a record count reaches unplug=, the line goes away this long after the unit's answer.
const SimDuration kUnplugAfterAnswer = SimMilliseconds(2);
// The unit thread also wakes for this many queued host characters, so the queue stays bounded.
constexpr std::size_t kMaxQueued = 4096;

// Once per thread that waits for the simulated line's moments.
void UsePreciseTimers() {
    thread_local bool bDone = false;
    if (!bDone) {
        SimUsePreciseTimers();
        bDone = true;
    }
}

bool RateMismatch(DWORD dwSender, DWORD dwReceiver) {
    const double s = dwSender;
    const double r = dwReceiver;
    return r < s * (1 - kRateMismatch) || r > s * (1 + kRateMismatch);
}

std::mutex g_globalsMutex;
std::string g_strDefaultImageDir;
SimReportObserver g_observer;

} // namespace

void SetSimDefaultImageDir(const std::string& strDir) {
    std::lock_guard lock(g_globalsMutex);
    g_strDefaultImageDir = strDir;
}

std::string GetSimDefaultImageDir() {
    {
        std::lock_guard lock(g_globalsMutex);
        if (!g_strDefaultImageDir.empty())
            return g_strDefaultImageDir;
    }
    return GetImageDir(GetProgramDir());
}

void SetSimReportObserver(SimReportObserver observer) {
    std::lock_guard lock(g_globalsMutex);
    g_observer = std::move(observer);
}

HRESULT CSimLine::Open(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrError) {
    SimOptions opts;
    if (!ParseSimOptions(strName, opts, pstrError))
        return E_FAIL;
    std::unique_ptr<CSimLine> pLine;
    const HRESULT hr = Open(opts, &pLine, pstrError);
    if (hr == S_OK)
        *ppLine = std::move(pLine);
    return hr;
}

HRESULT CSimLine::Open(const SimOptions& optsIn, std::unique_ptr<CSimLine>* ppLine,
                       std::string* pstrError) {
    SimOptions opts = optsIn;
    if (opts.strImageDir.empty())
        opts.strImageDir = GetSimDefaultImageDir();
    if (opts.rates.empty()) {
        if (pstrError)
            *pstrError = "sim: no bootstrap rate";
        return E_FAIL;
    }
    SimKnownImages images;
    // A loopback plug knows no images: it is used where there may be none.
    if (!opts.bLoopback && !LoadSimKnownImages(opts.strImageDir, images, pstrError))
        return E_FAIL;
    if (!opts.strDumpFile.empty() && !CheckSimDumpFile(opts.strDumpFile, pstrError))
        return E_FAIL;
    std::unique_ptr<CSimLine> pLine(new (std::nothrow) CSimLine(opts, std::move(images)));
    if (!pLine)
        return E_OUTOFMEMORY;
    if (!pLine->m_evStop.IsValid() || !pLine->m_unitAlarm.IsValid() ||
        !pLine->m_rxAlarm.IsValid() || !pLine->m_evTx.IsValid()) {
        if (pstrError)
            *pstrError = "sim: out of event descriptors";
        return E_FAIL;
    }
    pLine->m_pThunk = MakeThreadThunk(pLine.get(), &CSimLine::UnitThread);
    if (!pLine->m_pThunk || !pLine->m_thread.Start(pLine->m_pThunk, nullptr)) {
        if (pstrError)
            *pstrError = "sim: cannot start the unit's thread";
        return E_FAIL;
    }
    *ppLine = std::move(pLine);
    return S_OK;
}

CSimLine::CSimLine(const SimOptions& opts, SimKnownImages images)
    : m_opts(opts), m_adapter(GetSimAdapterModel(opts.adapter)), m_openedAt(SimClock::now()),
      m_noiseToUnit(opts.dNoise, opts.nSeed, 1), m_noiseToHost(opts.dNoise, opts.nSeed, 2),
      m_garbleAtUnit(opts.nSeed, 4), m_garbleAtHost(opts.nSeed, 5) {
    CSimUnit::LogFn log;
    if (opts.bTrace)
        log = [](const std::string& s) { TraceDebug((s + "\n").c_str()); };
    ISimUnitOutput& out = *this;
    m_pUnit = std::make_unique<CSimUnit>(opts, std::move(images), out, std::move(log));
}

CSimLine::~CSimLine() {
    m_evStop.Set();
    if (m_thread.IsStarted())
        m_thread.Join();
    FreeThreadThunk(m_pThunk);
    FinishReport();
}

void CSimLine::FinishReport() {
    const SimReport report = GetReport();
    if (!m_opts.strDumpFile.empty() && !WriteSimDump(report, m_opts.strDumpFile))
        TraceDebug(("sim: cannot write the dump file " + m_opts.strDumpFile + "\n").c_str());
    SimReportObserver observer;
    {
        std::lock_guard lock(g_globalsMutex);
        observer = g_observer;
    }
    if (observer)
        observer(report, m_opts);
}

SimReport CSimLine::GetReport() const {
    std::lock_guard lock(m_mutex);
    return m_pUnit->Report();
}

std::string CSimLine::GetUnitState() const {
    std::lock_guard lock(m_mutex);
    return m_pUnit->StateName();
}

// ---- The unit's thread ----

DWORD CSimLine::UnitThread(void*) {
    // "sim " names the simulator's threads apart from the uploader's (bench_station counts them).
    NameCurrentThread("sim unit");
    // The unit answers at the moments its characters are due; let it be woken first.
    SetCurrentThreadPriority(THREAD_PRIORITY_HIGHEST);
    RequestShortTimeSlices();
    UsePreciseTimers();
    for (;;) {
        {
            // Armed under the lock: a change the host makes after the look brings it forward.
            std::lock_guard lock(m_mutex);
            m_unitAlarm.Arm(Advance(SimClock::now()));
        }
        const DWORD r = m_unitAlarm.Wait(m_evStop, kSimNever);
        if (r == WAIT_OBJECT_0 || r == WAIT_FAILED)
            return 0;
    }
}

SimTime CSimLine::Advance(SimTime now) {
    for (;;) {
        const SimTime tModem = m_modem.empty() ? kSimNever : m_modem.front().t;
        const SimTime tHost = m_toUnit.empty() ? kSimNever : m_toUnit.front().end;
        const SimTime tTimer = m_pUnit->Deadline();
        const SimTime t = std::min({tModem, tHost, tTimer});
        if (t > now)
            break;
        if (t == tModem) {
            const ModemItem m = m_modem.front();
            m_modem.pop_front();
            m_pUnit->OnModemLines(m.bDtr, m.bRts, m.t);
        } else if (t == tHost) {
            const HostItem item = m_toUnit.front();
            m_toUnit.pop_front();
            // What the host sent in the moment before the line went away is cut off with it:
            // the unit never gets a character that ends after the unplug.
            if (item.end <= m_goneAt)
                DeliverToUnit(item);
        } else {
            m_pUnit->OnTimer(t);
        }
        if (m_opts.nUnplug > 0 && m_goneAt == kSimNever &&
            m_pUnit->Report().stats.nRecordFrames >= m_opts.nUnplug) {
            m_goneAt = std::max(t, m_pUnit->TxIdleAt()) + kUnplugAfterAnswer;
            if (m_opts.bTrace)
                TraceDebug("sim: the line goes away (unplug)\n");
            m_rxAlarm.BringForward(m_goneAt);
            m_evTx.Set();
        }
    }
    return UnitWake();
}

SimTime CSimLine::UnitWake() const {
    // The next moment the unit has to look: its timer, a change of the modem lines, a break
    // behind characters, or the character it is waiting for (not every character: a record is
    // taken in a few steps). A break first in the queue is handed over with what follows it: on
    // its own it makes the unit do nothing at once, so the host's break before each record does
    // not wake the unit's thread, only the record's last character does.
    SimTime wake = m_pUnit->Deadline();
    if (!m_modem.empty())
        wake = std::min(wake, m_modem.front().t);
    const std::size_t first = !m_toUnit.empty() && m_toUnit.front().bBreak ? 1 : 0;
    const DWORD rx = m_pUnit->RxBaud();
    const auto peek = [&](std::size_t i) -> int {
        i += first;
        if (i >= m_toUnit.size() || m_toUnit[i].bBreak)
            return CSimUnit::kPeekNone;
        const HostItem& item = m_toUnit[i];
        if (item.bFrameError || (rx != 0 && (!item.b8N1 || RateMismatch(item.dwBaud, rx))))
            return CSimUnit::kPeekDamaged;
        return item.lineValue;
    };
    const std::size_t want =
        static_cast<std::size_t>(std::max(1, m_pUnit->CharsWanted(peek, first > 0)));
    std::size_t chars = 0;
    for (std::size_t i = first; i < m_toUnit.size(); ++i) {
        const HostItem& item = m_toUnit[i];
        if (item.bBreak || ++chars >= want || chars >= kMaxQueued) {
            wake = std::min(wake, item.end);
            break;
        }
    }
    return wake;
}

void CSimLine::DeliverToUnit(const HostItem& item) {
    if (item.bBreak) {
        m_pUnit->OnBreak(item.start, item.end);
        return;
    }
    SimRxChar c;
    c.lineValue = item.lineValue;
    c.dwSenderBaud = item.dwBaud;
    c.start = item.start;
    c.end = item.end;
    const DWORD rx = m_pUnit->RxBaud();
    if (rx != 0 && (!item.b8N1 || RateMismatch(item.dwBaud, rx))) {
        c.bFramingError = m_garbleAtUnit.Below(2) == 0;
        c.value = static_cast<BYTE>(item.lineValue ^ (1 + m_garbleAtUnit.Below(255)));
    } else {
        c.value = item.lineValue;
        c.bFramingError = item.bFrameError;
    }
    m_pUnit->OnChar(c);
}

// ---- What the unit sends ----

void CSimLine::EmitByte(BYTE value, DWORD dwBaud, SimTime start, SimTime end) {
    const std::uint32_t flips = m_noiseToHost.NextFrame();
    OutItem item;
    item.lineValue = static_cast<BYTE>(value ^ ((flips >> 1) & 0xFFu));
    item.bFrameError = (flips & 0x201u) != 0;
    item.dwBaud = dwBaud;
    item.start = start;
    item.end = end;
    item.due = HandedOverAt(end);
    m_toHost.push_back(item);
    OnQueuedForHost();
}

SimTime CSimLine::HandedOverAt(SimTime t) const {
    if (m_adapter.dLatencyMs <= 0)
        return t;
    const auto tick = std::chrono::duration_cast<SimDuration>(
        std::chrono::duration<double, std::milli>(m_adapter.dLatencyMs));
    const auto n = (t - m_openedAt + tick - SimDuration(1)) / tick;
    return m_openedAt + n * tick;
}

bool CSimLine::InFakeBreak(SimTime start, SimTime end) {
    while (!m_fakeBreaks.empty() && m_fakeBreaks.front().second <= start)
        m_fakeBreaks.pop_front();
    for (const auto& [from, to] : m_fakeBreaks) {
        if (from < end && start < to)
            return true;
    }
    return false;
}

void CSimLine::EmitBreak(SimTime start, SimTime end) {
    OutItem item;
    item.bBreak = true;
    item.start = start;
    item.end = end;
    // A receiver reports a break once the line has stayed low for a whole character (start bit,
    // data bits and where the stop bit should be), while the break goes on.
    item.due = HandedOverAt(start + (end - start) / kSimBreakChars);
    m_toHost.push_back(item);
    OnQueuedForHost();
}

SimTime CSimLine::CancelFrom(SimTime t) {
    while (!m_toHost.empty() && m_toHost.back().start >= t)
        m_toHost.pop_back();
    return m_toHost.empty() ? SimTime{} : m_toHost.back().end;
}

// ---- The host's side ----

HRESULT CSimLine::Configure(const DCB& dcb) {
    std::lock_guard lock(m_mutex);
    const SimTime now = SimClock::now();
    m_dwRefusedRate = 0;
    if (IsGone(now) || dcb.BaudRate < 50 || dcb.BaudRate > 4000000)
        return E_FAIL;
    // The driver tells the rate its chip really runs, and the line refuses one more than 2 % off
    // what was asked, as the termios line does when it reads the rate back.
    const DWORD dwRuns = SimAdapterRate(m_opts.adapter, dcb.BaudRate);
    if (std::fabs(static_cast<double>(dwRuns) - dcb.BaudRate) > 0.02 * dcb.BaudRate) {
        m_dwRefusedRate = dwRuns;
        return E_FAIL;
    }
    // Characters already received keep the rate they were received at.
    for (OutItem& item : m_toHost) {
        if (item.due > now)
            break;
        if (item.dwHostBaud == 0) {
            item.dwHostBaud = m_dwHostBaud;
            item.bHost8N1 = m_bHost8N1;
        }
    }
    m_dwHostBaud = dwRuns;
    m_bHost8N1 = dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT;
    // RTS follows the record's control mode: raised for "enable" and "handshake" (the receive
    // side always has room), dropped for "disable" and "toggle" (nothing is being sent).
    const BYTE rts = dcb.fRtsControl & 3;
    SetModem(m_bDtr, rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE, now);
    return S_OK;
}

DWORD CSimLine::GetRefusedRate() const {
    std::lock_guard lock(m_mutex);
    return m_dwRefusedRate;
}

LineWait CSimLine::WaitGone(const CEvent& stop, SimTime deadline) {
    // A line that has gone away: wait for the stop event alone, never spin.
    return SimWaitUntil(stop, nullptr, deadline) == WAIT_OBJECT_0 ? LineWait::Stopped
                                                                  : LineWait::Gone;
}

std::size_t CSimLine::RxInterest() const {
    const int n = m_pRxInterest ? m_pRxInterest->load() : 1;
    return n > 1 ? static_cast<std::size_t>(n) : 1;
}

SimTime CSimLine::RxReadyAt() const {
    if (m_toHost.empty())
        return kSimNever;
    // Items are due in the order they were queued: the n-th's arrival completes the first n.
    const std::size_t wanted = RxInterest();
    const std::size_t n = std::min(wanted, m_toHost.size());
    SimTime t = n == wanted ? m_toHost[n - 1].due : kSimNever;
    for (std::size_t i = 0; i < n; ++i) {
        if (m_toHost[i].bBreak) {
            t = std::min(t, m_toHost[i].due);
            break;
        }
    }
    // Nothing arrives after the line went away; what had arrived before stays in the host's
    // receive buffer, readable however late the host comes to read it.
    if (t > m_goneAt)
        t = m_toHost.front().due <= m_goneAt ? m_goneAt : kSimNever;
    return t;
}

void CSimLine::OnQueuedForHost() {
    // Not woken for every character: only for the one that completes what the reader waits
    // for, or for a break before it.
    const std::size_t n = RxInterest();
    const std::size_t size = m_toHost.size();
    if (size >= n)
        m_rxAlarm.BringForward(m_toHost[n - 1].due);
    else if (m_toHost.back().bBreak)
        m_rxAlarm.BringForward(m_toHost.back().due);
}

void CSimLine::SetRxInterest(const std::atomic<int>* pInterest) {
    std::lock_guard lock(m_mutex);
    m_pRxInterest = pInterest;
}

void CSimLine::RxInterestChanged() {
    std::lock_guard lock(m_mutex);
    m_rxAlarm.MoveTo(RxReadyAt());
}

LineWait CSimLine::WaitRx(const CEvent& stop, DWORD dwMilliseconds) {
    UsePreciseTimers();
    const SimTime deadline = dwMilliseconds == INFINITE
                                 ? kSimNever
                                 : SimClock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        SimTime next;
        bool bGone = false;
        {
            std::lock_guard lock(m_mutex);
            const SimTime now = SimClock::now();
            bGone = IsGone(now);
            const SimTime ready = RxReadyAt();
            if (ready <= now)
                return LineWait::Ready;
            if (bGone)
                next = kSimNever;
            else if (now >= deadline)
                return LineWait::TimedOut;
            else
                next = std::min(ready, m_goneAt);
            // Armed under the lock: the unit's output scheduled after the look brings it forward.
            m_rxAlarm.Arm(next);
        }
        if (bGone)
            return WaitGone(stop, deadline);
        const DWORD r = m_rxAlarm.Wait(stop, deadline);
        if (r == WAIT_OBJECT_0)
            return LineWait::Stopped;
        if (r == WAIT_FAILED)
            return LineWait::TimedOut;
    }
}

int CSimLine::Read(char* pDest, int nCapacity, RxInfo& info) {
    std::lock_guard lock(m_mutex);
    const SimTime now = SimClock::now();
    const bool bGone = IsGone(now);
    const SimTime arrived = std::min(now, m_goneAt);
    if (bGone && (m_toHost.empty() || m_toHost.front().due > arrived)) {
        m_toHost.clear();
        return -1;
    }
    // pl2303 flags every byte of the read that brings a break (pl2303_process_read_urb), and the
    // line discipline turns each flagged byte into a break: the batch's other bytes are lost.
    std::vector<SimTime> breakBatches;
    if (m_adapter.bBreakMarksBatch) {
        for (const OutItem& item : m_toHost) {
            if (item.due > arrived)
                break;
            if (item.bBreak)
                breakBatches.push_back(item.due);
        }
    }
    int n = 0;
    while (n < nCapacity && !m_toHost.empty() && m_toHost.front().due <= arrived) {
        const OutItem item = m_toHost.front();
        m_toHost.pop_front();
        if (item.bBreak ||
            std::find(breakBatches.begin(), breakBatches.end(), item.due) != breakBatches.end()) {
            pDest[n++] = 0; // a break shows as one 0x00 in the stream, at any rate
            if (m_adapter.bReportsBreaks)
                ++info.nBreaks;
            continue;
        }
        const DWORD hostBaud = item.dwHostBaud ? item.dwHostBaud : m_dwHostBaud;
        const bool b8N1 = item.dwHostBaud ? item.bHost8N1 : m_bHost8N1;
        BYTE value = item.lineValue;
        bool bError = item.bFrameError;
        if (!b8N1 || RateMismatch(item.dwBaud, hostBaud) ||
            (!item.bOwnFakeBreak && InFakeBreak(item.start, item.end))) {
            bError = m_garbleAtHost.Below(2) == 0;
            value = static_cast<BYTE>(item.lineValue ^ (1 + m_garbleAtHost.Below(255)));
        }
        if (bError)
            ++info.nLineErrors;
        pDest[n++] = static_cast<char>(value);
    }
    return n;
}

void CSimLine::ScheduleHostBytes(const BYTE* pData, int nLength, SimTime now) {
    const SimDuration charTime = SimCharTime(m_dwHostBaud);
    for (int i = 0; i < nLength; ++i) {
        const std::uint32_t flips = m_noiseToUnit.NextFrame();
        HostItem item;
        item.lineValue = static_cast<BYTE>(pData[i] ^ ((flips >> 1) & 0xFFu));
        item.bFrameError = (flips & 0x201u) != 0;
        item.dwBaud = m_dwHostBaud;
        item.b8N1 = m_bHost8N1;
        item.start = std::max(now, m_txFreeAt);
        item.end = item.start + charTime;
        m_txFreeAt = item.end;
        if (m_opts.bLoopback)
            LoopBack(item);
        else
            m_toUnit.push_back(item);
    }
}

void CSimLine::LoopBack(const HostItem& item, bool bFakeBreak) {
    OutItem out;
    out.lineValue = item.lineValue;
    out.bFrameError = item.bFrameError;
    out.dwBaud = item.dwBaud;
    out.start = item.start;
    out.end = item.end;
    out.due = HandedOverAt(item.end);
    if (item.bBreak) {
        // The receiver, at the rate the sender runs, reports a break once the line has stayed low
        // for a whole character; a shorter one is a 0x00 without its stop bit.
        const SimDuration charTime = SimCharTime(m_dwHostBaud);
        out.dwBaud = m_dwHostBaud;
        if (item.end - item.start >= charTime) {
            out.bBreak = true;
            out.due = HandedOverAt(item.start + charTime);
        } else {
            out.bFrameError = true;
        }
    } else if (bFakeBreak) {
        // The chip runs its receiver at the fake break's rate too, so the 0x00 arrives whole.
        out.bOwnFakeBreak = true;
        out.dwHostBaud = kSimFakeBreakBaud;
    }
    m_toHost.push_back(out);
    OnQueuedForHost();
}

LineWait CSimLine::Write(const char* pData, int nLength, const CEvent&, DWORD) {
    // The simulated wire takes any number of bytes at once.
    return TryWrite(pData, nLength) < 0 ? LineWait::Gone : LineWait::Ready;
}

int CSimLine::TryWrite(const char* pData, int nLength) {
    {
        std::lock_guard lock(m_mutex);
        const SimTime now = SimClock::now();
        if (IsGone(now))
            return -1;
        if (nLength > 0) {
            const BYTE* p = reinterpret_cast<const BYTE*>(pData);
            if (m_bBreakOn)
                m_held.insert(m_held.end(), p, p + nLength);
            else
                ScheduleHostBytes(p, nLength, now);
        }
        // The unit's thread sleeps on until the moment it must look, now perhaps the end of
        // these characters' frame: it is not woken for each write.
        m_unitAlarm.BringForward(UnitWake());
    }
    m_evTx.Set();
    return nLength;
}

LineWait CSimLine::WaitTxDrained(const CEvent& stop, DWORD dwMilliseconds) {
    UsePreciseTimers();
    const SimTime deadline = dwMilliseconds == INFINITE
                                 ? kSimNever
                                 : SimClock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        m_evTx.Reset();
        SimTime target = kSimNever;
        bool bGone = false;
        {
            std::lock_guard lock(m_mutex);
            const SimTime now = SimClock::now();
            bGone = IsGone(now);
            if (!bGone) {
                if (!m_bBreakOn && m_txFreeAt <= now)
                    return LineWait::Ready;
                if (now >= deadline)
                    return LineWait::TimedOut;
                target = std::min(m_bBreakOn ? kSimNever : m_txFreeAt, m_goneAt);
            }
        }
        if (bGone) // waited for outside the lock: the host's other calls must still fail at once
            return WaitGone(stop, deadline);
        const DWORD r = SimWaitUntil(stop, &m_evTx, std::min(target, deadline));
        if (r == WAIT_OBJECT_0)
            return LineWait::Stopped;
        if (r == WAIT_FAILED)
            return LineWait::TimedOut;
    }
}

HRESULT CSimLine::SetBreak(bool bOn) {
    // The unit learns of a break when it ends (or, from a chip that fakes one, of its 0x00):
    // raising a real break gives its thread nothing to do, and does not wake it.
    {
        std::lock_guard lock(m_mutex);
        const SimTime now = SimClock::now();
        if (IsGone(now))
            return E_FAIL;
        if (m_adapter.bFakeBreak) {
            // A chip without a break register: one 0x00 at a low rate, of fixed length, for the
            // break; the chip's receiver runs at that rate meanwhile.
            if (bOn && !m_bFakeBreakOn) {
                HostItem item;
                item.lineValue = 0;
                item.dwBaud = kSimFakeBreakBaud;
                item.start = std::max(now, m_txFreeAt);
                item.end = item.start + SimCharTime(kSimFakeBreakBaud);
                m_txFreeAt = item.end;
                if (m_opts.bLoopback)
                    LoopBack(item, true);
                else
                    m_toUnit.push_back(item);
                m_fakeBreaks.emplace_back(item.start, item.end);
            }
            m_bFakeBreakOn = bOn;
        } else if (bOn == m_bBreakOn) {
            return S_OK;
        } else if (bOn) {
            m_bBreakOn = true;
            m_breakSetAt = now;
            // The break follows the characters still on their way; the unit gets it when it ends.
            m_breakStart = std::max(now, m_txFreeAt);
        } else {
            m_bBreakOn = false;
            HostItem item;
            item.bBreak = true;
            item.start = m_breakStart;
            item.end = m_breakStart + (now - m_breakSetAt);
            m_txFreeAt = item.end;
            if (m_opts.bLoopback)
                LoopBack(item);
            else
                m_toUnit.push_back(item);
            if (!m_held.empty()) {
                ScheduleHostBytes(m_held.data(), static_cast<int>(m_held.size()), now);
                m_held.clear();
            }
        }
        m_unitAlarm.BringForward(UnitWake());
    }
    m_evTx.Set();
    return S_OK;
}

void CSimLine::SetModem(bool bDtr, bool bRts, SimTime now) {
    if (bDtr == m_bDtr && bRts == m_bRts)
        return;
    m_bDtr = bDtr;
    m_bRts = bRts;
    m_modem.push_back({bDtr, bRts, now});
    m_unitAlarm.BringForward(UnitWake());
}

HRESULT CSimLine::SetDtr(bool bOn) {
    std::lock_guard lock(m_mutex);
    const SimTime now = SimClock::now();
    if (IsGone(now))
        return E_FAIL;
    SetModem(bOn, m_bRts, now);
    return S_OK;
}

HRESULT CSimLine::SetRts(bool bOn) {
    std::lock_guard lock(m_mutex);
    const SimTime now = SimClock::now();
    if (IsGone(now))
        return E_FAIL;
    SetModem(m_bDtr, bOn, now);
    return S_OK;
}

HRESULT CSimLine::GetModemStatus(ModemStatus* pStatus) {
    std::lock_guard lock(m_mutex);
    if (IsGone(SimClock::now()))
        return E_FAIL;
    // The unit drives none of the host's inputs; a loopback plug drives them from its outputs.
    *pStatus = ModemStatus{};
    if (m_opts.bLoopback) {
        pStatus->bCts = m_bRts;
        pStatus->bDsr = m_bDtr;
        pStatus->bDcd = m_bDtr;
    }
    return S_OK;
}
