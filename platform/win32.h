// The Windows kernel services the engine is written against: the real ones on Windows, our POSIX
// rendering of the same calls everywhere else.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/win32_posix.h"
#endif
