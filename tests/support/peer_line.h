// PeerLine: the test's end of a serial line whose near end the code under test opens as \\.\COMn.
#pragma once

#include <cstddef>
#include <string>

// Native: a pseudo-terminal whose slave is linked as $BRIDGE_COM_DIR/com<port> (a private temporary
// folder is made and exported on first use when the variable is unset); the test talks through the
// master. Windows (under Wine's test wrapper): the relayed partner port \\.\COM<port + 100>.
class PeerLine {
public:
    explicit PeerLine(int port); // set the line up; ok() tells whether it worked
    ~PeerLine();
    PeerLine(const PeerLine&) = delete;
    PeerLine& operator=(const PeerLine&) = delete;

    bool ok() const;
    // Sends the bytes to the code under test (gives up after 5 s if the line takes none).
    void write(const std::string& bytes);
    // Reads until count bytes have come or timeoutMs has passed; returns what came.
    std::string read(std::size_t count, int timeoutMs);
    // Reads until nothing has come for quietMs (counted from the start too, so an idle line gives
    // "" after quietMs) or timeoutMs has passed; returns what came.
    std::string readQuiet(int quietMs, int timeoutMs);
    // Native only: closes our side and removes the link, so that the near end's device vanishes
    // (its reads and writes fail). Returns false where this is not supported (Windows).
    bool hangUp();

private:
    // Reads what arrives within waitMs (at most max bytes); "" when nothing came.
    std::string readSome(std::size_t max, int waitMs);

#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
#endif
};
