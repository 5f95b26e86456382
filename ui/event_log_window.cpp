// EventLogWindow: the window, its keyboard, the index of lines drained from the store, the text of
// the lines on screen, Copy and Save.
#include "ui/event_log_window.h"

#include <algorithm>

#include <cderr.h>
#include <commdlg.h>

#include "resources/resource.h"
#include "ui/difference_graph.h"
#include "version.h"

namespace {

constexpr UINT_PTR DrainTimer = 1;
// Posted by the list's text requests when a line is wider than the column.
constexpr UINT FitColumnMessage = WM_APP + 1;
constexpr int BatchSize = 256;
// Room beyond the widest line in the column, for the list view's own margins.
constexpr int ColumnMargin = 16;
// Lines this many characters shorter than the longest are not measured.
constexpr std::size_t MeasureSlack = 6;
// The share of the store kept clear of the writer: lines whose events come within it of being
// overwritten go, that many at a time. The worker records far fewer between two drains.
constexpr std::uint64_t GuardShare = 64;
constexpr int LinesPerPiece = 2048;
// The longest path the Save box may give back, and what the temporary file adds to it.
constexpr DWORD PathChars = 32768;
constexpr std::size_t TemporarySuffix = 13;
// A minute, in the 100 ns units of a FILETIME.
constexpr std::int64_t MinuteUnits = 600000000;

FILETIME fileTime(std::int64_t wall) {
    return {static_cast<DWORD>(wall), static_cast<DWORD>(static_cast<std::uint64_t>(wall) >> 32)};
}

void appendWide(std::wstring& text, const std::string& line) {
    // The lines are ASCII: every byte outside printable ASCII is shown in hex.
    text.append(line.begin(), line.end());
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

// The path as the file functions take it whatever its length: a full path, and past MAX_PATH
// with the prefix that lifts the limit.
std::wstring longForm(const wchar_t* path) {
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size > 0 ? GetFullPathNameW(path, size, &full[0], nullptr) : 0;
    if (length == 0 || length >= size) {
        return path;
    }
    full.resize(length);
    if (full.size() + TemporarySuffix < MAX_PATH || full.compare(0, 4, L"\\\\?\\") == 0) {
        return full;
    }
    return full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

DWORD writePieces(HANDLE file, const TextPieces& pieces) {
    std::wstring text;
    std::string utf8;
    for (bool more = true; more;) {
        text.clear();
        more = pieces(text);
        if (text.empty()) {
            continue;
        }
        const int length = WideCharToMultiByte(
            CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        if (length <= 0) {
            return GetLastError();
        }
        utf8.resize(static_cast<std::size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                            length, nullptr, nullptr);
        DWORD written = 0;
        if (!WriteFile(file, utf8.data(), static_cast<DWORD>(length), &written, nullptr)) {
            return GetLastError();
        }
        if (written != static_cast<DWORD>(length)) {
            return ERROR_DISK_FULL;
        }
    }
    return ERROR_SUCCESS;
}

// Puts the written file in the target's place. ReplaceFileW keeps the target's attributes,
// permissions and links; where it does not carry the attributes over (Wine), they are put back.
DWORD putInPlace(const std::wstring& target, const std::wstring& written) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return MoveFileExW(written.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    // A target that another program holds open, not to be deleted, cannot be replaced; Wine's
    // ReplaceFileW would leave a file of its own beside it on the way to saying so.
    HANDLE held =
        CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(held);
    if (!ReplaceFileW(target.c_str(), written.c_str(), nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                      nullptr)) {
        return GetLastError();
    }
    const DWORD kept = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    const DWORD now = GetFileAttributesW(target.c_str());
    if (now != INVALID_FILE_ATTRIBUTES && (now & kept) != kept) {
        SetFileAttributesW(target.c_str(), (now & ~FILE_ATTRIBUTE_NORMAL) | kept);
    }
    return ERROR_SUCCESS;
}

} // namespace

LocalTime zoneLocalTime(std::int64_t wall) {
    // The zone's rules are asked once for each minute of UTC, as no zone changes its offset within
    // one: they are the costly part of listing a night. The UI thread's alone. Where they fail,
    // UTC is still the right time.
    static std::int64_t minuteKnown = -1;
    static std::int64_t offset = 0;
    const std::int64_t minute = wall / MinuteUnits;
    if (minute != minuteKnown) {
        const FILETIME start = fileTime(minute * MinuteUnits);
        SYSTEMTIME universal = {};
        SYSTEMTIME local = {};
        FILETIME back = {};
        offset = FileTimeToSystemTime(&start, &universal) &&
                         SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) &&
                         SystemTimeToFileTime(&local, &back)
                     ? static_cast<std::int64_t>(
                           (static_cast<std::uint64_t>(back.dwHighDateTime) << 32) |
                           back.dwLowDateTime) -
                           minute * MinuteUnits
                     : 0;
        minuteKnown = minute;
    }
    const FILETIME at = fileTime(wall + offset);
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&at, &local);
    return {
        local.wYear,   local.wMonth,  local.wDay,          local.wHour,
        local.wMinute, local.wSecond, local.wMilliseconds, static_cast<int>(offset / MinuteUnits)};
}

DWORD saveUtf8(const wchar_t* path, const TextPieces& pieces) {
    // The new file is written whole beside the old one, through the one handle that creates it and
    // that no other program can open meanwhile, and only then takes its place, so that a full disk
    // or a lost drive leaves the old file as it was.
    const std::wstring target = longForm(path);
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (DWORD attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
        wchar_t suffix[TemporarySuffix + 1];
        wsprintfW(suffix, L".%08lX.tmp", (GetTickCount() + attempt * 7919) ^ GetCurrentProcessId());
        temporary = target + suffix;
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS && (error != ERROR_FILE_EXISTS || attempt == 15)) {
            return error;
        }
    }
    DWORD error = writePieces(file, pieces);
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) {
        error = GetLastError();
    }
    if (!CloseHandle(file) && error == ERROR_SUCCESS) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        error = putInPlace(target, temporary);
    }
    if (error != ERROR_SUCCESS) {
        DeleteFileW(temporary.c_str());
    }
    return error;
}

