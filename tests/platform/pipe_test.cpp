// Tests of the POSIX layer's anonymous pipe: round trips, PeekNamedPipe counts, size, broken ends.
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(Pipes, RoundTripAndPeekCounts) {
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 4096));
    DWORD avail = 99;
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 0u);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(w, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 5u);
    char buffer[16] = {};
    EXPECT_TRUE(ReadFile(r, buffer, 3, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "hel");
    EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 2u);
    EXPECT_TRUE(ReadFile(r, buffer, sizeof buffer, &n, nullptr)); // returns what is there
    EXPECT_EQ(std::string(buffer, n), "lo");
    CloseHandle(r);
    CloseHandle(w);
}

struct Delayed {
    HANDLE pipe;
    const char* text;
};

DWORD WINAPI writeLater(LPVOID arg) {
    auto* d = static_cast<Delayed*>(arg);
    Sleep(50);
    DWORD n = 0;
    WriteFile(d->pipe, d->text, 1, &n, nullptr);
    return 0;
}

TEST(Pipes, ReadBlocksUntilAByteArrives) {
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 4096));
    Delayed d{w, "z"};
    HANDLE t = CreateThread(nullptr, 0, writeLater, &d, 0, nullptr);
    char c = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(r, &c, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(c, 'z');
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    CloseHandle(r);
    CloseHandle(w);
}

struct Filler {
    HANDLE pipe;
    DWORD written = 0;
};

DWORD WINAPI fill(LPVOID arg) {
    auto* f = static_cast<Filler*>(arg);
    const std::string chunk(32, 'm');
    for (int i = 0; i < 512; ++i) { // 16384 bytes in small writes, as the engine writes
        DWORD n = 0;
        WriteFile(f->pipe, chunk.data(), 32, &n, nullptr);
        f->written += n;
    }
    return 0;
}

// The size argument is a minimum: the pipe keeps the system's (larger) default, so small writes
// into a pipe holding a few kilobytes never block.
TEST(Pipes, KeepTheDefaultSizeAboveTheRequestedMinimum) {
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 4096));
    Filler f{w};
    HANDLE t = CreateThread(nullptr, 0, fill, &f, 0, nullptr);
    const DWORD waited = WaitForSingleObject(t, 10000);
    EXPECT_EQ(waited, WAIT_OBJECT_0)
        << "small writes blocked in a pipe holding " << f.written << " bytes";
    if (waited != WAIT_OBJECT_0) { // unblock the writer before the pipe goes
        char sink[4096];
        DWORD n = 0;
        while (WaitForSingleObject(t, 0) != WAIT_OBJECT_0) {
            ReadFile(r, sink, sizeof sink, &n, nullptr);
        }
    } else {
        DWORD avail = 0;
        EXPECT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr));
        EXPECT_EQ(avail, 16384u);
    }
    CloseHandle(t);
    CloseHandle(r);
    CloseHandle(w);
}

TEST(Pipes, ClosedEndsGiveErrorsNotSignals) {
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    DWORD n = 0;
    WriteFile(w, "a", 1, &n, nullptr);
    CloseHandle(w);
    char c = 0;
    EXPECT_TRUE(ReadFile(r, &c, 1, &n, nullptr)); // what was written can still be read
    EXPECT_FALSE(ReadFile(r, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    DWORD avail = 0;
    EXPECT_FALSE(PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    CloseHandle(r);

    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    CloseHandle(r);
    EXPECT_FALSE(WriteFile(w, "a", 1, &n, nullptr)); // no SIGPIPE
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    CloseHandle(w);
}

} // namespace
