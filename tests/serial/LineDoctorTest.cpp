// The line doctor's judgements, and its checks over lines the test builds: a loopback plug
// that returns everything at once, one that returns nothing, and opens that fail.
#include "serial/LineDoctor.h"

#include "PtyPair.h"
#include "serial/SerialLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

using namespace std::chrono;

namespace {

// ---- The rate from the timing of returned characters ----

TEST(LineDoctorRateTiming, TheRateAskedForPassesAndAnotherIsNamed) {
    // 255 characters after the first at 738 baud take 3.455 s.
    RATE_TIMING t = JudgeRateTiming(738, 255, 255 * 10 / 738.0);
    EXPECT_TRUE(t.bMeasured);
    EXPECT_TRUE(t.bAsAsked);
    EXPECT_NEAR(t.dBaud, 738.0, 0.01);

    // A CP2102 runs 738 as 1200: the same characters come back 1.6 times as fast.
    t = JudgeRateTiming(738, 255, 255 * 10 / 1200.0);
    EXPECT_TRUE(t.bMeasured);
    EXPECT_FALSE(t.bAsAsked);
    EXPECT_EQ(t.dwRuns, 1200u);
    EXPECT_NEAR(t.dBaud, 1200.0, 0.01);

    // An FTDI SIO runs everything it does not know as 9600.
    t = JudgeRateTiming(738, 255, 255 * 10 / 9600.0);
    EXPECT_FALSE(t.bAsAsked);
    EXPECT_EQ(t.dwRuns, 9600u);
}

// Reads of 16 characters each, as a line at dwRuns baud returns them, some of them late.
std::vector<LOOPBACK_READ> Reads(double dRuns, int nReads,
                                 const std::vector<std::pair<int, double>>& late) {
    std::vector<LOOPBACK_READ> reads;
    for (int i = 0; i < nReads; ++i)
        reads.push_back({(i * 16) * 10 / dRuns, 16 * (i + 1)});
    for (const auto& [i, d] : late)
        reads[static_cast<std::size_t>(i)].dSeconds += d;
    return reads;
}

TEST(LineDoctorRateTiming, ABusyMachinesLateReadsDoNotChangeTheRate) {
    // A second of 4800 baud in 30 reads; the last read 150 ms late, others 40 and 80 ms: timed
    // from first to last, the line would show 13 % slow and fail.
    const auto reads = Reads(4800, 30, {{29, 0.150}, {3, 0.040}, {17, 0.080}, {0, 0.010}});
    EXPECT_FALSE(JudgeRateTiming(4800, reads.back().nTotal - reads.front().nTotal,
                                 reads.back().dSeconds - reads.front().dSeconds)
                     .bAsAsked);
    const TIMED_STRETCH t = LeastDelayedStretch(reads, 4800);
    ASSERT_GT(t.nChars, 240); // at least half the reads apart
    const RATE_TIMING r = JudgeRateTiming(4800, t.nChars, t.dSeconds);
    EXPECT_TRUE(r.bAsAsked);
    EXPECT_NEAR(r.dBaud, 4800, 1);

    // A CP2102's 1200 for 738 is still found, late reads and all.
    const TIMED_STRETCH c = LeastDelayedStretch(Reads(1200, 20, {{19, 0.3}, {2, 0.1}}), 738);
    const RATE_TIMING rc = JudgeRateTiming(738, c.nChars, c.dSeconds);
    EXPECT_FALSE(rc.bAsAsked);
    EXPECT_EQ(rc.dwRuns, 1200u);

    // Too few reads to choose among: the caller times the whole stretch.
    EXPECT_EQ(LeastDelayedStretch(Reads(4800, 3, {}), 4800).nChars, 0);
}

TEST(LineDoctorRateTiming, ToleranceIsThreePercentWithRoomForLatencyAndAUartsTimeOut) {
    // A second of 38400 baud: 3 % off passes, 4 % fails.
    const double dSeconds = 3840 * 10 / 38400.0;
    EXPECT_TRUE(JudgeRateTiming(38400, 3840, dSeconds / 1.03).bAsAsked);
    EXPECT_TRUE(JudgeRateTiming(38400, 3840, dSeconds / 0.97).bAsAsked);
    EXPECT_FALSE(JudgeRateTiming(38400, 3840, dSeconds / 1.04).bAsAsked);
    EXPECT_FALSE(JudgeRateTiming(38400, 3840, dSeconds / 0.96).bAsAsked);
    // Its last batch one 16 ms latency tick late, or early, still passes.
    EXPECT_TRUE(JudgeRateTiming(38400, 3840, dSeconds + 0.016).bAsAsked);
    EXPECT_TRUE(JudgeRateTiming(38400, 3840, dSeconds - 0.016).bAsAsked);
    // Half a second off is no latency.
    EXPECT_FALSE(JudgeRateTiming(38400, 3840, dSeconds + 0.5).bAsAsked);
    // At 300 baud a UART's FIFO hands its last bytes over 4 characters (133 ms) late.
    const double d300 = 255 * 10 / 300.0;
    EXPECT_TRUE(JudgeRateTiming(300, 255, d300 + 4 * 10 / 300.0).bAsAsked);
    EXPECT_FALSE(JudgeRateTiming(300, 255, d300 * 1.06).bAsAsked);
    EXPECT_FALSE(JudgeRateTiming(300, 255, d300 / 1.06).bAsAsked);
}

TEST(LineDoctorRateTiming, NoTimeOrNoCharactersOrNoRealLineMeasuresNothing) {
    EXPECT_FALSE(JudgeRateTiming(738, 0, 1.0).bMeasured);
    EXPECT_FALSE(JudgeRateTiming(738, 255, 0.0).bMeasured);
    EXPECT_FALSE(JudgeRateTiming(738, 255, -1.0).bMeasured);
    EXPECT_FALSE(JudgeRateTiming(0, 255, 1.0).bMeasured);
    // Characters that came back 20 times faster than asked crossed no wire; 13 times is an
    // FTDI SIO's 9600 for 738.
    EXPECT_FALSE(JudgeRateTiming(38400, 3840, 0.001).bMeasured);
    EXPECT_FALSE(JudgeRateTiming(300, 192, 192 * 10 / (300 * 21.0)).bMeasured);
    EXPECT_TRUE(JudgeRateTiming(300, 192, 192 * 10 / (300 * 19.0)).bMeasured);
}

TEST(LineDoctorRateTiming, ARateNoChipRunsIsGivenAsMeasuredOnly) {
    const RATE_TIMING t = JudgeRateTiming(4800, 511, 511 * 10 / 3333.0);
    EXPECT_TRUE(t.bMeasured);
    EXPECT_FALSE(t.bAsAsked);
    EXPECT_EQ(t.dwRuns, 0u);
    EXPECT_NEAR(t.dBaud, 3333.0, 0.5);
}

TEST(LineDoctorRateTiming, EveryRateSendsAllByteValuesAndTheFastOnesAboutASecond) {
    for (const DWORD r : kDoctorRates) {
        const int n = DoctorLoopbackChars(r);
        EXPECT_EQ(n % 256, 0) << r;
        EXPECT_GE(n, 256) << r;
        const double dSeconds = n * 10.0 / r;
        EXPECT_LT(dSeconds, 10.0) << r; // 300 baud: the 256 values alone take 8.5 s
        if (r >= 4800) {
            EXPECT_GE(dSeconds, 1.0) << r;
            EXPECT_LT(dSeconds, 1.5) << r;
        }
    }
    EXPECT_EQ(DoctorLoopbackChars(300), 256);
}

// ---- Advice for a port that does not open ----

TEST(LineDoctorAdvice, PermissionDeniedSplitsThePortsOwnTextIntoReasonAndFix) {
    const auto a = AdviseOpenFailure(
        "permission denied: /dev/ttyUSB0 belongs to the group dialout; let the user ann in with: "
        "sudo usermod -a -G dialout ann (then log out and in again)",
        {}, "/dev/ttyUSB0");
    EXPECT_EQ(a.strReason, "permission denied: /dev/ttyUSB0 belongs to the group dialout");
    EXPECT_EQ(a.strFix,
              "let the user ann in with: sudo usermod -a -G dialout ann (then log out and in "
              "again)");
}

TEST(LineDoctorAdvice, BusyNamesItsHoldersAndModemManagerGetsItsOwnFix) {
    const std::vector<DeviceHolder> holders = {{567, "ModemManager"}, {4242, "minicom"}};
    const auto a =
        AdviseOpenFailure("busy: /dev/ttyUSB0 is open in ModemManager (pid 567), minicom (pid "
                          "4242)",
                          holders, "/dev/ttyUSB0");
    EXPECT_EQ(a.strReason,
              "busy: /dev/ttyUSB0 is open in ModemManager (pid 567), minicom (pid 4242)");
    EXPECT_EQ(a.strFix, HoldersFix(holders));
    EXPECT_EQ(HoldersFix(holders),
              "close minicom (pid 4242); stop ModemManager (systemctl stop ModemManager), or "
              "keep it off the port for good with a udev rule that sets "
              "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter");
    EXPECT_EQ(HoldersFix({{12, ""}}), "close a process (pid 12)");
    // Busy without a holder in sight (another user's program): where to look.
    EXPECT_EQ(
        AdviseOpenFailure("busy: /dev/ttyS0 is locked by another program", {}, "/dev/ttyS0").strFix,
        "close the program that holds /dev/ttyS0 (fuser -v /dev/ttyS0 names it)");
}

TEST(LineDoctorAdvice, EachKindOfFailureHasItsFixAndAnUnknownOneNone) {
    EXPECT_NE(AdviseOpenFailure("no such device: /dev/ttyUSB9 (no serial port is listed)", {},
                                "/dev/ttyUSB9")
                  .strFix.find("/dev/serial/by-id/"),
              std::string::npos);
    EXPECT_EQ(AdviseOpenFailure("gone: /dev/ttyUSB0 does not answer (unplugged, or no device "
                                "behind it)",
                                {}, "/dev/ttyUSB0")
                  .strFix,
              "plug the adapter in again, or check its cable");
    EXPECT_EQ(
        AdviseOpenFailure("not a serial port: /dev/null is not a terminal device", {}, "/dev/null")
            .strFix,
        "name a serial device");
    const auto a = AdviseOpenFailure("/dev/ttyS0: Input/output trouble", {}, "/dev/ttyS0");
    EXPECT_EQ(a.strReason, "/dev/ttyS0: Input/output trouble");
    EXPECT_EQ(a.strFix, "");
}

// ---- The checks over lines the test builds ----

// How the test's loopback plug behaves.
struct Plug {
    bool bEcho = true;        // TX joined to RX
    bool bReportBreak = true; // a returned break comes with its report
    int nBreakBusyMs = 0;     // the break holds the line (and what follows it) this long
    bool bCts = true, bDsr = true, bDcd = true; // the modem wires
    bool bCtsStuckOn = false;
    bool bModemStatus = true; // false: the line has no modem-status inputs
    std::string strRefuse;    // an open that fails with this reason
};

std::mutex g_plugMutex;
Plug g_plug;

// Returns what it is sent at once, so no rate can be timed.
class CPlugLine final : public ISerialLine {
public:
    explicit CPlugLine(Plug plug) : m_plug(std::move(plug)) {}

