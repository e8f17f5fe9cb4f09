#include "sim/SimUnit.h"

#include "image/FileImg.h"

#include "platform/PrintableText.h"
#include "platform/ProgramDir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

// The unlock's drop of DTR and RTS may come this much before the end of the last stop bit of
// "Q!X" (the host's transmit thread started late) or after it (the host's 100 ms sleep ran long).
const SimDuration kDropEarly = SimMilliseconds(25);
const SimDuration kDropLate = SimMilliseconds(50);
// The unit's autobaud accepts a measured rate within this share of a rate it knows.
constexpr double kRateTolerance = 0.03;
// Bootstrap mode takes the image as complete after this many idle character times.
constexpr int kIdleChars = 4;
constexpr int kMany = 1 << 20;

bool ReadFile(const std::string& strPath, std::vector<BYTE>& data) {
    std::FILE* f = std::fopen(strPath.c_str(), "rb");
    if (!f)
        return false;
    data.clear();
    BYTE buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    const bool bOk = !std::ferror(f);
    std::fclose(f);
    return bOk;
}

std::string Hex2(unsigned v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

} // namespace

const char* SimPhaseName(SimPhase phase) {
    switch (phase) {
    case SimPhase::SBoot:
        return "sboot";
    case SimPhase::Kernel:
        return "kernel";
    case SimPhase::Firmware:
        return "firmware";
    }
    return "?";
}

std::string FormatSimDump(const SimReport& report) {
    std::string s;
    for (int p = 0; p < kSimPhaseCount; ++p) {
        for (const SimRecord& rec : report.memory[static_cast<std::size_t>(p)]) {
            char head[32];
            std::snprintf(head, sizeof head, "%s %c %04X", SimPhaseName(static_cast<SimPhase>(p)),
                          rec.cBank, static_cast<unsigned>(rec.wAddr));
            s += head;
            if (!rec.data.empty()) {
                s += ' ';
                for (BYTE b : rec.data)
                    s += Hex2(b);
            }
            s += '\n';
        }
    }
    return s;
}

bool WriteSimDump(const SimReport& report, const std::string& strPath) {
    std::ofstream f(strPath, std::ios::binary | std::ios::trunc);
    if (!f)
        return false;
    f << FormatSimDump(report);
    f.close();
    return !f.fail();
}

