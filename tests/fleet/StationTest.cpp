// The station's parts: devices noticed through the real inotify code in a directory the test
// makes and changes (links to pseudo-terminals standing for udev's links to serial devices),
// a rehearsal's simulated units, modem lines through the watcher's threads on a scripted line,
// and the rule of one session per port.

#include "FleetTestSupport.h"

#include "cli/FleetSupport.h"
#include "fleet/DeviceWatch.h"
#include "fleet/ModemWatch.h"
#include "fleet/Rehearsal.h"
#include "fleet/Station.h"

#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sstream>
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

// A link to a node of its own (a plain file under a hidden name, which is never a unit).
void Link(const fs::path& dir, const std::string& name) {
    const fs::path node = dir / (".node-" + name);
    WriteFile(node, "");
    fs::create_symlink(node, dir / name);
}

} // namespace

// A unit is its device, whatever its names: udev's temporary name is none, its rename into place
// is the arrival, a second link or a rename changes nothing, and the unit leaves with its node or
// its last link. Before, the temporary name started a session of its own ("no such device"), and
// a second link to the same device a second session on it.
TEST(StationDevices, AUnitIsItsDeviceWhateverItsNames) {
    TempDir tmp;
    const fs::path dir = tmp.Path() / "by-id";
    fs::create_directories(dir);
    Pty a, b, c;
    ASSERT_FALSE(a.Path().empty() || b.Path().empty() || c.Path().empty());
    fleet::DeviceWatch watch(dir.string(), dir.string() + "/*");
    std::string err;
    ASSERT_TRUE(watch.Start(err)) << err;
    const std::string id = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    const std::string aside = ".#" + id + "0123456789abcdef";
    const auto link = [&](const Pty& p, const std::string& name) {
        fs::create_symlink(p.Path(), dir / name);
    };
    const auto move = [&](const std::string& from, const std::string& to) {
        fs::rename(dir / from, dir / to);
    };
    const auto remove = [&](const std::string& name) { fs::remove(dir / name); };
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { link(a, aside); }, ""},                            // udev's temporary name
        {[&] { move(aside, id); }, "+" + id + " "},               // renamed into place: the arrival
        {[&] { move(id, "usb-renamed"); }, ""},                   // a rename keeps the unit
        {[&] { link(a, "pci-0:1.2:1.0-port0"); }, ""},            // another name of the same device
        {[&] { remove("usb-renamed"); }, ""},                     // one of two names goes
        {[&] { remove("pci-0:1.2:1.0-port0"); }, "-" + id + " "}, // the last one
        {[&] { link(b, "usb-B"); }, "+usb-B "},
        {[&] { b.Close(); }, "-usb-B "}, // its node goes before its link
        {[&] { remove("usb-B"); }, ""},
        {[&] { link(a, "usb-X"); }, "+usb-X "},
        // udev renames a new device's link over an old one: the old unit leaves, the new comes.
        {[&] {
             link(c, ".#usb-X00000000000000ff");
             move(".#usb-X00000000000000ff", "usb-X");
         },
         "-usb-X +usb-X "},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        // The directory's events are queued before the call that makes them returns.
        std::vector<fleet::DeviceChange> changes;
        if (steps[i].second.empty())
            watch.Read(changes);
        else
            changes = NextChanges(watch);
        EXPECT_EQ(Describe(changes), steps[i].second) << "step " << i;
        if (i == 1 && !changes.empty()) {
            EXPECT_EQ(changes[0].strPath, (dir / id).string());
            EXPECT_EQ(changes[0].strNode, a.Path());
        }
    }
}

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
        bool bNoWait = false; // the driver cannot wait for a change (cp210x)
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
    Wait WaitChange(std::string& strError) override {
        std::unique_lock lock(m_s.mutex);
        if (m_s.bNoWait) {
            strError = "scripted: cannot wait for the modem lines";
            return Wait::Unsupported;
        }
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

// A port that cannot be watched says why and the others run on; with none to watch the watch
// does not start. Where the driver cannot wait (cp210x), the line is read every few ms instead,
// said once. Stop ends every thread whatever it waits for.
TEST(StationModemLines, PortsThatCannotBeWatchedOrWaitedOn) {
    struct Case {
        bool bFailA, bFailB, bNoWaitB;
        bool bStarts;
        std::vector<std::string> changes; // "PORT: error" or "PORT: notice" or "PORT: up"
    };
    const std::vector<Case> cases = {
        {true, false, false, true, {"A: scripted: cannot open"}},
        {true, true, false, false, {"A: scripted: cannot open", "B: scripted: cannot open"}},
        {false,
         false,
         true,
         true,
         {"B: scripted: cannot wait for the modem lines; reading them every 10 ms instead",
          "B: up"}},
    };
    for (const auto& c : cases) {
        ScriptedLine::Shared a, b;
        a.bFailOpen = c.bFailA;
        b.bFailOpen = c.bFailB;
        b.bNoWait = c.bNoWaitB;
        fleet::ModemWatch watch({"A", "B"}, [&](const std::string& port) {
            return std::make_unique<ScriptedLine>(port == "A" ? a : b);
        });
        std::string err;
        EXPECT_EQ(watch.Start(err), c.bStarts);
        EXPECT_EQ(err, c.bStarts ? "" : "no port can be watched");
        std::vector<std::string> seen;
        while (seen.size() < c.changes.size()) {
            if (c.bNoWaitB && seen.size() == 1)
                SetLine(b, true); // seen by reading, not by waiting
            const auto changes = NextLineChanges(watch);
            if (changes.empty())
                break;
            for (const auto& ch : changes) {
                seen.push_back(ch.strPort + ": " +
                               (!ch.strError.empty()    ? ch.strError
                                : !ch.strNotice.empty() ? ch.strNotice
                                : ch.bUp                ? "up"
                                                        : "down"));
            }
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, c.changes);
        watch.Stop();
    }
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
        EXPECT_EQ(input->WaitChange(err), fleet::IModemInput::Wait::Unsupported);
        EXPECT_NE(err.find(slave + ": cannot wait for the modem lines ("), std::string::npos)
            << err;
    } else {
        EXPECT_NE(err.find(slave + ": no modem-status lines ("), std::string::npos) << err;
    }
    input->Close();
    close(master);
}

