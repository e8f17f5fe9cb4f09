#include "SimTestSupport.h"

#include "../TestTempDir.h"
#include "platform/Sleep.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace simtest {

TempDir::TempDir() {
    m_path = MakeTestTempDir("morfw-sim-").string() + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void WriteFileBytes(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

Bytes Filler(int n, std::uint32_t seed) {
    Bytes b(static_cast<std::size_t>(n));
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<BYTE>(x >> 24);
    }
    if (!b.empty() && b[0] == 0)
        b[0] = 0x5A;
    return b;
}

std::string MakeS19(const Bytes& data, std::uint16_t wStart, int nPerLine) {
    std::string s = "S00600004844521B\r\n";
    char buf[16];
    for (std::size_t off = 0; off < data.size(); off += static_cast<std::size_t>(nPerLine)) {
        const int n = static_cast<int>(std::min<std::size_t>(nPerLine, data.size() - off));
        const unsigned addr = (wStart + off) & 0xFFFFu;
        unsigned sum = static_cast<unsigned>(n + 3) + (addr >> 8) + (addr & 0xFF);
        std::snprintf(buf, sizeof buf, "S1%02X%04X", n + 3, addr);
        s += buf;
        for (int i = 0; i < n; ++i) {
            const BYTE v = data[off + static_cast<std::size_t>(i)];
            sum += v;
            std::snprintf(buf, sizeof buf, "%02X", v);
            s += buf;
        }
        std::snprintf(buf, sizeof buf, "%02X\r\n", (~sum) & 0xFFu);
        s += buf;
    }
    s += "S9030000FC\r\n";
    return s;
}

SmallSet WriteSmallSet(const std::string& dir, int nShutup, int nBootI, int nSBoot, int nKernel,
                       int nFirmware) {
    SmallSet set;
    set.shutup = Filler(nShutup, 1);
    set.booti = Filler(nBootI, 2);
    set.sboot = Filler(nSBoot, 3);
    set.kernel = Filler(nKernel, 4);
    set.firmware = Filler(nFirmware, 5);
    WriteFileBytes(dir + "Shutup.bin", set.shutup);
    WriteFileBytes(dir + "BootI.bin", set.booti);
    WriteFileBytes(dir + "SBoot.bin", set.sboot);
    WriteFileText(dir + "kernimg.s19", MakeS19(set.kernel, 0x0000, 32));
    WriteFileText(dir + "Morvane.s19", MakeS19(set.firmware, 0x4000, 32));
    WriteFileText(dir + "MorFWImg.ini", "[Firmware_Info]\r\nVerion=test set\r\n");
    return set;
}

std::vector<SimRecord> BinRecords(const Bytes& data, std::int32_t nBase) {
    std::vector<SimRecord> out;
    for (std::size_t off = 0; off < data.size(); off += 64) {
        const std::size_t n = std::min<std::size_t>(64, data.size() - off);
        const std::int32_t full = nBase + static_cast<std::int32_t>(off);
        SimRecord r;
        r.cBank = full >= 0x10000 ? '1' : '0';
        r.wAddr = static_cast<std::uint16_t>(full & 0xFFFF);
        r.data.assign(data.begin() + static_cast<std::ptrdiff_t>(off),
                      data.begin() + static_cast<std::ptrdiff_t>(off + n));
        out.push_back(r);
    }
    return out;
}

std::vector<SimRecord> S19Records(const Bytes& data, std::uint16_t wStart, char cBank) {
    std::vector<SimRecord> out;
    for (std::size_t off = 0; off < data.size(); off += 32) {
        const std::size_t n = std::min<std::size_t>(32, data.size() - off);
        SimRecord r;
        r.cBank = cBank;
        r.wAddr = static_cast<std::uint16_t>((wStart + off) & 0xFFFF);
        r.data.assign(data.begin() + static_cast<std::ptrdiff_t>(off),
                      data.begin() + static_cast<std::ptrdiff_t>(off + n));
        out.push_back(r);
    }
    return out;
}

Bytes MakeRecord(char cBank, std::uint16_t wAddr, const Bytes& data) {
    Bytes r = {'L',
               'R',
               static_cast<BYTE>(cBank),
               static_cast<BYTE>(wAddr >> 8),
               static_cast<BYTE>(wAddr & 0xFF),
               static_cast<BYTE>(data.size())};
    unsigned sum = r[3] + r[4] + r[5];
    for (BYTE b : data) {
        r.push_back(b);
        sum += b;
    }
    r.push_back(static_cast<BYTE>(sum));
    return r;
}

void ScriptHost::SetBaud(DWORD baud) {
    DCB dcb;
    dcb.BaudRate = baud;
    m_line.Configure(dcb);
}

namespace {

// Where the unit takes a drop of DTR and RTS that comes d ms after the end of "Q!X": too
// early, in time, or too late (the unit allows 25 ms before and 50 ms after).
int DropZone(double dMs) {
    return dMs < -25.0 ? -1 : dMs > 50.0 ? 1 : 0;
}

} // namespace

void ScriptHost::Unlock(int nDropAfterMs) {
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    const double dCharsMs = 3 * 10'000.0 / 300; // "Q!X" at 300 baud
    const int nMeant = DropZone(nDropAfterMs - dCharsMs);
    for (int nAttempt = 0;; ++nAttempt) {
        const SimStats before = m_line.GetReport().stats;
        SetBaud(300);
        m_line.SetDtr(true);
        m_line.SetRts(true);
        const auto tSendFrom = Clock::now();
        Send(std::string("Q!X"));
        const auto tSendTo = Clock::now();
        Sleep(static_cast<DWORD>(nDropAfterMs));
        const auto tDropFrom = Clock::now();
        m_line.SetDtr(false);
        m_line.SetRts(false);
        const auto tDropTo = Clock::now();
        Sleep(50);
        Drain();
        // The unit judges the drop on its own thread, which may run late too: its verdict is
        // awaited, so that it is told apart from the next attempt's.
        SimStats after = m_line.GetReport().stats;
        for (int n = 0; n < 400 && after.nUnlocks + after.nUnlocksRefused ==
                                      before.nUnlocks + before.nUnlocksRefused;
             ++n) {
            Sleep(5);
            after = m_line.GetReport().stats;
        }
        // The drop's place as this thread saw it, at its earliest and latest: when the thread
        // ran late, the unit may rightly have judged another drop than the one meant.
        const double dEarliest = ms(tDropFrom - tSendTo) - dCharsMs;
        const double dLatest = ms(tDropTo - tSendFrom) - dCharsMs;
        if ((DropZone(dEarliest) == nMeant && DropZone(dLatest) == nMeant) || nAttempt == 20)
            return;
        m_redone.nAccepted += after.nUnlocks - before.nUnlocks;
        m_redone.nRefused += after.nUnlocksRefused - before.nUnlocksRefused;
    }
}

void ScriptHost::Break() {
    m_line.SetBreak(true);
    Sleep(1);
    m_line.SetBreak(false);
}

void ScriptHost::Send(const Bytes& data) {
    m_line.Write(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), m_stop,
                 1000);
}

