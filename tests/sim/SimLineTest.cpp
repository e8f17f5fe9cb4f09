// The simulated line and unit, driven directly by a scripted host from the test's thread in real
// time: the unlock, bootstrap mode, the loaders, the memory, the dump, fault injection.

#include "SimTestSupport.h"

#include "platform/Sleep.h"
#include "sim/SimLine.h"
#include "sim/SimOptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace simtest;
using namespace std::chrono;

namespace {

class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override { m_set = WriteSmallSet(m_dir.Path()); }

    std::unique_ptr<CSimLine> OpenLine(const std::string& options = "") {
        SimOptions opts;
        std::string error;
        EXPECT_TRUE(ParseSimOptions(options, opts, &error)) << error;
        opts.strImageDir = m_dir.Path();
        std::unique_ptr<CSimLine> line;
        EXPECT_EQ(CSimLine::Open(opts, &line, &error), S_OK) << error;
        return line;
    }

    // Bootstraps BootI.bin and moves to 38400: the first loader is then listening.
    void StartLoader(ScriptHost& host) {
        const Received echo = host.Bootstrap(m_set.booti, 4800);
        ASSERT_EQ(echo.breaks.size(), 1u);
        host.SetBaud(38400);
        Sleep(20);
    }

    TempDir m_dir;
    SmallSet m_set;
};

Bytes Answer(const Received& r) {
    // The bytes behind the break.
    if (r.breaks.empty())
        return {};
    return Bytes(r.bytes.begin() + r.breaks.front() + 1, r.bytes.end());
}

} // namespace

TEST(SimOptions, DefaultsAndEveryKey) {
    SimOptions d;
    ASSERT_TRUE(ParseSimOptions("sim:", d, nullptr));
    EXPECT_EQ(d.rates, (std::vector<DWORD>{4800, 738}));
    EXPECT_TRUE(d.bEcho);
    EXPECT_TRUE(d.bOk);
    EXPECT_DOUBLE_EQ(d.dRestartMs, 3000);

    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions("sim:seed=42,noise=1e-5,rates=738,echo=0,ok=0,drop=0.02,"
                                "badack=0.5,unplug=50,latency=2.5,restart=100,images=/x/y,"
                                "dump=/tmp/d.txt,breakdelay=40,trace=1",
                                o, &error))
        << error;
    EXPECT_EQ(o.nSeed, 42u);
    EXPECT_DOUBLE_EQ(o.dNoise, 1e-5);
    EXPECT_EQ(o.rates, (std::vector<DWORD>{738}));
    EXPECT_FALSE(o.bEcho);
    EXPECT_FALSE(o.bOk);
    EXPECT_DOUBLE_EQ(o.dDrop, 0.02);
    EXPECT_DOUBLE_EQ(o.dBadAck, 0.5);
    EXPECT_EQ(o.nUnplug, 50);
    EXPECT_DOUBLE_EQ(o.dLatencyMs, 2.5);
    EXPECT_DOUBLE_EQ(o.dRestartMs, 100);
    EXPECT_EQ(o.strImageDir, "/x/y");
    EXPECT_EQ(o.strDumpFile, "/tmp/d.txt");
    EXPECT_DOUBLE_EQ(o.dBreakDelayMs, 40);
    EXPECT_TRUE(o.bTrace);

    // A rate list runs on over the commas that follow it.
    SimOptions r;
    ASSERT_TRUE(ParseSimOptions("rates=9600,4800,1200,seed=3", r, &error)) << error;
    EXPECT_EQ(r.rates, (std::vector<DWORD>{9600, 4800, 1200}));
    EXPECT_EQ(r.nSeed, 3u);
}

TEST(SimOptions, RefusesWhatItCannotUse) {
    for (const char* bad : {"sim:nosie=0.1", "sim:noise=2", "sim:drop=-0.1", "sim:seed=x",
                            "sim:echo=yes", "sim:rates=", "sim:rates=10", "sim:latency=abc",
                            "sim:unplug=-1", "sim:images=", "sim:seed"}) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(ParseSimOptions(bad, o, &error)) << bad;
        EXPECT_EQ(error.rfind("sim: ", 0), 0u) << bad << ": " << error;
    }
}

TEST_F(SimLineTest, OpenFailsWithoutTheBootImages) {
    TempDir empty;
    SimOptions opts;
    opts.strImageDir = empty.Path();
    std::unique_ptr<CSimLine> line;
    std::string error;
    EXPECT_EQ(CSimLine::Open(opts, &line, &error), E_FAIL);
    EXPECT_NE(error.find("Shutup.bin"), std::string::npos) << error;
    std::unique_ptr<ISerialLine> byName;
    EXPECT_EQ(CSimLine::Open("sim:bogus=1", &byName, &error), E_FAIL);
}

