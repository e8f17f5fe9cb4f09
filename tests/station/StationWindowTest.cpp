// The station window driven as an operator drives it, on Qt's offscreen platform: its sessions
// are the built morfw uploading a small image set to simulated units (sim: ports in the
// fixtures' list), through the real engine, runner and records.

#include "../app/AppTestSupport.h"
#include "../cli/ProgramTestSupport.h"

#include "station/FixtureTile.h"
#include "station/StationOptions.h"
#include "station/StationWindow.h"
#include "station/TileGrid.h"
#include "upload/UploadTexts.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

using namespace programtest;
using station::TileLook;

namespace {

constexpr int kMinute = 60000;

// A station on a small image set with the fixtures of list (one line each).
class StationRun {
public:
    explicit StationRun(const std::string& strList,
                        const std::function<void(station::StationOptions&)>& tweak = {}) {
        set = tmp.Path() / "set";
        MakeSmallSet(set);
        WriteFile(tmp.Path() / "fixtures.txt", strList);
        options.strPortsFrom = (tmp.Path() / "fixtures.txt").string();
        options.strImages = set.string();
        options.strLogDir = (tmp.Path() / "logs").string();
        options.strOperator = "J. Okafor";
        options.strWorkOrder = "WO-1";
        if (tweak)
            tweak(options);
        station::StationSetup setup;
        std::string strError;
        const std::string strProgramDir = fs::path(kMorfw).parent_path().string() + "/";
        bOk = station::MakeStationSetup(options, strProgramDir, "unused", setup, strError);
        EXPECT_TRUE(bOk) << strError;
        window = std::make_unique<CStationWindow>(options, std::move(setup), strProgramDir);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get())); // its keys reach it
        EXPECT_TRUE(window->StartEngine(strError)) << strError;
    }
    TileLook Look(int i) const { return window->Tile(i)->View().look; }
    std::string State(int i) const { return window->Tile(i)->View().strState; }
    bool Ended(int i) const {
        const auto& m = window->Model(i);
        return m.bUnit && m.unit.bFinished;
    }

    TempDir tmp;
    fs::path set;
    station::StationOptions options;
    bool bOk = false;
    std::unique_ptr<CStationWindow> window;
};

} // namespace

