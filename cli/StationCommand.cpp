// morfw station: runs until Ctrl-C and flashes each unit as it arrives, either as a serial
// device that appears (udev's links, watched with inotify) or as a modem line that a fixture
// raises on a fixed adapter (TIOCMIWAIT). Each unit's session is a morfw process of its own
// (fleet::Runner); fleet::Station keeps one session per port and the day's counts.

#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/FleetDisplay.h"
#include "cli/FleetSupport.h"
#include "cli/Terminal.h"

#include "fleet/DeviceWatch.h"
#include "fleet/ModemWatch.h"
#include "fleet/Station.h"
#include "platform/PrintableText.h"
#include "upload/UploadTexts.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace cli {

namespace {

constexpr const char* kDefaultDeviceDir = "/dev/serial/by-id";
constexpr const char* kDefaultLogDir = "morfw-logs";
// For tests: each entry of the watched directory is a file holding the port its unit opens
// (a sim: port), as udev's links stand for the devices they lead to.
constexpr const char* kPortFilesVariable = "MORFW_STATION_PORT_FILES";

// What the station shows of its ports, and the modem watch it gives ports back to.
class StationView final : public fleet::StationObserver {
public:
    StationView(FleetDisplay& display, bool bFixedRows, std::string strIdleText)
        : m_display(display), m_bFixedRows(bFixedRows), m_strIdleText(std::move(strIdleText)) {}
    void SetModemWatch(fleet::ModemWatch* pWatch) { m_pModem = pWatch; }

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

