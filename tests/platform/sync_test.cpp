// Tests of the POSIX layer's events, timers, waits, threads and their execution states, the
// performance counter, critical sections, last error and wsprintfA.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(Events, AutoResetReleasesOneWaitThenResets) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, WaitForAnyReturnsTheLowestSignalledIndex) {
    HANDLE h[3] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                   CreateEventW(nullptr, FALSE, FALSE, nullptr),
                   CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The auto-reset event was consumed by that wait; the manual one was not.
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
    for (HANDLE e : h) {
        CloseHandle(e);
    }
}

TEST(Events, WaitTimesOutAfterItsTime) {
    HANDLE h[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                   CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 150), WAIT_TIMEOUT);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 5000);
    CloseHandle(h[0]);
    CloseHandle(h[1]);
}

TEST(Timers, ARelativeOrAbsoluteDueTimeSignalsOnceAndNotBefore) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(timer, nullptr);
    const HANDLE both[2] = {stop, timer};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT) << "not set yet";
    LARGE_INTEGER due;
    due.QuadPart = -60 * 10000; // 60 ms from now
    auto start = Clock::now();
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_GE(msSince(start), 60);
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "an auto-reset timer fires once";
    // Absolute: 100 ns units since 1601 on the system clock.
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    due.QuadPart = 116444736000000000LL + since1970.count() / 100 + 60 * 10000;
    start = Clock::now();
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, 5000), WAIT_OBJECT_0);
    EXPECT_GE(msSince(start), 55); // the two clocks are read a moment apart
    // Setting it again takes back a signal nobody collected; the stop event still wins at once.
    due.QuadPart = -1;
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    Sleep(5);
    due.QuadPart = -10LL * 1000 * 10000;
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
    SetEvent(stop);
    start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_FALSE(SetEvent(timer)) << "a timer is not an event";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetWaitableTimer(stop, &due, 0, nullptr, nullptr, FALSE));
    CloseHandle(timer);
    CloseHandle(stop);
}

struct SetLater {
    HANDLE event;
    DWORD delayMs;
};

DWORD WINAPI setLater(LPVOID arg) {
    auto* job = static_cast<SetLater*>(arg);
    Sleep(job->delayMs);
    SetEvent(job->event);
    return 0;
}

TEST(Events, AWaitWakesWhenAnotherThreadSetsTheEvent) {
    HANDLE h[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                   CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    SetLater job{h[1], 50};
    HANDLE thread = CreateThread(nullptr, 0, setLater, &job, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(h[0]);
    CloseHandle(h[1]);
}

struct Waiter {
    HANDLE event;
    DWORD result = 0;
};

DWORD WINAPI waitLong(LPVOID arg) {
    auto* w = static_cast<Waiter*>(arg);
    w->result = WaitForSingleObject(w->event, 10000);
    return 0;
}

TEST(Events, OneSetOfAnAutoResetEventReleasesOneOfTwoWaiters) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Waiter a{e}, b{e};
    HANDLE threads[2] = {CreateThread(nullptr, 0, waitLong, &a, 0, nullptr),
                         CreateThread(nullptr, 0, waitLong, &b, 0, nullptr)};
    Sleep(50); // let both start waiting (not needed for correctness of the checks below)
    SetEvent(e);
    const DWORD first = WaitForMultipleObjects(2, threads, FALSE, 5000);
    ASSERT_LT(first, 2u);
    EXPECT_EQ(WaitForSingleObject(threads[1 - first], 200), WAIT_TIMEOUT)
        << "both waiters were released";
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(threads[1 - first], 5000), WAIT_OBJECT_0);
    EXPECT_EQ(a.result, WAIT_OBJECT_0);
    EXPECT_EQ(b.result, WAIT_OBJECT_0);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    CloseHandle(e);
}

TEST(Events, ClosingAnEventThatAnotherThreadWaitsOnIsSafe) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Waiter w{e};
    w.result = 12345;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID arg) -> DWORD {
            auto* waiter = static_cast<Waiter*>(arg);
            waiter->result = WaitForSingleObject(waiter->event, 300);
            return 0;
        },
        &w, 0, nullptr);
    Sleep(50);
    CloseHandle(e);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    // Either the wait started before the close (and timed out) or after it (and failed).
    EXPECT_TRUE(w.result == WAIT_TIMEOUT || w.result == WAIT_FAILED) << w.result;
    CloseHandle(thread);
}

TEST(Events, BadHandlesAreRefused) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    EXPECT_FALSE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
}

DWORD WINAPI waitForGate(LPVOID gate) {
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    return 7;
}

TEST(Threads, AThreadHandleIsSignalledWhenTheThreadHasReturned) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id1 = 0, id2 = 0;
    HANDLE t1 = CreateThread(nullptr, 0, waitForGate, gate, 0, &id1);
    HANDLE t2 = CreateThread(nullptr, 0, waitForGate, gate, 0, &id2);
    ASSERT_NE(t1, nullptr);
    EXPECT_NE(id1, 0u);
    EXPECT_NE(id1, id2);
    EXPECT_EQ(WaitForSingleObject(t1, 100), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(t1, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t1, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_EQ(WaitForSingleObject(t2, 5000), WAIT_OBJECT_0);
    CloseHandle(t1);
    CloseHandle(t2);
    CloseHandle(gate);
}

TEST(Threads, APriorityIsKeptAndReported) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, waitForGate, gate, 0, nullptr);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_FALSE(SetThreadPriority(t, 7));
    EXPECT_FALSE(SetThreadPriority(gate, THREAD_PRIORITY_HIGHEST)) << "not a thread";
    EXPECT_EQ(GetThreadPriority(gate), THREAD_PRIORITY_ERROR_RETURN);
    SetEvent(gate);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    CloseHandle(gate);
}

