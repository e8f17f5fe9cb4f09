#include "serial/LineDoctor.h"

#include "serial/PortMode.h"
#include "serial/SerialLine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

// Every step waits on the stop event at least this often, so a stop is heeded within it.
constexpr DWORD kSliceMs = 250;
// The rate the host's breaks go out at (parts 2 to 5) and the break's length.
constexpr DWORD kBreakBaud = 38400;
constexpr DWORD kBreakMs = 1;
// A returned break that kept the line longer than this was no 1 ms break: a CH340 fakes one
// of about 196 ms. USB round trips and latency timers stay well below it.
constexpr double kBreakBusyLimitMs = 50;
// How long the loopback may stay silent before a check gives up on what is missing.
constexpr DWORD kStallMs = 1000;
// Bytes written but not yet back: the kernel's buffers never fill, and the transmitter
// never runs dry while the bytes on their way back are read.
constexpr int kWindow = 256;
constexpr int kChunk = 64;
// Time for an adapter to report a change of its modem-status inputs (USB adapters send their
// status at their latency interval, 16 ms at most).
constexpr DWORD kModemSettleMs = 50;
// The marker byte that follows the break.
constexpr BYTE kMarker = 0x55;

// Characters that come back this many times faster than the rate asked for crossed no wire.
constexpr double kNoWireFactor = 20;
// Rates an adapter may be found to run instead of the one asked for.
constexpr DWORD kCommonRates[] = {50,    75,    110,   134,   150,   200,   300,   600,   1200,
                                  1800,  2400,  4000,  4800,  7200,  9600,  14400, 16000, 19200,
                                  28800, 38400, 51200, 56000, 57600, 64000, 76800, 115200};

std::string Format(const char* pszFormat, double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, pszFormat, d);
    return buf;
}

std::string Hex(BYTE b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(b));
    return buf;
}

DOCTOR_CHECK Check(std::string strName, std::string strTitle, DOCTOR_VERDICT verdict,
                   std::string strReason, std::string strFix = {}, bool bFailsUpload = false) {
    DOCTOR_CHECK c;
    c.strName = std::move(strName);
    c.strTitle = std::move(strTitle);
    c.verdict = verdict;
    c.strReason = std::move(strReason);
    c.strFix = std::move(strFix);
    c.bFailsUpload = verdict == DOCTOR_VERDICT::Problem && bFailsUpload;
    return c;
}

std::string RateName(DWORD dwBaud) {
    return "loopback_" + std::to_string(dwBaud);
}
std::string RateTitle(DWORD dwBaud) {
    return "loopback at " + std::to_string(dwBaud) + " baud";
}

// The device behind a port name as the termios line finds it.
std::string DevicePath(const std::string& strPort) {
    return strPort.find('/') == std::string::npos ? "/dev/" + strPort : strPort;
}

bool StartsWith(const std::string& s, const char* pszPrefix) {
    return s.rfind(pszPrefix, 0) == 0;
}

// The loopback checks over one open line.
class CLoopback {
public:
    CLoopback(ISerialLine& line, const CEvent& stop, bool bSlowMode)
        : m_line(line), m_stop(stop), m_bSlowMode(bSlowMode) {}

    bool Stopped() const { return m_bStopped; }
    bool Gone() const { return m_bGone; }

    // All 256 byte values and the rate by their timing. Null when stopped.
    std::optional<DOCTOR_CHECK> Rate(DWORD dwBaud);
    // The protocol's break, at 38400 baud, followed by a marker byte.
    std::optional<DOCTOR_CHECK> Break();
    // RTS to CTS, DTR to DSR and DCD.
    std::optional<DOCTOR_CHECK> ModemLines();

    DOCTOR_CHECK GoneCheck(std::string strName, std::string strTitle) const {
        return Check(std::move(strName), std::move(strTitle), DOCTOR_VERDICT::Problem,
                     "the line went away during the check (unplugged?)",
                     "plug the adapter in again and run the checks again", true);
    }

private:
    // Applies an 8N1 frame at the rate. False when the line refuses it.
    bool Configure(DWORD dwBaud) {
        DCB dcb;
        dcb.BaudRate = dwBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        return m_line.Configure(dcb) == S_OK;
    }
    // Waits out what is still under way and reads away whatever comes back, until the line has
    // been quiet for a few characters (at most a second). False when stopped or gone.
    bool Settle(DWORD dwBaud);
    bool Note(LineWait w) {
        if (w == LineWait::Stopped)
            m_bStopped = true;
        else if (w == LineWait::Gone)
            m_bGone = true;
        return w == LineWait::Ready || w == LineWait::TimedOut;
    }
    // Waits on the stop event alone. False when stopped.
    bool Pause(DWORD dwMilliseconds) {
        if (m_stop.Wait(dwMilliseconds) == WAIT_OBJECT_0)
            m_bStopped = true;
        return !m_bStopped;
    }

