// EventLog: recording into the ring and taking events out of it.
//
// The writer marks a slot 0, stores the record's words with release, then stores the sequence
// number with release. A reader loads the sequence (acquire), the words (acquire), and the sequence
// again: if a word came from a later writer, that writer's 0 mark happened before it, so the second
// look can no longer see the number the first look saw. Every access is atomic; no fence is needed.
#include "event_log.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

#ifdef _WIN32
using ReadSystemTime = void(WINAPI*)(LPFILETIME);

// The precise clock of Windows 8 on, else the one that steps with the system timer (Windows 7).
ReadSystemTime systemTimeReader() {
    const auto precise = reinterpret_cast<ReadSystemTime>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    return precise != nullptr ? precise : GetSystemTimeAsFileTime;
}
#else
// From 1970 to 1601, in 100 ns units.
constexpr std::int64_t UnixEpochInFileTime = 116444736000000000LL;
#endif

// The wall clock now, as Event::wall has it.
std::int64_t wallClock() {
#ifdef _WIN32
    static const ReadSystemTime read = systemTimeReader();
    FILETIME now;
    read(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                     now.dwLowDateTime);
#else
    const auto since1970 = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return since1970.count() * 10 + UnixEpochInFileTime;
#endif
}

} // namespace

EventLog::EventLog(std::uint64_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity),
      slots_(static_cast<Slot*>(std::calloc(capacity_, sizeof(Slot)))) {
    if (!slots_) {
        throw std::bad_alloc();
    }
}

void EventLog::Free::operator()(Slot* slots) const {
    std::free(slots);
}

void EventLog::record(EventKind kind, std::uint32_t value, std::uint16_t extra, const void* bytes,
                      int length) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (length < 0 || bytes == nullptr) {
        length = 0;
    }
    if (length > EventBytes) {
        length = EventBytes;
    }
    std::uint64_t packed[Words] = {};
    packed[0] = static_cast<std::uint64_t>(now.QuadPart);
    packed[1] = kind | (static_cast<std::uint64_t>(length) << 8) |
                (static_cast<std::uint64_t>(extra) << 16) |
                (static_cast<std::uint64_t>(value) << 32);
    packed[2] = static_cast<std::uint64_t>(wallClock());
    std::memcpy(packed + 3, bytes == nullptr ? "" : bytes, static_cast<std::size_t>(length));

    const std::uint64_t sequence = recorded_.load(std::memory_order_relaxed) + 1;
    Slot& slot = slots_[sequence % capacity_];
    slot.sequence.store(0, std::memory_order_relaxed);
    for (int i = 0; i < Words; ++i) {
        slot.words[i].store(packed[i], std::memory_order_release);
    }
    slot.sequence.store(sequence, std::memory_order_release);
    recorded_.store(sequence, std::memory_order_release);
}

bool EventLog::at(std::uint64_t sequence, Event& out) const {
    if (sequence == 0) {
        return false;
    }
    const Slot& slot = slots_[sequence % capacity_];
    if (slot.sequence.load(std::memory_order_acquire) != sequence) {
        return false;
    }
    std::uint64_t packed[Words];
    for (int i = 0; i < Words; ++i) {
        packed[i] = slot.words[i].load(std::memory_order_acquire);
    }
    if (slot.sequence.load(std::memory_order_relaxed) != sequence) {
        return false;
    }
    out.sequence = sequence;
    out.stamp = static_cast<std::int64_t>(packed[0]);
    out.kind = static_cast<std::uint8_t>(packed[1]);
    out.length = static_cast<std::uint8_t>(packed[1] >> 8);
    out.extra = static_cast<std::uint16_t>(packed[1] >> 16);
    out.value = static_cast<std::uint32_t>(packed[1] >> 32);
    out.wall = static_cast<std::int64_t>(packed[2]);
    std::memcpy(out.bytes, packed + 3, EventBytes);
    return true;
}

int EventLog::take(EventCursor& cursor, Event* out, int max) const {
    const std::uint64_t newest = recorded();
    // Whatever lies more than a ring behind the newest has been overwritten.
    if (newest >= capacity_ && cursor.next <= newest - capacity_) {
        cursor.missed += newest - capacity_ + 1 - cursor.next;
        cursor.next = newest - capacity_ + 1;
    }
    int taken = 0;
    while (taken < max && cursor.next <= newest) {
        if (at(cursor.next, out[taken])) {
            ++taken;
        } else {
            // Overwritten while we came to it.
            cursor.missed += 1;
        }
        cursor.next += 1;
    }
    return taken;
}
