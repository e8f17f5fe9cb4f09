// Uploads the sample image set through CSerialPort to the simulated unit and measures the record
// transfer of stages 3 to 5 against the line floor. Prints figures; never fails on time.
//
//   bench_sim_upload [SIM_OPTIONS]      e.g.  bench_sim_upload latency=2
//
// The floor of one record: the host's 1 ms break, the record's bytes at 38400 baud, the unit's
// handling time (latency=, 1 ms by default), its break and its 6 answer bytes at 38400 baud.
// A record's wall time runs from its break to the next record's break (or to whatever the stage
// does next), so it holds everything the host spends on it.
//
// Before the upload it times the primitives a record is made of, with the timer's resolution
// raised as a session raises it: a 1 ms sleep (the host's break), a 1 ms timed wait, the wake-up
// of a thread waiting on an event (the port's threads hand each other the bytes), and how late
// the simulated line's precise waits end (each of its characters is due at such a moment).

#include "image/FileImg.h"
#include "platform/CpuTime.h"
#include "platform/Event.h"
#include "platform/ProgramDir.h"
#include "platform/Sleep.h"
#include "platform/TimerResolution.h"
#include "serial/SerialLine.h"
#include "serial/SerialPort.h"
#include "sim/SimAdapter.h"
#include "sim/SimLine.h"
#include "sim/SimUnit.h"
#include "sim/SimWait.h"
#include "upload/Clock.h"
#include "upload/UploadDlgBase.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One mark on the time line: a host break (a record or command try begins) or a long pause.
struct Mark {
    Clock::time_point t;
    double dCpu = 0;
    bool bPause = false;
    int nFirstByte = -1; // the first byte written after the break
    int nLength = 0;     // the bytes written after the break
    // The moments that split a record's time: the break lifted, the first write of its bytes
    // (by Send itself on a line at rest, else by the transmit thread), and the read that brought
    // the answer's last byte (the receive thread). Unset stays at the epoch.
    Clock::time_point tBreakOff, tWrite, tAnswer;
    int nRead = 0; // bytes read since the break
};

// A record's answer: the break's 0x00 and six bytes.
constexpr int kAnswerBytes = 7;

std::mutex g_mutex;
std::vector<Mark> g_marks;

void AddMark(bool bPause) {
    Mark m;
    m.t = Clock::now();
    m.dCpu = ProcessCpuSeconds();
    m.bPause = bPause;
    std::lock_guard lock(g_mutex);
    g_marks.push_back(m);
}

// Passes everything to the simulated line and marks each break and what follows it.
class CTimingLine final : public ISerialLine {
public:
    explicit CTimingLine(std::unique_ptr<ISerialLine> pInner) : m_pInner(std::move(pInner)) {}
    HRESULT Configure(const DCB& dcb) override { return m_pInner->Configure(dcb); }
    LineWait WaitRx(const CEvent& stop, DWORD ms) override { return m_pInner->WaitRx(stop, ms); }
    int Read(char* p, int n, RxInfo& info) override {
        const int nRead = m_pInner->Read(p, n, info);
        if (nRead > 0) {
            const auto t = Clock::now();
            std::lock_guard lock(g_mutex);
            if (!g_marks.empty() && !g_marks.back().bPause) {
                Mark& m = g_marks.back();
                m.nRead += nRead;
                if (m.nRead >= kAnswerBytes && m.tAnswer == Clock::time_point{})
                    m.tAnswer = t;
            }
        }
        return nRead;
    }
    LineWait Write(const char* p, int n, const CEvent& stop, DWORD ms) override {
        MarkWrite(p, n);
        return m_pInner->Write(p, n, stop, ms);
    }
    int TryWrite(const char* p, int n) override {
        const int nTaken = m_pInner->TryWrite(p, n);
        if (nTaken > 0)
            MarkWrite(p, nTaken);
        return nTaken;
    }
    LineWait WaitTxDrained(const CEvent& stop, DWORD ms) override {
        return m_pInner->WaitTxDrained(stop, ms);
    }
    HRESULT SetBreak(bool bOn) override {
        if (bOn)
            AddMark(false);
        const HRESULT hr = m_pInner->SetBreak(bOn);
        if (!bOn) {
            const auto t = Clock::now();
            std::lock_guard lock(g_mutex);
            if (!g_marks.empty() && !g_marks.back().bPause)
                g_marks.back().tBreakOff = t;
        }
        return hr;
    }
    HRESULT SetDtr(bool bOn) override { return m_pInner->SetDtr(bOn); }
    HRESULT SetRts(bool bOn) override { return m_pInner->SetRts(bOn); }

private:
    static void MarkWrite(const char* p, int n) {
        const auto t = Clock::now();
        std::lock_guard lock(g_mutex);
        if (n <= 0 || g_marks.empty() || g_marks.back().bPause)
            return;
        Mark& m = g_marks.back();
        if (m.nFirstByte < 0) {
            m.nFirstByte = static_cast<unsigned char>(p[0]);
            m.tWrite = t;
        }
        m.nLength += n;
    }

