// Posting a notification to a window, for real.
#include <windows.h>

#include "ui/app_model.h"

void postNotification(NotifyWindow window, std::int32_t kind, NotificationWord word) {
    PostMessageA(static_cast<HWND>(window), NotificationMessage, static_cast<WPARAM>(kind),
                 static_cast<LPARAM>(word));
}
