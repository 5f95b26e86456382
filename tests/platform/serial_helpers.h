// Helpers for the serial tests: open a port as the engine does, an I/O record with its event.
#pragma once

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

inline HANDLE openPort(int port) {
    char name[32];
    wsprintfA(name, "\\\\.\\COM%d", port);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// The engine's line set-up: 9600 8N1, interval time-out 1 ms, queues, purge.
inline void configurePort(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);
    dcb.fParity = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.BaudRate = 9600;
    EXPECT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts{1, 0, 0, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(SetupComm(port, 8096, 8096));
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
}

inline HANDLE openConfiguredPort(int port) {
    HANDLE handle = openPort(port);
    if (handle != INVALID_HANDLE_VALUE) {
        configurePort(handle);
    }
    return handle;
}

// An OVERLAPPED with its own manual-reset event.
struct Io {
    Io() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { CloseHandle(ov.hEvent); }
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;
    bool signalled(DWORD ms) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
    OVERLAPPED ov{};
};

// Writes the bytes to the port and waits (up to 5 s) for the write to finish; true when all went.
inline bool writeAll(HANDLE port, const std::string& bytes) {
    Io io;
    DWORD done = 0;
    if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &io.ov)) {
        if (GetLastError() != ERROR_IO_PENDING || !io.signalled(5000)) {
            return false;
        }
        if (!GetOverlappedResult(port, &io.ov, &done, FALSE)) {
            return false;
        }
    }
    return done == bytes.size();
}

// Reads from the port until count bytes have come or 5 s have passed.
inline std::string readFromPort(HANDLE port, std::size_t count) {
    std::string got;
    char buffer[256];
    while (got.size() < count) {
        Io io;
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, count - got.size()));
        if (!ReadFile(port, buffer, want, &n, &io.ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                break;
            }
            if (!io.signalled(5000)) {
                CancelIo(port);
                GetOverlappedResult(port, &io.ov, &n, TRUE);
                break;
            }
            if (!GetOverlappedResult(port, &io.ov, &n, FALSE)) {
                break;
            }
        }
        got.append(buffer, n);
    }
    return got;
}
