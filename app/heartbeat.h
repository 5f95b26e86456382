// HeartBeat: the program's clock, a thread that ticks its listener on a fixed 100 ms timetable.
#pragma once

#include <memory>

#include "engine/heartbeat_listener.h"
#include "platform/win32.h"

class HeartBeat {
public:
    // How long stop waits for the tick thread, and clearListener by default for a call running.
    static constexpr DWORD StopWaitMs = 6000;
    static constexpr DWORD ClearWaitMs = 5000;

    HeartBeat();
    // Safe whether or not the tick thread ended: what the thread uses stays until it has.
    ~HeartBeat();
    HeartBeat(const HeartBeat&) = delete;
    HeartBeat& operator=(const HeartBeat&) = delete;

    void setListener(iHeartBeatListener* newListener);
    // Waits at most boundMs for a call in progress. True when it returns with no call to the former
    // listener running and none to follow. False when a call still ran after the bound: that
    // listener then stays set, and must be kept alive.
    bool clearListener(DWORD boundMs = ClearWaitMs);
    void start();
    // Ends the tick thread, waiting for it at most boundMs; true when it has ended.
    bool stop(DWORD boundMs = StopWaitMs);

    DWORD threadId = 0;
    HANDLE thread = nullptr;

private:
    // The lock, the listener and the stop event, shared with the tick thread.
    struct Shared;
    static DWORD WINAPI run(LPVOID shared);

    std::shared_ptr<Shared> shared;
};
