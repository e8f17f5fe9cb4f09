#pragma once
// What morfw upload with several ports and morfw station share: the runner's settings from the
// command line, the log directory, the cancel that reaches every session once.

#include "cli/Commands.h"
#include "cli/FleetDisplay.h"
#include "fleet/Runner.h"

#include <string>
#include <vector>

namespace cli {

// How often the rows' clocks are redrawn on a terminal.
inline constexpr int kRowTickMs = 250;

// Why the ports cannot all be flashed at once, or "": a name given twice, or two names of one
// device (a path and a link to it). Two sessions must never share a port.
std::string DuplicatePortError(const std::vector<std::string>& ports);

// Makes the log directory when it is missing (with its parents) and checks that files can be
// made in it. strResolved ends in a separator.
bool PrepareLogDir(const std::string& strDir, std::string& strResolved, std::string& strError);

// Every session gets the run's options: "upload --port NAME --json" and these.
fleet::RunnerSettings MakeRunnerSettings(const UploadOptions& options,
                                         const std::string& strImageDir,
                                         const std::string& strLogDir);

// This machine's name, for the records.
std::string HostName();

// The operator's Ctrl-C, SIGTERM or SIGHUP: the first is passed on as SIGINT, once, to every
// running session (each logs "User cancelled..." and closes its port); later ones only say
// that the cancel is under way.
class CancelForwarder {
public:
    CancelForwarder(fleet::Runner& runner, FleetDisplay& display)
        : m_runner(runner), m_display(display) {}
    void OnSignal(int nSignal);
    bool Cancelled() const { return m_nSignals > 0; }

private:
    fleet::Runner& m_runner;
    FleetDisplay& m_display;
    int m_nSignals = 0;
};

} // namespace cli
