#include "station/StationOptions.h"

#include "MorFWVersion.h"
#include "fleet/DeviceWatch.h"
#include "fleet/LogDir.h"
#include "fleet/Rehearsal.h"
#include "image/FileImg.h"
#include "platform/PrintableText.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

constexpr const char* kDefaultDeviceDir = "/dev/serial/by-id";
// For tests, as with morfw station: each entry of the watched directory is a file holding the
// port its unit opens (a sim: port).
constexpr const char* kPortFilesVariable = "MORFW_STATION_PORT_FILES";
// A rehearsal's unit stays this long with its result, and comes again this long after.
constexpr int kRehearsalLeaveMs = 4000;
constexpr int kRehearsalArriveMs = 2000;
constexpr int kMaxRehearsal = 64;

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return {};
    return buf;
}

std::string WithSlash(std::string s) {
    if (!s.empty() && s.back() != '/')
        s += '/';
    return s;
}

} // namespace

int ParseStationOptions(int argc, const char* const* argv, StationOptions& o, std::string& strOut,
                        std::string& strErr) {
    CLI::App app{"The station window: a tile per fixture, each unit flashed as it arrives or on "
                 "its start key, the day's counts, the image set locked.",
                 "MorFWStation"};
    app.set_version_flag("--version", std::string("MorFWStation ") + MORFW_VERSION,
                         "Print the program's version and exit");
    app.add_option("--match", o.strMatch,
                   "The devices that are units: a pattern of their paths, e.g. "
                   "'/dev/serial/by-path/*usb-0:1.*'. Default: every new /dev/serial/by-id link")
        ->type_name("GLOB");
    app.add_option("--ports-from", o.strPortsFrom,
                   "Fixed fixtures instead, one port a line, each optionally followed by its "
                   "label (a second column or a '# A1' comment). Without --start-on each fixture "
                   "has a start key (its tile's button, F1 to F12)")
        ->type_name("FILE");
    app.add_option("--start-on", o.strStartOn,
                   "With --ports-from: the modem line the fixture raises while a unit is seated "
                   "(dcd, dsr or cts)")
        ->type_name("LINE");
    app.add_option("--rehearse", o.strRehearse,
                   "A rehearsal: N simulated fixtures whose units arrive, are flashed, leave and "
                   "come again; seed=S, fail=K (fixture K's units fail part 2) and gap=SECONDS "
                   "as in morfw station")
        ->type_name("N[,seed=S][,fail=K][,gap=SECONDS]");
    app.add_option("--log-dir", o.strLogDir,
                   "A log file per unit and a row in DIR/results.csv. Default: "
                   "~/.local/share/MorFWStation/logs")
        ->type_name("DIR");
    app.add_option("-i,--images", o.strImages,
                   "Image directory. Default: MorFWImg/ beside the program")
        ->type_name("DIR");
    app.add_flag("--slow", o.bSlow, "Slow Mode for every unit");
    app.add_flag("--relaxed", o.bRelaxed, "Relaxed Error Checking for every unit");
    app.add_flag("--trace", o.bTrace, "The sessions' debug traces on standard error");
    app.add_option("--operator", o.strOperator, "The operator's name, shown and recorded")
        ->type_name("NAME");
    app.add_option("--work-order", o.strWorkOrder, "The work order, shown and recorded")
        ->type_name("ID");
    app.add_option("--station", o.strStation, "The station's name. Default: the host name")
        ->type_name("NAME");
    app.add_option("--on-result", o.strOnResult, "A command run with each unit's result")
        ->type_name("COMMAND");
    app.add_flag("--ask-serial", o.bAskSerial,
                 "Ask for each unit's serial number before it starts (a barcode scanner types it)");
    app.add_flag("--start", o.bStart, "Start every fixture at once (fixtures with start keys)");
    app.add_flag("--quit-when-done", o.bQuitWhenDone,
                 "Close the window when every unit has ended, with morfw's exit code of the most "
                 "severe result (scripted runs); errors go to standard error only");
    app.footer("Keys: F1 to F12 start fixtures 1 to 12 where fixtures have start keys (help is "
               "then on Ctrl+F1; F1 otherwise), Enter on a tile opens its unit's transcript, "
               "Ctrl+R reloads the image set, Ctrl+Q closes.\n\n"
               "Exit codes: 0 every unit passed, 1 a unit failed, 2 usage error, 3 a port could "
               "not be opened, 4 the image set is missing or invalid, 5 cancelled, 6 a record is "
               "incomplete (the most severe of the day's units).");

    std::ostringstream out, err;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e, out, err);
        strOut = out.str();
        strErr = err.str();
        return rc == 0 ? 0 : 2;
    }
    if (!o.strRehearse.empty()) {
        // The same words as morfw station's; the window's fixtures are its own tiles, so a
        // directory of unit files (dir=) is the command line's.
        fleet::RehearsalPlan plan;
        std::string strWhy;
        if (!fleet::ParseRehearsal(o.strRehearse, plan, strWhy) || !plan.strDir.empty() ||
            plan.nFixtures < 1) {
            strErr = "--rehearse: " +
                     (strWhy.empty() ? std::string("N from 1 to 64; dir= is morfw station's")
                                     : strWhy) +
                     "\n";
            return 2;
        }
        o.nRehearse = plan.nFixtures;
        o.nRehearseSeed = plan.nSeed;
        o.nRehearseFail = plan.nFailFixture;
        o.dRehearseGap = plan.dGapSeconds;
    }
    return -1;
}

