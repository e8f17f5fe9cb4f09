// CSerialPort: opening, closing, line settings and the operations of the upload worker.
// The two thread bodies are in SerialPortThreads.cpp.
#include "serial/SerialPort.h"

#include "platform/Beep.h"
#include "platform/Sleep.h"
#include "platform/Trace.h"
#include "serial/AutoSingleMutex.h"

#include <chrono>
#include <cstring>
#include <new>

namespace {

constexpr int kRingSize = 4096;
constexpr int kOpenAttempts = 11;
constexpr DWORD kOpenRetryPause = 200;

// Each beep 1000 Hz for 100 ms, 300 ms between the beeps of a group, 600 ms between groups.
void PlayBeepCode(std::initializer_list<int> groups) {
    bool bFirstGroup = true;
    for (const int nBeeps : groups) {
        if (!bFirstGroup)
            Sleep(600);
        bFirstGroup = false;
        for (int i = 0; i < nBeeps; ++i) {
            if (i > 0)
                Sleep(300);
            Beep(1000, 100);
        }
    }
}

std::unique_ptr<CEvent> NewEvent(bool bSet) {
    std::unique_ptr<CEvent> p(new (std::nothrow) CEvent(bSet));
    if (p && !p->IsValid())
        p.reset();
    return p;
}

} // namespace

CSerialPort::CSerialPort() {
    Init("/sys/class/tty", "/dev");
}

CSerialPort::CSerialPort(const std::string& strSysClassTty, const std::string& strDevDir) {
    Init(strSysClassTty, strDevDir);
}

void CSerialPort::Init(const std::string& strSysClassTty, const std::string& strDevDir) {
    m_PortInfos = EnumerateSerialPorts(strSysClassTty, strDevDir);
    for (const auto& info : m_PortInfos)
        m_PortNames.push_back(info.strDevice);
}

bool CSerialPort::IsConsolePortAt(int nIndex) const {
    return nIndex >= 0 && static_cast<std::size_t>(nIndex) < m_PortInfos.size() &&
           m_PortInfos[static_cast<std::size_t>(nIndex)].bConsole;
}

CSerialPort::~CSerialPort() {
    Close();
}

const char* CSerialPort::GetPortName(int nIndex) const {
    if (nIndex < 0)
        return nullptr;
    for (const auto& s : m_PortNames) {
        if (nIndex-- == 0)
            return s.c_str();
    }
    return nullptr;
}

const SerialPortInfo* CSerialPort::GetPortInfo(int nIndex) const {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_PortInfos.size())
        return nullptr;
    return &m_PortInfos[static_cast<size_t>(nIndex)];
}

HRESULT CSerialPort::FailOpen(std::initializer_list<int> groups, std::string strReason) {
    // The name goes with the reason: Close forgets it.
    const std::string strName = m_strPortName;
    m_strOpenFailure = std::move(strReason);
    TraceDebug(("CSerialPort::Open(): " + strName + ": " + m_strOpenFailure + "\n").c_str());
    PlayBeepCode(groups);
    Close();
    return E_PORT_OPEN_FAILED;
}

