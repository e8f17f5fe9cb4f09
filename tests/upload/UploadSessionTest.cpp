// The whole session: its log transcript, line activity and pauses, the guard, cancellation,
// and how front ends start it on its own thread.

#include "../TestTempDir.h"
#include "UploadTestSupport.h"

#include "platform/TimerResolution.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

namespace {

using Session = UploadFixture;

std::string L(const std::string& strText) {
    return "log \"" + Escape(strText) + "\"";
}

std::string StageLine(int n) {
    return "Uploading firmware - part " + std::to_string(n) + " of 5...\n";
}

const std::string BOX_SELECT_PORT = "box Error|You must select a valid serial port|excl|ok";

// The full activity of a clean five-stage upload of the small image set.
Events CleanSession(const TestImages& img, bool bSlow, const std::string& strElapsed) {
    const DWORD dwBoot = bSlow ? 738 : 4800;
    Events e{
        L(bSlow ? "Using low baudrate bootstrap mode\n" : "Using high baudrate bootstrap mode\n"),
        L("Loading the firmware image files...  -> "),
        L("Succeeded\n"),
        "range 0 8",
        "pos 0",
        L("Opening COM port...  -> "),
        "open /dev/ttyUSB0 300",
        L("Succeeded\n"),
        L(StageLine(1)),
        L("# ")};
    Append(e, UnlockEvents(true));
    Append(e, BootFrameEvents(img.shutup, dwBoot));
    Append(e, {"trace Bytes sent: 16;   Bytes received: 17", "clear rx", L(" Succeeded\n")});

    Append(e, {L(StageLine(2)), "sleep 300", L("# ")});
    Append(e, UnlockEvents(false));
    Append(e, BootFrameEvents(img.booti, dwBoot));
    Append(e, {"trace Bytes sent: 8;   Bytes received: 9", "clear rx"});
    Append(e, BootOkEvents(true));
    e.push_back(L(" Succeeded\n"));

    Append(e, {L(StageLine(3)), "sleep 300", L("# ")});
    Append(e, RecordTransferEvents(RecordsOf(img.sboot, 0x500)));
    e.push_back("clear tx");
    Append(e, CommandEvents({'R', 'C'}));
    Append(e, {"waittx 300", "sleep 4000", "clear tx", "clear rx"});
    Append(e, CommandEvents({'O', 'K'}));
    Append(e, {"waittx 200", "waitbreak 500", "waitrx 3 10", L(" Succeeded\n")});

    Append(e, {L(StageLine(4)), "sleep 300", L("# ")});
    Append(e, RecordTransferEvents(RecordsOfS19(img.kernel, 0x10000)));
    Append(e, {"clear rx", "clear tx"});
    Append(e, CommandEvents({'B', '0', 'C'}));
    Append(e, {"waitbreak 4000", "waitrx 3 50", L(" Succeeded\n")});

    Append(e, {L(StageLine(5)), "sleep 300", L("# ")});
    Append(e, RecordTransferEvents(RecordsOfS19(img.firmware, 0)));
    Append(e, {"sleep 2000", "clear rx", "clear tx"});
    Append(e, CommandEvents({'R', 'C'}));
    Append(e, {"waitbreak 4000", "waitrx 3 150", L(" Succeeded\n")});

    Append(e, {L("Firmware uploaded in " + strElapsed + " (h:mm:ss)\n\n"),
               "box MorFWUpload|Firmware upload appears to be successful.|none|ok", "close",
               L("\n"), "caption Start Upload"});
    return e;
}

const char* const CLEAN_LOG = "Using high baudrate bootstrap mode\r\n"
                              "Loading the firmware image files...  -> Succeeded\r\n"
                              "Opening COM port...  -> Succeeded\r\n"
                              "Uploading firmware - part 1 of 5...\r\n#  Succeeded\r\n"
                              "Uploading firmware - part 2 of 5...\r\n#  Succeeded\r\n"
                              "Uploading firmware - part 3 of 5...\r\n# ... Succeeded\r\n"
                              "Uploading firmware - part 4 of 5...\r\n# ... Succeeded\r\n"
                              "Uploading firmware - part 5 of 5...\r\n# .. Succeeded\r\n"
                              "Firmware uploaded in 0:00:07 (h:mm:ss)\r\n\r\n"
                              "\r\n";

TEST_F(Session, CleanUploadOfAllFiveStages) {
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(activity.Events(), CleanSession(host.images, false, "0:00:07"));
    EXPECT_EQ(Log(), CLEAN_LOG);
    EXPECT_EQ(host.strShown, CLEAN_LOG);
    EXPECT_EQ(g_nBootstrapBaud.load(), 4800);
    // The paces of the stages, and nothing else, took the time.
    EXPECT_EQ(clock.Readings().size(), 2u);
    // (Stage 3's "OK" is in at once: the wait for it ends there, not after 10 ms.)
    EXPECT_EQ((clock.Readings()[1] - clock.Readings()[0]) / 10'000, 7613);
    // The guard: no image held when the port closed, idle again, the bar left where it was.
    EXPECT_EQ(host.nImagesAtClose, 0u);
    EXPECT_TRUE(host.m_listFileImg.empty());
    EXPECT_FALSE(unit.bOpen);
    EXPECT_FALSE(host.m_bUploading);
    EXPECT_EQ(host.nStepTotal, 3 * 20);
    EXPECT_EQ(host.nRangeUpper, 8);
}

TEST_F(Session, SlowModeUsesTheLowBootstrapRate) {
    host.m_bSlowMode = true;
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(activity.Events(), CleanSession(host.images, true, "0:00:07"));
    EXPECT_EQ(g_nBootstrapBaud.load(), 738);

    // The next session reads the option afresh.
    host.m_bSlowMode = false;
    activity.Clear();
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(g_nBootstrapBaud.load(), 4800);
    EXPECT_EQ(activity.Events().front(), L("Using high baudrate bootstrap mode\n"));
    EXPECT_EQ(activity.Only({"send@738"}), Events{});
}

TEST_F(Session, StageOneFailureWaitsTwoSecondsBeforeTheGuard) {
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_EQ(activity.From(activity.Size() - 6),
              (Events{"waitbreak 500 timeout", L(" Failed!!!  -> Out of retries!!!\n"),
                      "sleep 2000", "close", L("\n"), "caption Start Upload"}));
    EXPECT_TRUE(
        Log().ends_with("Uploading firmware - part 1 of 5...\r\n# ++++++++++++++ Failed!!!  "
                        "-> Out of retries!!!\r\n\r\n"));
    EXPECT_FALSE(host.m_bUploading);
}

TEST_F(Session, LaterStageFailuresEndAtOnce) {
    unit.answerBootOk = [](int) { return false; };
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_TRUE(Log().ends_with(
        "part 2 of 5...\r\n# *************** Failed!!!  -> Out of retries!!!\r\n\r\n"));
    EXPECT_EQ(activity.From(activity.Size() - 4),
              (Events{L(" Failed!!!  -> Out of retries!!!\n"), "close", L("\n"),
                      "caption Start Upload"}));

    // A wrong closing reply (E_UNEXPECTED) reads the same.
    activity.Clear();
    unit.answerBootOk = nullptr;
    unit.firmwareReply = Bytes{'R', 'C', 'C'};
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_EQ(activity.From(activity.Size() - 6),
              (Events{"waitbreak 4000", "waitrx 3 150", L(" Failed!!!  -> Out of retries!!!\n"),
                      "close", L("\n"), "caption Start Upload"}));
}

TEST_F(Session, MissingImageFile) {
    host.nPos = 37; // left from an earlier session
    host.nLoadFailAt = 3;
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Failed!!!\r\n\r\n");
    EXPECT_EQ(activity.Only({"open", "box", "range", "pos"}), Events{});
    EXPECT_EQ(host.nPos, 37); // the bar is untouched
    EXPECT_EQ(host.nImagesAtClose, 0u);
}

TEST_F(Session, InvalidImageSetIsNamedUnderTheFailedLine) {
    host.nLoadFailAt = 4;
    host.strLoadError = "/opt/morfw/MorFWImg/Morvane.s19, line 7: S-record checksum mismatch";
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Failed!!!\r\n"
                     "/opt/morfw/MorFWImg/Morvane.s19, line 7: S-record checksum mismatch\r\n\r\n");
    EXPECT_EQ(activity.Only({"open", "box"}), Events{});
}

TEST_F(Session, EmptyPortName) {
    host.strPortText = "";
    EXPECT_EQ(host.Run(), E_INVALIDARG);
    EXPECT_EQ(activity.Events(), (Events{L("Using high baudrate bootstrap mode\n"),
                                         L("Loading the firmware image files...  -> "),
                                         L("Succeeded\n"), "range 0 8", "pos 0", BOX_SELECT_PORT,
                                         "focus port", "close", L("\n"), "caption Start Upload"}));
}

TEST_F(Session, PortNameLongerThanTheRecordIsRefusedLikeAnEmptyOne) {
    host.strPortText = "/dev/" + std::string(sizeof(PORTMODE::szPort) - 5, 'x');
    EXPECT_EQ(host.Run(), E_INVALIDARG);
    EXPECT_EQ(activity.Count(BOX_SELECT_PORT), 1);
    EXPECT_EQ(activity.Only({"open"}), Events{});

    // The longest name that fits is used unchanged.
    activity.Clear();
    host.strPortText.pop_back();
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(activity.Only({"open"}), (Events{"open " + host.strPortText + " 300"}));
}

TEST_F(Session, PortThatCannotBeOpened) {
    unit.hrOpen = E_PORT_OPEN_FAILED;
    EXPECT_EQ(host.Run(), E_FAIL);
    const std::string strBox =
        "box Error|Serial port could not be open.\\n\\nCheck the following:\\n"
        "* You have selected the correct serial port\\n"
        "* No other application is accessing the serial port\\n"
        "* If you use PDA (such as Palm Pilot or Win CE palmtop)\\n"
        "    synchronisers, they are not configured for this port\\n"
        "    and loaded to run in background|excl|ok";
    EXPECT_EQ(activity.From(5),
              (Events{L("Opening COM port...  -> "), "open /dev/ttyUSB0 300 failed",
                      L("Failed!!!\n"), strBox, "close", L("\n"), "caption Start Upload"}));
}

TEST_F(Session, ProgressBarIsNotResetWhenTheSessionEnds) {
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(host.nStepTotal, 60);
    // A failing load leaves the bar alone; the next good load sets it again.
    host.nLoadFailAt = 0;
    activity.Clear();
    host.Run();
    EXPECT_EQ(activity.Only({"range", "pos"}), Events{});
    host.nLoadFailAt = -1;
    activity.Clear();
    host.strPortText.clear();
    host.Run();
    EXPECT_EQ(activity.Only({"range", "pos"}), (Events{"range 0 8", "pos 0"}));
}

TEST_F(Session, ElapsedTimeShowsWholeHoursMinutesAndTruncatedSeconds) {
    struct Case {
        std::int64_t n100ns;
        const char* pszText;
    };
    for (const Case c : {Case{(3600 + 2 * 60 + 3) * 10'000'000LL + 9'000'000, "1:02:03"},
                         Case{25 * 3600 * 10'000'000LL, "25:00:00"},
                         Case{59 * 10'000'000LL + 9'999'999, "0:00:59"}}) {
        activity.Clear();
        // Set the clock as the fifth stage's line is completed.
        activity.onEvent = [this, c](const std::string& e) {
            if (e == L(" Succeeded\n") && activity.Count(e) == 5)
                clock.SetNow(clock.Readings().back() + c.n100ns);
        };
        const std::size_t nReadings = clock.Readings().size();
        EXPECT_EQ(host.Run(), S_OK);
        ASSERT_EQ(clock.Readings().size(), nReadings + 2);
        EXPECT_EQ(
            activity.Count(L(std::string("Firmware uploaded in ") + c.pszText + " (h:mm:ss)\n\n")),
            1)
            << c.pszText;
    }
}

// --- Cancellation ----------------------------------------------------------------------------

// The guard's line end, then its report.
const std::string CANCELLED_TAIL = "\r\nUser cancelled...\r\n\r\n";

TEST_F(Session, CancelWhileLoadingIsSeenAfterTheLoadingLine) {
    host.onLoading = [this] { host.m_bCancel = true; };
    EXPECT_EQ(host.Run(), 1);
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Succeeded\r\n" +
                         CANCELLED_TAIL);
    EXPECT_EQ(activity.Only({"open", "range"}), Events{});
    EXPECT_FALSE(host.m_bCancel);
}