    HRESULT Configure(const DCB& dcb) override {
        std::lock_guard lock(m_mutex);
        m_bRts = (dcb.fRtsControl & 3) == RTS_CONTROL_ENABLE;
        return S_OK;
    }
    LineWait WaitRx(const CEvent& stop, DWORD dwMilliseconds) override {
        const auto deadline = steady_clock::now() + milliseconds(dwMilliseconds);
        for (;;) {
            steady_clock::time_point due;
            {
                std::lock_guard lock(m_mutex);
                due = m_rx.empty() ? steady_clock::time_point::max() : m_rx.front().due;
            }
            const auto now = steady_clock::now();
            if (due <= now)
                return LineWait::Ready;
            if (now >= deadline)
                return LineWait::TimedOut;
            const auto wait = duration_cast<milliseconds>(std::min(due, deadline) - now);
            if (stop.Wait(static_cast<DWORD>(wait.count()) + 1) == WAIT_OBJECT_0)
                return LineWait::Stopped;
        }
    }
    int Read(char* pDest, int nCapacity, RxInfo& info) override {
        std::lock_guard lock(m_mutex);
        int n = 0;
        while (n < nCapacity && !m_rx.empty() && m_rx.front().due <= steady_clock::now()) {
            pDest[n++] = static_cast<char>(m_rx.front().value);
            info.nBreaks += m_rx.front().bBreak ? 1 : 0;
            m_rx.pop_front();
        }
        return n;
    }
    LineWait Write(const char* pData, int nLength, const CEvent&, DWORD) override {
        std::lock_guard lock(m_mutex);
        if (m_plug.bEcho) {
            for (int i = 0; i < nLength; ++i)
                m_rx.push_back({static_cast<BYTE>(pData[i]), false, Free()});
        }
        return LineWait::Ready;
    }
    LineWait WaitTxDrained(const CEvent&, DWORD) override { return LineWait::Ready; }
    HRESULT SetBreak(bool bOn) override {
        std::lock_guard lock(m_mutex);
        if (!bOn && m_plug.bEcho) {
            m_freeAt = steady_clock::now() + milliseconds(m_plug.nBreakBusyMs);
            m_rx.push_back({0, m_plug.bReportBreak, Free()});
        }
        return S_OK;
    }
    HRESULT SetDtr(bool bOn) override {
        std::lock_guard lock(m_mutex);
        m_bDtr = bOn;
        return S_OK;
    }
    HRESULT SetRts(bool bOn) override {
        std::lock_guard lock(m_mutex);
        m_bRts = bOn;
        return S_OK;
    }
    HRESULT GetModemStatus(ModemStatus* p) override {
        if (!m_plug.bModemStatus)
            return E_NOTIMPL;
        std::lock_guard lock(m_mutex);
        p->bCts = m_plug.bCtsStuckOn || (m_plug.bCts && m_bRts);
        p->bDsr = m_plug.bDsr && m_bDtr;
        p->bDcd = m_plug.bDcd && m_bDtr;
        return S_OK;
    }

private:
    struct Item {
        BYTE value;
        bool bBreak;
        steady_clock::time_point due;
    };
    steady_clock::time_point Free() const { return std::max(steady_clock::now(), m_freeAt); }

