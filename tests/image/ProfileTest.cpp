// The INI lookup that gives the firmware revision.
#include "image/Profile.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

namespace {

std::string Rev(const std::string& text) {
    return ParseProfileString(text, FWINFO_SECTION, FWINFO_KEY, FWINFO_DEFAULT, FWINFO_BUFFER);
}

} // namespace

TEST(Profile, ReadsTheKeyOfItsSection) {
    EXPECT_EQ(Rev("[Firmware_Info]\r\nVerion=3.1.7 (2024-05-02)\r\n"), "3.1.7 (2024-05-02)");
    EXPECT_EQ(Rev("[Other]\nVerion=1\n[Firmware_Info]\nX=2\nVerion=3\n[Later]\nVerion=4\n"), "3");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=3"), "3"); // no line end at the end of the file
}

TEST(Profile, MissingSectionKeyOrFileGivesTheDefault) {
    EXPECT_EQ(Rev(""), "Unspecified");
    EXPECT_EQ(Rev("[Firmware_Info]\nVersion=2\n"), "Unspecified");
    EXPECT_EQ(Rev("[Other]\nVerion=2\n"), "Unspecified");
    EXPECT_EQ(Rev("Verion=2\n[Firmware_Info]\n"), "Unspecified");
    EXPECT_EQ(Rev("[Firmware_Info]\n; Verion=2\n"), "Unspecified");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion\n"), "Unspecified");
    CTempDir dir;
    EXPECT_EQ(GetPrivateProfileString("Firmware_Info", "Verion", "Unspecified", 128,
                                      dir.Path() + "none.ini"),
              "Unspecified");
    EXPECT_EQ(GetPrivateProfileString("Firmware_Info", "Verion", "Unspecified", 128, dir.Path()),
              "Unspecified");
}

TEST(Profile, NamesWithoutRegardToCaseAndBlanksTrimmed) {
    EXPECT_EQ(Rev("  [ firmware_INFO ]  \n\t VERION \t=\t  1.0 beta \t\r\n"), "1.0 beta");
}

TEST(Profile, OnePairOfQuotesRemoved) {
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=\"  2.0  \"\n"), "  2.0  ");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion='x'\n"), "x");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=\"\"a\"\"\n"), "\"a\"");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=\"a\n"), "\"a");
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=\"\n"), "\"");
}

TEST(Profile, EmptyValueIsEmptyNotTheDefault) {
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=\n"), "");
}

TEST(Profile, ValueCutTo127Characters) {
    const std::string v(200, 'v');
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=" + v + "\n"), std::string(127, 'v'));
    EXPECT_EQ(Rev("[Firmware_Info]\nVerion=" + v.substr(0, 127) + "\n"), std::string(127, 'v'));
    EXPECT_EQ(ParseProfileString("", "a", "b", "default", 4), "def");
}

TEST(Profile, ByteOrderMarkAndEqualsSignInTheValue) {
    EXPECT_EQ(Rev("\xEF\xBB\xBF[Firmware_Info]\nVerion=a=b\n"), "a=b");
}

TEST(Profile, ReadsAFile) {
    CTempDir dir;
    dir.Write("MorFWImg.ini", "; revision of the image set\r\n[Firmware_Info]\r\nVerion=R7\r\n");
    EXPECT_EQ(GetPrivateProfileString("Firmware_Info", "Verion", "Unspecified", 128,
                                      dir.Path() + "MorFWImg.ini"),
              "R7");
}

// When the default is taken, the lookup says why; a file is read only up to the answer, and no
// further than its first PROFILE_MAX_READ bytes, whatever its size.
TEST(Profile, AFileIsReadUpToTheAnswerAndTheDefaultIsExplained) {
    CTempDir dir;
    const std::string ini = dir.Path() + "MorFWImg.ini";
    const std::string filler = "; " + std::string(PROFILE_MAX_READ, '-') + "\n";
    const std::string longLine = "x=" + std::string(PROFILE_MAX_LINE * 2, 'y') + "\n";
    const std::pair<std::string, PROFILE_VALUE> cases[] = {
        {"[Firmware_Info]\nVerion=R7\n" + filler + filler, {"R7", true, ""}},
        {"[Firmware_Info]\n" + longLine + "Verion=R8", {"R8", true, ""}},
        {"[Firmware_Info]\n" + filler + "Verion=R9\n",
         {"Unspecified", false, "no Verion key in [Firmware_Info] within its first 1048576 bytes"}},
        {"[Firmware_Info]\nVersion=1\n[Later]\nVerion=2\n",
         {"Unspecified", false, "no Verion key in [Firmware_Info]"}},
        {"[Other]\nVerion=1\n", {"Unspecified", false, "no [Firmware_Info] section"}},
    };
    for (const auto& [text, expected] : cases) {
        dir.Write("MorFWImg.ini", text);
        const PROFILE_VALUE v =
            ReadProfileValue(FWINFO_SECTION, FWINFO_KEY, FWINFO_DEFAULT, FWINFO_BUFFER, ini);
        EXPECT_EQ(v.strValue, expected.strValue) << text.substr(0, 40);
        EXPECT_EQ(v.bFound, expected.bFound) << text.substr(0, 40);
        EXPECT_EQ(v.strNote, expected.strNote) << text.substr(0, 40);
    }
    std::filesystem::remove(ini);
    EXPECT_EQ(ReadProfileValue("a", "b", "c", 128, ini).strNote, "not found");
    std::filesystem::create_directory(ini);
    EXPECT_EQ(ReadProfileValue("a", "b", "c", 128, ini).strNote, "not a regular file");
}