TEST_F(Session, CancelWhileOpeningIsSeenAfterTheOpeningLine) {
    activity.onEvent = [this](const std::string& e) {
        if (e.starts_with("open "))
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.Run(), 1);
    EXPECT_TRUE(Log().ends_with("Opening COM port...  -> Succeeded\r\n" + CANCELLED_TAIL));
    EXPECT_EQ(activity.Only({"send"}), Events{});
}

TEST_F(Session, CancelAfterEachSucceededStageEndsTheSession) {
    // Confirmed during a step of the stage past its last cancel check: the stage succeeds, and
    // the session's check right after it ends the session.
    struct Point {
        const char* pszEvent;
        int nOccurrence;
    };
    const Point points[] = {{"trace Bytes sent: 16;   Bytes received: 17", 1},
                            {"trace Bytes sent: 8;   Bytes received: 9", 1},
                            {"waitrx 3 10", 1},
                            {"waitbreak 4000", 1},
                            {"waitbreak 4000", 2}};
    for (int nStage = 1; nStage <= 5; ++nStage) {
        activity.Clear();
        const Point p = points[nStage - 1];
        activity.onEvent = [this, p](const std::string& e) {
            if (e == p.pszEvent && activity.Count(e) == p.nOccurrence)
                host.m_bCancel = true;
        };
        EXPECT_EQ(host.Run(), 1) << nStage;
        EXPECT_TRUE(Log().ends_with(" Succeeded\r\n" + CANCELLED_TAIL)) << nStage;
        EXPECT_EQ(activity.Count(L(" Succeeded\n")), nStage);
        EXPECT_EQ(activity.Count(L(StageLine(nStage))), 1) << nStage;
        if (nStage < 5) {
            EXPECT_EQ(activity.Count(L(StageLine(nStage + 1))), 0) << nStage;
        }
        EXPECT_EQ(activity.Only({"box"}), Events{}) << nStage; // no success box
        EXPECT_EQ(activity.Only({"log \"Firmware uploaded"}), Events{}) << nStage;
    }
}

