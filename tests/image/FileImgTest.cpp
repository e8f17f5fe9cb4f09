// Loading the image set: table, kinds, counts, file-name fallback, failures and their texts.
#include "image/FileImg.h"
#include "ImageTestUtil.h"
#include "image/LRArray.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ImageTable, FiveImagesWithTheirBaseAddressesInLoadOrder) {
    const auto& t = GetImageTable();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_STREQ(t[0].pszFileName, "Shutup.bin");
    EXPECT_STREQ(t[1].pszFileName, "BootI.bin");
    EXPECT_STREQ(t[2].pszFileName, "SBoot.bin");
    EXPECT_STREQ(t[3].pszFileName, "kernimg.s19");
    EXPECT_STREQ(t[4].pszFileName, "Morvane.s19");
    EXPECT_EQ(t[0].nBaseAddr, 0);
    EXPECT_EQ(t[1].nBaseAddr, 0);
    EXPECT_EQ(t[2].nBaseAddr, 0x500);
    EXPECT_EQ(t[3].nBaseAddr, 0x10000);
    EXPECT_EQ(t[4].nBaseAddr, 0);
}

TEST(ImageTable, DirectoriesUnderTheProgramDirectory) {
    EXPECT_EQ(GetImageDir("/opt/morfw/bin/"), "/opt/morfw/bin/MorFWImg/");
    EXPECT_EQ(GetImageDir("./"), "./MorFWImg/");
    EXPECT_EQ(GetImageDir("/opt/x"), "/opt/x/MorFWImg/");
    EXPECT_EQ(GetIniPath("/opt/morfw/bin/"), "/opt/morfw/bin/MorFWImg/MorFWImg.ini");
#if defined(_WIN32)
    // One kind of separator in a path, whichever the program directory came with.
    EXPECT_EQ(GetImageDir("C:\\MorFW\\"), "C:\\MorFW\\MorFWImg\\");
    EXPECT_EQ(GetImageDir("C:\\MorFW"), "C:\\MorFW\\MorFWImg\\");
    EXPECT_EQ(GetIniPath(".\\"), ".\\MorFWImg\\MorFWImg.ini");
#endif
}

TEST(ImageTable, ExtensionsMatchWithoutRegardToCase) {
    EXPECT_EQ(GetFileImgType("a.s19"), FILEIMG_S19);
    EXPECT_EQ(GetFileImgType("A.S19"), FILEIMG_S19);
    EXPECT_EQ(GetFileImgType("x.y.Bin"), FILEIMG_BIN);
    EXPECT_EQ(GetFileImgType("bin"), FILEIMG_BIN); // no dot: the whole name is the extension
    EXPECT_EQ(GetFileImgType("a.hex"), -1);
    EXPECT_EQ(GetFileImgType("a.bin.txt"), -1);
}

TEST(LoadImageFiles, LoadsTheFiveImagesInOrderWithTheirBytes) {
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::create_directory(dir.Path() + "MorFWImg");
    for (const auto& e : GetImageTable())
        std::filesystem::rename(dir.Path() + e.pszFileName,
                                dir.Path() + "MorFWImg/" + e.pszFileName);

    CFileImgList list;
    std::int32_t nRecords = -1;
    std::string err;
    ASSERT_EQ(LoadImageFiles(dir.Path(), list, &nRecords, &err), S_OK) << err;
    ASSERT_EQ(list.size(), 5u);
    const auto sboot = Pattern(130, 3);
    const CFileImg* p = GetFileImgAt(list, FILEIMG_POS_SBOOT);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->strFileName, dir.Path() + "MorFWImg/SBoot.bin");
    EXPECT_EQ(p->nLength, 130);
    EXPECT_EQ(p->nType, FILEIMG_BIN);
    EXPECT_EQ(p->nBaseAddr, 0x500);
    EXPECT_TRUE(std::equal(sboot.begin(), sboot.end(), p->pData.get()));
    for (int i = 0; i < FILEIMG_SPARE; ++i)
        EXPECT_EQ(p->pData[130 + static_cast<std::size_t>(i)], 0);
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_KERNEL)->nType, FILEIMG_S19);
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_KERNEL)->nBaseAddr, 0x10000);
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_SHUTUP)->nLength, 250);
    EXPECT_EQ(GetFileImgAt(list, 5), nullptr);
    // SBoot 130 bytes: 3 records; kernel 2 S1 lines; firmware 1.
    EXPECT_EQ(nRecords, 3 + 2 + 1);
}

