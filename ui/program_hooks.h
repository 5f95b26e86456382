// ProgramHooks: what the bridge dialog asks of the program around it. app/ gives the dialog one at
// start-up, so that the dialog needs to know nothing of the clock that ticks the engine.
#pragma once

#include <windows.h>

class ProgramHooks {
public:
    // Windows ends the session, and the process as soon as the dialog returns: silence the clock,
    // waiting at most tickWaitMs for a tick under way, then stop the engine within engineWaitMs,
    // which halts the mount and closes the links. A tick that stays under way means the worker
    // reads nothing, and the engine is then left to the end of the process.
    virtual void endSession(DWORD tickWaitMs, DWORD engineWaitMs) = 0;

protected:
    ~ProgramHooks() = default;
};
