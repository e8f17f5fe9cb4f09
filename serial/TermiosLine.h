#pragma once
// The termios line: a serial device node (/dev/ttyUSB0, /dev/ttyS0, a pseudo-terminal's
// slave) behind the line seam.

#include "serial/ParmrkDecoder.h"
#include "serial/SerialLine.h"
#include "serial/Termios2.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

class CTermiosLine final : public ISerialLine {
public:
    // Opens the device exclusively: open (non-blocking, no controlling terminal), flock,
    // TIOCEXCL, and no other process holding it. S_OK, or E_FAIL with the reason in
    // *pstrReason when it is missing, not ours to open, busy, gone, not a terminal, or one of
    // the session's own terminals. A name without a '/' is looked up under /dev.
    static HRESULT Open(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                        std::string* pstrReason = nullptr);
    // Discards unsent output, gives back the settings found at open, drops the exclusive flag
    // and closes.
    ~CTermiosLine() override;

    HRESULT Configure(const DCB& dcb) override;
    DWORD GetRefusedRate() const override { return m_dwRefusedRate; }
    LineWait WaitRx(const CEvent& stop, DWORD dwMilliseconds) override;
    int Read(char* pDest, int nCapacity, RxInfo& info) override;
    LineWait Write(const char* pData, int nLength, const CEvent& stop,
                   DWORD dwMilliseconds) override;
    int TryWrite(const char* pData, int nLength) override;
    LineWait WaitTxDrained(const CEvent& stop, DWORD dwMilliseconds) override;
    HRESULT SetBreak(bool bOn) override;
    HRESULT SetDtr(bool bOn) override;
    HRESULT SetRts(bool bOn) override;
    HRESULT GetModemStatus(ModemStatus* pStatus) override;
    HRESULT PrepareRaw() override;
    HRESULT SetQueueSizes(int nInBytes, int nOutBytes) override;
    HRESULT PrepareEvents() override;

    int Fd() const { return m_fd; }
    bool IsGone() const { return m_bGone.load(); }

private:
    using Clock = std::chrono::steady_clock;

    explicit CTermiosLine(int fd);
    void MarkGone() { m_bGone.store(true); }
    // Waits on the stop event alone (the line is gone): Stopped, or Gone when the time ran out.
    LineWait WaitGone(const CEvent& stop, DWORD dwMilliseconds) const;
    HRESULT SetModemLine(int nBit, bool bOn);
    // Bytes handed to the driver: when the last of them can have left the wire at the
    // current rate, for adapters that cannot say when their own buffer is empty.
    void NoteWritten(int nBytes);

    const int m_fd;
    Termios2Saved m_saved; // the settings found at open
    std::atomic<bool> m_bGone{false};
    // Time one character takes on the wire, from the last Configure.
    std::atomic<long long> m_nCharNanos{1'041'667}; // 9600 baud, 10 bits
    // Whether TIOCGSERIAL answers: a UART (on board or behind USB) with a buffer of its own.
    bool m_bUart = false;
    // Receive thread only.
    CParmrkDecoder m_decoder;
    // Written by whichever thread writes (Write and TryWrite never overlap), read by the
    // transmit thread's drain wait: the wire's free time in the steady clock's ticks.
    std::atomic<Clock::rep> m_wireFree{0};
    // Transmit thread only.
    bool m_bNoLsr = false;
    // Worker only: RS-485 mode set for RTS toggling.
    bool m_bRs485 = false;
    // The rate the driver read back when the last Configure missed the one asked for, else 0
    // (the caller of Configure asks).
    DWORD m_dwRefusedRate = 0;
};

