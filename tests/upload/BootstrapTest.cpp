// Stages 1 and 2 against the scripted unit on the virtual clock.

#include "UploadTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bootstrap = UploadFixture;

std::string Trace(const char* psz) {
    return std::string("trace ") + psz;
}

TEST_F(Bootstrap, FirstAttemptSucceeds) {
    Prepare(300);
    const Bytes& image = host.images.shutup;
    EXPECT_EQ(host.UploadShutup(), 0);

    Events want{"log \"# \""};
    Append(want, UnlockEvents(true));
    Append(want, BootFrameEvents(image, 4800));
    // The echo and the break's 0x00 behind it: one trailing byte more than the image.
    Append(want, {"trace Bytes sent: 16;   Bytes received: 17", "clear rx"});
    EXPECT_EQ(activity.Events(), want);
    EXPECT_EQ(unit.dwBaud, 4800u);
    EXPECT_EQ(clock.NowMs(), 5'000'000'000 / 10'000 + 150); // only the unlock's two pauses
    EXPECT_EQ(Log(), "# ");
}

TEST_F(Bootstrap, SlowModeSendsTheFrameAt738AndTheUnlockAt300) {
    Prepare(38400);
    g_nBootstrapBaud = BOOTSTRAP_BAUD_SLOW;
    EXPECT_EQ(host.UploadShutup(), 0);
    Events want{"log \"# \""};
    Append(want, UnlockEvents(false));
    Append(want, BootFrameEvents(host.images.shutup, 738));
    Append(want, {"trace Bytes sent: 16;   Bytes received: 17", "clear rx"});
    EXPECT_EQ(activity.Events(), want);
}

TEST_F(Bootstrap, NoEchoFailsFifteenAttempts) {
    Prepare(300);
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    const std::int64_t nStart = clock.NowMs();
    EXPECT_EQ(host.UploadShutup(), E_FAIL);

    EXPECT_EQ(Log(), "# ++++++++++++++");
    EXPECT_EQ(unit.bootFrames.size(), 15u);
    EXPECT_EQ(unit.nUnlocks, 15);
    EXPECT_EQ(activity.Count("sleep 1300"), 14);
    EXPECT_TRUE(activity.Only({"trace Bytes", "trace Length", "trace Char"}).empty());
    // Each attempt: 150 ms of unlock, 500 ms for the echo's break; 14 pauses between them.
    EXPECT_EQ(clock.NowMs() - nStart, 15 * 650 + 14 * 1300);

    // Each retry is "+" then the pause, then the unlock.
    const auto& ev = activity.Events();
    const auto it = std::find(ev.begin(), ev.end(), "log \"+\"");
    ASSERT_NE(it, ev.end());
    EXPECT_EQ(*(it + 1), "sleep 1300");
    EXPECT_EQ(*(it + 2), "baud 300");
}

TEST_F(Bootstrap, EchoLengthChecks) {
    Prepare(300);
    // One byte longer (beyond the break's byte, which the unit does not send here): accepted.
    unit.bBreakAfterEcho = false;
    unit.echo = [](const Bytes& img, int) {
        Bytes e = img;
        e.push_back(0x55);
        return e;
    };
    EXPECT_EQ(host.UploadBootStrap(0, false), 0);
    EXPECT_EQ(unit.bootFrames.size(), 1u);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 17"), 1);

    // One byte shorter: refused, every time.
    activity.Clear();
    unit.echo = [](const Bytes& img, int) { return Bytes(img.begin(), img.end() - 1); };
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 15"), 15);
    EXPECT_EQ(activity.Count("trace Length check failed"), 15);

    // Two bytes longer: refused.
    activity.Clear();
    unit.echo = [](const Bytes& img, int) {
        Bytes e = img;
        e.insert(e.end(), {1, 2});
        return e;
    };
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("trace Length check failed"), 15);
}

TEST_F(Bootstrap, EchoMismatchNamesTheIndexAndRetries) {
    Prepare(300);
    unit.echo = [](const Bytes& img, int nFrame) {
        Bytes e = img;
        if (nFrame < 3)
            e[5] ^= 0x40;
        return e;
    };
    EXPECT_EQ(host.UploadShutup(), 0);
    EXPECT_EQ(activity.Count("trace Char comp. failed: 5 indx."), 2);
    EXPECT_EQ(Log(), "# ++");
}

