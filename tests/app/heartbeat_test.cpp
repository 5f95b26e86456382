// Tests of the heartbeat: ticks reach whichever listener is set, clearing it is final, stop is
// prompt, and both are bounded even when a listener hangs, whose thread then outlives them safely.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "app/heartbeat.h"
#include "support/wait_until.h"
namespace {

using Clock = std::chrono::steady_clock;

struct CountingListener final : iHeartBeatListener {
    explicit CountingListener(std::atomic<int>& counter, int callMs = 0)
        : calls(counter), callTime(callMs) {}
    void onHeartBeat() override {
        inCall = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(callTime));
        calls += 1;
        inCall = false;
    }
    std::atomic<int>& calls;
    int callTime;
    std::atomic<bool> inCall{false};
};

TEST(HeartBeat, TicksWhicheverListenerIsSet) {
    HeartBeat beat;
    beat.start();
    std::atomic<int> calls{0};
    CountingListener listener(calls);
    // Started without a listener it just keeps waking; one set later is reached.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    beat.setListener(&listener);
    EXPECT_TRUE(waitUntil([&] { return calls >= 3; }));
    EXPECT_EQ(GetThreadPriority(beat.thread), THREAD_PRIORITY_TIME_CRITICAL);
    beat.clearListener();
    // The stop event ends the wait for the next tick at once, not when the tick is due.
    const auto start = Clock::now();
    beat.stop();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              3000);
    EXPECT_EQ(WaitForSingleObject(beat.thread, 0), WAIT_OBJECT_0);
}

TEST(HeartBeat, AClearedListenerCanBeDestroyedAtOnce) {
    HeartBeat beat;
    beat.start();
    std::atomic<int> slowCalls{0};
    for (int round = 0; round < 5; ++round) {
        auto* slow = new CountingListener(slowCalls, 40);
        beat.setListener(slow);
        const int before = slowCalls;
        ASSERT_TRUE(waitUntil([&] { return slowCalls > before && slow->inCall; }));
        beat.clearListener();
        EXPECT_FALSE(slow->inCall) << "a call still runs after clearListener returned";
        delete slow; // the sanitizers catch any later use
    }
    const int cleared = slowCalls;
    std::atomic<int> calls{0};
    CountingListener next(calls);
    beat.setListener(&next);
    EXPECT_TRUE(waitUntil([&] { return calls >= 3; }));
    EXPECT_EQ(slowCalls, cleared) << "a cleared listener was called again";
    beat.clearListener();
    beat.stop();
}

TEST(HeartBeat, ClearAndStopAreBoundedWhenTheListenerHangsAndItsStateOutlivesThem) {
    struct Stuck : iHeartBeatListener {
        void onHeartBeat() override {
            entered = true;
            while (!released) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        std::atomic<bool> entered{false};
        std::atomic<bool> released{false};
    };
    Stuck stuck;
    auto beat = std::make_unique<HeartBeat>();
    beat->setListener(&stuck);
    beat->start();
    ASSERT_TRUE(waitUntil([&] { return stuck.entered.load(); }));
    auto start = Clock::now();
    EXPECT_FALSE(beat->clearListener(300)) << "a call that still runs is not cleared";
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 3000);
    start = Clock::now();
    EXPECT_FALSE(beat->stop());
    took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 5000);
    EXPECT_LT(took, 9000);

    // Released while its thread still runs; when the call returns, that thread still finds what
    // it uses (the sanitizers catch any use of freed memory) and ends at once.
    const HANDLE thread = beat->thread;
    beat.reset();
    stuck.released = true;
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

} // namespace
