#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/ThreadThunk.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#endif

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

#if !defined(_WIN32)
// A name longer than the kernel keeps is cut, not refused: the thread still shows a name.
TEST(ThreadName, ShowsInProcAndALongNameIsCut) {
    std::string shown[2];
    const char* names[2] = {"port rx", "sim unit of a long name"};
    for (int i = 0; i < 2; ++i) {
        std::thread([&, i] {
            NameCurrentThread(names[i]);
            std::ifstream comm("/proc/self/task/" + std::to_string(gettid()) + "/comm");
            std::getline(comm, shown[i]);
        }).join();
    }
    EXPECT_EQ(shown[0], "port rx");
    EXPECT_EQ(shown[1], "sim unit of a l");
}
#endif
