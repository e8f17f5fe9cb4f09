// CSerialPort's receive and transmit threads: starting and stopping them, their bodies, and
// the handling of line events.
//
// Both threads wait on the line and on their stop event in one poll, so a stop request ends
// any wait at once. The receive thread sleeps in poll until the line has bytes (or a break)
// to read; the transmit thread sleeps until bytes are queued, writes them, then waits for the
// line to drain and reports transmit-empty.
#include "platform/Trace.h"
#include "serial/AutoSingleMutex.h"
#include "serial/SerialPort.h"

namespace {

// The longest write of n bytes may take: 8000 ms plus 5 ms a byte.
DWORD WriteTimeout(int nBytes) {
    return 8000 + 5 * static_cast<DWORD>(nBytes);
}

// Bounds one line event's reading (2048 bytes a piece) so the thread returns to its wait
// and sees a stop request even on a line that never pauses.
constexpr int kMaxPieces = 8;

} // namespace

bool CSerialPort::StartTransmitThread() {
    if (m_hTxThread)
        return m_hTxThread->GetExitCode() == STILL_ACTIVE;
    m_hStopTxThread->Reset();
    m_pTxThunk = MakeThreadThunk(this, &CSerialPort::Transmit);
    auto pThread = std::make_unique<CThread>();
    if (!m_pTxThunk || !pThread->Start(m_pTxThunk, nullptr, THREAD_PRIORITY_ABOVE_NORMAL)) {
        FreeThreadThunk(m_pTxThunk);
        m_pTxThunk = nullptr;
        return false;
    }
    m_hTxThread = std::move(pThread);
    return true;
}

bool CSerialPort::StartReceiveThread() {
    if (m_hRxThread)
        return m_hRxThread->GetExitCode() == STILL_ACTIVE;
    m_hStopRxThread->Reset();
    m_pRxThunk = MakeThreadThunk(this, &CSerialPort::Receive);
    auto pThread = std::make_unique<CThread>();
    if (!m_pRxThunk || !pThread->Start(m_pRxThunk, nullptr, THREAD_PRIORITY_HIGHEST)) {
        FreeThreadThunk(m_pRxThunk);
        m_pRxThunk = nullptr;
        return false;
    }
    m_hRxThread = std::move(pThread);
    return true;
}

bool CSerialPort::StopTransmitThread() {
    if (!m_hTxThread)
        return true;
    m_hStopTxThread->Set();
    m_hTxKick->Set(); // also ends a wait for the line to drain
    m_hTxThread->Join();
    m_hTxThread.reset();
    FreeThreadThunk(m_pTxThunk);
    m_pTxThunk = nullptr;
    return true;
}

bool CSerialPort::StopReceiveThread() {
    if (!m_hRxThread)
        return true;
    m_hStopRxThread->Set();
    m_hRxThread->Join();
    m_hRxThread.reset();
    FreeThreadThunk(m_pRxThunk);
    m_pRxThunk = nullptr;
    return true;
}

DWORD CSerialPort::Transmit(void* /*pParam*/) {
    NameCurrentThread("port tx");
    // A record's bytes go out the moment they are queued: no waiting for another thread's slice.
    RequestShortTimeSlices();
    // Bytes went to the line since transmit-empty was last reported.
    bool bInFlight = false;
    // The line went away: no transmit-empty will come, so none is waited for.
    bool bGone = false;
    for (;;) {
        if (m_hStopTxThread->IsSet())
            return 0;
        // Reset before the ring is looked at, so a Send after the look sets it again.
        m_hTxKick->Reset();
        int nCount;
        {
            CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
            nCount = m_TxBuffer.GetCount();
            // A drain seen from here covers every Send so far (Send may write to the line
            // itself, leaving the ring empty).
            m_nTxDrainFrom = m_nTxSends;
        }
        if (nCount > 0) {
            if (WriteTxBuffer() == 1)
                return 0;
            bInFlight = true; // even a failed write may have handed some bytes over
            continue;
        }
        // The ring is empty. m_hTxReady still set means transmit-empty has not been seen
        // since the last Send (or the ring was cleared): wait for the line to drain. Bytes
        // queued meanwhile, or a stop request, end that wait through the kick.
        if (!bGone && (bInFlight || m_hTxReady->IsSet())) {
            const LineWait w = m_pLine->WaitTxDrained(*m_hTxKick, INFINITE);
            if (w == LineWait::Ready) {
                bInFlight = false;
                OnCommEvent(EV_TXEMPTY);
            } else if (w == LineWait::Gone) {
                bGone = true;
            }
            continue;
        }
        const DWORD dw = WaitForEither(*m_hStopTxThread, *m_hTxKick, INFINITE);
        if (dw == WAIT_FAILED) {
            m_hStopTxThread->Wait(INFINITE); // nothing left to wait on but the stop
            return 0;
        }
        if (dw == WAIT_OBJECT_0)
            return 0;
    }
}

