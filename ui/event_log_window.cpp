// EventLogWindow: the window, its keyboard, the draining of the store into the list, Copy and Save.
#include "ui/event_log_window.h"

#include <commdlg.h>

#include "resources/resource.h"

namespace {

constexpr UINT_PTR DrainTimer = 1;
constexpr int BatchSize = 256;
// Room beyond the widest line for the horizontal scroll extent.
constexpr int ExtentMargin = 8;

// The window whose keys the message hook hands to the dialog manager. The bridge has one Event Log.
EventLogWindow* hooked = nullptr;

// The counter read at the moment the local clock steps to a new millisecond, so that the pair is
// as close as the clock allows; the wait is bounded.
ClockReference readClock() {
    SYSTEMTIME was;
    GetLocalTime(&was);
    SYSTEMTIME now = was;
    LARGE_INTEGER counter;
    const DWORD start = GetTickCount();
    do {
        GetLocalTime(&now);
        QueryPerformanceCounter(&counter);
    } while (now.wMilliseconds == was.wMilliseconds && now.wSecond == was.wSecond &&
             GetTickCount() - start < 50);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ClockReference clock;
    clock.counter = counter.QuadPart;
    clock.frequency = frequency.QuadPart;
    clock.msOfDay =
        ((now.wHour * 60LL + now.wMinute) * 60 + now.wSecond) * 1000 + now.wMilliseconds;
    return clock;
}

// Places the window beside its owner where the work area has room, else a little below it.
void placeBeside(HWND window, HWND owner) {
    RECT mine;
    RECT theirs;
    RECT work;
    if (owner == nullptr || !GetWindowRect(window, &mine) || !GetWindowRect(owner, &theirs) ||
        !SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        return;
    }
    const int width = mine.right - mine.left;
    const int height = mine.bottom - mine.top;
    int left = theirs.right + 8;
    int top = theirs.top;
    if (left + width > work.right) {
        left = theirs.left + 24;
        top = theirs.top + 48;
    }
    left = left + width > work.right ? work.right - width : left;
    top = top + height > work.bottom ? work.bottom - height : top;
    SetWindowPos(window, nullptr, left < work.left ? work.left : left,
                 top < work.top ? work.top : top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

bool saveUtf8(const wchar_t* path, const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int length = WideCharToMultiByte(
            CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        if (length <= 0) {
            return false;
        }
        utf8.assign(static_cast<std::size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                            length, nullptr, nullptr);
    }
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool whole =
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) &&
        written == utf8.size();
    return CloseHandle(file) && whole;
}

EventLogWindow::EventLogWindow(HINSTANCE instance, const EventLog* store)
    : instance(instance), store(store), batch(BatchSize) {}

EventLogWindow::~EventLogWindow() {
    close();
}

void EventLogWindow::show(HWND owner) {
    if (window == nullptr) {
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_EVENT_LOG), owner, dialogProcedure,
                           reinterpret_cast<LPARAM>(this));
        if (window == nullptr) {
            return;
        }
        placeBeside(window, owner);
    }
    drain();
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetActiveWindow(window);
    SetTimer(window, DrainTimer, EventLogDrainMs, nullptr);
}

void EventLogWindow::hide() {
    // Hidden, it takes nothing: the store keeps the recent past meanwhile.
    KillTimer(window, DrainTimer);
    ShowWindow(window, SW_HIDE);
}

void EventLogWindow::close() {
    if (window != nullptr) {
        DestroyWindow(window);
    }
}

INT_PTR CALLBACK EventLogWindow::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        reinterpret_cast<EventLogWindow*>(lParam)->initialise(window);
        return TRUE;
    }
    auto* log = reinterpret_cast<EventLogWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return log != nullptr ? log->handle(message, wParam, lParam) : FALSE;
}