// --- A rehearsal ---------------------------------------------------------------------------------

TEST(StationRehearsal, TheOptionsTextAndItsMistakes) {
    const std::string syntax = "expected N[,seed=S][,fail=K][,gap=SECONDS][,dir=DIR]";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"3", "3 1 0 2 "},
        {"2,fail=2,seed=7,gap=0.5,dir=/x/y", "2 7 2 0.5 /x/y"},
        {"0,dir=d", "0 1 0 2 d"},
        {"0", "0 fixtures needs dir=DIR, whose files are then the units"},
        {"65", syntax + " with N from 0 to 64, not 65"},
        {"3,fail=4", syntax + "; fail=4 names no fixture"},
        {"3,gap=-1", syntax + "; gap=-1 has no valid value"},
        {"3,noise=1", syntax + "; noise=1 is no sub-option"},
    };
    for (const auto& [text, expected] : cases) {
        fleet::RehearsalPlan p;
        std::string err;
        const bool bOk = fleet::ParseRehearsal(text, p, err);
        std::ostringstream got;
        if (bOk)
            got << p.nFixtures << ' ' << p.nSeed << ' ' << p.nFailFixture << ' ' << p.dGapSeconds
                << ' ' << p.strDir;
        EXPECT_EQ(bOk ? got.str() : err, expected) << text;
    }
}

// Each fixture's unit comes the udev way (its temporary name never counts), and after its
// session it is taken out and the next comes, with the next seed.
TEST(StationRehearsal, UnitsArriveAndAreTakenOutAfterTheirSession) {
    TempDir tmp;
    fleet::RehearsalPlan plan;
    std::string err;
    ASSERT_TRUE(fleet::ParseRehearsal("2,seed=7,fail=2,gap=0,dir=" + (tmp.Path() / "f").string(),
                                      plan, err));
    auto rehearsal = fleet::MakeRehearsal(plan);
    ASSERT_TRUE(rehearsal->Start(err)) << err;
    const auto next = [&](std::size_t n) {
        std::string s;
        std::vector<fleet::Arrival> arrivals;
        for (int i = 0; i < 50 && arrivals.size() < n; ++i) {
            std::vector<pollfd> fds;
            for (const int fd : rehearsal->Fds())
                fds.push_back({fd, POLLIN, 0});
            poll(fds.data(), fds.size(), 100);
            rehearsal->Read(arrivals);
        }
        for (const auto& a : arrivals) {
            s += (a.kind == fleet::Arrival::Kind::Arrived ? "+"
                  : a.kind == fleet::Arrival::Kind::Left  ? "-"
                                                          : "?") +
                 a.strLabel + " " + a.strPort + a.strText + ";";
        }
        return s;
    };
    EXPECT_EQ(next(2), "+fixture-1 sim:seed=7;+fixture-2 sim:ok=0,seed=8;");
    rehearsal->SessionEnded("fixture-2");
    EXPECT_EQ(next(2), "-fixture-2 ;+fixture-2 sim:ok=0,seed=1008;");
    rehearsal->Stop();
    rehearsal.reset();
    EXPECT_TRUE(fs::is_empty(tmp.Path() / "f")); // its units go with it
}

// Two names of one device are one port: a path and a link to it.
TEST(StationDevices, TwoNamesOfOneDeviceCannotBothBeFlashed) {
    TempDir tmp;
    Pty pty;
    const std::string link = (tmp.Path() / "usb-A").string();
    fs::create_symlink(pty.Path(), link);
    const std::string why = "; a port takes one session at a time";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{pty.Path(), "sim:", link},
         "the ports " + pty.Path() + " and " + link + " are one device" + why},
        {{"sim:", "sim:"}, "the port sim: is named twice" + why},
        {{"sim:", "sim:seed=2", link, "/dev/null"}, ""},
    };
    for (const auto& [ports, expected] : cases)
        EXPECT_EQ(cli::DuplicatePortError(ports), expected);
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