TEST_F(Session, StageFailingAfterACancelWritesNoFailureLine) {
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    activity.onEvent = [this](const std::string& e) {
        if (e == "waitbreak 500 timeout")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.Run(), 1);
    EXPECT_TRUE(Log().ends_with("part 1 of 5...\r\n# +" + CANCELLED_TAIL));
    EXPECT_EQ(activity.Count("sleep 2000"), 0);
    EXPECT_EQ(activity.Count(L(" Failed!!!  -> Out of retries!!!\n")), 0);

    // The same for stage 4, whose closing exchange ends with a wrong reply after the cancel.
    activity.Clear();
    unit.echo = nullptr;
    unit.bBreakAfterEcho = true;
    unit.kernelReply = std::nullopt;
    activity.onEvent = [this](const std::string& e) {
        if (e == "send@38400 \"B0C\"")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.Run(), 1);
    EXPECT_TRUE(Log().ends_with("part 4 of 5...\r\n# ..." + CANCELLED_TAIL));
    EXPECT_EQ(activity.Count("waitbreak 4000 timeout"), 1); // the exchange ran to its end
}

TEST_F(Session, CancelDuringTheFifthStageEndsAsCancelledEvenWhenItSucceeds) {
    activity.onEvent = [this](const std::string& e) {
        if (e == "sleep 2000")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.Run(), 1);
    EXPECT_TRUE(Log().ends_with("part 5 of 5...\r\n# .. Succeeded\r\n" + CANCELLED_TAIL));
    EXPECT_EQ(activity.Count("send@38400 \"RC\""), 2); // stage 3's and the final one
    EXPECT_EQ(activity.Only({"box"}), Events{});
}