// Three fixtures started at once, one of whose units fails part 2: the tiles, the counts, the
// records, and the window closing itself with morfw's exit code.
TEST(StationWindow, ThreeFixturesOneFailingPartTwoEndWithTheirTilesCountsAndRecords) {
    StationRun run("sim:seed=1  A1\nsim:seed=2,ok=0  # A2\nsim:seed=3\n", [](auto& o) {
        o.bStart = true;
        o.bQuitWhenDone = true;
    });
    CStationWindow& w = *run.window;
    ASSERT_EQ(w.TileCount(), 3);
    EXPECT_TRUE(w.HeaderText().contains("Operator: J. Okafor     Work order: WO-1"));
    const std::string digest = fleet::ReadImageSet(run.set.string()).strSetDigest;
    EXPECT_TRUE(w.HeaderText().contains(
        QString::fromStdString("Image set: sha256 " + fleet::ShortDigest(digest))));
    ASSERT_TRUE(WaitUntil([&] { return !w.isVisible(); }, 2 * kMinute)) << "never closed";

    const struct {
        const char* title;
        TileLook look;
        const char* state;
        const char* detail;
        const char* counts;
    } expected[] = {
        {"A1", TileLook::Passed, "PASSED", "Take the unit out", "\u2714 1  \u2716 0"},
        {"A2", TileLook::Failed, "FAILED", "upload failed in part 2 of 5", "\u2714 0  \u2716 1"},
        {"sim:seed=3", TileLook::Passed, "PASSED", "Take the unit out", "\u2714 1  \u2716 0"},
    };
    for (int i = 0; i < 3; ++i) {
        const station::TileView& v = w.Tile(i)->View();
        EXPECT_EQ(v.strTitle, expected[i].title);
        EXPECT_EQ(v.look, expected[i].look) << i;
        EXPECT_EQ(v.strState, expected[i].state);
        EXPECT_EQ(v.strDetail, expected[i].detail);
        EXPECT_EQ(v.strCounts, expected[i].counts);
        EXPECT_TRUE(v.bStartButton) << "a finished fixture can start again";
    }
    EXPECT_EQ(w.Counts().Passed(), 2);
    EXPECT_EQ(w.Counts().Failed(), 1);
    EXPECT_EQ(w.CountsText(), "passed 2, failed 1, yield 66.6 %, units per hour -");
    EXPECT_EQ(w.ExitCode(), 1);

    // The records: a row each in results.csv and a log file holding the tile's transcript.
    const auto rows = Lines(ReadFile(run.tmp.Path() / "logs" / "results.csv"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_NE(rows[1].find(",J. Okafor,WO-1,"), std::string::npos) << rows[1];
    for (int i = 0; i < 3; ++i) {
        const auto& m = w.Model(i);
        ASSERT_FALSE(m.unit.strLogFile.empty());
        const std::string log = ReadFile(m.unit.strLogFile);
        EXPECT_NE(log.find(m.strTranscript), std::string::npos) << m.unit.strLogFile;
        EXPECT_NE(log.find(", operator J. Okafor, work order WO-1, serial none\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(m.strTranscript.find("Uploading firmware - part 2 of 5...\n"), std::string::npos);
    }

    // A tile's transcript opens on Enter, with the text of the dialog's log pane.
    w.Tile(1)->setFocus();
    QTest::keyClick(w.Tile(1), Qt::Key_Return);
    ASSERT_NE(w.Transcript(), nullptr);
    EXPECT_EQ(w.Transcript()->Text().toStdString(), w.Model(1).strTranscript);

    // The fixture starts again: the open transcript follows its new unit.
    const int nFirst = w.Model(1).unit.nId;
    w.OnStartKey(1);
    ASSERT_TRUE(WaitUntil([&] { return w.Model(1).unit.nId != nFirst && run.Ended(1); }, kMinute));
    EXPECT_EQ(w.Transcript()->Text().toStdString(), w.Model(1).strTranscript);
    EXPECT_EQ(w.Tile(1)->View().strCounts, "\u2714 0  \u2716 2");
}

// Closing while units are flashed asks the dialog's question; Yes cancels each unit, which logs
// "User cancelled...", and the window waits for every session to end.
TEST(StationWindow, ClosingWhileFlashingAsksAndWaitsForEverySessionToEnd) {
    // The whole sample set: parts 3 to 5 take long enough to close in the middle of them.
    StationRun run("sim:seed=1  A1\nsim:seed=2  A2\n", [](auto& o) {
        o.bStart = true;
        o.strImages = kSampleDir;
    });
    CStationWindow& w = *run.window;
    ASSERT_TRUE(WaitUntil([&] { return w.Model(0).unit.nPart >= 3 && w.Model(1).unit.nPart >= 3; },
                          kMinute));
    int nAnswers = 0;
    CBoxAnswerer answers(&w, [&](const BOX_SEEN& box) {
        EXPECT_EQ(box.strText.toStdString(), MSG_CANCEL_QUESTION);
        EXPECT_EQ(box.strCaption.toStdString(), CAPTION_WARNING);
        return ++nAnswers == 1 ? QMessageBox::No : QMessageBox::Yes;
    });
    w.close();
    EXPECT_TRUE(w.isVisible()) << "No leaves every unit flashing";
    EXPECT_EQ(run.Look(0), TileLook::Running);
    w.close();
    EXPECT_TRUE(w.BannerShown());
    EXPECT_TRUE(w.BannerText().startsWith("ENDING: the 2 units being flashed are cancelled"));
    ASSERT_TRUE(WaitUntil([&] { return !w.isVisible(); }, kMinute));
    EXPECT_EQ(nAnswers, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(run.State(i), "CANCELLED");
        EXPECT_TRUE(w.Model(i).strTranscript.ends_with(LOG_USER_CANCELLED));
    }
    EXPECT_EQ(w.ExitCode(), 5);
    EXPECT_EQ(w.Counts().Cancelled(), 2);
}

// The job is locked: a file of the set that changes holds every start (tile and banner say so)
// until the operator reloads on purpose; the new set then goes into the records.
TEST(StationWindow, AChangedImageSetHoldsEveryStartUntilReloaded) {
    StationRun run("sim:seed=1  A1\n");
    CStationWindow& w = *run.window;
    EXPECT_EQ(run.State(0), "READY");
    EXPECT_EQ(w.Tile(0)->View().strDetail, "Seat a unit, then press F1 or Start");
    EXPECT_FALSE(w.BannerShown());

    WriteFile(run.set / "Morvane.s19", ReadFile(run.set / "Morvane.s19") + "\n");
    ASSERT_TRUE(WaitUntil([&] { return w.BannerShown(); }, kMinute)) << "no banner";
    EXPECT_TRUE(w.BannerText().contains("NO UNIT STARTS: the image set changed on disk"));
    EXPECT_TRUE(w.BannerText().contains("Morvane.s19 changed (sha256 "));

    QTest::keyClick(&w, Qt::Key_F1); // the fixture's start key
    ASSERT_TRUE(WaitUntil([&] { return run.Look(0) == TileLook::Held; }, kMinute));
    EXPECT_EQ(run.State(0), "HELD");

    CBoxAnswerer answers(&w); // Yes: take the set as it is now
    w.OnReload();
    ASSERT_TRUE(WaitUntil([&] { return run.Ended(0); }, kMinute));
    EXPECT_EQ(answers.seen.size(), 1u);
    EXPECT_FALSE(w.BannerShown());
    EXPECT_EQ(run.State(0), "PASSED");
    const std::string digest = fleet::ReadImageSet(run.set.string()).strSetDigest;
    EXPECT_NE(ReadFile(w.Model(0).unit.strLogFile).find("---- sha256 of the set " + digest),
              std::string::npos);
    EXPECT_TRUE(
        w.HeaderText().contains(QString::fromStdString("sha256 " + fleet::ShortDigest(digest))));
}

// With --ask-serial a start key asks for the serial number first (a scanner types it and
// Enter); the unit starts with it. Escape puts the question away.
TEST(StationWindow, AskSerialTakesTheNumberBeforeTheUnitStarts) {
    StationRun run("sim:seed=1  A1\nsim:seed=2  A2\n", [](auto& o) { o.bAskSerial = true; });
    CStationWindow& w = *run.window;
    QTest::keyClick(&w, Qt::Key_F2);
    ASSERT_EQ(run.Look(1), TileLook::Asking);
    QLineEdit* pField = w.Tile(1)->SerialField();
    EXPECT_TRUE(pField->isVisible());
    QTest::keyClick(pField, Qt::Key_Escape);
    EXPECT_EQ(run.Look(1), TileLook::Idle);
    EXPECT_FALSE(pField->isVisible());

    QTest::keyClick(&w, Qt::Key_F2);
    QTest::keyClicks(pField, "  SN-0042 ");
    QTest::keyClick(pField, Qt::Key_Return);
    EXPECT_EQ(w.Transcript(), nullptr) << "the scanner's Enter starts the unit, nothing else";
    ASSERT_TRUE(WaitUntil([&] { return run.Ended(1); }, kMinute));
    EXPECT_EQ(w.Model(1).unit.strSerial, "SN-0042");
    EXPECT_EQ(run.State(1), "PASSED");
    EXPECT_NE(w.Tile(1)->View().strFigures.find("S/N SN-0042"), std::string::npos);
    EXPECT_EQ(run.Look(0), TileLook::Idle) << "the other fixture never started";
}

// Help and About from the keyboard: F1 starts fixture 1 where fixtures have start keys, so help
// is on Ctrl+F1 there; the help page is the station's own.
TEST(StationWindow, HelpIsOnCtrlF1WhereF1IsAStartKey) {
    StationRun run("sim:seed=1\n");
    CStationWindow& w = *run.window;
    EXPECT_EQ(w.HelpAction()->shortcuts(),
              QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::Key_F1)});
    CUrlRecorder urls;
    w.OnHelp();
    ASSERT_EQ(urls.urls.size(), 1u);
    EXPECT_TRUE(urls.urls[0].path().endsWith("/MorFWStation.html"));
}

// Units that arrive as devices (a directory the test fills, as udev fills /dev/serial/by-id):
// a tile comes with each, shows its result, and goes with it; a device that comes back has its
// fixture's counts of the day again.
TEST(StationWindow, DevicesThatComeAndGoHaveTilesThatComeAndGo) {
    TempDir dirs;
    const fs::path watched = dirs.Path() / "by-id";
    fs::create_directories(watched);
    const auto plug = [&](const std::string& port) {
        WriteFile(dirs.Path() / "new", port + "\n");
        fs::rename(dirs.Path() / "new", watched / "unit-A");
    };
    plug("sim:seed=1");
    setenv("MORFW_STATION_PORT_FILES", "1", 1);
    StationRun run("", [&](auto& o) {
        o.strPortsFrom.clear();
        o.strMatch = (watched / "unit-*").string();
    });
    unsetenv("MORFW_STATION_PORT_FILES");
    CStationWindow& w = *run.window;
    ASSERT_TRUE(WaitUntil([&] { return w.TileCount() == 1 && run.Ended(0); }, kMinute));
    EXPECT_EQ(w.Tile(0)->View().strTitle, "unit-A");
    EXPECT_EQ(run.State(0), "PASSED");
    EXPECT_FALSE(w.Tile(0)->View().bStartButton) << "devices start by arriving";

    fs::remove(watched / "unit-A");
    ASSERT_TRUE(WaitUntil([&] { return w.TileCount() == 0; }, kMinute));
    plug("sim:seed=2,ok=0");
    ASSERT_TRUE(WaitUntil([&] { return w.TileCount() == 1 && run.Ended(0); }, kMinute));
    EXPECT_EQ(run.State(0), "FAILED");
    EXPECT_EQ(w.Tile(0)->View().strCounts, "\u2714 1  \u2716 1");
    EXPECT_EQ(w.CountsText(), "passed 1, failed 1, yield 50.0 %, units per hour -");
}