DWORD saveUtf8(const wchar_t* path, const std::wstring& text) {
    return saveUtf8(path, [&text](std::wstring& piece) {
        piece = text;
        return false;
    });
}

EventLogWindow::EventLogWindow(HINSTANCE instance, const EventLog* store)
    : instance(instance), store(store),
      lineCapacity(store != nullptr ? store->capacity() + store->capacity() / 8 + 16 : 16),
      lines(new Line[lineCapacity]), batch(BatchSize) {}

EventLogWindow::~EventLogWindow() {
    close();
}

void EventLogWindow::show(HWND owner) {
    if (window == nullptr) {
        static const bool listViews = [] {
            const INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES};
            return InitCommonControlsEx(&classes) != FALSE;
        }();
        static_cast<void>(listViews);
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
    // Hidden, it takes nothing: the store keeps the night meanwhile.
    KillTimer(window, DrainTimer);
    ShowWindow(window, SW_HIDE);
}

void EventLogWindow::close() {
    if (window != nullptr) {
        DestroyWindow(window);
    }
}

HWND EventLogWindow::list() const {
    return GetDlgItem(window, IDC_EVENT_LIST);
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
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom == IDC_EVENT_LIST && header->code == LVN_GETDISPINFOW) {
            giveText(reinterpret_cast<NMLVDISPINFOW*>(lParam)->item);
        }
        return FALSE;
    }
    case FitColumnMessage:
        fitColumn();
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
    setProgramIcons(window, instance, dpi, bigIcon, smallIcon);
    const DWORD rowStyle = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageW(list(), LVM_SETEXTENDEDLISTVIEWSTYLE, rowStyle, rowStyle);
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH;
    SendMessageW(list(), LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));

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
    fitColumn();

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
    fitColumn();
    // Drawn whole at the new size: under Wine, what the list view moved while the window was being
    // resized, and the buttons moved, were otherwise left as they were on the screen.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
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
    setProgramIcons(window, instance, dpi, bigIcon, smallIcon);
}

void EventLogWindow::addLine(std::uint64_t sequence, LineKind kind, std::uint64_t missing) {
    // Full only where gaps came thick and fast: the oldest lines make room.
    while (end - first >= lineCapacity) {
        dropTop(0, lineCapacity / GuardShare + 2);
    }
    lines[end % lineCapacity] = {sequence, kind | missing << 8};
    ++end;
}

void EventLogWindow::dropTop(std::uint64_t keep, std::uint64_t atLeast) {
    std::uint64_t dropped = 0;
    while (first != end && (lineAt(first).sequence < keep || dropped < atLeast)) {
        deletedLines += (lineAt(first).detail & 0xFF) == EventLine ? 1 : 0;
        ++first;
        ++dropped;
    }
    survivor = first;
    if (dropped == 0 || first == end) {
        return;
    }
    // The date went with the oldest lines: the list still starts with one, which gives the offset
    // from UTC too.
    Line& top = lines[first % lineCapacity];
    if ((top.detail & 0xFF) == OffsetLine) {
        top.detail = DateLine;
    } else if ((top.detail & 0xFF) != DateLine) {
        const std::uint64_t sequence = top.sequence;
        --first;
        lines[first % lineCapacity] = {sequence, DateLine};
    }
}

