// The simulated line as a loopback plug (loopback=1): what the host sends comes back at the rate
// the adapter model really runs, breaks come back as the adapter reports them, and the modem
// inputs follow the host's outputs.

#include "SimTestSupport.h"

#include "platform/Event.h"
#include "serial/SerialPort.h"
#include "sim/SimLine.h"
#include "sim/SimOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

std::unique_ptr<CSimLine> OpenPlug(const std::string& options) {
    SimOptions opts;
    std::string error;
    EXPECT_TRUE(ParseSimOptions(options, opts, &error)) << error;
    // No image set: a plug needs none.
    opts.strImageDir = "/nonexistent/morfw-images/";
    std::unique_ptr<CSimLine> line;
    EXPECT_EQ(CSimLine::Open(opts, &line, &error), S_OK) << error;
    return line;
}

void SetRate(CSimLine& line, DWORD dwBaud) {
    DCB dcb;
    dcb.BaudRate = dwBaud;
    ASSERT_EQ(line.Configure(dcb), S_OK);
}

struct Arrival {
    std::vector<BYTE> bytes;
    RxInfo info;
    steady_clock::time_point first{}; // when the first byte was read
    steady_clock::time_point last{};  // when the last byte was read
};

// Reads until nBytes have come or the time has run out.
Arrival ReadBytes(CSimLine& line, std::size_t nBytes, milliseconds limit) {
    CEvent stop;
    Arrival a;
    const auto end = steady_clock::now() + limit;
    char buf[512];
    while (a.bytes.size() < nBytes && steady_clock::now() < end) {
        if (line.WaitRx(stop, 50) != LineWait::Ready)
            continue;
        const int n = line.Read(buf, sizeof buf, a.info);
        if (n <= 0)
            continue;
        const auto now = steady_clock::now();
        if (a.bytes.empty())
            a.first = now;
        a.last = now;
        a.bytes.insert(a.bytes.end(), buf, buf + n);
    }
    return a;
}

TEST(SimLoopback, TheOptionParsesNeedsNoImagesAndOnlyTakesZeroOrOne) {
    SimOptions o;
    ASSERT_TRUE(ParseSimOptions("sim:adapter=cp2102,loopback=1", o, nullptr));
    EXPECT_TRUE(o.bLoopback);
    EXPECT_EQ(o.adapter, SimAdapterKind::Cp2102);
    EXPECT_FALSE(SimOptions{}.bLoopback);
    std::string error;
    EXPECT_FALSE(ParseSimOptions("sim:loopback=2", o, &error));
    EXPECT_EQ(error, "sim: loopback=2: expected 0 or 1");

    // The unit needs its boot images; the plug opens without them.
    EXPECT_TRUE(OpenPlug("sim:loopback=1"));
    SimOptions unit;
    unit.strImageDir = "/nonexistent/morfw-images/";
    std::unique_ptr<CSimLine> line;
    EXPECT_NE(CSimLine::Open(unit, &line, &error), S_OK);
}

