// The process's power-throttling opt-out, resolved at run time: Windows 7 has no such setting.
#include "app/power_throttling.h"

#include <initializer_list>

bool optOutOfPowerThrottling(SetProcessInformationCall setInformation) {
    if (setInformation == nullptr) {
        return false;
    }
    // Two requests, each flag in the control mask with 0 in the state mask: never throttle that.
    // The timer-resolution flag is newer than the execution-speed one (Windows 11); a Windows that
    // does not know it may refuse a call that names it as a whole, which must not cost the
    // execution-speed opt-out.
    bool tookAll = true;
    for (const ULONG flag :
         {static_cast<ULONG>(PROCESS_POWER_THROTTLING_EXECUTION_SPEED),
          static_cast<ULONG>(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION)}) {
        PROCESS_POWER_THROTTLING_STATE state = {};
        state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
        state.ControlMask = flag;
        state.StateMask = 0;
        const bool took = setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state,
                                         sizeof state) != FALSE;
        tookAll = tookAll && took;
    }
    return tookAll;
}

bool optOutOfPowerThrottling() {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return optOutOfPowerThrottling(
        kernel == nullptr ? nullptr
                          : reinterpret_cast<SetProcessInformationCall>(reinterpret_cast<void*>(
                                GetProcAddress(kernel, "SetProcessInformation"))));
}
