#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/ThreadThunk.h"

#include <gtest/gtest.h>

namespace {

struct Worker {
    CEvent go;
    void* seen = nullptr;
    DWORD Body(void* p) {
        go.Wait(INFINITE);
        seen = p;
        return 42;
    }
    DWORD Throws(void*) { throw 7; }
};

} // namespace

TEST(ThreadThunk, RoutineResultBecomesTheExitCode) {
    Worker w;
    CThreadThunk* thunk = MakeThreadThunk(&w, &Worker::Body);
    ASSERT_NE(thunk, nullptr);
    CThread t;
    int param = 0;
    ASSERT_TRUE(t.Start(thunk, &param, THREAD_PRIORITY_HIGHEST)); // refusal of the priority is fine
    EXPECT_EQ(t.GetExitCode(), STILL_ACTIVE);
    EXPECT_FALSE(t.Start(thunk, &param)); // one thread per object
    w.go.Set();
    t.Join();
    EXPECT_EQ(t.GetExitCode(), 42u);
    EXPECT_EQ(w.seen, &param);
    FreeThreadThunk(thunk);
}

TEST(ThreadThunk, AnErrorDoesNotLeaveTheThreadEntry) {
    Worker w;
    CThreadThunk* thunk = MakeThreadThunk(&w, &Worker::Throws);
    CThread t;
    ASSERT_TRUE(t.Start(thunk, nullptr));
    t.Join();
    EXPECT_NE(t.GetExitCode(), STILL_ACTIVE);
    FreeThreadThunk(thunk);
}

TEST(ThreadThunk, LoweringPriorityIsAllowed) {
    Worker w;
    w.go.Set();
    CThreadThunk* thunk = MakeThreadThunk(&w, &Worker::Body);
    CThread t;
    ASSERT_TRUE(t.Start(thunk, nullptr, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_NE(t.GetThreadId(), -1);
    t.Join();
    EXPECT_EQ(t.GetExitCode(), 42u);
    FreeThreadThunk(thunk);
}