TEST_F(SimLineTest, UnlockThenBootstrapEchoesAndRunsShutup) {
    auto line = OpenLine();
    ScriptHost host(*line);
    bool bUnlockBreak = false;
    const auto t0 = steady_clock::now();
    const Received r = host.Bootstrap(m_set.shutup, 4800, &bUnlockBreak);
    EXPECT_TRUE(bUnlockBreak);
    // The echo of every image byte (never the lead 0xFF), then the break.
    ASSERT_EQ(r.breaks.size(), 1u);
    EXPECT_EQ(r.breaks.front(), static_cast<int>(m_set.shutup.size()));
    EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.begin() + r.breaks.front()), m_set.shutup);
    // 25 characters at 4800 baud take 52 ms: the line kept its pace.
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 100 + 50 + 50);
    const SimReport rep = line->GetReport();
    EXPECT_EQ(rep.stats.nUnlocks - host.Redone().nAccepted, 1);
    EXPECT_EQ(rep.runs, (std::vector<std::string>{"Shutup.bin"}));
    EXPECT_EQ(line->GetUnitState(), "idle");
}

TEST_F(SimLineTest, UnlockNeedsTheDropAtTheEndOfQ_X_At300Baud) {
    auto line = OpenLine();
    ScriptHost host(*line);
    // Dropped 150 ms late: no break.
    host.Unlock(250);
    host.SetBaud(4800);
    EXPECT_TRUE(host.ReadFor(150).breaks.empty());
    // Sent at 4800 while the unit listens at 300: garbled, no break.
    line->SetDtr(true);
    line->SetRts(true);
    host.SetBaud(4800);
    host.Send(std::string("Q!X"));
    Sleep(100);
    line->SetDtr(false);
    line->SetRts(false);
    EXPECT_TRUE(host.ReadFor(150).breaks.empty());
    // RTS alone is no reset.
    host.SetBaud(300);
    line->SetRts(true);
    host.Send(std::string("Q!X"));
    Sleep(100);
    line->SetRts(false);
    EXPECT_TRUE(host.ReadFor(150).breaks.empty());
    // Dropped 45 ms before the "X" has ended: refused.
    host.Unlock(55);
    host.SetBaud(4800);
    EXPECT_TRUE(host.ReadFor(150).breaks.empty());
    EXPECT_EQ(line->GetReport().stats.nUnlocks - host.Redone().nAccepted, 0);
    EXPECT_EQ(line->GetReport().stats.nUnlocksRefused - host.Redone().nRefused, 3);
    // The sequence as the stages send it works, and so does a drop a little late.
    for (int nDropAfter : {100, 125}) {
        host.Unlock(nDropAfter);
        host.SetBaud(4800);
        EXPECT_EQ(host.ReadFor(1500, true).breaks.size(), 1u) << nDropAfter;
    }
}

TEST_F(SimLineTest, BootstrapAcceptsOnlyItsRates) {
    auto line = OpenLine("rates=738");
    ScriptHost host(*line);
    bool bUnlockBreak = false;
    Received r = host.Bootstrap(m_set.shutup, 4800, &bUnlockBreak);
    EXPECT_TRUE(bUnlockBreak);    // the unlock itself works
    EXPECT_TRUE(r.bytes.empty()); // but 4800 is not a rate this unit takes: no echo, no break
    r = host.Bootstrap(m_set.shutup, 738);
    ASSERT_EQ(r.breaks.size(), 1u);
    EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.begin() + r.breaks.front()), m_set.shutup);
}

TEST_F(SimLineTest, NoEchoLeavesOnlyTheBreak) {
    auto line = OpenLine("echo=0");
    ScriptHost host(*line);
    const Received r = host.Bootstrap(m_set.shutup, 4800);
    EXPECT_EQ(r.bytes, Bytes{0});
    EXPECT_EQ(r.breaks, std::vector<int>{0});
}

