// Keeps the program's timing when Windows would save power on it (Windows only).
#pragma once

// Opts the process out of execution-speed throttling (EcoQoS) and of losing its timer resolution
// while its window is minimized or hidden. Returns whether Windows took it; a Windows that has no
// such setting (before Windows 10 1709, or Wine) refuses, and nothing else changes.
bool optOutOfPowerThrottling();
