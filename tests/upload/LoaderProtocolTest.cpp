// Stages 3 to 5 and the load-record transfer against the scripted unit on the virtual clock.

#include "UploadTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Loader = UploadFixture;

std::size_t IndexOf(const Events& ev, const std::string& what, std::size_t nFrom = 0) {
    const auto it = std::find(ev.begin() + static_cast<std::ptrdiff_t>(nFrom), ev.end(), what);
    return static_cast<std::size_t>(it - ev.begin());
}

TEST_F(Loader, SBootRecordsAreTheImageInSixtyFourByteChunksFrom0x500) {
    const auto records = RecordsOf(host.images.sboot, 0x500);
    ASSERT_EQ(records.size(), 3u);
    const Bytes head{'L', 'R', '0', 0x05, 0x00, 64};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), records[0].begin()));
    EXPECT_EQ(records[1][3], 0x05);
    EXPECT_EQ(records[1][4], 0x40);
    EXPECT_EQ(records[2].size(), 2u + 7u);
}

TEST_F(Loader, SBootCleanTranscript) {
    Prepare(38400);
    EXPECT_EQ(host.UploadSBoot(), 0);
    Events want{"log \"# \""};
    Append(want, RecordTransferEvents(RecordsOf(host.images.sboot, 0x500)));
    want.push_back("clear tx");
    Append(want, CommandEvents({'R', 'C'}));
    Append(want, {"waittx 300", "sleep 4000", "clear tx", "clear rx"});
    Append(want, CommandEvents({'O', 'K'}));
    Append(want, {"waittx 200", "waitbreak 500", "waitrx 3 10"});
    EXPECT_EQ(activity.Events(), want);
    EXPECT_EQ(Log(), "# ...");
    EXPECT_EQ(unit.records, RecordsOf(host.images.sboot, 0x500));
}

TEST_F(Loader, KernelAndFirmwareCleanTranscripts) {
    Prepare(38400);
    EXPECT_EQ(host.UploadKernel(), 0);
    const auto kernel = RecordsOfS19(host.images.kernel, 0x10000);
    ASSERT_EQ(kernel.size(), 3u);
    EXPECT_EQ(kernel[0][2], '1'); // bank 1 from the kernel's base address
    Events want{"log \"# \""};
    Append(want, RecordTransferEvents(kernel));
    Append(want, {"clear rx", "clear tx"});
    Append(want, CommandEvents({'B', '0', 'C'}));
    Append(want, {"waitbreak 4000", "waitrx 3 50"});
    EXPECT_EQ(activity.Events(), want);

    activity.Clear();
    EXPECT_EQ(host.UploadFirmware(), 0);
    const auto firmware = RecordsOfS19(host.images.firmware, 0);
    ASSERT_EQ(firmware.size(), 2u);
    want = {"log \"# \""};
    Append(want, RecordTransferEvents(firmware));
    Append(want, {"sleep 2000", "clear rx", "clear tx"});
    Append(want, CommandEvents({'R', 'C'}));
    Append(want, {"waitbreak 4000", "waitrx 3 150"});
    EXPECT_EQ(activity.Events(), want);
    EXPECT_EQ(Log(), "# ...# ..");
}

TEST_F(Loader, RecordAcknowledgedAtTheThirdTry) {
    Prepare(38400);
    unit.reply = [](const Bytes& r, int nSend) {
        return r[4] == 0x40 && nSend < 3 ? std::nullopt
                                         : std::optional<Bytes>(CScriptedUnit::AckOf(r));
    };
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# ..!!.");
    EXPECT_EQ(unit.records.size(), 5u);
    // A failed try: no break within 500 ms, then "!" and the next try at once.
    const Events& ev = activity.Events();
    const std::size_t n = IndexOf(ev, "waitbreak 500 timeout");
    ASSERT_LT(n + 2, ev.size());
    EXPECT_EQ(ev[n + 1], "log \"!\"");
    EXPECT_EQ(ev[n + 2], "clear rx");
}

