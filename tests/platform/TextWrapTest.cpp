// Where a box's text may break: its own line breaks stay, lines break at spaces, and a path
// only after a separator and only when it is wider than a whole line.
#include "platform/TextWrap.h"
#include "upload/UploadTexts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One unit per character (UTF-8 continuation bytes take none), as a fixed-pitch font.
int Chars(std::string_view s) {
    int n = 0;
    for (const char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::string Wrap(std::string_view s, int nMax) {
    return WrapText(s, nMax, Chars);
}

} // namespace

TEST(TextWrap, ATextWhoseLinesFitIsKeptByteForByte) {
    for (const char* psz : {MSG_CANCEL_QUESTION, MSG_RELAXED_WARNING, MSG_PORT_NOT_OPEN}) {
        EXPECT_EQ(Wrap(psz, WidestLine(psz, Chars)), psz);
    }
    EXPECT_EQ(Wrap("", 1), "");
    EXPECT_EQ(Wrap("\n\n", 1), "\n\n");
    // The indented lines of the port box keep their four spaces.
    EXPECT_NE(std::string(MSG_PORT_NOT_OPEN).find("\n    synchronisers"), std::string::npos);
}

TEST(TextWrap, OnlyALineWiderThanTheMaximumBreaksAndAtSpaces) {
    EXPECT_EQ(Wrap("one two three\nfour", 9), "one two\nthree\nfour");
    // A run of spaces at the break goes; spaces between words on one line stay as written.
    EXPECT_EQ(Wrap("ab  cd   efgh", 6), "ab  cd\nefgh");
    // The measure is the caller's: "®" counts as one character.
    EXPECT_EQ(Wrap("Morvane® 2000 unit", 13), "Morvane® 2000\nunit");
    // Widths at the limit fit.
    EXPECT_EQ(Wrap("abc def", 7), "abc def");
    EXPECT_EQ(Wrap("abc def", 6), "abc\ndef");
}

TEST(TextWrap, AnIndentedLineKeepsItsIndentOnlyAtItsStart) {
    EXPECT_EQ(Wrap("    one two three", 12), "    one two\nthree");
    // An indent wider than the line still stands before the first word.
    EXPECT_EQ(Wrap("      abcdef", 4), "      abcdef");
}

TEST(TextWrap, APathThatFitsALineIsNeverSplitEvenAtItsSeparators) {
    // Room is left on the first line for "/dev/" but the path moves to the next line whole.
    EXPECT_EQ(Wrap("busy: /dev/ttyUSB0 is open in sleep (pid 123)", 16),
              "busy:\n/dev/ttyUSB0 is\nopen in sleep\n(pid 123)");
    EXPECT_EQ(Wrap(R"(no such device: C:\dir\COM1)", 12), "no such\ndevice:\n"
                                                          R"(C:\dir\COM1)");
}

TEST(TextWrap, APathWiderThanALineBreaksAfterSeparatorsNeverInsideAName) {
    const std::string strPath = "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0";
    const std::string strWrapped = Wrap("busy: " + strPath + " is open", 24);
    EXPECT_EQ(strWrapped, "busy: /dev/serial/by-id/\nusb-FTDI_FT232R-if00-port0\nis open");
    // Every line ends at a space or a separator: joining them gives the text back.
    std::string strJoined = strWrapped;
    for (std::size_t i = strJoined.find('\n'); i != std::string::npos; i = strJoined.find('\n'))
        strJoined.replace(i, 1, strJoined[i - 1] == '/' ? "" : " ");
    EXPECT_EQ(strJoined, "busy: " + strPath + " is open");
    // A name wider than the line keeps a line of its own rather than being cut.
    EXPECT_EQ(Wrap(R"(gone: \\.\VERYLONGPORTNAME9 unplugged)", 10),
              R"(gone: \\.\)"
              "\nVERYLONGPORTNAME9\nunplugged");
    // Separators in a row stay together, with what precedes them.
    EXPECT_EQ(Wrap("a//bbbbbb//cc", 6), "a//\nbbbbbb//\ncc");
}

TEST(TextWrap, TheWidestLineAndWordAreMeasuredBetweenBreaks) {
    EXPECT_EQ(WidestLine("ab\nabcd e\n", Chars), 6);
    EXPECT_EQ(WidestLine("", Chars), 0);
    EXPECT_EQ(WidestWord("  ab  abcd\nxyz ", Chars), 4);
    EXPECT_EQ(WidestWord("busy: /dev/ttyUSB0 is open", Chars), 12);
    EXPECT_EQ(WidestWord(" \n ", Chars), 0);
}