INT_PTR EventLogWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == DrainTimer) {
            drain();
        }
        return TRUE;
    case WM_SIZE:
        layout(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = minimumSize.cx;
        info->ptMinTrackSize.y = minimumSize.cy;
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_EVENT_COPY:
            copy();
            return TRUE;
        case IDC_EVENT_SAVE:
            save();
            return TRUE;
        case IDCANCEL:
            hide();
            return TRUE;
        default:
            return FALSE;
        }
    case WM_CLOSE:
        hide();
        return TRUE;
    case WM_DESTROY:
        KillTimer(window, DrainTimer);
        if (hook != nullptr) {
            UnhookWindowsHookEx(hook);
            hook = nullptr;
        }
        hooked = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        window = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

void EventLogWindow::initialise(HWND dialogWindow) {
    window = dialogWindow;
    clock = readClock();
    bigIcon = loadProgramIcon(instance, SM_CXICON);
    smallIcon = loadProgramIcon(instance, SM_CXSMICON);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon.get()));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));

    RECT outer;
    GetWindowRect(window, &outer);
    minimumSize = {outer.right - outer.left, outer.bottom - outer.top};
    RECT client;
    GetClientRect(window, &client);
    initialClient = {client.right, client.bottom};
    anchors = {{IDC_EVENT_LIST, {}, false, false, true, true},
               {IDC_EVENT_DROPPED, {}, false, true, true, false},
               {IDC_EVENT_COPY, {}, true, true, false, false},
               {IDC_EVENT_SAVE, {}, true, true, false, false}};
    for (Anchor& anchor : anchors) {
        HWND item = GetDlgItem(window, anchor.id);
        GetWindowRect(item, &anchor.at);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&anchor.at), 2);
    }

    // The bridge dialog is modal, and its message loop knows nothing of this window: a hook on
    // this thread's queue gives the keys of this window to the dialog manager (Tab, Escape, Alt+C).
    hooked = this;
    hook = SetWindowsHookExW(WH_GETMESSAGE, keyHook, nullptr, GetCurrentThreadId());
    showDropped();
}

LRESULT CALLBACK EventLogWindow::keyHook(int code, WPARAM wParam, LPARAM lParam) {
    auto* message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && hooked != nullptr &&
        hooked->window != nullptr && message->message >= WM_KEYFIRST &&
        message->message <= WM_KEYLAST &&
        (message->hwnd == hooked->window || IsChild(hooked->window, message->hwnd))) {
        if (message->message == WM_KEYDOWN && message->wParam == 'C' &&
            GetKeyState(VK_CONTROL) < 0) {
            hooked->copy();
            message->message = WM_NULL;
        } else if (IsDialogMessageW(hooked->window, message)) {
            message->message = WM_NULL;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void EventLogWindow::layout(int width, int height) {
    const int dx = width - initialClient.cx;
    const int dy = height - initialClient.cy;
    for (const Anchor& anchor : anchors) {
        const int left = anchor.at.left + (anchor.followX ? dx : 0);
        const int top = anchor.at.top + (anchor.followY ? dy : 0);
        const int w = anchor.at.right - anchor.at.left + (anchor.stretchX ? dx : 0);
        const int h = anchor.at.bottom - anchor.at.top + (anchor.stretchY ? dy : 0);
        MoveWindow(GetDlgItem(window, anchor.id), left, top, w > 0 ? w : 0, h > 0 ? h : 0, TRUE);
    }
}

void EventLogWindow::drain() {
    if (window == nullptr || store == nullptr) {
        return;
    }
    const std::uint64_t missedBefore = cursor.missed;
    int taken = store->take(cursor, batch.data(), BatchSize);
    if (taken == 0) {
        if (cursor.missed != missedBefore) {
            showDropped();
        }
        return;
    }

    HWND list = GetDlgItem(window, IDC_EVENT_LIST);
    int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    const int top = static_cast<int>(SendMessageW(list, LB_GETTOPINDEX, 0, 0));
    RECT area;
    GetClientRect(list, &area);
    const int itemHeight = static_cast<int>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
    const int visible = itemHeight > 0 ? area.bottom / itemHeight : 1;
    // Following the newest lines only while the last one is in view.
    const bool atBottom = top + (visible > 0 ? visible : 1) >= count;

    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    HDC dc = GetDC(list);
    HGDIOBJ font =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(list, WM_GETFONT, 0, 0)));
    int widest = widestLine;
    // At most one ring's worth per call, so that a busy engine cannot keep the UI thread here.
    for (std::uint64_t rounds = store->capacity() / BatchSize + 1; taken > 0 && rounds > 0;
         --rounds) {
        for (int i = 0; i < taken; ++i) {
            const std::string line = eventLine(batch[static_cast<std::size_t>(i)], clock);
            SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
            SIZE size;
            if (GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &size) &&
                size.cx > widest) {
                widest = size.cx;
            }
        }
        count += taken;
        taken = taken == BatchSize ? store->take(cursor, batch.data(), BatchSize) : 0;
    }
    SelectObject(dc, font);
    ReleaseDC(list, dc);

    int deleted = 0;
    for (; count > EventLogMaxLines; --count, ++deleted) {
        SendMessageW(list, LB_DELETESTRING, 0, 0);
    }
    deletedLines += static_cast<std::uint64_t>(deleted);
    if (widest != widestLine) {
        widestLine = widest;
        SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest + ExtentMargin), 0);
    }
    if (atBottom) {
        SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
    } else if (deleted > 0) {
        // The lines the reader is looking at moved up by as many as went: keep them in view.
        SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(top > deleted ? top - deleted : 0),
                     0);
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    if (deleted > 0 || cursor.missed != missedBefore) {
        showDropped();
    }
}

