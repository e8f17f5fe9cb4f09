#pragma once
// What a fixture's tile knows and says: the fixture, its unit now (or its last one), and the
// day's counts of the fixture. The words are chosen for a glance from two metres; each state
// has its words as well as its colour, so nobody needs to tell red from green. No Qt here.

#include "fleet/DayCounts.h"
#include "fleet/UnitState.h"
#include "station/StationEngine.h"

#include <string>

namespace station {

// The tile's colour family; the words say the same.
enum class TileLook {
    Idle,    // no unit, or a unit not yet started
    Asking,  // waiting for the unit's serial number
    Held,    // a unit waits: the image set changed
    Running, // flashing
    Passed,
    Failed,
    Problem, // the port, the adapter or the image set: not the unit's fault
    Cancelled,
};

struct TileView {
    TileLook look = TileLook::Idle;
    std::string strTitle;   // the fixture's label, else its port's last part
    std::string strName;    // the stable name, else the port
    std::string strState;   // "PASSED", "FLASHING", ...: the big words
    std::string strDetail;  // why it failed, which part, what to do
    std::string strFigures; // "0:14 elapsed  2 retries"
    std::string strCounts;  // the fixture's day: "✔ 12  ✖ 1" (passed, failed)
    int nValue = 0;         // the progress bar, when nMax > 0
    int nMax = 0;
    bool bStartButton = false; // the tile offers its Start button now
};

struct TileModel {
    // The fixture.
    std::string strPort;  // the station's name of it (the port, or the device entry)
    std::string strLabel; // as the port list labels it, or ""
    int nKey = 0;         // its start key F1..F12, or 0
    ArrivalMode mode = ArrivalMode::StartKey;

    // Its unit.
    bool bPresent = false; // a unit is at a watched port (modem line, device)
    bool bAsking = false;  // its serial number is asked for
    bool bHeld = false;    // it waits for the image set
    std::string strHeldWhy;
    bool bUnit = false;        // a session has started at the fixture since it last cleared
    fleet::UnitState unit;     // that session
    std::string strTranscript; // its log text, as the dialog's log pane shows it
    std::string strWatchError; // the port cannot be watched
    bool bStale = false;       // the unit left while its session ran: clear at the next arrival

    fleet::DayCounts counts;
    bool bDirty = false; // the window's: the tile is to be drawn again

    bool Running() const { return bUnit && !unit.bFinished; }
    // Something is under way: asking, held, or running.
    bool Busy() const { return bAsking || bHeld || Running(); }
    // The tile goes back to waiting (its unit was taken away, or a new one begins).
    void Clear();
};

TileView DescribeTile(const TileModel& tile);

// The words of an ended unit's result: "PASSED", "FAILED", "PORT PROBLEM", ...
const char* ResultWords(int nExitCode);

} // namespace station
