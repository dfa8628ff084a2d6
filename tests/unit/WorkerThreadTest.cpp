#include <gtest/gtest.h>
#include <windows.h>

#include "runtime/WorkerThread.h"

namespace {

// Runs until told to stop, counting its runs.
class CCountingThread : public qlLib::CWorkerThread {
public:
    ~CCountingThread() override { Stop(INFINITE); }
    DWORD Run() override {
        ++runs;
        while (!stop) ::Sleep(1);
        return 7;
    }
    void RequestExit() override { stop = true; }
    volatile LONG runs = 0;
    volatile bool stop = false;
};

// Never ends by itself.
class CStuckThread : public qlLib::CWorkerThread {
public:
    DWORD Run() override {
        for (;;) ::Sleep(10);
    }
};

}  // namespace

TEST(WorkerThread, RunsTheBodyOnceAndWaitsForIt) {
    CCountingThread thread;
    EXPECT_EQ(thread.WaitForThread(0), static_cast<DWORD>(WAIT_OBJECT_0));   // nothing started yet
    ASSERT_TRUE(thread.StartThread());
    EXPECT_FALSE(thread.StartThread());   // one at a time
    EXPECT_TRUE(thread.IsThreadRunning());
    EXPECT_EQ(thread.WaitForThread(50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_NE(thread.ThreadId(), ::GetCurrentThreadId());
    thread.Stop(INFINITE);
    EXPECT_FALSE(thread.IsThreadRunning());
    EXPECT_EQ(thread.runs, 1);
    // And again, once the first has ended.
    thread.stop = false;
    ASSERT_TRUE(thread.StartThread());
    thread.stop = true;
    EXPECT_EQ(thread.WaitPumping(INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(thread.runs, 2);
}

TEST(WorkerThread, AThreadThatDoesNotEndIsTerminatedByStop) {
    CStuckThread thread;
    ASSERT_TRUE(thread.StartThread());
    EXPECT_EQ(thread.WaitPumping(30), static_cast<DWORD>(WAIT_TIMEOUT));
    thread.Stop(50);
    EXPECT_FALSE(thread.IsThreadRunning());
}
