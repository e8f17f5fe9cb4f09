#include "station/StationEngine.h"

#include "fleet/Arrivals.h"
#include "fleet/DeviceWatch.h"
#include "fleet/Station.h"
#include "platform/PrintableText.h"

#include <algorithm>
#include <chrono>
#include <csignal>

namespace station {

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool IsUrgent(EngineEvent::Kind kind) {
    return kind != EngineEvent::Kind::Log && kind != EngineEvent::Kind::Progress &&
           kind != EngineEvent::Kind::Tick;
}

} // namespace

struct StationEngine::Fixture {
    std::string strLabel;
    std::string strPort;
    bool bAwaitSerial = false; // arrived; its serial number is asked for
    bool bWaiting = false;     // wants to start (held by the image set or a running session)
    bool bRunning = false;
    int nUnitId = 0;
    std::string strSerial;
    long long nLeaveAt = -1;  // a rehearsal's unit leaves then ...
    long long nArriveAt = -1; // ... and comes again then
};

// The station's events, passed on to the engine on its own thread.
class StationEngine::Observer final : public fleet::StationObserver {
public:
    explicit Observer(StationEngine& engine) : m_engine(engine) {}
    void OnStarted(const fleet::UnitState& u) override { m_engine.OnStarted(u); }
    void OnLog(const fleet::UnitState& u, std::string_view text) override {
        m_engine.Emit({EngineEvent::Kind::Log, u.strLabel, std::string(text), u, {}});
    }
    void OnProgress(const fleet::UnitState& u) override {
        m_engine.Emit({EngineEvent::Kind::Progress, u.strLabel, {}, u, {}});
    }
    void OnNotice(const fleet::UnitState& u, std::string_view text) override {
        m_engine.Emit({EngineEvent::Kind::Notice, u.strLabel, std::string(text), u, {}});
    }
    void OnFinished(const fleet::UnitState& u) override { m_engine.OnFinished(u); }
    void OnPortFree(const std::string& strLabel) override { m_engine.OnPortFree(strLabel); }

private:
    StationEngine& m_engine;
};

struct StationEngine::Parts {
    explicit Parts(StationEngine& engine, const fleet::RunnerSettings& settings)
        : observer(engine), station(observer), runner(settings, station) {
        station.SetRunner(&runner);
    }
    Observer observer;
    fleet::Station station;
    fleet::Runner runner;
    std::unique_ptr<fleet::DeviceWatch> devices;
    std::unique_ptr<fleet::ModemWatch> modems;
};

StationEngine::StationEngine(EngineSettings settings, Sink sink)
    : m_settings(std::move(settings)), m_sink(std::move(sink)) {}

StationEngine::~StationEngine() {
    Stop();
    if (m_thread.joinable())
        m_thread.join();
    // The runner's own end cancels and waits for what still runs; its events go nowhere now.
    m_sink = nullptr;
    m_parts.reset();
}

bool StationEngine::Start(std::string& strError) {
    m_parts = std::make_unique<Parts>(*this, m_settings.runner);
    switch (m_settings.mode) {
    case ArrivalMode::Devices:
        m_parts->devices = std::make_unique<fleet::DeviceWatch>(m_settings.strWatchDir,
                                                                m_settings.strWatchPattern);
        if (!m_parts->devices->Start(strError))
            return false;
        break;
    case ArrivalMode::ModemLine:
        m_parts->modems = std::make_unique<fleet::ModemWatch>(m_settings.ports, m_settings.modems);
        if (!m_parts->modems->Start(strError))
            return false;
        [[fallthrough]];
    case ArrivalMode::StartKey:
        for (const auto& port : m_settings.ports)
            Get(port).strPort = port;
        break;
    }
    m_nLastFlush = m_nLastTick = NowMs();
    // The children of the runner get SIGTERM should the thread that started them end first
    // (PR_SET_PDEATHSIG follows the thread): this thread lives until every session has ended.
    m_thread = std::thread([this] { Run(); });
    return true;
}

