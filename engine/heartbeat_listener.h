// iHeartBeatListener: what the heartbeat ticks.
#pragma once

class iHeartBeatListener {
public:
    virtual void onHeartBeat() = 0;

protected:
    ~iHeartBeatListener() = default;
};