struct Relay {
    HANDLE gate;
    HANDLE done;
};

DWORD WINAPI relay(LPVOID arg) {
    auto* r = static_cast<Relay*>(arg);
    WaitForSingleObject(r->gate, INFINITE);
    SetEvent(r->done);
    return 0;
}

TEST(Threads, AThreadKeepsRunningAfterItsHandleIsClosed) {
    Relay r{CreateEventW(nullptr, TRUE, FALSE, nullptr),
            CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE t = CreateThread(nullptr, 0, relay, &r, 0, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(r.gate);
    EXPECT_EQ(WaitForSingleObject(r.done, 5000), WAIT_OBJECT_0);
    CloseHandle(r.gate);
    CloseHandle(r.done);
}

DWORD WINAPI keepAwakeUntilGate(LPVOID gate) {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    return 0;
}

TEST(Threads, AnExecutionStateIsTheCallingThreadsAndEndsWithIt) {
    const int before = win32_posix::threadsKeepingSystemAwake();
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS) << "nothing asked yet";
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before + 1);
    // A one-off request returns the lasting state and leaves it as it was.
    EXPECT_EQ(SetThreadExecutionState(ES_DISPLAY_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED),
              ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before + 1) << "a thread counts once";
    EXPECT_EQ(SetThreadExecutionState(0x4), 0u) << "unknown flags are refused";
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before);

    // Another thread's request is its own, and goes when the thread ends: by the time its handle
    // is signalled (CreateThread), or it has been joined (any thread).
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, keepAwakeUntilGate, gate, 0, nullptr);
    const auto start = Clock::now();
    while (win32_posix::threadsKeepingSystemAwake() == before && msSince(start) < 5000) {
        Sleep(1);
    }
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before + 1);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS) << "not this thread's";
    SetEvent(gate);
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before);
    std::thread([] { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }).join();
    EXPECT_EQ(win32_posix::threadsKeepingSystemAwake(), before);
    CloseHandle(t);
    CloseHandle(gate);
}

struct Shared {
    CRITICAL_SECTION lock;
    long counter = 0;
    HANDLE entered = nullptr;
};

DWORD WINAPI addMany(LPVOID arg) {
    auto* s = static_cast<Shared*>(arg);
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&s->lock);
        s->counter = s->counter + 1;
        LeaveCriticalSection(&s->lock);
    }
    return 0;
}

DWORD WINAPI enterOnce(LPVOID arg) {
    auto* s = static_cast<Shared*>(arg);
    EnterCriticalSection(&s->lock);
    SetEvent(s->entered);
    LeaveCriticalSection(&s->lock);
    return 0;
}

TEST(CriticalSections, AreRecursiveAndMutuallyExclusive) {
    Shared s;
    InitializeCriticalSection(&s.lock);
    EnterCriticalSection(&s.lock);
    EnterCriticalSection(&s.lock); // recursion, as on Windows
    s.entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = CreateThread(nullptr, 0, enterOnce, &s, 0, nullptr);
    LeaveCriticalSection(&s.lock);
    EXPECT_EQ(WaitForSingleObject(s.entered, 150), WAIT_TIMEOUT) << "entered while held";
    LeaveCriticalSection(&s.lock);
    EXPECT_EQ(WaitForSingleObject(s.entered, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(other, 5000), WAIT_OBJECT_0);
    CloseHandle(other);

    HANDLE workers[4];
    for (HANDLE& w : workers) {
        w = CreateThread(nullptr, 0, addMany, &s, 0, nullptr);
    }
    for (HANDLE w : workers) {
        EXPECT_EQ(WaitForSingleObject(w, 30000), WAIT_OBJECT_0);
        CloseHandle(w);
    }
    EXPECT_EQ(s.counter, 4 * 20000);
    CloseHandle(s.entered);
    DeleteCriticalSection(&s.lock);
}

DWORD WINAPI setOwnError(LPVOID result) {
    SetLastError(456);
    *static_cast<DWORD*>(result) = GetLastError();
    return 0;
}

TEST(LastError, IsPerThread) {
    SetLastError(123);
    DWORD seen = 0;
    HANDLE t = CreateThread(nullptr, 0, setOwnError, &seen, 0, nullptr);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(seen, 456u);
    EXPECT_EQ(GetLastError(), 123u);
}

TEST(Counter, PerformanceCounterRisesWithTimeAtItsFrequency) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    const double seconds = static_cast<double>(after.QuadPart - before.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    EXPECT_GE(seconds, 0.020);
    EXPECT_LT(seconds, 5.0);
}

TEST(Format, WsprintfFormatsDeviceNamesAndCapsAt1024) {
    char name[32];
    EXPECT_EQ(wsprintfA(name, "\\\\.\\COM%d", 12), 9);
    EXPECT_STREQ(name, "\\\\.\\COM12");
    static char big[1100];
    const std::string longText(2000, 'x');
    EXPECT_EQ(wsprintfA(big, "%s", longText.c_str()), 1024);
    EXPECT_EQ(std::strlen(big), 1024u);
}

} // namespace