// --- Commands ---------------------------------------------------------------------------------

void StationEngine::Post(Command command) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.push_back(std::move(command));
    }
    m_wake.Set();
}

void StationEngine::StartUnit(const std::string& strLabel, const std::string& strSerial) {
    Post({Command::Kind::Start, strLabel, strSerial});
}
void StationEngine::Abandon(const std::string& strLabel) {
    Post({Command::Kind::Abandon, strLabel, {}});
}
void StationEngine::CheckImages() {
    Post({Command::Kind::Check, {}, {}});
}
void StationEngine::ReloadImages() {
    Post({Command::Kind::Reload, {}, {}});
}
void StationEngine::CancelAll() {
    Post({Command::Kind::Cancel, {}, {}});
}

void StationEngine::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_wake.Set();
}

// --- The engine's thread ----------------------------------------------------------------------

StationEngine::Fixture* StationEngine::Find(const std::string& strLabel) {
    const auto it = m_fixtures.find(strLabel);
    return it == m_fixtures.end() ? nullptr : it->second.get();
}

StationEngine::Fixture& StationEngine::Get(const std::string& strLabel) {
    auto& f = m_fixtures[strLabel];
    if (!f) {
        f = std::make_unique<Fixture>();
        f->strLabel = strLabel;
    }
    return *f;
}

void StationEngine::Run() {
    if (m_parts->devices) {
        std::vector<fleet::DeviceChange> changes;
        m_parts->devices->Read(changes); // the devices already there are units too
        for (const auto& c : changes) {
            if (c.bAppeared)
                Arrive(c.strPath, m_settings.bPortFiles ? fleet::PortFromFile(c.strPath) : c.strPath);
        }
    }
    Flush(true);
    for (;;) {
        std::vector<Command> commands;
        {
            std::lock_guard lock(m_mutex);
            if (m_bStop)
                break;
            commands.swap(m_commands);
            m_wake.Reset();
        }
        for (const auto& c : commands)
            HandleCommand(c);

        const long long now = NowMs();
        RunCycles(now);
        if (now - m_nLastTick >= kTickMs) {
            m_nLastTick = now;
            for (const auto& [label, f] : m_fixtures) {
                if (f->bRunning && f->nUnitId > 0)
                    Emit(
                        {EngineEvent::Kind::Tick, label, {}, m_parts->runner.Unit(f->nUnitId), {}});
            }
        }
        if (m_bCancelled && !m_bAllEndedSent && m_parts->runner.RunningCount() == 0) {
            m_bAllEndedSent = true;
            Emit({EngineEvent::Kind::AllEnded, {}, {}, {}, {}});
        }
        Flush(false);

        const int arrivalsFd = m_bCancelled       ? -1
                               : m_parts->devices ? m_parts->devices->Fd()
                               : m_parts->modems  ? m_parts->modems->Fd()
                                                  : -1;
        pollfd fds[2] = {{m_wake.Fd(), POLLIN, 0}, {arrivalsFd, POLLIN, 0}};
        m_parts->runner.Wait(NextTimeout(NowMs()), std::span(fds, 2));
        if (fds[1].revents != 0)
            ReadArrivals();
    }
    Flush(true);
}

int StationEngine::NextTimeout(long long nNow) const {
    long long next = -1;
    const auto take = [&next](long long at) {
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    };
    if (!m_batch.empty())
        take(m_nLastFlush + kFlushMs);
    for (const auto& [label, f] : m_fixtures) {
        if (f->bRunning)
            take(m_nLastTick + kTickMs);
        take(f->nLeaveAt);
        take(f->nArriveAt);
    }
    if (next < 0)
        return -1;
    return static_cast<int>(std::clamp<long long>(next - nNow, 0, kTickMs));
}