TEST_F(Bootstrap, LeadingZeroIsDroppedOnlyWhenTheImageDoesNotBeginWithOne) {
    // A late break from the unlock leaves a 0x00 before the echo.
    Prepare(300);
    unit.echo = [](const Bytes& img, int) {
        Bytes e(img.size() + 1, 0x00);
        std::copy(img.begin(), img.end(), e.begin() + 1);
        return e;
    };
    unit.bBreakAfterEcho = false;
    EXPECT_EQ(host.UploadBootStrap(0, false), 0);
    EXPECT_EQ(activity.Count("read rx 1"), 1);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 16"), 1);

    // An image that begins with 0x00: its echo's first byte is image data, never dropped.
    activity.Clear();
    host.m_listFileImg.front()->pData[0] = 0x00;
    unit.echo = [](const Bytes& img, int) { return img; };
    EXPECT_EQ(host.UploadBootStrap(0, false), 0);
    EXPECT_EQ(activity.Count("read rx 1"), 0);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 16"), 1);
}

TEST_F(Bootstrap, RelaxedAcceptsAWrongEchoButNotAnEmptyOne) {
    Prepare(300);
    unit.bBreakAfterEcho = false;
    unit.echo = [](const Bytes&, int) { return Bytes{0x42}; };
    EXPECT_EQ(host.UploadBootStrap(0, true), 0);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 1"), 1);
    EXPECT_TRUE(activity.Only({"trace Length", "trace Char"}).empty());

    // Only the break's 0x00: dropped, 0 bytes counted, and still accepted.
    activity.Clear();
    unit.bBreakAfterEcho = true;
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    EXPECT_EQ(host.UploadBootStrap(0, true), 0);
    EXPECT_EQ(activity.Count("trace Bytes sent: 16;   Bytes received: 0"), 1);
    // Without the option the same reception fails the length check.
    activity.Clear();
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("trace Length check failed"), 15);

    // Nothing at all: fails even with the option.
    activity.Clear();
    unit.bBreakAfterEcho = false;
    EXPECT_EQ(host.UploadBootStrap(0, true), E_FAIL);
    EXPECT_EQ(unit.bootFrames.size(), 1u + 1u + 15u + 15u);
}

TEST_F(Bootstrap, RelaxedOptionIsReadAtEachPassOfStageTwo) {
    Prepare(300);
    // A wrong echo that only the relaxed check lets through. The option is ticked while the
    // first attempt of the first pass is being checked: that pass keeps the value it read.
    unit.echo = [](const Bytes& img, int) {
        Bytes e = img;
        e[0] ^= 1;
        return e;
    };
    activity.onEvent = [this](const std::string& e) {
        if (e == "trace Char comp. failed: 0 indx.")
            host.m_bRelaxedErrorChecking = true;
    };
    EXPECT_EQ(host.UploadBootI(), 0);
    EXPECT_EQ(unit.bootFrames.size(), 16u);
    EXPECT_EQ(activity.Count("trace Char comp. failed: 0 indx."), 15);
    EXPECT_EQ(Log(), "# ++++++++++++++");
}

TEST_F(Bootstrap, UnlockFailures) {
    Prepare(38400);
    unit.setBaud = [](DWORD dwBaud) { return dwBaud == 300 ? E_FAIL : S_OK; };
    EXPECT_EQ(host.SendUnlockSequence(), E_FAIL);
    EXPECT_EQ(activity.Events(),
              (Events{"baud 300",
                      Trace("CMorFWUploadDlg::SendUnlockSequence:  SetPortMode(300) failed")}));

    activity.Clear();
    unit.setBaud = nullptr;
    unit.txTimesOut = [](const std::string& strLast, DWORD) { return strLast != "Q!X"; };
    EXPECT_EQ(host.SendUnlockSequence(), E_FAIL);
    EXPECT_EQ(activity.Events(),
              (Events{"baud 300", "waittx 2000 timeout",
                      Trace("CMorFWUploadDlg::SendUnlockSequence:  WaitTxEmpty (1) failed")}));

    activity.Clear();
    unit.txTimesOut = [](const std::string& strLast, DWORD) { return strLast == "Q!X"; };
    EXPECT_EQ(host.SendUnlockSequence(), E_FAIL);
    Events want = UnlockEvents(true);
    want.back() = "waittx 2000 timeout";
    want.push_back(Trace("CMorFWUploadDlg::SendUnlockSequence:  WaitTxEmpty (2) failed"));
    EXPECT_EQ(activity.Events(), want);
}