TEST_F(Session, CancelAndAFailedLoad) {
    host.onLoading = [this] { host.m_bCancel = true; };
    host.nLoadFailAt = 3;
    EXPECT_EQ(host.Run(), E_FAIL); // no check on this path: a failure, reported as cancelled
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Failed!!!\r\n" +
                         CANCELLED_TAIL);
}

// The timer's 1 ms resolution is the session's alone: raised once before anything else and given
// back once after the guard, whichever way the session ends.
TEST_F(Session, TimerResolutionIsRaisedForTheSessionAloneOnEveryPath) {
    const auto old = SetTimerPeriodObserver(
        [this](bool bRaise) { activity.Add(bRaise ? "timer 1 ms" : "timer back"); });
    const auto expectPaired = [this](const char* pszPath) {
        const Events ev = activity.Events();
        ASSERT_FALSE(ev.empty());
        EXPECT_EQ(ev.front(), "timer 1 ms") << pszPath;
        EXPECT_EQ(ev.back(), "timer back") << pszPath;
        EXPECT_EQ(activity.Count("timer 1 ms"), 1) << pszPath;
        EXPECT_EQ(activity.Count("timer back"), 1) << pszPath;
        EXPECT_EQ(ev[ev.size() - 2], "caption Start Upload") << pszPath; // after the guard
    };
    EXPECT_EQ(host.Run(), S_OK);
    expectPaired("success");
    activity.Clear();
    host.nLoadFailAt = 2;
    EXPECT_EQ(host.Run(), E_FAIL);
    expectPaired("failed load");
    activity.Clear();
    host.nLoadFailAt = -1;
    unit.kernelReply = std::nullopt;
    EXPECT_EQ(host.Run(), E_FAIL);
    expectPaired("failed stage");
    SetTimerPeriodObserver(old);
}

