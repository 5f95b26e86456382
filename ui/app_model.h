// AppModel: packs the engine's reports into notification words, posts them to the dialog window,
// and routes them to the dialog on the UI thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "engine/telescope_listener.h"
#include "ui/dialog_callback.h"

// Notification kinds: the posted message's wParam.
enum NotificationKind : std::int32_t {
    KindIncomingStatus = 1,
    KindOutgoingStatus = 2,
    KindGuideState = 3,
};

constexpr std::uint32_t NotificationMessage = 0x0400; // WM_USER

// A window handle, as the notification channel passes it around.
using NotifyWindow = void*;

constexpr NotificationWord packStatusWord(std::int32_t code, std::int32_t count) {
    return static_cast<std::uint32_t>(code) | (static_cast<std::uint32_t>(count) << 8);
}

constexpr NotificationWord packGuideWord(std::uint32_t ra, std::uint32_t dec, std::int32_t count) {
    return (ra & 7) | ((dec & 7) << 3) | 0xC0 | (static_cast<std::uint32_t>(count) << 8);
}

// Posts one notification to a window without waiting for it. The Windows build posts
// NotificationMessage with PostMessageA; native test builds provide their own.
void postNotification(NotifyWindow window, std::int32_t kind, NotificationWord word);

class AppModel : public TelescopeListener {
public:
    // Receives routed notifications; set by the dialog object when it is constructed.
    TelescopeControlDlgCallback* callback = nullptr;

    void onIncomingStatus(std::int32_t code, std::int32_t count) override;
    void onOutgoingStatus(std::int32_t code, std::int32_t count) override;
    void onGuideState(std::uint32_t ra, std::uint32_t dec, std::int32_t count) override;

    // Called by the dialog procedure on the UI thread for every notification message.
    void dispatch(std::int32_t kind, NotificationWord word);

    // The dialog publishes its window when it has one and withdraws it (nullptr) before the
    // window goes away. Once withdrawn, no report reaches a window: a report in flight finishes
    // its post first, and later reports are dropped.
    void setWindow(NotifyWindow window);

private:
    void post(std::int32_t kind, NotificationWord word);

    std::mutex windowLock;
    NotifyWindow window = nullptr;
};
