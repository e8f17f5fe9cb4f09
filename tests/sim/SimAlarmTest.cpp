// CSimAlarm: the moment one thread waits for, brought forward by another without waking it
// before that moment. Used as the simulated line uses it: the waiter looks at shared state under
// a lock, arms the alarm for the moment it needs, and waits; others change the state under the
// lock and bring the alarm forward.
#include "sim/SimWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono;
using Clock = steady_clock;

namespace {

constexpr auto kNever = Clock::time_point::max();

// Waits as the line's threads do until the clock has reached the moment in *pDue; returns when
// it got there, or kNever when stop was set or the wait failed first.
Clock::time_point WaitForDue(CSimAlarm& alarm, const CEvent& stop, std::mutex& m,
                             const Clock::time_point* pDue) {
    for (;;) {
        {
            std::lock_guard lock(m);
            const auto now = Clock::now();
            if (now >= *pDue)
                return now;
            alarm.Arm(*pDue);
        }
        if (alarm.Wait(stop, kNever) != WAIT_OBJECT_0 + 1)
            return kNever;
    }
}

} // namespace

TEST(SimAlarm, BroughtForwardItGoesOffAtTheEarlierMoment) {
    CSimAlarm alarm;
    ASSERT_TRUE(alarm.IsValid());
    CEvent stop;
    std::mutex m;
    const auto start = Clock::now();
    auto due = start + seconds(60);
    const auto early = start + milliseconds(80);
    std::thread other([&] {
        std::this_thread::sleep_for(milliseconds(20));
        std::lock_guard lock(m);
        due = early;
        alarm.BringForward(early);
    });
    const auto reached = WaitForDue(alarm, stop, m, &due);
    other.join();
    ASSERT_NE(reached, kNever);
    EXPECT_GE(reached, early);
    EXPECT_LT(reached - start, seconds(30)); // not the minute first armed
}

TEST(SimAlarm, ALaterMomentLeavesTheArmedOne) {
    CSimAlarm alarm;
    CEvent stop;
    const auto start = Clock::now();
    alarm.Arm(start + milliseconds(30));
    alarm.BringForward(start + seconds(60));
    EXPECT_EQ(alarm.Wait(stop, start + seconds(30)), WAIT_OBJECT_0 + 1);
    EXPECT_GE(Clock::now(), start + milliseconds(30));
}

TEST(SimAlarm, AMomentPastGoesOffAtOnceAndAgainWhenArmedAgain) {
    CSimAlarm alarm;
    CEvent stop;
    const auto past = Clock::now() - seconds(1);
    alarm.Arm(past);
    EXPECT_EQ(alarm.Wait(stop, Clock::now() + seconds(30)), WAIT_OBJECT_0 + 1);
    // The same moment once more: it went off, so it is armed again rather than taken as set.
    alarm.Arm(past);
    EXPECT_EQ(alarm.Wait(stop, Clock::now() + seconds(30)), WAIT_OBJECT_0 + 1);
}

TEST(SimAlarm, StopAndDeadlineEndTheWait) {
    CSimAlarm alarm;
    CEvent stop;
    alarm.Arm(kNever);
    const auto start = Clock::now();
    EXPECT_EQ(alarm.Wait(stop, start + milliseconds(20)), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(Clock::now(), start + milliseconds(20));
    std::thread other([&] {
        std::this_thread::sleep_for(milliseconds(20));
        stop.Set();
    });
    EXPECT_EQ(alarm.Wait(stop, kNever), WAIT_OBJECT_0);
    other.join();
    // Stop wins over an alarm that has gone off too.
    alarm.Arm(Clock::now() - seconds(1));
    EXPECT_EQ(alarm.Wait(stop, kNever), WAIT_OBJECT_0);
}