TEST_F(Loader, RecordNeverAcknowledgedFailsTheStageAfterFifteenTries) {
    Prepare(38400);
    unit.reply = [](const Bytes& r, int) {
        return r[4] == 0x40 ? std::nullopt : std::optional<Bytes>(CScriptedUnit::AckOf(r));
    };
    const std::int64_t nStart = clock.NowMs();
    EXPECT_EQ(host.UploadSBoot(), E_FAIL);
    EXPECT_EQ(Log(), "# ..!!!!!!!!!!!!!!!");
    EXPECT_EQ(unit.records.size(), 1u + 15u);
    EXPECT_EQ(activity.Count("send@38400 \"RC\""), 0);
    // One break of 1 ms per send, 500 ms for each missing answer.
    EXPECT_EQ(clock.NowMs() - nStart, 16 * 1 + 15 * 500);
}

TEST_F(Loader, AcknowledgementIsComparedByteByByte) {
    Prepare(38400);
    const auto records = RecordsOf(host.images.sboot, 0x500);
    // Each wrong byte of the six (index 0 is the break's own byte) refuses the record.
    for (int nWrong = 0; nWrong < 6; ++nWrong) {
        unit.reply = [nWrong](const Bytes& r, int nSend) {
            Bytes a = CScriptedUnit::AckOf(r);
            if (nSend == 1)
                a[static_cast<std::size_t>(nWrong)] ^= 0x01;
            return std::optional<Bytes>(a);
        };
        host.m_listFileImg.clear();
        unit.Close();
        Prepare(38400);
        unit.records.clear();
        EXPECT_EQ(host.UploadSBoot(), 0);
        EXPECT_EQ(Log().substr(Log().size() - 8), "# .!.!.!") << "byte " << nWrong;
    }
}

TEST_F(Loader, AcknowledgementRepeatingTheRecordIsRefused) {
    Prepare(38400);
    // 'L', 'R', bank, address, count: the record's own first bytes, not its acknowledgement.
    unit.reply = [](const Bytes& r, int) {
        return std::optional<Bytes>(Bytes(r.begin(), r.begin() + 6));
    };
    EXPECT_EQ(host.UploadSBoot(), E_FAIL);
    EXPECT_EQ(Log(), "# .!!!!!!!!!!!!!!!");
}

TEST_F(Loader, ExtraBytesAfterAGoodAcknowledgementAreAccepted) {
    Prepare(38400);
    unit.reply = [](const Bytes& r, int) {
        Bytes a = CScriptedUnit::AckOf(r);
        a.insert(a.end(), {0x11, 0x22, 0x33});
        return std::optional<Bytes>(a);
    };
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# ...");
}

TEST_F(Loader, ShortAcknowledgementIsAwaitedForTwentyMilliseconds) {
    Prepare(38400);
    unit.reply = [](const Bytes& r, int nSend) {
        Bytes a = CScriptedUnit::AckOf(r);
        if (nSend == 1)
            a.pop_back();
        return std::optional<Bytes>(a);
    };
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# .!.!.!");
    const Events& ev = activity.Events();
    const std::size_t n = IndexOf(ev, "waitbreak 500");
    EXPECT_EQ(ev[n + 1], "waitrx 7 20 timeout");
    EXPECT_EQ(ev[n + 2], "log \"!\"");
}

TEST_F(Loader, HundredthRecordOpensANewLineAndProgressStepsEveryTwenty) {
    host.images.sboot = CountingBytes(101 * 64);
    Prepare(38400);
    host.nStepTotal = 0;
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# " + std::string(100, '.') + "\r\n+ .");
    EXPECT_EQ(host.nStepTotal, 6 * 20); // after records 0, 20, 40, 60, 80 and 100

    // The step follows record 0's acknowledgement and record 20's, and no other in between.
    const Events marks = activity.Only({"log", "step"});
    EXPECT_EQ(marks[1], "log \".\"");
    EXPECT_EQ(marks[2], "step 20");
    EXPECT_EQ(marks[3], "log \".\"");
    EXPECT_EQ(std::count(marks.begin(), marks.begin() + 22, "step 20"), 1);
    EXPECT_EQ(marks[22], "log \".\""); // record 20
    EXPECT_EQ(marks[23], "step 20");
    // The 99th record's mark is not followed by a new line, the 100th's is, the 101st's not.
    const std::size_t n100 = IndexOf(marks, "log \"\\n+ \"");
    EXPECT_EQ(
        std::count(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(n100), "log \".\""),
        100);
    EXPECT_EQ(std::count(marks.begin(), marks.end(), "log \"\\n+ \""), 1);
}

