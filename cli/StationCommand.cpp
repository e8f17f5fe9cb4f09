// morfw station: runs until Ctrl-C and flashes each unit as it arrives: a serial device that
// appears (udev's links, watched with inotify), a modem line that a fixture raises on a fixed
// adapter, or a rehearsal's simulated units (fleet::ArrivalSource). Each unit's session is a
// morfw process of its own (fleet::Runner); fleet::Station keeps one session per port and the
// day's counts.

#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "serial/KernelConsole.h"
#include "cli/ExitCodes.h"
#include "cli/FleetDisplay.h"
#include "cli/FleetSupport.h"
#include "cli/Terminal.h"

#include "fleet/Arrivals.h"
#include "fleet/DeviceWatch.h"
#include "fleet/Rehearsal.h"
#include "fleet/Station.h"
#include "image/FileImg.h"
#include "image/Sha256.h"
#include "platform/PrintableText.h"
#include "upload/UploadTexts.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>

namespace cli {

namespace {

constexpr const char* kDefaultLogDir = "morfw-logs";

// What the station shows of its ports, and the source it gives ports back to.
class StationView final : public fleet::StationObserver {
public:
    StationView(FleetDisplay& display, fleet::ArrivalSource& source)
        : m_display(display), m_source(source) {
        const auto fixed = source.FixedPorts();
        m_fixed.insert(fixed.begin(), fixed.end());
    }

    void OnStarted(const fleet::UnitState& u) override { m_display.OnStarted(u); }
    void OnLog(const fleet::UnitState& u, std::string_view t) override { m_display.OnLog(u, t); }
    void OnProgress(const fleet::UnitState& u) override { m_display.OnProgress(u); }
    void OnMessage(const fleet::UnitState& u, const fleet::UnitMessage& b) override {
        m_display.OnMessage(u, b);
    }
    void OnNotice(const fleet::UnitState& u, std::string_view t) override {
        m_display.OnNotice(u, t);
    }
    void OnStderr(const fleet::UnitState& u, std::string_view l) override {
        m_display.OnStderr(u, l);
    }
    void OnJson(const fleet::UnitState& u, const nlohmann::ordered_json& j) override {
        m_display.OnJson(u, j);
    }
    void OnFinished(const fleet::UnitState& u) override { m_display.OnFinished(u); }

    void OnPortIdle(const std::string& strLabel) override {
        // A fixed port's row waits for the next unit; a device's row goes with it.
        if (m_fixed.count(strLabel))
            m_display.ResetRow(strLabel, kWaiting);
        else
            m_display.DropRow(strLabel);
    }
    void OnPortFree(const std::string& strLabel) override { m_source.SessionEnded(strLabel); }