    ISerialLine& m_line;
    const CEvent& m_stop;
    const bool m_bSlowMode;
    bool m_bStopped = false;
    bool m_bGone = false;
};

bool CLoopback::Settle(DWORD dwBaud) {
    if (!Note(m_line.WaitTxDrained(m_stop, 2000)))
        return false;
    const DWORD dwQuietMs = std::max<DWORD>(20, 3 * 10000 / dwBaud + 1);
    const auto until = Clock::now() + std::chrono::seconds(1);
    char buf[512];
    for (;;) {
        const LineWait w = m_line.WaitRx(m_stop, dwQuietMs);
        if (w == LineWait::TimedOut)
            return true;
        if (!Note(w))
            return false;
        RxInfo info;
        if (m_line.Read(buf, sizeof buf, info) < 0) {
            m_bGone = true;
            return false;
        }
        if (Clock::now() >= until)
            return true;
    }
}

std::optional<DOCTOR_CHECK> CLoopback::Rate(DWORD dwBaud) {
    const bool bFails = dwBaud != 738 || m_bSlowMode;
    const std::string strName = RateName(dwBaud);
    const std::string strTitle = RateTitle(dwBaud);
    const std::string strRateFix =
        dwBaud == 738 ? "Slow Mode (--slow) needs an adapter that runs 738 baud: FTDI, CP2102N "
                        "or a 16550 UART; an upload without Slow Mode does not use it"
                      : "use another adapter: an FTDI FT232R, FT-X or FT232H serves every need";
    if (!Configure(dwBaud)) {
        // The driver read back another rate: what the line would run says which.
        const DWORD dwRuns = m_line.GetRefusedRate();
        DOCTOR_CHECK c = Check(
            strName, strTitle, DOCTOR_VERDICT::Problem,
            "the line does not take " + std::to_string(dwBaud) + " baud " +
                (dwRuns != 0
                     ? "(the driver runs " + std::to_string(dwRuns) + " instead, more than 2 % off)"
                     : std::string("(the driver runs another rate, more than 2 % off)")),
            strRateFix, bFails);
        if (dwRuns != 0) {
            c.measure = dwRuns;
            c.strUnit = "baud";
        }
        return c;
    }
    if (!Settle(dwBaud)) {
        if (m_bGone)
            return GoneCheck(strName, strTitle);
        return std::nullopt;
    }

    const int nChars = DoctorLoopbackChars(dwBaud);
    std::vector<char> sent(static_cast<std::size_t>(nChars));
    for (int i = 0; i < nChars; ++i)
        sent[static_cast<std::size_t>(i)] = static_cast<char>(i & 0xFF);
    int nWritten = 0;
    int nReceived = 0; // of the nChars expected; bytes past them are counted in nExtra
    int nExtra = 0;
    int nChanged = 0;
    int nFirstChanged = -1;
    BYTE byFirstGot = 0;
    RxInfo total;
    int nFirstRead = 0; // bytes the first read brought
    Clock::time_point tFirst{};
    Clock::time_point tLast{};
    Clock::time_point tProgress = Clock::now();
    std::vector<LOOPBACK_READ> reads;
    char buf[1024];
    while (nReceived < nChars) {
        while (nWritten < nChars && nWritten - nReceived < kWindow) {
            const int n = std::min({kChunk, nChars - nWritten, kWindow - (nWritten - nReceived)});
            const LineWait w = m_line.Write(sent.data() + nWritten, n, m_stop, 2000);
            if (w == LineWait::TimedOut) {
                return Check(strName, strTitle, DOCTOR_VERDICT::Problem,
                             "the line took no more bytes after " + std::to_string(nWritten) +
                                 " (held back by flow control, or a stalled adapter)",
                             "unplug the adapter and plug it in again", bFails);
            }
            if (!Note(w))
                return m_bGone ? std::optional(GoneCheck(strName, strTitle)) : std::nullopt;
            nWritten += n;
            tProgress = Clock::now();
        }
        const auto left =
            kStallMs -
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tProgress).count();
        if (left <= 0)
            break; // what is missing is not coming
        const LineWait w =
            m_line.WaitRx(m_stop, static_cast<DWORD>(std::min<long long>(left, kSliceMs)));
        if (w == LineWait::TimedOut)
            continue;
        if (!Note(w))
            return m_bGone ? std::optional(GoneCheck(strName, strTitle)) : std::nullopt;
        RxInfo info;
        const int n = m_line.Read(buf, sizeof buf, info);
        const auto now = Clock::now();
        if (n < 0) {
            m_bGone = true;
            return GoneCheck(strName, strTitle);
        }
        total.nBreaks += info.nBreaks;
        total.nLineErrors += info.nLineErrors;
        if (n == 0)
            continue;
        tProgress = now;
        for (int i = 0; i < n; ++i) {
            if (nReceived >= nChars) {
                ++nExtra;
                continue;
            }
            const BYTE got = static_cast<BYTE>(buf[i]);
            if (got != static_cast<BYTE>(nReceived & 0xFF)) {
                if (nChanged++ == 0) {
                    nFirstChanged = nReceived;
                    byFirstGot = got;
                }
            }
            ++nReceived;
        }
        if (nFirstRead == 0) {
            nFirstRead = nReceived;
            tFirst = now;
        }
        tLast = now;
        reads.push_back({std::chrono::duration<double>(now - tFirst).count(), nReceived});
    }
    const std::string strOf = " of " + std::to_string(nChars);
    if (nReceived == 0) {
        return Check(strName, strTitle, DOCTOR_VERDICT::Problem,
                     "nothing came back at " + std::to_string(dwBaud) + " baud",
                     "put the loopback plug on the port: TX joined to RX (pins 3 and 2 of a "
                     "9-pin plug)",
                     bFails);
    }
    // Each read's time stands for the arrival of its last byte: the characters timed are those
    // after the first read's.
    // A few reads (a pseudo-terminal's, or one whole burst) are timed from first to last.
    TIMED_STRETCH stretch = LeastDelayedStretch(reads, dwBaud);
    if (stretch.nChars == 0)
        stretch = {nReceived - nFirstRead, std::chrono::duration<double>(tLast - tFirst).count()};
    const int nTimed = stretch.nChars;
    const RATE_TIMING timing = JudgeRateTiming(dwBaud, nTimed, stretch.dSeconds);
    const std::string strShows = Format("%.0f", timing.dBaud);
    std::string strFaults;
    const auto add = [&strFaults](const std::string& s) {
        strFaults += (strFaults.empty() ? "" : "; ") + s;
    };
    if (nReceived < nChars)
        add("only " + std::to_string(nReceived) + strOf + " bytes came back");
    if (nChanged > 0)
        add(std::to_string(nChanged) + strOf + " bytes came back changed (the first: byte " +
            std::to_string(nFirstChanged) + ", sent " + Hex(static_cast<BYTE>(nFirstChanged)) +
            ", got " + Hex(byFirstGot) + ")");
    if (nExtra > 0)
        add(std::to_string(nExtra) + " bytes more came back than were sent");
    if (total.nLineErrors > 0)
        add(std::to_string(total.nLineErrors) + " with framing or parity errors");
    if (total.nBreaks > 0)
        add(std::to_string(total.nBreaks) + " breaks that were never sent");

    DOCTOR_CHECK c;
    if (timing.bMeasured && !timing.bAsAsked) {
        // A wrong rate comes back whole through a loopback (both sides run it): the timing is
        // what tells.
        const std::string strRuns =
            timing.dwRuns ? std::to_string(timing.dwRuns) : "about " + strShows;
        c = Check(strName, strTitle, DOCTOR_VERDICT::Problem,
                  "the line runs " + strRuns + ", not " + std::to_string(dwBaud) +
                      " (the timing of " + std::to_string(nTimed) + " characters shows " +
                      strShows + " baud)" + (strFaults.empty() ? "" : "; " + strFaults),
                  strRateFix, bFails);
    } else if (!strFaults.empty()) {
        c = Check(strName, strTitle, DOCTOR_VERDICT::Problem, strFaults,
                  "check the plug and the cable; a loose or long cable garbles bytes", bFails);
    } else if (!timing.bMeasured) {
        c = Check(strName, strTitle, DOCTOR_VERDICT::Unknown,
                  "all " + std::to_string(nChars) +
                      " bytes came back unchanged, but at once: their timing shows no rate "
                      "(no real line in between?)");
    } else {
        c = Check(strName, strTitle, DOCTOR_VERDICT::Ok,
                  "all " + std::to_string(nChars) +
                      " bytes (every byte value) came back unchanged; their timing shows " +
                      strShows + " baud");
    }
    if (timing.bMeasured) {
        c.measure = timing.dBaud;
        c.strUnit = "baud";
    }
    return c;
}

