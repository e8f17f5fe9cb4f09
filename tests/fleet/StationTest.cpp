// The station's parts: devices noticed through the real inotify code in a directory the test
// makes and changes, modem lines through the watcher's threads on a scripted line, and the
// rule of one session per port.

#include "FleetTestSupport.h"

#include "fleet/DeviceWatch.h"
#include "fleet/ModemWatch.h"
#include "fleet/Station.h"

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>

using namespace fleettest;

namespace {

// Waits (bounded, so a fault fails rather than hangs) for the descriptor and reads the changes.
std::vector<fleet::DeviceChange> NextChanges(fleet::DeviceWatch& w) {
    std::vector<fleet::DeviceChange> changes;
    w.Read(changes);
    for (int i = 0; i < 50 && changes.empty(); ++i) {
        pollfd p{w.Fd(), POLLIN, 0};
        poll(&p, 1, 100);
        w.Read(changes);
    }
    return changes;
}

std::string Describe(const std::vector<fleet::DeviceChange>& changes) {
    std::string s;
    for (const auto& c : changes)
        s += (c.bAppeared ? "+" : "-") + fs::path(c.strPath).filename().string() + " ";
    return s;
}

void Link(const fs::path& dir, const std::string& name) {
    fs::create_symlink("../../ttyUSB0", dir / name);
}

} // namespace

TEST(StationDevices, PatternsSplitIntoTheWatchedDirectoryAndItsEntries) {
    std::string dir, pattern;
    ASSERT_TRUE(fleet::SplitMatch("*FTDI*", "/dev/serial/by-id", dir, pattern));
    EXPECT_EQ(dir, "/dev/serial/by-id");
    EXPECT_EQ(pattern, "/dev/serial/by-id/*FTDI*");
    ASSERT_TRUE(fleet::SplitMatch("/dev/serial/by-path/*usb-0:1.2*", "/x", dir, pattern));
    EXPECT_EQ(dir, "/dev/serial/by-path");
    EXPECT_EQ(pattern, "/dev/serial/by-path/*usb-0:1.2*");
    EXPECT_FALSE(fleet::SplitMatch("/dev/serial/*/usb*", "/x", dir, pattern));
}

// The directory does not exist at first (udev makes by-id with the first adapter), is made,
// filled, emptied, removed and made again: every device is seen to come and go.
TEST(StationDevices, DevicesComeAndGoEvenWhenTheirDirectoryDoes) {
    TempDir tmp;
    const fs::path byId = tmp.Path() / "serial" / "by-id";
    fleet::DeviceWatch watch(byId.string(), byId.string() + "/usb-*");
    std::string err;
    ASSERT_TRUE(watch.Start(err)) << err;
    std::vector<fleet::DeviceChange> none;
    watch.Read(none);
    EXPECT_TRUE(none.empty());

    fs::create_directories(byId);
    Link(byId, "usb-A");
    auto changes = NextChanges(watch);
    // The entry may be made before the watch on the new directory is in place: found anyway.
    while (changes.empty() || Describe(changes) != "+usb-A ")
        ASSERT_FALSE((changes = NextChanges(watch)).empty()) << Describe(changes);

    Link(byId, "usb-B");
    Link(byId, "other-C"); // not a unit
    EXPECT_EQ(Describe(NextChanges(watch)), "+usb-B ");
    // udev makes its links under a temporary name and renames them.
    Link(tmp.Path(), "usb-D.tmp");
    fs::rename(tmp.Path() / "usb-D.tmp", byId / "usb-D");
    EXPECT_EQ(Describe(NextChanges(watch)), "+usb-D ");
    fs::remove(byId / "usb-A");
    EXPECT_EQ(Describe(NextChanges(watch)), "-usb-A ");

    // The directory goes with its last device, and comes back with the next.
    fs::remove_all(byId);
    changes = NextChanges(watch);
    std::string gone = Describe(changes);
    while (gone.find("-usb-B") == std::string::npos || gone.find("-usb-D") == std::string::npos) {
        changes = NextChanges(watch);
        ASSERT_FALSE(changes.empty()) << gone;
        gone += Describe(changes);
    }
    fs::create_directories(byId);
    Link(byId, "usb-E");
    EXPECT_EQ(Describe(NextChanges(watch)), "+usb-E ");
}

