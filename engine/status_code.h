// Link status codes that the engine reports, and the flags of a report's code byte.
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
