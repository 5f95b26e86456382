// EventLogWindow: the modeless Event Log, opened from the bridge dialog's window menu. It drains
// the engine's event store on a timer while it is shown and keeps the newest lines in a list box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "engine/event_log.h"
#include "ui/about_box.h"
#include "ui/event_text.h"

// The most lines the list keeps; older ones are deleted from the top and counted.
constexpr int EventLogMaxLines = 10000;
// How often the shown window takes new events from the store.
constexpr UINT EventLogDrainMs = 50;

// Writes text as UTF-8 to a file beside path, flushes it, then puts it in place of any file at
// path. Returns ERROR_SUCCESS, or the system's error code; on an error any earlier file at path is
// left as it was.
DWORD saveUtf8(const wchar_t* path, const std::wstring& text);

// An event's wall-clock time in the time zone in force on this computer for that moment.
LocalTime zoneLocalTime(std::int64_t wall);

class EventLogWindow {
public:
    EventLogWindow(HINSTANCE instance, const EventLog* store);
    ~EventLogWindow();
    EventLogWindow(const EventLogWindow&) = delete;
    EventLogWindow& operator=(const EventLogWindow&) = delete;

    // Creates the window, owned by owner, on first use; then shows and activates it and starts
    // taking events. Closing it by the user only hides it, so that its lines stay.
    void show(HWND owner);
    // Destroys the window, if there is one. Called before the engine stops.
    void close();
    // Takes every new event from the store into the list now; the timer calls it while shown.
    void drain();

    HWND window = nullptr;
    // Turns an event's wall-clock time into the local time of its line; replaceable for tests.
    LocalTime (*localTime)(std::int64_t wall) = zoneLocalTime;

private:
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    static LRESULT CALLBACK keyHook(int code, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void initialise(HWND dialogWindow);
    void hide();
    void layout(int width, int height);
    void showDropped();
    // The window moved to a monitor of another scale: the layout follows.
    void changeDpi(int newDpi, const RECT& suggested);
    // Adds one line with its item data: the day of an event's line, 0 for a date or a gap line,
    // which is not counted as an event dropped.
    void addLine(HWND list, HDC dc, const std::string& line, LPARAM day, int& widest);
    // The lines chosen in the list, or all of them when none is or all is true, each ending in
    // CR LF.
    std::wstring listText(bool all) const;
    // What a saved file starts with: the program, the date and time zone, the lines dropped.
    std::wstring saveHeader() const;
    void copy();
    void save();

    struct Anchor {
        int id;
        RECT at;       // in client coordinates, at the template's size
        bool followX;  // moves with the right edge (otherwise stretches when stretchX)
        bool followY;  // moves with the bottom edge
        bool stretchX; // grows with the width
        bool stretchY; // grows with the height
    };

    HINSTANCE instance;
    const EventLog* store;
    EventCursor cursor;
    // The last event listed, to find gaps, and the day of its line, to mark a new day.
    std::uint64_t lastSequence = 0;
    LocalTime lastDay;
    bool anyDay = false;
    int dpi = 96;
    std::vector<Event> batch;
    std::vector<Anchor> anchors;
    SIZE initialClient = {0, 0};
    SIZE minimumSize = {0, 0};
    std::uint64_t deletedLines = 0;
    int widestLine = 0;
    HHOOK hook = nullptr;
    // The program's icon on the caption, as on the bridge dialog's.
    UniqueIcon bigIcon;
    UniqueIcon smallIcon;
};
