// DlgAutoGuiderBridge: dialog procedure, initialisation, commands and the display of reports.
#include "ui/bridge_dialog.h"

#include "engine/controller.h"
#include "engine/status_code.h"
#include "resources/resource.h"
#include "ui/app_model.h"
#include "ui/difference_graph.h"
#include "ui/event_log_window.h"
#include "ui/program_hooks.h"
#include "ui/status_text.h"

namespace {
constexpr int PortEntries = 256;
constexpr int HighestPort = 255; // the engine takes the port number as one byte
constexpr int AxisIdle = 4;
struct BoxesAbove {
    HWND bridge;
    HWND log;
};

// True when window is owned, directly or through other windows, by owner.
bool ownedBy(HWND window, HWND owner) {
    for (HWND up = GetWindow(window, GW_OWNER); up != nullptr; up = GetWindow(up, GW_OWNER)) {
        if (up == owner) {
            return true;
        }
    }
    return false;
}

// Cancels a dialog box of this thread that stands above the bridge dialog, whether its own (the
// About box) or the Event Log's (Save..., its questions and its error box).
BOOL CALLBACK cancelBoxAbove(HWND window, LPARAM param) {
    const auto* boxes = reinterpret_cast<const BoxesAbove*>(param);
    char kind[16] = {};
    GetClassNameA(window, kind, sizeof kind);
    if (window != boxes->bridge && window != boxes->log && lstrcmpA(kind, "#32770") == 0 &&
        ownedBy(window, boxes->bridge)) {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    return TRUE;
}
} // namespace

DlgAutoGuiderBridge::DlgAutoGuiderBridge(HINSTANCE instance, const GraphPalette* palette,
                                         AppModel* model, Controller* controller)
    : instance(instance), model(model), controller(controller) {
    model->callback = this;
    raGraph = std::make_unique<DifferenceGraph>(instance, palette);
    decGraph = std::make_unique<DifferenceGraph>(instance, palette);
}

DlgAutoGuiderBridge::~DlgAutoGuiderBridge() {
    if (model->callback == this) {
        model->callback = nullptr;
    }
    eventLog.reset();
    raGraph.reset();
    decGraph.reset();
}

INT_PTR CALLBACK DlgAutoGuiderBridge::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                      LPARAM lParam) {
    DlgAutoGuiderBridge* dialog =
        reinterpret_cast<DlgAutoGuiderBridge*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
        dialog = reinterpret_cast<DlgAutoGuiderBridge*>(lParam);
        if (dialog != nullptr) {
            dialog->initialise(window);
        }
        return FALSE;
    }
    // Messages that arrive before WM_INITDIALOG (WM_GETMINMAXINFO among them) find no object and
    // are left to the dialog manager.
    if (dialog == nullptr) {
        return FALSE;
    }
    switch (message) {
    case WM_GETMINMAXINFO:
        dialog->limitTracking(reinterpret_cast<MINMAXINFO*>(lParam));
        return TRUE;
    case WM_DPICHANGED:
        dialog->changeDpi(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        // The dialog manager, where it scales dialogs by itself, scales the controls and the font.
        return FALSE;
    case WM_COMMAND:
        return dialog->carryOutCommand(LOWORD(wParam)) ? TRUE : FALSE;
    case WM_SYSCOMMAND:
        return dialog->carryOutSystemCommand(static_cast<UINT>(wParam & 0xFFF0)) ? TRUE : FALSE;
    case WM_ENDSESSION:
        // Windows ends the process as soon as this returns, at shutdown or log-off: halt the mount
        // and close the links now, within a bound, as the program's own exit does.
        if (wParam != FALSE) {
            dialog->endSession();
        }
        return TRUE;
    case WM_USER:
        dialog->model->dispatch(static_cast<std::int32_t>(wParam),
                                static_cast<NotificationWord>(lParam));
        return TRUE;
    case WM_DESTROY:
        // From here on the engine's reports are dropped instead of posted to a dying window.
        dialog->model->setWindow(nullptr);
        // The Event Log goes with the dialog, while the engine whose store it reads still runs.
        if (dialog->eventLog) {
            dialog->eventLog->close();
        }
        closeAboutBox();
        return FALSE;
    default:
        return FALSE;
    }
}

