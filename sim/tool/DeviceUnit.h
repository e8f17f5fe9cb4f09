#pragma once
// The simulated unit on a real serial device: the unit side of a null-modem cable. The host's
// DTR and RTS arrive as this side's DSR and CTS inputs, its breaks through the line's break
// detection, and the unit's characters and breaks go out at the moments the unit schedules them.

#include "platform/Event.h"
#include "serial/SerialLine.h"
#include "sim/SimOptions.h"
#include "sim/SimRandom.h"
#include "sim/SimUnit.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Watches the modem-status inputs of a device (TIOCMIWAIT on a descriptor of its own).
class CModemWatch {
public:
    using Notify = std::function<void(bool bDtr, bool bRts, SimTime t)>;

    CModemWatch() = default;
    ~CModemWatch() { Stop(); }
    CModemWatch(const CModemWatch&) = delete;
    CModemWatch& operator=(const CModemWatch&) = delete;

    // Opens strDevice for the status lines and reports the present levels at once. False when
    // the device has no modem lines (a pseudo-terminal); *pstrError says why.
    bool Start(const std::string& strDevice, Notify notify, std::string* pstrError);
    // Ends the watching thread (within a fraction of a second) and closes the descriptor.
    void Stop();

private:
    void Run();
    bool ReadLevels(bool& bDtr, bool& bRts) const;

    int m_fd = -1;
    Notify m_notify;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bEnded{false};
};

class CDeviceUnit final : private ISimUnitOutput {
public:
    struct Settings {
        std::string strDevice;
        SimOptions opts;
        bool bAssumeLines = false; // no modem lines: take "Q!X" at 300 baud as the unlock
        bool bVerbose = false;
    };
    using Print = std::function<void(const std::string&)>;

    CDeviceUnit(Settings settings, Print print);
    ~CDeviceUnit() override;

    // Opens the device and the modem watch. S_OK, or E_FAIL with *pstrError.
    HRESULT Open(std::string* pstrError);
    // Runs the unit until stop is set. Returns 0, or 1 when the line went away.
    int Run(const CEvent& stop);
    SimReport Report() const { return m_pUnit ? m_pUnit->Report() : SimReport{}; }
    // Set it (with the stop) to end Run's current wait; safe from a signal handler.
    CEvent& WakeEvent() { return m_wake; }

private:
    struct OutItem {
        bool bBreak = false;
        BYTE value = 0;
        DWORD dwBaud = 0;
        SimTime start{};
        SimTime end{};
    };

    void EmitByte(BYTE value, DWORD dwBaud, SimTime start, SimTime end) override;
    void EmitBreak(SimTime start, SimTime end) override;
    SimTime CancelFrom(SimTime t) override;

    bool SetRate(DWORD dwBaud);
    void SendDue(const CEvent& stop);
    void ReadChars();
    void DeliverChar(BYTE value, bool bError, SimTime end);
    void FlushAssumedUnlock(SimTime now, bool bAll);

    Settings m_set;
    Print m_print;
    std::unique_ptr<ISerialLine> m_pLine;
    std::unique_ptr<CSimUnit> m_pUnit;
    CModemWatch m_modem;
    CEvent m_wake; // a modem change or the stop
    DWORD m_dwRate = 0;
    std::deque<OutItem> m_out;
    CBitNoise m_noiseOut;
    CBitNoise m_noiseIn;
    int m_nAnsweredRecords = 0;
    bool m_bUnplugged = false;

    std::mutex m_modemMutex;
    std::deque<std::tuple<bool, bool, SimTime>> m_modemEvents;

    // Without modem lines: characters at 300 baud held back until they show whether they are
    // an unlock.
    std::deque<std::tuple<BYTE, bool, SimTime>> m_held;
};