std::optional<DOCTOR_CHECK> CLoopback::Break() {
    const char* pszName = "loopback_break";
    const char* pszTitle = "loopback break";
    const char* pszBreakFix = "use an FTDI adapter";
    if (!Configure(kBreakBaud)) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Skipped,
                     "the line does not take 38400 baud, where the breaks are sent");
    }
    if (!Settle(kBreakBaud))
        return m_bGone ? std::optional(GoneCheck(pszName, pszTitle)) : std::nullopt;

    const auto t0 = Clock::now();
    if (m_line.SetBreak(true) != S_OK) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem, "the line refuses to send a break",
                     pszBreakFix, true);
    }
    const bool bPaused = Pause(kBreakMs);
    const HRESULT hrClear = m_line.SetBreak(false);
    if (!bPaused)
        return std::nullopt;
    if (hrClear != S_OK) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem, "the line refuses to end a break",
                     pszBreakFix, true);
    }
    const char marker = static_cast<char>(kMarker);
    if (!Note(m_line.Write(&marker, 1, m_stop, 2000)))
        return m_bGone ? std::optional(GoneCheck(pszName, pszTitle)) : std::nullopt;

    int nBreaks = 0;
    int nBefore = 0; // bytes before the marker
    bool bMarker = false;
    Clock::time_point tMarker{};
    Clock::time_point tProgress = Clock::now();
    char buf[256];
    while (!bMarker) {
        const auto left =
            kStallMs -
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tProgress).count();
        if (left <= 0)
            break;
        const LineWait w =
            m_line.WaitRx(m_stop, static_cast<DWORD>(std::min<long long>(left, kSliceMs)));
        if (w == LineWait::TimedOut)
            continue;
        if (!Note(w))
            return m_bGone ? std::optional(GoneCheck(pszName, pszTitle)) : std::nullopt;
        RxInfo info;
        const int n = m_line.Read(buf, sizeof buf, info);
        const auto now = Clock::now();
        if (n < 0) {
            m_bGone = true;
            return GoneCheck(pszName, pszTitle);
        }
        nBreaks += info.nBreaks;
        for (int i = 0; i < n && !bMarker; ++i) {
            if (static_cast<BYTE>(buf[i]) == kMarker) {
                bMarker = true;
                tMarker = now;
            } else {
                ++nBefore;
            }
        }
        if (n > 0)
            tProgress = now;
    }

    if (!bMarker && nBreaks == 0 && nBefore == 0) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                     "nothing came back after the break, not even the byte sent after it",
                     "put the loopback plug on the port: TX joined to RX (pins 3 and 2 of a "
                     "9-pin plug)",
                     true);
    }
    if (!bMarker) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                     "the byte sent after the break never came back (" + std::to_string(nBefore) +
                         " other bytes did)",
                     pszBreakFix, true);
    }
    // The time from the break's start to the marker's return, less the marker's own time on
    // the wire: what the break kept the line busy for.
    const double dBusyMs =
        std::chrono::duration<double, std::milli>(tMarker - t0).count() - 10000.0 / kBreakBaud;
    const std::string strBusy = Format("%.1f", std::max(0.0, dBusyMs));
    const bool bFaked = dBusyMs > kBreakBusyLimitMs;
    DOCTOR_CHECK c;
    if (nBreaks == 0) {
        std::string strReason = "the 1 ms break came back without a break report (" +
                                std::string(nBefore > 0 ? "as plain bytes" : "as nothing") +
                                "): the unit's answers, each opened by a break, would go unseen";
        if (bFaked)
            strReason += "; it kept the line busy for " + strBusy + " ms (a faked break)";
        c = Check(pszName, pszTitle, DOCTOR_VERDICT::Problem, strReason, pszBreakFix, true);
    } else if (bFaked) {
        c = Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                  "the 1 ms break kept the line busy for " + strBusy +
                      " ms (a faked break, which garbles the unit's answer meanwhile)",
                  pszBreakFix, true);
    } else {
        c = Check(pszName, pszTitle, DOCTOR_VERDICT::Ok,
                  "the 1 ms break came back as a break; it kept the line busy for " + strBusy +
                      " ms");
    }
    c.measure = std::max(0.0, dBusyMs);
    c.strUnit = "ms";
    return c;
}