void DlgAutoGuiderBridge::initialise(HWND dialogWindow) {
    window = dialogWindow;
    dpi = windowDpi(window);
    setProgramIcons(window, instance, dpi, bigIcon, smallIcon);
    // Template 100 has no minimize box. The program runs beside the guiding software all night, and
    // steps out of its way: from the caption, the taskbar button and the window menu. Before the
    // window menu is first asked for, so that it has the command too.
    SetWindowLongA(window, GWL_STYLE, GetWindowLongA(window, GWL_STYLE) | WS_MINIMIZEBOX);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    appendWindowMenu();
    raGraph->attach(GetDlgItem(window, IDC_RA_GRAPH));
    decGraph->attach(GetDlgItem(window, IDC_DEC_GRAPH));

    RECT outer;
    GetWindowRect(window, &outer);
    minWidth = outer.right - outer.left;
    minHeight = outer.bottom - outer.top;

    HWND incomingPorts = GetDlgItem(window, IDC_INCOMING_PORT);
    HWND outgoingPorts = GetDlgItem(window, IDC_OUTGOING_PORT);
    for (int port = 1; port <= PortEntries; ++port) {
        char name[16];
        wsprintfA(name, "COM%d", port);
        SendMessageA(incomingPorts, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        SendMessageA(outgoingPorts, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendMessageA(incomingPorts, CB_SETCURSEL, 0, 0);
    SendMessageA(outgoingPorts, CB_SETCURSEL, 0, 0);
    SetFocus(incomingPorts);

    model->setWindow(window);
}

void DlgAutoGuiderBridge::appendWindowMenu() {
    HMENU menu = GetSystemMenu(window, FALSE);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, WindowMenuEventLog, WindowMenuEventLogText);
    AppendMenuA(menu, MF_STRING, WindowMenuAbout, WindowMenuAboutText);
}

void DlgAutoGuiderBridge::openEventLog() {
    if (!eventLog) {
        eventLog = std::make_unique<EventLogWindow>(
            instance, controller != nullptr ? &controller->events : nullptr);
    }
    eventLog->show(window);
}

void DlgAutoGuiderBridge::endSession() {
    if (program != nullptr) {
        program->endSession(EndSessionTickWaitMs, EndSessionWaitMs);
    }
    // Where the process is not ended after all, it ends as after a Close.
    end(FALSE);
}

void DlgAutoGuiderBridge::end(INT_PTR result) {
    BoxesAbove boxes = {window, eventLog ? eventLog->window : nullptr};
    EnumThreadWindows(GetCurrentThreadId(), cancelBoxAbove, reinterpret_cast<LPARAM>(&boxes));
    EndDialog(window, result);
}

void DlgAutoGuiderBridge::changeDpi(int newDpi, const RECT& suggested) {
    if (newDpi <= 0 || newDpi == dpi) {
        return;
    }
    // Before the move, whose size the old limits would otherwise clamp. The height is fixed, so
    // the suggested one is the new limit; the width may have grown, so its limit is scaled.
    minWidth = MulDiv(minWidth, newDpi, dpi);
    minHeight = suggested.bottom - suggested.top;
    dpi = newDpi;
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    setProgramIcons(window, instance, dpi, bigIcon, smallIcon);
    for (DifferenceGraph* graph : {raGraph.get(), decGraph.get()}) {
        graph->dpi = newDpi;
        InvalidateRect(graph->window, nullptr, FALSE);
    }
}

void DlgAutoGuiderBridge::limitTracking(MINMAXINFO* info) const {
    info->ptMinTrackSize.x = minWidth;
    info->ptMinTrackSize.y = minHeight;
    info->ptMaxTrackSize.y = minHeight;
}

bool DlgAutoGuiderBridge::carryOutCommand(int id) {
    switch (id) {
    case IDOK:
    case IDCANCEL:
        // The halts go now, not once the windows have gone.
        if (program != nullptr) {
            program->closing();
        }
        // A box still open would keep its own message loop, and so this dialog, running.
        end(id == IDOK ? TRUE : FALSE);
        return true;
    case IDC_INCOMING_CONNECT:
        if (std::uint8_t port = chosenPort(IDC_INCOMING_PORT, IDC_INCOMING_STATUS)) {
            controller->connectIncoming(port);
        }
        return true;
    case IDC_INCOMING_DISCONNECT:
        controller->disconnectIncoming();
        return true;
    case IDC_OUTGOING_CONNECT:
        if (std::uint8_t port = chosenPort(IDC_OUTGOING_PORT, IDC_OUTGOING_STATUS)) {
            controller->connectOutgoing(port);
        }
        return true;
    case IDC_OUTGOING_DISCONNECT:
        controller->disconnectOutgoing();
        return true;
    default:
        return false;
    }
}

bool DlgAutoGuiderBridge::carryOutSystemCommand(UINT command) {
    switch (command) {
    case WindowMenuEventLog:
        openEventLog();
        return true;
    case WindowMenuAbout:
        showAboutBox(instance, window);
        return true;
    default:
        return false;
    }
}

std::uint8_t DlgAutoGuiderBridge::chosenPort(int selectorId, int statusId) {
    const LRESULT index = SendDlgItemMessageA(window, selectorId, CB_GETCURSEL, 0, 0);
    const LRESULT port = index + 1;
    if (port < 1 || port > HighestPort) {
        SetDlgItemTextA(window, statusId, statusText(StatusCannotOpen));
        return 0;
    }
    return static_cast<std::uint8_t>(port);
}

void DlgAutoGuiderBridge::showIncomingStatus(NotificationWord word) {
    if (const char* text = statusText(word & StatusCodeMask)) {
        SetDlgItemTextA(window, IDC_INCOMING_STATUS, text);
    }
    if (word & CountFlag) {
        SetDlgItemInt(window, IDC_COMMAND_COUNT, word >> 8, FALSE);
    }
}

void DlgAutoGuiderBridge::showOutgoingStatus(NotificationWord word) {
    if (const char* text = statusText(word & StatusCodeMask)) {
        SetDlgItemTextA(window, IDC_OUTGOING_STATUS, text);
    }
}

void DlgAutoGuiderBridge::showGuideState(NotificationWord word) {
    if (word & CountFlag) {
        SetDlgItemInt(window, IDC_COMMAND_COUNT, word >> 8, FALSE);
    }
    if (word & SampleFlag) {
        raGraph->push(static_cast<std::int8_t>(static_cast<int>(word & 7) - AxisIdle));
        decGraph->push(static_cast<std::int8_t>(static_cast<int>((word >> 3) & 7) - AxisIdle));
        InvalidateRect(raGraph->window, nullptr, FALSE);
        InvalidateRect(decGraph->window, nullptr, FALSE);
    }
}
