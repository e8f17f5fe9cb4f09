#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <unistd.h>

#if !defined(_WIN32) // Windows: tests/windows/
TEST(ProgramDir, IsTheDirectoryOfTheRunningFileWhateverArgv0Says) {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    const std::string dir = GetProgramDir("platform_tests"); // a bare name, as PATH gives it
    EXPECT_EQ(dir, DirectoryOf(exe));
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
}

TEST(ProgramDir, DirectoryOfKeepsTheTrailingSeparator) {
    EXPECT_EQ(DirectoryOf("/opt/morfw/bin/morfw"), "/opt/morfw/bin/");
    EXPECT_EQ(DirectoryOf("morfw"), "./");
    EXPECT_EQ(DirectoryOf("/morfw"), "/");
}
#endif
