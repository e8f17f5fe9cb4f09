#pragma once
// The line seam: what CSerialPort's threads need of a line, whatever carries it (a termios
// device, the simulated unit, ...). Backends are chosen by the form of the port name; front
// ends register the backends they link, and serial/ knows only its own termios line.
//
// Every backend delivers a break from the far side the same way: one 0x00 byte at its place
// in the received stream, counted in RxInfo::nBreaks of the Read that returns it.

#include "platform/Event.h"
#include "platform/Status.h"
#include "platform/Types.h"
#include "serial/PortMode.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

enum class LineWait {
    Ready,    // the awaited condition holds (bytes or a break to read, output drained, written)
    Stopped,  // the stop event is set
    TimedOut, // the time ran out
    Gone,     // the line has gone away (unplugged, hung up); it stays gone
};

// The modem-status inputs of a line, as GetModemStatus reads them.
struct ModemStatus {
    bool bCts = false;
    bool bDsr = false;
    bool bDcd = false; // carrier detect (RLSD)
    bool bRing = false;
};

// What came with the bytes of one Read.
struct RxInfo {
    int nBreaks = 0;     // breaks received; each is also one 0x00 byte in the data
    int nLineErrors = 0; // bytes received with a framing or parity error (delivered as received)
};

class ISerialLine {
public:
    virtual ~ISerialLine() = default;

    // Applies speed, data bits, parity, stop bits and RTS control; raw 8-bit, no flow control,
    // NUL bytes kept. S_OK, or E_FAIL when the line refuses them (a rate the line cannot reach
    // within 2 % included).
    virtual HRESULT Configure(const DCB& dcb) = 0;
    // After a Configure that failed: the rate the line would have run instead of the one asked
    // for (a driver rounds it to what its chip can do), or 0 when that was not the cause.
    virtual DWORD GetRefusedRate() const { return 0; }

    // Waits until there is something to Read, the stop event is set, or the time runs out.
    // A line that has gone away makes this wait on the stop event alone: it never spins.
    virtual LineWait WaitRx(const CEvent& stop, DWORD dwMilliseconds) = 0;

    // The reader's interest (the receive thread's): *pInterest is how many bytes its waiter
    // still needs, 1 when nobody waits. A line that hands bytes over one at a time may end
    // WaitRx only once that many can be read; a break, and the line going away, end it at once.
    // Real lines batch on their own (the UART's FIFO, the adapter's USB frames) and ignore it.
    // The counter outlives the line; the line reads it under its own lock.
    virtual void SetRxInterest(const std::atomic<int>* /*pInterest*/) {}
    // Another thread changed the interest: a WaitRx going on ends by the new count (at once
    // when the waiter is gone, so that a look at the ring sees what has arrived).
    virtual void RxInterestChanged() {}

    // Moves decoded received bytes (at most nCapacity) into pDest without blocking. Returns
    // the count (0 when nothing is waiting), or -1 when the line has gone away. Bytes beyond
    // nCapacity stay for the next call.
    virtual int Read(char* pDest, int nCapacity, RxInfo& info) = 0;

    // Writes all nLength bytes. Ready when they are all handed to the line, Stopped when the
    // stop event cut it short (the rest is discarded), TimedOut after dwMilliseconds, Gone.
    virtual LineWait Write(const char* pData, int nLength, const CEvent& stop,
                           DWORD dwMilliseconds) = 0;

    // Hands bytes to the line without waiting, from the thread that queues them, so that a
    // record starts out when it is sent, not when the transmit thread next runs. Returns how
    // many were taken (0 when the line would make the caller wait), or -1 when the line writes
    // only through Write, or the write failed (Write then meets the fault and reports it).
    // Never called while a Write runs, so the bytes keep their order.
    virtual int TryWrite(const char* /*pData*/, int /*nLength*/) { return -1; }

    // Waits until every byte handed to the line has left it (the transmitter is empty).
    virtual LineWait WaitTxDrained(const CEvent& stop, DWORD dwMilliseconds) = 0;

    // Starts or ends a break condition on the transmit line.
    virtual HRESULT SetBreak(bool bOn) = 0;

    // Raises or drops the modem control lines. Lines that have none (pseudo-terminals)
    // treat these as no-ops and return S_OK.
    virtual HRESULT SetDtr(bool bOn) = 0;
    virtual HRESULT SetRts(bool bOn) = 0;

    // Reads the modem-status inputs (the line doctor watches them follow DTR and RTS through a
    // loopback plug). E_NOTIMPL for a line that has none (a pseudo-terminal), E_FAIL when the
    // line does not answer.
    virtual HRESULT GetModemStatus(ModemStatus* /*pStatus*/) { return E_NOTIMPL; }

    // The set-up steps CSerialPort::Open takes around Configure, each with its own beep code
    // when it fails. A line with nothing to do for a step keeps the default (S_OK).
    // Raw, non-blocking transfer (before Configure).
    virtual HRESULT PrepareRaw() { return S_OK; }
    // The line's own receive and transmit queues (after Configure).
    virtual HRESULT SetQueueSizes(int /*nInBytes*/, int /*nOutBytes*/) { return S_OK; }
    // Whatever the line needs before its first WaitRx.
    virtual HRESULT PrepareEvents() { return S_OK; }
};

// Opens a line by name: S_OK with *ppLine set, E_FAIL when the line is missing or busy, with
// the reason in *pstrReason (may be null) in words an operator can act on.
using LineOpener = std::function<HRESULT(const std::string& strName,
                                         std::unique_ptr<ISerialLine>* ppLine,
                                         std::string* pstrReason)>;

// Registers a backend for names that begin with strPrefix (for example "sim:"). A later
// registration for the same prefix replaces the earlier one.
void RegisterLineBackend(const std::string& strPrefix, LineOpener opener);

// Opens the line a name stands for: a registered prefix picks its backend; any other name is a
// device of the system's own (OpenSystemLine).
HRESULT OpenSerialLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason = nullptr);

// Why a name cannot stand for a port an upload may use, known before anything is opened: no
// device there, no serial device (a directory, /dev/null, the pseudo-terminal multiplexer), the
// session's terminal or a console. "" when nothing speaks against it; a registered backend's
// names are its own affair. The open refuses the same names with the same reasons.
std::string RefusePortName(const std::string& strName);
// The same for a name of the system's own (TermiosLine.cpp, Win32Line.cpp).
std::string RefuseSystemPortName(const std::string& strName);

// "the line refused 738 baud with 8 data bits", and the rate the line would have run instead
// where it says so: "...: the driver runs 1200 baud instead (more than 2 % off)".
std::string DescribeRefusedFrame(DWORD dwBaud, int nDataBits, DWORD dwRefusedRate);

// The system's own serial device behind the seam: the termios line on Linux (TermiosLine.cpp),
// the comm port on Windows (Win32Line.cpp).
HRESULT OpenSystemLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason);
