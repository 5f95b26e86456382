// The About box: the icon, the name, the version, the licence and what the program does; OK or
// Escape closes it. The texts come from the template, which the build makes from the project's one
// version.
#include "ui/about_box.h"

#include <utility>

#include "resources/resource.h"
#include "ui/difference_graph.h"

namespace {

// The open About box, if any. Only the UI thread touches it.
HWND openAbout = nullptr;

// Over the middle of the bridge dialog, rather than of the screen, where the template puts it.
void centreOnOwner(HWND window) {
    RECT owner;
    RECT box;
    if (!GetWindowRect(GetWindow(window, GW_OWNER), &owner) || !GetWindowRect(window, &box)) {
        return;
    }
    const int x = (owner.left + owner.right - (box.right - box.left)) / 2;
    const int y = (owner.top + owner.bottom - (box.bottom - box.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK aboutProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        openAbout = window;
        centreOnOwner(window);
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(lParam);
        // The static control keeps the icon it is given; the old one (none here) comes back.
        UniqueIcon icon = loadProgramIcon(instance, SM_CXICON, windowDpi(window));
        SendDlgItemMessageA(window, IDC_ABOUT_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(icon.release()), 0);
        return TRUE; // the focus goes to OK
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY: {
        // The control hands its icon back, to be destroyed with this scope.
        const UniqueIcon icon(reinterpret_cast<HICON>(
            SendDlgItemMessageA(window, IDC_ABOUT_ICON, STM_SETICON, 0, 0)));
        openAbout = nullptr;
        return FALSE;
    }
    default:
        return FALSE;
    }
}

} // namespace

UniqueIcon loadProgramIcon(HINSTANCE instance, int sizeMetric, int dpi) {
    // Windows 10 1607 on, and the common controls 6; before them, the system's DPI and LoadImage.
    using MetricForDpi = int(WINAPI*)(int, UINT);
    using LoadScaledDown = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
    static const auto metricForDpi = reinterpret_cast<MetricForDpi>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetSystemMetricsForDpi")));
    static const auto loadScaledDown =
        reinterpret_cast<LoadScaledDown>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "LoadIconWithScaleDown")));
    const int size = metricForDpi != nullptr && dpi > 0
                         ? metricForDpi(sizeMetric, static_cast<UINT>(dpi))
                         : GetSystemMetrics(sizeMetric);
    HICON icon = nullptr;
    if (loadScaledDown == nullptr ||
        FAILED(loadScaledDown(instance, MAKEINTRESOURCEW(IDI_BRIDGE), size, size, &icon))) {
        icon = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(IDI_BRIDGE), IMAGE_ICON, size, size, 0));
    }
    return UniqueIcon(icon);
}

void setProgramIcons(HWND window, HINSTANCE instance, int dpi, UniqueIcon& big, UniqueIcon& small) {
    UniqueIcon newBig = loadProgramIcon(instance, SM_CXICON, dpi);
    UniqueIcon newSmall = loadProgramIcon(instance, SM_CXSMICON, dpi);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(newBig.get()));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(newSmall.get()));
    big = std::move(newBig);
    small = std::move(newSmall);
}

void showAboutBox(HINSTANCE instance, HWND owner) {
    if (openAbout != nullptr) {
        SetForegroundWindow(openAbout);
        return;
    }
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, aboutProcedure,
                    reinterpret_cast<LPARAM>(instance));
}

void closeAboutBox() {
    if (openAbout != nullptr) {
        EndDialog(openAbout, IDCANCEL);
    }
}
