// The rings' mutex: recursive for its owner, timed for the others, released only by its owner
// and only when every hold is given back, and handed on to a waiting thread at once.
#include "platform/Mutex.h"
#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono;

TEST(Mutex, OwnerTakesItAgainAndOthersGetItOnlyAfterTheLastRelease) {
    CMutex m;
    ASSERT_EQ(m.Lock(INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(m.Lock(0), WAIT_OBJECT_0); // recursive
    DWORD r = 0;
    std::thread([&] { r = m.Lock(0); }).join();
    EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(m.Unlock());
    std::thread([&] { r = m.Lock(0); }).join(); // still held once
    EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(m.Unlock()); // nothing left to give back
    bool bUnlocked = false;
    std::thread([&] {
        r = m.Lock(0);
        bUnlocked = m.Unlock();
    }).join();
    EXPECT_EQ(r, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(bUnlocked);
}

TEST(Mutex, OnlyTheOwnerReleasesIt) {
    CMutex m;
    ASSERT_EQ(m.Lock(INFINITE), WAIT_OBJECT_0);
    bool bUnlocked = true;
    std::thread([&] { bUnlocked = m.Unlock(); }).join();
    EXPECT_FALSE(bUnlocked);
    DWORD r = 0;
    std::thread([&] { r = m.Lock(0); }).join();
    EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(m.Unlock());
}

TEST(Mutex, ATimedWaitLastsItsTimeAndAWaiterGetsItWhenReleased) {
    CMutex m;
    ASSERT_EQ(m.Lock(INFINITE), WAIT_OBJECT_0);
    DWORD rTimed = 0;
    milliseconds waited{};
    std::thread([&] {
        const auto t0 = steady_clock::now();
        rTimed = m.Lock(50);
        waited = duration_cast<milliseconds>(steady_clock::now() - t0);
    }).join();
    EXPECT_EQ(rTimed, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(waited.count(), 45); // not given up early (timer rounding aside)

    CEvent waiting;
    std::atomic<DWORD> r{0};
    std::thread waiter([&] {
        waiting.Set();
        r = m.Lock(10000);
        m.Unlock();
    });
    ASSERT_EQ(waiting.Wait(5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(m.Unlock());
    waiter.join();
    EXPECT_EQ(r.load(), static_cast<DWORD>(WAIT_OBJECT_0));
}