TEST(LoadImageFiles, NullCountPointerStillLoads) {
    CTempDir dir;
    WriteValidSet(dir);
    CFileImgList list;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr), S_OK);
    EXPECT_EQ(list.size(), 5u);
}

TEST(LoadImageFiles, BinaryRecordCountIsCeilingOfLengthBy64AndBootImagesAddNothing) {
    for (auto [len, expected] : {std::pair{1, 1}, {64, 1}, {65, 2}, {128, 2}}) {
        CTempDir dir;
        WriteValidSet(dir);
        dir.Write("SBoot.bin", Pattern(static_cast<std::size_t>(len)));
        dir.Write("Shutup.bin", Pattern(MAX_BOOT_IMAGE_LENGTH));
        dir.Write("BootI.bin", Pattern(1));
        CFileImgList list;
        std::int32_t n = -1;
        ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n), S_OK);
        EXPECT_EQ(n, expected + 2 + 1) << "SBoot.bin of " << len << " bytes";
    }
}

TEST(LoadImageFiles, SRecordCountIsEveryCapitalS1PairAndEveryS1LineBecomesOneRecord) {
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("SBoot.bin", std::string(1, '\x5A'));
    dir.Write("kernimg.s19", MakeS1(0, {1}) + "\n" + MakeS1(2, {3}) + "\n" + "S9030000FC\n");
    dir.Write("Morvane.s19", std::string(kS0) + "\n" + MakeS1(0, {1, 2}) + "\n");
    CFileImgList list;
    std::int32_t n = -1;
    std::string err;
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), S_OK) << err;
    EXPECT_EQ(n, 1 + 2 + 1);

    // An s1 line is sent like an S1 line; the bar (which counts capital S1 only) just ends
    // short of its last records.
    dir.Write("Morvane.s19", MakeS1(0, {1}) + "\ns1040001FFFB\nS9030000FC\n");
    list.clear();
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), S_OK) << err;
    EXPECT_EQ(n, 1 + 2 + 1);
    EXPECT_EQ(CLRArray(GetFileImgAt(list, FILEIMG_POS_FIRMWARE)).GetSize(), 2);

    // S1 in a header's text would be a record nobody sends: refused.
    dir.Write("Morvane.s19", "S0 header S1 text\n" + MakeS1(0, {1, 2}) + "\n");
    list.clear();
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), E_FAIL);
    EXPECT_EQ(err, dir.Path() + "Morvane.s19, line 1: \"S1\" inside a line that is not an S1 "
                                "record; its data would be dropped");
}

TEST(LoadImageFiles, MissingFileStopsTheLoadAndKeepsTheEarlierRecords) {
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::remove(dir.Path() + "kernimg.s19");
    // Were it read, this Morvane.s19 would fail with a text of its own.
    dir.Write("Morvane.s19", "S1FF");
    CFileImgList list;
    std::int32_t n = -1;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), E_FAIL);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(err, dir.Path() + "kernimg.s19: cannot open: No such file or directory");
}

TEST(LoadImageFiles, MissingImageDirectoryFailsAtTheFirstFile) {
    CTempDir dir;
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFiles(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_TRUE(list.empty());
    EXPECT_THAT(err, HasSubstr("MorFWImg/Shutup.bin: cannot open"));
}

TEST(LoadImageFiles, FileNamesFallBackToASingleCaseInsensitiveMatch) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names ignore case already";
#endif
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::rename(dir.Path() + "kernimg.s19", dir.Path() + "KERNIMG.S19");
    std::filesystem::rename(dir.Path() + "SBoot.bin", dir.Path() + "sboot.BIN");
    CFileImgList list;
    std::string err;
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), S_OK) << err;
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_KERNEL)->strFileName, dir.Path() + "KERNIMG.S19");
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_KERNEL)->nType, FILEIMG_S19);
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_SBOOT)->strFileName, dir.Path() + "sboot.BIN");
}

TEST(LoadImageFiles, TheExactNameWinsOverOtherCaseVariants) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names ignore case already";
#endif
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("KERNIMG.S19", "garbage that would not validate S1zz");
    CFileImgList list;
    std::string err;
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), S_OK) << err;
    EXPECT_EQ(GetFileImgAt(list, FILEIMG_POS_KERNEL)->strFileName, dir.Path() + "kernimg.s19");
}