std::vector<fleet::Fixture> RehearsalFixtures(int nCount, unsigned long nSeed, int nFail) {
    std::vector<fleet::Fixture> fixtures;
    for (int i = 1; i <= nCount; ++i) {
        const std::string strSeed = "seed=" + std::to_string(nSeed + static_cast<unsigned>(i - 1));
        fixtures.push_back({i == nFail ? "sim:ok=0," + strSeed : "sim:" + strSeed,
                            "R" + std::to_string(i)});
    }
    return fixtures;
}

bool MakeStationSetup(const StationOptions& o, const std::string& strProgramDir,
                      const std::string& strDefaultLogDir, StationSetup& setup,
                      std::string& strError) {
    EngineSettings& e = setup.engine;
    const bool bFixed = !o.strPortsFrom.empty();
    const int nSources = (bFixed ? 1 : 0) + (o.strMatch.empty() ? 0 : 1) + (o.nRehearse ? 1 : 0);
    if (nSources > 1) {
        strError = "--match, --ports-from and --rehearse exclude each other";
        return false;
    }
    if (!o.strStartOn.empty() && !bFixed) {
        strError = "--start-on needs the fixed ports: --ports-from FILE";
        return false;
    }
    if (o.nRehearse < 0 || o.nRehearse > kMaxRehearsal) {
        strError = "--rehearse: from 1 to " + std::to_string(kMaxRehearsal) + " fixtures";
        return false;
    }

    if (o.nRehearse > 0) {
        e.mode = ArrivalMode::StartKey;
        setup.fixtures = RehearsalFixtures(o.nRehearse, o.nRehearseSeed, o.nRehearseFail);
        if (!o.bQuitWhenDone) {
            const int nGapMs = static_cast<int>(o.dRehearseGap * 1000);
            e.nCycleLeaveMs = o.dRehearseGap < 0 ? kRehearsalLeaveMs : nGapMs;
            e.nCycleArriveMs = o.dRehearseGap < 0 ? kRehearsalArriveMs : nGapMs;
        }
    } else if (bFixed) {
        if (!fleet::ReadFixtureList(o.strPortsFrom, setup.fixtures, strError))
            return false;
        e.mode = ArrivalMode::StartKey;
        if (!o.strStartOn.empty()) {
            fleet::ModemLine line;
            if (!fleet::ParseModemLine(o.strStartOn, line)) {
                strError =
                    "--start-on: expected dcd, dsr or cts, not " + EscapeControlChars(o.strStartOn);
                return false;
            }
            e.mode = ArrivalMode::ModemLine;
            e.modems = [line](const std::string& port) {
                return fleet::MakeTtyModemInput(port, line);
            };
        }
    } else {
        e.mode = ArrivalMode::Devices;
        if (!fleet::SplitMatch(o.strMatch.empty() ? "*" : o.strMatch, kDefaultDeviceDir,
                               e.strWatchDir, e.strWatchPattern)) {
            strError = "--match: the directory part of " + EscapeControlChars(o.strMatch) +
                       " must not hold wildcards";
            return false;
        }
        const char* v = std::getenv(kPortFilesVariable);
        e.bPortFiles = v && std::strcmp(v, "1") == 0;
    }
    for (std::size_t i = 0; i < setup.fixtures.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (setup.fixtures[i].strPort == setup.fixtures[j].strPort) {
                strError = "the port " + EscapeControlChars(setup.fixtures[i].strPort) +
                           " is named twice; a port takes one session at a time";
                return false;
            }
        }
        e.ports.push_back(setup.fixtures[i].strPort);
    }
    if (o.bStart && e.mode != ArrivalMode::StartKey) {
        strError = "--start needs fixtures with start keys: --ports-from without --start-on, or "
                   "--rehearse";
        return false;
    }

    const std::string strProgram = strProgramDir + "morfw";
    struct stat st {};
    if (stat(strProgram.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        access(strProgram.c_str(), X_OK) != 0) {
        strError = "morfw, which flashes each unit, was not found beside the program: " +
                   EscapeControlChars(strProgram);
        return false;
    }
    if (!fleet::PrepareLogDir(o.strLogDir.empty() ? strDefaultLogDir : o.strLogDir, setup.strLogDir,
                              strError))
        return false;

    const std::string strImageDir =
        o.strImages.empty() ? GetImageDir(strProgramDir) : WithSlash(o.strImages);
    fleet::RunnerSettings& r = e.runner;
    r.strProgram = strProgram;
    r.sessionArgs = {"--images", strImageDir};
    std::string strOptions;
    const auto option = [&](bool bOn, const char* pszName) {
        if (!bOn)
            return;
        r.sessionArgs.push_back(pszName);
        strOptions += strOptions.empty() ? pszName : std::string(" ") + pszName;
    };
    option(o.bSlow, "--slow");
    option(o.bRelaxed, "--relaxed");
    option(o.bTrace, "--trace");
    r.strLogDir = setup.strLogDir;
    r.record.strHost = HostName();
    r.record.strVersion = std::string("MorFWStation ") + MORFW_VERSION;
    r.record.strImageDir = strImageDir;
    r.record.strOptions = strOptions.empty() ? "none" : strOptions;
    // Who, for which order, where, and what happens with each result: the records' own.
    setup.strStationName = o.strStation.empty() ? HostName() : o.strStation;
    r.record.trace.strOperator = o.strOperator;
    r.record.trace.strWorkOrder = o.strWorkOrder;
    r.record.trace.strStation = setup.strStationName;
    r.record.trace.strOnResult = o.strOnResult;

    e.bAskSerial = o.bAskSerial;
    e.lock = fleet::JudgeImageSet(strImageDir);
    return true;
}

} // namespace station
