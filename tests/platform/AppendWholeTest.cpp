// Appends that other processes share a file with: the text goes out whole, and what goes first
// into an empty file (a CSV file's header row) is written once, with the first append only.
#include "platform/FileCompat.h"
#include "platform/WriteAll.h"

#include "../TestTempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

TEST(AppendWhole, PutsTheHeaderIntoAnEmptyFileOnly) {
    const auto dir = MakeTestTempDir("morfw-append-");
    const std::string path = (dir / "results.csv").string();
    for (const char* pszRow : {"a,1\r\n", "b,2\r\n"}) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_BINARY, 0644);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(AppendWhole(fd, pszRow, "name,n\r\n"));
        close(fd);
    }
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(text.str(), "name,n\r\na,1\r\nb,2\r\n");
    std::filesystem::remove_all(dir);
}