TEST_F(SimLineTest, LoaderPhasesAnswersAndMemory) {
    TempDir out;
    auto line = OpenLine("restart=300,dump=" + out.File("dump.txt"));
    ScriptHost host(*line);
    StartLoader(host);
    EXPECT_EQ(line->GetUnitState(), "first loader");

    // "OK" to the first loader: a break alone.
    Received r = host.Command(std::string("OK"), 0);
    EXPECT_EQ(r.bytes, Bytes{0});
    EXPECT_EQ(r.breaks.size(), 1u);

    // A record: break, 'L', n, checksum, address high, address low, bank.
    const Bytes rec1 = MakeRecord('0', 0x0500, Filler(64, 7));
    r = host.Command(rec1, 6);
    EXPECT_EQ(Answer(r), (Bytes{'L', 64, rec1.back(), 0x05, 0x00, '0'}));
    // A record with a damaged checksum is refused, answered with '?', and not kept.
    Bytes bad = MakeRecord('0', 0x0540, Filler(10, 8));
    bad.back() ^= 0x01;
    r = host.Command(bad, 6);
    ASSERT_EQ(Answer(r).size(), 6u);
    EXPECT_EQ(Answer(r)[0], '?');
    EXPECT_EQ(Answer(r)[2], static_cast<BYTE>(bad.back() ^ 0x01)); // the unit's own sum
    // A record sent again after a bad answer rewrites the one before: kept once.
    const Bytes rec2 = MakeRecord('0', 0x0540, Filler(10, 8));
    host.Command(rec2, 6);
    host.Command(rec2, 6);

    // "RC" restarts into the second loader, which is silent for restart= ms.
    const auto tRc = steady_clock::now();
    host.Break();
    host.Send(std::string("RC"));
    host.Drain();
    EXPECT_TRUE(host.Command(std::string("OK"), 2, 100).bytes.empty());
    while (steady_clock::now() - tRc < milliseconds(350))
        Sleep(10);
    r = host.Command(std::string("OK"), 2);
    EXPECT_EQ(Answer(r), (Bytes{'O', 'K'}));

    const Bytes k1 = MakeRecord('1', 0x0000, Filler(32, 9));
    EXPECT_EQ(Answer(host.Command(k1, 6))[0], 'L');
    r = host.Command(std::string("B0C"), 2);
    EXPECT_EQ(Answer(r), (Bytes{'B', '0'}));
    const Bytes f1 = MakeRecord('0', 0x4000, Filler(3, 10));
    EXPECT_EQ(Answer(host.Command(f1, 6))[0], 'L');
    r = host.Command(std::string("RC"), 2);
    EXPECT_EQ(Answer(r), (Bytes{'R', 'C'}));

    const SimReport rep = line->GetReport();
    EXPECT_TRUE(rep.bFirmwareStarted);
    ASSERT_EQ(rep.memory[0].size(), 2u);
    EXPECT_EQ(rep.memory[0][0].wAddr, 0x0500);
    EXPECT_EQ(rep.memory[0][1].data, Filler(10, 8));
    ASSERT_EQ(rep.memory[1].size(), 1u);
    EXPECT_EQ(rep.memory[1][0].cBank, '1');
    ASSERT_EQ(rep.memory[2].size(), 1u);
    EXPECT_EQ(rep.stats.nRefused, 1);
    EXPECT_EQ(rep.stats.nRepeats, 1);
    EXPECT_EQ(line->GetUnitState(), "idle");

    line.reset(); // closing writes the dump
    const std::string dump = ReadFileText(out.File("dump.txt"));
    std::string expected;
    auto hex = [](const Bytes& d) {
        std::string s;
        char b[3];
        for (BYTE v : d) {
            std::snprintf(b, sizeof b, "%02X", v);
            s += b;
        }
        return s;
    };
    expected += "sboot 0 0500 " + hex(Filler(64, 7)) + "\n";
    expected += "sboot 0 0540 " + hex(Filler(10, 8)) + "\n";
    expected += "kernel 1 0000 " + hex(Filler(32, 9)) + "\n";
    expected += "firmware 0 4000 " + hex(Filler(3, 10)) + "\n";
    EXPECT_EQ(dump, expected);
}

TEST_F(SimLineTest, AnswerComesAfterTheRecordTheLatencyAndTheBreak) {
    auto line = OpenLine("latency=5");
    ScriptHost host(*line);
    StartLoader(host);
    const Bytes rec = MakeRecord('0', 0x0500, Filler(64, 1)); // 71 characters: 18.5 ms
    host.Break();
    const auto t0 = steady_clock::now();
    host.Send(rec);
    ASSERT_TRUE(host.Drain());
    EXPECT_GE(duration_cast<microseconds>(steady_clock::now() - t0).count(), 18000);
    const Received r = host.ReadFor(2000, true, 6);
    const auto us = duration_cast<microseconds>(steady_clock::now() - t0).count();
    EXPECT_EQ(Answer(r).size(), 6u);
    // 18.5 ms of record, 5 ms of handling, 0.5 ms of break, 1.6 ms of answer.
    EXPECT_GE(us, 25000);
}