    const Plug m_plug;
    std::mutex m_mutex;
    std::deque<Item> m_rx;
    steady_clock::time_point m_freeAt{};
    bool m_bDtr = false;
    bool m_bRts = false;
};

class LineDoctorRun : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterLineBackend("plug:",
                            [](const std::string&, std::unique_ptr<ISerialLine>* pp,
                               std::string* pstrReason) -> HRESULT {
                                Plug plug;
                                {
                                    std::lock_guard lock(g_plugMutex);
                                    plug = g_plug;
                                }
                                if (!plug.strRefuse.empty()) {
                                    *pstrReason = plug.strRefuse;
                                    return E_FAIL;
                                }
                                *pp = std::make_unique<CPlugLine>(plug);
                                return S_OK;
                            });
    }
    void TearDown() override { RegisterLineBackend("plug:", nullptr); }

    static void Use(const Plug& plug) {
        std::lock_guard lock(g_plugMutex);
        g_plug = plug;
    }

    // The doctor on "plug:" with the adapter the test names.
    DOCTOR_REPORT Run(bool bLoopback, ADAPTER_INFO adapter = {}, bool bSlow = false) {
        DOCTOR_OPTIONS o;
        o.strPort = "plug:";
        o.bLoopback = bLoopback;
        o.bSlowMode = bSlow;
        o.readAdapter = [adapter](const std::string&) { return adapter; };
        m_seen.clear();
        DOCTOR_REPORT r = RunLineDoctor(
            o, m_stop, [this](const DOCTOR_CHECK& c) { m_seen.push_back(c.strName); });
        return r;
    }

    static const DOCTOR_CHECK& Find(const DOCTOR_REPORT& r, const std::string& strName) {
        for (const auto& c : r.checks) {
            if (c.strName == strName)
                return c;
        }
        static DOCTOR_CHECK none;
        ADD_FAILURE() << "no check " << strName;
        return none;
    }

    CEvent m_stop;
    std::vector<std::string> m_seen;
};

