// TelescopeControlDlgCallback: what the notification channel hands its decoded reports to.
#pragma once

#include <cstdint>

using NotificationWord = std::uint32_t;

class TelescopeControlDlgCallback {
public:
    virtual void showIncomingStatus(NotificationWord word) = 0;
    virtual void showOutgoingStatus(NotificationWord word) = 0;
    virtual void showGuideState(NotificationWord word) = 0;

protected:
    ~TelescopeControlDlgCallback() = default;
};
