#include "platform/Event.h"
#include "platform/Sleep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

namespace {
long long MsSince(steady_clock::time_point t0) {
    return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}
} // namespace

TEST(Event, ManualResetStaysSetUntilReset) {
    CEvent ev;
    ASSERT_TRUE(ev.IsValid());
    EXPECT_FALSE(ev.IsSet());
    ev.Set();
    ev.Set();
    EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0); // a wait does not consume it
    ev.Reset();
    EXPECT_EQ(ev.Wait(0), WAIT_TIMEOUT);
    ev.Reset(); // resetting a clear event is harmless
    EXPECT_FALSE(ev.IsSet());
    CEvent initially(true);
    EXPECT_TRUE(initially.IsSet());
}

TEST(Event, TimedWaitHoldsItsTime) {
    CEvent ev;
    const auto t0 = steady_clock::now();
    EXPECT_EQ(ev.Wait(120), WAIT_TIMEOUT);
    const auto ms = MsSince(t0);
    EXPECT_GE(ms, 119);
    EXPECT_LT(ms, 1000);
}

TEST(Event, SetFromAnotherThreadWakesAnInfiniteWait) {
    CEvent ev;
    std::thread t([&] {
        Sleep(30);
        ev.Set();
    });
    EXPECT_EQ(ev.Wait(INFINITE), WAIT_OBJECT_0);
    t.join();
}

TEST(Event, NoSetIsLostUnderConcurrency) {
    // A setter and a resetter race; every round the waiter must see the set that follows its reset.
    CEvent request, answer;
    std::atomic<int> served{0};
    std::thread server([&] {
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(request.Wait(5000), WAIT_OBJECT_0);
            request.Reset();
            served.fetch_add(1);
            answer.Set();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        request.Set();
        ASSERT_EQ(answer.Wait(5000), WAIT_OBJECT_0) << "round " << i;
        answer.Reset();
    }
    server.join();
    EXPECT_EQ(served.load(), 2000);
}

TEST(Event, WaitForEitherSaysWhichEndedIt) {
    CEvent a, b;
    EXPECT_EQ(WaitForEither(a, b, 10), WAIT_TIMEOUT);
    b.Set();
    EXPECT_EQ(WaitForEither(a, b, 0), WAIT_OBJECT_0 + 1);
    a.Set();
    EXPECT_EQ(WaitForEither(a, b, 0), WAIT_OBJECT_0); // both set: the first wins
    a.Reset();
    b.Reset();
    std::thread t([&] {
        Sleep(20);
        a.Set();
    });
    EXPECT_EQ(WaitForEither(a, b, INFINITE), WAIT_OBJECT_0);
    t.join();
}

#if !defined(_WIN32) // descriptors exist only on Linux
TEST(Event, StopEventCutsShortAWaitOnADescriptor) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    CEvent stop;
    short revents = 0;
    EXPECT_EQ(WaitEventOrFd(stop, fds[0], POLLIN, 10, &revents), WAIT_TIMEOUT);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(WaitEventOrFd(stop, fds[0], POLLIN, 0, &revents), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(revents & POLLIN);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    const auto t0 = steady_clock::now();
    std::thread t([&] {
        Sleep(30);
        stop.Set();
    });
    EXPECT_EQ(WaitEventOrFd(stop, fds[0], POLLIN, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(MsSince(t0), 1000);
    t.join();
    close(fds[0]);
    close(fds[1]);
}
#endif