TEST_F(Bootstrap, FailedUnlockFailsTheAttemptWithoutAFrame) {
    Prepare(300);
    unit.txTimesOut = [](const std::string& strLast, DWORD) { return strLast == "Q!X"; };
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootStrap:  SendUnlockSequence failed"),
              15);
    EXPECT_TRUE(unit.bootFrames.empty());
}

TEST_F(Bootstrap, BootstrapRateRefusedEndsAtOnce) {
    Prepare(300);
    unit.setBaud = [](DWORD dwBaud) { return dwBaud == 300 ? S_OK : E_FAIL; };
    EXPECT_EQ(host.UploadShutup(), E_FAIL);
    Events want{"log \"# \""};
    Append(want, UnlockEvents(true));
    Append(want,
           {"baud 4800", Trace("CMorFWUploadDlg::SendUnlockSequence:  SetPortMode(738) failed")});
    EXPECT_EQ(activity.Events(), want);
}

TEST_F(Bootstrap, MissingUnlockBreakIsTracedAndTheAttemptGoesOn) {
    Prepare(300);
    unit.bAnswerUnlock = false;
    EXPECT_EQ(host.UploadShutup(), 0);
    Events want{"log \"# \""};
    Append(want, UnlockEvents(true));
    Append(want, BootFrameEvents(host.images.shutup, 4800, false));
    Append(want, {"trace Bytes sent: 16;   Bytes received: 17", "clear rx"});
    EXPECT_EQ(activity.Events(), want);
}

TEST_F(Bootstrap, SendFailureAndTransmitTimeout) {
    Prepare(300);
    unit.nSendResult = 1; // the ring overran
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootStrap:  Send failed"), 15);
    EXPECT_EQ(activity.Count("waittx 1440"), 0);

    activity.Clear();
    unit.nSendResult = 0;
    unit.txTimesOut = [](const std::string&, DWORD dwMs) { return dwMs == 16 * 90; };
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_EQ(activity.Count("waittx 1440 timeout"), 15);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootStrap:  Send timed out"), 15);
    EXPECT_EQ(activity.Count("waitbreak 500"), 0);
}

TEST_F(Bootstrap, ImageTooLargeForTheTransmitRingIsNeverSent) {
    host.images.shutup = CountingBytes(MAX_BOOT_IMAGE_LENGTH + 1);
    Prepare(300);
    EXPECT_EQ(host.UploadBootStrap(0, false), E_FAIL);
    EXPECT_TRUE(unit.bootFrames.empty());
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootStrap:  Send failed"), 15);
    EXPECT_EQ(unit.nUnlocks, 15);

    // The largest image that fits goes out whole.
    host.m_listFileImg.clear();
    unit.Close();
    host.images.shutup = CountingBytes(MAX_BOOT_IMAGE_LENGTH);
    Prepare(300);
    EXPECT_EQ(host.UploadBootStrap(0, false), 0);
    ASSERT_EQ(unit.bootFrames.size(), 1u);
    EXPECT_EQ(unit.bootFrames[0], host.images.shutup);
}

TEST_F(Bootstrap, EmptyImage) {
    // Only the lead byte goes out; the unit's break is all that comes back and is kept, since
    // there is no first image byte to tell it from an echo.
    host.images.shutup.clear();
    Prepare(300);
    EXPECT_EQ(host.UploadBootStrap(0, false), 0);
    EXPECT_EQ(activity.Count("send@4800 ff"), 1);
    EXPECT_EQ(activity.Count("waittx 0"), 1);
    EXPECT_EQ(activity.Count("read rx 1"), 0);
    EXPECT_EQ(activity.Count("trace Bytes sent: 0;   Bytes received: 1"), 1);
}

TEST_F(Bootstrap, MissingImageTouchesNoLine) {
    Prepare(300);
    host.m_listFileImg.resize(1);
    EXPECT_EQ(host.UploadBootStrap(1, false), E_FAIL);
    EXPECT_TRUE(activity.Events().empty());
}

