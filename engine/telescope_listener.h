// TelescopeListener: how the engine reports link status and guide state.
#pragma once

#include <cstdint>

class TelescopeListener {
public:
    virtual void onIncomingStatus(std::int32_t code, std::int32_t count) = 0;
    virtual void onOutgoingStatus(std::int32_t code, std::int32_t count) = 0;
    virtual void onGuideState(std::uint32_t ra, std::uint32_t dec, std::int32_t count) = 0;

protected:
    ~TelescopeListener() = default;
};
