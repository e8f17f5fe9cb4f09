// The comm port line: a Windows serial port (COM1, \\.\COM10) opened for overlapped I/O behind
// the line seam, with the Win32 calls as they stand: CreateFileA, SetCommTimeouts,
// BuildCommDCBA/SetCommState, SetupComm, SetCommMask, WaitCommEvent, ClearCommError,
// ReadFile/WriteFile with GetOverlappedResult, SetCommBreak/ClearCommBreak and
// EscapeCommFunction.
//
// One WaitCommEvent can be outstanding on a port. The receive thread owns it (WaitRx); an
// EV_TXEMPTY it collects is passed on to the transmit thread's WaitTxDrained through an event of
// the line's own, and an EV_BREAK is counted for the next Read. A wait that ends aborted (Wine
// ends one when the status is read on the other thread) is made again. The break's 0x00 byte comes
// from the driver in the received stream (fNull is off).
#include "serial/SerialLine.h"

#include "platform/Trace.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialPort.h"

#include "platform/SystemErrorText.h"
#include "platform/Win32.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

namespace {

constexpr DWORD kEventMask = EV_RXCHAR | EV_TXEMPTY | EV_BREAK | EV_ERR; // 0xC5


std::string OpenErrorReason(DWORD dwError, const std::string& strName) {
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such device: " + strName + " (" + DescribeListedPorts() + ")";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A port is opened without sharing: another holder makes it "access denied".
        return "busy: " + strName + " is open in another program";
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
        return "gone: " + strName + " does not answer (unplugged, or no device behind it)";
    default:
        return strName + ": " + SystemErrorText(dwError);
    }
}

// Errors after which the port no longer answers (an adapter pulled out).
bool IsGoneError(DWORD dwError) {
    return dwError == ERROR_ACCESS_DENIED || dwError == ERROR_BAD_COMMAND ||
           dwError == ERROR_GEN_FAILURE || dwError == ERROR_DEVICE_NOT_CONNECTED ||
           dwError == ERROR_DEV_NOT_EXIST || dwError == ERROR_INVALID_HANDLE;
}

// Wine raises EV_TXEMPTY when the output queue's count (TIOCOUTQ) reaches 0, and not always
// for every drain: there, and only there, that count is also looked at, since it cannot come
// sooner than Wine's own event. Windows' serial drivers raise EV_TXEMPTY when the last
// character has left; the queue's count reaches 0 up to a FIFO's worth of characters earlier.
bool RunsUnderWine() {
    static const bool bWine = [] {
        const HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
        return hNtdll && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
    }();
    return bWine;
}

