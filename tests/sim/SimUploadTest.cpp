// Whole uploads in real time: the upload engine's session with a real CSerialPort and its threads,
// through the "sim:" line, to the simulated unit. Small image sets where size does not matter.

#include "SimTestHost.h"
#include "SimTestSupport.h"

#include "image/FileImg.h"
#include "platform/ProgramDir.h"
#include "sim/SimLine.h"
#include "upload/UploadTexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace simtest;
using namespace std::chrono;

namespace {

class SimUpload : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterSimLineBackend(); }

    static int CountOf(const std::string& s, char c) {
        return static_cast<int>(std::count(s.begin(), s.end(), c));
    }
    // The records of every phase, checked against what the image module makes of the set.
    static void ExpectExactMemory(const SimReport& report, const std::string& dir) {
        EXPECT_EQ(report.memory[0], ExpectedRecords(dir, FILEIMG_POS_SBOOT));
        EXPECT_EQ(report.memory[1], ExpectedRecords(dir, FILEIMG_POS_KERNEL));
        EXPECT_EQ(report.memory[2], ExpectedRecords(dir, FILEIMG_POS_FIRMWARE));
    }

    CReportCatcher m_reports;
};

const std::string kSucceeded = "Firmware uploaded in ";

} // namespace

TEST_F(SimUpload, FullUploadOfTheSampleSetLeavesExactlyItsRecordsInTheUnit) {
    const std::string dir = GetImageDir(GetProgramDir()); // the set the build placed there
    ASSERT_FALSE(ExpectedRecords(dir, FILEIMG_POS_SBOOT).empty()) << "no sample set in " << dir;
    TempDir out;
    CSimTestHost host("sim:dump=" + out.File("dump.txt"), "");
    ASSERT_TRUE(host.RunSession());
    const std::string log = host.Log();
    EXPECT_NE(log.find("Uploading firmware - part 5 of 5...\r\n# "), std::string::npos) << log;
    EXPECT_NE(log.find(kSucceeded), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, '!'), 0) << log;
    EXPECT_EQ(host.BoxTexts(), std::vector<std::string>{MSG_UPLOAD_SUCCESSFUL});
    EXPECT_EQ(host.ProgressPos(), host.ProgressUpper());
    EXPECT_FALSE(host.m_port.IsOpen());

    ASSERT_TRUE(m_reports.Wait());
    const SimReport rep = m_reports.Last();
    ExpectExactMemory(rep, dir);
    EXPECT_EQ(rep.runs, (std::vector<std::string>{"Shutup.bin", "BootI.bin"}));
    EXPECT_TRUE(rep.bFirmwareStarted);
    EXPECT_EQ(rep.stats.nRepeats, 0);

    // The dump holds one line per record, phase by phase.
    const std::string dump = ReadFileText(out.File("dump.txt"));
    const std::size_t nRecords = rep.memory[0].size() + rep.memory[1].size() + rep.memory[2].size();
    EXPECT_EQ(static_cast<std::size_t>(CountOf(dump, '\n')), nRecords);
    EXPECT_EQ(dump.rfind("sboot 0 0500 7E4D56324B", 0), 0u) << dump.substr(0, 40);
    EXPECT_NE(dump.find("\nkernel 1 0000 "), std::string::npos);
    EXPECT_NE(dump.find("\nfirmware 0 8000 "), std::string::npos);
}

TEST_F(SimUpload, SlowModeRunsTheBootFramesAt738Baud) {
    TempDir dir;
    WriteSmallSet(dir.Path());
    CSimTestHost host("sim:rates=738,images=" + dir.Path(), dir.Path());
    host.m_bSlowMode = true;
    ASSERT_TRUE(host.RunSession());
    const std::string log = host.Log();
    EXPECT_EQ(log.rfind("Using low baudrate bootstrap mode\r\n", 0), 0u) << log;
    EXPECT_NE(log.find(kSucceeded), std::string::npos) << log;
    ASSERT_TRUE(m_reports.Wait());
    ExpectExactMemory(m_reports.Last(), dir.Path());
}

