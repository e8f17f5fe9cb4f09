#pragma once
// Helpers for the simulated unit's tests: a scratch directory with small images, and a scripted
// host that drives a simulated line the way the upload stages do, from the test's own thread.

#include "platform/Event.h"
#include "platform/Types.h"
#include "sim/SimLine.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<BYTE>;

// A fresh directory below the system's temporary directory, removed with its files at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; } // ends in '/'
    std::string File(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

void WriteFileBytes(const std::string& path, const Bytes& data);
void WriteFileText(const std::string& path, const std::string& text);
std::string ReadFileText(const std::string& path);

// Deterministic filler bytes that never begin with 0x00.
Bytes Filler(int n, std::uint32_t seed);

// An S-record text with S0, one S1 line per chunk of nPerLine bytes from wStart, and S9.
std::string MakeS19(const Bytes& data, std::uint16_t wStart, int nPerLine);

// A small, complete image set in dir (with MorFWImg.ini): Shutup.bin and BootI.bin of the given
// sizes, SBoot.bin of nSBoot bytes, kernimg.s19 and Morvane.s19 with nKernel and nFirmware bytes
// in lines of 32.
struct SmallSet {
    Bytes shutup, booti, sboot, kernel, firmware;
};
SmallSet WriteSmallSet(const std::string& dir, int nShutup = 24, int nBootI = 40, int nSBoot = 200,
                       int nKernel = 96, int nFirmware = 128);

// The records a phase must hold after an upload of an image: binary chunks of 64 from nBase, or
// the S1 lines of 32 from wStart.
std::vector<SimRecord> BinRecords(const Bytes& data, std::int32_t nBase);
std::vector<SimRecord> S19Records(const Bytes& data, std::uint16_t wStart, char cBank);

// What a host read from the line: the bytes, and where breaks stood among them.
struct Received {
    Bytes bytes;             // a break shows as a 0x00 here
    std::vector<int> breaks; // indexes in bytes of the breaks' 0x00
    int nLineErrors = 0;
};

// Drives a simulated line from the calling thread as the stages do.
class ScriptHost {
public:
    explicit ScriptHost(CSimLine& line) : m_line(line) {}

    void SetBaud(DWORD baud);
    // The unlock sequence of the stages: 300 baud, DTR and RTS up, "Q!X", 100 ms, both down,
    // 50 ms, drained. nDropAfterMs moves the drop. On a busy machine the drop may come later
    // than meant; an attempt whose drop the unit could judge otherwise than meant is made
    // again (raising both lines resets the unit), and counted in Redone().
    void Unlock(int nDropAfterMs = 100);
    struct UnlockCount {
        int nAccepted = 0;
        int nRefused = 0;
    };
    // The unit's verdicts on the attempts Unlock made again: to be taken off its statistics.
    UnlockCount Redone() const { return m_redone; }
    // A host break of about 1 ms.
    void Break();
    void Send(const Bytes& data);
    void Send(const std::string& text) { Send(Bytes(text.begin(), text.end())); }
    bool Drain(DWORD ms = 2000);
    // Reads for ms milliseconds; with bUntilBreak it stops after the first break's 0x00 and
    // then reads until nAfterBreak further bytes arrived (or the time ran out).
    Received ReadFor(int ms, bool bUntilBreak = false, int nAfterBreak = 0);
    // A host break, the frame, and the answer (read until the break and nAfter bytes).
    // waitMs is a limit, not a pause: the answer ends the wait.
    Received Command(const Bytes& frame, int nAfter, int waitMs = 2000);
    Received Command(const std::string& text, int nAfter, int waitMs = 2000) {
        return Command(Bytes(text.begin(), text.end()), nAfter, waitMs);
    }
    // Stage 1/2 style bootstrap of an image at baud: unlock, rate switch, break, frame, echo.
    // Returns what came back after the frame (echo and break).
    Received Bootstrap(const Bytes& image, DWORD baud, bool* pbUnlockBreak = nullptr);

    CEvent& Stop() { return m_stop; }

private:
    CSimLine& m_line;
    CEvent m_stop;
    UnlockCount m_redone;
};

// A load record as the host builds it.
Bytes MakeRecord(char cBank, std::uint16_t wAddr, const Bytes& data);

} // namespace simtest