// The unit gets a host break with what follows it. A frame cut short by the next break is
// dropped there and the record behind that break is taken whole; a break with nothing after it
// leaves the unit silent; the break before a command or a record opens its frame, however
// long the host waits between the break and the frame.
TEST_F(SimLineTest, EachBreakOpensANewFrameWhenTheUnitGetsIt) {
    auto line = OpenLine();
    ScriptHost host(*line);
    StartLoader(host);
    const Bytes rec = MakeRecord('0', 0x0600, Filler(20, 3));
    host.Break();
    host.Send(Bytes(rec.begin(), rec.begin() + 10)); // cut short by the next break
    host.Break();
    host.Send(rec);
    ASSERT_TRUE(host.Drain());
    Received r = host.ReadFor(2000, true, 6);
    EXPECT_EQ(Answer(r), (Bytes{'L', 20, rec.back(), 0x06, 0x00, '0'}));
    EXPECT_TRUE(host.ReadFor(50).bytes.empty()); // one answer: the cut frame was dropped

    host.Break(); // alone: nothing to answer
    EXPECT_TRUE(host.ReadFor(50).bytes.empty());
    host.Break();
    Sleep(30);
    host.Send(std::string("OK"));
    ASSERT_TRUE(host.Drain());
    r = host.ReadFor(2000, true, 0);
    EXPECT_EQ(r.breaks.size(), 1u); // the first loader's answer to "OK": its break

    const SimReport rep = line->GetReport();
    ASSERT_EQ(rep.memory[0].size(), 1u);
    EXPECT_EQ(rep.memory[0][0].data, Filler(20, 3));
    EXPECT_EQ(rep.stats.nRecordFrames, 1);
}

TEST_F(SimLineTest, UnlockWorksFromALoaderThatNeverAnswersOk) {
    auto line = OpenLine("ok=0");
    ScriptHost host(*line);
    StartLoader(host);
    EXPECT_TRUE(host.Command(std::string("OK"), 0, 100).breaks.empty());
    // DTR and RTS reset the unit whatever it was doing.
    const Received r = host.Bootstrap(m_set.booti, 4800);
    EXPECT_EQ(r.breaks.size(), 1u);
    EXPECT_EQ(line->GetReport().runs, (std::vector<std::string>{"BootI.bin", "BootI.bin"}));
}

TEST_F(SimLineTest, DropAndBadAckSpoilTheAnswers) {
    {
        auto line = OpenLine("drop=1");
        ScriptHost host(*line);
        StartLoader(host);
        EXPECT_TRUE(host.Command(MakeRecord('0', 0x500, Filler(8, 1)), 6, 100).bytes.empty());
        EXPECT_EQ(line->GetReport().stats.nDropped, 1);
        EXPECT_TRUE(line->GetReport().memory[0].empty());
    }
    {
        auto line = OpenLine("badack=1,seed=5");
        ScriptHost host(*line);
        StartLoader(host);
        const Bytes rec = MakeRecord('0', 0x500, Filler(8, 1));
        const Bytes good = {'L', 8, rec.back(), 0x05, 0x00, '0'};
        const Bytes got = Answer(host.Command(rec, 6));
        ASSERT_EQ(got.size(), 6u);
        int nDiffer = 0;
        for (std::size_t i = 0; i < 6; ++i)
            nDiffer += got[i] != good[i];
        EXPECT_EQ(nDiffer, 1);
        EXPECT_EQ(line->GetReport().memory[0].size(), 1u); // the record itself was kept
    }
}

TEST_F(SimLineTest, UnplugMakesEveryOperationFailWithoutSpinning) {
    auto line = OpenLine("unplug=2");
    ScriptHost host(*line);
    StartLoader(host);
    EXPECT_EQ(Answer(host.Command(MakeRecord('0', 0x500, Filler(8, 1)), 6)).size(), 6u);
    EXPECT_EQ(Answer(host.Command(MakeRecord('0', 0x540, Filler(8, 2)), 6)).size(), 6u);
    Sleep(10);
    DCB dcb;
    dcb.BaudRate = 38400;
    EXPECT_EQ(line->Configure(dcb), E_FAIL);
    EXPECT_EQ(line->SetBreak(true), E_FAIL);
    EXPECT_EQ(line->SetDtr(true), E_FAIL);
    char c;
    RxInfo info;
    EXPECT_EQ(line->Read(&c, 1, info), -1);
    EXPECT_EQ(line->Write("x", 1, host.Stop(), 100), LineWait::Gone);
    // The waits hold their time on the stop event alone.
    const auto t0 = steady_clock::now();
    EXPECT_EQ(line->WaitRx(host.Stop(), 200), LineWait::Gone);
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 190);
    // A thread waiting on the gone line does not hold up the others' calls.
    CEvent stopWaiter;
    std::thread waiter([&] { EXPECT_EQ(line->WaitRx(stopWaiter, INFINITE), LineWait::Stopped); });
    Sleep(50);
    EXPECT_EQ(line->SetRts(true), E_FAIL);
    EXPECT_EQ(line->WaitTxDrained(host.Stop(), 10), LineWait::Gone);
    stopWaiter.Set();
    waiter.join();
    host.Stop().Set();
    EXPECT_EQ(line->WaitTxDrained(host.Stop(), INFINITE), LineWait::Stopped);
    EXPECT_EQ(line->WaitRx(host.Stop(), INFINITE), LineWait::Stopped);
}

