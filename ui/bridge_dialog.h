// DlgAutoGuiderBridge: the bridge dialog, the program's whole user interface.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

#include "ui/dialog_callback.h"

class AppModel;
class Controller;
class DifferenceGraph;
class EventLogWindow;
struct GraphPalette;

// The commands this program adds to the dialog's window menu. Other programs may post them as
// WM_SYSCOMMAND, so they never change.
constexpr UINT SystemCommandEventLog = 0x0010;

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
    std::unique_ptr<DifferenceGraph> raGraph;
    std::unique_ptr<DifferenceGraph> decGraph;
    // Made when first opened; closed with the dialog window, before the engine stops.
    std::unique_ptr<EventLogWindow> eventLog;
    std::int32_t minWidth = 0;
    std::int32_t minHeight = 0;

private:
    void initialise(HWND dialogWindow);
    void limitTracking(MINMAXINFO* info) const;
    // Adds a separator and the Event Log to the window menu.
    void appendWindowMenu();
    // The window menu's own commands; false for everything else, which the dialog manager carries
    // out as usual.
    bool carryOutSystemCommand(WPARAM command);
    void openEventLog();
    bool carryOutCommand(int id);
    // The port number of the entry chosen in a selector, or 0 when that number does not fit the
    // engine's port byte; the link's status field then says at once that the port cannot be opened.
    std::uint8_t chosenPort(int selectorId, int statusId);
};