const std::vector<std::string> kAllChecks = {"access",
                                             "holders",
                                             "adapter_sends_break",
                                             "adapter_receives_break",
                                             "adapter_rate_738",
                                             "adapter_receive_latency",
                                             "low_latency",
                                             "loopback_300",
                                             "loopback_738",
                                             "loopback_4800",
                                             "loopback_38400",
                                             "loopback_break",
                                             "loopback_modem_lines"};

ADAPTER_INFO Usb(const char* pszDriver, const char* pszVendor, const char* pszProduct,
                 const char* pszName) {
    ADAPTER_INFO info;
    info.strDriver = pszDriver;
    info.bUsb = true;
    info.strVendorId = pszVendor;
    info.strProductId = pszProduct;
    info.nBcdDevice = 0x0600;
    info.strUsbVersion = "2.00";
    info.nInterface = 0;
    info.strProduct = pszName;
    return info;
}

TEST_F(LineDoctorRun, AFailedOpenSkipsWhatNeedsThePortAndEndsNotOpened) {
    Plug plug;
    plug.strRefuse = "permission denied: /dev/ttyUSB0 belongs to the group dialout; let the user "
                     "ann in with: sudo usermod -a -G dialout ann (then log out and in again)";
    Use(plug);
    const DOCTOR_REPORT r = Run(true);
    EXPECT_FALSE(r.bOpened);
    EXPECT_EQ(m_seen, kAllChecks); // every check is handed on, in order
    const DOCTOR_CHECK& access = Find(r, "access");
    EXPECT_EQ(access.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_EQ(access.strReason, "permission denied: /dev/ttyUSB0 belongs to the group dialout");
    EXPECT_NE(access.strFix.find("sudo usermod -a -G dialout ann"), std::string::npos);
    EXPECT_EQ(Find(r, "low_latency").verdict, DOCTOR_VERDICT::Skipped);
    EXPECT_EQ(Find(r, "loopback_300").strReason, "the port did not open");
    EXPECT_EQ(Find(r, "loopback_modem_lines").verdict, DOCTOR_VERDICT::Skipped);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::NotOpened);
}

