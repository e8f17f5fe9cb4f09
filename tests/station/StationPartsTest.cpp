// The station window's parts that need no sessions: what a tile says in each state, the options
// against each other, the grid, and the tiles' own layout at any size and scale.

#include "../cli/ProgramTestSupport.h"

#include "station/FixtureTile.h"
#include "station/StationOptions.h"
#include "station/TileGrid.h"
#include "station/TileModel.h"

#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace programtest;
using station::ArrivalMode;
using station::TileLook;
using station::TileModel;

namespace {

fleet::UnitState Finished(int nCode, const std::string& strMessage) {
    fleet::UnitState u;
    u.nId = 1;
    u.bFinished = true;
    u.nExitCode = nCode;
    u.strMessage = strMessage;
    u.dElapsed = 83;
    return u;
}

} // namespace

TEST(StationTileModel, EachStateHasItsWordsAndLook) {
    const struct {
        const char* name;
        std::function<void(TileModel&)> set;
        TileLook look;
        const char* state;
        const char* detail;
    } cases[] = {
        {"start key, idle", [](TileModel& t) { t.nKey = 3; }, TileLook::Idle, "READY",
         "Seat a unit, then press F3 or Start"},
        {"beyond F12", [](TileModel&) {}, TileLook::Idle, "READY", "Seat a unit, then press Start"},
        {"modem line, empty", [](TileModel& t) { t.mode = ArrivalMode::ModemLine; }, TileLook::Idle,
         "WAITING", "Waiting for a unit"},
        {"asking", [](TileModel& t) { t.bAsking = true; }, TileLook::Asking, "SERIAL NUMBER?",
         "Scan or type the unit's serial number, then Enter"},
        {"held over a result",
         [](TileModel& t) {
             t.bUnit = true;
             t.unit = Finished(0, "");
             t.bHeld = true;
         },
         TileLook::Held, "HELD", "The image set changed: reload it to start this unit"},
        {"cannot watch", [](TileModel& t) { t.strWatchError = "no modem-status lines"; },
         TileLook::Problem, "PORT PROBLEM", "cannot watch the port: no modem-status lines"},
        {"flashing",
         [](TileModel& t) {
             t.bUnit = true;
             t.unit.nId = 1;
             t.unit.nPart = 4;
             t.unit.dLeft = 12.2;
         },
         TileLook::Running, "FLASHING", "part 4 of 5, about 0:13 left"},
        {"passed", [](TileModel& t) { t.bUnit = true, t.unit = Finished(0, ""); }, TileLook::Passed,
         "PASSED", "Take the unit out"},
        {"failed",
         [](TileModel& t) { t.bUnit = true, t.unit = Finished(1, "upload failed in part 2 of 5"); },
         TileLook::Failed, "FAILED", "upload failed in part 2 of 5"},
        {"port", [](TileModel& t) { t.bUnit = true, t.unit = Finished(3, "busy\nnext"); },
         TileLook::Problem, "PORT PROBLEM", "busy\\nnext"},
        {"images", [](TileModel& t) { t.bUnit = true, t.unit = Finished(4, "x"); },
         TileLook::Problem, "IMAGE SET PROBLEM", "x"},
        {"cancelled", [](TileModel& t) { t.bUnit = true, t.unit = Finished(5, "cancelled"); },
         TileLook::Cancelled, "CANCELLED", "cancelled"},
        {"record", [](TileModel& t) { t.bUnit = true, t.unit = Finished(6, "disk full"); },
         TileLook::Failed, "RECORD INCOMPLETE", "disk full"},
    };
    for (const auto& c : cases) {
        TileModel t;
        t.strPort = "/dev/serial/by-path/pci-0:1.2-port0";
        c.set(t);
        const station::TileView v = station::DescribeTile(t);
        EXPECT_EQ(v.look, c.look) << c.name;
        EXPECT_EQ(v.strState, c.state) << c.name;
        EXPECT_EQ(v.strDetail, c.detail) << c.name;
        EXPECT_EQ(v.strTitle, "pci-0:1.2-port0") << c.name;
    }
}