TEST_F(Bootstrap, CancelIsSeenAtTheNextAttemptAfterItsPause) {
    Prepare(300);
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    activity.onEvent = [this](const std::string& e) {
        if (e == "waitbreak 500 timeout" && unit.bootFrames.size() == 2)
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.UploadShutup(), 1);
    EXPECT_EQ(Log(), "# ++");
    const Events tail = activity.From(activity.Size() - 3);
    EXPECT_EQ(tail, (Events{"waitbreak 500 timeout", "log \"+\"", "sleep 1300"}));
    EXPECT_EQ(unit.bootFrames.size(), 2u);
}

TEST_F(Bootstrap, StageTwoSwitchesTo38400AndExchangesOk) {
    Prepare(300);
    EXPECT_EQ(host.UploadShutup(), 0);
    activity.Clear();
    EXPECT_EQ(host.UploadBootI(), 0);
    Events want{"log \"# \""};
    Append(want, UnlockEvents(false));
    Append(want, BootFrameEvents(host.images.booti, 4800));
    Append(want, {"trace Bytes sent: 8;   Bytes received: 9", "clear rx"});
    Append(want, BootOkEvents(true));
    EXPECT_EQ(activity.Events(), want);
    EXPECT_EQ(unit.dwBaud, 38400u);
    EXPECT_EQ(Log(), "# # ");
}

TEST_F(Bootstrap, StageTwoNeverAnsweringOkFailsAfterFifteenPasses) {
    Prepare(300);
    unit.answerBootOk = [](int) { return false; };
    EXPECT_EQ(host.UploadBootI(), E_FAIL);
    EXPECT_EQ(Log(), "# ***************");
    EXPECT_EQ(unit.bootFrames.size(), 15u);
    EXPECT_EQ(activity.Count("sleep 200"), 15);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootI:  WaitRxBreak timed out"), 15);
    // Each pass starts again with the unlock at 300 baud.
    EXPECT_EQ(unit.nUnlocks, 15);
}

TEST_F(Bootstrap, StageTwoRetriesShowBothMarks) {
    Prepare(300);
    // The first frame's echo is wrong, the first "OK" goes unanswered.
    unit.echo = [](const Bytes& img, int nFrame) {
        Bytes e = img;
        if (nFrame == 1)
            e[0] ^= 1;
        return e;
    };
    unit.answerBootOk = [](int nOk) { return nOk > 1; };
    EXPECT_EQ(host.UploadBootI(), 0);
    EXPECT_EQ(Log(), "# +*");
}

TEST_F(Bootstrap, StageTwoTransmitTimeoutsAreTracedAndIgnored) {
    Prepare(300);
    int nWaits = 0;
    unit.txTimesOut = [&nWaits](const std::string&, DWORD dwMs) {
        // After the frame: the wait before "OK" and the one after it.
        return dwMs == 2000 && ++nWaits > 2;
    };
    EXPECT_EQ(host.UploadBootI(), 0);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootI:  TxBuffer empty timeout"), 1);
    EXPECT_EQ(activity.Count("trace CMorFWUploadDlg::UploadBootI:  Send \"OK\" timed out"), 1);
}

TEST_F(Bootstrap, StageTwoLoaderRateRefused) {
    Prepare(300);
    unit.hrSetLoaderMode = E_FAIL;
    EXPECT_EQ(host.UploadBootI(), E_FAIL);
    const Events tail = activity.From(activity.Size() - 2);
    EXPECT_EQ(tail,
              (Events{"mode 38400", Trace("CMorFWUploadDlg::UploadBootI:  SetPortMode failed")}));
    EXPECT_EQ(unit.bootFrames.size(), 1u);
}

TEST_F(Bootstrap, StageTwoBootstrapFailuresRunFifteenPassesOfFifteenAttempts) {
    Prepare(300);
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    EXPECT_EQ(host.UploadBootI(), E_FAIL);
    EXPECT_EQ(unit.bootFrames.size(), 225u);
    EXPECT_EQ(activity.Count("log \"+\""), 15 * 14);
    EXPECT_EQ(activity.Count("log \"*\""), 0);
}

TEST_F(Bootstrap, StageTwoCancelReturnsAtOnce) {
    Prepare(300);
    unit.echo = [](const Bytes&, int) { return Bytes{}; };
    unit.bBreakAfterEcho = false;
    activity.onEvent = [this](const std::string& e) {
        if (e == "log \"+\"")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.UploadBootI(), 1);
    EXPECT_EQ(Log(), "# +");
    EXPECT_EQ(unit.bootFrames.size(), 1u);
}

} // namespace
