// HeartBeat: the tick thread, its fine-grained timer and its listener lock.
#include "app/heartbeat.h"

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

HeartBeat::HeartBeat() {
    InitializeCriticalSection(&lock);
}

HeartBeat::~HeartBeat() {
    // A thread that ended in time is released with its event; one that did not keeps both.
    if (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
        CloseHandle(thread);
        CloseHandle(stopEvent);
    }
    DeleteCriticalSection(&lock);
}

void HeartBeat::setListener(iHeartBeatListener* newListener) {
    EnterCriticalSection(&lock);
    listener = newListener;
    LeaveCriticalSection(&lock);
}

void HeartBeat::clearListener() {
    setListener(nullptr);
}

void HeartBeat::start() {
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread = CreateThread(nullptr, 0, run, this, 0, &threadId);
    // It sleeps nearly all the time, so it takes nothing from other programs, and wins the
    // processor the moment a tick is due.
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
}

void HeartBeat::stop() {
    SetEvent(stopEvent);
    WaitForSingleObject(thread, 6000);
}

DWORD WINAPI HeartBeat::run(LPVOID self) {
    HeartBeat* beat = static_cast<HeartBeat*>(self);
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
        EnterCriticalSection(&beat->lock);
        if (beat->listener != nullptr) {
            beat->listener->onHeartBeat();
        }
        LeaveCriticalSection(&beat->lock);
        schedule.ticked(counterNow());
    }
}
