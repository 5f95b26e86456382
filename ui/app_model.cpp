// AppModel: notification packing, posting and routing.
#include "ui/app_model.h"

void AppModel::onIncomingStatus(std::int32_t code, std::int32_t count) {
    post(KindIncomingStatus, packStatusWord(code, count));
}

void AppModel::onOutgoingStatus(std::int32_t code, std::int32_t count) {
    post(KindOutgoingStatus, packStatusWord(code, count));
}

void AppModel::onGuideState(std::uint32_t ra, std::uint32_t dec, std::int32_t count) {
    post(KindGuideState, packGuideWord(ra, dec, count));
}

void AppModel::dispatch(std::int32_t kind, NotificationWord word) {
    if (callback == nullptr) {
        return;
    }
    switch (kind) {
    case KindIncomingStatus:
        callback->showIncomingStatus(word);
        break;
    case KindOutgoingStatus:
        callback->showOutgoingStatus(word);
        break;
    case KindGuideState:
        callback->showGuideState(word);
        break;
    default:
        break;
    }
}

void AppModel::setWindow(NotifyWindow target) {
    std::lock_guard<std::mutex> hold(windowLock);
    window = target;
}

void AppModel::post(std::int32_t kind, NotificationWord word) {
    // Posting only queues the message, so the lock is held for a moment and never waits on the UI.
    std::lock_guard<std::mutex> hold(windowLock);
    if (window != nullptr) {
        postNotification(window, kind, word);
    }
}