class CWin32Line final : public ISerialLine {
public:
    explicit CWin32Line(HANDLE hPort) : m_hPort(hPort) {
        for (OVERLAPPED* p : {&m_ovRead, &m_ovWrite, &m_ovWait}) {
            ZeroMemory(p, sizeof *p);
            p->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }

    ~CWin32Line() override {
        // A mask of 0 ends an outstanding WaitCommEvent, whose record must outlive it.
        SetCommMask(m_hPort, 0);
        if (m_bWaitPending)
            WaitForSingleObject(m_ovWait.hEvent, 1000);
        PurgeComm(m_hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(m_hPort);
        for (OVERLAPPED* p : {&m_ovRead, &m_ovWrite, &m_ovWait}) {
            if (p->hEvent)
                CloseHandle(p->hEvent);
        }
    }

    bool EventsMade() const {
        return m_ovRead.hEvent && m_ovWrite.hEvent && m_ovWait.hEvent && m_evTxEmpty.IsValid();
    }

    HRESULT PrepareRaw() override {
        // A read returns at once with what is waiting; a write of n bytes gets 8000 + 5 n ms.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = 0;
        t.WriteTotalTimeoutMultiplier = 5;
        t.WriteTotalTimeoutConstant = 8000;
        return SetCommTimeouts(m_hPort, &t) ? S_OK : E_FAIL;
    }

    HRESULT Configure(const DCB& dcb) override {
        // "baud=9600 parity=N data=8 stop=1" leaves the flow control off; the record's fields
        // go over it, binary, with NUL bytes kept (the unit's replies begin with its break's 0x00).
        WIN32_DCB d;
        ZeroMemory(&d, sizeof d);
        d.DCBlength = sizeof d;
        char szMode[] = "baud=9600 parity=N data=8 stop=1";
        if (!BuildCommDCBA(szMode, &d))
            return E_FAIL;
        d.BaudRate = dcb.BaudRate;
        d.StopBits = dcb.StopBits;
        d.ByteSize = dcb.ByteSize;
        d.Parity = dcb.Parity;
        d.fBinary = 1;
        d.fNull = 0;
        d.fRtsControl = dcb.fRtsControl & 3;
        return SetCommState(m_hPort, &d) ? S_OK : E_FAIL;
    }

    HRESULT SetQueueSizes(int nInBytes, int nOutBytes) override {
        return SetupComm(m_hPort, static_cast<DWORD>(nInBytes), static_cast<DWORD>(nOutBytes))
                   ? S_OK
                   : E_FAIL;
    }

    HRESULT PrepareEvents() override {
        // The mask first, then the events, as the port's open takes its steps (beep code 2 for
        // the mask, 1 for events the system did not give).
        if (!SetCommMask(m_hPort, kEventMask))
            return E_FAIL;
        return EventsMade() ? S_OK : E_OUTOFMEMORY;
    }

    LineWait WaitRx(const CEvent& stop, DWORD dwMilliseconds) override {
        if (m_bGone.load())
            return WaitGone(stop, dwMilliseconds);
        const DWORD dwStart = GetTickCount();
        for (;;) {
            if (m_nBreaks.load() > 0 || InQueue() > 0)
                return LineWait::Ready;
            if (m_bGone.load())
                return LineWait::Gone;
            if (!m_bWaitPending) {
                ResetEvent(m_ovWait.hEvent);
                m_dwEvtMask = 0;
                if (WaitCommEvent(m_hPort, &m_dwEvtMask, &m_ovWait)) {
                    OnEvents(m_dwEvtMask);
                    continue;
                }
                // A failed WaitCommEvent: the receive thread traces "...in WaitCommEvent
                // call..." for Gone, once.
                if (GetLastError() != ERROR_IO_PENDING) {
                    m_bGone.store(true);
                    return LineWait::Gone;
                }
                m_bWaitPending = true;
            }
            DWORD dwLeft = INFINITE;
            if (dwMilliseconds != INFINITE) {
                const DWORD dwSpent = GetTickCount() - dwStart;
                dwLeft = dwSpent >= dwMilliseconds ? 0 : dwMilliseconds - dwSpent;
            }
            const HANDLE handles[2] = {stop.Handle(), m_ovWait.hEvent};
            const DWORD r = WaitForMultipleObjects(2, handles, FALSE, dwLeft);
            if (r == WAIT_OBJECT_0)
                return LineWait::Stopped;
            if (r == WAIT_TIMEOUT)
                return LineWait::TimedOut;
            if (r != WAIT_OBJECT_0 + 1) {
                m_bGone.store(true);
                return LineWait::Gone;
            }
            m_bWaitPending = false;
            DWORD dwDummy = 0;
            if (!GetOverlappedResult(m_hPort, &m_ovWait, &dwDummy, FALSE)) {
                // The completed wait cannot deliver its result. A port that went away is handed
                // to the read, whose failure the receive thread traces as "...in
                // WaitForSingleObject call..." (once); any other failure is traced here and the
                // wait made again (Wine aborts one whenever the port's status is read on the
                // other thread).
                if (IsGoneError(GetLastError())) {
                    m_bGone.store(true);
                    return LineWait::Ready;
                }
                TraceDebug("CSerial::Receive(): Error occurred in WaitForSingleObject call...\n");
                continue;
            }
            OnEvents(m_dwEvtMask);
        }
    }

    int Read(char* pDest, int nCapacity, RxInfo& info) override {
        if (m_bGone.load())
            return -1;
        info.nBreaks += m_nBreaks.exchange(0);
        // The read asks for what the driver holds (cbInQue), no more, as each EV_RXCHAR does.
        const DWORD dwWaiting = InQueue();
        if (nCapacity <= 0 || dwWaiting == 0)
            return m_bGone.load() ? -1 : 0;
        ResetEvent(m_ovRead.hEvent);
        DWORD dwRead = 0;
        if (!ReadFile(m_hPort, pDest, std::min<DWORD>(dwWaiting, static_cast<DWORD>(nCapacity)),
                      &dwRead, &m_ovRead)) {
            // With the port's read time-outs a read completes at once; a deferred one is
            // collected here, which takes no time.
            if (GetLastError() != ERROR_IO_PENDING ||
                !GetOverlappedResult(m_hPort, &m_ovRead, &dwRead, TRUE)) {
                if (IsGoneError(GetLastError())) {
                    m_bGone.store(true);
                    return -1;
                }
                return 0;
            }
        }
        return static_cast<int>(dwRead);
    }

    LineWait Write(const char* pData, int nLength, const CEvent& stop,
                   DWORD dwMilliseconds) override {
        if (m_bGone.load())
            return LineWait::Gone;
        if (stop.IsSet())
            return LineWait::Stopped;
        m_evTxEmpty.Reset(); // the next transmit-empty is the one after these bytes
        ResetEvent(m_ovWrite.hEvent);
        DWORD dwDone = 0;
        if (WriteFile(m_hPort, pData, static_cast<DWORD>(nLength), &dwDone, &m_ovWrite))
            return LineWait::Ready;
        if (GetLastError() != ERROR_IO_PENDING) {
            if (IsGoneError(GetLastError()))
                m_bGone.store(true);
            return m_bGone.load() ? LineWait::Gone : LineWait::TimedOut;
        }
        const HANDLE handles[2] = {stop.Handle(), m_ovWrite.hEvent};
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, dwMilliseconds);
        if (r == WAIT_OBJECT_0 + 1) {
            if (GetOverlappedResult(m_hPort, &m_ovWrite, &dwDone, FALSE) &&
                dwDone == static_cast<DWORD>(nLength))
                return LineWait::Ready;
            // The port's write time-out (8000 + 5 ms a byte) ran out, or the port went away.
            if (IsGoneError(GetLastError()))
                m_bGone.store(true);
            return m_bGone.load() ? LineWait::Gone : LineWait::TimedOut;
        }
        // A stop request or the caller's time: the rest is discarded, and the write must end
        // before its record can be used again.
        CancelIo(m_hPort);
        GetOverlappedResult(m_hPort, &m_ovWrite, &dwDone, TRUE);
        return r == WAIT_OBJECT_0 ? LineWait::Stopped : LineWait::TimedOut;
    }

    LineWait WaitTxDrained(const CEvent& stop, DWORD dwMilliseconds) override {
        if (m_bGone.load())
            return LineWait::Gone;
        const DWORD dwStart = GetTickCount();
        const bool bQueueCount = RunsUnderWine();
        for (;;) {
            // The receive thread reports EV_TXEMPTY: the line has drained. Under Wine the output
            // queue's count is looked at too, in slices (see RunsUnderWine).
            if (m_evTxEmpty.IsSet() || (bQueueCount && OutQueue() == 0))
                return LineWait::Ready;
            if (m_bGone.load())
                return LineWait::Gone;
            // (A port that went away sets no event: it is looked for once a second.)
            DWORD dwSlice = bQueueCount ? 20 : 1000;
            if (dwMilliseconds != INFINITE) {
                const DWORD dwSpent = GetTickCount() - dwStart;
                if (dwSpent >= dwMilliseconds)
                    return LineWait::TimedOut;
                dwSlice = std::min<DWORD>(dwSlice, dwMilliseconds - dwSpent);
            }
            if (WaitForEither(stop, m_evTxEmpty, dwSlice) == WAIT_OBJECT_0)
                return LineWait::Stopped;
        }
    }

    HRESULT SetBreak(bool bOn) override {
        return (bOn ? SetCommBreak(m_hPort) : ClearCommBreak(m_hPort)) ? S_OK : E_FAIL;
    }

    HRESULT SetDtr(bool bOn) override { return Escape(bOn ? SETDTR : CLRDTR); }
    HRESULT SetRts(bool bOn) override { return Escape(bOn ? SETRTS : CLRRTS); }

    HRESULT GetModemStatus(ModemStatus* pStatus) override {
        DWORD dwStatus = 0;
        if (!GetCommModemStatus(m_hPort, &dwStatus))
            return E_FAIL;
        pStatus->bCts = (dwStatus & MS_CTS_ON) != 0;
        pStatus->bDsr = (dwStatus & MS_DSR_ON) != 0;
        pStatus->bDcd = (dwStatus & MS_RLSD_ON) != 0;
        pStatus->bRing = (dwStatus & MS_RING_ON) != 0;
        return S_OK;
    }

private:
    HRESULT Escape(DWORD dwFunction) {
        if (EscapeCommFunction(m_hPort, dwFunction))
            return S_OK;
        // A port without modem lines (Wine on a pseudo-terminal) takes them as done.
        const DWORD dwError = GetLastError();
        return dwError == ERROR_NOT_SUPPORTED || dwError == ERROR_INVALID_FUNCTION ||
                       dwError == ERROR_INVALID_PARAMETER
                   ? S_OK
                   : E_FAIL;
    }

    LineWait WaitGone(const CEvent& stop, DWORD dwMilliseconds) const {
        return stop.Wait(dwMilliseconds) == WAIT_OBJECT_0 ? LineWait::Stopped : LineWait::Gone;
    }

    // The bytes waiting in the driver (ClearCommError also clears the line errors).
    DWORD InQueue() {
        DWORD dwErrors = 0;
        COMSTAT stat{};
        if (!ClearCommError(m_hPort, &dwErrors, &stat)) {
            if (IsGoneError(GetLastError()))
                m_bGone.store(true);
            return 0;
        }
        return stat.cbInQue;
    }

    DWORD OutQueue() {
        DWORD dwErrors = 0;
        COMSTAT stat{};
        if (!ClearCommError(m_hPort, &dwErrors, &stat))
            return 1; // unknown: wait on
        return stat.cbOutQue;
    }

    void OnEvents(DWORD dwMask) {
        if (dwMask & EV_TXEMPTY)
            m_evTxEmpty.Set();
        if (dwMask & EV_BREAK)
            m_nBreaks.fetch_add(1);
    }

    const HANDLE m_hPort;
    std::atomic<bool> m_bGone{false};
    std::atomic<int> m_nBreaks{0}; // breaks seen, not yet handed out by Read
    CEvent m_evTxEmpty{false};      // receive thread -> transmit thread
    // Receive thread only.
    OVERLAPPED m_ovWait;
    DWORD m_dwEvtMask = 0;
    bool m_bWaitPending = false;
    OVERLAPPED m_ovRead;
    // Transmit thread only.
    OVERLAPPED m_ovWrite;
};

} // namespace

HRESULT OpenSystemLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason) {
    if (!ppLine)
        return E_INVALIDARG;
    ppLine->reset();
    const auto fail = [pstrReason](std::string strReason) {
        if (pstrReason)
            *pstrReason = std::move(strReason);
        return E_FAIL;
    };
    if (strName.empty())
        return fail("no port named");
    // COM10 and above exist only in the device namespace; COM1 works either way.
    const std::string strPath =
        strName.find('\\') == std::string::npos ? "\\\\.\\" + strName : strName;
    const HANDLE h = CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(OpenErrorReason(GetLastError(), strName));
    if (GetFileType(h) != FILE_TYPE_CHAR) {
        CloseHandle(h);
        return fail("not a serial port: " + strName + " is not a character device");
    }
    auto pLine = std::make_unique<CWin32Line>(h);
    *ppLine = std::move(pLine);
    return S_OK;
}

std::string RefuseSystemPortName(const std::string& strName) {
    // What a COM name stands for shows only when it is opened (CreateFileA, GetFileType).
    return strName.empty() ? "no port named" : "";
}