void StationEngine::ReadArrivals() {
    if (m_parts->devices) {
        std::vector<fleet::DeviceChange> changes;
        m_parts->devices->Read(changes);
        for (const auto& c : changes) {
            if (!c.bAppeared) {
                Depart(c.strPath);
                continue;
            }
            const std::string port = m_settings.bPortFiles ? fleet::PortFromFile(c.strPath) : c.strPath;
            if (port.empty())
                Emit({EngineEvent::Kind::WatchFailed, c.strPath, "names no port", {}, {}});
            else
                Arrive(c.strPath, port);
        }
    } else if (m_parts->modems) {
        std::vector<fleet::ModemChange> changes;
        m_parts->modems->Read(changes);
        for (const auto& c : changes) {
            if (!c.strError.empty())
                Emit({EngineEvent::Kind::WatchFailed,
                      c.strPort,
                      EscapeControlChars(c.strError),
                      {},
                      {}});
            else if (c.bUp)
                Arrive(c.strPort, c.strPort);
            else
                Depart(c.strPort);
        }
    }
}

void StationEngine::HandleCommand(const Command& c) {
    switch (c.kind) {
    case Command::Kind::Start: {
        Fixture* f = Find(c.strLabel);
        if (!f || m_bCancelled)
            return;
        if (m_settings.mode == ArrivalMode::StartKey) {
            if (f->bRunning || f->bWaiting)
                return; // one session per fixture; a key pressed twice starts one
        } else if (!f->bAwaitSerial) {
            return; // no unit waits there
        }
        f->bAwaitSerial = false;
        f->strSerial = c.strSerial;
        f->bWaiting = true;
        f->nArriveAt = f->nLeaveAt = -1;
        TryStart(*f);
        return;
    }
    case Command::Kind::Abandon:
        if (Fixture* f = Find(c.strLabel); f && (f->bAwaitSerial || f->bWaiting)) {
            f->bAwaitSerial = f->bWaiting = false;
            // A modem-line fixture's port goes back to its watcher, which waits for the drop.
            if (m_parts->modems && !f->bRunning)
                m_parts->modems->Release(f->strLabel);
        }
        return;
    case Command::Kind::Check: {
        std::string change;
        if (ImagesStillHeld(change))
            TryStartWaiting();
        return;
    }
    case Command::Kind::Reload: {
        fleet::ImageSetLock lock = fleet::JudgeImageSet(m_settings.lock.strImageDir);
        m_settings.lock = lock;
        m_strHeldChange.clear();
        Emit({EngineEvent::Kind::ImagesLocked, {}, lock.bValid ? "" : lock.strProblem, {}, lock});
        TryStartWaiting();
        return;
    }
    case Command::Kind::Cancel:
        if (m_bCancelled)
            return;
        m_bCancelled = true;
        m_parts->station.StopTaking();
        m_parts->runner.Signal(SIGINT);
        if (m_parts->modems)
            m_parts->modems->Stop();
        for (auto& [label, f] : m_fixtures)
            f->bAwaitSerial = f->bWaiting = false;
        return;
    }
}

void StationEngine::Arrive(const std::string& strLabel, const std::string& strPort) {
    Fixture& f = Get(strLabel);
    f.strPort = strPort;
    Emit({EngineEvent::Kind::Arrived, strLabel, strPort, {}, {}});
    if (m_bCancelled)
        return;
    if (m_settings.bAskSerial) {
        f.bAwaitSerial = true;
        return;
    }
    f.bWaiting = true;
    TryStart(f);
}

void StationEngine::Depart(const std::string& strLabel) {
    Fixture& f = Get(strLabel);
    f.bAwaitSerial = f.bWaiting = false;
    m_parts->station.Depart(strLabel);
    Emit({EngineEvent::Kind::Left, strLabel, {}, {}, {}});
}

bool StationEngine::ImagesStillHeld(std::string& strChange) {
    const fleet::ImageSetLock& held = m_settings.lock;
    if (!held.bValid) {
        strChange = "the image set cannot be used: " + held.strProblem;
        return false;
    }
    strChange = fleet::DescribeImageChange(held, fleet::ReadImageSet(held.strImageDir));
    if (strChange != m_strHeldChange) {
        m_strHeldChange = strChange;
        Emit({EngineEvent::Kind::ImagesChanged, {}, strChange, {}, {}});
    }
    return strChange.empty();
}