std::optional<DOCTOR_CHECK> CLoopback::ModemLines() {
    const char* pszName = "loopback_modem_lines";
    const char* pszTitle = "loopback modem lines";
    ModemStatus status;
    const HRESULT hr = m_line.GetModemStatus(&status);
    if (hr == E_NOTIMPL) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Unknown,
                     "the line has no modem-status inputs to read");
    }
    if (hr != S_OK) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                     "the line does not tell its modem-status inputs",
                     "unplug the adapter and plug it in again", true);
    }
    // Each input must show the output it is joined to in all four combinations.
    struct Input {
        const char* pszIn;
        const char* pszOut;
        int nOn = 0;    // seen on
        int nRight = 0; // seen as its output
    } inputs[3] = {{"CTS", "RTS"}, {"DSR", "DTR"}, {"DCD", "DTR"}};
    const bool states[4][2] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const auto& [bRts, bDtr] : states) {
        if (m_line.SetRts(bRts) != S_OK || m_line.SetDtr(bDtr) != S_OK) {
            return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                         "the line refuses to set RTS or DTR, which the unit's unlock needs",
                         "use another adapter", true);
        }
        if (!Pause(kModemSettleMs))
            return std::nullopt;
        if (m_line.GetModemStatus(&status) != S_OK) {
            m_bGone = true;
            return GoneCheck(pszName, pszTitle);
        }
        const bool seen[3] = {status.bCts, status.bDsr, status.bDcd};
        const bool want[3] = {bRts, bDtr, bDtr};
        for (int i = 0; i < 3; ++i) {
            inputs[i].nOn += seen[i] ? 1 : 0;
            inputs[i].nRight += seen[i] == want[i] ? 1 : 0;
        }
    }
    m_line.SetRts(false);
    m_line.SetDtr(false);
    std::string strFaults;
    bool bDriveFails = false;
    for (int i = 0; i < 3; ++i) {
        const Input& in = inputs[i];
        if (in.nRight == 4)
            continue;
        const char* pszHow = in.nOn == 4      ? "it stays on"
                             : in.nOn == 0    ? "it stays off"
                             : in.nRight == 0 ? "it shows the opposite"
                                              : "it follows only at times";
        strFaults += (strFaults.empty() ? "" : "; ") + std::string(in.pszIn) + " does not follow " +
                     in.pszOut + " (" + pszHow + ")";
        // CTS and DSR tell whether RTS and DTR are driven, which the unlock needs; DCD is only
        // a second wire from DTR.
        bDriveFails = bDriveFails || i < 2;
    }
    if (strFaults.empty()) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Ok,
                     "CTS follows RTS, DSR and DCD follow DTR");
    }
    return Check(pszName, pszTitle, DOCTOR_VERDICT::Problem, strFaults,
                 "check the plug's wiring (RTS to CTS: pins 7 and 8; DTR to DSR and DCD: pins 4, "
                 "6 and 1 of a 9-pin plug); if it is right, the adapter does not drive RTS or "
                 "DTR, which the unit's unlock needs",
                 bDriveFails);
}

