// HeartBeat: the tick thread, its fine-grained timer and its listener lock.
#include "app/heartbeat.h"

#include <chrono>
#include <mutex>

#include "app/tick_schedule.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x2u
#endif

namespace {

std::int64_t counterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The timer the tick thread waits on. Windows 10 1803 and later have a high-resolution waitable
// timer that ends its wait within a fraction of a millisecond whatever the system timer's
// resolution. Where the flag is refused, a plain timer serves, with the system timer raised to
// 1 ms for the timer's life; otherwise every wait would end on the default 15.625 ms interrupt.
// winmm, which has the call, is loaded only then, so that the program imports nothing more.
class TickTimer {
public:
    TickTimer() {
        handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
        if (handle == nullptr) {
            handle = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
            raiseResolution();
        }
    }
    ~TickTimer() {
#ifdef _WIN32
        if (endPeriod != nullptr) {
            endPeriod(1);
        }
        if (winmm != nullptr) {
            FreeLibrary(winmm);
        }
#endif
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;

    // Starts the timer for this many counter units (frequency per second); false if it could not.
    bool set(std::int64_t counts, std::int64_t frequency) const {
        // In 100 ns units, rounded up so that the wait does not end before the due time; a
        // negative due time is relative, on the monotonic interrupt time.
        LARGE_INTEGER due;
        due.QuadPart = -((counts * 10000000 + frequency - 1) / frequency);
        return handle != nullptr && SetWaitableTimer(handle, &due, 0, nullptr, nullptr, FALSE);
    }

    HANDLE handle = nullptr;

private:
    void raiseResolution() {
#ifdef _WIN32
        winmm = LoadLibraryW(L"winmm.dll");
        if (winmm == nullptr) {
            return;
        }
        using TimePeriod = UINT(WINAPI*)(UINT);
        const auto beginPeriod = reinterpret_cast<TimePeriod>(
            reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
        const auto end = reinterpret_cast<TimePeriod>(
            reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
        if (beginPeriod != nullptr && end != nullptr && beginPeriod(1) == 0) { // TIMERR_NOERROR
            endPeriod = end;
        }
#endif
    }

#ifdef _WIN32
    HMODULE winmm = nullptr;
    UINT(WINAPI* endPeriod)(UINT) = nullptr;
#endif
};

} // namespace

// Held by the heartbeat and by its tick thread: a thread that outlived stop (its listener's call
// did not return) finds it still there when it comes back, and frees it when it ends.
struct HeartBeat::Shared {
    Shared() : stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Shared() {
        if (stopEvent != nullptr) {
            CloseHandle(stopEvent);
        }
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // Guards listener and is held during every call to it. Clearing tries it until its bound
    // (std::timed_mutex's timed lock would do, but ThreadSanitizer cannot follow it).
    std::mutex lock;
    iHeartBeatListener* listener = nullptr;
    HANDLE stopEvent;
};

HeartBeat::HeartBeat() : shared(std::make_shared<Shared>()) {}

HeartBeat::~HeartBeat() {
    SetEvent(shared->stopEvent);
    // A thread that ended in time is released; one that did not keeps its handle and, through its
    // own reference, the shared state.
    if (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
        CloseHandle(thread);
    }
}

void HeartBeat::setListener(iHeartBeatListener* newListener) {
    const std::lock_guard<std::mutex> held(shared->lock);
    shared->listener = newListener;
}

bool HeartBeat::clearListener(DWORD boundMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    std::unique_lock<std::mutex> held(shared->lock, std::try_to_lock);
    while (!held.owns_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        Sleep(1);
        held.try_lock();
    }
    shared->listener = nullptr;
    return true;
}

void HeartBeat::start() {
    // The thread's own reference to the shared state, which it releases when it ends.
    auto* own = new std::shared_ptr<Shared>(shared);
    thread = CreateThread(nullptr, 0, run, own, 0, &threadId);
    if (thread == nullptr) {
        delete own;
        return;
    }
    // It sleeps nearly all the time, so it takes nothing from other programs, and wins the
    // processor the moment a tick is due.
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
}

bool HeartBeat::stop(DWORD boundMs) {
    SetEvent(shared->stopEvent);
    return thread == nullptr || WaitForSingleObject(thread, boundMs) == WAIT_OBJECT_0;
}

DWORD WINAPI HeartBeat::run(LPVOID own) {
    const std::unique_ptr<std::shared_ptr<Shared>> reference(
        static_cast<std::shared_ptr<Shared>*>(own));
    Shared* beat = reference->get();
    const TickTimer timer;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    TickSchedule schedule(frequency.QuadPart);
    schedule.restart(counterNow());
    const HANDLE wakeOn[2] = {beat->stopEvent, timer.handle};
    for (;;) {
        const std::int64_t left = schedule.untilDue(counterNow());
        // The timer ends the wait on time; the wait's own bound, in whole milliseconds rounded
        // up, stands in for a timer that could not be set.
        const DWORD boundMs =
            static_cast<DWORD>((left * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
        const DWORD waitOn = left > 0 && timer.set(left, frequency.QuadPart) ? 2 : 1;
        if (WaitForMultipleObjects(waitOn, wakeOn, FALSE, boundMs) == WAIT_OBJECT_0) {
            return 0;
        }
        if (schedule.untilDue(counterNow()) > 0) {
            continue; // woke early: wait for the rest
        }
        {
            const std::lock_guard<std::mutex> held(beat->lock);
            if (beat->listener != nullptr) {
                beat->listener->onHeartBeat();
            }
        }
        schedule.ticked(counterNow());
    }
}