TEST_F(SimUpload, AUnitThatOnlyTakes738FailsStageOneAfterFifteenAttempts) {
    TempDir dir;
    WriteSmallSet(dir.Path());
    CSimTestHost host("sim:rates=738,images=" + dir.Path(), dir.Path());
    ASSERT_TRUE(host.RunSession());
    const std::string log = host.Log();
    EXPECT_NE(log.find("Uploading firmware - part 1 of 5...\r\n# ++++++++++++++"
                       " Failed!!!  -> Out of retries!!!\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("part 2 of 5"), std::string::npos);
    ASSERT_TRUE(m_reports.Wait());
    const SimReport rep = m_reports.Last();
    // Fifteen attempts reached the unit; on a loaded machine an attempt's DTR/RTS may drop too
    // late for the unlock, which the unit then refuses.
    EXPECT_EQ(rep.stats.nUnlocks + rep.stats.nUnlocksRefused, 15);
    EXPECT_EQ(rep.stats.nBootLoads, 0);
    EXPECT_GT(rep.stats.nLeadRefused, 0);
}

class SimUploadNoise : public SimUpload, public ::testing::WithParamInterface<int> {};

TEST_P(SimUploadNoise, CompletesWithRetriesAndNothingCorruptIsKept) {
    TempDir dir;
    WriteSmallSet(dir.Path(), 24, 40, 640, 3200, 3200); // 210 records
    CSimTestHost host("sim:noise=1e-5,drop=0.02,seed=" + std::to_string(GetParam()) +
                          ",images=" + dir.Path(),
                      dir.Path());
    ASSERT_TRUE(host.RunSession());
    const std::string log = host.Log();
    EXPECT_NE(log.find(kSucceeded), std::string::npos) << log;
    const int nBangs = CountOf(log, '!');
    EXPECT_GT(nBangs, 0) << log;
    ASSERT_TRUE(m_reports.Wait());
    const SimReport rep = m_reports.Last();
    ExpectExactMemory(rep, dir.Path());
    EXPECT_GT(rep.stats.nDropped, 0);
    // The unit saw a record again only after the host had refused its answer.
    EXPECT_LE(rep.stats.nRepeats, nBangs);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SimUploadNoise, ::testing::Values(1, 2, 3));

TEST_F(SimUpload, HeavyNoiseNeverGetsACorruptRecordAccepted) {
    TempDir dir;
    WriteSmallSet(dir.Path(), 24, 40, 640, 1600, 1600);
    CSimTestHost host("sim:noise=3e-4,badack=0.05,seed=7,images=" + dir.Path(), dir.Path());
    ASSERT_TRUE(host.RunSession());
    ASSERT_TRUE(m_reports.Wait());
    const SimReport rep = m_reports.Last();
    // Whatever the outcome, each phase holds an unaltered beginning of its image's records,
    // and all of them once the stage reported success.
    const std::string log = host.Log();
    for (int phase = 0; phase < 3; ++phase) {
        const auto expected = ExpectedRecords(dir.Path(), FILEIMG_POS_SBOOT + phase);
        const auto& got = rep.memory[static_cast<std::size_t>(phase)];
        ASSERT_LE(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], expected[i]) << "phase " << phase << " record " << i;
        const std::string next = "part " + std::to_string(phase + 4) + " of 5";
        if (phase < 2 && log.find(next) != std::string::npos) {
            EXPECT_EQ(got.size(), expected.size());
        }
    }
    EXPECT_GT(rep.stats.nRefused + rep.stats.nBadAcks, 0);
}

TEST_F(SimUpload, UnpluggedLineFailsTheStageClosesThePortAndLeavesNoThread) {
    TempDir dir;
    WriteSmallSet(dir.Path(), 24, 40, 64 * 64); // SBoot.bin: 64 records
    CSimTestHost host("sim:unplug=50,images=" + dir.Path(), dir.Path());
    // A sanitizer starts a helper thread of its own with the process's first thread: let that
    // happen before the count is taken.
    std::thread([] {}).join();
    const int nThreads = ThreadCount();
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = steady_clock::now();
    ASSERT_TRUE(host.RunSession());
    const double wall = duration<double>(steady_clock::now() - t0).count();
    const double cpu = ProcessCpuSeconds() - cpu0;
    const std::string log = host.Log();
    // Fifty records answered, then fifteen unanswered tries of the fifty-first.
    EXPECT_NE(log.find("Uploading firmware - part 3 of 5...\r\n# " + std::string(51, '.') +
                       std::string(15, '!') + " Failed!!!  -> Out of retries!!!\r\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(host.m_port.IsOpen());
    // The worker lets go of the host just before it ends: give it a moment (a loaded machine
    // running the suite under Wine takes its time to end a thread).
    for (int i = 0; i < 1000 && ThreadCount() > nThreads; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ThreadCount(), nThreads);
    // Fifteen tries of well over a second each, spent waiting rather than spinning.
    EXPECT_GT(wall, 15.0);
    EXPECT_LT(cpu, 0.5 * wall) << cpu << " s of CPU in " << wall << " s";
}

TEST_F(SimUpload, ACancelInEachStageEndsTheSessionAndTheEngineStartsAgainAtOnce) {
    TempDir dir;
    WriteSmallSet(dir.Path());
    CSimTestHost host("sim:images=" + dir.Path(), dir.Path());
    std::mutex m;
    std::condition_variable cv;
    int nWanted = 0;
    bool bReached = false;
    host.onLog = [&](const std::string& log) {
        std::lock_guard lock(m);
        const std::string line = "part " + std::to_string(nWanted) + " of 5...\r\n# ";
        const std::size_t at = log.find(line);
        // Stages 3 to 5 are cancelled among their records.
        if (at != std::string::npos &&
            (nWanted < 3 || log.find('.', at + line.size()) != std::string::npos)) {
            bReached = true;
            cv.notify_all();
        }
    };
    for (int nStage = 1; nStage <= 5; ++nStage) {
        {
            std::lock_guard lock(m);
            nWanted = nStage;
            bReached = false;
        }
        const std::size_t nLogBefore = host.Log().size();
        ASSERT_TRUE(host.StartUploadSession()) << "stage " << nStage;
        {
            std::unique_lock lock(m);
            ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return bReached; })) << host.Log();
        }
        EXPECT_TRUE(host.ConfirmCancel(host.GetCancelTicket()));
        ASSERT_TRUE(host.WaitForSessionEnd(60000));
        const std::string log = host.Log().substr(nLogBefore);
        EXPECT_GE(log.size(), std::string(LOG_USER_CANCELLED).size() + 1);
        EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
        EXPECT_NE(log.find("User cancelled...\r\n\r\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("part " + std::to_string(nStage + 1) + " of 5"), std::string::npos)
            << log;
        EXPECT_EQ(log.find("Failed"), std::string::npos) << log;
        EXPECT_FALSE(host.IsSessionRunning());
        EXPECT_FALSE(host.m_port.IsOpen());
    }
}