bool FailsUpload(ADAPTER_NEED need, bool bSlowMode) {
    switch (need) {
    case ADAPTER_NEED::SendsBreak:
    case ADAPTER_NEED::ReceivesBreak:
        return true;
    case ADAPTER_NEED::Rate738:
        return bSlowMode;
    case ADAPTER_NEED::ReceiveLatency:
        return false; // slower, not failed
    }
    return false;
}

DOCTOR_VERDICT FromVerdict(VERDICT v) {
    switch (v) {
    case VERDICT::Ok:
        return DOCTOR_VERDICT::Ok;
    case VERDICT::Problem:
        return DOCTOR_VERDICT::Problem;
    case VERDICT::Unknown:
        break;
    }
    return DOCTOR_VERDICT::Unknown;
}

DOCTOR_CHECK LowLatencyCheck(const ADAPTER_INFO& info) {
    const char* pszName = "low_latency";
    const char* pszTitle = "low latency";
    if (!IsFtdiAdapter(info)) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Skipped,
                     info.strDriver.empty()
                         ? "no latency timer is known for this port"
                         : "the driver (" + info.strDriver + ") has no latency timer");
    }
    if (info.nLatencyTimerMs < 0) {
        return Check(pszName, pszTitle, DOCTOR_VERDICT::Unknown,
                     "the chip has no latency timer to read (see receive latency)");
    }
    DOCTOR_CHECK c;
    const std::string strMs = std::to_string(info.nLatencyTimerMs);
    if (info.source == ADAPTER_SOURCE::SetupApi) {
        // FTDI's Windows driver takes the timer from the port's settings; morfw cannot lower it.
        c = info.nLatencyTimerMs <= 1 ? Check(pszName, pszTitle, DOCTOR_VERDICT::Ok,
                                              "the port's latency timer is " + strMs + " ms")
                                      : Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                                              "the port's latency timer is " + strMs +
                                                  " ms, and every load record waits for it twice",
                                              FtdiLatencyFix(info));
    } else if (info.nLatencyTimerMs <= 1) {
        c = Check(pszName, pszTitle, DOCTOR_VERDICT::Ok,
                  "latency_timer is " + strMs +
                      " ms with the port open: the low-latency flag took effect");
    } else {
        c = Check(pszName, pszTitle, DOCTOR_VERDICT::Problem,
                  "latency_timer is " + strMs +
                      " ms with the port open: the low-latency flag did not take effect, and "
                      "every load record waits for it twice",
                  FtdiLatencyFix(info));
    }
    c.measure = info.nLatencyTimerMs;
    c.strUnit = "ms";
    return c;
}

} // namespace

