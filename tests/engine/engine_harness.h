// A controller driven by the test itself: the test thread plays the worker, reading the pipe and
// feeding each byte to the pipe reader, so ticks and commands are counted rather than timed. It
// also takes the writes' completions as the worker does when it wakes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/controller.h"
#include "support/recording_listener.h"

class WorkerHarness {
public:
    WorkerHarness() { controller.prepare(); }
    ~WorkerHarness() { controller.shutdown(); }

    // Hands bytes to the pipe reader as if they had been read from the pipe.
    void feed(std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t byte : bytes) {
            controller.takePipeByte(byte);
        }
    }
    void feed(const std::string& bytes) {
        for (char byte : bytes) {
            controller.takePipeByte(static_cast<std::uint8_t>(byte));
        }
    }

    // A Connect opens its port on a thread of its own: these wait until that open is taken and
    // the lines have done what it asked of them.
    void connectIncoming(std::uint8_t port) {
        feed({0xA2, 0x02, port});
        settleOpens();
        settle();
    }
    void connectOutgoing(std::uint8_t port) {
        feed({0xA2, 0x04, port});
        settleOpens();
        settle();
    }
    // Takes the opens of Connects as the worker does when they finish; false after the deadline.
    bool settleOpens(int timeoutMs = 10000) {
        return pumpUntil(
            [&] {
                for (const LinkState& link : controller.links) {
                    if (link.job != nullptr && link.jobByUser) {
                        return false;
                    }
                }
                return true;
            },
            timeoutMs);
    }
    void disconnectIncoming() {
        feed({0xA1, 0x03});
        settle();
    }
    void disconnectOutgoing() {
        feed({0xA1, 0x05});
        settle();
    }
    // Each tick once the lines have done what the one before asked of them, as ticks 100 ms apart
    // find them on a line that moves.
    void tick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            settle();
            feed({0xE0, 0x00});
            settle();
        }
    }
    // Takes completions until no write is in flight or due on either line and no close is under
    // way; false when that has not come within the time (a line that takes nothing).
    bool settle(int timeoutMs = 1500) {
        return pumpUntil([&] { return controller.linesIdle(); }, timeoutMs, false);
    }
    // A write of the test's own on the mount's line, once the line is free.
    void writeMount(const char* text) {
        settle();
        controller.writeOutgoingString(text);
        settle();
    }

    // Takes completed writes and finished opens, then (unless told not to) reads whatever the
    // producers have put into the pipe and hands it to the pipe reader.
    void pumpOnce(bool readPipe = true) {
        controller.serviceLines();
        controller.collectOpens();
        if (!readPipe) {
            return;
        }
        DWORD waiting = 0;
        PeekNamedPipe(controller.pipeRead, nullptr, 0, nullptr, &waiting, nullptr);
        while (waiting-- > 0) {
            std::uint8_t byte = 0;
            DWORD got = 0;
            ReadFile(controller.pipeRead, &byte, 1, &got, nullptr);
            if (got == 1) {
                controller.takePipeByte(byte);
            }
        }
    }

    // Pumps the pipe until the condition holds; false after the deadline.
    bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000,
                   bool readPipe = true) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pumpOnce(readPipe);
            if (condition()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Pumps until the controller has handled the given number of LX200 commands.
    bool pumpUntilCount(int commands, int timeoutMs = 10000) {
        return pumpUntil([&] { return controller.commandCount >= commands; }, timeoutMs);
    }

    RecordingListener listener;
    Controller controller{&listener};
};