TEST_F(LineDoctorRun, WithoutTheLoopbackItsChecksAreSkippedAndUnknownsNeverFail) {
    Use(Plug{});
    const DOCTOR_REPORT r = Run(false);
    EXPECT_TRUE(r.bOpened);
    EXPECT_EQ(m_seen, kAllChecks);
    EXPECT_EQ(Find(r, "access").verdict, DOCTOR_VERDICT::Ok);
    EXPECT_EQ(Find(r, "holders").verdict, DOCTOR_VERDICT::Ok);
    // An adapter nothing is known of: unknown for every need, which is no reason to refuse it.
    EXPECT_EQ(Find(r, "adapter_receives_break").verdict, DOCTOR_VERDICT::Unknown);
    EXPECT_EQ(Find(r, "low_latency").verdict, DOCTOR_VERDICT::Skipped);
    for (const char* psz : {"loopback_300", "loopback_38400", "loopback_break"})
        EXPECT_EQ(Find(r, psz).strReason, "no loopback plug (--loopback)");
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);
}

TEST_F(LineDoctorRun, AdapterProblemsFailOnlyWhereTheyStopAnUpload) {
    Use(Plug{});
    // A CH340 never reports a received break: every upload fails.
    DOCTOR_REPORT r = Run(false, Usb("ch341-uart", "1a86", "7523", "USB Serial"));
    EXPECT_EQ(Find(r, "adapter_receives_break").verdict, DOCTOR_VERDICT::Problem);
    EXPECT_TRUE(Find(r, "adapter_receives_break").bFailsUpload);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Fails);

    // A CP2102 runs 738 as 1200: only Slow Mode fails.
    const ADAPTER_INFO cp2102 =
        Usb("cp210x", "10c4", "ea60", "CP2102 USB to UART Bridge Controller");
    r = Run(false, cp2102);
    EXPECT_EQ(Find(r, "adapter_rate_738").verdict, DOCTOR_VERDICT::Problem);
    EXPECT_FALSE(Find(r, "adapter_rate_738").bFailsUpload);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);
    r = Run(false, cp2102, true);
    EXPECT_TRUE(Find(r, "adapter_rate_738").bFailsUpload);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Fails);
}