TEST(StationTileModel, FiguresCountsAndTheBarFollowTheUnit) {
    TileModel t;
    t.strLabel = "A1";
    t.bUnit = true;
    t.unit.nId = 7;
    t.unit.strStableName = "/dev/serial/by-id/usb-FTDI_X";
    t.unit.nPart = 5;
    t.unit.nRecords = 900; // the dots run ahead of the range at the end
    t.unit.nTotal = 834;
    t.unit.nRetries = 1;
    t.unit.dElapsed = 65.4;
    t.unit.strSerial = "SN\t1";
    t.counts.OnFinished(0, 10);
    t.counts.OnFinished(1, 20);
    t.counts.OnFinished(5, 30);
    station::TileView v = station::DescribeTile(t);
    EXPECT_EQ(v.strTitle, "A1");
    EXPECT_EQ(v.strName, "/dev/serial/by-id/usb-FTDI_X");
    EXPECT_EQ(v.nValue, 834);
    EXPECT_EQ(v.nMax, 834);
    EXPECT_EQ(v.strFigures, "1:05 elapsed  1 retry  S/N SN\\t1");
    EXPECT_EQ(v.strCounts, "\u2714 1  \u2716 1");
    EXPECT_FALSE(v.bStartButton);

    t.Clear();
    v = station::DescribeTile(t);
    EXPECT_EQ(v.strName, "") << "no port, no unit: nothing to name";
    EXPECT_EQ(v.strCounts, "\u2714 1  \u2716 1") << "the day's counts outlive the unit";
}

TEST(StationOptions, UsageErrorsNameTheProblem) {
    TempDir tmp;
    WriteFile(tmp.Path() / "list", "sim:seed=1 A1\nsim:seed=1 A2\n");
    WriteFile(tmp.Path() / "one", "sim:seed=1\n");
    const std::string bin = fs::path(kMorfw).parent_path().string() + "/";
    const std::string list = (tmp.Path() / "list").string(), one = (tmp.Path() / "one").string();
    const struct {
        std::function<void(station::StationOptions&)> set;
        std::string strProgramDir;
        std::string error;
    } cases[] = {
        {[&](auto& o) { o.strMatch = "x", o.strPortsFrom = one; }, bin,
         "--match, --ports-from and --rehearse exclude each other"},
        {[&](auto& o) { o.nRehearse = 2, o.strPortsFrom = one; }, bin,
         "--match, --ports-from and --rehearse exclude each other"},
        {[](auto& o) { o.strStartOn = "dcd"; }, bin,
         "--start-on needs the fixed ports: --ports-from FILE"},
        {[&](auto& o) { o.strPortsFrom = one, o.strStartOn = "ri"; }, bin,
         "--start-on: expected dcd, dsr or cts, not ri"},
        {[](auto& o) { o.nRehearse = 65; }, bin, "--rehearse: from 1 to 64 fixtures"},
        {[&](auto& o) { o.strPortsFrom = list; }, bin,
         "the port sim:seed=1 is named twice; a port takes one session at a time"},
        {[&](auto& o) { o.bStart = true, o.strMatch = "/dev/x*"; }, bin,
         "--start needs fixtures with start keys: --ports-from without --start-on, or "
         "--rehearse"},
        {[](auto& o) { o.strMatch = "/dev/*/x"; }, bin,
         "--match: the directory part of /dev/*/x must not hold wildcards"},
        {[&](auto& o) { o.strPortsFrom = one; }, tmp.Path().string() + "/",
         "morfw, which flashes each unit, was not found beside the program: " +
             tmp.Path().string() + "/morfw"},
        {[&](auto& o) { o.strPortsFrom = one, o.strLogDir = one; }, bin,
         "cannot use the log directory " + one + ": Not a directory"},
    };
    for (const auto& c : cases) {
        station::StationOptions o;
        c.set(o);
        station::StationSetup setup;
        std::string err;
        EXPECT_FALSE(station::MakeStationSetup(o, c.strProgramDir, "unused", setup, err))
            << c.error;
        EXPECT_EQ(err, c.error);
    }

    // A rehearsal: simulated fixtures with start keys, the records in the per-user folder.
    station::StationOptions o;
    o.nRehearse = 3;
    station::StationSetup setup;
    std::string err;
    ASSERT_TRUE(station::MakeStationSetup(o, bin, (tmp.Path() / "data").string(), setup, err))
        << err;
    EXPECT_EQ(setup.engine.mode, ArrivalMode::StartKey);
    ASSERT_EQ(setup.fixtures.size(), 3u);
    EXPECT_EQ(setup.fixtures[2].strLabel, "R3");
    std::string out2;
    // morfw station's words: a seed, a failing fixture, the pace; its directory is its own.
    const char* plan[] = {"MorFWStation", "--rehearse", "3,seed=5,fail=2,gap=1"};
    station::StationOptions p;
    ASSERT_EQ(station::ParseStationOptions(3, plan, p, out2, err), -1) << err;
    ASSERT_TRUE(station::MakeStationSetup(p, bin, (tmp.Path() / "data").string(), setup, err));
    ASSERT_EQ(setup.fixtures.size(), 3u);
    EXPECT_EQ(setup.fixtures[0].strPort, "sim:seed=5");
    EXPECT_EQ(setup.fixtures[1].strPort, "sim:ok=0,seed=6");
    EXPECT_EQ(setup.engine.nCycleLeaveMs, 1000);
    for (const char* bad2 : {"3,dir=/tmp", "0", "3,fail=9"}) {
        const char* argv2[] = {"MorFWStation", "--rehearse", bad2};
        station::StationOptions q;
        EXPECT_EQ(station::ParseStationOptions(3, argv2, q, out2, err), 2) << bad2;
        EXPECT_EQ(err.rfind("--rehearse: ", 0), 0u) << err;
    }
    EXPECT_EQ(setup.strLogDir, (tmp.Path() / "data").string() + "/");
    EXPECT_GT(setup.engine.nCycleLeaveMs, 0) << "its units come again";
}

