// CSerialPort's threads and events over a line the test drives by hand.
#include "ScriptedLine.h"

#include "platform/Beep.h"
#include "platform/Trace.h"
#include "serial/SerialPort.h"
#include "serial/XMsg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using namespace std::string_literals;

namespace {

std::shared_ptr<ScriptState> g_script;

PORTMODE Mode(const char* pszPort, DWORD dwBaud = 300) {
    PORTMODE m{};
    m.cbSize = 32;
    std::strncpy(m.szPort, pszPort, sizeof m.szPort - 1);
    m.dwBaudRate = dwBaud;
    m.byByteSize = 8;
    m.dwReserved = 0xFFFFFFFF;
    return m;
}

// Lets a test reach the port's internal steps.
class CTestPort : public CSerialPort {
public:
    CTestPort() : CSerialPort("/nonexistent", "/nonexistent") {}
    ~CTestPort() override {
        txGo.Set();
        Close();
    }
    // The transmit thread starts its work only once this is set.
    CEvent txGo{true};
    DWORD Transmit(void* pParam) override {
        txGo.Wait(INFINITE);
        return CSerialPort::Transmit(pParam);
    }
    using CSerialPort::OnCommEvent;
    using CSerialPort::StartReceiveThread;
    using CSerialPort::StartTransmitThread;
};

template <class F> bool Eventually(F f, int nMs = 3000) {
    const auto end = steady_clock::now() + milliseconds(nMs);
    while (steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return f();
}

std::string Pattern(int n, int first = 0) {
    std::string s(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>((first + i) * 7 & 0xFF);
    return s;
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

class ScriptedPort : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = std::make_shared<ScriptState>();
        RegisterLineBackend("script:",
                            [](const std::string&, std::unique_ptr<ISerialLine>* pp, std::string*) {
                                auto s = g_script;
                                if (!s)
                                    return E_FAIL;
                                ++s->opens;
                                pp->reset(new CScriptedLine(s));
                                return S_OK;
                            });
        m_oldBeep = SetBeepSink([this](DWORD f, DWORD d) {
            std::lock_guard lock(m_beepMutex);
            m_beeps.push_back({f, d});
        });
        m_oldTrace = SetTraceSink([this](std::string_view line) {
            std::lock_guard lock(m_traceMutex);
            m_traces.emplace_back(line);
        });
    }
    void TearDown() override {
        port.txGo.Set();
        port.Close();
        SetBeepSink(m_oldBeep);
        SetTraceSink(m_oldTrace);
        RegisterLineBackend("script:", nullptr);
        g_script.reset();
    }
    std::vector<std::string> Traces() {
        std::lock_guard lock(m_traceMutex);
        return m_traces;
    }
    size_t Beeps() {
        std::lock_guard lock(m_beepMutex);
        return m_beeps.size();
    }
    void OpenScripted() { ASSERT_EQ(port.Open(Mode("script:unit")), S_OK); }

    CTestPort port;
    ScriptState& s() { return *g_script; }

private:
    BeepSink m_oldBeep;
    TraceSink m_oldTrace;
    std::mutex m_beepMutex, m_traceMutex;
    std::vector<std::pair<DWORD, DWORD>> m_beeps;
    std::vector<std::string> m_traces;
};

} // namespace

TEST_F(ScriptedPort, BreakIsRaisedAfterItsBytesAndReportedOnce) {
    OpenScripted();
    s().Push("\0OK"s, 1);
    ASSERT_EQ(port.WaitRxBreak(3000), 0);
    // The reply that came with the break is already in the ring.
    EXPECT_EQ(port.GetRxCount(), 3);
    EXPECT_EQ(port.PeekRx(0), '\0');
    EXPECT_EQ(port.PeekRx(2), 'K');
    EXPECT_EQ(port.WaitRxBreak(50), 1);

    const auto traces = Traces();
    const auto rx = std::find(traces.begin(), traces.end(), "Event EV_RXCHAR...");
    const auto brk = std::find(traces.begin(), traces.end(), "Event EV_BREAK...");
    ASSERT_NE(rx, traces.end());
    ASSERT_NE(brk, traces.end());
    EXPECT_LT(rx, brk);

    // A second break is reported again, once.
    s().Push("\0"s, 1);
    EXPECT_EQ(port.WaitRxBreak(3000), 0);
    EXPECT_EQ(port.WaitRxBreak(50), 1);
}

// The wait for an answer's bytes ends with the read that brings the last of them, however long
// its bound: bytes that come in pieces are counted together, and a wait whose bytes never come
// runs to its bound.
TEST_F(ScriptedPort, WaitForBytesEndsWhenTheLastAwaitedByteIsIn) {
    OpenScripted();
    EXPECT_EQ(port.WaitRxCount(1, 20), 1);
    std::thread unit([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s().Push("\0L"s, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s().Push("abcde");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.WaitRxCount(7, 60'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    unit.join();
    EXPECT_EQ(port.GetRxCount(), 7);
    EXPECT_EQ(port.WaitRxCount(7, 0), 0); // already there
    EXPECT_EQ(port.WaitRxCount(8, 10), 1);
}

// The receive thread wakes a wait only once the ring holds its count. A wait for fewer bytes
// after one for more that ran out must be woken by those fewer: the count is the new wait's.
TEST_F(ScriptedPort, AWaitForFewerBytesAfterALongerOneIsWokenByThem) {
    OpenScripted();
    s().Push("ab");
    ASSERT_TRUE(Eventually([&] { return port.GetRxCount() == 2; }));
    EXPECT_EQ(port.WaitRxCount(9, 20), 1); // ran out with 2 of 9
    port.ClearRxBuffer();
    std::thread unit([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s().Push("c");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s().Push("de");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.WaitRxCount(3, 60'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    unit.join();
    EXPECT_EQ(port.GetRxCount(), 3);
}

TEST_F(ScriptedPort, TransmitEmptyOnlyWhenTheRingIsEmpty) {
    OpenScripted();
    EXPECT_EQ(port.WaitTxEmpty(0), 0); // set from the start
    s().writeGate.Reset();
    ASSERT_EQ(port.Send("A", 1), 0);
    ASSERT_EQ(s().writeEntered.Wait(3000), WAIT_OBJECT_0); // "A" has left the ring
    ASSERT_EQ(port.Send("BC", 2), 0);
    EXPECT_EQ(port.WaitTxEmpty(0), 1);
    // Transmit-empty from the line while "BC" is still queued changes nothing.
    port.OnCommEvent(EV_TXEMPTY);
    EXPECT_EQ(port.WaitTxEmpty(50), 1);
    s().writeGate.Set();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    EXPECT_EQ(s().Written(), "ABC");
}

TEST_F(ScriptedPort, TransmitEmptyWaitsForTheLineToDrain) {
    OpenScripted();
    s().drained.Reset();
    ASSERT_EQ(port.Send("xyz", 3), 0);
    EXPECT_TRUE(Eventually([&] { return s().Written() == "xyz"; }));
    EXPECT_EQ(port.WaitTxEmpty(100), 1);
    s().drained.Set();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    // The thread then rests: no further drain waits while nothing is queued.
    const int nDrains = s().drainCalls;
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(s().drainCalls, nDrains);
    const auto traces = Traces();
    EXPECT_NE(std::find(traces.begin(), traces.end(), "Event TXEMPTY..."), traces.end());
}

TEST_F(ScriptedPort, BytesQueuedWhileWaitingForTheDrainGoOutAtOnce) {
    OpenScripted();
    s().drained.Reset();
    ASSERT_EQ(port.Send("1", 1), 0);
    EXPECT_TRUE(Eventually([&] { return s().Written() == "1"; }));
    ASSERT_EQ(port.Send("2", 1), 0);
    EXPECT_TRUE(Eventually([&] { return s().Written() == "12"; }));
    s().drained.Set();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
}

// Every record try clears both rings. Bytes still queued are dropped and the line is seen out
// as ever; an empty ring leaves a port at rest as it was (transmit-empty set, no write, no drain).
TEST_F(ScriptedPort, ClearingTheTransmitRingDropsItsBytesAndStillEndsInTransmitEmpty) {
    OpenScripted();
    s().writeGate.Reset();
    ASSERT_EQ(port.Send("A", 1), 0);
    ASSERT_EQ(s().writeEntered.Wait(3000), WAIT_OBJECT_0); // "A" has left the ring
    ASSERT_EQ(port.Send("BC", 2), 0);
    port.ClearTxBuffer();
    EXPECT_EQ(port.WaitTxEmpty(50), 1); // "A" is still on its way
    s().writeGate.Set();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    EXPECT_EQ(s().Written(), "A");

    const int nWrites = s().writes;
    const int nDrains = s().drainCalls;
    for (int i = 0; i < 20; ++i)
        port.ClearTxBuffer();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(port.WaitTxEmpty(0), 0);
    EXPECT_EQ(s().writes, nWrites);
    EXPECT_EQ(s().drainCalls, nDrains);
    // And the next record goes out as before.
    ASSERT_EQ(port.Send("D", 1), 0);
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    EXPECT_EQ(s().Written(), "AD");
}

// A line that takes bytes at once gets them from Send itself, before the transmit thread
// runs; what it leaves goes out behind them. Transmit-empty waits for the thread to see them
// out, whatever a drain seen before the Send says.
TEST_F(ScriptedPort, SendHandsTheLineWhatItTakesAtOnceAndQueuesTheRest) {
    const struct {
        int nTake;
        const char* pszAtOnce;
    } cases[] = {{-1, ""}, {0, ""}, {2, "ab"}, {99, "abcde"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nTake);
        port.txGo.Reset();
        OpenScripted();
        s().written.clear();
        s().tryTake = c.nTake;
        ASSERT_EQ(port.Send("abcde", 5), 0);
        EXPECT_EQ(s().Written(), c.pszAtOnce);
        port.OnCommEvent(EV_TXEMPTY); // a drain the thread saw before this Send
        EXPECT_EQ(port.WaitTxEmpty(0), 1);
        port.txGo.Set();
        EXPECT_EQ(port.WaitTxEmpty(3000), 0);
        EXPECT_EQ(s().Written(), "abcde");
        port.Close();
    }
}

TEST_F(ScriptedPort, ASendWhileTheThreadWritesGoesBehindItsBytes) {
    OpenScripted();
    s().writeGate.Reset();
    s().tryTake = 0; // the line's queue is full: "A" goes through the transmit thread
    ASSERT_EQ(port.Send("A", 1), 0);
    ASSERT_EQ(s().writeEntered.Wait(3000), WAIT_OBJECT_0);
    s().tryTake = 99;
    ASSERT_EQ(port.Send("B", 1), 0);
    EXPECT_EQ(s().Written(), "");
    s().writeGate.Set();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    EXPECT_EQ(s().Written(), "AB");
}

TEST_F(ScriptedPort, ReceiveRingOverflowKeepsTheNewest4096Bytes) {
    OpenScripted();
    const std::string all = Pattern(4200);
    s().Push(all.substr(0, 4000));
    ASSERT_TRUE(Eventually([&] { return port.GetRxCount() == 4000; }));
    s().Push(all.substr(4000));
    ASSERT_TRUE(
        Eventually([&] { return port.GetRxCount() == 4096 && port.PeekRx(4095) == all.back(); }));
    std::string got(4096, '\0');
    int n = 4096;
    ASSERT_EQ(port.ReadRx(got.data(), n), 0);
    EXPECT_EQ(n, 4096);
    EXPECT_EQ(got, all.substr(104)); // the oldest 104 bytes were dropped
}

TEST_F(ScriptedPort, MoreThanTheScratchBufferIsReadInPiecesInOrder) {
    OpenScripted();
    const std::string all = Pattern(4000, 3);
    s().Push(all);
    ASSERT_TRUE(Eventually([&] { return port.GetRxCount() == 4000; }));
    EXPECT_EQ(s().maxReadCapacity, 2048);
    std::string got(4000, '\0');
    int n = 4000;
    ASSERT_EQ(port.ReadRx(got.data(), n), 0);
    EXPECT_EQ(got, all);
    int none = 5;
    EXPECT_EQ(port.ReadRx(got.data(), none), 1);
    EXPECT_EQ(none, 5);
}

TEST_F(ScriptedPort, AFullTransmitRingLosesItsOldestByte) {
    OpenScripted();
    s().writeGate.Reset();
    ASSERT_EQ(port.Send("x", 1), 0);
    ASSERT_EQ(s().writeEntered.Wait(3000), WAIT_OBJECT_0);
    const std::string block = Pattern(4096, 1);
    EXPECT_EQ(port.Send(block.data(), 4096), 0);
    EXPECT_EQ(port.Send("Z", 1), 1);
    s().writeGate.Set();
    EXPECT_TRUE(Eventually([&] { return s().Written().size() == 1 + 4096; }));
    EXPECT_EQ(s().Written(), "x" + block.substr(1) + "Z");
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
}

TEST_F(ScriptedPort, SendAboveTheRingRaisesAndLeavesThePortUsable) {
    OpenScripted();
    const std::string big(4097, 'b');
    std::string text;
    try {
        port.Send(big.data(), 4097);
    } catch (CXMsg* p) {
        text = p->GetMessage();
    }
    EXPECT_EQ(text, "(CCircularBuffer): Count out of bounds");
    // Nothing was queued, transmit-empty still holds, and the mutex was released.
    EXPECT_EQ(port.WaitTxEmpty(0), 0);
    std::thread other([&] { EXPECT_EQ(port.Send("ok", 2), 0); });
    other.join();
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    EXPECT_EQ(s().Written(), "ok");
    EXPECT_EQ(port.Send("", 0), 0);
    EXPECT_EQ(port.WaitTxEmpty(0), 0); // an empty Send leaves transmit-empty set
}

TEST_F(ScriptedPort, CloseDiscardsBytesStuckInAWriteAndReturnsAtOnce) {
    OpenScripted();
    s().writeGate.Reset();
    ASSERT_EQ(port.Send(Pattern(100).data(), 100), 0);
    ASSERT_EQ(s().writeEntered.Wait(3000), WAIT_OBJECT_0);
    ASSERT_EQ(port.Send("more", 4), 0);
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(port.Close());
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
    EXPECT_EQ(s().Written(), "");
    std::lock_guard lock(s().m);
    ASSERT_EQ(s().writeResults.size(), 1u);
    EXPECT_EQ(s().writeResults[0], LineWait::Stopped);
}

TEST_F(ScriptedPort, CloseWhileWaitingForTheDrainReturnsAtOnce) {
    OpenScripted();
    s().drained.Reset();
    ASSERT_EQ(port.Send("q", 1), 0);
    EXPECT_TRUE(Eventually([&] { return s().drainCalls > 0; }));
    const auto t0 = steady_clock::now();
    port.Close();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Close()); // a second Close does nothing
}

TEST_F(ScriptedPort, ALineThatGoesAwayLeavesBothThreadsIdle) {
    OpenScripted();
    s().goneOnRead = true;
    s().rxReady.Set(); // the receive thread wakes, reads, finds the line gone
    EXPECT_TRUE(Eventually([&] { return !Traces().empty(); }));
    EXPECT_EQ(port.Send("lost", 4), 0);
    std::this_thread::sleep_for(milliseconds(200));
    const int nWaits = s().waitRxCalls;
    const int nWrites = s().writes;
    const int nDrains = s().drainCalls;
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(s().waitRxCalls, nWaits);
    EXPECT_EQ(s().writes, nWrites);
    EXPECT_EQ(s().drainCalls, nDrains);
    EXPECT_LE(nWrites, 1);
    EXPECT_EQ(port.WaitTxEmpty(100), 1); // the waits simply time out
    EXPECT_EQ(port.WaitRxBreak(100), 1);
    const auto traces = Traces();
    EXPECT_EQ(std::count(traces.begin(), traces.end(),
                         "CSerial::Receive(): Error occurred in WaitForSingleObject call..."),
              1);
    const auto t0 = steady_clock::now();
    port.Close();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
}

TEST_F(ScriptedPort, LineSettingsFromTheRecordAndTheLineStateRoundTrip) {
    OpenScripted();
    PORTMODE m = Mode("", 38400);
    ASSERT_EQ(port.SetPortMode(m), S_OK);
    DCB dcb;
    ASSERT_EQ(port.GetPortMode(dcb), S_OK);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fNull);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);

    dcb.BaudRate = 738;
    ASSERT_EQ(port.SetPortMode(dcb), S_OK);
    {
        std::lock_guard lock(s().m);
        ASSERT_EQ(s().configured.size(), 3u); // Open, the record, the line state
        EXPECT_EQ(s().configured[0].BaudRate, 300u);
        EXPECT_EQ(s().configured.back().BaudRate, 738u);
        s().failConfigure = true;
    }
    dcb.BaudRate = 12345;
    EXPECT_EQ(port.SetPortMode(dcb), E_FAIL);
    DCB kept;
    ASSERT_EQ(port.GetPortMode(kept), S_OK);
    EXPECT_EQ(kept.BaudRate, 738u);

    m.byRtsControl = 0xFD; // only the low two bits count
    s().failConfigure = false;
    ASSERT_EQ(port.SetPortMode(m), S_OK);
    ASSERT_EQ(port.GetPortMode(kept), S_OK);
    EXPECT_EQ(kept.fRtsControl, RTS_CONTROL_ENABLE);
}

TEST_F(ScriptedPort, BreakAndModemLinesReachTheLine) {
    OpenScripted();
    EXPECT_EQ(port.SetBreak(), S_OK);
    EXPECT_EQ(port.ClearBreak(), S_OK);
    EXPECT_EQ(port.EscapeFunction(SETDTR), S_OK);
    EXPECT_EQ(port.EscapeFunction(SETRTS), S_OK);
    EXPECT_EQ(port.EscapeFunction(CLRDTR), S_OK);
    EXPECT_EQ(port.EscapeFunction(CLRRTS), S_OK);
    EXPECT_EQ(port.EscapeFunction(7), E_FAIL);
    std::lock_guard lock(s().m);
    EXPECT_EQ(s().calls, (std::vector<std::string>{"break on", "break off", "dtr on", "rts on",
                                                   "dtr off", "rts off"}));
}

TEST_F(ScriptedPort, AClosedPortRefusesQuietly) {
    EXPECT_EQ(port.Send("a", 1), 1);
    EXPECT_EQ(port.WaitTxEmpty(0), 1);
    EXPECT_EQ(port.WaitRxBreak(0), 1);
    EXPECT_EQ(port.WaitRxCount(1, 0), 1);
    EXPECT_EQ(port.SetBreak(), E_FAIL);
    EXPECT_EQ(port.ClearBreak(), E_FAIL);
    EXPECT_EQ(port.EscapeFunction(SETDTR), E_FAIL);
    DCB dcb;
    EXPECT_EQ(port.GetPortMode(dcb), E_FAIL);
    EXPECT_EQ(port.SetPortMode(dcb), E_FAIL);
    EXPECT_EQ(port.GetRxCount(), 0);
    char c;
    int n = 1;
    EXPECT_EQ(port.ReadRx(&c, n), 1);
    EXPECT_THROW(port.PeekRx(0), CXRecover*);
    EXPECT_TRUE(port.Close());
}

TEST_F(ScriptedPort, PeekPastTheCountRaisesAndReleasesTheMutex) {
    OpenScripted();
    s().Push("ab");
    ASSERT_TRUE(Eventually([&] { return port.GetRxCount() == 2; }));
    std::string text;
    try {
        port.PeekRx(port.GetRxCount());
    } catch (CXRecover* p) {
        text = p->GetMessage();
    }
    EXPECT_EQ(text, "(CCircularBuffer): Index out of bounds");
    s().Push("c"); // the receive thread can still take the mutex
    EXPECT_TRUE(Eventually([&] { return port.GetRxCount() == 3; }));
    port.ClearRxBuffer();
    EXPECT_EQ(port.GetRxCount(), 0);
}

TEST_F(ScriptedPort, ThreadsStartOnceAndTheRingsRestartOnEachOpen) {
    OpenScripted();
    const int nThreads = ThreadCount();
    EXPECT_TRUE(port.StartTransmitThread());
    EXPECT_TRUE(port.StartReceiveThread());
    EXPECT_EQ(ThreadCount(), nThreads);
    EXPECT_EQ(port.Open(Mode("script:other")), E_PORT_OPEN_FAILED); // already open
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetOpenPortName(), "script:unit");

    s().Push("old");
    ASSERT_TRUE(Eventually([&] { return port.GetRxCount() == 3; }));
    port.Close();
    EXPECT_EQ(port.GetOpenPortName(), "");
    EXPECT_EQ(port.GetRxCount(), 3); // the rings keep their bytes until the next Open
    OpenScripted();
    EXPECT_EQ(port.GetRxCount(), 0);
    EXPECT_EQ(s().opens, 2);
}

TEST_F(ScriptedPort, EachSetUpStepFailsWithItsBeepCode) {
    struct Step {
        bool ScriptState::*flag;
        size_t nBeeps;
    };
    // The raw line 3-3, the line settings 3-1, the queues 3, the event mask 2, the event
    // objects 1.
    for (const Step step : {Step{&ScriptState::failRaw, 6}, Step{&ScriptState::failConfigure, 4},
                            Step{&ScriptState::failQueues, 3}, Step{&ScriptState::failEvents, 2},
                            Step{&ScriptState::failEventObjects, 1}}) {
        g_script = std::make_shared<ScriptState>();
        (*g_script).*step.flag = true;
        const size_t nBefore = Beeps();
        EXPECT_EQ(port.Open(Mode("script:unit")), E_PORT_OPEN_FAILED);
        EXPECT_EQ(Beeps() - nBefore, step.nBeeps);
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.GetOpenPortName(), "");
        EXPECT_EQ(g_script->opens, 1); // the line opened at the first attempt
    }
}

TEST_F(ScriptedPort, ANameThatDoesNotFitIsRefusedUnread) {
    PORTMODE m = Mode("");
    std::memset(m.szPort, 's', sizeof m.szPort); // no terminating NUL inside the field
    std::memcpy(m.szPort, "script:", 7);
    EXPECT_EQ(port.Open(m), E_PORT_OPEN_FAILED);
    EXPECT_EQ(s().opens, 0);
    EXPECT_EQ(Beeps(), 7u);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetOpenPortName(), "");

    // The longest name that fits opens.
    std::string name = "script:" + std::string(sizeof m.szPort - 8, 'n');
    std::memcpy(m.szPort, name.c_str(), name.size() + 1);
    EXPECT_EQ(port.Open(m), S_OK);
    EXPECT_EQ(port.GetOpenPortName(), name);
}

TEST(LineRegistry, TheLongestPrefixPicksTheBackendAndOtherNamesAreDevicePaths) {
    std::string picked;
    auto make = [&](const char* tag) {
        return [&picked, tag](const std::string&, std::unique_ptr<ISerialLine>*, std::string*) {
            picked = tag;
            return E_FAIL;
        };
    };
    RegisterLineBackend("reg:", make("short"));
    RegisterLineBackend("reg:long:", make("long"));
    std::unique_ptr<ISerialLine> line;
    OpenSerialLine("reg:long:x", &line);
    EXPECT_EQ(picked, "long");
    OpenSerialLine("reg:x", &line);
    EXPECT_EQ(picked, "short");
    RegisterLineBackend("reg:long:", nullptr);
    OpenSerialLine("reg:long:x", &line);
    EXPECT_EQ(picked, "short");
    RegisterLineBackend("reg:", nullptr);

    picked.clear();
    EXPECT_EQ(OpenSerialLine("/dev/null/not-a-tty", &line), E_FAIL);
    EXPECT_EQ(OpenSerialLine("/dev/null", &line), E_FAIL); // not a terminal
    EXPECT_EQ(picked, "");
    EXPECT_FALSE(line);
}
