// FuzzLine: the fuzz targets' far end of a serial line, a pseudo-terminal whose slave the engine
// opens as \\.\COMn, and the private folder of COM links that BRIDGE_COM_DIR points at.
#pragma once

#include <cstddef>
#include <string>

// Makes a private folder, points BRIDGE_COM_DIR at it and removes it at exit. Returns its path.
std::string makeComFolder();

class FuzzLine {
public:
    // Links a new pty's slave as <folder>/com<port>; both ends are raw. Aborts when it cannot.
    FuzzLine(const std::string& folder, int port);
    ~FuzzLine();
    FuzzLine(const FuzzLine&) = delete;
    FuzzLine& operator=(const FuzzLine&) = delete;

    // Takes in what the line has delivered so far, without waiting, and keeps it for collect().
    // Returns how many bytes came.
    std::size_t drain();
    // Everything the engine has written so far: a marker is written behind it into the slave from
    // our own end and read back, so nothing still on its way through the pty is missed. Traps when
    // the marker has not come back within 5 s.
    std::string collect();
    // True when nobody holds the device (the engine takes an exclusive lock on what it opens).
    bool free() const;
    // Pulls the device out: what it delivered is kept for collect(), both ends close and the link
    // goes, so that the engine's handle of it fails. plugIn() puts a new device in its place.
    void hangUp();
    void plugIn();
    bool present() const { return master_ >= 0; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
    std::string pending_; // read by drain(), not yet handed out by collect()
};