bool CheckSimDumpFile(const std::string& strPath, std::string* pstrError) {
    std::FILE* f = std::fopen(strPath.c_str(), "ab");
    if (!f) {
        if (pstrError)
            *pstrError = "sim: dump=" + EscapeControlChars(strPath) +
                         ": cannot write: " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

bool LoadSimKnownImages(const std::string& strImageDir, SimKnownImages& images,
                        std::string* pstrError) {
    const std::string dir = WithTrailingSeparator(strImageDir);
    const std::pair<const char*, std::vector<BYTE>*> files[] = {{"Shutup.bin", &images.shutup},
                                                                {"BootI.bin", &images.booti}};
    for (const auto& [pszName, pData] : files) {
        std::string path = dir + pszName;
        if (!ReadFile(path, *pData)) {
            // The image loader matches names without regard to case; so does the unit.
            std::string resolved;
            if (ResolveImagePath(dir, pszName, resolved) != S_OK || !ReadFile(resolved, *pData)) {
                if (pstrError)
                    *pstrError = "sim: cannot read " + path;
                return false;
            }
        }
    }
    return true;
}

CSimUnit::CSimUnit(const SimOptions& opts, SimKnownImages images, ISimUnitOutput& out, LogFn log)
    : m_opts(opts), m_images(std::move(images)), m_out(out), m_log(std::move(log)),
      m_rand(opts.nSeed, 3), m_txBaud(opts.rates.empty() ? 4800 : opts.rates.front()) {}

void CSimUnit::Log(const std::string& strText) const {
    if (m_log)
        m_log("sim: " + strText);
}

const char* CSimUnit::StateName() const {
    switch (m_state) {
    case State::Idle:
        return "idle";
    case State::Reset:
        return "reset";
    case State::Unlocking:
        return "unlocking";
    case State::BootLead:
        return "bootstrap (rate)";
    case State::BootLoading:
        return "bootstrap (loading)";
    case State::Loader1:
        return "first loader";
    case State::Loader2:
        return "second loader";
    }
    return "?";
}

DWORD CSimUnit::RxBaud() const {
    switch (m_state) {
    case State::BootLead:
        return 0;
    case State::BootLoading:
        return m_bootBaud;
    case State::Loader1:
    case State::Loader2:
        return kSimLoaderBaud;
    default:
        return kSimUnlockBaud;
    }
}

int CSimUnit::CharsWanted(const Peek& peek, bool bAfterBreak) const {
    switch (m_state) {
    case State::BootLead:
    case State::BootLoading:
        return 1;
    case State::Loader1:
    case State::Loader2: {
        if (!m_bFrameOpen && !bAfterBreak)
            return kMany;
        // Follow the frame over the characters on their way to where it is complete; a break
        // opens a new one (OnBreak).
        std::vector<BYTE> frame = bAfterBreak ? std::vector<BYTE>() : m_frame;
        for (std::size_t i = 0;; ++i) {
            const int v = peek(i);
            if (v == kPeekNone)
                return kMany; // not complete yet: nothing to do until more arrives
            if (v == kPeekDamaged)
                return static_cast<int>(i + 1); // closes the frame
            frame.push_back(static_cast<BYTE>(v));
            const std::size_t n = frame.size();
            const bool bComplete =
                (frame[0] == 'L' && n >= 6 && n == static_cast<std::size_t>(frame[5]) + 7) ||
                ((frame[0] == 'R' || frame[0] == 'O') && n == 2) || (frame[0] == 'B' && n == 3) ||
                (frame[0] != 'L' && frame[0] != 'R' && frame[0] != 'O' && frame[0] != 'B');
            if (bComplete)
                return static_cast<int>(i + 1);
        }
    }
    default:
        return kMany;
    }
}

// ---- Transmitter ----

void CSimUnit::SendByte(BYTE value, SimTime notBefore) {
    const SimTime start = std::max(notBefore, m_txFreeAt);
    const SimTime end = start + SimCharTime(m_txBaud);
    m_txFreeAt = end;
    m_out.EmitByte(value, m_txBaud, start, end);
}

void CSimUnit::SendBreak(SimTime notBefore) {
    const SimTime start = std::max(notBefore, m_txFreeAt);
    const SimTime end = start + kSimBreakChars * SimCharTime(m_txBaud);
    m_txFreeAt = end;
    m_out.EmitBreak(start, end);
}

void CSimUnit::SendAnswer(SimTime notBefore, const BYTE* pBytes, int nCount) {
    SendBreak(notBefore);
    for (int i = 0; i < nCount; ++i)
        SendByte(pBytes[i], m_txFreeAt);
}

// ---- Modem lines and the unlock ----

void CSimUnit::OnModemLines(bool bDtr, bool bRts, SimTime t) {
    const bool bWasBoth = m_bDtr && m_bRts;
    m_bDtr = bDtr;
    m_bRts = bRts;
    const bool bBoth = bDtr && bRts;
    if (bBoth && !bWasBoth) {
        EnterReset(t);
        return;
    }
    if (m_state != State::Reset)
        return;
    if (bWasBoth && !bBoth)
        m_tFirstDrop = t;
    if (!bDtr && !bRts) {
        m_tDrop = t;
        m_state = State::Unlocking;
        // By then every character that began while both lines were up has ended.
        m_deadline = t + kDropLate;
    }
}

void CSimUnit::EnterReset(SimTime t) {
    // DTR and RTS together hold the unit in reset: whatever it was doing stops.
    m_txFreeAt = m_out.CancelFrom(t);
    m_state = State::Reset;
    m_tRaise = t;
    m_tFirstDrop = kSimNever;
    m_unlockChars.clear();
    m_deadline = kSimNever;
    m_bFrameOpen = false;
    m_txBaud = m_opts.rates.empty() ? 4800 : m_opts.rates.front();
}

void CSimUnit::EvaluateUnlock(SimTime now) {
    m_deadline = kSimNever;
    std::string why;
    const auto& c = m_unlockChars;
    if (c.size() != 3 || c[0].value != 'Q' || c[1].value != '!' || c[2].value != 'X' ||
        c[0].bFramingError || c[1].bFramingError || c[2].bFramingError) {
        why = "no \"Q!X\" at 300 baud while DTR and RTS were up (" + std::to_string(c.size()) +
              " characters)";
    } else if (m_tDrop < c[2].end - kDropEarly || m_tDrop > c[2].end + kDropLate) {
        const auto ms = std::chrono::duration<double, std::milli>(m_tDrop - c[2].end).count();
        char buf[96];
        std::snprintf(buf, sizeof buf, "DTR/RTS dropped %+.1f ms from the end of \"Q!X\"", ms);
        why = buf;
    }
    if (!why.empty()) {
        ++m_report.stats.nUnlocksRefused;
        Log("unlock refused: " + why);
        m_state = State::Idle;
        return;
    }
    ++m_report.stats.nUnlocks;
    Log("unlock accepted; bootstrap mode");
    m_state = State::BootLead;
    m_txBaud = m_opts.rates.empty() ? 4800 : m_opts.rates.front();
    SendBreak(std::max(m_tDrop + SimMilliseconds(m_opts.dBreakDelayMs), now));
}

// ---- Characters and breaks ----

void CSimUnit::OnBreak(SimTime, SimTime) {
    if (m_state == State::Loader1 || m_state == State::Loader2) {
        m_bFrameOpen = true;
        m_frame.clear();
    }
}

void CSimUnit::OnChar(const SimRxChar& c) {
    switch (m_state) {
    case State::Idle:
        return;
    case State::Reset:
    case State::Unlocking:
        if (c.start >= m_tRaise && c.start < m_tFirstDrop)
            m_unlockChars.push_back(c);
        return;
    case State::BootLead: {
        // The lead 0xFF: its start bit alone is low, so the low time is one bit at the host's
        // rate. Another character stays low through its low-order zero bits as well.
        int nLow = 1;
        for (int bit = 0; bit < 8 && !(c.lineValue & (1u << bit)); ++bit)
            ++nLow;
        const double dMeasured = static_cast<double>(c.dwSenderBaud) / nLow;
        for (DWORD r : m_opts.rates) {
            if (dMeasured >= r * (1 - kRateTolerance) && dMeasured <= r * (1 + kRateTolerance)) {
                m_bootBaud = r;
                m_txBaud = r;
                m_image.clear();
                m_bImageBad = false;
                m_state = State::BootLoading;
                m_deadline = c.end + kIdleChars * SimCharTime(r);
                Log("bootstrap rate " + std::to_string(r) + " baud");
                return;
            }
        }
        ++m_report.stats.nLeadRefused;
        if (m_report.stats.nLeadRefused <= 3 || m_opts.bTrace)
            Log("bootstrap: lead character at about " +
                std::to_string(static_cast<int>(dMeasured)) + " baud, not a rate the unit accepts");
        return;
    }
    case State::BootLoading:
        m_image.push_back(c.value);
        m_bImageBad |= c.bFramingError;
        if (m_opts.bEcho)
            SendByte(c.value, c.end);
        m_deadline = c.end + kIdleChars * SimCharTime(m_bootBaud);
        return;
    case State::Loader1:
    case State::Loader2:
        OnLoaderChar(c);
        return;
    }
}

void CSimUnit::OnTimer(SimTime now) {
    if (now < m_deadline)
        return;
    if (m_state == State::Unlocking)
        EvaluateUnlock(now);
    else if (m_state == State::BootLoading)
        FinishBootLoad(now);
    else
        m_deadline = kSimNever;
}

void CSimUnit::FinishBootLoad(SimTime now) {
    const SimTime tIdle = m_deadline;
    m_deadline = kSimNever;
    ++m_report.stats.nBootLoads;
    SendBreak(std::max(tIdle, now));
    if (!m_bImageBad && m_image == m_images.booti) {
        m_report.runs.push_back("BootI.bin");
        Log("loaded BootI.bin (" + std::to_string(m_image.size()) +
            " bytes); first loader at 38400 baud");
        m_report.memory = {};
        m_state = State::Loader1;
        m_txBaud = kSimLoaderBaud;
        m_bFrameOpen = false;
        m_phase = SimPhase::SBoot;
    } else if (!m_bImageBad && m_image == m_images.shutup) {
        m_report.runs.push_back("Shutup.bin");
        Log("loaded Shutup.bin (" + std::to_string(m_image.size()) +
            " bytes); waiting for the next unlock");
        m_state = State::Idle;
    } else {
        // A damaged or unknown image runs into the weeds: the unit stays silent until reset.
        m_report.runs.push_back("unknown image of " + std::to_string(m_image.size()) + " bytes");
        Log("loaded an unknown image of " + std::to_string(m_image.size()) +
            " bytes; silent until the next unlock");
        m_state = State::Idle;
    }
}

// ---- The loaders ----

void CSimUnit::OnLoaderChar(const SimRxChar& c) {
    if (!m_bFrameOpen)
        return; // nothing but a break opens a frame
    if (c.bFramingError) {
        m_bFrameOpen = false; // a damaged frame is ignored up to the next break
        return;
    }
    m_frame.push_back(c.value);
    const std::size_t n = m_frame.size();
    switch (m_frame[0]) {
    case 'L':
        if (n >= 6 && n == static_cast<std::size_t>(m_frame[5]) + 7)
            HandleRecord(c.end);
        return;
    case 'R':
    case 'O':
        if (n == 2)
            HandleCommand(c.end);
        return;
    case 'B':
        if (n == 3)
            HandleCommand(c.end);
        return;
    default:
        m_bFrameOpen = false;
        return;
    }
}

void CSimUnit::HandleRecord(SimTime end) {
    m_bFrameOpen = false;
    ++m_report.stats.nRecordFrames;
    if (m_state == State::Loader2 && end < m_readyAt)
        return; // still starting up
    if (m_rand.Chance(m_opts.dDrop)) {
        ++m_report.stats.nDropped;
        return;
    }
    const int n = m_frame[5];
    unsigned sum = m_frame[3] + m_frame[4] + m_frame[5];
    for (int i = 0; i < n; ++i)
        sum += m_frame[static_cast<std::size_t>(6 + i)];
    sum &= 0xFFu;
    const BYTE received = m_frame.back();
    const char cBank = static_cast<char>(m_frame[2]);
    const bool bGood = m_frame[1] == 'R' && (cBank == '0' || cBank == '1') && sum == received;
    if (bGood) {
        SimRecord rec;
        rec.cBank = cBank;
        rec.wAddr = static_cast<std::uint16_t>(m_frame[3] << 8 | m_frame[4]);
        rec.data.assign(m_frame.begin() + 6, m_frame.begin() + 6 + n);
        Keep(m_state == State::Loader1 ? SimPhase::SBoot : m_phase, std::move(rec));
    } else {
        ++m_report.stats.nRefused;
    }
    // A refused record is answered with '?' in place of 'L': had it been answered like a good
    // one, a record whose checksum byte alone was damaged on the way would carry the unit's own
    // (correct) sum back, the host would take it as good, and the record would be missing.
    BYTE answer[6] = {static_cast<BYTE>(bGood ? 'L' : '?'),
                      m_frame[5],
                      static_cast<BYTE>(sum),
                      m_frame[3],
                      m_frame[4],
                      m_frame[2]};
    if (m_rand.Chance(m_opts.dBadAck)) {
        answer[m_rand.Below(6)] ^= static_cast<BYTE>(1 + m_rand.Below(255));
        ++m_report.stats.nBadAcks;
    }
    SendAnswer(end + SimMilliseconds(m_opts.dLatencyMs), answer, 6);
}

void CSimUnit::Keep(SimPhase phase, SimRecord rec) {
    auto& mem = m_report.memory[static_cast<std::size_t>(phase)];
    ++m_report.stats.nKept;
    // The host sends a record again when its answer came back wrong: the loader then writes the
    // same address once more, so the repeat replaces the record before it.
    if (!mem.empty() && mem.back().wAddr == rec.wAddr &&
        mem.back().data.size() == rec.data.size()) {
        mem.back() = std::move(rec);
        ++m_report.stats.nRepeats;
        return;
    }
    mem.push_back(std::move(rec));
}

void CSimUnit::HandleCommand(SimTime end) {
    m_bFrameOpen = false;
    const std::string cmd(m_frame.begin(), m_frame.end());
    const SimTime at = end + SimMilliseconds(m_opts.dLatencyMs);
    if (m_state == State::Loader1) {
        if (cmd == "OK") {
            if (m_opts.bOk) {
                ++m_report.stats.nCommands;
                SendBreak(at);
            }
        } else if (cmd == "RC") {
            ++m_report.stats.nCommands;
            Log("\"RC\": restarting into the second loader");
            m_state = State::Loader2;
            m_phase = SimPhase::Kernel;
            m_readyAt = end + SimMilliseconds(m_opts.dRestartMs);
        }
        return;
    }
    if (end < m_readyAt)
        return; // the second loader is still starting: silent
    if (cmd == "OK") {
        ++m_report.stats.nCommands;
        const BYTE ok[2] = {'O', 'K'};
        SendAnswer(at, ok, 2);
    } else if (cmd == "B0C") {
        ++m_report.stats.nCommands;
        const BYTE b0[2] = {'B', '0'};
        SendAnswer(at, b0, 2);
        if (m_phase != SimPhase::Firmware)
            Log("\"B0C\": kernel done, firmware records next");
        m_phase = SimPhase::Firmware;
    } else if (cmd == "RC") {
        ++m_report.stats.nCommands;
        if (m_phase == SimPhase::Firmware) {
            const BYTE rc[2] = {'R', 'C'};
            SendAnswer(at, rc, 2);
            Log("\"RC\": firmware started");
            m_report.bFirmwareStarted = true;
            m_state = State::Idle;
        } else {
            Log("\"RC\": restarting the second loader");
            m_readyAt = end + SimMilliseconds(m_opts.dRestartMs);
        }
    }
}
