// Tests of the notification channel: how reports are packed and posted, and how they are routed.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/status_code.h"
#include "ui/app_model.h"
#include "ui/event_text.h"
#include "ui/status_text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Posted {
    NotifyWindow window;
    std::int32_t kind;
    NotificationWord word;
    bool operator==(const Posted& other) const {
        return window == other.window && kind == other.kind && word == other.word;
    }
};

#ifdef _WIN32
// A real window and its real queue: what PostMessageA put there.
class Target {
public:
    Target() {
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
    }
    ~Target() { DestroyWindow(window); }
    NotifyWindow handle() const { return window; }
    std::vector<Posted> take() {
        std::vector<Posted> found;
        MSG message;
        while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
            EXPECT_EQ(message.message, NotificationMessage);
            found.push_back({message.hwnd, static_cast<std::int32_t>(message.wParam),
                             static_cast<NotificationWord>(message.lParam)});
        }
        return found;
    }

private:
    HWND window;
};
#else
std::vector<Posted> posted;

class Target {
public:
    Target() { posted.clear(); }
    NotifyWindow handle() const { return const_cast<int*>(&tag); }
    std::vector<Posted> take() {
        std::vector<Posted> found;
        found.swap(posted);
        return found;
    }

private:
    int tag = 0;
};
#endif

} // namespace

#ifndef _WIN32
void postNotification(NotifyWindow window, std::int32_t kind, NotificationWord word) {
    posted.push_back({window, kind, word});
}
#endif

namespace {

TEST(Notifications, PackReportsIntoWords) {
    Target target;
    AppModel model;
    model.setWindow(target.handle());
    model.onIncomingStatus(3, 0);
    model.onIncomingStatus(0x84, 1);
    model.onIncomingStatus(0x80, 2);
    model.onOutgoingStatus(2, 0);
    model.onGuideState(7, 4, 12);
    model.onGuideState(9, 15, 5);
    model.onIncomingStatus(0x80, 1 << 24);
    model.onIncomingStatus(0x80, (1 << 24) + 5);
    const NotifyWindow w = target.handle();
    EXPECT_EQ(target.take(), (std::vector<Posted>{{w, 1, 0x3},
                                                  {w, 1, 0x184},
                                                  {w, 1, 0x280},
                                                  {w, 2, 0x2},
                                                  {w, 3, 0xCE7},
                                                  {w, 3, 0x5F9},
                                                  {w, 1, 0x80},
                                                  {w, 1, 0x580}}));
}

TEST(Notifications, GoNowhereWithoutAWindow) {
    Target target;
    AppModel model;
    model.onIncomingStatus(3, 0);
    model.setWindow(target.handle());
    model.onOutgoingStatus(5, 0);
    model.setWindow(nullptr);
    model.onGuideState(4, 4, 1);
    EXPECT_EQ(target.take(), (std::vector<Posted>{{target.handle(), 2, 0x5}}));
}

struct Shown : TelescopeControlDlgCallback {
    void showIncomingStatus(NotificationWord word) override { log.push_back({1, word}); }
    void showOutgoingStatus(NotificationWord word) override { log.push_back({2, word}); }
    void showGuideState(NotificationWord word) override { log.push_back({3, word}); }
    std::vector<std::pair<int, NotificationWord>> log;
};

TEST(Notifications, AreRoutedByKind) {
    AppModel model;
    model.dispatch(1, 0x3); // no callback yet: nothing
    Shown shown;
    model.callback = &shown;
    for (std::int32_t kind : {1, 2, 3, 0, 4, -1}) {
        model.dispatch(kind, 0x100u + static_cast<NotificationWord>(kind & 0xFF));
    }
    EXPECT_EQ(shown.log,
              (std::vector<std::pair<int, NotificationWord>>{{1, 0x101}, {2, 0x102}, {3, 0x103}}));
}

TEST(StatusTexts, NameCodesOneToEight) {
    const char* expected[] = {
        "Opening port...",   "Port opened",     "Waiting...",         "Ready",
        "Cannot open port.", "Already opened.", "Connection closed.", "Port is not opened yet."};
    for (std::uint32_t code = 1; code <= 8; ++code) {
        ASSERT_NE(statusText(code), nullptr);
        EXPECT_STREQ(statusText(code), expected[code - 1]);
    }
    for (std::uint32_t code : {0u, 9u, 63u, 64u, 255u}) {
        EXPECT_EQ(statusText(code), nullptr) << code;
    }
}

Event made(EventKind kind, std::uint32_t value, std::uint16_t extra,
           const std::string& bytes = "") {
    Event event;
    event.kind = kind;
    event.value = value;
    event.extra = extra;
    event.length = static_cast<std::uint8_t>(bytes.size());
    std::memcpy(event.bytes, bytes.data(), bytes.size());
    return event;
}

TEST(EventLines, CarryTheLocalTimeToTheMillisecondAndSayWhatPassed) {
    const LocalTime at{2026, 3, 9, 23, 59, 59, 250};
    const LocalTime midnight{2026, 3, 10, 0, 0, 0, 7, -210};
    EXPECT_EQ(eventLine(made(EventIncomingStatus, StatusWaiting, 3), at),
              "23:59:59.250  Incoming COM3: Waiting...");
    EXPECT_EQ(eventLine(made(EventOutgoingStatus, StatusNotOpened, 0), at),
              "23:59:59.250  Outgoing: Port is not opened yet.");
    EXPECT_EQ(eventLine(made(EventCommand, 0, 0, "\x06"), midnight), "00:00:00.007  Received <06>");
    EXPECT_EQ(eventLine(made(EventReply, 0, 0, "00:00:00#"), at), "23:59:59.250  Sent 00:00:00#");
    EXPECT_EQ(eventLine(made(EventCommand, 0, 0, ":G\x7f\xffR#"), at),
              "23:59:59.250  Received :G<7F><FF>R#");
    EXPECT_EQ(eventLine(made(EventPulse, 500, 5, "w"), at),
              "23:59:59.250  Pulse west 500 ms, 5 ticks");
    EXPECT_EQ(eventLine(made(EventMountWrite, 0, 0, ":Mn#"), at), "23:59:59.250  Move :Mn#");
    EXPECT_EQ(eventLine(made(EventMountWrite, 0, 0, ":Qw#"), at), "23:59:59.250  Halt :Qw#");
    EXPECT_EQ(eventLine(made(EventOutgoingReopen, ReopenRetrying, 4), at),
              "23:59:59.250  Outgoing COM4: lost; trying to open it again every second");
    EXPECT_EQ(eventLine(made(EventIncomingReopen, ReopenBack, 3), at),
              "23:59:59.250  Incoming COM3: the port is back");
    EXPECT_EQ(eventLine(made(EventAwake, 1, 0), at),
              "23:59:59.250  Keeping the computer awake while a link is open");
    // The date with the offset from UTC, a change of the offset, and the gaps have lines of their
    // own.
    EXPECT_FALSE(sameDay(at, midnight));
    EXPECT_EQ(dateLine(midnight), "---- 2026-03-10 UTC-03:30 ----");
    EXPECT_EQ(offsetLine({2026, 3, 10, 2, 0, 0, 0, 330}), "---- UTC+05:30 from here ----");
    EXPECT_EQ(gapLine(1), "---- 1 event missing ----");
    EXPECT_EQ(gapLine(4097), "---- 4097 events missing ----");
}

} // namespace
