#pragma once
// The simulated Morvane 2000 unit: its boot ROM (unlock and bootstrap load), the first loader that
// "BootI.bin" starts, the second loader that the first one's "RC" restarts into, and the memory of
// every record it accepted. The unit is driven by events with their times on the line (a
// character's start and end, a break, a change of DTR or RTS) and schedules its own characters
// at their times; whoever drives it (the simulated line, or a real serial device) delivers them.

#include "platform/Types.h"
#include "sim/SimOptions.h"
#include "sim/SimRandom.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;
using SimDuration = std::chrono::nanoseconds;

inline constexpr SimTime kSimNever = SimTime::max();

// One character (start bit, 8 data bits, stop bit) at the given rate.
inline SimDuration SimCharTime(DWORD dwBaud) {
    return SimDuration(static_cast<std::int64_t>(10'000'000'000.0 / dwBaud + 0.5));
}
inline SimDuration SimMilliseconds(double dMs) {
    return SimDuration(static_cast<std::int64_t>(dMs * 1'000'000.0 + 0.5));
}

// The loader's speed and the rate of the unlock.
inline constexpr DWORD kSimLoaderBaud = 38400;
inline constexpr DWORD kSimUnlockBaud = 300;
// A break from the unit lasts this many character times at its current rate.
inline constexpr int kSimBreakChars = 2;

enum class SimPhase { SBoot = 0, Kernel = 1, Firmware = 2 };
inline constexpr int kSimPhaseCount = 3;
// "sboot", "kernel", "firmware": the names the dump file uses.
const char* SimPhaseName(SimPhase phase);

// One accepted load record.
struct SimRecord {
    char cBank = '0';        // '0' or '1'
    std::uint16_t wAddr = 0; // 16-bit address
    std::vector<BYTE> data;
    bool operator==(const SimRecord&) const = default;
};

struct SimStats {
    int nUnlocks = 0;        // unlock sequences accepted
    int nUnlocksRefused = 0; // DTR/RTS windows that did not hold a valid unlock
    int nLeadRefused = 0;    // bootstrap lead characters at a rate the unit does not accept
    int nBootLoads = 0;      // images loaded in bootstrap mode
    int nRecordFrames = 0;   // load records received (every one, also ignored or dropped ones)
    int nKept = 0;           // records kept (repeats included)
    int nRepeats = 0;        // kept records that rewrote the one before (the host sent it again)
    int nRefused = 0;        // records refused (checksum, header or bank wrong)
    int nDropped = 0;        // records left unanswered on purpose (drop=)
    int nBadAcks = 0;        // answers sent with a wrong byte on purpose (badack=)
    int nCommands = 0;       // commands answered or acted on ("OK", "RC", "B0C")
};

// What the unit holds: the records of every phase in the order accepted, and its counters.
struct SimReport {
    std::array<std::vector<SimRecord>, kSimPhaseCount> memory;
    SimStats stats;
    std::vector<std::string> runs; // what the unit ran after each bootstrap load, in order
    bool bFirmwareStarted = false; // the final "RC" was answered
};

// Writes the dump file: one line per record in the order accepted ("sboot 0 0500 0A1B..."):
// phase, bank digit, address as 4 hexadecimal digits, data in hexadecimal (upper case).
bool WriteSimDump(const SimReport& report, const std::string& strPath);
std::string FormatSimDump(const SimReport& report);
// Whether the dump file can be written (a directory, or a path in a missing folder, cannot),
// checked when the line opens so that a bad dump= fails there with its reason instead of
// losing the dump silently at the end. Creates the file, empty, when it does not exist.
bool CheckSimDumpFile(const std::string& strPath, std::string* pstrError);

// The two boot images the unit recognises when it has loaded one in bootstrap mode.
struct SimKnownImages {
    std::vector<BYTE> shutup; // "Shutup.bin": the unit then waits for the next unlock
    std::vector<BYTE> booti;  // "BootI.bin": the unit starts its first loader at 38400 baud
};
// Reads "Shutup.bin" and "BootI.bin" from strImageDir. False with *pstrError set when either is
// missing or unreadable.
bool LoadSimKnownImages(const std::string& strImageDir, SimKnownImages& images,
                        std::string* pstrError);

// One character as the unit's receiver got it.
struct SimRxChar {
    BYTE value = 0;             // as decoded at the unit's receive rate
    bool bFramingError = false; // no valid stop bit
    BYTE lineValue = 0;         // the data bits as they were on the line (rate measurement)
    DWORD dwSenderBaud = 0;     // the rate the host sent it at
    SimTime start{};
    SimTime end{};
};

// Where the unit's transmitter puts its characters. Items come in time order.
class ISimUnitOutput {
public:
    virtual ~ISimUnitOutput() = default;
    virtual void EmitByte(BYTE value, DWORD dwBaud, SimTime start, SimTime end) = 0;
    virtual void EmitBreak(SimTime start, SimTime end) = 0;
    // Drops scheduled output that begins at or after t (the unit was reset). Returns the end of
    // what is left (a character under way finishes), or an earlier time when nothing is.
    virtual SimTime CancelFrom(SimTime t) = 0;
};

class CSimUnit {
public:
    using LogFn = std::function<void(const std::string&)>;

    CSimUnit(const SimOptions& opts, SimKnownImages images, ISimUnitOutput& out, LogFn log = {});

    // Host events, delivered in time order (a character at its end).
    void OnModemLines(bool bDtr, bool bRts, SimTime t);
    void OnBreak(SimTime start, SimTime end);
    void OnChar(const SimRxChar& c);
    // The unit's own timer: call when the clock has reached Deadline().
    void OnTimer(SimTime now);
    SimTime Deadline() const { return m_deadline; }

    // The rate the unit's receiver is set to; 0 while it measures the host's rate.
    DWORD RxBaud() const;
    // What the line can say of the characters on their way: peek(i) is the value of the i-th
    // (from 0), kPeekDamaged when it will arrive damaged or garbled, kPeekNone when the line
    // holds no such character before the next break.
    static constexpr int kPeekDamaged = -1;
    static constexpr int kPeekNone = -2;
    using Peek = std::function<int(std::size_t)>;
    // How many of those characters the unit takes before it reacts to one (1: it reacts to each,
    // as when it echoes; a record is taken whole), or a large number when none of them will
    // make it react. A change of the modem lines always matters. A break makes the unit do
    // nothing at once (it sends nothing and sets no timer; a loader opens a new frame), so the
    // line may hand it over with what follows: bAfterBreak asks about the characters behind a
    // break the unit has not been handed yet.
    int CharsWanted(const Peek& peek, bool bAfterBreak = false) const;
    // When the unit's transmitter has sent everything scheduled so far.
    SimTime TxIdleAt() const { return m_txFreeAt; }

    const SimReport& Report() const { return m_report; }
    const char* StateName() const;

private:
    enum class State { Idle, Reset, Unlocking, BootLead, BootLoading, Loader1, Loader2 };

    void Log(const std::string& strText) const;
    void EnterReset(SimTime t);
    void EvaluateUnlock(SimTime now);
    void FinishBootLoad(SimTime now);
    void OnLoaderChar(const SimRxChar& c);
    void HandleRecord(SimTime end);
    void HandleCommand(SimTime end);
    void Keep(SimPhase phase, SimRecord rec);

    void SendByte(BYTE value, SimTime notBefore);
    void SendBreak(SimTime notBefore);
    void SendAnswer(SimTime notBefore, const BYTE* pBytes, int nCount);

    SimOptions m_opts;
    SimKnownImages m_images;
    ISimUnitOutput& m_out;
    LogFn m_log;
    CSimRandom m_rand;

    State m_state = State::Idle;
    bool m_bDtr = false;
    bool m_bRts = false;
    SimTime m_deadline = kSimNever;

    // Transmitter.
    DWORD m_txBaud;
    SimTime m_txFreeAt{};

    // Unlock window: opened when both lines are raised.
    SimTime m_tRaise{};
    SimTime m_tFirstDrop = kSimNever;
    SimTime m_tDrop{};
    std::vector<SimRxChar> m_unlockChars;

    // Bootstrap load.
    DWORD m_bootBaud = 0;
    std::vector<BYTE> m_image;
    bool m_bImageBad = false;

    // Loader frame: opened by a host break.
    bool m_bFrameOpen = false;
    std::vector<BYTE> m_frame;
    SimPhase m_phase = SimPhase::SBoot;
    SimTime m_readyAt{};

    SimReport m_report;
};
