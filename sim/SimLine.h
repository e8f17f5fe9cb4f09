#pragma once
// The "sim:" line: a serial line with a simulated unit at its far end, driven in real time by a
// thread of its own. Every character takes 10 bit times at its sender's rate; a receiver whose
// rate differs by more than 3 % gets a garbled character or a framing error; breaks are seen at
// any rate; DTR and RTS are levels the unit watches. Characters reach the host's receive side at
// the moments they would on a real line.
//
// With loopback=1 the far end is a loopback plug instead of the unit: TX joined to RX, RTS to
// CTS, DTR to DSR and DCD. What the host sends comes back at the rate the host's adapter really
// runs, its breaks come back as the adapter reports them (a CH340's faked break as a plain 0x00
// of about 196 ms), and GetModemStatus shows the host's own DTR and RTS.

#include "serial/SerialLine.h"
#include "sim/SimOptions.h"
#include "sim/SimRandom.h"
#include "sim/SimUnit.h"
#include "sim/SimWait.h"

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/TimerResolution.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

class CSimLine final : public ISerialLine, private ISimUnitOutput {
public:
    // Opens a simulated unit from a port name ("sim:" and its options). S_OK with *ppLine set;
    // E_FAIL when an option is wrong or the unit's image set cannot be read (*pstrError, when
    // not null, says which).
    static HRESULT Open(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                        std::string* pstrError = nullptr);
    static HRESULT Open(const SimOptions& opts, std::unique_ptr<CSimLine>* ppLine,
                        std::string* pstrError = nullptr);

    // Stops the unit's thread, writes the dump file (dump=) and passes the report to the
    // observer (SetSimReportObserver).
    ~CSimLine() override;

    HRESULT Configure(const DCB& dcb) override;
    DWORD GetRefusedRate() const override;
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
    void SetRxInterest(const std::atomic<int>* pInterest) override;
    void RxInterestChanged() override;

    // A copy of what the unit holds now.
    SimReport GetReport() const;
    // The unit's state by name ("idle", "first loader", ...), for tests and traces.
    std::string GetUnitState() const;
    const SimOptions& Options() const { return m_opts; }

private:
    CSimLine(const SimOptions& opts, SimKnownImages images);

    struct HostItem { // a character or a break from the host, on its way to the unit
        bool bBreak = false;
        BYTE lineValue = 0;
        bool bFrameError = false; // a start or stop bit flipped on the way
        DWORD dwBaud = 0;
        bool b8N1 = true; // the host's framing was the unit's
        SimTime start{};
        SimTime end{};
    };
    struct ModemItem {
        bool bDtr = false;
        bool bRts = false;
        SimTime t{};
    };
    struct OutItem { // a character or a break from the unit, on its way to the host
        bool bBreak = false;
        BYTE lineValue = 0;
        bool bFrameError = false;
        DWORD dwBaud = 0;
        SimTime start{};
        SimTime end{};
        SimTime due{};        // when the host's receiver has it: a break once it has lasted a
                              // character time, a character at its end
        DWORD dwHostBaud = 0; // the host's rate when it received it, once the host changed rate
        bool bHost8N1 = true;
        bool bOwnFakeBreak = false; // a loopback's own faked break, received at the fake rate
    };

    // ISimUnitOutput (called by the unit under m_mutex).
    void EmitByte(BYTE value, DWORD dwBaud, SimTime start, SimTime end) override;
    void EmitBreak(SimTime start, SimTime end) override;
    SimTime CancelFrom(SimTime t) override;

    DWORD UnitThread(void*);
    SimTime Advance(SimTime now); // under m_mutex: hands the unit what is due, returns next wake
    SimTime UnitWake() const;     // under m_mutex: the next moment the unit must look
    void DeliverToUnit(const HostItem& item);
    void ScheduleHostBytes(const BYTE* pData, int nLength, SimTime now);
    // Loopback: what the host sent, on its way back to the host's own receiver.
    void LoopBack(const HostItem& item, bool bFakeBreak = false);
    void SetModem(bool bDtr, bool bRts, SimTime now);
    bool IsGone(SimTime now) const { return now >= m_goneAt; }
    // When the host's adapter hands over what its receiver had at t (its latency batches).
    SimTime HandedOverAt(SimTime t) const;
    // Whether a character received over [start, end) was garbled by a fake break of the host.
    bool InFakeBreak(SimTime start, SimTime end);
    LineWait WaitGone(const CEvent& stop, SimTime deadline);
    // Under m_mutex: how many characters the host's reader waits for (at least 1).
    std::size_t RxInterest() const;
    // Under m_mutex: when the host's reader must be woken: the character that completes what
    // it waits for has arrived, a break has, or the line has gone with bytes left to read.
    SimTime RxReadyAt() const;
    // Under m_mutex, after m_toHost got its newest item: the reader's alarm for it.
    void OnQueuedForHost();
    void FinishReport();

    const SimOptions m_opts;
    const SimAdapterModel m_adapter;
    const SimTime m_openedAt;
    mutable std::mutex m_mutex;
    std::unique_ptr<CSimUnit> m_pUnit;

    // Host side.
    DWORD m_dwHostBaud = 9600;
    bool m_bHost8N1 = true;
    DWORD m_dwRefusedRate = 0; // what the adapter would have run at the last refused Configure
    SimTime m_txFreeAt{};
    bool m_bBreakOn = false;
    SimTime m_breakSetAt{};
    SimTime m_breakStart{};
    std::vector<BYTE> m_held; // written during a break: they follow it
    bool m_bFakeBreakOn = false;
    std::deque<std::pair<SimTime, SimTime>> m_fakeBreaks; // the host's fake breaks on the line
    bool m_bDtr = false;
    bool m_bRts = false;
    SimTime m_goneAt = kSimNever;

    std::deque<HostItem> m_toUnit;
    std::deque<ModemItem> m_modem;
    std::deque<OutItem> m_toHost;
    const std::atomic<int>* m_pRxInterest = nullptr; // the host's reader's, for the line's life

    CBitNoise m_noiseToUnit;
    CBitNoise m_noiseToHost;
    CSimRandom m_garbleAtUnit;
    CSimRandom m_garbleAtHost;

    CEvent m_evStop;
    CSimAlarm m_unitAlarm; // the unit's next look, brought forward by what the host does
    CSimAlarm m_rxAlarm;   // the next moment the host's receiver has something
    CEvent m_evTx;         // the host's transmit side changed
    CThread m_thread;
    CThreadThunk* m_pThunk = nullptr;
    // The line's moments are met to the millisecond for as long as it is open, and no longer.
    CTimerResolutionScope m_timerResolution;
};

// Registers the "sim:" backend with the port-name registry; front ends call it once at start-up.
void RegisterSimLineBackend();

// The image set the unit knows when no images= option is given. By default the one the upload
// in the same process loads: "MorFWImg/" beside the program. A front end whose upload loads
// another directory (a command-line option) sets it here.
void SetSimDefaultImageDir(const std::string& strDir);
std::string GetSimDefaultImageDir();

// Called with the unit's report and options each time a simulated line closes.
using SimReportObserver = std::function<void(const SimReport&, const SimOptions&)>;
void SetSimReportObserver(SimReportObserver observer);
