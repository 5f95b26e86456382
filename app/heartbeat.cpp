// HeartBeat: the tick thread and its listener lock.
#include "app/heartbeat.h"

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
}

void HeartBeat::stop() {
    SetEvent(stopEvent);
    WaitForSingleObject(thread, 6000);
}

DWORD WINAPI HeartBeat::run(LPVOID self) {
    HeartBeat* beat = static_cast<HeartBeat*>(self);
    for (;;) {
        if (WaitForSingleObject(beat->stopEvent, 100) == WAIT_OBJECT_0) {
            return 0;
        }
        EnterCriticalSection(&beat->lock);
        if (beat->listener != nullptr) {
            beat->listener->onHeartBeat();
        }
        LeaveCriticalSection(&beat->lock);
    }
}
