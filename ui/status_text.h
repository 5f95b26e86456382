// The status texts shown to the user for the engine's link status codes.
#pragma once

#include <cstdint>

// The display text of a status code, or nullptr for code 0 and codes 9 to 63.
const char* statusText(std::uint32_t code);