int CSerialPort::WriteTxBuffer() {
    const size_t nScratch = static_cast<size_t>(m_TxBuffer.GetSize()) + 9;
    if (m_TxScratch.size() < nScratch)
        m_TxScratch.resize(nScratch);
    int nCount = 0;
    {
        CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
        nCount = m_TxBuffer.GetCount();
        if (nCount > 0 && m_TxBuffer.Read(m_TxScratch.data(), &nCount) != 0)
            nCount = 0;
        m_bTxWriting = nCount > 0; // Send queues behind these bytes, never writes past them
    }
    if (nCount <= 0)
        return 0;
    // The mutex is not held across the write: Send keeps queuing meanwhile.
    const LineWait w =
        m_pLine->Write(m_TxScratch.data(), nCount, *m_hStopTxThread, WriteTimeout(nCount));
    {
        CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
        m_bTxWriting = false;
    }
    switch (w) {
    case LineWait::Ready:
        return 0;
    case LineWait::Stopped:
        return 1; // the rest of the bytes are discarded
    default:
        return E_FAIL; // timed out or gone: the bytes are lost
    }
}

DWORD CSerialPort::Receive(void* /*pParam*/) {
    NameCurrentThread("port rx");
    // Every answer's last byte waits for this thread to run: let it preempt when woken.
    RequestShortTimeSlices();
    for (;;) {
        if (m_hStopRxThread->Wait(0) != WAIT_TIMEOUT)
            return 0; // a stop request, or a check that failed
        bool bGone = false;
        switch (m_pLine->WaitRx(*m_hStopRxThread, INFINITE)) {
        case LineWait::Stopped:
            return 0;
        case LineWait::Ready:
            bGone = OnCommEvent(EV_RXCHAR) != 0;
            break;
        case LineWait::TimedOut:
            break;
        case LineWait::Gone:
            TraceDebug("CSerial::Receive(): Error occurred in WaitCommEvent call...\n");
            bGone = true;
            break;
        }
        if (bGone) {
            // Unplugged or hung up: poll would answer at once for ever. Wait for the stop
            // alone; the caller's waits simply time out meanwhile.
            m_hStopRxThread->Wait(INFINITE);
            return 0;
        }
    }
}

DWORD CSerialPort::OnCommEvent(DWORD dwEvtMask) {
    DWORD dwResult = 0;
    if (dwEvtMask & EV_RXCHAR) {
        TraceDebug("Event EV_RXCHAR...\n");
        RxInfo info;
        if (ReadRxData(info) < 0)
            dwResult = 1; // the line went away while it was read
        if (info.nLineErrors > 0)
            OnCommError(CE_FRAME);
        // The break of this event is raised only now, after its bytes are in the ring.
        if (info.nBreaks > 0)
            dwEvtMask |= EV_BREAK;
    }
    if (dwEvtMask & EV_TXEMPTY) {
        TraceDebug("Event TXEMPTY...\n");
        CAutoSingleMutex lock(&m_hTxMutex, INFINITE, true);
        // Not when a Send came after the drain wait began: its bytes may still be going out.
        if (m_TxBuffer.GetCount() == 0 && m_nTxSends == m_nTxDrainFrom) {
            m_hTxEmpty->Set();
            m_hTxReady->Reset();
        }
    }
    if (dwEvtMask & EV_BREAK) {
        TraceDebug("Event EV_BREAK...\n");
        m_nRxBreaks.fetch_add(1, std::memory_order_relaxed);
        m_hRxBreak->Set();
    }
    return dwResult;
}

HRESULT CSerialPort::OnCommError(DWORD /*dwErrors*/) {
    return E_NOTIMPL;
}

int CSerialPort::ReadRxData(RxInfo& info) {
    int nTotal = 0;
    int nCount = 0; // what the ring holds after the last piece
    for (int nPiece = 0; nPiece < kMaxPieces; ++nPiece) {
        RxInfo piece;
        const int n = m_pLine->Read(m_RxScratch, kRxScratch, piece);
        info.nBreaks += piece.nBreaks;
        info.nLineErrors += piece.nLineErrors;
        if (n < 0) {
            TraceDebug("CSerial::Receive(): Error occurred in WaitForSingleObject call...\n");
            if (nTotal > 0)
                OnRxData(nCount);
            return -1;
        }
        if (n == 0)
            break;
        {
            CAutoSingleMutex lock(&m_hRxMutex, INFINITE, true);
            m_RxBuffer.Write(m_RxScratch, n); // a full ring keeps the newest bytes
            nCount = m_RxBuffer.GetCount();
            UpdateRxInterest(nCount);
        }
        nTotal += n;
    }
    if (nTotal > 0)
        OnRxData(nCount);
    return nTotal;
}

void CSerialPort::UpdateRxInterest(int nRxCount) {
    const int nWanted = m_nRxWanted.load();
    m_nRxInterest.store(nWanted > nRxCount ? nWanted - nRxCount : 1);
}

void CSerialPort::OnRxData(int nRxCount) {
    // Wakes WaitRxCount once the ring holds what it waits for (the count was read after the
    // bytes went in, so a wait that began meanwhile has stored its count before this load).
    const int nWanted = m_nRxWanted.load();
    if (nWanted > 0 && nRxCount >= nWanted)
        m_hRxData->Set();
}
