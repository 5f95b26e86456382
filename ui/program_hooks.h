// ProgramHooks: what the bridge dialog asks of the program around it. app/ gives the dialog one at
// start-up, so that the dialog needs to know nothing of the clock that ticks the engine.
#pragma once

#include <windows.h>

class ProgramHooks {
public:
    // The user closes the dialog: the engine halts the mount and begins to end at once, ahead of
    // anything waiting for it, while the windows are still going. The program's end waits for it.
    virtual void closing() = 0;
    // Windows ends the session, and the process as soon as the dialog returns: stop the engine
    // within engineWaitMs (it halts the mount and closes the links, ahead of anything waiting),
    // then silence the clock, waiting at most tickWaitMs for a tick under way.
    virtual void endSession(DWORD tickWaitMs, DWORD engineWaitMs) = 0;

protected:
    ~ProgramHooks() = default;
};
