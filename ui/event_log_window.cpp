// EventLogWindow: the window, its keyboard, the draining of the store into the list, Copy and Save.
#include "ui/event_log_window.h"

#include <commdlg.h>

#include "resources/resource.h"
#include "ui/difference_graph.h"
#include "version.h"

namespace {

constexpr UINT_PTR DrainTimer = 1;
constexpr int BatchSize = 256;
// Room beyond the widest line for the horizontal scroll extent.
constexpr int ExtentMargin = 8;
// The item data of a line: the day of an event's line as yyyymmdd, NoDay for a date or a gap.
constexpr LPARAM NoDay = 0;

LPARAM dayKey(const LocalTime& at) {
    return static_cast<LPARAM>(at.year) * 10000 + at.month * 100 + at.day;
}

// The window whose keys the message hook hands to the dialog manager. The bridge has one Event Log.
EventLogWindow* hooked = nullptr;

// Where the dialog manager scales dialogs by itself (Windows 10 1703 on), it is left the size and
// the font but not the places of the controls, which this window lays out for its own size.
void keepOwnLayout(HWND window) {
    using SetBehaviour = BOOL(WINAPI*)(HWND, int, int);
    constexpr int DisableControlRelayout = 4; // DDC_DISABLE_CONTROL_RELAYOUT
    static const auto setBehaviour = reinterpret_cast<SetBehaviour>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetDialogDpiChangeBehavior")));
    if (setBehaviour != nullptr) {
        setBehaviour(window, DisableControlRelayout, DisableControlRelayout);
    }
}

// What the system says of an error, without the line break it ends with.
std::wstring systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring said = length > 0 && text != nullptr ? std::wstring(text, length)
                                                      : L"Error " + std::to_wstring(error) + L".";
    LocalFree(text);
    while (!said.empty() && (said.back() == L'\n' || said.back() == L'\r')) {
        said.pop_back();
    }
    return said;
}

void complain(HWND owner, const std::wstring& what, DWORD error) {
    const std::wstring said = what + L"\n\n" + systemMessage(error);
    MessageBoxW(owner, said.c_str(), L"Event Log", MB_OK | MB_ICONERROR);
}

// Places the window beside its owner where the work area of the owner's monitor has room, else a
// little below it.
void placeBeside(HWND window, HWND owner) {
    RECT mine;
    RECT theirs;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (owner == nullptr || !GetWindowRect(window, &mine) || !GetWindowRect(owner, &theirs) ||
        !GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
        return;
    }
    const RECT work = monitor.rcWork;
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

LocalTime zoneLocalTime(std::int64_t wall) {
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(wall);
    utc.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(wall) >> 32);
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&utc, &universal);
    // The zone's rules for that moment: a daylight-saving change shows from the first event after
    // it. Where that fails, UTC is still the right time.
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
        local = universal;
    }
    return {local.wYear,   local.wMonth,  local.wDay,         local.wHour,
            local.wMinute, local.wSecond, local.wMilliseconds};
}