TEST_F(Session, GuardOrder) {
    host.m_bCancel = true; // seen at the first check, after loading
    EXPECT_EQ(host.Run(), 1);
    EXPECT_EQ(activity.From(3),
              (Events{"close", L("\n"), "caption Start Upload", L("User cancelled...\n\n")}));
    EXPECT_EQ(host.nImagesAtClose, 0u);
    EXPECT_FALSE(host.m_bCancel);
    EXPECT_FALSE(host.m_bUploading);
}

// --- The real image loader -------------------------------------------------------------------

class SessionWithImageFiles : public UploadFixture {
protected:
    SessionWithImageFiles() {
        m_dir = MakeTestTempDir("morfw-upload-test-");
        std::filesystem::create_directory(m_dir / "MorFWImg");
        const TestImages img = SmallImages();
        Write("Shutup.bin", std::string(img.shutup.begin(), img.shutup.end()));
        Write("BootI.bin", std::string(img.booti.begin(), img.booti.end()));
        Write("SBoot.bin", std::string(img.sboot.begin(), img.sboot.end()));
        Write("kernimg.s19", img.kernel);
        Write("Morvane.s19", img.firmware);
        host.bRealLoader = true;
        host.m_strAppDir = m_dir.string() + "/";
    }
    ~SessionWithImageFiles() override { std::filesystem::remove_all(m_dir); }

