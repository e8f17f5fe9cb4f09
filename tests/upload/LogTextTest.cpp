#include "upload/LogText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Log(std::initializer_list<const char*> appends) {
    CLogText log;
    for (const char* p : appends)
        log.Append(p);
    return log.GetText();
}

TEST(LogText, BareLineFeedsBecomeCrLf) {
    EXPECT_EQ(Log({"Succeeded\n"}), "Succeeded\r\n");
    EXPECT_EQ(Log({"\nabc"}), "\r\nabc");     // the first character of an empty log
    EXPECT_EQ(Log({"a\r\nb"}), "a\r\nb");     // a pair stays one pair
    EXPECT_EQ(Log({"a\n\nb"}), "a\r\n\r\nb"); // an empty line
    EXPECT_EQ(Log({"\n\n"}), "\r\n\r\n");
    EXPECT_EQ(Log({"a\r", "\nb"}), "a\r\nb");   // the join keeps the CR that ended the log
    EXPECT_EQ(Log({"a", "\nb"}), "a\r\nb");     // a bare LF at the join gets its CR
    EXPECT_EQ(Log({"a\r", "b\n"}), "a\rb\r\n"); // a lone CR is left as it is
}

TEST(LogText, MarksExtendTheLastLine) {
    EXPECT_EQ(Log({"Uploading firmware - part 3 of 5...\n", "# ", ".", ".", "!", " Succeeded\n"}),
              "Uploading firmware - part 3 of 5...\r\n# ..! Succeeded\r\n");
}

TEST(LogText, AppendReturnsOnlyTheAddedText) {
    CLogText log;
    EXPECT_EQ(log.Append("one\n"), "one\r\n");
    EXPECT_EQ(log.Append(""), "");
    EXPECT_EQ(log.Append("\ntwo"), "\r\ntwo");
    EXPECT_EQ(log.GetText(), "one\r\n\r\ntwo");
    EXPECT_EQ(log.GetLength(), 10u);
}

TEST(LogText, AppendsDoNotCopyTheWholeLog) {
    // A long upload writes one mark per record; each append must cost in proportion to what
    // it adds. Counting reallocations would tie the test to the library, so check that the
    // storage is reused: after a large log, a small append leaves earlier text in place.
    CLogText log;
    for (int i = 0; i < 200000; ++i)
        log.Append(i % 100 == 99 ? ".\n+ " : ".");
    const char* pBefore = log.GetText().data();
    const std::size_t nCapacity = log.GetText().capacity();
    ASSERT_GT(nCapacity, log.GetLength() + 1000);
    int nMoves = 0;
    for (int i = 0; i < 1000; ++i) {
        log.Append(".");
        nMoves += log.GetText().data() != pBefore ? 1 : 0;
    }
    EXPECT_EQ(nMoves, 0);
    EXPECT_EQ(log.GetText().substr(0, 7), ".......");
}

} // namespace
