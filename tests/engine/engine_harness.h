// A controller driven by the test itself: the test thread plays the worker, reading the pipe and
// feeding each byte to the pipe reader, so ticks and commands are counted rather than timed.
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

    // A Connect opens its port on a thread of its own: these wait until that open is taken.
    void connectIncoming(std::uint8_t port) {
        feed({0xA2, 0x02, port});
        settleOpens();
    }
    void connectOutgoing(std::uint8_t port) {
        feed({0xA2, 0x04, port});
        settleOpens();
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
    void disconnectIncoming() { feed({0xA1, 0x03}); }
    void disconnectOutgoing() { feed({0xA1, 0x05}); }
    void tick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            feed({0xE0, 0x00});
        }
    }

    // Takes finished opens, then reads whatever the producers have put into the pipe and hands it
    // to the pipe reader.
    void pumpOnce() {
        controller.collectOpens();
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
    bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pumpOnce();
            if (condition()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Pumps until the controller has handled the given number of LX200 commands.
    bool pumpUntilCount(int commands, int timeoutMs = 10000) {
        return pumpUntil([&] { return controller.commandCount >= commands; }, timeoutMs);
    }

    RecordingListener listener;
    Controller controller{&listener};
};