TEST(StationDevices, DevicesAlreadyThereAreUnitsToo) {
    TempDir tmp;
    Link(tmp.Path(), "usb-1");
    Link(tmp.Path(), "usb-2");
    fleet::DeviceWatch watch(tmp.Path().string(), tmp.Path().string() + "/*");
    std::string err;
    ASSERT_TRUE(watch.Start(err));
    std::vector<fleet::DeviceChange> changes;
    watch.Read(changes);
    EXPECT_EQ(Describe(changes), "+usb-1 +usb-2 ");
}

// --- Modem lines ------------------------------------------------------------------------------

namespace {

// A modem line the test raises and drops; it records whether the port is open.
class ScriptedLine final : public fleet::IModemInput {
public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        bool bUp = false;
        int nChanges = 0;
        bool bOpen = false;
        int nOpens = 0;
        bool bFailOpen = false;
    };
    explicit ScriptedLine(Shared& s) : m_s(s) {}

    bool Open(std::string& strError) override {
        std::lock_guard lock(m_s.mutex);
        if (m_s.bFailOpen) {
            strError = "scripted: cannot open";
            return false;
        }
        m_s.bOpen = true;
        ++m_s.nOpens;
        return true;
    }
    void Close() override {
        std::lock_guard lock(m_s.mutex);
        m_s.bOpen = false;
    }
    int Level(std::string&) override {
        std::lock_guard lock(m_s.mutex);
        m_nSeen = m_s.nChanges;
        return m_s.bUp ? 1 : 0;
    }
    Wait WaitChange(std::string&) override {
        std::unique_lock lock(m_s.mutex);
        m_s.cv.wait(lock, [&] { return m_bInterrupted || m_s.nChanges != m_nSeen; });
        if (m_bInterrupted) {
            m_bInterrupted = false;
            return Wait::Interrupted;
        }
        return Wait::Changed;
    }
    void Interrupt() override {
        std::lock_guard lock(m_s.mutex);
        m_bInterrupted = true;
        m_s.cv.notify_all();
    }

private:
    Shared& m_s;
    int m_nSeen = 0;
    bool m_bInterrupted = false;
};

void SetLine(ScriptedLine::Shared& s, bool bUp) {
    std::lock_guard lock(s.mutex);
    s.bUp = bUp;
    ++s.nChanges;
    s.cv.notify_all();
}

std::vector<fleet::ModemChange> NextLineChanges(fleet::ModemWatch& w) {
    std::vector<fleet::ModemChange> changes;
    for (int i = 0; i < 50 && changes.empty(); ++i) {
        pollfd p{w.Fd(), POLLIN, 0};
        if (poll(&p, 1, 100) > 0)
            w.Read(changes);
    }
    return changes;
}

} // namespace

// The line rises: the port is closed before the unit is reported, and stays closed until the
// session gives it back; then the drop is awaited, and the next unit after it.
TEST(StationModemLines, AUnitIsReportedWithThePortClosedAndItsDropAfterTheSession) {
    ScriptedLine::Shared a, b;
    a.bUp = true; // a unit seated before the station started
    fleet::ModemWatch watch({"A", "B"}, [&](const std::string& port) {
        return std::make_unique<ScriptedLine>(port == "A" ? a : b);
    });
    std::string err;
    ASSERT_TRUE(watch.Start(err)) << err;

    auto changes = NextLineChanges(watch);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].strPort, "A");
    EXPECT_TRUE(changes[0].bUp);
    {
        std::lock_guard lock(a.mutex);
        EXPECT_FALSE(a.bOpen) << "the session must find the port free";
    }
    // While the session runs, the line may do anything: nobody listens.
    SetLine(a, false);
    SetLine(a, true);
    SetLine(b, true);
    changes = NextLineChanges(watch);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].strPort, "B");
    {
        std::lock_guard lock(a.mutex);
        EXPECT_EQ(a.nOpens, 1);
    }

    watch.Release("A"); // the session has ended; the unit is still seated
    SetLine(a, false);
    changes = NextLineChanges(watch);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].strPort, "A");
    EXPECT_FALSE(changes[0].bUp);
    SetLine(a, true);
    changes = NextLineChanges(watch);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].bUp);

    // Stop ends both threads: A waits for its session, B too; nothing waits for the lines.
    watch.Stop();
    std::lock_guard la(a.mutex), lb(b.mutex);
    EXPECT_FALSE(a.bOpen);
    EXPECT_FALSE(b.bOpen);
}

