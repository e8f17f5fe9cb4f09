// morfw upload with several ports: one session per port, all at once, each in a process of its
// own (fleet::Runner), with the rows, lines or JSON of FleetDisplay and a summary at the end.

#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/FleetDisplay.h"
#include "cli/FleetSupport.h"
#include "cli/Terminal.h"

#include "fleet/FixtureList.h"
#include "platform/PrintableText.h"
#include "upload/UploadTexts.h"

#include <chrono>

namespace cli {

static_assert(ToInt(ExitCode::Success) == fleet::kCodeSuccess &&
                  ToInt(ExitCode::UploadFailed) == fleet::kCodeFailed &&
                  ToInt(ExitCode::Usage) == fleet::kCodeUsage &&
                  ToInt(ExitCode::Port) == fleet::kCodePort &&
                  ToInt(ExitCode::Images) == fleet::kCodeImages &&
                  ToInt(ExitCode::Cancelled) == fleet::kCodeCancelled &&
                  ToInt(ExitCode::LogFile) == fleet::kCodeLogFile,
              "the runner judges sessions by morfw's own exit codes");

bool ReadPortList(const std::string& strFile, std::vector<std::string>& ports,
                  std::string& strError) {
    // A fixture's label after its port (the station window shows it) is not part of the name.
    std::vector<fleet::Fixture> fixtures;
    if (!fleet::ReadFixtureList(strFile, fixtures, strError))
        return false;
    for (auto& f : fixtures)
        ports.push_back(std::move(f.strPort));
    return true;
}

int RunFleetUpload(const UploadOptions& o) {
    // Before anything else, as for one upload: the signals are read from a signalfd.
    CancelSignals signals;
    const bool bSignals = signals.Install();

    if (const std::string shared = DuplicatePortError(o.ports); !shared.empty()) {
        WriteAll(STDERR_FILENO, "morfw: " + shared + "\n");
        return ToInt(ExitCode::Usage);
    }
    const std::string strImageDir = ResolveImageDir(o.strImages);
    std::string strLogDir;
    if (!o.strLogDir.empty()) {
        std::string strError;
        if (!PrepareLogDir(o.strLogDir, strLogDir, strError)) {
            WriteAll(STDERR_FILENO, "morfw: " + strError + "\n");
            return ToInt(ExitCode::Usage);
        }
    }

    FleetOutput out;
    out.mode = o.bJson ? OutputMode::Json : o.bQuiet ? OutputMode::Quiet : OutputMode::Text;
    out.bRows = out.mode == OutputMode::Text && IsCapableTerminal(STDOUT_FILENO);
    FleetDisplay display(out);
    if (!bSignals)
        display.Notice("Ctrl-C cannot be caught here; it would end morfw without closing the "
                       "sessions");

    fleet::Runner runner(MakeRunnerSettings(o, strImageDir, strLogDir), display);
    // The rows show no message boxes: the option's warning is said once for every unit.
    if (o.bRelaxed && out.bRows)
        display.Line(MSG_RELAXED_WARNING, true);

    const auto start = std::chrono::steady_clock::now();
    for (const auto& port : o.ports)
        runner.Start({port, {}});

    CancelForwarder cancel(runner, display);
    while (runner.RunningCount() > 0) {
        fleet::WaitItem sfd = fleet::WaitFor(signals.Fd());
        runner.Wait(out.bRows ? kRowTickMs : -1, std::span(&sfd, signals.Fd() != -1 ? 1 : 0));
        if (sfd.revents != 0) {
            for (int sig = signals.Take(); sig != 0; sig = signals.Take())
                cancel.OnSignal(sig);
        }
        display.Tick(runner.Units());
    }
    runner.FinishResultCommands(); // what --on-result says comes before the summary

    const auto units = runner.Units();
    std::vector<int> codes;
    for (const auto& u : units)
        codes.push_back(u.nExitCode);
    const int code = fleet::RunExitCode(codes);
    display.Summary(units, code,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                    strLogDir);
    return code;
}

} // namespace cli