const char* DoctorVerdictName(DOCTOR_VERDICT verdict) {
    switch (verdict) {
    case DOCTOR_VERDICT::Ok:
        return "ok";
    case DOCTOR_VERDICT::Problem:
        return "problem";
    case DOCTOR_VERDICT::Unknown:
        return "unknown";
    case DOCTOR_VERDICT::Skipped:
        return "skipped";
    }
    return "unknown";
}

int DoctorLoopbackChars(DWORD dwBaud) {
    // A second's worth, in whole rounds of the 256 values.
    const DWORD dwPerSecond = dwBaud / 10;
    return static_cast<int>(std::max<DWORD>(1, (dwPerSecond + 255) / 256) * 256);
}

TIMED_STRETCH LeastDelayedStretch(const std::vector<LOOPBACK_READ>& reads, DWORD dwAsked) {
    TIMED_STRETCH t;
    const std::size_t n = reads.size();
    if (n < 4 || dwAsked == 0)
        return t;
    const double dCharSeconds = 10.0 / dwAsked;
    const auto lateness = [&](const LOOPBACK_READ& r) {
        return r.dSeconds - r.nTotal * dCharSeconds;
    };
    const auto leastLate = [&](std::size_t from, std::size_t to) {
        std::size_t best = from;
        for (std::size_t i = from + 1; i < to; ++i)
            if (lateness(reads[i]) < lateness(reads[best]))
                best = i;
        return best;
    };
    const std::size_t quarter = std::max<std::size_t>(1, n / 4);
    const LOOPBACK_READ& a = reads[leastLate(0, quarter)];
    const LOOPBACK_READ& b = reads[leastLate(n - quarter, n)];
    t.nChars = b.nTotal - a.nTotal;
    t.dSeconds = b.dSeconds - a.dSeconds;
    if (t.nChars <= 0)
        t = {};
    return t;
}

RATE_TIMING JudgeRateTiming(DWORD dwAsked, int nChars, double dSeconds) {
    RATE_TIMING t;
    if (nChars <= 0 || !(dSeconds > 0) || dwAsked == 0)
        return t;
    const double dBaud = nChars * 10.0 / dSeconds;
    // Far faster than any adapter runs by mistake (an FTDI SIO's 9600 for 738 is 13 times): the
    // characters had no wire in between (a pseudo-terminal, a driver's own echo), and their
    // timing says nothing of a rate.
    if (dBaud > kNoWireFactor * dwAsked)
        return t;
    t.bMeasured = true;
    t.dBaud = dBaud;
    // 3 %, the most a receiver survives, and room at the ends of the timed stretch for a few
    // milliseconds of latency and a UART's receive time-out (its FIFO hands over a last few
    // bytes after 4 character times without one).
    const double dTolerance = 0.03 + (0.004 + 40.0 / dwAsked) / dSeconds;
    const auto within = [dTolerance](double dShown, double dRate) {
        return std::fabs(dShown - dRate) <= dRate * dTolerance;
    };
    t.bAsAsked = within(t.dBaud, dwAsked);
    if (t.bAsAsked) {
        t.dwRuns = dwAsked;
        return t;
    }
    double dBest = 0;
    for (const DWORD r : kCommonRates) {
        const double d = std::fabs(t.dBaud - r) / r;
        if (within(t.dBaud, r) && (t.dwRuns == 0 || d < dBest)) {
            t.dwRuns = r;
            dBest = d;
        }
    }
    return t;
}

std::string HoldersFix(const std::vector<DeviceHolder>& holders) {
    std::string strFix;
    std::vector<DeviceHolder> others;
    for (const auto& h : holders) {
        if (h.strName == "ModemManager") {
            strFix = "stop ModemManager (systemctl stop ModemManager), or keep it off the port "
                     "for good with a udev rule that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the "
                     "adapter";
        } else {
            others.push_back(h);
        }
    }
    if (!others.empty())
        strFix = "close " + DescribeHolders(others) + (strFix.empty() ? "" : "; " + strFix);
    return strFix;
}

