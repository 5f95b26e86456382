// Link status codes, the flags of a report's code byte, and the status texts shown to the user.
#pragma once

#include <cstdint>

enum StatusCode : std::int32_t {
    StatusNone = 0,
    StatusOpening = 1,
    StatusPortOpened = 2,
    StatusWaiting = 3,
    StatusReady = 4,
    StatusCannotOpen = 5,
    StatusAlreadyOpened = 6,
    StatusClosed = 7,
    StatusNotOpened = 8,
};

constexpr std::uint32_t StatusCodeMask = 0x3F;
constexpr std::uint32_t SampleFlag = 0x40;
constexpr std::uint32_t CountFlag = 0x80;

// The display text of a status code, or nullptr for code 0 and codes 9 to 63.
const char* statusText(std::uint32_t code);