TEST_F(LineDoctorRun, TheLatencyTimerIsReadWithThePortOpenAndSixteenIsAProblemThatOnlySlows) {
    Use(Plug{});
    ADAPTER_INFO ftdi = Usb("ftdi_sio", "0403", "6001", "FT232R USB UART");
    ftdi.strTty = "ttyUSB3";
    ftdi.nLatencyTimerMs = 16;
    DOCTOR_REPORT r = Run(false, ftdi);
    const DOCTOR_CHECK& c = Find(r, "low_latency");
    EXPECT_EQ(c.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_FALSE(c.bFailsUpload);
    EXPECT_EQ(c.strFix, "echo 1 > /sys/bus/usb-serial/devices/ttyUSB3/latency_timer (as root)");
    ASSERT_TRUE(c.measure.has_value());
    EXPECT_EQ(*c.measure, 16.0);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);

    ftdi.nLatencyTimerMs = 1;
    r = Run(false, ftdi);
    EXPECT_EQ(Find(r, "low_latency").verdict, DOCTOR_VERDICT::Ok);
    // An FT232A has no timer to read: the table's verdict says what that costs.
    ftdi.nLatencyTimerMs = -1;
    r = Run(false, ftdi);
    EXPECT_EQ(Find(r, "low_latency").verdict, DOCTOR_VERDICT::Unknown);
}

TEST_F(LineDoctorRun, OnWindowsTheLatencyTimerIsThePortsSettingWhichOnlyTheOperatorChanges) {
    Use(Plug{});
    ADAPTER_INFO ftdi = Usb("FTSER2K", "0403", "6001", "FT232R USB UART");
    ftdi.source = ADAPTER_SOURCE::SetupApi;
    ftdi.nLatencyTimerMs = 16;
    DOCTOR_REPORT r = Run(false, ftdi);
    const DOCTOR_CHECK& c = Find(r, "low_latency");
    EXPECT_EQ(c.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_FALSE(c.bFailsUpload);
    EXPECT_EQ(c.strReason.find("low-latency flag"), std::string::npos) << c.strReason;
    EXPECT_NE(c.strFix.find("Device Manager"), std::string::npos);
    EXPECT_EQ(c.strFix, Find(r, "adapter_receive_latency").strFix);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);
    ftdi.nLatencyTimerMs = 1;
    EXPECT_EQ(Find(Run(false, ftdi), "low_latency").verdict, DOCTOR_VERDICT::Ok);
    // Another maker's adapter has no timer, whatever its driver's service is called.
    ftdi.strVendorId = "1a86";
    EXPECT_EQ(Find(Run(false, ftdi), "low_latency").verdict, DOCTOR_VERDICT::Skipped);
}

