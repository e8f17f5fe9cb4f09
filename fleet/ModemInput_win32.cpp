// A COM port's modem-status lines: GetCommModemStatus reads them, an overlapped WaitCommEvent
// (EV_RLSD, EV_DSR or EV_CTS) waits for a change, and an event of the watcher's cuts that wait
// short.
#include "fleet/ModemWatch.h"

#include "platform/SystemErrorText.h"
#include "platform/Win32.h"

namespace fleet {

namespace {

class CommModemInput final : public IModemInput {
public:
    CommModemInput(std::string strPort, DWORD dwStatusBit, DWORD dwEvent)
        : m_strPort(std::move(strPort)), m_dwStatusBit(dwStatusBit), m_dwEvent(dwEvent),
          m_hIo(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_hInterrupt(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~CommModemInput() override {
        Close();
        for (const HANDLE h : {m_hIo, m_hInterrupt}) {
            if (h)
                CloseHandle(h);
        }
    }

    bool Open(std::string& strError) override {
        // COM10 and up are reached only through "\\.\".
        const std::string name =
            m_strPort.find('\\') == std::string::npos ? "\\\\.\\" + m_strPort : m_strPort;
        m_hPort = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        if (m_hPort == INVALID_HANDLE_VALUE) {
            m_hPort = nullptr;
            strError = m_strPort + ": cannot open: " + SystemErrorText(GetLastError());
            return false;
        }
        SetCommMask(m_hPort, m_dwEvent);
        return true;
    }
    void Close() override {
        if (m_hPort)
            CloseHandle(m_hPort);
        m_hPort = nullptr;
    }
    int Level(std::string& strError) override {
        DWORD dwStatus = 0;
        if (!GetCommModemStatus(m_hPort, &dwStatus)) {
            strError =
                m_strPort + ": no modem-status lines (" + SystemErrorText(GetLastError()) + ")";
            return -1;
        }
        return (dwStatus & m_dwStatusBit) != 0 ? 1 : 0;
    }
    Wait WaitChange(std::string& strError) override {
        OVERLAPPED ov{};
        ov.hEvent = m_hIo;
        ResetEvent(m_hIo);
        DWORD dwEvents = 0;
        if (WaitCommEvent(m_hPort, &dwEvents, &ov))
            return Wait::Changed;
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            const HANDLE handles[2] = {m_hIo, m_hInterrupt};
            const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0)
                SetCommMask(m_hPort, m_dwEvent); // ends the wait, which is then collected
            DWORD n = 0;
            const bool bOk = GetOverlappedResult(m_hPort, &ov, &n, TRUE) != FALSE;
            if (r == WAIT_OBJECT_0 + 1)
                return Wait::Interrupted;
            if (bOk)
                return Wait::Changed;
            dwError = GetLastError();
        }
        strError = m_strPort + ": cannot wait for the modem lines (" + SystemErrorText(dwError) + ")";
        // The driver has no such wait, as opposed to a port that went away.
        const bool bNoWait = dwError == ERROR_NOT_SUPPORTED || dwError == ERROR_INVALID_FUNCTION ||
                             dwError == ERROR_INVALID_PARAMETER;
        return bNoWait ? Wait::Unsupported : Wait::Failed;
    }
    void Interrupt() override { SetEvent(m_hInterrupt); }

private:
    std::string m_strPort;
    DWORD m_dwStatusBit;
    DWORD m_dwEvent;
    HANDLE m_hPort = nullptr;
    HANDLE m_hIo;
    HANDLE m_hInterrupt; // auto-reset: one interrupt ends one wait
};

} // namespace

std::unique_ptr<IModemInput> MakeTtyModemInput(const std::string& strDevice, ModemLine line) {
    switch (line) {
    case ModemLine::Dcd:
        return std::make_unique<CommModemInput>(strDevice, MS_RLSD_ON, EV_RLSD);
    case ModemLine::Dsr:
        return std::make_unique<CommModemInput>(strDevice, MS_DSR_ON, EV_DSR);
    case ModemLine::Cts:
        break;
    }
    return std::make_unique<CommModemInput>(strDevice, MS_CTS_ON, EV_CTS);
}

} // namespace fleet
