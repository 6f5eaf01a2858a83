// The worker thread base: start and stop handshake, restart after an end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CThread.h"

namespace {

class Worker final : public tessoral::CThread {
public:
    ~Worker() {
        if (!stop.load()) StopWorker(stop);
    }
    void start() {
        stop = false;
        Start();
    }
    void stopAndWait() { StopWorker(stop); }
    bool endedWithin(uint32_t ms) { return hThreadEnded->Wait(ms); }
    tessoral::ManualResetEvent* endedEvent() { return hThreadEnded.get(); }

    std::atomic<bool> stop{true};
    std::atomic<int> runs{0};
    std::atomic<bool> endOnOwn{false};
    std::atomic<bool> running{false};

protected:
    uint32_t Run() override {
        ++runs;
        running = true;
        while (!stop && !endOnOwn) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        running = false;
        hThreadEnded->Set();
        return 0;
    }
};

TEST(CThreadTest, StopRightAfterStartWaitsForTheWorker) {
    Worker w;
    w.start();
    w.stopAndWait();
    EXPECT_EQ(w.runs, 1);
    EXPECT_FALSE(w.running);
}

TEST(CThreadTest, RestartReusesTheEndedEvent) {
    Worker w;
    w.start();
    w.stopAndWait();
    tessoral::ManualResetEvent* ended = w.endedEvent();
    w.start();
    EXPECT_EQ(w.endedEvent(), ended);
    EXPECT_FALSE(w.endedWithin(20)) << "the event was not reset for the new worker";
    w.stopAndWait();
    EXPECT_EQ(w.runs, 2);
}

TEST(CThreadTest, WorkerEndingOnItsOwnLetsTheStopReturnAtOnce) {
    Worker w;
    w.endOnOwn = true;
    w.start();
    EXPECT_TRUE(w.endedWithin(5000));
    const auto t0 = std::chrono::steady_clock::now();
    w.stopAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST(CThreadTest, NeverStartedWorkerIsDestroyedWithoutWaiting) {
    Worker w;
    EXPECT_EQ(w.endedEvent(), nullptr);
}

TEST(ManualResetEventTest, StaysSetUntilReset) {
    tessoral::ManualResetEvent e;
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0)) << "a manual-reset event is not consumed by a wait";
    e.Reset();
    EXPECT_FALSE(e.Wait(10));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        e.Set();
    });
    EXPECT_TRUE(e.Wait(tessoral::ManualResetEvent::kInfinite));
    setter.join();
}

}  // namespace