HRESULT CSerialPort::Open(const PORTMODE& mode) {
    if (m_pLine)
        return E_PORT_OPEN_FAILED; // already open: the caller closes first

    m_strOpenFailure.clear();
    m_strModeFailure.clear();
    m_nRxBreaks = 0;
    // A name without its terminating NUL inside the field is refused rather than read past it.
    std::unique_ptr<ISerialLine> pLine;
    std::string strReason = "the name does not fit the port record (" +
                            std::to_string(sizeof mode.szPort - 1) + " characters at most)";
    if (std::memchr(mode.szPort, 0, sizeof mode.szPort)) {
        const std::string strName(mode.szPort);
        for (int i = 0; i < kOpenAttempts; ++i) {
            strReason.clear();
            if (OpenSerialLine(strName, &pLine, &strReason) == S_OK && pLine)
                break;
            pLine.reset();
            // A name that can never be a port (the kernel console, a directory, a terminal
            // that is no serial line) stays so: another try would only make the operator wait.
            if (strReason.starts_with("console: ") || strReason.starts_with("not a serial port: "))
                break;
            Sleep(kOpenRetryPause);
        }
        if (strReason.empty())
            strReason = "the port could not be opened";
        m_strPortName = strName;
    }
    // The open with its lock.
    if (!pLine)
        return FailOpen({3, 3, 1}, strReason);
    m_pLine = std::move(pLine);
    m_nRxWanted.store(0);
    m_nRxInterest.store(1);
    m_pLine->SetRxInterest(&m_nRxInterest);
    // The raw, non-blocking line in place of the port time-outs.
    if (FAILED(m_pLine->PrepareRaw()))
        return FailOpen({3, 3}, "the line refused raw transfer");
    if (SetPortMode(mode) != S_OK)
        return FailOpen({3, 1}, m_strModeFailure);
    if (FAILED(m_pLine->SetQueueSizes(kRingSize, kRingSize)))
        return FailOpen({3}, "the line refused its queue sizes");
    if (const HRESULT hr = m_pLine->PrepareEvents(); hr == E_OUTOFMEMORY)
        return FailOpen({1}, "the system gave no event objects");
    else if (FAILED(hr))
        return FailOpen({2}, "the line refused its event mask");

    m_hStopTxThread = NewEvent(false);
    m_hStopRxThread = NewEvent(false);
    m_hTxEmpty = NewEvent(true);
    m_hTxReady = NewEvent(false);
    m_hRxBreak = NewEvent(false);
    m_hRxData = NewEvent(false);
    m_hTxKick = NewEvent(false);
    if (!m_hStopTxThread || !m_hStopRxThread || !m_hTxEmpty || !m_hTxReady || !m_hRxBreak ||
        !m_hRxData || !m_hTxKick)
        return FailOpen({1}, "the system gave no event objects");

    if (!AllocateBuffers(kRingSize)) {
        Close();
        return E_OUTOFMEMORY;
    }
    // A port whose threads did not start would take bytes and never send them.
    if (!StartReceiveThread() || !StartTransmitThread()) {
        Close();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool CSerialPort::Close() {
    StopTransmitThread();
    StopReceiveThread();
    m_hStopTxThread.reset();
    m_hStopRxThread.reset();
    m_hTxEmpty.reset();
    m_hTxReady.reset();
    m_hRxBreak.reset();
    m_hRxData.reset();
    m_hTxKick.reset();
    m_pLine.reset(); // discards unsent output and releases the device
    m_strPortName.clear();
    // The rings keep their storage and contents until the next Open re-creates them.
    return true;
}

bool CSerialPort::AllocateBuffers(int nSize) {
    return m_RxBuffer.Create(nSize) == S_OK && m_TxBuffer.Create(nSize) == S_OK;
}

HRESULT CSerialPort::SetPortMode(const PORTMODE& mode) {
    // The line state of "baud=9600 parity=N data=8 stop=1" with the record's fields over it:
    // binary, NUL bytes kept, flow control off.
    DCB dcb;
    dcb.BaudRate = mode.dwBaudRate;
    dcb.StopBits = mode.byStopBits;
    dcb.ByteSize = mode.byByteSize;
    dcb.Parity = mode.byParity;
    dcb.fBinary = true;
    dcb.fNull = false;
    dcb.fRtsControl = mode.byRtsControl & 3;
    return SetPortMode(dcb);
}

HRESULT CSerialPort::GetPortMode(DCB& dcb) {
    if (!m_pLine)
        return E_FAIL;
    dcb = m_dcb;
    return S_OK;
}

HRESULT CSerialPort::SetPortMode(const DCB& dcb) {
    if (!m_pLine || FAILED(m_pLine->Configure(dcb))) {
        // The line keeps its previous settings; the reason names the rate it would have run.
        m_strModeFailure = DescribeRefusedFrame(dcb.BaudRate, dcb.ByteSize,
                                                m_pLine ? m_pLine->GetRefusedRate() : 0);
        return E_FAIL;
    }
    m_strModeFailure.clear();
    m_dcb = dcb;
    m_dcb.DCBlength = sizeof(DCB);
    return S_OK;
}

int CSerialPort::Send(const void* pData, int nLength) {
    if (!m_pLine || !m_hTxReady)
        return 1; // closed: nothing would ever send them
    if (nLength == 0)
        return 0; // nothing to send, and no transmit-empty would follow
    const char* p = static_cast<const char*>(pData);
    int nResult = 0;
    {
        CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
        // With nothing queued or on its way through the transmit thread, the bytes go to the
        // line at once: a record starts out now, not when that thread next runs, and the
        // unlock's timing counts from here. What the line does not take at once is queued
        // behind. A count the ring cannot take still raises below, as ever.
        if (!m_bTxWriting && m_TxBuffer.GetCount() == 0 && nLength <= m_TxBuffer.GetSize()) {
            const int nTaken = m_pLine->TryWrite(p, nLength);
            if (nTaken > 0) {
                p += nTaken;
                nLength -= nTaken;
            }
        }
        if (nLength > 0)
            nResult = m_TxBuffer.Write(p, nLength);
        ++m_nTxSends;
        m_hTxEmpty->Reset();
        m_hTxReady->Set(); // the transmit thread sees these bytes out, or writes them
    }
    // Woken after the mutex is free: the transmit thread runs at once and takes it first thing.
    m_hTxKick->Set();
    return nResult < 0 ? 1 : 0;
}

int CSerialPort::WaitTxEmpty(DWORD dwMilliseconds) {
    if (!m_hTxEmpty)
        return 1;
    return m_hTxEmpty->Wait(dwMilliseconds) == WAIT_OBJECT_0 ? 0 : 1;
}

int CSerialPort::WaitRxBreak(DWORD dwMilliseconds) {
    if (!m_hRxBreak || m_hRxBreak->Wait(dwMilliseconds) != WAIT_OBJECT_0)
        return 1;
    m_hRxBreak->Reset(); // each break is reported once
    return 0;
}

int CSerialPort::WaitRxCount(int nCount, DWORD dwMilliseconds) {
    if (!m_hRxData)
        return GetRxCount() >= nCount ? 0 : 1;
    // Ends with the read that brings the last awaited byte: a poll in 1 ms sleeps would add up
    // to a sleep's length (a whole timer tick on some systems) to every answer.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    SetRxWaiter(nCount); // before the look: a later read that reaches it sets the event
    int nResult = 1;
    for (;;) {
        m_hRxData->Reset(); // before looking: bytes added after the look set it again
        if (GetRxCount() >= nCount) {
            nResult = 0;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (m_hRxData->Wait(static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
            nResult = GetRxCount() >= nCount ? 0 : 1;
            break;
        }
    }
    // What arrives from here on must reach the ring as it comes, for the caller's next look.
    SetRxWaiter(0);
    return nResult;
}

void CSerialPort::SetRxWaiter(int nWanted) {
    int nBefore, nAfter;
    {
        CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
        m_nRxWanted.store(nWanted);
        nBefore = m_nRxInterest.load();
        UpdateRxInterest(m_RxBuffer.GetCount());
        nAfter = m_nRxInterest.load();
    }
    if (nAfter != nBefore && m_pLine)
        m_pLine->RxInterestChanged();
}

HRESULT CSerialPort::SetBreak() {
    return m_pLine && SUCCEEDED(m_pLine->SetBreak(true)) ? S_OK : E_FAIL;
}

HRESULT CSerialPort::ClearBreak() {
    return m_pLine && SUCCEEDED(m_pLine->SetBreak(false)) ? S_OK : E_FAIL;
}

HRESULT CSerialPort::EscapeFunction(DWORD dwFunction) {
    if (!m_pLine)
        return E_FAIL;
    HRESULT hr;
    switch (dwFunction) {
    case SETDTR:
        hr = m_pLine->SetDtr(true);
        break;
    case CLRDTR:
        hr = m_pLine->SetDtr(false);
        break;
    case SETRTS:
        hr = m_pLine->SetRts(true);
        break;
    case CLRRTS:
        hr = m_pLine->SetRts(false);
        break;
    default:
        return E_FAIL;
    }
    return SUCCEEDED(hr) ? S_OK : E_FAIL;
}

void CSerialPort::ClearRxBuffer() {
    CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
    m_RxBuffer.Clear();
}

void CSerialPort::ClearTxBuffer() {
    CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
    const bool bHeldBytes = m_TxBuffer.GetCount() > 0;
    m_TxBuffer.Clear();
    // Lets the transmit thread see the line out with the ring now empty. An empty ring changes
    // nothing for it: every record try clears both rings, and would wake it for nothing.
    if (bHeldBytes && m_hTxKick)
        m_hTxKick->Set();
}

int CSerialPort::GetRxCount() {
    CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
    return m_RxBuffer.GetCount();
}

char CSerialPort::PeekRx(int nIndex) {
    CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
    return m_RxBuffer.GetAt(nIndex); // the guard releases the mutex if this raises
}

int CSerialPort::ReadRx(char* pDest, int& nCount) {
    CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
    return m_RxBuffer.Read(pDest, &nCount);
}
