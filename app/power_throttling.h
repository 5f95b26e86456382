// Keeps the program's timing when Windows would save power on it (Windows only).
#pragma once

#include <windows.h>

using SetProcessInformationCall = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

// Opts the process out of execution-speed throttling (EcoQoS) and of losing its timer resolution
// while its window is minimized or hidden, in two requests, execution speed first, so that a
// Windows that knows only the first (Windows 10) still takes it. Returns whether Windows took
// both; a Windows that has no such setting (before Windows 10 1709, or Wine) refuses, and nothing
// else changes.
bool optOutOfPowerThrottling();
// The same through the given call (SetProcessInformation, resolved at run time; null: none).
bool optOutOfPowerThrottling(SetProcessInformationCall setInformation);