OPEN_FAILURE_ADVICE AdviseOpenFailure(const std::string& strReason,
                                      const std::vector<DeviceHolder>& holders,
                                      const std::string& strDevice) {
    OPEN_FAILURE_ADVICE a;
    a.strReason = strReason;
    if (StartsWith(strReason, "permission denied")) {
        // The port's own text carries the fix after its reason.
        if (const auto semi = strReason.find("; "); semi != std::string::npos) {
            a.strReason = strReason.substr(0, semi);
            a.strFix = strReason.substr(semi + 2);
        } else {
            a.strFix = "let the user in with: sudo usermod -a -G dialout $USER (then log out and "
                       "in again)";
        }
    } else if (StartsWith(strReason, "no such device")) {
        a.strFix = "name a port that is there; a /dev/serial/by-id/ name stays the same when the "
                   "adapter is plugged in elsewhere";
    } else if (StartsWith(strReason, "busy")) {
        a.strFix = holders.empty() ? "close the program that holds " + strDevice + " (fuser -v " +
                                         strDevice + " names it)"
                                   : HoldersFix(holders);
    } else if (StartsWith(strReason, "gone")) {
        a.strFix = "plug the adapter in again, or check its cable";
    } else if (StartsWith(strReason, "not a serial port")) {
        a.strFix = "name a serial device";
    } else if (StartsWith(strReason, "console")) {
        // "... is the kernel console (ttyS0); ...": the tty's name for the fix.
        std::string strTty = "NAME";
        const auto open = strReason.find("kernel console (");
        const auto close = strReason.find(')', open);
        if (open != std::string::npos && close != std::string::npos)
            strTty = strReason.substr(open + 16, close - open - 16);
        a.strFix = "name another port; to free this one, take console=" + strTty +
                   " off the kernel command line and stop the login prompt on it (systemctl "
                   "disable --now serial-getty@" +
                   strTty + ")";
    } else if (StartsWith(strReason, "sim:")) {
        a.strFix = "correct the simulated line's options";
    }
    return a;
}

DOCTOR_OUTCOME JudgeDoctorReport(const DOCTOR_REPORT& report) {
    if (report.bStopped)
        return DOCTOR_OUTCOME::Stopped;
    if (!report.bOpened)
        return DOCTOR_OUTCOME::NotOpened;
    for (const auto& c : report.checks) {
        if (c.verdict == DOCTOR_VERDICT::Problem && c.bFailsUpload)
            return DOCTOR_OUTCOME::Fails;
    }
    return DOCTOR_OUTCOME::Ready;
}