TEST(SimLoopback, EveryByteValueComesBackUnchanged) {
    auto line = OpenPlug("sim:loopback=1");
    ASSERT_TRUE(line);
    SetRate(*line, 38400);
    std::vector<char> sent(256);
    for (int i = 0; i < 256; ++i)
        sent[static_cast<std::size_t>(i)] = static_cast<char>(i);
    CEvent stop;
    ASSERT_EQ(line->Write(sent.data(), 256, stop, 1000), LineWait::Ready);
    const Arrival a = ReadBytes(*line, 256, seconds(5));
    ASSERT_EQ(a.bytes.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(a.bytes[static_cast<std::size_t>(i)], static_cast<BYTE>(i));
    EXPECT_EQ(a.info.nBreaks, 0);
    EXPECT_EQ(a.info.nLineErrors, 0);
}

TEST(SimLoopback, ARateTheAdapterRunsMoreThanTwoPercentOffIsRefusedWithTheRateItRuns) {
    const struct {
        const char* pszOptions;
        DWORD dwAsked;
        DWORD dwRefused; // the rate the driver reads back, 0 when the line takes the one asked
    } kCases[] = {{"sim:adapter=cp2102n,loopback=1", 738, 0},
                  {"sim:adapter=cp2102,loopback=1", 738, 1200},
                  {"sim:adapter=cp2102,loopback=1", 1190, 0}}; // 1200 is within 2 %
    for (const auto& c : kCases) {
        auto line = OpenPlug(c.pszOptions);
        DCB dcb;
        dcb.BaudRate = c.dwAsked;
        EXPECT_EQ(line->Configure(dcb), c.dwRefused ? E_FAIL : S_OK) << c.pszOptions;
        EXPECT_EQ(line->GetRefusedRate(), c.dwRefused) << c.pszOptions;
    }
}

TEST(SimLoopback, APl2303MarksEveryByteHandedOverWithABreakAsABreak) {
    // The bytes just before a break share its 1 ms batch more often than not; each of them then
    // comes as a 0x00 with a break report, its value lost. A UART keeps them all.
    const auto run = [](const char* pszOptions) {
        auto line = OpenPlug(pszOptions);
        SetRate(*line, 38400);
        const std::vector<char> sent(40, 'U');
        CEvent stop;
        EXPECT_EQ(line->Write(sent.data(), 40, stop, 1000), LineWait::Ready);
        EXPECT_EQ(line->SetBreak(true), S_OK);
        stop.Wait(3);
        EXPECT_EQ(line->SetBreak(false), S_OK);
        EXPECT_EQ(line->Write(sent.data(), 40, stop, 1000), LineWait::Ready);
        const Arrival a = ReadBytes(*line, 81, seconds(5));
        EXPECT_EQ(a.bytes.size(), 81u);
        const auto nZeros = std::count(a.bytes.begin(), a.bytes.end(), BYTE{0});
        EXPECT_EQ(nZeros, a.info.nBreaks); // every 0x00 is a break, every other byte a 'U'
        return a.info.nBreaks;
    };
    EXPECT_EQ(run("sim:loopback=1"), 1);
    int nMost = 1;
    for (int i = 0; i < 30 && nMost == 1; ++i)
        nMost = std::max(nMost, run("sim:adapter=pl2303,loopback=1"));
    EXPECT_GT(nMost, 1);
}

TEST(SimLoopback, BreaksComeBackAsTheAdapterReportsThem) {
    CEvent stop;
    const char marker = 0x55;
    {
        // A UART: the 1 ms break is one reported 0x00, and the byte after it follows at once.
        auto line = OpenPlug("sim:loopback=1");
        SetRate(*line, 38400);
        const auto t0 = steady_clock::now();
        ASSERT_EQ(line->SetBreak(true), S_OK);
        stop.Wait(1);
        ASSERT_EQ(line->SetBreak(false), S_OK);
        ASSERT_EQ(line->Write(&marker, 1, stop, 1000), LineWait::Ready);
        const Arrival a = ReadBytes(*line, 2, seconds(2));
        ASSERT_EQ(a.bytes, (std::vector<BYTE>{0x00, 0x55}));
        EXPECT_EQ(a.info.nBreaks, 1);
        EXPECT_LT(a.last - t0, milliseconds(100));
    }
    {
        // A CH340 fakes the break with a 0x00 at 51 baud: it comes back plain, and the byte
        // after it waits the fake break's 196 ms.
        auto line = OpenPlug("sim:adapter=ch340,loopback=1");
        SetRate(*line, 38400);
        const auto t0 = steady_clock::now();
        ASSERT_EQ(line->SetBreak(true), S_OK);
        stop.Wait(1);
        ASSERT_EQ(line->SetBreak(false), S_OK);
        ASSERT_EQ(line->Write(&marker, 1, stop, 1000), LineWait::Ready);
        const Arrival a = ReadBytes(*line, 2, seconds(2));
        ASSERT_EQ(a.bytes, (std::vector<BYTE>{0x00, 0x55}));
        EXPECT_EQ(a.info.nBreaks, 0);
        EXPECT_EQ(a.info.nLineErrors, 0);
        EXPECT_GE(a.last - t0, milliseconds(190));
    }
    {
        // Shorter than a character at 300 baud (33 ms) it is no break but a 0x00 without its
        // stop bit.
        auto line = OpenPlug("sim:loopback=1");
        SetRate(*line, 300);
        ASSERT_EQ(line->SetBreak(true), S_OK);
        stop.Wait(1);
        ASSERT_EQ(line->SetBreak(false), S_OK);
        const Arrival a = ReadBytes(*line, 1, seconds(2));
        ASSERT_EQ(a.bytes, (std::vector<BYTE>{0x00}));
        EXPECT_EQ(a.info.nBreaks, 0);
        EXPECT_EQ(a.info.nLineErrors, 1);
    }
}

TEST(SimLoopback, TheReaderIsWokenForWhatItWaitsForOrABreakNotForEachByte) {
    // At 50 baud a character takes 200 ms: a reader that came back for one byte would have
    // that much time before the next, however busy the machine.
    struct Case {
        DWORD dwBaud;
        bool bBreakFirst;
        int nBytes;
        int nLowerAfterMs; // the waiter gone (the interest lowered from another thread); 0: not
        int nFirstReadAtLeast;
        int nFirstReadBelow; // 0: no bound
        int nBreaks;
    } const kCases[] = {
        {50, false, 6, 0, 6, 0, 0}, // all six in one read
        {50, true, 5, 0, 1, 6, 1},  // the break ends the wait before the bytes behind it
        {38400, false, 3, 50, 3, 4, 0}, // fewer than the old interest end the wait at once
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.dwBaud);
        SCOPED_TRACE(c.bBreakFirst);
        auto line = OpenPlug("sim:loopback=1");
        ASSERT_TRUE(line);
        SetRate(*line, c.dwBaud);
        std::atomic<int> interest{6};
        line->SetRxInterest(&interest);
        CEvent stop;
        if (c.bBreakFirst) {
            ASSERT_EQ(line->SetBreak(true), S_OK);
            stop.Wait(250); // longer than a character: it comes back as a break
            ASSERT_EQ(line->SetBreak(false), S_OK);
        }
        ASSERT_EQ(line->Write("abcdef", c.nBytes, stop, 1000), LineWait::Ready);
        std::thread lower([&] {
            if (c.nLowerAfterMs > 0) {
                stop.Wait(static_cast<DWORD>(c.nLowerAfterMs));
                interest.store(1);
                line->RxInterestChanged();
            }
        });
        // Well before its time runs out (at which point a lowered interest would be seen too).
        const auto t0 = steady_clock::now();
        EXPECT_EQ(line->WaitRx(stop, 10000), LineWait::Ready);
        EXPECT_LT(steady_clock::now() - t0, seconds(8));
        lower.join();
        char buf[16];
        RxInfo info;
        const int n = line->Read(buf, sizeof buf, info);
        EXPECT_GE(n, c.nFirstReadAtLeast);
        if (c.nFirstReadBelow) {
            EXPECT_LT(n, c.nFirstReadBelow);
        }
        EXPECT_EQ(info.nBreaks, c.nBreaks);
    }
}

