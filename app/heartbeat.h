// HeartBeat: the program's clock, a thread that ticks its listener on a fixed 100 ms timetable.
#pragma once

#include "engine/heartbeat_listener.h"
#include "platform/win32.h"

class HeartBeat {
public:
    HeartBeat();
    ~HeartBeat();
    HeartBeat(const HeartBeat&) = delete;
    HeartBeat& operator=(const HeartBeat&) = delete;

    void setListener(iHeartBeatListener* newListener);
    // When this returns, no call to the former listener is running and none will follow.
    void clearListener();
    void start();
    // Ends the tick thread, waiting for it at most 6000 ms.
    void stop();

    CRITICAL_SECTION lock;
    DWORD threadId = 0;
    HANDLE thread = nullptr;
    HANDLE stopEvent = nullptr;
    iHeartBeatListener* listener = nullptr;

private:
    static DWORD WINAPI run(LPVOID self);
};
