#pragma once
// The station window's engine: fleet::Station with its Runner (one morfw session process per
// unit) and the way units arrive (DeviceWatch, ModemWatch, or the fixtures' start keys), run
// on a thread of its own, so that the window's thread never waits for a pipe, a fork or the
// image set's digests. The window sends commands (a start key, a serial number, the cancel,
// the reload of the image set); the engine sends back events in batches, at most one batch
// every kFlushMs while only log text and progress come in, at once when a unit starts, ends,
// arrives or leaves. No Qt here.

#include "fleet/ImageLock.h"
#include "fleet/ModemWatch.h"
#include "fleet/Runner.h"
#include "platform/Event.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace station {

enum class ArrivalMode {
    Devices,   // a serial device that appears (--match)
    ModemLine, // fixed ports whose fixture raises a modem line (--ports-from, --start-on)
    StartKey,  // fixed ports started by the operator (--ports-from alone, --rehearse)
};

struct EngineSettings {
    ArrivalMode mode = ArrivalMode::Devices;
    std::string strWatchDir; // Devices: the directory and the entries' pattern
    std::string strWatchPattern;
    bool bPortFiles = false;           // Devices: each entry is a file naming its port (tests)
    std::vector<std::string> ports;    // ModemLine, StartKey: the fixtures' ports
    fleet::ModemWatch::Factory modems; // ModemLine: each port's modem-status input
    bool bAskSerial = false;           // a unit starts only with its serial number
    // StartKey: a unit that ended leaves after nCycleLeaveMs and comes again nCycleArriveMs later
    // (a rehearsal's simulated fixtures); 0: never.
    int nCycleLeaveMs = 0;
    int nCycleArriveMs = 0;
    fleet::RunnerSettings runner;
    fleet::ImageSetLock lock; // the job, as judged when the window opened
};

struct EngineEvent {
    enum class Kind {
        Arrived,       // a unit is at strLabel (with bAskSerial: it waits for its number)
        Left,          // the unit at strLabel left
        Started,       // unit: a session began
        Log,           // unit, strText: its log text (several appends joined)
        Progress,      // unit: its figures changed
        Notice,        // unit, strText: a remark of its session or of the runner
        Finished,      // unit: the session ended and is judged
        Tick,          // unit: the running unit's clock
        WatchFailed,   // strLabel, strText: the port cannot be watched
        Held,          // strLabel: a unit waits, for the image set changed (strText says how)
        ImagesChanged, // strText: the set on disk differs from the one held
        ImagesLocked,  // lock: the set now held (at a reload); strText: why it cannot be used
        AllEnded,      // after the cancel: no session runs any more
    };
    Kind kind;
    std::string strLabel;
    std::string strText;
    fleet::UnitState unit;
    fleet::ImageSetLock lock;
};

class StationEngine {
public:
    using Sink = std::function<void(std::vector<EngineEvent>&&)>;
    static constexpr int kFlushMs = 50;
    static constexpr int kTickMs = 1000;

    // sink is called on the engine's thread with each batch.
    StationEngine(EngineSettings settings, Sink sink);
    // Stop() and join.
    ~StationEngine();
    StationEngine(const StationEngine&) = delete;
    StationEngine& operator=(const StationEngine&) = delete;

    // Starts the watchers and the thread. False and strError when a watch cannot be had.
    bool Start(std::string& strError);

    // Commands, from any thread; each takes effect on the engine's thread.
    // A start key, or the serial number of a unit that waits for one.
    void StartUnit(const std::string& strLabel, const std::string& strSerial = {});
    // The unit at strLabel will not be started after all (its serial number was not given).
    void Abandon(const std::string& strLabel);
    // Checks the set on disk against the one held (its files were touched).
    void CheckImages();
    // Judges the set on disk again and holds it from now on if it is valid; the units that wait
    // for it start.
    void ReloadImages();
    // Cancels every running session (SIGINT: each logs "User cancelled..." and closes its port)
    // and starts no more; AllEnded follows once none runs.
    void CancelAll();
    // Ends the thread; a session still running is cancelled and waited for by the runner.
    void Stop();

private:
    struct Command {
        enum class Kind { Start, Abandon, Check, Reload, Cancel } kind;
        std::string strLabel;
        std::string strSerial;
    };
    class Observer;
    struct Fixture;
    struct Parts;

    void Post(Command command);
    void Run();
    void HandleCommand(const Command& c);
    void ReadArrivals();
    void Arrive(const std::string& strLabel, const std::string& strPort);
    void Depart(const std::string& strLabel);
    void TryStart(Fixture& f);
    void TryStartWaiting();
    bool ImagesStillHeld(std::string& strChange);
    void OnStarted(const fleet::UnitState& unit);
    void OnFinished(const fleet::UnitState& unit);
    void OnPortFree(const std::string& strLabel);
    void RunCycles(long long nNow);
    int NextTimeout(long long nNow) const;
    void Emit(EngineEvent event);
    void Flush(bool bForce);
    Fixture& Get(const std::string& strLabel);
    Fixture* Find(const std::string& strLabel);

    EngineSettings m_settings;
    Sink m_sink;

    // Commands from other threads.
    std::mutex m_mutex;
    std::vector<Command> m_commands;
    bool m_bStop = false;
    CEvent m_wake;

    // The engine thread's own (made before the thread starts).
    std::unique_ptr<Parts> m_parts;
    std::map<std::string, std::unique_ptr<Fixture>> m_fixtures;
    std::vector<EngineEvent> m_batch;
    bool m_bUrgent = false;
    long long m_nLastFlush = 0;
    long long m_nLastTick = 0;
    bool m_bCancelled = false;
    bool m_bAllEndedSent = false;
    std::string m_strHeldChange; // what changed, while the set on disk differs from the held one

    std::thread m_thread;
};

} // namespace station
