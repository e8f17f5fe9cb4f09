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
    int column;
};

std::vector<Found> Lines(const std::string& image) {
    std::vector<Found> out;
    ForEachSRecordLine(reinterpret_cast<const BYTE*>(image.data()),
                       static_cast<std::int32_t>(image.size()), [&](const SREC_LINE& l) {
                           out.push_back({std::string(l.pText, static_cast<std::size_t>(l.nLength)),
                                          l.nLineNumber, l.nColumn});
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

TEST(SRecordLines, EveryLineThatIsNotBlankUpToThePaddingAtTheEnd) {
    const auto lines =
        Lines(std::string("xy\r\n\r\nS1ab\rs2cd\n  junk\n \t S9ef\n\0\x1A \r\n\0", 33));
    const Found expected[] = {
        {"xy", 1, 1}, {"S1ab", 3, 1}, {"s2cd", 4, 1}, {"junk", 5, 3}, {"S9ef", 6, 4}};
    ASSERT_EQ(lines.size(), std::size(expected));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i].text);
        EXPECT_EQ(lines[i].line, expected[i].line) << expected[i].text;
        EXPECT_EQ(lines[i].column, expected[i].column) << expected[i].text;
    }
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
    EXPECT_EQ(rec.dwAddr, 0xBEEFu);
    ASSERT_EQ(rec.nData, 3);
    EXPECT_EQ(rec.data[1], 0x7F);
    EXPECT_EQ(rec.data[2], 0xFF);
}

// Every line that is not blank must be a sound S-record of a known type, whatever its type:
// a damaged line is refused, never skipped, so no record is lost while the upload says success.
TEST(SRecordValidate, EachFaultIsNamedWithFileAndLine) {
    const std::string ok = MakeS1(0, {1, 2}) + "\n";
    const std::string s1 = MakeS1(0x20, Pattern(16));
    std::string badSum = MakeS1(0x20, {0x11});
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    struct Case {
        std::string line; // line 3, between a sound S1 line and the S9 line
        std::string fault;
    };
    const Case cases[] = {
        {"S1020000FD", "byte count 02 is below 3"},
        {"S1", "line is too short to hold a byte count"},
        {"S1130000AABB", "line is shorter than its byte count says (count 13 needs 42 characters, "
                         "line has 12)"},
        {"S1050000G10000", "'G' at column 9 is not a hexadecimal digit"},
        {"S1X5", "'X' at column 3 is not a hexadecimal digit"},
        {" \t S1X5", "'X' at column 6 is not a hexadecimal digit"}, // from the line's start
        {"S1" + std::string(1022, '0'), "line is longer than 1023 characters"},
        {badSum, "S-record checksum mismatch (line has "},
        {MakeS1(0, {1}) + "00", "unexpected '0' at column 13 after the checksum"},
        {"S214000000", "S2 data record (24-bit address); only S1 records can be loaded"},
        {"s3150000000000", "S3 data record (32-bit address)"},
        // One character of an S1 line damaged.
        {"X" + s1.substr(1), "not an S-record: 'X' at column 1 instead of S"},
        {"S " + s1.substr(2), "not an S-record: byte 0x20 at column 2 instead of the record type "
                              "(a digit)"},
        {"S4" + s1.substr(2), "S4 is a reserved record type"},
        {"S7" + s1.substr(2), "S7 record holds 14 data bytes; a termination record holds none"},
        {"S5" + s1.substr(2), "S5 record holds 16 data bytes; a count record holds none"},
        {std::string(1, '\0') + s1, "not an S-record: byte 0x00 at column 1 instead of S"},
        // Records other than S1 are checked in full too.
        {"S00600004844521C", "S-record checksum mismatch (line has 1C, data give 1B)"},
        {"S0 header", "byte 0x20 at column 3 is not a hexadecimal digit"},
        {"S0 S1 header", "\"S1\" inside a line that is not an S1 record; its data would be "
                         "dropped"},
        {"S5030003F9", "S5 count record says 3 data records, but 1 S1 record precedes it"},
        {"S604000005F6", "S6 count record says 5 data records, but 1 S1 record precedes it"},
        // An S1 record whose data runs past the 16-bit address range would wrap onto 0x0000.
        {MakeS1(0xFFF0, Pattern(32)),
         "S1 record at 0xFFF0 with 32 data bytes runs past 0xFFFF (to 0x1000F)"},
        {MakeS1(0xFFFF, {1, 2}), "S1 record at 0xFFFF with 2 data bytes runs past 0xFFFF (to "
                                 "0x10000)"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(Fault(ok + "\r\n" + c.line + "\r\n" + kS9),
                    HasSubstr("f.s19, line 3: " + c.fault))
            << c.line;
        // As the image's last line too, with nothing behind it.
        EXPECT_THAT(Fault(ok + c.line), HasSubstr("f.s19, line 2: " + c.fault)) << c.line;
    }
    // Nothing but padding may follow the termination record.
    for (const std::string& after :
         {ok, std::string("junk\n"), std::string(kS9), std::string("S5030001FB\n"), "\x1A" + ok}) {
        EXPECT_THAT(Fault(ok + "S9030000FC\r\n\r\n" + after + std::string(1, '\0')),
                    HasSubstr("f.s19, line 4: line after the termination record (S9 in line 2); "
                              "only padding (NUL, Ctrl-Z, blanks, line ends) may follow it"))
            << after;
    }
}

TEST(SRecordValidate, SoundImagesPassAndCountTheirS1Lines) {
    const std::string two = MakeS1(0, Pattern(252)) + " \t\n" + MakeS1(0x100, {}) + "\n";
    const std::pair<std::string, int> images[] = {
        {std::string(kS0) + "\n" + two + "S5030002FA\n" + kS9, 2},
        {two + "S604000002F9\r\nS70500000000FA\r\n", 2},
        {two + "S804000000FB\n" + std::string("\0\0\x1A\r\n \x1A", 7), 2},
        {two + "s9030000fc\n", 2},
        {"\xEF\xBB\xBF\n\n  \t\n" + two + "\n\n\f\n", 2},             // no termination record
        {MakeS1(0xFFF0, Pattern(16)) + "\n" + MakeS1(0xFFFF, {}), 2}, // up to 0xFFFF exactly
        {"", 0},
        {std::string(kS0) + "\n" + kS9, 0},
    };
    for (const auto& [image, nS1] : images) {
        std::string err;
        std::int32_t n = -1;
        EXPECT_EQ(ValidateSRecordImage(reinterpret_cast<const BYTE*>(image.data()),
                                       static_cast<std::int32_t>(image.size()), "f", &err, &n),
                  S_OK)
            << image << err;
        EXPECT_EQ(n, nS1) << image;
    }
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
    EXPECT_THAT(Fault(one + "\n" + "S0 s1 in a comment"), HasSubstr("f.s19, line 2: \"S1\""));
}
