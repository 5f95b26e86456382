// EventLogWindow: the modeless Event Log, opened from the bridge dialog's window menu. It drains
// the engine's event store on a timer while it is shown into an index of lines, and shows them in
// an owner-data list view, which asks only for the lines on screen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <commctrl.h>

#include "engine/event_log.h"
#include "ui/about_box.h"
#include "ui/event_text.h"

// How often the shown window takes new events from the store.
constexpr UINT EventLogDrainMs = 50;

// The text of a file to save, piece by piece: each call appends the next piece to text and says
// whether more follow.
using TextPieces = std::function<bool(std::wstring& text)>;

// Writes the text as UTF-8 to a new file beside path, through the one handle that creates it,
// flushes it, then puts it in place of any file at path, keeping that file's attributes (and, where
// the system can, its permissions and links). Returns ERROR_SUCCESS, or the system's error code;
// on an error any earlier file at path is left as it was.
DWORD saveUtf8(const wchar_t* path, const TextPieces& pieces);
DWORD saveUtf8(const wchar_t* path, const std::wstring& text);

// An event's wall-clock time in the time zone in force on this computer for that moment, with
// that moment's offset from UTC.
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
    // Writes the header and every line of the list to path, as Save... does with the name chosen.
    DWORD saveTo(const wchar_t* path) const;

    HWND window = nullptr;
    // Turns an event's wall-clock time into the local time of its line; replaceable for tests.
    LocalTime (*localTime)(std::int64_t wall) = zoneLocalTime;

private:
    enum LineKind : std::uint8_t { EventLine, DateLine, OffsetLine, GapLine };
    // One line of the list: an event's, or one before it that starts a day, says that the offset
    // from UTC changed, or says how many events are missing.
    struct Line {
        std::uint64_t sequence; // the event's, or that of the event it comes before
        std::uint64_t detail;   // the kind in the low byte; for a gap, the events missing above
    };

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

    HWND list() const;
    int lineCount() const { return static_cast<int>(end - first); }
    const Line& lineAt(std::uint64_t index) const { return lines[index % lineCapacity]; }
    void addLine(std::uint64_t sequence, LineKind kind, std::uint64_t missing = 0);
    // The lines of the events before keep, and at least atLeast lines, go from the top; the list
    // still starts with a date.
    void dropTop(std::uint64_t keep, std::uint64_t atLeast);
    // The text of the line at index (from the top), false when its event has been overwritten.
    bool lineText(std::uint64_t index, std::string& text) const;
    // Fills the list view's request for the text of a line, and widens the column to fit it.
    void giveText(LVITEMW& item);
    void fitColumn();
    // The lines from kept on, which moved up by shift, keep their selection; those that went lose
    // it.
    void moveSelection(int shift, int kept);
    // The lines chosen in the list, or all of them when none is, each ending in CR LF.
    std::wstring chosenText() const;
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
    // The lines, a ring taken once: first and end count every line ever added.
    std::uint64_t lineCapacity;
    std::unique_ptr<Line[]> lines;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    // The first line that the last drop from the top left.
    std::uint64_t survivor = 0;
    // The last event listed, to find gaps, and the local time of its line, to mark a new day or a
    // new offset from UTC.
    std::uint64_t lastSequence = 0;
    LocalTime lastTime;
    bool anyDay = false;
    int dpi = 96;
    std::vector<Event> batch;
    std::vector<Anchor> anchors;
    SIZE initialClient = {0, 0};
    SIZE minimumSize = {0, 0};
    // Event lines that went from the top of the list to make room.
    std::uint64_t deletedLines = 0;
    // The widest line measured and its length; lines much shorter are not measured.
    int widestLine = 0;
    std::size_t longestLine = 0;
    HHOOK hook = nullptr;
    // The program's icon on the caption, as on the bridge dialog's.
    UniqueIcon bigIcon;
    UniqueIcon smallIcon;
};
