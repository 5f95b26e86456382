// The process's power-throttling opt-out, resolved at run time: Windows 7 has no such setting.
#include "app/power_throttling.h"

#include <windows.h>

bool optOutOfPowerThrottling() {
    using SetInformation = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto setInformation = kernel == nullptr
                                    ? nullptr
                                    : reinterpret_cast<SetInformation>(reinterpret_cast<void*>(
                                          GetProcAddress(kernel, "SetProcessInformation")));
    if (setInformation == nullptr) {
        return false;
    }
    // Each flag in the control mask with 0 in the state mask: never throttle that.
    PROCESS_POWER_THROTTLING_STATE state = {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask =
        PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;
    return setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state) !=
           FALSE;
}