    std::unique_ptr<ISerialLine> m_pInner;
};

// The real clock, with a mark before each of the stages' long pauses.
class CMarkingClock final : public IClock {
public:
    void Sleep(DWORD ms) override {
        if (ms >= 100)
            AddMark(true);
        CSystemClock::Instance().Sleep(ms);
    }
    std::int64_t GetMonotonicTime() override { return CSystemClock::Instance().GetMonotonicTime(); }
};

class CBenchHost final : public CUploadDlgBase {
public:
    explicit CBenchHost(std::string strPort) : m_strPort(std::move(strPort)) {
        m_strAppDir = GetProgramDir();
        SetSerialPort(&m_port);
        SetClock(&m_clock);
    }
    ~CBenchHost() override {
        WaitForSessionEnd(INFINITE);
        m_port.Close();
    }
    std::string m_log;

protected:
    void ShowLogText(const std::string& s) override { m_log += s; }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void DeltaProgressPos(int) override {}
    std::string GetPortText() override { return m_strPort; }
    MsgBoxResult ShowMessageBox(const std::string&, const std::string&, MsgBoxIcon,
                                MsgBoxButtons) override {
        return MsgBoxResult::Ok;
    }
    void FocusPortBox() override {}
    void RestoreStartCaption() override {}

private:
    std::string m_strPort;
    CSerialPort m_port;
    CMarkingClock m_clock;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintSpread(const char* pszWhat, const std::vector<double>& v) {
    std::printf("  %-34s median %.3f ms, 99th percentile %.3f ms\n", pszWhat, Percentile(v, 0.5),
                Percentile(v, 0.99));
}

// The primitives' own costs on this system, 200 of each.
void TimePrimitives() {
    constexpr int kRounds = 200;
    const CTimerResolutionScope resolution;
    SimUsePreciseTimers();
    std::vector<double> sleeps, waits, wakes, late;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        Sleep(1);
        sleeps.push_back(Ms(Clock::now() - t0));
    }
    CEvent never;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = Clock::now();
        never.Wait(1);
        waits.push_back(Ms(Clock::now() - t0));
    }
    // Another thread sets the event at a moment it notes; the waiter notes when it woke.
    CEvent go, done, stop;
    std::atomic<Clock::rep> setAt{0};
    std::thread setter([&] {
        for (;;) {
            if (WaitForEither(stop, done, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            done.Reset();
            Sleep(1);
            setAt = Clock::now().time_since_epoch().count();
            go.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        go.Reset();
        done.Set();
        go.Wait(INFINITE);
        const auto woke = Clock::now().time_since_epoch().count();
        wakes.push_back(Ms(Clock::duration(woke - setAt.load())));
    }
    stop.Set();
    setter.join();
    for (int i = 0; i < kRounds; ++i) {
        const auto deadline = Clock::now() + std::chrono::microseconds(300 + 37 * (i % 20));
        SimWaitUntil(never, nullptr, deadline);
        late.push_back(Ms(Clock::now() - deadline));
    }
    std::printf("Primitives, with the timer's resolution raised as a session raises it\n");
    PrintSpread("Sleep(1)", sleeps);
    PrintSpread("1 ms timed wait on an event", waits);
    PrintSpread("wake-up of a thread by an event", wakes);
    PrintSpread("simulated line's wait, past its due", late);
}

} // namespace

int main(int argc, char** argv) {
    const std::string strOptions = argc > 1 ? argv[1] : "";
    SimOptions opts;
    std::string error;
    if (!ParseSimOptions(strOptions, opts, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    RegisterLineBackend("simbench:",
                        [](const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                           std::string*) -> HRESULT {
                            std::unique_ptr<ISerialLine> pInner;
                            std::string err;
                            if (CSimLine::Open("sim:" + strName.substr(9), &pInner, &err) != S_OK) {
                                std::fprintf(stderr, "%s\n", err.c_str());
                                return E_FAIL;
                            }
                            *ppLine = std::make_unique<CTimingLine>(std::move(pInner));
                            return S_OK;
                        });

    TimePrimitives();

    CBenchHost host("simbench:" + strOptions);
    const auto t0 = Clock::now();
    if (!host.StartUploadSession()) {
        std::fprintf(stderr, "the session did not start\n");
        return 1;
    }
    host.WaitForSessionEnd(INFINITE);
    const double dSession = std::chrono::duration<double>(Clock::now() - t0).count();
    const bool bOk = host.m_log.find("Firmware uploaded in") != std::string::npos;

    // Each record try lasts from its break to the next mark. The line's own time: the host's
    // 1 ms break, the record's characters, the unit's handling time, its break (as long as
    // kSimBreakChars characters) and its 6 answer characters, at the rate the adapter runs.
    const double dChar =
        std::chrono::duration<double>(SimCharTime(SimAdapterRate(opts.adapter, 38400))).count();
    const double dFloorFixed =
        0.001 + opts.dLatencyMs / 1000 + (kSimBreakChars + kAnswerBytes - 1) * dChar;
    int nRecords = 0;
    double dWall = 0, dFloor = 0, dCpu = 0;
    std::vector<double> overheads;
    // Where each record's overhead goes (ms): the break beyond its 1 ms, the break's end to the
    // first write, the write to the answer's last byte beyond the line's own time, and that
    // read to the next break.
    std::vector<double> breakOver, handOff, rxLate, toNext;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    for (std::size_t i = 0; i + 1 < g_marks.size(); ++i) {
        const Mark& m = g_marks[i];
        if (m.bPause || m.nFirstByte != 'L')
            continue;
        const Mark& next = g_marks[i + 1];
        const double dDur = std::chrono::duration<double>(next.t - m.t).count();
        const double dRecFloor = dFloorFixed + m.nLength * dChar;
        ++nRecords;
        dWall += dDur;
        dFloor += dRecFloor;
        dCpu += next.dCpu - m.dCpu;
        overheads.push_back((dDur - dRecFloor) * 1000);
        const Clock::time_point unset{};
        if (m.tBreakOff != unset && m.tWrite != unset && m.tAnswer != unset) {
            breakOver.push_back(ms(m.tBreakOff - m.t) - 1);
            handOff.push_back(ms(m.tWrite - m.tBreakOff));
            rxLate.push_back(ms(m.tAnswer - m.tWrite) - (dRecFloor - 0.001) * 1000);
            toNext.push_back(ms(next.t - m.tAnswer));
        }
    }

    std::printf("Simulated upload: stages 3 to 5 of the sample set through CSerialPort to "
                "sim:%s\n",
                strOptions.c_str());
    std::printf("  session result          %s (%.1f s in all)\n", bOk ? "uploaded" : "FAILED",
                dSession);
    std::printf("  records sent            %d\n", nRecords);
    std::printf("  wall time               %.3f s\n", dWall);
    std::printf("  line floor              %.3f s\n", dFloor);
    std::printf("  efficiency              %.3f   (target >= 0.99)\n",
                dWall > 0 ? dFloor / dWall : 0.0);
    std::printf("  overhead per record     median %.3f ms, 99th percentile %.3f ms   "
                "(target median <= 1.0 ms)\n",
                Percentile(overheads, 0.5), Percentile(overheads, 0.99));
    const auto part = [](const char* pszName, const std::vector<double>& v) {
        double dSum = 0;
        for (const double d : v)
            dSum += d;
        std::printf("    %-26s median %.3f ms, mean %.3f ms, 99th percentile %.3f ms\n", pszName,
                    Percentile(v, 0.5), v.empty() ? 0.0 : dSum / static_cast<double>(v.size()),
                    Percentile(v, 0.99));
    };
    std::printf("  where it goes, per record\n");
    part("break beyond 1 ms", breakOver);
    part("break's end to write", handOff);
    part("answer read beyond line", rxLate);
    part("answer read to next break", toNext);
    std::printf("  CPU during transfer     %.2f %% of wall   (target < 5 %%)\n",
                dWall > 0 ? 100 * dCpu / dWall : 0.0);
    return bOk ? 0 : 1;
}