    void Write(const char* pszName, const std::string& strData) {
        std::ofstream(m_dir / "MorFWImg" / pszName, std::ios::binary) << strData;
    }

    std::filesystem::path m_dir;
};

TEST_F(SessionWithImageFiles, UploadsTheFilesOfTheImageDirectory) {
    EXPECT_EQ(host.Run(), S_OK);
    EXPECT_EQ(activity.Events(), CleanSession(host.images, false, "0:00:07"));
}

// The window's operator has only the log to learn which file is missing.
TEST_F(SessionWithImageFiles, MissingFileIsNamedUnderTheFailedLine) {
    std::filesystem::remove(m_dir / "MorFWImg" / "kernimg.s19");
    EXPECT_EQ(host.Run(), E_FAIL);
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Failed!!!\r\n" +
                         GetImageDir(host.m_strAppDir) +
                         "kernimg.s19: cannot open: No such file or directory\r\n\r\n");
    EXPECT_EQ(activity.Only({"open"}), Events{});
}

// Parts that would send nothing, or a boot image that cannot go out, never reach the port.
TEST_F(SessionWithImageFiles, ImagesThatCannotBeSentRightFailTheLoadingBeforeThePortOpens) {
    for (const auto& [pszName, strData, strReason] :
         {std::tuple<const char*, std::string, std::string>{
              "SBoot.bin", "", ": empty file; part 3 of 5 would send nothing to the unit"},
          {"BootI.bin", std::string(4096, '\x55'),
           ": 4096 bytes; a boot image can have at most 4095"}}) {
        const TestImages img = SmallImages();
        Write("SBoot.bin", std::string(img.sboot.begin(), img.sboot.end()));
        Write("BootI.bin", std::string(img.booti.begin(), img.booti.end()));
        Write(pszName, strData);
        activity.Clear();
        EXPECT_EQ(host.Run(), E_FAIL) << pszName;
        EXPECT_TRUE(Log().ends_with("Loading the firmware image files...  -> Failed!!!\r\n" +
                                    GetImageDir(host.m_strAppDir) + pszName + strReason +
                                    "\r\n\r\n"))
            << Log();
        EXPECT_EQ(activity.Only({"open", "box"}), Events{});
    }
}

TEST_F(SessionWithImageFiles, InvalidSRecordFileIsNamedWithItsLine) {
    std::string strKernel = SmallImages().kernel;
    const std::size_t nLine2 = strKernel.find("S1");
    strKernel[nLine2 + 10] = strKernel[nLine2 + 10] == '0' ? '1' : '0'; // a data digit: checksum
    Write("kernimg.s19", strKernel);
    EXPECT_EQ(host.Run(), E_FAIL);
    const std::string strLog = Log();
    const std::string strHead = "Loading the firmware image files...  -> Failed!!!\r\n";
    const std::size_t n = strLog.find(strHead);
    ASSERT_NE(n, std::string::npos) << strLog;
    const std::string strLine = strLog.substr(n + strHead.size());
    EXPECT_NE(strLine.find("kernimg.s19"), std::string::npos) << strLine;
    EXPECT_NE(strLine.find("line 2"), std::string::npos) << strLine;
    EXPECT_TRUE(strLine.ends_with("\r\n\r\n")) << strLine;
    EXPECT_EQ(std::count(strLine.begin(), strLine.end(), '\n'), 2) << strLine;
    EXPECT_EQ(activity.Only({"open"}), Events{});
}

// --- The session thread --------------------------------------------------------------------

// Holds the worker at one event until the test lets it go on.
class Gate {
public:
    void Arm(CActivity& activity, std::string strEvent) {
        activity.onEvent = [this, strEvent](const std::string& e) {
            if (e == strEvent && !m_bPassed) {
                m_bPassed = true;
                m_reached.set_value();
                m_release.get_future().wait();
            }
        };
    }
    void WaitReached() { m_reached.get_future().wait(); }
    void Release() { m_release.set_value(); }

private:
    bool m_bPassed = false;
    std::promise<void> m_reached, m_release;
};

