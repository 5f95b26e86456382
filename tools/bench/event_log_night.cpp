// event-log-night: the Event Log after a simulated night. Fills the program's event store with
// twelve hours of a pulse and a query every 2 s, then measures the memory that the store and the
// window's index of lines take and the time to show the window and to save the night, leaves the
// saved file in the folder given, and keeps the window up for a picture (tools/event-log-night.sh).
//
//   event-log-night.exe <folder>
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "engine/event_log.h"
#include "engine/status_code.h"
#include "resources/resource.h"
#include "ui/event_log_window.h"

namespace {

// A guide cycle: the pulse command, the pulse, its move and halt, a query and its reply; the
// milliseconds of each into the cycle's 2 s.
constexpr int CycleMs = 2000;
// Twelve hours and a little more: 130,000 events of the cycles.
constexpr int Cycles = 130000 / 6 + 1;
constexpr int IntoCycle[6] = {0, 1, 48, 399, 1000, 1002};
// The events of opening the links, before the first cycle.
constexpr std::int64_t Opening = 4;
// The night begins 2026-12-09 18:00:00.000, at UTC+01:00.
constexpr int Start[6] = {2026, 12, 9, 18, 0, 0};

// The wall clock of every event recorded, in order: a line's place in the night.
std::vector<std::int64_t> walls;

double nowMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The event's time in the simulated night, from its place among the events recorded.
LocalTime nightTime(std::int64_t wall) {
    // The links open in the first milliseconds; the first cycle begins 5 ms in.
    const auto place = static_cast<std::int64_t>(
        std::lower_bound(walls.begin(), walls.end(), wall) - walls.begin());
    const std::int64_t cycle = (place - Opening) / 6;
    const std::int64_t ms =
        place < Opening ? place : 5 + cycle * CycleMs + IntoCycle[(place - Opening) % 6];
    SYSTEMTIME start = {};
    start.wYear = Start[0];
    start.wMonth = Start[1];
    start.wDay = Start[2];
    start.wHour = Start[3];
    FILETIME at;
    SystemTimeToFileTime(&start, &at);
    ULARGE_INTEGER units;
    units.LowPart = at.dwLowDateTime;
    units.HighPart = at.dwHighDateTime;
    units.QuadPart += static_cast<ULONGLONG>(ms) * 10000;
    at.dwLowDateTime = units.LowPart;
    at.dwHighDateTime = units.HighPart;
    SYSTEMTIME local;
    FileTimeToSystemTime(&at, &local);
    return {local.wYear,   local.wMonth,  local.wDay,          local.wHour,
            local.wMinute, local.wSecond, local.wMilliseconds, 60};
}

void recordNight(EventLog& store) {
    static const char* const directions = "wens";
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        const char direction = directions[cycle % 4];
        const int ms = 100 + cycle * 37 % 900;
        char command[16];
        std::snprintf(command, sizeof command, ":Mg%c%04d#", direction, ms);
        const char axis = direction == 'w' || direction == 'e' ? 'w' : 'n';
        const char move[] = {':', 'M', direction, '#'};
        const char halt[] = {':', 'Q', axis, '#'};
        store.record(EventCommand, 0, 0, command, 9);
        store.record(EventPulse, static_cast<std::uint32_t>(ms),
                     static_cast<std::uint16_t>((ms + 99) / 100), &direction, 1);
        store.record(EventMountWrite, 0, 0, move, 4);
        store.record(EventMountWrite, 0, 0, halt, 4);
        store.record(EventCommand, 0, 0, ":GR#", 4);
        store.record(EventReply, 0, 0, "00:00:00#", 9);
    }
}

void pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Says where the probe has come to, then waits for a line on its input, drawing meanwhile: the
// script that runs it measures the process and takes the picture there.
void stage(const char* name) {
    std::printf("stage: %s\n", name);
    std::fflush(stdout);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([done] {
        char line[16];
        static_cast<void>(std::fgets(line, sizeof line, stdin));
        SetEvent(done);
    });
    // Not waiting for ever: Wine puts what was drawn on the screen while its thread waits a while.
    while (MsgWaitForMultipleObjects(1, &done, FALSE, 50, QS_ALLINPUT) != WAIT_OBJECT_0) {
        pump();
    }
    waiter.join();
    CloseHandle(done);
}

} // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    walls.resize(static_cast<std::size_t>(Opening + 6 * Cycles)); // taken before it is measured
    stage("started");
    EventLog store;
    store.record(EventIncomingStatus, StatusOpening, 7);
    store.record(EventIncomingStatus, StatusWaiting, 7);
    store.record(EventAwake, 1, 0);
    store.record(EventOutgoingStatus, StatusPortOpened, 8);
    recordNight(store);
    EventCursor cursor;
    for (std::int64_t& wall : walls) {
        Event event;
        store.take(cursor, &event, 1);
        wall = event.wall;
    }
    std::printf("events recorded: %llu\n", static_cast<unsigned long long>(store.recorded()));
    stage("store filled");

    EventLogWindow log(GetModuleHandleW(nullptr), &store);
    log.localTime = nightTime;
    const double beforeShow = nowMs();
    log.show(nullptr);
    UpdateWindow(log.window);
    std::printf("show: %.0f ms (the night indexed and the last page drawn)\n",
                nowMs() - beforeShow);

    const std::string saved = folder + "\\event-log-night.txt";
    const std::wstring savedWide(saved.begin(), saved.end());
    DWORD error = ERROR_SUCCESS;
    for (int round = 0; round < 3 && error == ERROR_SUCCESS; ++round) {
        const double before = nowMs();
        error = log.saveTo(savedWide.c_str());
        std::printf("save: %.0f ms\n", nowMs() - before);
    }
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    GetFileAttributesExW(savedWide.c_str(), GetFileExInfoStandard, &file);
    std::printf("saved: %lu bytes, %s\n", file.nFileSizeLow,
                error == ERROR_SUCCESS ? "ok" : "FAILED");

    // As a reader in the morning would make it: larger.
    SetWindowPos(log.window, HWND_TOP, 40, 40, 640, 440, SWP_SHOWWINDOW);
    RECT outer;
    GetWindowRect(log.window, &outer);
    std::printf("window: %ld %ld %ld %ld\n", outer.left, outer.top, outer.right, outer.bottom);
    stage("shown");
    log.close();
    return error == ERROR_SUCCESS ? 0 : 1;
}