    void OnDevice(const std::string& strLabel, bool bArrived) override {
        m_display.Event(
            {{"type", "device"}, {"port", strLabel}, {"event", bArrived ? "arrived" : "left"}});
        m_display.Note(strLabel, bArrived ? "a unit arrived" : "the unit left");
    }
    void OnPortIdle(const std::string& strLabel) override {
        if (m_bFixedRows)
            m_display.ResetRow(strLabel, m_strIdleText);
        else
            m_display.DropRow(strLabel);
    }
    void OnPortFree(const std::string& strLabel) override {
        if (m_pModem)
            m_pModem->Release(strLabel);
    }

private:
    FleetDisplay& m_display;
    bool m_bFixedRows;
    std::string m_strIdleText;
    fleet::ModemWatch* m_pModem = nullptr;
};

std::string PortFromFile(const std::string& strPath) {
    std::ifstream in(strPath);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

int Usage(const std::string& strText) {
    WriteAll(STDERR_FILENO, "morfw: " + strText + "\n");
    return ToInt(ExitCode::Usage);
}

} // namespace

int RunStation(const StationOptions& so) {
    CancelSignals signals;
    const bool bSignals = signals.Install();
    const UploadOptions& o = so.upload;

    // Where units come from.
    const bool bModem = !so.strStartOn.empty() || !so.strPortsFrom.empty();
    fleet::ModemLine line = fleet::ModemLine::Dcd;
    std::vector<std::string> fixedPorts;
    std::string strDir, strPattern;
    if (bModem) {
        if (!so.strMatch.empty())
            return Usage("--match and --ports-from exclude each other");
        if (so.strPortsFrom.empty())
            return Usage("--start-on needs the fixed ports: --ports-from FILE");
        if (so.strStartOn.empty())
            return Usage("--ports-from needs the line that says a unit is seated: --start-on "
                         "dcd|dsr|cts");
        if (!fleet::ParseModemLine(so.strStartOn, line))
            return Usage("--start-on: expected dcd, dsr or cts, not " +
                         EscapeControlChars(so.strStartOn));
        std::string strError;
        if (!ReadPortList(so.strPortsFrom, fixedPorts, strError))
            return Usage(strError);
        if (const std::string twice = FindDuplicatePort(fixedPorts); !twice.empty())
            return Usage("the port " + EscapeControlChars(twice) +
                         " is named twice; a port takes one session at a time");
    } else if (!fleet::SplitMatch(so.strMatch.empty() ? "*" : so.strMatch, kDefaultDeviceDir,
                                  strDir, strPattern)) {
        return Usage("--match: the directory part of " + EscapeControlChars(so.strMatch) +
                     " must not hold wildcards");
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
    const std::string strLineName = so.strStartOn.empty() ? "" : so.strStartOn;
    StationView view(display, bModem, "waiting for a unit");
    fleet::Station station(view);
    fleet::Runner runner(MakeRunnerSettings(o, strImageDir, strLogDir), station);
    station.SetRunner(&runner);
    if (!bSignals)
        display.Notice("Ctrl-C cannot be caught here; it would end morfw without closing the "
                       "sessions");
    if (o.bRelaxed && out.bRows)
        display.Line(MSG_RELAXED_WARNING, true);

    const bool bPortFiles = [] {
        const char* v = std::getenv(kPortFilesVariable);
        return v && std::strcmp(v, "1") == 0;
    }();
    std::unique_ptr<fleet::DeviceWatch> devices;
    std::unique_ptr<fleet::ModemWatch> modems;
    std::string strError;
    if (bModem) {
        for (const auto& port : fixedPorts)
            display.SetRow(port, "waiting for a unit");
        modems = std::make_unique<fleet::ModemWatch>(fixedPorts, [line](const std::string& port) {
            return fleet::MakeTtyModemInput(port, line);
        });
        view.SetModemWatch(modems.get());
        if (!modems->Start(strError))
            return Usage(strError);
        display.Notice("station: a unit is one whose fixture raises " + strLineName +
                       " on its port; Ctrl-C ends");
    } else {
        devices = std::make_unique<fleet::DeviceWatch>(strDir, strPattern);
        if (!devices->Start(strError))
            return Usage(strError);
        display.Notice("station: every new device " + EscapeControlChars(strPattern) +
                       " is a unit; Ctrl-C ends");
    }

    const auto start = std::chrono::steady_clock::now();
    bool bStopping = false;
    std::vector<fleet::DeviceChange> changes;
    if (devices) {
        devices->Read(changes); // the devices already there are units too
    }
    for (;;) {
        for (const auto& c : changes) {
            if (!c.bAppeared) {
                station.Depart(c.strPath);
                continue;
            }
            const std::string port = bPortFiles ? PortFromFile(c.strPath) : c.strPath;
            if (port.empty())
                display.Notice(EscapeControlChars(c.strPath) + ": names no port; skipped");
            else
                station.Arrive(c.strPath, port);
        }
        changes.clear();
        if (bStopping && runner.RunningCount() == 0)
            break;

        pollfd fds[2] = {{signals.Fd(), POLLIN, 0},
                         {bStopping ? -1
                          : devices ? devices->Fd()
                                    : modems->Fd(),
                          POLLIN, 0}};
        runner.Wait(out.bRows ? kRowTickMs : -1, std::span(fds, 2));
        if (fds[0].revents != 0) {
            for (int sig = signals.Take(); sig != 0; sig = signals.Take()) {
                if (bStopping) {
                    display.Notice(std::string("station already ending (") + SignalName(sig) +
                                   "); waiting for the sessions to close their ports");
                    continue;
                }
                bStopping = true;
                station.StopTaking();
                display.Notice(std::string("station ending (") + SignalName(sig) +
                               "); every running upload stops at its next check and closes "
                               "its port");
                runner.Signal(SIGINT);
                if (modems)
                    modems->Stop();
            }
        }
        if (!bStopping && fds[1].revents != 0) {
            if (devices) {
                devices->Read(changes);
            } else {
                std::vector<fleet::ModemChange> lineChanges;
                modems->Read(lineChanges);
                for (const auto& c : lineChanges) {
                    if (!c.strError.empty()) {
                        display.SetRow(c.strPort,
                                       "cannot watch: " + EscapeControlChars(c.strError));
                        display.Notice(EscapeControlChars(c.strError));
                    } else if (c.bUp) {
                        station.Arrive(c.strPort, c.strPort);
                    } else {
                        station.Depart(c.strPort);
                    }
                }
            }
        }
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