TEST_F(Session, StartRunsTheSessionOnItsOwnThread) {
    Gate gate;
    gate.Arm(activity, L(StageLine(1)));
    ASSERT_TRUE(host.StartUploadSession("Start Upload"));
    gate.WaitReached();
    EXPECT_TRUE(host.IsSessionRunning());
    EXPECT_FALSE(host.StartUploadSession("Cancel Upload")); // one session at a time
    EXPECT_FALSE(host.WaitForSessionEnd(10));
    gate.Release();
    ASSERT_TRUE(host.WaitForSessionEnd(20'000));
    EXPECT_FALSE(host.IsSessionRunning());
    EXPECT_EQ(Log(), CLEAN_LOG);
    EXPECT_EQ(activity.Events().back(), "caption Start Upload");
}

TEST_F(Session, ConfirmedCancelStopsTheRunningSession) {
    Gate gate;
    gate.Arm(activity, L(StageLine(3)));
    ASSERT_TRUE(host.StartUploadSession());
    gate.WaitReached();
    const std::uint64_t nTicket = host.GetCancelTicket();
    EXPECT_NE(nTicket, 0u);
    EXPECT_TRUE(host.ConfirmCancel(nTicket));
    gate.Release();
    ASSERT_TRUE(host.WaitForSessionEnd(20'000));
    EXPECT_TRUE(Log().ends_with("part 3 of 5...\r\n# ." + CANCELLED_TAIL)) << Log();
    EXPECT_FALSE(host.m_bCancel);
}

TEST_F(Session, CancelAnsweredAfterTheSessionEndedIsDropped) {
    Gate gate;
    gate.Arm(activity, L(StageLine(5)));
    ASSERT_TRUE(host.StartUploadSession());
    gate.WaitReached();
    const std::uint64_t nTicket = host.GetCancelTicket(); // the question opens here
    gate.Release();
    ASSERT_TRUE(host.WaitForSessionEnd(20'000)); // the session ends on its own
    EXPECT_FALSE(host.ConfirmCancel(nTicket));   // then the operator answers Yes
    EXPECT_FALSE(host.m_bCancel);
    EXPECT_EQ(host.GetCancelTicket(), 0u);

    // Also when a new session has started meanwhile: the old answer does not stop it.
    activity.onEvent = nullptr;
    ASSERT_TRUE(host.StartUploadSession());
    EXPECT_FALSE(host.ConfirmCancel(nTicket));
    ASSERT_TRUE(host.WaitForSessionEnd(20'000));
    EXPECT_TRUE(Log().ends_with("Firmware uploaded in 0:00:07 (h:mm:ss)\r\n\r\n\r\n"));
    EXPECT_EQ(activity.Count(L("User cancelled...\n\n")), 0);
    EXPECT_EQ(activity.Count("box MorFWUpload|Firmware upload appears to be successful.|none|ok"),
              2);
}

TEST_F(Session, NoThreadForTheSessionLeavesTheDialogIdle) {
    host.bThreadFails = true;
    EXPECT_FALSE(host.StartUploadSession());
    EXPECT_FALSE(host.IsSessionRunning());
    EXPECT_TRUE(host.WaitForSessionEnd(0));
    EXPECT_EQ(Log(), "The upload could not be started: the system gave no thread for it.\r\n\r\n");
    EXPECT_EQ(host.GetCancelTicket(), 0u);
    host.bThreadFails = false;
    ASSERT_TRUE(host.StartUploadSession());
    ASSERT_TRUE(host.WaitForSessionEnd(20'000));
    EXPECT_EQ(activity.Count("box MorFWUpload|Firmware upload appears to be successful.|none|ok"),
              1);
}

} // namespace