    static constexpr const char* kWaiting = "waiting for a unit";

private:
    FleetDisplay& m_display;
    fleet::ArrivalSource& m_source;
    std::set<std::string> m_fixed;
};

std::string ReadRevision(const std::string& strImageDir) {
    std::string strIni;
    if (ResolveImagePath(strImageDir, FILEIMG_INI, strIni) != S_OK)
        return "Unspecified";
    return ReadFirmwareRevision(strIni);
}

int Fail(ExitCode code, const std::string& strText) {
    WriteAll(STDERR_FILENO, "morfw: " + strText + "\n");
    return ToInt(code);
}

int Usage(const std::string& strText) {
    return Fail(ExitCode::Usage, strText);
}

} // namespace

int RunStation(const StationOptions& so) {
    CancelSignals signals;
    const bool bSignals = signals.Install();
    const UploadOptions& o = so.upload;

    // The kernel console is never a unit: an upload would write into it.
    const fleet::ConsoleCheck isConsole = [](const std::string& strNode) {
        return IsConsolePort(strNode);
    };

    // Where units come from.
    std::unique_ptr<fleet::ArrivalSource> source;
    const bool bModem = !so.strStartOn.empty() || !so.strPortsFrom.empty();
    if (!so.strRehearse.empty()) {
        if (bModem || !so.strMatch.empty())
            return Usage("--rehearse excludes --match, --ports-from and --start-on");
        fleet::RehearsalPlan plan;
        std::string strError;
        if (!fleet::ParseRehearsal(so.strRehearse, plan, strError))
            return Usage("--rehearse: " + strError);
        source = fleet::MakeRehearsal(plan);
    } else if (bModem) {
        if (!so.strMatch.empty())
            return Usage("--match and --ports-from exclude each other");
        if (so.strPortsFrom.empty())
            return Usage("--start-on needs the fixed ports: --ports-from FILE");
        if (so.strStartOn.empty())
            return Usage("--ports-from needs the line that says a unit is seated: --start-on "
                         "dcd|dsr|cts");
        fleet::ModemLine line = fleet::ModemLine::Dcd;
        if (!fleet::ParseModemLine(so.strStartOn, line))
            return Usage("--start-on: expected dcd, dsr or cts, not " +
                         EscapeControlChars(so.strStartOn));
        std::vector<std::string> fixedPorts;
        std::string strError;
        if (!ReadPortList(so.strPortsFrom, fixedPorts, strError))
            return Usage(strError);
        if (const std::string shared = DuplicatePortError(fixedPorts); !shared.empty())
            return Usage(shared);
        source = fleet::MakeModemArrivals(
            fixedPorts, so.strStartOn,
            [line](const std::string& port) { return fleet::MakeTtyModemInput(port, line); },
            isConsole);
    } else {
        std::string strDir, strPattern;
        if (!fleet::SplitMatch(so.strMatch.empty() ? "*" : so.strMatch, fleet::kSerialDeviceDir,
                               strDir, strPattern))
            return Usage("--match: the directory part of " + EscapeControlChars(so.strMatch) +
                         " must not hold wildcards");
        source = fleet::MakeDeviceArrivals(strDir, strPattern, false, isConsole);
    }

    const std::string strImageDir = ResolveImageDir(o.strImages);
    std::string strLogDir;
    {
        std::string strError;
        if (!PrepareLogDir(o.strLogDir.empty() ? kDefaultLogDir : o.strLogDir, strLogDir, strError))
            return Usage(strError);
    }

    FleetOutput out;
    out.mode = o.bJson ? OutputMode::Json : o.bQuiet ? OutputMode::Quiet : OutputMode::Text;
    out.bRows = out.mode == OutputMode::Text && IsCapableTerminal(STDOUT_FILENO);
    FleetDisplay display(out);

    std::vector<fleet::Arrival> arrivals;
    if (std::string strError; !source->Start(strError)) {
        // Fixed ports of which none can be watched: each says why, and the station does not
        // run with nothing to watch.
        source->Read(arrivals);
        for (const auto& a : arrivals) {
            if (a.kind == fleet::Arrival::Kind::CannotWatch)
                WriteAll(STDERR_FILENO, "morfw: " + EscapeControlChars(a.strText) + "\n");
        }
        if (bModem)
            return Fail(ExitCode::Port, strError + "; the station has nothing to watch");
        return Usage(strError);
    }

    StationView view(display, *source);
    fleet::Station station(view);
    fleet::Runner runner(MakeRunnerSettings(o, strImageDir, strLogDir), station);
    station.SetRunner(&runner);
    if (!bSignals)
        display.Notice("Ctrl-C cannot be caught here; it would end morfw without closing the "
                       "sessions");
    if (o.bRelaxed && out.bRows)
        display.Line(MSG_RELAXED_WARNING, true);
    const auto digests = DigestImageSet(strImageDir);
    display.Event({{"type", "station"},
                   {"version", VersionText()},
                   {"watch", source->DescribeJson()},
                   {"images", strImageDir},
                   {"revision", ReadRevision(strImageDir)},
                   {"images_sha256", DigestOfSet(digests)},
                   {"log_dir", strLogDir}});
    for (const auto& port : source->FixedPorts())
        display.SetRow(port, StationView::kWaiting);
    display.Notice("station: " + source->Describe() + "; Ctrl-C ends");

    const auto start = std::chrono::steady_clock::now();
    bool bStopping = false;
    source->Read(arrivals); // the units already there are units too
    for (;;) {
        for (const auto& a : arrivals) {
            using Kind = fleet::Arrival::Kind;
            switch (a.kind) {
            case Kind::Arrived:
            case Kind::Left: {
                const bool bArrived = a.kind == Kind::Arrived;
                display.Event({{"type", "device"},
                               {"event", bArrived ? "arrived" : "left"},
                               {"port", a.strLabel},
                               {"node", a.strNode}});
                display.Note(a.strLabel, bArrived ? "a unit arrived" : "the unit left");
                if (bArrived)
                    station.Arrive(a.strLabel, a.strPort);
                else
                    station.Depart(a.strLabel);
                break;
            }
            case Kind::Notice:
                display.Notice(EscapeControlChars(a.strText), {a.strLabel});
                break;
            case Kind::CannotWatch:
                display.SetRow(a.strLabel, "cannot watch: " + EscapeControlChars(a.strText));
                display.Notice(EscapeControlChars(a.strText), {a.strLabel});
                break;
            }
        }
        arrivals.clear();
        if (bStopping && runner.RunningCount() == 0)
            break;

        std::vector<fleet::WaitItem> fds = {fleet::WaitFor(signals.Fd())};
        for (const int fd : source->Fds())
            fds.push_back(fleet::WaitFor(bStopping ? -1 : fd));
        runner.Wait(out.bRows ? kRowTickMs : -1, std::span(fds));
        if (fds[0].revents != 0) {
            for (int sig = signals.Take(); sig != 0; sig = signals.Take()) {
                std::vector<std::string> running;
                for (const auto& u : runner.Units()) {
                    if (!u.bFinished)
                        running.push_back(u.strLabel);
                }
                if (bStopping) {
                    display.Notice(std::string("station already ending (") + SignalName(sig) +
                                   "); waiting for the sessions to close their ports");
                    continue;
                }
                bStopping = true;
                station.StopTaking();
                source->Stop();
                display.Event(
                    {{"type", "cancel"}, {"signal", SignalName(sig)}, {"running", running}});
                display.Notice(std::string("station ending (") + SignalName(sig) +
                               "); every running upload stops at its next check and closes "
                               "its port");
                runner.Signal(SIGINT);
            }
        }
        if (!bStopping && std::any_of(fds.begin() + 1, fds.end(),
                                      [](const fleet::WaitItem& p) { return p.revents != 0; }))
            source->Read(arrivals);
        display.Tick(runner.Units());
    }
    runner.FinishResultCommands(); // what --on-result says comes before the summary

    std::vector<int> codes;
    for (const auto& u : runner.Units())
        codes.push_back(u.nExitCode);
    const int code = fleet::RunExitCode(codes);
    std::vector<FleetDisplay::PortTally> tallies;
    for (const auto& t : station.Tallies())
        tallies.push_back({t.strLabel, t.nSucceeded, t.nFailed});
    display.DaySummary(
        tallies, code,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), strLogDir);
    return code;
}

} // namespace cli