TEST_F(Loader, EmptyImageGoesStraightToTheClosingExchange) {
    host.images.sboot.clear();
    Prepare(38400);
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# ");
    Events want{"log \"# \"", "clear rx", "clear tx", "clear tx"};
    Append(want, CommandEvents({'R', 'C'}));
    EXPECT_EQ(Events(activity.Events().begin(), activity.Events().begin() + 8), want);
}

TEST_F(Loader, StageThreeRcThatNeverDrains) {
    Prepare(38400);
    unit.txTimesOut = [](const std::string& strLast, DWORD) { return strLast == "RC"; };
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# ...:::");
    const Events& ev = activity.Events();
    const std::size_t nFirstRc = IndexOf(ev, "send@38400 \"RC\"");
    Events want;
    for (int i = 0; i < 3; ++i) {
        if (i)
            Append(want, {"clear tx", "break on", "sleep 1", "break off", "send@38400 \"RC\""});
        Append(want, {"waittx 300 timeout", "log \":\"", "sleep 500"});
    }
    Append(want, {"sleep 4000", "clear tx", "clear rx"});
    EXPECT_EQ(Events(ev.begin() + static_cast<std::ptrdiff_t>(nFirstRc) + 1,
                     ev.begin() + static_cast<std::ptrdiff_t>(nFirstRc) + 1 +
                         static_cast<std::ptrdiff_t>(want.size())),
              want);
}

TEST_F(Loader, StageThreeOkNeverAnswered) {
    Prepare(38400);
    unit.answerSBootOk = [](int) { return false; };
    EXPECT_EQ(host.UploadSBoot(), E_FAIL);
    EXPECT_EQ(Log(), "# ...;;;,;;;,;;;,*");
    EXPECT_EQ(activity.Count("send@38400 \"RC\""), 3);
    EXPECT_EQ(activity.Count("send@38400 \"OK\""), 9);
    EXPECT_EQ(activity.Count("sleep 4000"), 3);
}

TEST_F(Loader, StageThreeOkAnsweredAtTheSecondPass) {
    Prepare(38400);
    unit.answerSBootOk = [](int nOk) { return nOk == 4; };
    EXPECT_EQ(host.UploadSBoot(), 0);
    EXPECT_EQ(Log(), "# ...;;;,");
    // A failed "OK" try whose transmission did not drain fails without waiting for a break.
    activity.Clear();
    unit.answerSBootOk = nullptr;
    unit.txTimesOut = [](const std::string& strLast, DWORD) { return strLast == "OK"; };
    EXPECT_EQ(host.UploadSBoot(), E_FAIL);
    EXPECT_EQ(activity.Count("waittx 200 timeout"), 9);
    EXPECT_EQ(activity.Only({"waitbreak 500"}).size(), 3u); // the records' acknowledgements only
}

TEST_F(Loader, StageFourAcceptsB0WithMoreBytesOnly) {
    Prepare(38400);
    unit.kernelReply = Bytes{'B', '0', 'x', 'y'};
    EXPECT_EQ(host.UploadKernel(), 0);

    unit.kernelReply = Bytes{'B', '1'};
    EXPECT_EQ(host.UploadKernel(), E_UNEXPECTED);

    // Silence: the 4000 ms wait for the break and 50 ms for the reply, then the wrong reply.
    activity.Clear();
    unit.kernelReply = std::nullopt;
    const std::int64_t nStart = clock.NowMs();
    EXPECT_EQ(host.UploadKernel(), E_UNEXPECTED);
    EXPECT_EQ(activity.Count("waitbreak 4000 timeout"), 1);
    const Events ev = activity.Events();
    const std::size_t n = IndexOf(ev, "waitbreak 4000 timeout");
    EXPECT_EQ(ev.size(), n + 1 + 1);
    EXPECT_EQ(ev[n + 1], "waitrx 3 50 timeout");
    EXPECT_EQ(clock.NowMs() - nStart, 3 + 1 + 4000 + 50);
}