TEST(LoadImageFiles, TwoCaseInsensitiveMatchesAreAmbiguous) {
#if defined(_WIN32)
    GTEST_SKIP() << "a Windows folder cannot hold two such names";
#endif
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::rename(dir.Path() + "kernimg.s19", dir.Path() + "KERNIMG.S19");
    dir.Write("Kernimg.s19", MakeS1(0, {1}));
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(err, dir.Path() + "kernimg.s19: ambiguous: more than one file matches "
                                "\"kernimg.s19\" without regard to letter case (KERNIMG.S19, "
                                "Kernimg.s19)");
}

TEST(LoadImageFiles, UnknownExtensionIsUnexpectedAndNotAppended) {
    CTempDir dir;
    dir.Write("a.bin", "x");
    dir.Write("b.hex", "y");
    dir.Write("c.bin", "z");
    const FILEIMG_ENTRY table[] = {{"a.bin", 0}, {"b.hex", 0}, {"c.bin", 0}};
    CFileImgList list;
    EXPECT_EQ(LoadImageFilesFromTable(dir.Path(), table, list, nullptr), E_UNEXPECTED);
    EXPECT_EQ(list.size(), 1u);
}

TEST(LoadImageFiles, TableEndsAtTheEntryWithAnEmptyName) {
    CTempDir dir;
    dir.Write("a.BIN", "x");
    const FILEIMG_ENTRY table[] = {{"a.BIN", 0}, {"", 0}, {"missing.bin", 0}};
    CFileImgList list;
    EXPECT_EQ(LoadImageFilesFromTable(dir.Path(), table, list, nullptr), S_OK);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front()->nType, FILEIMG_BIN);
}

TEST(LoadImageFiles, SomethingThatIsNotAFileFailsTheLoad) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows refuses to open a folder as a file (another text)";
#endif
    CTempDir dir;
    WriteValidSet(dir);
    std::filesystem::remove(dir.Path() + "BootI.bin");
    std::filesystem::create_directory(dir.Path() + "BootI.bin");
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(err, dir.Path() + "BootI.bin: not a regular file");
}

TEST(LoadImageFiles, UnreadableFileFails) {
#if defined(_WIN32)
    GTEST_SKIP() << "no file modes to take reading away";
#else
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
#endif
    CTempDir dir;
    WriteValidSet(dir);
    ::chmod((dir.Path() + "Morvane.s19").c_str(), 0);
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(err, dir.Path() + "Morvane.s19: cannot open: Permission denied");
}

// A part that would send nothing must not end in "Succeeded": every empty image is refused,
// and so is an S-record image without any S1 data record, before a port is opened.
TEST(LoadImageFiles, ImagesThatWouldSendNothingAreRefusedNamingTheirPart) {
    const std::string kNothing = " would send nothing to the unit";
    for (int nPos = 0; nPos < FILEIMG_COUNT; ++nPos) {
        CTempDir dir;
        WriteValidSet(dir);
        const std::string name = GetImageTable()[static_cast<std::size_t>(nPos)].pszFileName;
        dir.Write(name, std::string());
        CFileImgList list;
        std::string err;
        EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL) << name;
        EXPECT_EQ(list.size(), static_cast<std::size_t>(nPos));
        EXPECT_EQ(err, dir.Path() + name + ": empty file; part " + std::to_string(nPos + 1) +
                           " of 5" + kNothing);
    }
    CTempDir dir;
    WriteValidSet(dir);
    CFileImgList list;
    std::string err;
    dir.Write("kernimg.s19", "S0030000FC\nS9030000FC\n");
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(err, dir.Path() + "kernimg.s19: no S1 data record; part 4 of 5" + kNothing);
    // A binary under an S-record name is no S-record from its first byte on.
    dir.Write("kernimg.s19", std::string("\x7F"
                                         "ELF\x01\x02\x00\x00",
                                         8));
    list.clear();
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(err, dir.Path() + "kernimg.s19, line 1: not an S-record: byte 0x7F at column 1 "
                                "instead of S");
    // Saved as UTF-16 by an editor: say so, since the file looks right when opened.
    WriteValidSet(dir);
    std::string utf16 = "\xFF\xFE";
    for (const char c : MakeS1(0, {1}) + "\r\n")
        utf16 += std::string{c, '\0'};
    dir.Write("Morvane.s19", utf16);
    list.clear();
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(err, dir.Path() +
                       "Morvane.s19: UTF-16 text (S-record files are ASCII text), no S1 data "
                       "record; part 5 of 5" +
                       kNothing);
}