TEST_F(SimLineTest, AnswerThatArrivedBeforeTheUnplugIsStillReadLate) {
    auto line = OpenLine("unplug=1");
    ScriptHost host(*line);
    StartLoader(host);
    // The host sends the record but comes to read only well after the line went away.
    host.Break();
    host.Send(MakeRecord('0', 0x500, Filler(8, 1)));
    host.Drain();
    Sleep(60);
    EXPECT_EQ(line->WaitRx(host.Stop(), 0), LineWait::Ready);
    char buf[64];
    RxInfo info;
    const int n = line->Read(buf, sizeof buf, info);
    ASSERT_GE(n, 6); // the unit's break and its answer
    EXPECT_EQ(buf[n - 6], 'L');
    EXPECT_EQ(line->Read(buf, sizeof buf, info), -1);
    EXPECT_EQ(line->WaitRx(host.Stop(), 0), LineWait::Gone);
}

TEST_F(SimLineTest, RateMismatchGarblesDeterministicallyButBreaksGetThrough) {
    auto run = [&](std::uint64_t seed) {
        // The unit takes 50 ms before it answers, so the host has changed its rate by then
        // even on a loaded machine.
        auto line = OpenLine("seed=" + std::to_string(seed) + ",latency=50");
        ScriptHost host(*line);
        StartLoader(host);
        host.Break();
        host.Send(MakeRecord('0', 0x500, Filler(8, 1)));
        host.Drain();
        host.SetBaud(4800); // the answer comes at 38400
        return host.ReadFor(2000, true, 6);
    };
    const Received a = run(11);
    const Received b = run(11);
    const Received c = run(12);
    ASSERT_EQ(a.breaks.size(), 1u);
    ASSERT_EQ(a.bytes.size(), 7u);
    const Bytes good = {'L', 8};
    EXPECT_NE(Bytes(a.bytes.begin() + 1, a.bytes.begin() + 3), good);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.nLineErrors, b.nLineErrors);
    EXPECT_NE(a.bytes, c.bytes);
}

TEST_F(SimLineTest, NoiseIsDeterministicForASeed) {
    auto run = [&](const std::string& opts) {
        auto line = OpenLine(opts);
        ScriptHost host(*line);
        host.Unlock();
        host.SetBaud(4800);
        host.ReadFor(1500, true);
        Bytes frame(1, 0xFF);
        frame.reserve(1 + m_set.booti.size());
        frame.insert(frame.end(), m_set.booti.begin(), m_set.booti.end());
        host.Send(frame);
        host.Drain();
        return host.ReadFor(2000, true);
    };
    // With one flip in every 50 bits, a 40-byte echo comes back damaged.
    const Received a = run("seed=3,noise=0.02");
    const Received b = run("seed=3,noise=0.02");
    EXPECT_EQ(a.bytes, b.bytes);
    Bytes echo(a.bytes.begin(), a.bytes.begin() + std::min<std::size_t>(a.bytes.size(), 40));
    EXPECT_NE(echo, m_set.booti);
}

TEST(SimNoise, FlipsAtTheRateAsked) {
    for (double p : {0.0, 1e-3, 0.05}) {
        CBitNoise noise(p, 9, 1);
        long flips = 0;
        const int frames = 200000;
        for (int i = 0; i < frames; ++i)
            flips += __builtin_popcount(noise.NextFrame());
        const double expected = p * 10 * frames;
        EXPECT_NEAR(static_cast<double>(flips), expected, 5 * std::sqrt(expected) + 1) << p;
    }
    CBitNoise all(1.0, 1, 1);
    EXPECT_EQ(all.NextFrame(), 0x3FFu);
}