TEST_F(LineDoctorRun, AnInstantLoopbackTimesNoRateButCarriesBreakAndModemLines) {
    Use(Plug{});
    const DOCTOR_REPORT r = Run(true);
    EXPECT_EQ(m_seen, kAllChecks);
    for (const DWORD rate : kDoctorRates) {
        const DOCTOR_CHECK& c = Find(r, "loopback_" + std::to_string(rate));
        EXPECT_EQ(c.verdict, DOCTOR_VERDICT::Unknown) << c.strReason;
        EXPECT_NE(c.strReason.find("came back unchanged, but at once"), std::string::npos);
    }
    const DOCTOR_CHECK& brk = Find(r, "loopback_break");
    EXPECT_EQ(brk.verdict, DOCTOR_VERDICT::Ok) << brk.strReason;
    ASSERT_TRUE(brk.measure.has_value());
    EXPECT_LT(*brk.measure, 50.0);
    EXPECT_EQ(Find(r, "loopback_modem_lines").verdict, DOCTOR_VERDICT::Ok);
    EXPECT_EQ(Find(r, "loopback_modem_lines").strReason, "CTS follows RTS, DSR and DCD follow DTR");
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);
}

TEST_F(LineDoctorRun, ABreakWithoutItsReportOrOneThatHoldsTheLineIsCaught) {
    Plug plug;
    plug.bReportBreak = false;
    Use(plug);
    DOCTOR_REPORT r = Run(true);
    const DOCTOR_CHECK& unreported = Find(r, "loopback_break");
    EXPECT_EQ(unreported.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_TRUE(unreported.bFailsUpload);
    EXPECT_EQ(unreported.strReason,
              "the 1 ms break came back without a break report (as plain bytes): the unit's "
              "answers, each opened by a break, would go unseen");
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Fails);

    // Reported, but the line stays busy as long as a CH340's fake break.
    plug.bReportBreak = true;
    plug.nBreakBusyMs = 196;
    Use(plug);
    r = Run(true);
    const DOCTOR_CHECK& held = Find(r, "loopback_break");
    EXPECT_EQ(held.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_NE(held.strReason.find("a faked break"), std::string::npos) << held.strReason;
    ASSERT_TRUE(held.measure.has_value());
    EXPECT_GE(*held.measure, 190.0);
    EXPECT_LT(*held.measure, 1000.0);
}

TEST_F(LineDoctorRun, ModemLinesThatDoNotFollowAreNamedAndOnlyRtsAndDtrFail) {
    Plug plug;
    plug.bDcd = false; // a plug without the DCD wire: the upload does not use DCD
    Use(plug);
    DOCTOR_REPORT r = Run(true);
    const DOCTOR_CHECK& noDcd = Find(r, "loopback_modem_lines");
    EXPECT_EQ(noDcd.verdict, DOCTOR_VERDICT::Problem);
    EXPECT_EQ(noDcd.strReason, "DCD does not follow DTR (it stays off)");
    EXPECT_FALSE(noDcd.bFailsUpload);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Ready);

    plug = Plug{};
    plug.bCtsStuckOn = true;
    plug.bDsr = false;
    Use(plug);
    r = Run(true);
    const DOCTOR_CHECK& stuck = Find(r, "loopback_modem_lines");
    EXPECT_EQ(stuck.strReason,
              "CTS does not follow RTS (it stays on); DSR does not follow DTR (it stays off)");
    EXPECT_TRUE(stuck.bFailsUpload);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Fails);

    plug = Plug{};
    plug.bModemStatus = false; // a pseudo-terminal
    Use(plug);
    r = Run(true);
    EXPECT_EQ(Find(r, "loopback_modem_lines").verdict, DOCTOR_VERDICT::Unknown);
}

TEST_F(LineDoctorRun, NothingComingBackIsAProblemAtEveryRate) {
    Plug plug;
    plug.bEcho = false;
    Use(plug);
    const auto t0 = steady_clock::now();
    const DOCTOR_REPORT r = Run(true);
    for (const DWORD rate : kDoctorRates) {
        const DOCTOR_CHECK& c = Find(r, "loopback_" + std::to_string(rate));
        EXPECT_EQ(c.verdict, DOCTOR_VERDICT::Problem);
        EXPECT_EQ(c.strReason, "nothing came back at " + std::to_string(rate) + " baud");
        EXPECT_EQ(c.bFailsUpload, rate != 738); // 738 only matters in Slow Mode
    }
    EXPECT_EQ(Find(r, "loopback_break").strReason,
              "nothing came back after the break, not even the byte sent after it");
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Fails);
    // Each check gives up after a second of silence.
    EXPECT_LT(steady_clock::now() - t0, seconds(30));
}

