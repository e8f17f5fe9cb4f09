#pragma once
// MorFWStation's command line: morfw station's options, and the window's own. Parsed into
// StationOptions, then turned into the engine's settings and the fixtures' tiles. No Qt here.

#include "fleet/FixtureList.h"
#include "station/StationEngine.h"

#include <string>
#include <vector>

namespace station {

struct StationOptions {
    // Where units come from (morfw station's).
    std::string strMatch;
    std::string strPortsFrom;
    std::string strStartOn;
    // A rehearsal, in morfw station's words "N[,seed=S][,fail=K][,gap=SECONDS]": N simulated
    // fixtures whose units come, are flashed, leave and come again.
    std::string strRehearse;
    int nRehearse = 0;
    unsigned long nRehearseSeed = 1;
    int nRehearseFail = 0;       // this fixture's units fail part 2; 0 none
    double dRehearseGap = -1;    // seconds; < 0: the window's own pace
    // The sessions and their records (morfw station's).
    std::string strLogDir; // "": the per-user data folder
    std::string strImages; // "": MorFWImg/ beside the program
    bool bSlow = false;
    bool bRelaxed = false;
    bool bTrace = false;
    // Traceability, shown in the header and handed to the records.
    std::string strOperator;
    std::string strWorkOrder;
    std::string strStation; // "": this machine's name
    std::string strOnResult;
    bool bAskSerial = false;
    // The window's own.
    bool bStart = false;        // start every fixture at once
    bool bQuitWhenDone = false; // close when every unit has ended; exit code by severity
};

// Parses argv (Qt's own options already taken out). Returns -1 to go on; otherwise the exit
// code to end with at once (0 after --help or --version, 2 after a usage error), with the text
// to print in strOut or strErr.
int ParseStationOptions(int argc, const char* const* argv, StationOptions& options,
                        std::string& strOut, std::string& strErr);

// What the window runs with.
struct StationSetup {
    EngineSettings engine;
    std::vector<fleet::Fixture> fixtures; // in the list's order (StartKey, ModemLine)
    std::string strLogDir;                // resolved, ending in '/'
    std::string strStationName;
};

// Checks the options against each other and builds the setup: strProgramDir holds the morfw
// the sessions run (ending in '/'), strDefaultLogDir is the per-user data folder. False and
// strError (one line, for "MorFWStation: ...") on a usage error. The image set is judged here.
bool MakeStationSetup(const StationOptions& o, const std::string& strProgramDir,
                      const std::string& strDefaultLogDir, StationSetup& setup,
                      std::string& strError);

// The rehearsal's fixtures: N simulated units, labelled R1 ... RN.
std::vector<fleet::Fixture> RehearsalFixtures(int nCount, unsigned long nSeed = 1, int nFail = 0);

} // namespace station