// A boot image goes out in one frame of at most 4096 bytes; a larger one is refused by its
// size alone, before a byte of it is read.
TEST(LoadImageFiles, BootImageLongerThanOneFrameIsRefused) {
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("BootI.bin", Pattern(MAX_BOOT_IMAGE_LENGTH + 1));
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(err, dir.Path() + "BootI.bin: 4096 bytes; a boot image can have at most 4095");
}

// A line feed in a directory name must not forge a line of the log.
TEST(LoadImageFiles, ControlCharactersInThePathAreEscapedInTheReason) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names hold no control characters";
#endif
    CTempDir dir;
    const std::string sub = dir.Path() + "new\nline/";
    std::filesystem::create_directory(sub);
    CFileImgList list;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(sub, list, nullptr, &err), E_FAIL);
    EXPECT_EQ(err, dir.Path() + "new\\nline/Shutup.bin: cannot open: No such file or directory");
}

// SBoot.bin sits at 0x500: its last byte may have the full address 0x1FFFF, no more.
TEST(LoadImageFiles, BinaryLoadImageReachingTheFullAddress0x20000IsRefused) {
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("SBoot.bin", Pattern(0x20000 - 0x500));
    CFileImgList list;
    std::int32_t n = 0;
    std::string err;
    ASSERT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), S_OK) << err;
    EXPECT_EQ(n, (0x20000 - 0x500) / 64 + 3);

    dir.Write("SBoot.bin", Pattern(0x20000 - 0x500 + 1));
    list.clear();
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), E_FAIL);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_THAT(err, StartsWith(dir.Path() + "SBoot.bin: image of 129793 bytes at base address "
                                             "0x500 reaches the address 0x20000"));
}

TEST(LoadImageFiles, BootImagesAreNotLoadRecordsAndMayFillOneFrame) {
    CTempDir dir;
    WriteValidSet(dir);
    dir.Write("Shutup.bin", Pattern(MAX_BOOT_IMAGE_LENGTH));
    dir.Write("BootI.bin", Pattern(MAX_BOOT_IMAGE_LENGTH));
    CFileImgList list;
    std::int32_t n = 0;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n), S_OK);
    EXPECT_EQ(n, 3 + 2 + 1);
}

TEST(LoadImageFiles, InvalidSRecordImageNamesFileLineAndFault) {
    CTempDir dir;
    WriteValidSet(dir);
    std::string bad = MakeS1(0x10, {1, 2, 3});
    bad[bad.size() - 1] = bad.back() == '0' ? '1' : '0';
    dir.Write("Morvane.s19", std::string(kS0) + "\r\n" + MakeS1(0, {9}) + "\r\n\r\n" + bad +
                                 "\r\n" + kS9 + "\r\n");
    CFileImgList list;
    std::int32_t n = -1;
    std::string err;
    EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, &n, &err), E_FAIL);
    EXPECT_EQ(list.size(), 4u);
    EXPECT_THAT(err, StartsWith(dir.Path() + "Morvane.s19, line 4: S-record checksum mismatch"));
}

TEST(LoadImageFiles, SRecordImageWithS2OrS3DataIsRefused) {
    for (const char* line : {"S2080100004142434441", "S30900010000414243443F"}) {
        CTempDir dir;
        WriteValidSet(dir);
        dir.Write("kernimg.s19", MakeS1(0, {1}) + "\n" + line + "\n" + kS9 + "\n");
        CFileImgList list;
        std::string err;
        EXPECT_EQ(LoadImageFilesFromDir(dir.Path(), list, nullptr, &err), E_FAIL);
        EXPECT_EQ(list.size(), 3u);
        EXPECT_THAT(err,
                    StartsWith(dir.Path() + "kernimg.s19, line 2: S" + line[1] + " data record"));
    }
}

TEST(FirmwareRevision, ReadFromTheIniFileOrDefault) {
    CTempDir dir;
    std::filesystem::create_directory(dir.Path() + "MorFWImg");
    EXPECT_EQ(GetFirmwareRevision(dir.Path()), "Unspecified");
    std::ofstream(dir.Path() + "MorFWImg/MorFWImg.ini") << "[Firmware_Info]\r\nVerion=2.14.0\r\n";
    EXPECT_EQ(GetFirmwareRevision(dir.Path()), "2.14.0");
    std::ofstream(dir.Path() + "MorFWImg/MorFWImg.ini") << "[Firmware_Info]\nVersion=2.14.0\n";
    EXPECT_EQ(GetFirmwareRevision(dir.Path()), "Unspecified");
}
