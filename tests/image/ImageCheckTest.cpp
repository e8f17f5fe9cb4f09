// Checking an image directory without a port.
#include "image/ImageCheck.h"
#include "ImageTestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

using ::testing::HasSubstr;

TEST(ImageCheck, GoodSetReportsEveryFile) {
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("MorFWImg.ini", "[Firmware_Info]\nVerion=5.0\n");
    const IMAGE_SET_CHECK c = CheckImageDir(dir.Path());
    EXPECT_TRUE(c.bValid);
    EXPECT_TRUE(c.bIniFound);
    EXPECT_EQ(c.strRevision, "5.0");
    EXPECT_EQ(c.strIniPath, dir.Path() + "MorFWImg.ini");
    ASSERT_EQ(c.files.size(), 5u);
    EXPECT_EQ(c.files[0].strName, "Shutup.bin");
    EXPECT_EQ(c.files[0].nLength, 250);
    EXPECT_EQ(c.files[0].nRecords, 0);
    EXPECT_EQ(c.files[2].nType, FILEIMG_BIN);
    EXPECT_EQ(c.files[2].nBaseAddr, 0x500);
    EXPECT_EQ(c.files[2].nCounted, 3);
    EXPECT_EQ(c.files[2].nRecords, 3);
    EXPECT_EQ(c.files[3].nType, FILEIMG_S19);
    EXPECT_EQ(c.files[3].nRecords, 2);
    EXPECT_EQ(c.files[4].nCounted, 1);
    EXPECT_EQ(c.nTotalCounted, 6);
    for (const auto& f : c.files) {
        EXPECT_TRUE(f.bFound);
        EXPECT_TRUE(f.bValid);
        EXPECT_EQ(f.strError, "");
        EXPECT_EQ(f.strPath, dir.Path() + f.strName);
    }
}

TEST(ImageCheck, BrokenSetNamesEveryFaultAndGoesOnPastTheFirst) {
    CTempDir dir; // no INI file, so the revision is the default
    WriteValidSet(dir);
    std::filesystem::remove(dir.Path() + "BootI.bin");
    dir.Write("kernimg.s19", MakeS1(0, {1}) + "\nS1130000\n");
    std::filesystem::rename(dir.Path() + "Morvane.s19", dir.Path() + "MORVANE.S19");
    const IMAGE_SET_CHECK c = CheckImageDir(dir.Path().substr(0, dir.Path().size() - 1));
    EXPECT_FALSE(c.bValid);
    EXPECT_FALSE(c.bIniFound);
    EXPECT_EQ(c.strRevision, "Unspecified");
    ASSERT_EQ(c.files.size(), 5u);
    EXPECT_TRUE(c.files[0].bValid);
    EXPECT_FALSE(c.files[1].bFound);
    EXPECT_FALSE(c.files[1].bValid);
    EXPECT_EQ(c.files[1].nLength, -1);
    EXPECT_THAT(c.files[1].strError, HasSubstr("BootI.bin: cannot open"));
    EXPECT_TRUE(c.files[3].bFound);
    EXPECT_FALSE(c.files[3].bValid);
    EXPECT_THAT(c.files[3].strError, HasSubstr("kernimg.s19, line 2: line is shorter"));
    EXPECT_TRUE(c.files[4].bValid);
#if !defined(_WIN32) // Windows finds the name as asked for, whatever its case
    EXPECT_EQ(c.files[4].strPath, dir.Path() + "MORVANE.S19");
#endif
}

// The check and the upload's loading are one judge: for every fault the tests know, the check's
// verdict is the loading's result, and its first fault is the reason the loading gives.
TEST(ImageCheck, EveryFaultIsJudgedAlikeByTheCheckAndByTheLoading) {
    const std::vector<std::pair<std::string, std::function<void(const CTempDir&)>>> faults = {
        {"valid", [](const CTempDir&) {}},
        {"missing", [](const CTempDir& d) { std::filesystem::remove(d.Path() + "SBoot.bin"); }},
        {"empty boot image", [](const CTempDir& d) { d.Write("BootI.bin", std::string()); }},
        {"empty binary part", [](const CTempDir& d) { d.Write("SBoot.bin", std::string()); }},
        {"empty S-record part", [](const CTempDir& d) { d.Write("Morvane.s19", std::string()); }},
        {"boot image too long",
         [](const CTempDir& d) { d.Write("Shutup.bin", Pattern(MAX_BOOT_IMAGE_LENGTH + 1)); }},
        {"boot image at the limit",
         [](const CTempDir& d) { d.Write("Shutup.bin", Pattern(MAX_BOOT_IMAGE_LENGTH)); }},
        {"no S1 record",
         [](const CTempDir& d) { d.Write("kernimg.s19", "S0030000FC\nS9030000FC\n"); }},
        {"lower-case s1",
         [](const CTempDir& d) { d.Write("kernimg.s19", "s" + MakeS1(0, {1}).substr(1) + "\n"); }},
        {"S1 in a header",
         [](const CTempDir& d) { d.Write("kernimg.s19", "S0 S1\n" + MakeS1(0, {1})); }},
        {"checksum", [](const CTempDir& d) { d.Write("Morvane.s19", "S1040000FF00\n"); }},
        {"short line", [](const CTempDir& d) { d.Write("Morvane.s19", "S1130000\n"); }},
        {"S2 record", [](const CTempDir& d) { d.Write("Morvane.s19", "S20500000001F9\n"); }},
        {"beyond 0x1FFFF",
         [](const CTempDir& d) { d.Write("SBoot.bin", Pattern(0x20000 - 0x4FF)); }},
        {"a directory",
         [](const CTempDir& d) {
             std::filesystem::remove(d.Path() + "BootI.bin");
             std::filesystem::create_directory(d.Path() + "BootI.bin");
         }},
    };
    for (const auto& [name, spoil] : faults) {
        CTempDir dir;
        WriteValidSet(dir);
        spoil(dir);
        CFileImgList list;
        std::string err;
        const bool bLoads = SUCCEEDED(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err));
        const IMAGE_SET_CHECK c = CheckImageDir(dir.Path());
        EXPECT_EQ(c.bValid, bLoads) << name;
        std::string first;
        for (const auto& f : c.files) {
            if (!f.bValid) {
                first = f.strError;
                break;
            }
        }
        EXPECT_EQ(first, bLoads ? "" : err) << name;
    }
}

// A file the check cannot look at for want of permission is not called missing.
TEST(ImageCheck, AFolderThatCannotBeReadHidesNoMissingFile) {
#if defined(_WIN32)
    GTEST_SKIP() << "no file modes to take reading away";
#else
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every folder";
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::rename(dir.Path() + "SBoot.bin", dir.Path() + "SBOOT.BIN");
    for (const auto& [mode, reason] :
         {std::pair<mode_t, std::string>{0300, "cannot open: No such file or directory (the folder "
                                               "cannot be read to look for the name in another "
                                               "letter case: Permission denied)"},
          {0600, "cannot open: Permission denied"}}) {
        ::chmod(dir.Path().c_str(), mode); // no listing, then no search
        const IMAGE_SET_CHECK c = CheckImageDir(dir.Path());
        ::chmod(dir.Path().c_str(), 0700);
        EXPECT_FALSE(c.files[2].bMissing || c.files[2].bValid);
        EXPECT_EQ(c.files[2].strError, dir.Path() + "SBoot.bin: " + reason);
    }
#endif
}
