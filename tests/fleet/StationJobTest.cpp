// What a station keeps of its job and its day, shared by the window and morfw: the fixtures'
// list with labels, the day's counts, and the image set held by its digest.

#include "FleetTestSupport.h"

#include "fleet/DayCounts.h"
#include "fleet/FixtureList.h"
#include "fleet/ImageLock.h"
#include "fleet/UnitState.h"

#include <gtest/gtest.h>

using namespace fleettest;

TEST(FleetFixtureList, APortAndItsLabelFromASecondColumnOrAComment) {
    const struct {
        const char* line;
        bool bFixture;
        const char* port;
        const char* label;
    } cases[] = {
        {"/dev/ttyUSB0", true, "/dev/ttyUSB0", ""},
        {"  /dev/ttyUSB0\tA1 \r", true, "/dev/ttyUSB0", "A1"},
        {"/dev/ttyUSB0 # A1", true, "/dev/ttyUSB0", "A1"},
        {"/dev/ttyUSB0  rack A, left  # spare", true, "/dev/ttyUSB0", "rack A, left"},
        {"/dev/ttyUSB#3 #", true, "/dev/ttyUSB#3", ""},
        {"sim:seed=2,ok=0#x", true, "sim:seed=2,ok=0#x", ""},
        {"# only a comment", false, "", ""},
        {" \t\r", false, "", ""},
    };
    for (const auto& c : cases) {
        fleet::Fixture f;
        ASSERT_EQ(fleet::ParseFixtureLine(c.line, f), c.bFixture) << c.line;
        if (!c.bFixture)
            continue;
        EXPECT_EQ(f.strPort, c.port) << c.line;
        EXPECT_EQ(f.strLabel, c.label) << c.line;
    }
}

TEST(FleetDayCounts, YieldAndPaceOfTheJudgedUnits) {
    fleet::DayCounts d;
    EXPECT_EQ(fleet::FormatYield(d.YieldPercent()), "-");
    EXPECT_EQ(fleet::FormatUnitsPerHour(d.UnitsPerHour(100)), "-");
    d.OnStarted(0);
    for (int i = 0; i < 998; ++i)
        d.OnFinished(fleet::kCodeSuccess, 1800);
    d.OnFinished(fleet::kCodePort, 1800);
    d.OnFinished(fleet::kCodeLogFile, 1800);   // no record: not shippable
    d.OnFinished(fleet::kCodeCancelled, 1800); // never judged
    EXPECT_EQ(d.Passed(), 998);
    EXPECT_EQ(d.Failed(), 2);
    EXPECT_EQ(d.Cancelled(), 1);
    EXPECT_EQ(fleet::FormatYield(d.YieldPercent()), "99.8 %");
    // Half an hour since the first start: a thousand units in it are two thousand an hour.
    EXPECT_EQ(fleet::FormatUnitsPerHour(d.UnitsPerHour(1800)), "2000");
    // Only the last hour counts once the day is longer.
    EXPECT_EQ(fleet::FormatUnitsPerHour(d.UnitsPerHour(5399)), "1000");
    EXPECT_EQ(fleet::FormatUnitsPerHour(d.UnitsPerHour(5401)), "0");

    fleet::DayCounts early;
    early.OnStarted(0);
    early.OnFinished(fleet::kCodeSuccess, 20);
    EXPECT_LT(early.UnitsPerHour(30), 0) << "a minute in, too early to say";
    EXPECT_EQ(fleet::FormatYield(99.99), "99.9 %") << "never rounded up to 100";
    EXPECT_EQ(fleet::FormatYield(100), "100 %");
}

TEST(FleetImageLock, TheSetIsJudgedOnceAndEveryChangeIsNamed) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const fleet::ImageSetLock held = fleet::JudgeImageSet(set.string());
    ASSERT_TRUE(held.bValid) << held.strProblem;
    EXPECT_EQ(held.strImageDir, set.string() + "/");
    EXPECT_EQ(held.strSetDigest.size(), 64u);
    EXPECT_EQ(fleet::DescribeImageChange(held, fleet::ReadImageSet(set.string())), "");

    // The same bytes written again are the same set.
    WriteFile(set / "SBoot.bin", ReadFile(set / "SBoot.bin"));
    EXPECT_EQ(fleet::DescribeImageChange(held, fleet::ReadImageSet(set.string())), "");

    const std::string oldKernel = held.digests[3].strHex;
    WriteFile(set / "kernimg.s19", ReadFile(set / "kernimg.s19") + "\n");
    fs::remove(set / "Morvane.s19");
    WriteFile(set / "MorFWImg.ini", "[Firmware_Info]\nVerion=9.9\n");
    const fleet::ImageSetLock now = fleet::ReadImageSet(set.string());
    EXPECT_EQ(fleet::DescribeImageChange(held, now),
              "kernimg.s19 changed (sha256 " + oldKernel.substr(0, 12) + " is now " +
                  now.digests[3].strHex.substr(0, 12) +
                  ")\nMorvane.s19 cannot be read: " + now.digests[4].strError +
                  "\nthe revision changed from " + held.strRevision + " to 9.9");
    EXPECT_FALSE(now.bValid);

    const fleet::ImageSetLock judged = fleet::JudgeImageSet(set.string());
    EXPECT_FALSE(judged.bValid);
    EXPECT_TRUE(judged.strProblem.starts_with("Morvane.s19: ")) << judged.strProblem;
}