void EventLogWindow::showDropped() {
    // Events the store overwrote before the window took them, and lines deleted from the top.
    const std::uint64_t dropped = cursor.missed + deletedLines;
    const std::wstring text =
        dropped == 0 ? std::wstring() : std::to_wstring(dropped) + L" older lines dropped";
    SetDlgItemTextW(window, IDC_EVENT_DROPPED, text.c_str());
}

std::wstring EventLogWindow::chosenText() const {
    HWND list = GetDlgItem(window, IDC_EVENT_LIST);
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    const int selected = static_cast<int>(SendMessageW(list, LB_GETSELCOUNT, 0, 0));
    std::vector<int> chosen;
    if (selected > 0) {
        chosen.resize(static_cast<std::size_t>(selected));
        SendMessageW(list, LB_GETSELITEMS, static_cast<WPARAM>(selected),
                     reinterpret_cast<LPARAM>(chosen.data()));
    } else {
        for (int i = 0; i < count; ++i) {
            chosen.push_back(i);
        }
    }
    std::wstring text;
    std::wstring line;
    for (int index : chosen) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length < 0) {
            continue;
        }
        line.assign(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index),
                                         reinterpret_cast<LPARAM>(&line[0]));
        if (got >= 0) {
            text.append(line.data(), static_cast<std::size_t>(got));
            text += L"\r\n";
        }
    }
    return text;
}

void EventLogWindow::copy() {
    const std::wstring text = chosenText();
    if (!OpenClipboard(window)) {
        return;
    }
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* at = GlobalLock(memory)) {
            CopyMemory(at, text.c_str(), bytes);
            GlobalUnlock(memory);
            if (SetClipboardData(CF_UNICODETEXT, memory) != nullptr) {
                memory = nullptr; // the clipboard owns it now
            }
        }
        if (memory != nullptr) {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
}

void EventLogWindow::save() {
    wchar_t path[MAX_PATH] = L"event-log.txt";
    OPENFILENAMEW box = {};
    box.lStructSize = sizeof box;
    box.hwndOwner = window;
    box.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    box.lpstrFile = path;
    box.nMaxFile = MAX_PATH;
    box.lpstrTitle = L"Save the Event Log";
    box.lpstrDefExt = L"txt";
    box.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameW(&box)) {
        return; // cancelled
    }
    const bool saved = saveUtf8(path, chosenText());
    if (!saved) {
        const std::wstring said = std::wstring(L"The Event Log could not be saved to\n") + path;
        MessageBoxW(window, said.c_str(), L"Event Log", MB_OK | MB_ICONERROR);
    }
}
