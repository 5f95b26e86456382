// The status texts, indexed by status code.
#include "ui/status_text.h"

namespace {
const char* const kStatusTexts[] = {
    nullptr,
    "Opening port...",
    "Port opened",
    "Waiting...",
    "Ready",
    "Cannot open port.",
    "Already opened.",
    "Connection closed.",
    "Port is not opened yet.",
};
} // namespace

const char* statusText(std::uint32_t code) {
    return code < sizeof kStatusTexts / sizeof kStatusTexts[0] ? kStatusTexts[code] : nullptr;
}