DOCTOR_REPORT RunLineDoctor(const DOCTOR_OPTIONS& options, const CEvent& stop,
                            const std::function<void(const DOCTOR_CHECK&)>& onCheck) {
    DOCTOR_REPORT report;
    report.strPort = options.strPort;
    const auto readAdapter = [&options](const std::string& strPort) {
        return options.readAdapter ? options.readAdapter(strPort) : ReadAdapterInfo(strPort);
    };
    const auto add = [&report, &onCheck](DOCTOR_CHECK c) {
        report.checks.push_back(std::move(c));
        if (onCheck)
            onCheck(report.checks.back());
    };
    const auto skipAll = [&](const std::string& strWhy) {
        for (const DWORD r : kDoctorRates)
            add(Check(RateName(r), RateTitle(r), DOCTOR_VERDICT::Skipped, strWhy));
        add(Check("loopback_break", "loopback break", DOCTOR_VERDICT::Skipped, strWhy));
        add(Check("loopback_modem_lines", "loopback modem lines", DOCTOR_VERDICT::Skipped, strWhy));
    };

    // What is no serial device (missing, a directory, the pseudo-terminal multiplexer) or the
    // console is refused before any other check: whoever holds it and whatever its driver does
    // say nothing of a line for the unit.
    if (const std::string strRefused = RefusePortName(options.strPort); !strRefused.empty()) {
        const OPEN_FAILURE_ADVICE advice =
            AdviseOpenFailure(strRefused, {}, DevicePath(options.strPort));
        add(Check("access", "access", DOCTOR_VERDICT::Problem, advice.strReason, advice.strFix,
                  true));
        const char* pszWhy = "the port did not open";
        add(Check("holders", "other holders", DOCTOR_VERDICT::Skipped, pszWhy));
        for (int i = 0; i < kAdapterNeeds; ++i) {
            const auto need = static_cast<ADAPTER_NEED>(i);
            add(Check(std::string("adapter_") + AdapterNeedName(need), AdapterNeedText(need),
                      DOCTOR_VERDICT::Skipped, pszWhy));
        }
        add(Check("low_latency", "low latency", DOCTOR_VERDICT::Skipped, pszWhy));
        skipAll(pszWhy);
        return report;
    }

    const ADAPTER_INFO adapter = readAdapter(options.strPort);
    report.strDriver = adapter.strDriver;
    report.strChip = AdapterChip(adapter);
    const std::string strDevice = DevicePath(options.strPort);

    // Looked at before the open, which another holder makes fail.
    const std::vector<DeviceHolder> holders = FindPortHolders(strDevice);

    // 1. Access: the open and the set-up an upload's open takes.
    std::unique_ptr<ISerialLine> pLine;
    std::string strReason;
    bool bNotSerial = false;
    if (OpenSerialLine(options.strPort, &pLine, &strReason) != S_OK || !pLine) {
        pLine.reset();
        if (strReason.empty())
            strReason = "the port could not be opened";
        bNotSerial = StartsWith(strReason, "not a serial port");
        const OPEN_FAILURE_ADVICE advice = AdviseOpenFailure(strReason, holders, strDevice);
        add(Check("access", "access", DOCTOR_VERDICT::Problem, advice.strReason, advice.strFix,
                  true));
    } else {
        DCB dcb;
        dcb.BaudRate = 300;
        std::string strRefused;
        if (FAILED(pLine->PrepareRaw()))
            strRefused = "the line refused raw transfer";
        else if (FAILED(pLine->Configure(dcb)))
            strRefused = DescribeRefusedFrame(300, 8, pLine->GetRefusedRate());
        else if (FAILED(pLine->SetQueueSizes(4096, 4096)))
            strRefused = "the line refused its queue sizes";
        else if (FAILED(pLine->PrepareEvents()))
            strRefused = "the line refused its event mask";
        if (!strRefused.empty()) {
            pLine.reset();
            add(Check("access", "access", DOCTOR_VERDICT::Problem, strRefused + " after it opened",
                      "unplug the adapter and plug it in again; if that does not help, the "
                      "driver does not serve this program",
                      true));
        } else {
            report.bOpened = true;
            add(Check("access", "access", DOCTOR_VERDICT::Ok,
                      options.strPort + " opens for reading and writing, for this program alone"));
        }
    }

    // 2. Other holders. Those of a device that is no serial port (/dev/null, the session's own
    // terminal) are no concern of the line's.
    if (bNotSerial) {
        add(Check("holders", "other holders", DOCTOR_VERDICT::Skipped, "not a serial port"));
    } else if (holders.empty()) {
        add(Check("holders", "other holders", DOCTOR_VERDICT::Ok, "none"));
    } else {
        add(Check("holders", "other holders", DOCTOR_VERDICT::Problem,
                  strDevice + " is open in " + DescribeHolders(holders), HoldersFix(holders),
                  true));
    }

    // 3. What the adapter's driver does for each need.
    for (const ADAPTER_VERDICT& v : JudgeAdapter(adapter)) {
        add(Check(std::string("adapter_") + AdapterNeedName(v.need), AdapterNeedText(v.need),
                  FromVerdict(v.verdict), v.strReason, v.strFix,
                  FailsUpload(v.need, options.bSlowMode)));
    }

    // 4. Whether the open's low-latency flag reached the chip.
    if (report.bOpened) {
        add(LowLatencyCheck(readAdapter(options.strPort)));
    } else {
        add(Check("low_latency", "low latency", DOCTOR_VERDICT::Skipped, "the port did not open"));
    }
    if (stop.IsSet()) {
        report.bStopped = true;
        return report;
    }

    // 5. The line itself, through a loopback plug.
    if (!options.bLoopback) {
        skipAll("no loopback plug (--loopback)");
        return report;
    }
    if (!report.bOpened) {
        skipAll("the port did not open");
        return report;
    }
    CLoopback loop(*pLine, stop, options.bSlowMode);
    std::vector<std::function<std::optional<DOCTOR_CHECK>()>> steps;
    for (const DWORD r : kDoctorRates)
        steps.emplace_back([&loop, r] { return loop.Rate(r); });
    steps.emplace_back([&loop] { return loop.Break(); });
    steps.emplace_back([&loop] { return loop.ModemLines(); });
    std::vector<std::pair<std::string, std::string>> names;
    for (const DWORD r : kDoctorRates)
        names.emplace_back(RateName(r), RateTitle(r));
    names.emplace_back("loopback_break", "loopback break");
    names.emplace_back("loopback_modem_lines", "loopback modem lines");
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (loop.Gone()) {
            add(Check(names[i].first, names[i].second, DOCTOR_VERDICT::Skipped,
                      "the line went away"));
            continue;
        }
        std::optional<DOCTOR_CHECK> c = steps[i]();
        if (!c || loop.Stopped()) {
            report.bStopped = true;
            return report;
        }
        add(std::move(*c));
    }
    return report;
}
