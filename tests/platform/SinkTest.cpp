#include "platform/Beep.h"
#include "platform/Trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

TEST(TraceSink, OneLinePerCallWithoutItsLineEnd) {
    std::vector<std::string> lines;
    SetTraceSink([&](std::string_view l) { lines.emplace_back(l); });
    TraceDebug("Event EV_RXCHAR...\n");
    TraceDebug("no line end");
    TraceDebug("");
    SetTraceSink({});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Event EV_RXCHAR...");
    EXPECT_EQ(lines[1], "no line end");
    EXPECT_EQ(lines[2], "");
}

TEST(TraceSink, StderrOnlyWhenAskedFor) {
    SetTraceToStderr(false);
    testing::internal::CaptureStderr();
    TraceDebug("silent\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    SetTraceToStderr(true);
    testing::internal::CaptureStderr();
    TraceDebug("loud\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "loud\n");
    SetTraceToStderr(false);
}

TEST(BeepSink, ReplaceableAndRestorable) {
    std::vector<std::pair<DWORD, DWORD>> calls;
    SetBeepSink([&](DWORD f, DWORD ms) { calls.emplace_back(f, ms); });
    Beep(1000, 100);
    SetBeepSink({});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::pair<DWORD, DWORD>(1000, 100)));
    // The default sink keeps the tone's length even without a terminal.
    const auto t0 = std::chrono::steady_clock::now();
    Beep(1000, 30);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(29));
}