TEST(StationOptions, HelpVersionAndUnknownOptions) {
    station::StationOptions o;
    std::string out, err;
    const char* help[] = {"MorFWStation", "--help"};
    EXPECT_EQ(station::ParseStationOptions(2, help, o, out, err), 0);
    EXPECT_NE(out.find("--ask-serial"), std::string::npos);
    EXPECT_NE(out.find("Ctrl+F1"), std::string::npos);
    const char* bad[] = {"MorFWStation", "--frobnicate"};
    EXPECT_EQ(station::ParseStationOptions(2, bad, o, out, err), 2);
    EXPECT_NE(err.find("--frobnicate"), std::string::npos);
    const char* good[] = {"MorFWStation", "--rehearse", "8", "--operator", "A B", "--start"};
    EXPECT_EQ(station::ParseStationOptions(6, good, o, out, err), -1);
    EXPECT_EQ(o.nRehearse, 8);
    EXPECT_EQ(o.strOperator, "A B");
    EXPECT_TRUE(o.bStart);
}

// The grid picks the columns that make the text largest; each tile keeps its controls inside
// itself and its text grows with it (at 100 % and, in a second run, at 200 %).
TEST(StationTiles, TheGridFillsTheAreaAndTheControlsStayInsideEachTile) {
    EXPECT_EQ(GridColumns(32, QSize(1920, 960), 6), 8);
    EXPECT_EQ(GridColumns(8, QSize(1280, 660), 6), 4);
    EXPECT_EQ(GridColumns(3, QSize(1280, 660), 6), 3);
    EXPECT_EQ(GridColumns(2, QSize(400, 900), 6), 1);
    EXPECT_EQ(GridColumns(0, QSize(400, 900), 6), 0);
    EXPECT_LT(CFixtureTile::UnitFor(QSize(120, 100)), CFixtureTile::UnitFor(QSize(240, 232)));

    CTileGrid grid;
    grid.resize(1200, 700);
    std::vector<CFixtureTile*> tiles;
    for (int i = 0; i < 6; ++i) {
        auto* pTile = new CFixtureTile(i);
        pTile->SetStartText(QStringLiteral("Start (F%1)").arg(i + 1));
        station::TileView v;
        v.bStartButton = true;
        v.strState = "IMAGE SET PROBLEM";
        pTile->SetView(v);
        grid.Add(pTile);
        tiles.push_back(pTile);
    }
    grid.show();
    EXPECT_EQ(grid.Columns(), 3);
    for (CFixtureTile* t : tiles) {
        EXPECT_TRUE(grid.rect().contains(t->geometry())) << t->geometry().x();
        EXPECT_TRUE(t->rect().contains(t->StartButton()->geometry()));
        EXPECT_GE(t->StartButton()->width(),
                  t->StartButton()->fontMetrics().horizontalAdvance(t->StartButton()->text()));
        t->AskSerial(true);
        EXPECT_TRUE(t->rect().contains(t->SerialField()->geometry()));
    }
    grid.Remove(tiles[0]);
    EXPECT_EQ(grid.Tiles().size(), 5u);
}
