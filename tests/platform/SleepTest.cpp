#include "platform/Sleep.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#if !defined(_WIN32)
#include <csignal>
#include <cstdio>
#include <fstream>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using std::chrono::steady_clock;

// The host's break is a Sleep(1) between raising and lifting it: however precise the sleep, it
// must never end before its time.
TEST(Sleep, NeverEndsBeforeItsTime) {
    Sleep(0);
    for (int i = 0; i < 200; ++i) {
        const auto start = steady_clock::now();
        Sleep(1);
        ASSERT_GE(steady_clock::now() - start, std::chrono::milliseconds(1)) << "sleep " << i;
    }
    const auto start = steady_clock::now();
    Sleep(30);
    EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(30));
}

#if !defined(_WIN32)

namespace {

void IgnoreSignal(int) {}

long ThreadTimerSlack() {
    return static_cast<long>(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL));
}

// The fair scheduler's slice of the calling thread in nanoseconds, as the kernel shows it, or -1
// where it does not show it.
long long ThreadSlice() {
    std::ifstream f("/proc/thread-self/sched");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("se.slice", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? -1 : std::stoll(line.substr(colon + 1));
        }
    }
    return -1;
}

} // namespace

// A signal that interrupts the sleep (no SA_RESTART) does not cut it short.
TEST(Sleep, ASignalDoesNotCutItShort) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = IgnoreSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> bAsleep{false};
    std::chrono::steady_clock::duration slept{};
    std::thread sleeper([&] {
        bAsleep = true;
        const auto start = steady_clock::now();
        Sleep(200);
        slept = steady_clock::now() - start;
    });
    while (!bAsleep)
        std::this_thread::yield();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(sleeper.native_handle(), SIGUSR1);
    }
    sleeper.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(200));
}

// The sleeping thread's timer slack is cut to 1 us (so a 1 ms sleep is not 1.05 ms), and only
// that thread's: others keep the kernel's default.
TEST(Sleep, CutsTheTimerSlackOfItsOwnThreadOnly) {
    long nSleeper = 0, nOther = 0, nDefault = 0;
    std::thread([&] {
        nDefault = ThreadTimerSlack();
        Sleep(1);
        nSleeper = ThreadTimerSlack();
    }).join();
    std::thread([&] { nOther = ThreadTimerSlack(); }).join();
    EXPECT_EQ(nSleeper, 1000);
    EXPECT_EQ(nOther, nDefault);
}

// The request for short slices keeps the thread's nice value, so a thread started below normal
// stays below normal (and an ordinary user may ask it). Where the kernel shows the slice, the
// request never makes it longer (kernels before 6.12 keep it as it was).
TEST(ShortTimeSlices, KeepTheThreadsNiceValue) {
    for (const int nNice : {3, 0}) {
        int nAfter = -100;
        long long nBefore = -1, nSlice = -1;
        std::thread([&] {
            const auto tid = static_cast<id_t>(syscall(SYS_gettid));
            ASSERT_EQ(setpriority(PRIO_PROCESS, tid, nNice), 0);
            nBefore = ThreadSlice();
            RequestShortTimeSlices();
            nAfter = getpriority(PRIO_PROCESS, tid);
            nSlice = ThreadSlice();
        }).join();
        EXPECT_EQ(nAfter, nNice);
        if (nBefore >= 0 && nSlice >= 0) {
            EXPECT_LE(nSlice, nBefore);
        }
    }
}

#else

TEST(ShortTimeSlices, WindowsHasNoSuchRequest) {
    EXPECT_FALSE(RequestShortTimeSlices());
}

#endif