TEST_F(Loader, StageFiveAcceptsExactlyThreeBytes) {
    Prepare(38400);
    EXPECT_EQ(host.UploadKernel(), 0); // the unit answers "RC" once "B0C" has come
    unit.firmwareReply = Bytes{'R', 'C', 'x'};
    EXPECT_EQ(host.UploadFirmware(), E_UNEXPECTED);
    unit.firmwareReply = Bytes{'R', 'x'};
    EXPECT_EQ(host.UploadFirmware(), E_UNEXPECTED);
    unit.firmwareReply = Bytes{'R'};
    activity.Clear();
    EXPECT_EQ(host.UploadFirmware(), E_UNEXPECTED);
    EXPECT_EQ(activity.Count("sleep 1"), 2 + 1); // record breaks, command break
    EXPECT_EQ(activity.Count("waitrx 3 150 timeout"), 1);
    EXPECT_EQ(activity.Count("waitbreak 4000"), 1);
    unit.firmwareReply = Bytes{'R', 'C'};
    EXPECT_EQ(host.UploadFirmware(), 0);
}

TEST_F(Loader, MissingImageFailsTheStage) {
    Prepare(38400);
    host.m_listFileImg.resize(4);
    EXPECT_EQ(host.UploadFirmware(), E_FAIL);
    host.m_listFileImg.resize(3);
    EXPECT_EQ(host.UploadKernel(), E_FAIL);
    host.m_listFileImg.resize(2);
    EXPECT_EQ(host.UploadSBoot(), E_FAIL);
    EXPECT_EQ(activity.Events(), (Events{"log \"# \"", "log \"# \"", "log \"# \""}));
}

TEST_F(Loader, CancelIsSeenAtTheNextRecordTry) {
    Prepare(38400);
    unit.reply = [this](const Bytes& r, int) {
        if (unit.records.size() == 2)
            host.m_bCancel = true;
        return std::optional<Bytes>(CScriptedUnit::AckOf(r));
    };
    EXPECT_EQ(host.UploadSBoot(), 1);
    EXPECT_EQ(Log(), "# ...");
    EXPECT_EQ(unit.records.size(), 2u);
    const Events tail = activity.From(activity.Size() - 3);
    EXPECT_EQ(tail, (Events{"log \".\"", "clear rx", "clear tx"}));
}

TEST_F(Loader, CancelIsSeenAtTheRcAndOkTriesOfStageThree) {
    Prepare(38400);
    activity.onEvent = [this](const std::string& e) {
        // The first "RC" try's own: three record tries, the one after the last record, then it.
        if (e == "clear tx" && activity.Count("clear tx") == 5)
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.UploadSBoot(), 1);
    EXPECT_EQ(activity.Count("send@38400 \"RC\""), 0);

    host.m_bCancel = false;
    activity.Clear();
    unit.records.clear();
    activity.onEvent = [this](const std::string& e) {
        if (e == "sleep 4000")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.UploadSBoot(), 1);
    EXPECT_EQ(activity.Count("send@38400 \"OK\""), 0);
    EXPECT_EQ(activity.From(activity.Size() - 3), (Events{"sleep 4000", "clear tx", "clear rx"}));
}

TEST_F(Loader, CancelDoesNotShortenTheClosingExchangesOfStagesFourAndFive) {
    Prepare(38400);
    unit.kernelReply = std::nullopt;
    activity.onEvent = [this](const std::string& e) {
        if (e == "send@38400 \"B0C\"")
            host.m_bCancel = true;
    };
    EXPECT_EQ(host.UploadKernel(), E_UNEXPECTED);
    EXPECT_EQ(activity.Count("waitbreak 4000 timeout"), 1);
    EXPECT_EQ(activity.Count("sleep 1"), 3 + 1);
    EXPECT_EQ(activity.Count("waitrx 3 50 timeout"), 1);

    host.m_bCancel = false;
    activity.Clear();
    activity.onEvent = [this](const std::string& e) {
        if (e == "clear rx" && unit.records.size() == 3 + 2)
            host.m_bCancel = true; // after the last record, before the pause
    };
    EXPECT_EQ(host.UploadFirmware(), 0);
    EXPECT_EQ(activity.Count("sleep 2000"), 1);
    EXPECT_EQ(activity.Count("send@38400 \"RC\""), 1);
}

} // namespace