TEST(StationModemLines, APortThatCannotBeWatchedSaysWhyAndStopStillEndsEverything) {
    ScriptedLine::Shared a, b;
    a.bFailOpen = true;
    fleet::ModemWatch watch({"A", "B"}, [&](const std::string& port) {
        return std::make_unique<ScriptedLine>(port == "A" ? a : b);
    });
    std::string err;
    ASSERT_TRUE(watch.Start(err));
    const auto changes = NextLineChanges(watch);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].strPort, "A");
    EXPECT_EQ(changes[0].strError, "scripted: cannot open");
    watch.Stop(); // B sits in its wait for a change
}

// A real tty without modem lines (a pseudo-terminal) is refused with the system's reason.
TEST(StationModemLines, APseudoTerminalHasNoModemLinesToWatch) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    auto input = fleet::MakeTtyModemInput(slave, fleet::ModemLine::Dcd);
    std::string err;
    ASSERT_TRUE(input->Open(err)) << err;
    const int level = input->Level(err);
    if (level >= 0) {
        // Some kernels report fixed levels for a pty; waiting on them must then fail, not hang.
        EXPECT_EQ(input->WaitChange(err), fleet::IModemInput::Wait::Failed);
        EXPECT_NE(err.find(slave + ": cannot wait for the modem lines ("), std::string::npos)
            << err;
    } else {
        EXPECT_NE(err.find(slave + ": no modem-status lines ("), std::string::npos) << err;
    }
    input->Close();
    close(master);
}

// --- One session per port ---------------------------------------------------------------------

namespace {

class StationRecorder : public fleet::StationObserver {
public:
    std::vector<std::string> events;
    void OnStarted(const fleet::UnitState& u) override { events.push_back("start " + u.strLabel); }
    void OnFinished(const fleet::UnitState& u) override {
        events.push_back("end " + u.strLabel + " " + std::to_string(u.nExitCode));
    }
    void OnPortIdle(const std::string& label) override { events.push_back("idle " + label); }
    void OnPortFree(const std::string& label) override { events.push_back("free " + label); }
};

} // namespace

TEST(StationSessions, NeverTwoSessionsOnOnePortAndAUnitThatCameAgainIsFlashedAfter) {
    TempDir tmp;
    const fs::path script = tmp.Path() / "session";
    // A stand-in session that takes a moment and succeeds, or fails for the port "bad".
    WriteFile(script, "#!/bin/sh\nsleep 0.3\ncase \"$3\" in bad) code=1;; *) code=0;; esac\n"
                      "echo \"{\\\"type\\\":\\\"result\\\",\\\"exit_code\\\":$code}\"\n");
    chmod(script.c_str(), 0755);
    fleet::RunnerSettings settings;
    settings.strProgram = script.string();
    StationRecorder rec;
    fleet::Station station(rec);
    fleet::Runner runner(settings, station);
    station.SetRunner(&runner);

    station.Arrive("A", "good");
    station.Arrive("A", "good"); // an appearance while its session runs starts nothing
    station.Depart("A");
    station.Arrive("A", "good"); // plugged in again: its turn comes after the running one
    station.Arrive("B", "bad");
    EXPECT_EQ(runner.RunningCount(), 2);
    while (runner.RunningCount() > 0)
        runner.Wait(-1);
    station.Depart("B");
    station.Depart("A");

    const std::vector<std::string> expected = {
        "start A", "start B",
        // (the two ends may come in either order)
    };
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(rec.events.begin(), rec.events.begin() + 2), expected);
    auto pos = [&](const std::string& e, std::size_t from = 0) {
        return std::find(rec.events.begin() + static_cast<long>(from), rec.events.end(), e) -
               rec.events.begin();
    };
    const auto firstEnd = static_cast<std::size_t>(pos("end A 0"));
    const auto secondStart = static_cast<std::size_t>(pos("start A", 1));
    EXPECT_LT(firstEnd, secondStart); // never two at once
    EXPECT_LT(static_cast<std::size_t>(pos("end A 0", firstEnd + 1)), rec.events.size());
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "start A"), 2);
    EXPECT_EQ(rec.events.back(), "idle A");

    const auto tallies = station.Tallies();
    ASSERT_EQ(tallies.size(), 2u);
    EXPECT_EQ(tallies[0].strLabel, "A");
    EXPECT_EQ(tallies[0].nSucceeded, 2);
    EXPECT_EQ(tallies[1].nFailed, 1);

    // Once the station is ending, a unit that arrives is not started.
    station.StopTaking();
    station.Arrive("C", "good");
    EXPECT_EQ(runner.RunningCount(), 0);
}
