// Tests of the event log: the ring on its own (order, wrap, what a slow or overrun reader misses),
// and the events the engine records as a guiding session passes through it.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_harness.h"
#include "engine/event_log.h"
#include "engine/status_code.h"
#include "support/peer_line.h"

namespace {

std::vector<Event> takeAll(const EventLog& log, EventCursor& cursor) {
    std::vector<Event> taken;
    Event batch[16];
    while (int count = log.take(cursor, batch, 16)) {
        taken.insert(taken.end(), batch, batch + count);
    }
    return taken;
}

std::string text(const Event& event) {
    return std::string(reinterpret_cast<const char*>(event.bytes), event.length);
}

TEST(EventStore, KeepsOrderFieldsAndStampsAndCutsLongBytes) {
    EventLog log(8);
    log.record(EventIncomingStatus, StatusWaiting, 3);
    log.record(EventCommand, 0, 0, ":GR#", 4);
    log.record(EventPulse, 500, 5, "w", 1);
    const std::string longest(EventBytes + 10, 'x');
    log.record(EventReply, 0, 0, longest.data(), static_cast<int>(longest.size()));

    EventCursor cursor;
    const std::vector<Event> events = takeAll(log, cursor);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(cursor.missed, 0u);
    EXPECT_EQ(cursor.next, 5u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].sequence, i + 1);
        if (i > 0) {
            EXPECT_GE(events[i].stamp, events[i - 1].stamp);
        }
    }
    EXPECT_EQ(events[0].kind, EventIncomingStatus);
    EXPECT_EQ(events[0].value, static_cast<std::uint32_t>(StatusWaiting));
    EXPECT_EQ(events[0].extra, 3);
    EXPECT_EQ(text(events[1]), ":GR#");
    EXPECT_EQ(events[2].value, 500u);
    EXPECT_EQ(events[2].extra, 5);
    EXPECT_EQ(text(events[2]), "w");
    EXPECT_EQ(text(events[3]), std::string(EventBytes, 'x'));
    // The wall clock, in 100 ns units since 1601: within a minute of the system clock.
    using FileTimeUnits = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    const std::int64_t fromUnixEpoch = 116444736000000000LL;
    const std::int64_t now = std::chrono::duration_cast<FileTimeUnits>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() +
                             fromUnixEpoch;
    for (const Event& event : events) {
        EXPECT_NEAR(static_cast<double>(event.wall), static_cast<double>(now), 600000000.0);
    }

    // Nothing new: nothing taken, nothing missed.
    Event one;
    EXPECT_EQ(log.take(cursor, &one, 1), 0);
    EXPECT_EQ(cursor.missed, 0u);
}

TEST(EventStore, AReaderThatFellBehindCountsWhatWasOverwrittenAndGoesOnInOrder) {
    EventLog log(8);
    for (std::uint32_t i = 1; i <= 20; ++i) {
        log.record(EventPulse, i, 0);
    }
    EventCursor cursor;
    std::vector<Event> events = takeAll(log, cursor);
    EXPECT_EQ(cursor.missed, 12u);
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events.front().value, 13u);
    EXPECT_EQ(events.back().value, 20u);

    // Partly taken, then overrun again: a second reader elsewhere in the ring is unaffected.
    EventCursor early;
    Event first[3];
    ASSERT_EQ(log.take(early, first, 3), 3);
    EXPECT_EQ(first[0].value, 13u);
    for (std::uint32_t i = 21; i <= 30; ++i) {
        log.record(EventPulse, i, 0);
    }
    events = takeAll(log, early);
    EXPECT_EQ(early.missed, 12u + 7u);
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events.front().value, 23u);
    events = takeAll(log, cursor);
    EXPECT_EQ(cursor.missed, 12u + 2u);
    EXPECT_EQ(events.front().value, 23u);
}

// The writer never waits: a reader racing it through a small ring sees only whole records, in
// order, and every record is either taken or counted as missed.
TEST(EventStore, AConcurrentReaderSeesOnlyWholeRecordsAndAccountsForEveryOne) {
    EventLog log(64);
    constexpr std::uint32_t Total = 200000;
    std::thread writer([&] {
        std::uint8_t bytes[EventBytes];
        for (std::uint32_t i = 1; i <= Total; ++i) {
            std::memset(bytes, static_cast<int>(i & 0xFF), sizeof bytes);
            log.record(EventReply, i, static_cast<std::uint16_t>(i), bytes, EventBytes);
        }
    });
    EventCursor cursor;
    std::uint64_t taken = 0;
    std::uint64_t last = 0;
    bool whole = true;
    Event batch[32];
    while (cursor.next <= Total) {
        const int count = log.take(cursor, batch, 32);
        for (int i = 0; i < count; ++i) {
            const Event& event = batch[i];
            whole = whole && event.sequence > last && event.value == event.sequence &&
                    event.extra == static_cast<std::uint16_t>(event.sequence) &&
                    event.bytes[0] == (event.sequence & 0xFF) &&
                    event.bytes[EventBytes - 1] == (event.sequence & 0xFF);
            last = event.sequence;
        }
        taken += static_cast<std::uint64_t>(count);
    }
    writer.join();
    EXPECT_TRUE(whole);
    EXPECT_EQ(taken + cursor.missed, Total);
    EXPECT_GT(taken, 0u);
}

TEST(EngineEvents, ASessionIsRecordedInOrderWithPortsRepliesPulsesMovesAndHalts) {
    PeerLine guider(3);
    PeerLine mount(4);
    ASSERT_TRUE(guider.ok() && mount.ok());
    WorkerHarness h;
    EventCursor cursor;
    h.connectIncoming(3);
    h.connectOutgoing(4);
    h.connectOutgoing(4);
    guider.write(std::string("\x06:GR#:Mgn0150#", 14));
    ASSERT_TRUE(h.pumpUntilCount(3));
    h.tick(2);
    // Closed at once: the halt has not left the line yet, and must not be thrown away.
    h.disconnectOutgoing();
    h.disconnectOutgoing();

    std::vector<std::string> seen;
    for (const Event& event : takeAll(h.controller.events, cursor)) {
        std::string line = std::to_string(event.kind) + " " + text(event);
        if (event.kind == EventIncomingStatus || event.kind == EventOutgoingStatus ||
            event.kind == EventPulse || event.kind == EventAwake) {
            line += std::to_string(event.value) + "/" + std::to_string(event.extra);
        }
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1 1/3", "1 3/3", // opening COM3, waiting
                                              "9 1/0",          // the computer kept awake
                                              "2 2/4", "2 6/4", // COM4 opened, already opened
                                              "3 \x06", "1 4/3", "4 P",  // ACK, ready, its reply
                                              "3 :GR#", "4 00:00:00#",   // a query and its reply
                                              "3 :Mgn0150#", "5 n150/2", // a pulse of two ticks
                                              "6 :Mn#", "6 :Qn#",  // move, and halt a tick later
                                              "2 7/4", "2 8/0"})); // closed, not opened
    EXPECT_EQ(cursor.missed, 0u);
    EXPECT_EQ(mount.read(8, 5000), ":Mn#:Qn#");
}

} // namespace
