// The station window's engine without the window: fixtures whose modem line a test scripts,
// sessions that are the built morfw uploading a small set to simulated units, and the events
// the engine hands on.

#include "../cli/ProgramTestSupport.h"

#include "station/StationEngine.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <mutex>

using namespace programtest;
using Kind = station::EngineEvent::Kind;

namespace {

// A fixture's modem line as the test sets it; counts the watcher's opens of the port.
struct Line {
    std::mutex mutex;
    std::condition_variable cv;
    bool bUp = false;
    int nChanges = 0;
    int nOpens = 0;

    void Set(bool bNow) {
        std::lock_guard lock(mutex);
        bUp = bNow;
        ++nChanges;
        cv.notify_all();
    }
    int Opens() {
        std::lock_guard lock(mutex);
        return nOpens;
    }
};

class ScriptedInput final : public fleet::IModemInput {
public:
    explicit ScriptedInput(Line& line) : m_line(line) {}
    bool Open(std::string&) override {
        std::lock_guard lock(m_line.mutex);
        ++m_line.nOpens;
        return true;
    }
    void Close() override {}
    int Level(std::string&) override {
        std::lock_guard lock(m_line.mutex);
        m_nSeen = m_line.nChanges;
        return m_line.bUp ? 1 : 0;
    }
    Wait WaitChange(std::string&) override {
        std::unique_lock lock(m_line.mutex);
        m_line.cv.wait(lock, [&] { return m_bInterrupted || m_line.nChanges != m_nSeen; });
        const bool bInterrupted = m_bInterrupted;
        m_bInterrupted = false;
        return bInterrupted ? Wait::Interrupted : Wait::Changed;
    }
    void Interrupt() override {
        std::lock_guard lock(m_line.mutex);
        m_bInterrupted = true;
        m_line.cv.notify_all();
    }

private:
    Line& m_line;
    int m_nSeen = 0;
    bool m_bInterrupted = false;
};

// Two fixtures on simulated units (B's fails part 2), their lines scripted, the events kept.
class Bench {
public:
    explicit Bench(bool bAskSerial = false) {
        MakeSmallSet(tmp.Path() / "set");
        station::EngineSettings s;
        s.mode = station::ArrivalMode::ModemLine;
        s.ports = {kA, kB};
        s.modems = [this](const std::string& port) {
            return std::make_unique<ScriptedInput>(port == kA ? a : b);
        };
        s.bAskSerial = bAskSerial;
        s.runner.strProgram = kMorfw;
        s.runner.sessionArgs = {"--images", (tmp.Path() / "set").string()};
        s.lock = fleet::JudgeImageSet((tmp.Path() / "set").string());
        engine = std::make_unique<station::StationEngine>(
            s, [this](std::vector<station::EngineEvent>&& batch) {
                std::lock_guard lock(m_mutex);
                for (auto& e : batch)
                    m_events.push_back(std::move(e));
                m_cv.notify_all();
            });
        std::string err;
        EXPECT_TRUE(engine->Start(err)) << err;
    }
    // Waits (up to a minute) for the first event of this kind at this fixture not taken yet,
    // and takes it (the fixtures' events interleave in any order).
    station::EngineEvent Next(Kind kind, const std::string& strLabel = {}) {
        std::unique_lock lock(m_mutex);
        station::EngineEvent found{};
        found.kind = Kind::AllEnded;
        const bool bSeen = m_cv.wait_for(lock, std::chrono::minutes(1), [&] {
            m_taken.resize(m_events.size());
            for (std::size_t i = 0; i < m_events.size(); ++i) {
                const auto& e = m_events[i];
                if (!m_taken[i] && e.kind == kind && (strLabel.empty() || e.strLabel == strLabel)) {
                    m_taken[i] = true;
                    found = e;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(bSeen) << "no event " << static_cast<int>(kind) << " at " << strLabel;
        return found;
    }
    // How many events of this kind came so far (all of them, also those already waited for).
    int Count(Kind kind) {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(std::count_if(m_events.begin(), m_events.end(),
                                              [&](const auto& e) { return e.kind == kind; }));
    }

    static inline const std::string kA = "sim:seed=1";
    static inline const std::string kB = "sim:seed=2,ok=0";
    TempDir tmp;
    Line a, b;
    std::unique_ptr<station::StationEngine> engine;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<station::EngineEvent> m_events;
    std::vector<bool> m_taken;
};

} // namespace

// A seated unit is flashed; the port goes back to its watcher when the session has ended and the
// drop clears the fixture; the next unit is the next session.
TEST(StationEngine, AUnitSeatedIsFlashedAndItsPortGoesBackToTheWatcherAfterwards) {
    Bench bench;
    bench.a.Set(true);
    EXPECT_EQ(bench.Next(Kind::Arrived, Bench::kA).strText, Bench::kA);
    const int nOpens = bench.a.Opens();
    const auto started = bench.Next(Kind::Started, Bench::kA);
    EXPECT_EQ(bench.Next(Kind::Log, Bench::kA).unit.nId, started.unit.nId);
    const auto ended = bench.Next(Kind::Finished, Bench::kA);
    EXPECT_EQ(ended.unit.nId, started.unit.nId);
    EXPECT_EQ(ended.unit.nExitCode, 0);
    bench.a.Set(false);
    bench.Next(Kind::Left, Bench::kA);
    EXPECT_GT(bench.a.Opens(), nOpens) << "the watcher opened the port again for the drop";

    bench.a.Set(true); // the next unit
    EXPECT_GT(bench.Next(Kind::Started, Bench::kA).unit.nId, started.unit.nId);
    EXPECT_EQ(bench.Next(Kind::Finished, Bench::kA).unit.nExitCode, 0);
    EXPECT_EQ(bench.Count(Kind::Started), 2);
}

// With serial numbers, an arrival waits for its number; a unit whose number is not given is
// abandoned and its port goes back to the watcher without a session.
TEST(StationEngine, AnArrivalWaitsForItsSerialNumberOrIsAbandoned) {
    Bench bench(true);
    bench.a.Set(true);
    bench.b.Set(true);
    bench.Next(Kind::Arrived, Bench::kA);
    bench.Next(Kind::Arrived, Bench::kB);
    const int nOpensB = bench.b.Opens();
    bench.engine->StartUnit(Bench::kA, "SN-77");
    bench.engine->Abandon(Bench::kB);
    bench.engine->StartUnit(Bench::kB, "too late"); // nothing waits there any more
    const auto ended = bench.Next(Kind::Finished, Bench::kA);
    EXPECT_EQ(ended.unit.strSerial, "SN-77");
    for (int i = 0; i < 500 && bench.b.Opens() == nOpensB; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(bench.b.Opens(), nOpensB);
    EXPECT_EQ(bench.Count(Kind::Started), 1);
}

// A changed image set holds the arrivals (reported once); the reload starts them with the new set.
TEST(StationEngine, AChangedSetHoldsArrivalsUntilTheReload) {
    Bench bench;
    const fs::path set = bench.tmp.Path() / "set";
    WriteFile(set / "SBoot.bin", ReadFile(set / "SBoot.bin").substr(0, 64));
    bench.a.Set(true);
    EXPECT_EQ(bench.Next(Kind::ImagesChanged).strText.rfind("SBoot.bin changed (sha256 ", 0), 0u);
    EXPECT_EQ(bench.Next(Kind::Held, Bench::kA).strText.rfind("SBoot.bin changed", 0), 0u);
    bench.engine->CheckImages();
    bench.engine->ReloadImages();
    const auto locked = bench.Next(Kind::ImagesLocked);
    EXPECT_TRUE(locked.lock.bValid) << locked.strText;
    EXPECT_EQ(locked.lock.strSetDigest, fleet::ReadImageSet(set.string()).strSetDigest);
    EXPECT_EQ(bench.Next(Kind::Finished, Bench::kA).unit.nExitCode, 0);
    EXPECT_EQ(bench.Count(Kind::ImagesChanged), 1) << "said once, not at every check";
}

// The cancel reaches the running sessions, which end as cancelled; then AllEnded, and no unit
// starts any more.
TEST(StationEngine, CancelEndsTheRunningSessionsAndTakesNoMoreUnits) {
    Bench bench;
    bench.a.Set(true);
    bench.Next(Kind::Started, Bench::kA);
    bench.engine->CancelAll();
    const auto ended = bench.Next(Kind::Finished, Bench::kA);
    EXPECT_EQ(ended.unit.nExitCode, 5) << ended.unit.strMessage;
    bench.Next(Kind::AllEnded);
    bench.b.Set(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(bench.Count(Kind::Started), 1);
}