TEST_F(LineDoctorRun, AStopEndsTheChecksWithinASecond) {
    Plug plug;
    plug.bEcho = false; // every check would wait for a second of silence
    Use(plug);
    std::thread stopper([this] {
        std::this_thread::sleep_for(milliseconds(300));
        m_stop.Set();
    });
    const auto t0 = steady_clock::now();
    const DOCTOR_REPORT r = Run(true);
    const auto took = steady_clock::now() - t0;
    stopper.join();
    EXPECT_TRUE(r.bStopped);
    EXPECT_EQ(JudgeDoctorReport(r), DOCTOR_OUTCOME::Stopped);
    EXPECT_LT(took, milliseconds(300) + seconds(1));
    // What was done before the stop is kept.
    EXPECT_EQ(r.checks.front().strName, "access");
}

// The termios line end to end: a pseudo-terminal whose master returns what the slave sends.
// Every byte value survives the line's PARMRK decoding; a pseudo-terminal has no wire to time,
// no break to send and no modem lines, and the checks say so.
TEST(LineDoctorPty, APseudoTerminalEchoCarriesEveryByteButNoBreakOrModemLines) {
    CPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    pty.DropKeep(); // our own hold would count as another holder
    std::atomic<bool> bStop{false};
    std::thread echo([&] {
        char buf[4096];
        while (!bStop) {
            pollfd p{pty.Master(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = read(pty.Master(), buf, sizeof buf);
            if (n > 0)
                pty.WriteAll(buf, static_cast<size_t>(n));
        }
    });
    DOCTOR_OPTIONS o;
    o.strPort = pty.Slave();
    o.bLoopback = true;
    CEvent stop;
    const DOCTOR_REPORT r = RunLineDoctor(o, stop);
    bStop = true;
    echo.join();

    ASSERT_TRUE(r.bOpened);
    const auto find = [&r](const std::string& strName) {
        for (const auto& c : r.checks) {
            if (c.strName == strName)
                return c;
        }
        ADD_FAILURE() << strName;
        return DOCTOR_CHECK{};
    };
    EXPECT_EQ(find("access").verdict, DOCTOR_VERDICT::Ok);
    EXPECT_EQ(find("holders").verdict, DOCTOR_VERDICT::Ok) << find("holders").strReason;
    for (const DWORD rate : kDoctorRates) {
        const DOCTOR_CHECK c = find("loopback_" + std::to_string(rate));
        // A pseudo-terminal has no rate: its echo comes at once, unless a busy machine ran the
        // echo late, when the timing may show some rate. Never a byte lost or changed.
        if (c.verdict == DOCTOR_VERDICT::Problem) {
            EXPECT_EQ(c.strReason.find("the line runs"), 0u) << rate << ": " << c.strReason;
            EXPECT_EQ(c.strReason.find("came back"), std::string::npos) << c.strReason;
            continue;
        }
        EXPECT_EQ(c.verdict, DOCTOR_VERDICT::Unknown) << rate << ": " << c.strReason;
        EXPECT_NE(c.strReason.find("came back unchanged"), std::string::npos) << c.strReason;
    }
    EXPECT_EQ(find("loopback_break").strReason,
              "the 1 ms break came back without a break report (as nothing): the unit's "
              "answers, each opened by a break, would go unseen");
    EXPECT_EQ(find("loopback_modem_lines").verdict, DOCTOR_VERDICT::Unknown);
    EXPECT_EQ(find("loopback_modem_lines").strReason,
              "the line has no modem-status inputs to read");
}

} // namespace