void EventLogWindow::drain() {
    if (window == nullptr || store == nullptr) {
        return;
    }
    HWND view = list();
    const std::uint64_t missedBefore = cursor.missed;
    const std::uint64_t deletedBefore = deletedLines;
    const std::uint64_t firstBefore = first;
    const int countBefore = lineCount();
    const int top = static_cast<int>(SendMessageW(view, LVM_GETTOPINDEX, 0, 0));
    const int page = static_cast<int>(SendMessageW(view, LVM_GETCOUNTPERPAGE, 0, 0));
    // Following the newest lines only while the last one is in view.
    const bool atBottom = top + (page > 0 ? page : 1) >= countBefore;

    // A line shows its event from the store when it is drawn or saved: the lines of events that
    // the writer comes within the guard of go first, a guard's worth at a time, and no event that
    // close is taken.
    const std::uint64_t capacity = store->capacity();
    const std::uint64_t guard = capacity / GuardShare;
    const std::uint64_t recorded = store->recorded();
    const std::uint64_t keep = recorded + guard >= capacity ? recorded + guard + 1 - capacity : 1;
    if (first != end && lineAt(first).sequence < keep) {
        dropTop(keep + guard, 0);
    }
    if (cursor.next < keep) {
        cursor.missed += keep - cursor.next;
        cursor.next = keep;
    }
    // At most one ring's worth per call, so that a busy engine cannot keep the UI thread here.
    for (std::uint64_t rounds = capacity / BatchSize + 1; rounds > 0; --rounds) {
        const int taken = store->take(cursor, batch.data(), BatchSize);
        for (int i = 0; i < taken; ++i) {
            const Event& event = batch[static_cast<std::size_t>(i)];
            if (event.sequence > lastSequence + 1) {
                addLine(event.sequence, GapLine, event.sequence - lastSequence - 1);
            }
            lastSequence = event.sequence;
            const LocalTime at = localTime(event.wall);
            if (!anyDay || !sameDay(at, lastTime)) {
                addLine(event.sequence, DateLine);
            } else if (at.offsetMinutes != lastTime.offsetMinutes) {
                addLine(event.sequence, OffsetLine);
            }
            lastTime = at;
            anyDay = true;
            addLine(event.sequence, EventLine);
        }
        if (taken < BatchSize) {
            break;
        }
    }

    const int shift = static_cast<int>(first - firstBefore);
    const int count = lineCount();
    if (shift > 0) {
        moveSelection(shift, static_cast<int>(survivor - firstBefore));
    }
    if (count != countBefore || shift > 0) {
        // The lines already drawn stay as they are, unless they moved up.
        SendMessageW(view, LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
                     LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    }
    if (shift > 0) {
        InvalidateRect(view, nullptr, FALSE);
    }
    if (atBottom && count > 0) {
        SendMessageW(view, LVM_ENSUREVISIBLE, static_cast<WPARAM>(count - 1), FALSE);
    } else if (shift > 0) {
        // The lines the reader is looking at moved up by as many as went: keep them in view.
        RECT row = {LVIR_BOUNDS, 0, 0, 0};
        SendMessageW(view, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
        const int wanted = top > shift ? top - shift : 0;
        const int now = static_cast<int>(SendMessageW(view, LVM_GETTOPINDEX, 0, 0));
        SendMessageW(view, LVM_SCROLL, 0, (wanted - now) * (row.bottom - row.top));
    }
    fitColumn();
    if (cursor.missed != missedBefore || deletedLines != deletedBefore) {
        showDropped();
    }
}

bool EventLogWindow::lineText(std::uint64_t index, std::string& text) const {
    text.clear();
    if (index >= end - first) {
        return false;
    }
    const Line& line = lineAt(first + index);
    const auto kind = static_cast<LineKind>(line.detail & 0xFF);
    if (kind == GapLine) {
        text = gapLine(line.detail >> 8);
        return true;
    }
    Event event;
    if (store == nullptr || !store->at(line.sequence, event)) {
        return false;
    }
    const LocalTime at = localTime(event.wall);
    text = kind == DateLine     ? dateLine(at)
           : kind == OffsetLine ? offsetLine(at)
                                : eventLine(event, at);
    return true;
}

void EventLogWindow::giveText(LVITEMW& item) {
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) {
        return;
    }
    std::string line;
    lineText(static_cast<std::uint64_t>(item.iItem), line);
    const std::size_t length = line.size() < static_cast<std::size_t>(item.cchTextMax)
                                   ? line.size()
                                   : static_cast<std::size_t>(item.cchTextMax) - 1;
    std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(length), item.pszText);
    item.pszText[length] = L'\0';
    // Measured only when about as long as the longest so far: the font is proportional.
    if (length + MeasureSlack > longestLine) {
        longestLine = length > longestLine ? length : longestLine;
        const int width = static_cast<int>(
            SendMessageW(list(), LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(item.pszText)));
        if (width > widestLine) {
            widestLine = width;
            // Not while the list view is drawing.
            PostMessageW(window, FitColumnMessage, 0, 0);
        }
    }
}

