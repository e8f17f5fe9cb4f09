// The S-record reader's line finding and the checks that make an image set invalid.
#include "image/SRecord.h"
#include "ImageTestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;

namespace {

struct Found {
    std::string text;
    int line;
};

std::vector<Found> Lines(const std::string& image) {
    std::vector<Found> out;
    ForEachSRecordLine(reinterpret_cast<const BYTE*>(image.data()),
                       static_cast<std::int32_t>(image.size()), [&](const SREC_LINE& l) {
                           out.push_back({std::string(l.pText, static_cast<std::size_t>(l.nLength)),
                                          l.nLineNumber});
                           return true;
                       });
    return out;
}

// The fault text for an image, or "" when it validates.
std::string Fault(const std::string& image) {
    std::string err;
    std::int32_t n = 0;
    if (SUCCEEDED(ValidateSRecordImage(reinterpret_cast<const BYTE*>(image.data()),
                                       static_cast<std::int32_t>(image.size()), "f.s19", &err, &n)))
        return "";
    return err;
}

} // namespace

TEST(SRecordLines, FoundFromSToLineEndWithPhysicalLineNumbers) {
    const auto lines = Lines("xy\r\n\r\nS1ab\rs2cd\n  junk\n  S9ef");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "xy");
    EXPECT_EQ(lines[0].line, 1);
    EXPECT_EQ(lines[1].text, "S1ab");
    EXPECT_EQ(lines[1].line, 3);
    EXPECT_EQ(lines[2].text, "s2cd");
    EXPECT_EQ(lines[2].line, 4);
    EXPECT_EQ(lines[3].text, "S9ef");
    EXPECT_EQ(lines[3].line, 6);
}

TEST(SRecordLines, EmptyImageHasNoLineAndAFinalLineEndAddsNone) {
    EXPECT_TRUE(Lines("").empty());
    const auto lines = Lines("S1\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "S1");
}

TEST(SRecordDecode, ValidLineAnyLetterCase) {
    std::string line = MakeS1(0xBEEF, {0x00, 0x7F, 0xFF});
    for (auto& c : line)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SREC_LINE l{line.data(), static_cast<int>(line.size()), 1};
    S1_RECORD rec;
    std::string fault;
    ASSERT_EQ(DecodeS1Line(l, rec, fault), S_OK) << fault;
    EXPECT_EQ(rec.wAddr, 0xBEEF);
    ASSERT_EQ(rec.nData, 3);
    EXPECT_EQ(rec.data[1], 0x7F);
    EXPECT_EQ(rec.data[2], 0xFF);
}

TEST(SRecordValidate, EachFaultIsNamedWithFileAndLine) {
    const std::string ok = MakeS1(0, {1, 2}) + "\n";
    std::string badSum = MakeS1(0x20, {0x11});
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    struct Case {
        std::string line;
        std::string fault;
    };
    const Case cases[] = {
        {"S1020000FD", "byte count 02 is below 3"},
        {"S1", "line is too short to hold a byte count"},
        {"S1130000AABB", "line is shorter than its byte count says (count 13 needs 42 characters, "
                         "line has 12)"},
        {"S1050000G10000", "'G' at column 9 is not a hexadecimal digit"},
        {"S1X5", "'X' at column 3 is not a hexadecimal digit"},
        {"S1" + std::string(1022, '0'), "line is longer than 1023 characters"},
        {badSum, "S-record checksum mismatch (line has "},
        {MakeS1(0, {1}) + "00", "unexpected '0' at column 13 after the checksum"},
        {"S214000000", "S2 data record (24-bit address); only S1 records can be loaded"},
        {"s3150000000000", "S3 data record (32-bit address)"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(Fault(ok + "\r\n" + c.line + "\r\n" + kS9),
                    HasSubstr("f.s19, line 3: " + c.fault))
            << c.line;
        // As the image's last line too, with nothing behind it.
        EXPECT_THAT(Fault(ok + c.line), HasSubstr("f.s19, line 2: " + c.fault)) << c.line;
    }
}

TEST(SRecordValidate, SoundImagesPassAndCountTheirS1Lines) {
    const std::string image = std::string(kS0) + "\n" + MakeS1(0, Pattern(252)) + " \t\n" +
                              MakeS1(0x100, {}) + "\n" + "S5030002FA\n" + "S7050000000FA\n" +
                              "S80400000FB\n" + kS9;
    std::string err;
    std::int32_t n = -1;
    EXPECT_EQ(ValidateSRecordImage(reinterpret_cast<const BYTE*>(image.data()),
                                   static_cast<std::int32_t>(image.size()), "f", &err, &n),
              S_OK)
        << err;
    EXPECT_EQ(n, 2);
    EXPECT_EQ(Fault(""), "");
    EXPECT_EQ(Fault("text without records"), "");
}

TEST(SRecordValidate, OnlyTheFirstLineMayStartWithAnyByteAndItIsCheckedToo) {
    // Converted although it is no S1 line: refused rather than sent unnoticed.
    EXPECT_THAT(Fault("\x01" + MakeS1(0, {1}).substr(1)),
                HasSubstr("f.s19, line 1: line does not begin with S1 but would be converted as "
                          "an S1 record"));
    EXPECT_THAT(Fault("X1FF"), HasSubstr("line 1: line does not begin with S1"));
}

TEST(SRecordValidate, ABomAndBlanksBeforeTheFirstLineAreSkippedAndLinesStillCount) {
    const std::string records = MakeS1(0, {1, 2}) + "\n" + MakeS1(0x10, {3}) + "\n" + kS9;
    for (const std::string& lead :
         {std::string("\xEF\xBB\xBF"), std::string(" \t"), std::string("\xEF\xBB\xBF\r\n\n  ")}) {
        const std::string image = lead + records;
        std::string err;
        std::int32_t n = -1;
        EXPECT_EQ(ValidateSRecordImage(reinterpret_cast<const BYTE*>(image.data()),
                                       static_cast<std::int32_t>(image.size()), "f", &err, &n),
                  S_OK)
            << err;
        EXPECT_EQ(n, 2);
    }
    // Line numbers still count the blank lines skipped.
    EXPECT_THAT(Fault("\r\n\n" + MakeS1(0, {1}) + "\nS1FF"), HasSubstr("f.s19, line 4: "));
}

TEST(SRecordValidate, LowerCaseS1LinesAreSoundAndAnS1ThatWouldBeDroppedIsRefused) {
    const std::string one = MakeS1(0, {1});
    const std::string lower = one + "\n" + "s" + MakeS1(0x10, {2}).substr(1) + "\n" + kS9;
    std::string err;
    std::int32_t n = -1;
    EXPECT_EQ(ValidateSRecordImage(reinterpret_cast<const BYTE*>(lower.data()),
                                   static_cast<std::int32_t>(lower.size()), "f", &err, &n),
              S_OK)
        << err;
    EXPECT_EQ(n, 2);
    EXPECT_THAT(Fault(one + "\n" + "S0 S1 in a comment"),
                HasSubstr("f.s19, line 2: \"S1\" inside a line that is not an S1 record; its "
                          "data would be dropped"));
    EXPECT_THAT(Fault(one + "\n" + "S0 s1 in a comment"), HasSubstr("f.s19, line 2: \"S1\""));
}
