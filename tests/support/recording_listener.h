// A TelescopeListener for tests: records every report and lets a test wait for the ones it expects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/telescope_listener.h"

struct Report {
    int kind;           // 1 incoming status, 2 outgoing status, 3 guide state
    std::uint32_t code; // status code byte, or the RA axis value for a guide state
    std::uint32_t dec;  // the Dec axis value for a guide state
    std::int32_t count;
    bool operator==(const Report& other) const {
        return kind == other.kind && code == other.code && dec == other.dec && count == other.count;
    }
};

inline Report incoming(std::uint32_t code, std::int32_t count = 0) {
    return {1, code, 0, count};
}
inline Report outgoing(std::uint32_t code, std::int32_t count = 0) {
    return {2, code, 0, count};
}
inline Report guide(std::uint32_t ra, std::uint32_t dec, std::int32_t count) {
    return {3, ra, dec, count};
}

class RecordingListener : public TelescopeListener {
public:
    void onIncomingStatus(std::int32_t code, std::int32_t count) override {
        add({1, static_cast<std::uint32_t>(code), 0, count});
    }
    void onOutgoingStatus(std::int32_t code, std::int32_t count) override {
        add({2, static_cast<std::uint32_t>(code), 0, count});
    }
    void onGuideState(std::uint32_t ra, std::uint32_t dec, std::int32_t count) override {
        add({3, ra, dec, count});
    }

    std::vector<Report> reports() {
        std::lock_guard<std::mutex> hold(lock);
        return log;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> hold(lock);
        return log.size();
    }
    void clear() {
        std::lock_guard<std::mutex> hold(lock);
        log.clear();
    }
    // Waits until at least n reports have arrived; false after the deadline.
    bool waitForCount(std::size_t n, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [&] { return log.size() >= n; });
    }
    // Waits until a report equal to the given one has arrived.
    bool waitFor(const Report& wanted, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            for (const Report& report : log) {
                if (report == wanted) {
                    return true;
                }
            }
            return false;
        });
    }
    // Called inside every report, on the reporting thread, after it is logged.
    std::function<void(const Report&)> onReport;

private:
    void add(const Report& report) {
        {
            std::lock_guard<std::mutex> hold(lock);
            log.push_back(report);
        }
        arrived.notify_all();
        if (onReport) {
            onReport(report);
        }
    }

    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Report> log;
};
