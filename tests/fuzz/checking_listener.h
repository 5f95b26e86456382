// CheckingListener: the fuzz targets' listener. It keeps only what it needs to check each report:
// a code a link can give, counts that go up by one from each connect, and every call made on the
// worker's own thread. A report that fails a check traps, so that libFuzzer keeps the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <thread>

#include "engine/status_code.h"
#include "engine/telescope_listener.h"

#define FUZZ_REQUIRE(condition)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

class CheckingListener : public TelescopeListener {
public:
    // Starts an input on a freshly reset record; the calling thread is the worker.
    void begin() {
        worker_ = std::this_thread::get_id();
        lastCount_ = 0;
        incomingOpened = outgoingOpened = outgoingClosed = false;
    }

    void onIncomingStatus(std::int32_t code, std::int32_t count) override {
        FUZZ_REQUIRE(std::this_thread::get_id() == worker_);
        if ((code & CountFlag) != 0) {
            // One report per command; the first after a connect also says the link is ready.
            FUZZ_REQUIRE(count == lastCount_ + 1);
            FUZZ_REQUIRE(code ==
                         static_cast<std::int32_t>(CountFlag | (count == 1 ? StatusReady : 0)));
            lastCount_ = count;
            return;
        }
        FUZZ_REQUIRE(count == 0);
        switch (code) {
        case StatusWaiting:
            incomingOpened = true;
            lastCount_ = 0;
            break;
        case StatusOpening:
        case StatusCannotOpen:
        case StatusAlreadyOpened:
        case StatusClosed:
        case StatusNotOpened:
            break;
        default:
            FUZZ_REQUIRE(!"an incoming status the link cannot give");
        }
    }

    void onOutgoingStatus(std::int32_t code, std::int32_t count) override {
        FUZZ_REQUIRE(std::this_thread::get_id() == worker_);
        FUZZ_REQUIRE(count == 0);
        switch (code) {
        case StatusPortOpened:
            outgoingOpened = true;
            break;
        case StatusClosed:
            outgoingClosed = true;
            break;
        case StatusCannotOpen:
        case StatusAlreadyOpened:
        case StatusNotOpened:
            break;
        default:
            FUZZ_REQUIRE(!"an outgoing status the link cannot give");
        }
    }

    void onGuideState(std::uint32_t ra, std::uint32_t dec, std::int32_t count) override {
        FUZZ_REQUIRE(std::this_thread::get_id() == worker_);
        FUZZ_REQUIRE(ra == 0 || ra == 4 || ra == 7);
        FUZZ_REQUIRE(dec == 0 || dec == 4 || dec == 7);
        // The scheduler runs only once a command has come, and reports the count of the link.
        FUZZ_REQUIRE(count >= 1 && count == lastCount_);
    }

    // The count of the last command report since the last connect.
    std::int32_t lastCount() const { return lastCount_; }

    // What this input has done to the links.
    bool incomingOpened = false;
    bool outgoingOpened = false;
    bool outgoingClosed = false;

private:
    std::thread::id worker_;
    std::int32_t lastCount_ = 0;
};
