// DlgAutoGuiderBridge: the bridge dialog, the program's whole user interface.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

#include "ui/about_box.h"
#include "ui/dialog_callback.h"

// Commands of the window menu. Their ids are fixed, so that other programs can open them with a
// posted WM_SYSCOMMAND; the low four bits belong to the system.
constexpr UINT WindowMenuEventLog = 0x0010;
constexpr UINT WindowMenuAbout = 0x0020;
// The texts of the items in the window menu.
constexpr const char* WindowMenuEventLogText = "Event Log";
constexpr const char* WindowMenuAboutText = "About Quillfen Autoguider Bridge";

// How long the dialog waits, when Windows ends the session, for the engine to halt the mount and
// close its links: Windows waits about five seconds for a program before it offers to end it.
constexpr DWORD EndSessionWaitMs = 3000;
// How long, at the end of the session, the dialog waits for a tick still under way into the engine.
constexpr DWORD EndSessionTickWaitMs = 500;

class AppModel;
class Controller;
class DifferenceGraph;
class EventLogWindow;
class ProgramHooks;
struct GraphPalette;

class DlgAutoGuiderBridge : public TelescopeControlDlgCallback {
public:
    // Becomes the model's callback and creates the two strip-chart objects.
    DlgAutoGuiderBridge(HINSTANCE instance, const GraphPalette* palette, AppModel* model,
                        Controller* controller);
    DlgAutoGuiderBridge(const DlgAutoGuiderBridge&) = delete;
    DlgAutoGuiderBridge& operator=(const DlgAutoGuiderBridge&) = delete;

    void showIncomingStatus(NotificationWord word) override;
    void showOutgoingStatus(NotificationWord word) override;
    void showGuideState(NotificationWord word) override;
    virtual ~DlgAutoGuiderBridge();

    // The dialog procedure of template 100; the creation parameter is the dialog object.
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);

    HINSTANCE instance;
    HWND window = nullptr;
    AppModel* model;
    Controller* controller;
    // Not owned; given by the program at start-up, asked to stop the clock and the engine at the
    // end of the session. May stay empty.
    ProgramHooks* program = nullptr;
    std::unique_ptr<DifferenceGraph> raGraph;
    std::unique_ptr<DifferenceGraph> decGraph;
    // Made when first opened; closed with the dialog window, before the engine stops.
    std::unique_ptr<EventLogWindow> eventLog;
    std::int32_t minWidth = 0;
    std::int32_t minHeight = 0;
    // The DPI the window is laid out for; the size limits and the charts follow it.
    int dpi = 96;
    // The program's icon in the title bar and the taskbar, and in Alt+Tab.
    UniqueIcon bigIcon;
    UniqueIcon smallIcon;

private:
    void initialise(HWND dialogWindow);
    void limitTracking(MINMAXINFO* info) const;
    // The window moved to a monitor of another scale: the limits and the charts follow, and the
    // window takes the rectangle Windows suggests.
    void changeDpi(int newDpi, const RECT& suggested);
    // Ends the dialog and every box above it (the About box, the Event Log's Save box and its
    // error box), each of which runs a message loop nested in the dialog's.
    void end(INT_PTR result);
    // Adds a separator, the Event Log and the About box to the window menu.
    void appendWindowMenu();
    void openEventLog();
    // The session ends (shutdown, log-off): the engine halts the mount and closes its links.
    void endSession();
    bool carryOutCommand(int id);
    // A window-menu command, its low four bits cleared; false leaves it to the dialog manager.
    bool carryOutSystemCommand(UINT command);
    // The port number of the entry chosen in a selector, or 0 when that number does not fit the
    // engine's port byte; the link's status field then says at once that the port cannot be opened.
    std::uint8_t chosenPort(int selectorId, int statusId);
};
