// EventLog: the bounded store of what passes through the bridge. The worker records each event
// without ever waiting; a reader takes them in order at its own pace and learns how many it missed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "win32.h"

enum EventKind : std::uint8_t {
    // value: the status code; extra: the port, 0 when the report concerns no port.
    EventIncomingStatus = 1,
    EventOutgoingStatus = 2,
    // bytes: a complete command from the guiding software.
    EventCommand = 3,
    // bytes: a reply written to the guiding software.
    EventReply = 4,
    // value: milliseconds; extra: ticks; bytes: the direction letter.
    EventPulse = 5,
    // bytes: a move or halt written to the mount.
    EventMountWrite = 6,
    // value: ReopenRetrying when a lost link begins to be tried again, ReopenBack when its port
    // has opened again; extra: the port.
    EventIncomingReopen = 7,
    EventOutgoingReopen = 8,
    // value: 1 when the request that keeps the system awake starts, 0 when it ends.
    EventAwake = 9,
    // A port refused the line state set at its open (it is used as it is all the same). value: the
    // system's error code; extra: the port.
    EventLineSettings = 10,
    // A line has taken nothing of a write for the whole write bound (what is due waits for it),
    // and later moves again. value: the link (0 the guider's, 1 the mount's); extra: the port.
    EventLineStalled = 11,
    EventLineMoves = 12,
    // Replies to the guider dropped because its line took nothing and the queue was full, or the
    // link closed under them. value: how many; extra: the port.
    EventRepliesDropped = 13,
    // New kinds go here, after the last: a kind's number is what a reader knows it by.
};

constexpr std::uint32_t ReopenRetrying = 1;
constexpr std::uint32_t ReopenBack = 2;

// The most bytes an event carries: a command is at most ':', 50 bytes and '#'.
constexpr int EventBytes = 56;

// One event as a reader gets it.
struct Event {
    std::uint64_t sequence = 0; // 1 for the first event recorded
    std::int64_t stamp = 0;     // QueryPerformanceCounter when it was recorded
    // The wall-clock time when it was recorded: UTC in 100 ns units since 1601, as in a FILETIME.
    // The stamp orders events and measures between them; this says when they were.
    std::int64_t wall = 0;
    std::uint8_t kind = 0;
    std::uint8_t length = 0; // bytes used in bytes[]
    std::uint16_t extra = 0;
    std::uint32_t value = 0;
    std::uint8_t bytes[EventBytes] = {};
};

// Where a reader is: the next sequence number it wants, and how many it has missed because they
// were overwritten before it came to them.
struct EventCursor {
    std::uint64_t next = 1;
    std::uint64_t missed = 0;
};

// A ring of fixed-size records, written by one thread and read by another. The writer overwrites
// the oldest record when the ring is full and never waits; all memory is taken at construction.
// Each record carries its sequence number, so that a reader that fell behind, or that read a record
// while it was being overwritten, knows it and counts it as missed instead of showing it.
class EventLog {
public:
    // A whole night and more: a pulse and a query every 2 s make 6 events, 129,600 in 12 hours;
    // this holds 24 hours of that. 88 bytes a record, 22 MiB in all.
    static constexpr std::uint64_t DefaultCapacity = 262144;

    explicit EventLog(std::uint64_t capacity = DefaultCapacity);
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Writer side: one thread at a time (the worker). Bytes beyond EventBytes are cut.
    void record(EventKind kind, std::uint32_t value, std::uint16_t extra,
                const void* bytes = nullptr, int length = 0);

    // Reader side: one thread. Takes up to max events from the cursor on, oldest first, into out;
    // returns how many. Stops at the newest event recorded so far.
    int take(EventCursor& cursor, Event* out, int max) const;
    // The event with that sequence number, if the ring still holds it whole.
    bool at(std::uint64_t sequence, Event& out) const;

    std::uint64_t capacity() const { return capacity_; }
    // The number of events recorded so far.
    std::uint64_t recorded() const { return recorded_.load(std::memory_order_acquire); }

private:
    // Word 0 the stamp, word 1 kind, length, extra and value, word 2 the wall clock, then the
    // bytes.
    static constexpr int Words = 3 + EventBytes / 8;
    // Nothing but atomics, and zero bytes are the empty slot: the ring is taken zeroed, and the
    // system backs its pages as they are first written.
    struct Slot {
        // The sequence number of the event held, 0 while it is being written.
        std::atomic<std::uint64_t> sequence;
        std::atomic<std::uint64_t> words[Words];
    };
    struct Free {
        void operator()(Slot* slots) const;
    };

    std::uint64_t capacity_;
    std::unique_ptr<Slot[], Free> slots_;
    std::atomic<std::uint64_t> recorded_{0};
};