DWORD saveUtf8(const wchar_t* path, const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int length = WideCharToMultiByte(
            CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        if (length <= 0) {
            return GetLastError();
        }
        utf8.assign(static_cast<std::size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                            length, nullptr, nullptr);
    }
    // The new file is written whole beside the old one and only then takes its place, so that a
    // full disk or a lost drive leaves the old file as it was.
    std::wstring folder = path;
    const std::size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH];
    if (GetTempFileNameW(folder.c_str(), L"log", 0, temporary) == 0) {
        return GetLastError();
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        DWORD written = 0;
        if (!WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) ||
            !FlushFileBuffers(file)) {
            error = GetLastError();
        } else if (written != utf8.size()) {
            error = ERROR_DISK_FULL;
        }
        if (!CloseHandle(file) && error == ERROR_SUCCESS) {
            error = GetLastError();
        }
    }
    if (error == ERROR_SUCCESS &&
        !MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        DeleteFileW(temporary);
    }
    return error;
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
    case WM_DPICHANGED:
        changeDpi(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        // The dialog manager, where it scales dialogs by itself, scales the controls and the font.
        return FALSE;
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
    dpi = windowDpi(window);
    keepOwnLayout(window);
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
            // Through the window, not from inside the hook: Copy may say something in a box.
            PostMessageW(hooked->window, WM_COMMAND, IDC_EVENT_COPY, 0);
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

void EventLogWindow::changeDpi(int newDpi, const RECT& suggested) {
    if (newDpi <= 0 || newDpi == dpi) {
        return;
    }
    // Before the move, whose WM_SIZE lays the controls out from these.
    const auto scale = [&](LONG& length) { length = MulDiv(length, newDpi, dpi); };
    for (Anchor& anchor : anchors) {
        scale(anchor.at.left);
        scale(anchor.at.top);
        scale(anchor.at.right);
        scale(anchor.at.bottom);
    }
    scale(initialClient.cx);
    scale(initialClient.cy);
    scale(minimumSize.cx);
    scale(minimumSize.cy);
    widestLine = MulDiv(widestLine, newDpi, dpi);
    dpi = newDpi;
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void EventLogWindow::addLine(HWND list, HDC dc, const std::string& line, LPARAM day, int& widest) {
    const LRESULT index =
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    if (index >= 0) {
        SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(index), day);
    }
    SIZE size;
    if (GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &size) &&
        size.cx > widest) {
        widest = size.cx;
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
            const Event& event = batch[static_cast<std::size_t>(i)];
            if (event.sequence > lastSequence + 1) {
                addLine(list, dc, gapLine(event.sequence - lastSequence - 1), NoDay, widest);
                ++count;
            }
            lastSequence = event.sequence;
            const LocalTime at = localTime(event.wall);
            if (!anyDay || !sameDay(at, lastDay)) {
                addLine(list, dc, dateLine(at), NoDay, widest);
                ++count;
                lastDay = at;
                anyDay = true;
            }
            addLine(list, dc, eventLine(event, at), dayKey(at), widest);
        }
        count += taken;
        taken = taken == BatchSize ? store->take(cursor, batch.data(), BatchSize) : 0;
    }
    SelectObject(dc, font);
    ReleaseDC(list, dc);

    int deleted = 0;
    const auto deleteTop = [&] {
        if (SendMessageW(list, LB_GETITEMDATA, 0, 0) != NoDay) {
            deletedLines += 1; // an event's line; a date or a gap is no event
        }
        SendMessageW(list, LB_DELETESTRING, 0, 0);
        --count;
        ++deleted;
    };
    while (count > EventLogMaxLines) {
        deleteTop();
    }
    // The date went with the oldest lines: the list still starts with one.
    const LRESULT topDay = deleted > 0 ? SendMessageW(list, LB_GETITEMDATA, 0, 0) : NoDay;
    if (topDay != NoDay && topDay != LB_ERR) {
        if (count >= EventLogMaxLines) {
            deleteTop();
        }
        const LocalTime day = {static_cast<int>(topDay / 10000),
                               static_cast<int>(topDay / 100 % 100),
                               static_cast<int>(topDay % 100)};
        SendMessageA(list, LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(dateLine(day).c_str()));
        SendMessageW(list, LB_SETITEMDATA, 0, NoDay);
        ++count;
        --deleted;
    }
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

std::wstring EventLogWindow::listText(bool all) const {
    HWND list = GetDlgItem(window, IDC_EVENT_LIST);
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    const int selected = all ? 0 : static_cast<int>(SendMessageW(list, LB_GETSELCOUNT, 0, 0));
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
    const std::wstring text = listText(false);
    if (text.empty()) {
        return; // nothing to copy: whatever the clipboard holds stays
    }
    if (!OpenClipboard(window)) {
        complain(window, L"The lines could not be copied: the clipboard could not be opened.",
                 GetLastError());
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

std::wstring EventLogWindow::saveHeader() const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    TIME_ZONE_INFORMATION zone = {};
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    const wchar_t* name = zone.StandardName;
    if (which == TIME_ZONE_ID_DAYLIGHT) {
        bias += zone.DaylightBias;
        name = zone.DaylightName;
    } else if (which == TIME_ZONE_ID_STANDARD) {
        bias += zone.StandardBias;
    }
    // The bias is what is added to local time to make UTC.
    const LONG east = -bias;
    wchar_t text[256];
    wsprintfW(text, L"%04d-%02d-%02d %02d:%02d:%02d, UTC%c%02d:%02d", now.wYear, now.wMonth,
              now.wDay, now.wHour, now.wMinute, now.wSecond, east < 0 ? L'-' : L'+',
              (east < 0 ? -east : east) / 60, (east < 0 ? -east : east) % 60);
    std::wstring header = L"" BRIDGE_PRODUCT_NAME L" " BRIDGE_VERSION L", Event Log\r\nSaved ";
    header += text;
    if (name[0] != L'\0') {
        header += std::wstring(L" (") + name + L")";
    }
    const std::uint64_t dropped = cursor.missed + deletedLines;
    header += L"\r\n" + std::to_wstring(dropped) + L" older lines dropped\r\n\r\n";
    return header;
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
    if (!GetSaveFileNameW(&box) || window == nullptr) {
        return; // cancelled, or closed with the bridge meanwhile
    }
    // The whole log, whatever is chosen in the list.
    if (const DWORD error = saveUtf8(path, saveHeader() + listText(true))) {
        complain(window, std::wstring(L"The Event Log could not be saved to\n") + path, error);
    }
}