void StationEngine::TryStart(Fixture& f) {
    if (m_bCancelled || !f.bWaiting || f.bRunning)
        return;
    std::string change;
    if (!ImagesStillHeld(change)) {
        Emit({EngineEvent::Kind::Held, f.strLabel, change, {}, {}});
        return;
    }
    f.bWaiting = false;
    f.bRunning = true;
    m_parts->station.Arrive(f.strLabel, f.strPort, f.strSerial);
}

void StationEngine::TryStartWaiting() {
    for (auto& [label, f] : m_fixtures) {
        if (f->bWaiting)
            TryStart(*f);
    }
}

void StationEngine::OnStarted(const fleet::UnitState& unit) {
    Fixture& f = Get(unit.strLabel);
    f.bRunning = true;
    f.nUnitId = unit.nId;
    Emit({EngineEvent::Kind::Started, unit.strLabel, {}, unit, {}});
}

void StationEngine::OnFinished(const fleet::UnitState& unit) {
    Fixture& f = Get(unit.strLabel);
    f.bRunning = false;
    f.strSerial.clear();
    if (m_settings.nCycleLeaveMs > 0 && !m_bCancelled)
        f.nLeaveAt = NowMs() + m_settings.nCycleLeaveMs;
    Emit({EngineEvent::Kind::Finished, unit.strLabel, {}, unit, {}});
}

void StationEngine::OnPortFree(const std::string& strLabel) {
    if (m_parts->modems && !m_bCancelled)
        m_parts->modems->Release(strLabel);
    // A unit that came again while its session ran starts now.
    if (Fixture* f = Find(strLabel))
        TryStart(*f);
}

void StationEngine::RunCycles(long long nNow) {
    for (auto& [label, f] : m_fixtures) {
        if (m_bCancelled) {
            f->nLeaveAt = f->nArriveAt = -1;
            continue;
        }
        if (f->nLeaveAt >= 0 && nNow >= f->nLeaveAt) {
            f->nLeaveAt = -1;
            f->nArriveAt = nNow + m_settings.nCycleArriveMs;
            Emit({EngineEvent::Kind::Left, label, {}, {}, {}});
        }
        if (f->nArriveAt >= 0 && nNow >= f->nArriveAt) {
            f->nArriveAt = -1;
            Emit({EngineEvent::Kind::Arrived, label, f->strPort, {}, {}});
            if (m_settings.bAskSerial) {
                f->bAwaitSerial = true;
            } else {
                f->bWaiting = true;
                TryStart(*f);
            }
        }
    }
}

// --- Events -----------------------------------------------------------------------------------

void StationEngine::Emit(EngineEvent event) {
    // Appends of one unit that follow each other travel as one.
    if (!m_batch.empty() && m_batch.back().unit.nId == event.unit.nId && event.unit.nId > 0) {
        EngineEvent& last = m_batch.back();
        if (last.kind == EngineEvent::Kind::Log && event.kind == EngineEvent::Kind::Log) {
            last.strText += event.strText;
            last.unit = std::move(event.unit);
            return;
        }
        if ((last.kind == EngineEvent::Kind::Progress || last.kind == EngineEvent::Kind::Tick) &&
            (event.kind == EngineEvent::Kind::Progress || event.kind == EngineEvent::Kind::Tick)) {
            last.unit = std::move(event.unit);
            return;
        }
    }
    m_bUrgent = m_bUrgent || IsUrgent(event.kind);
    m_batch.push_back(std::move(event));
}

void StationEngine::Flush(bool bForce) {
    if (m_batch.empty())
        return;
    const long long now = NowMs();
    if (!bForce && !m_bUrgent && now - m_nLastFlush < kFlushMs)
        return;
    m_nLastFlush = now;
    m_bUrgent = false;
    std::vector<EngineEvent> batch;
    batch.swap(m_batch);
    if (m_sink)
        m_sink(std::move(batch));
}

} // namespace station
