#include "serial/AutoSingleMutex.h"
#include "serial/XMsg.h"

#include <gtest/gtest.h>

#include <thread>

namespace {
// True when another thread can take the mutex right now.
bool FreeForOthers(CMutex& m) {
    bool bFree = false;
    std::thread t([&] {
        bFree = m.Lock(0) == WAIT_OBJECT_0;
        if (bFree)
            m.Unlock();
    });
    t.join();
    return bFree;
}
} // namespace

TEST(AutoSingleMutex, ReleasesWhatItStillHolds) {
    CMutex m;
    {
        CAutoSingleMutex guard(&m, INFINITE, true);
        EXPECT_EQ(guard.GetLockCount(), 1);
        EXPECT_FALSE(FreeForOthers(m));
        guard.Lock(); // recursive for its own thread
        EXPECT_EQ(guard.GetLockCount(), 2);
    }
    EXPECT_TRUE(FreeForOthers(m));
}

TEST(AutoSingleMutex, UnlockedOnceReleasesNothingMore) {
    CMutex m;
    {
        CAutoSingleMutex guard(&m, INFINITE, true);
        guard.Unlock();
        EXPECT_EQ(guard.GetLockCount(), 0);
        EXPECT_TRUE(FreeForOthers(m));
    } // the destructor must not release a mutex it does not hold
    EXPECT_TRUE(FreeForOthers(m));
}

TEST(AutoSingleMutex, ReleasedWhenAnErrorLeavesTheScope) {
    CMutex m;
    try {
        CAutoSingleMutex guard(&m, INFINITE, true);
        throw &g_xRecover;
    } catch (CXMsg*) {
    }
    EXPECT_TRUE(FreeForOthers(m));
}

TEST(AutoSingleMutex, TimedLockFailsWhileAnotherThreadHoldsIt) {
    CMutex m;
    CAutoSingleMutex outer(&m, INFINITE, true);
    std::thread t([&] {
        CAutoSingleMutex inner(&m, 20, true);
        EXPECT_EQ(inner.GetLockCount(), 0);
    });
    t.join();
}
