#pragma once
// A station's rehearsal without hardware: N simulated fixtures. On each a simulated unit (a
// "sim:" port) arrives, is flashed like any other unit, and is taken out a moment after its
// session has ended; the next unit arrives there a moment later, until the station ends.
// The units come the way udev's devices do, so a rehearsal runs the station's own arrivals:
// each is a file "fixture-K" in the rehearsal's directory naming the sim: port its unit opens,
// written under a temporary name beginning with '.' and renamed into place, and removed when
// the unit is taken out; the station watches the directory with DeviceWatch.

#include "fleet/Arrivals.h"

#include <memory>
#include <string>

namespace fleet {

// "N[,seed=S][,fail=K][,gap=SECONDS][,dir=DIR]" (see ParseRehearsal).
struct RehearsalPlan {
    int nFixtures = 0;
    unsigned long nSeed = 1; // the j-th unit of fixture K: sim seed S + (K - 1) + 1000 (j - 1)
    int nFailFixture = 0;    // this fixture's units fail part 2 (sim: ok=0); 0 none
    double dGapSeconds = 2;  // session end to taking out, and taking out to the next unit
    std::string strDir;      // "": a temporary directory, removed at the end
};

inline constexpr int kMaxRehearsalFixtures = 64;

// N fixtures (0 to kMaxRehearsalFixtures; 0 only with dir=, whose files are then the only
// units), and sub-options: seed=S, fail=K (1 to N), gap=SECONDS (0 to 3600), dir=DIR (made when
// missing and kept; a file put there that names a port is a unit too). False and strError
// (without the option's name) when the text is not one.
bool ParseRehearsal(const std::string& strText, RehearsalPlan& plan, std::string& strError);

// The rehearsal as a station's arrivals; units are named by their file ("fixture-1").
std::unique_ptr<ArrivalSource> MakeRehearsal(const RehearsalPlan& plan);

} // namespace fleet