TEST(SimLoopback, ACountWaitThatRunsOutLeavesWhatCameReadableAtThePort) {
    // The port waits for ten bytes, three come: once the wait has run out, the ring must show
    // them to a caller that looks, though the receive thread had been told to wait for more.
    RegisterSimLineBackend();
    CSerialPort port;
    PORTMODE mode{};
    std::strcpy(mode.szPort, "sim:loopback=1,images=/nonexistent/morfw-images/");
    mode.dwBaudRate = 38400;
    mode.byByteSize = 8;
    ASSERT_EQ(port.Open(mode), S_OK);
    ASSERT_EQ(port.Send("xyz", 3), 0);
    EXPECT_EQ(port.WaitRxCount(10, 100), 1);
    const auto end = steady_clock::now() + seconds(5);
    while (port.GetRxCount() < 3 && steady_clock::now() < end)
        CEvent().Wait(5);
    EXPECT_EQ(port.GetRxCount(), 3);
    EXPECT_EQ(port.WaitRxCount(3, 0), 0);
}

TEST(SimLoopback, ModemInputsFollowTheOutputsOnThePlugAndStayOffAtTheUnit) {
    auto line = OpenPlug("sim:loopback=1");
    ModemStatus s;
    ASSERT_EQ(line->GetModemStatus(&s), S_OK);
    EXPECT_FALSE(s.bCts || s.bDsr || s.bDcd || s.bRing);
    ASSERT_EQ(line->SetRts(true), S_OK);
    ASSERT_EQ(line->GetModemStatus(&s), S_OK);
    EXPECT_TRUE(s.bCts);
    EXPECT_FALSE(s.bDsr || s.bDcd);
    ASSERT_EQ(line->SetRts(false), S_OK);
    ASSERT_EQ(line->SetDtr(true), S_OK);
    ASSERT_EQ(line->GetModemStatus(&s), S_OK);
    EXPECT_FALSE(s.bCts);
    EXPECT_TRUE(s.bDsr && s.bDcd);

    // The unit drives none of the host's inputs.
    simtest::TempDir dir;
    simtest::WriteSmallSet(dir.Path());
    SimOptions opts;
    opts.strImageDir = dir.Path();
    std::unique_ptr<CSimLine> unit;
    ASSERT_EQ(CSimLine::Open(opts, &unit, nullptr), S_OK);
    ASSERT_EQ(unit->SetRts(true), S_OK);
    ASSERT_EQ(unit->SetDtr(true), S_OK);
    ASSERT_EQ(unit->GetModemStatus(&s), S_OK);
    EXPECT_FALSE(s.bCts || s.bDsr || s.bDcd || s.bRing);
}

} // namespace
