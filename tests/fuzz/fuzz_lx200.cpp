// Fuzz target: guider bytes through the LX200 framer and command handler, in pieces as the
// incoming data messages bring them, on an incoming link that is really open on a pty, held
// against the reference model of what the guider should see: the commands counted, the exact
// reply bytes and the pulse recorded last in each direction.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "checking_listener.h"
#include "engine/controller.h"
#include "fuzz_line.h"
#include "support/lx200_model.h"

namespace {

// Longer inputs are cut, so that the replies always fit in the pty unread: at most one 19-byte
// identification per 5 input bytes, under 8 KB, where a pty holds about 20 KB.
constexpr std::size_t MaxInput = 2048;

// COM3 stays open for every input; nothing reads it but the harness.
struct Link {
    Link() {
        controller.prepare();
        if (!controller.openIncoming(3)) {
            std::fprintf(stderr, "cannot open COM3\n");
            std::abort();
        }
        controller.incomingOpen = 1;
    }
    ~Link() {
        CloseHandle(controller.incomingPort);
        controller.incomingPort = nullptr;
        controller.incomingOpen = 0;
    }
    std::string folder = makeComFolder();
    FuzzLine guider{folder, 3};
    CheckingListener listener;
    Controller controller{&listener};
};

Link& link() {
    static Link made;
    return made;
}

// A freshly opened incoming link: the framer and the count as a connect leaves them, and no pulse
// recorded, as on a fresh record, since the model starts without any.
void startAfresh(Controller& c) {
    c.parserState = 0;
    c.commandLength = 0;
    c.raShowClear = NoMask;
    c.decShowSet = 0;
    c.decShowClear = NoMask;
    c.displayState = 0;
    c.raShowSet = 0;
    c.commandCount = 0;
    c.firstCommandSeen = 0;
    c.westTicks = c.eastTicks = c.northTicks = c.southTicks = 0;
    c.raStart = c.decStart = 0;
    c.raHalt = c.decHalt = NoMask;
    c.tickDivider = 0;
}

// How the stream is cut into incoming data payloads: a first byte of 0 to 30 gives pieces of that
// size plus one; any other value seeds pieces of 1 to 31 bytes drawn at random.
class Pieces {
public:
    explicit Pieces(std::uint8_t key) : key_(key), draw_(key) {}
    std::size_t next() {
        if (key_ < MaxPayload) {
            return key_ + 1u;
        }
        draw_ = draw_ * 1103515245u + 12345u;
        return 1 + (draw_ >> 16) % MaxPayload;
    }

private:
    std::uint8_t key_;
    std::uint32_t draw_;
};

std::string printable(const std::string& bytes) {
    std::string shown;
    for (const unsigned char byte : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, byte >= 0x20 && byte < 0x7F ? "%c" : "\\x%02X",
                      byte);
        shown += escaped;
    }
    return shown;
}

[[noreturn]] void disagree(const Controller& c, const Lx200Outcome& model,
                           const std::string& replies) {
    std::fprintf(stderr,
                 "engine and model disagree\n"
                 "  commands: engine %d, model %d\n"
                 "  replies:  engine \"%s\"\n"
                 "            model  \"%s\"\n"
                 "  ticks w/e/n/s: engine %d/%d/%d/%d, model %d/%d/%d/%d\n",
                 c.commandCount, model.commands, printable(replies).c_str(),
                 printable(model.replies).c_str(), c.westTicks, c.eastTicks, c.northTicks,
                 c.southTicks, model.ticks[0], model.ticks[1], model.ticks[2], model.ticks[3]);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // What is fuzzed here is the logic, not the time a byte takes on the line.
    win32_posix::setLinePacingForTesting(false);
    link();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (size > MaxInput) {
        size = MaxInput;
    }
    Link& l = link();
    Controller& c = l.controller;
    startAfresh(c);
    l.listener.begin();

    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;
    Pieces pieces(data[0]);
    for (std::size_t at = 0; at < length;) {
        std::size_t piece = pieces.next();
        if (piece > length - at) {
            piece = length - at;
        }
        c.parseIncoming(stream + at, static_cast<int>(piece));
        at += piece;
        // The replies go as the line takes them, as the worker's wait between messages lets them:
        // the framing is fuzzed here, not a line too slow for the guider.
        while (!c.linesIdle()) {
            c.serviceLines();
            Sleep(0);
        }
    }

    const Lx200Outcome model = expectLx200(std::string(stream, stream + length));
    // Written replies are on their way out of the device's queue: collected once it is empty.
    for (;;) {
        DWORD errors = 0;
        COMSTAT line{};
        if (!ClearCommError(c.incomingPort, &errors, &line) || line.cbOutQue == 0) {
            break;
        }
        Sleep(0);
    }
    const std::string replies = l.guider.collect();
    if (c.commandCount != model.commands || replies != model.replies ||
        c.westTicks != model.ticks[0] || c.eastTicks != model.ticks[1] ||
        c.northTicks != model.ticks[2] || c.southTicks != model.ticks[3]) {
        disagree(c, model, replies);
    }
    // The framer holds a command exactly when the stream ended inside one.
    FUZZ_REQUIRE(c.parserState == (model.partial ? 1 : 0));
    FUZZ_REQUIRE(l.listener.lastCount() == c.commandCount);
    FUZZ_REQUIRE(c.firstCommandSeen == (c.commandCount > 0 ? 1 : 0));
    return 0;
}