void EventLogWindow::fitColumn() {
    HWND view = list();
    RECT area;
    GetClientRect(view, &area);
    const int wanted = widestLine > 0 ? widestLine + MulDiv(ColumnMargin, dpi, 96) : 0;
    const int width = wanted > area.right ? wanted : area.right;
    if (SendMessageW(view, LVM_GETCOLUMNWIDTH, 0, 0) != width) {
        SendMessageW(view, LVM_SETCOLUMNWIDTH, 0, width);
    }
}

void EventLogWindow::moveSelection(int shift, int kept) {
    HWND view = list();
    std::vector<int> chosen;
    for (int i = -1;
         (i = static_cast<int>(SendMessageW(view, LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0;) {
        chosen.push_back(i);
    }
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    if (!chosen.empty()) {
        SendMessageW(view, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(&state));
    }
    state.state = LVIS_SELECTED;
    for (int i : chosen) {
        if (i >= kept) {
            SendMessageW(view, LVM_SETITEMSTATE, i - shift, reinterpret_cast<LPARAM>(&state));
        }
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
    HWND view = list();
    std::wstring text;
    std::string line;
    const auto add = [&](int index) {
        if (lineText(static_cast<std::uint64_t>(index), line)) {
            appendWide(text, line);
            text += L"\r\n";
        }
    };
    int index = static_cast<int>(
        SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (index < 0) {
        for (int i = 0; i < lineCount(); ++i) {
            add(i);
        }
    }
    for (; index >= 0;
         index = static_cast<int>(SendMessageW(view, LVM_GETNEXTITEM, index, LVNI_SELECTED))) {
        add(index);
    }
    return text;
}

void EventLogWindow::copy() {
    const std::wstring text = chosenText();
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

DWORD EventLogWindow::saveTo(const wchar_t* path) const {
    std::uint64_t next = 0;
    bool headed = false;
    std::string line;
    const std::uint64_t count = end - first;
    return saveUtf8(path, [&](std::wstring& text) {
        if (!headed) {
            text += saveHeader();
            headed = true;
        }
        for (int n = 0; n < LinesPerPiece && next < count; ++n, ++next) {
            if (lineText(next, line)) {
                appendWide(text, line);
                text += L"\r\n";
            }
        }
        return next < count;
    });
}

void EventLogWindow::save() {
    std::vector<wchar_t> path(PathChars, L'\0');
    lstrcpynW(path.data(), L"event-log.txt", static_cast<int>(PathChars));
    OPENFILENAMEW box = {};
    box.lStructSize = sizeof box;
    box.hwndOwner = window;
    box.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    box.lpstrFile = path.data();
    box.nMaxFile = PathChars;
    box.lpstrTitle = L"Save the Event Log";
    box.lpstrDefExt = L"txt";
    box.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameW(&box)) {
        // Cancelled, or closed with the bridge meanwhile; else the box itself failed.
        const DWORD failure = CommDlgExtendedError();
        if (failure != 0 && window != nullptr) {
            wchar_t said[160];
            wsprintfW(
                said,
                failure == FNERR_BUFFERTOOSMALL
                    ? L"The name chosen is too long for the Save box. Nothing was saved."
                    : L"The Save box failed (common dialog error 0x%04lX). Nothing was saved.",
                failure);
            MessageBoxW(window, said, L"Event Log", MB_OK | MB_ICONERROR);
        }
        return;
    }
    if (window == nullptr) {
        return;
    }
    // The whole log, whatever is chosen in the list.
    if (const DWORD error = saveTo(path.data())) {
        complain(window, std::wstring(L"The Event Log could not be saved to\n") + path.data(),
                 error);
    }
}