bool ScriptHost::Drain(DWORD ms) {
    return m_line.WaitTxDrained(m_stop, ms) == LineWait::Ready;
}

Received ScriptHost::ReadFor(int ms, bool bUntilBreak, int nAfterBreak) {
    Received r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int breakAt = -1;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        const LineWait w = m_line.WaitRx(m_stop, static_cast<DWORD>(left));
        if (w != LineWait::Ready)
            break;
        // One byte per read, so that each break is placed exactly.
        for (;;) {
            char c;
            RxInfo info;
            const int n = m_line.Read(&c, 1, info);
            if (n <= 0)
                break;
            if (info.nBreaks > 0) {
                if (breakAt < 0)
                    breakAt = static_cast<int>(r.bytes.size());
                r.breaks.push_back(static_cast<int>(r.bytes.size()));
            }
            r.bytes.push_back(static_cast<BYTE>(c));
            r.nLineErrors += info.nLineErrors;
            if (bUntilBreak && breakAt >= 0 &&
                static_cast<int>(r.bytes.size()) >= breakAt + 1 + nAfterBreak)
                return r;
        }
    }
    return r;
}

Received ScriptHost::Command(const Bytes& frame, int nAfter, int waitMs) {
    Break();
    Send(frame);
    Drain();
    return ReadFor(waitMs, true, nAfter);
}

Received ScriptHost::Bootstrap(const Bytes& image, DWORD baud, bool* pbUnlockBreak) {
    Unlock();
    SetBaud(baud);
    const Received unlockAnswer = ReadFor(1000, true, 0);
    if (pbUnlockBreak)
        *pbUnlockBreak = !unlockAnswer.breaks.empty();
    Bytes frame(1, 0xFF);
    frame.reserve(1 + image.size());
    frame.insert(frame.end(), image.begin(), image.end());
    Send(frame);
    Drain(static_cast<DWORD>(image.size() * 90 + 1000));
    return ReadFor(2000, true, 0);
}

} // namespace simtest
