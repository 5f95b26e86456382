// dialog-driver: works the bridge dialog of a running bridge through its own message queue, one
// command per line on standard input, one answer per line on standard output ("ok ..." or
// "error ..."). Used by the end-to-end tests, the demo and the benchmarks.
//
//   find <ms>              wait up to ms for the dialog, by its caption, to be up and shown
//   select <id> <index>    choose an entry of a port selector, as the user would
//   click <id>             press a button
//   text <id>              the text of a control
//   entries <id>           the number of entries of a port selector
//   entry <id> <index>     the text of one entry of a port selector
//   rect                   the dialog's outer rectangle on the screen: left top right bottom
//   syscommand <id>        post a window-menu command (WM_SYSCOMMAND with wParam id)
//   about <ms>             wait up to ms for the About box the dialog owns; answers whether its
//                          icon is set, then the text of each of its controls, tab-separated
//   about-ok               press OK in the About box (posted, so it comes after what was posted
//                          before it)
//   close                  end the dialog as its close box does (IDCANCEL)
//   alive                  whether the dialog window still exists
//   logfind <ms>           wait up to ms for the program's shown window captioned "Event Log..."
//   loglines               the number of lines in the Event Log's list
//   logline <index>        the text of one line of the Event Log
//   logrect                the Event Log's outer rectangle on the screen
//   logsave <ms>           press Save... in the Event Log (posted) and wait up to ms for its box
//   ping                   time a message round trip to the dialog: microseconds
//   quit                   end the driver
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include <windows.h>

#include <commctrl.h>

namespace {

constexpr const char* Caption = "Quillfen Autoguider Bridge";
constexpr const char* DialogClass = "#32770";
constexpr const char* AboutCaption = "About Quillfen Autoguider Bridge";
constexpr int AboutIconId = 201;
// Answers from a hung dialog must not hang the driver.
constexpr UINT SendTimeoutMs = 5000;

constexpr const wchar_t* LogCaption = L"Event Log";
constexpr int EventListId = 301;
constexpr int EventSaveId = 304;
constexpr const wchar_t* SaveCaption = L"Save the Event Log";

HWND dialog = nullptr;
HWND eventLog = nullptr;

void answer(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
    return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, SendTimeoutMs,
                               result) != 0;
}

HWND control(int id) {
    return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

void findDialog(int timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        // The dialog window exists before its controls do; it is shown once WM_INITDIALOG is done.
        dialog = FindWindowA(DialogClass, Caption);
        if (dialog != nullptr && IsWindowVisible(dialog)) {
            answer("ok %p", static_cast<void*>(dialog));
            return;
        }
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
            answer("error no window captioned \"%s\"", Caption);
            return;
        }
        Sleep(50);
    }
}

// The selection changes as with the mouse or the keyboard: the combo box takes the new entry and
// its parent hears about it.
void chooseEntry(int id, int index) {
    HWND box = control(id);
    DWORD_PTR result = 0;
    if (box == nullptr || !send(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0, &result)) {
        answer("error no selector %d", id);
        return;
    }
    send(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(box), &result);
    send(box, CB_GETCURSEL, 0, 0, &result);
    answer("ok %d", static_cast<int>(static_cast<LRESULT>(result)));
}

void clickButton(int id) {
    HWND button = control(id);
    DWORD_PTR result = 0;
    if (button == nullptr || !send(button, BM_CLICK, 0, 0, &result)) {
        answer("error no button %d", id);
        return;
    }
    answer("ok");
}

// Texts are read in their wide form and handed on as UTF-8: the wide messages cross the process
// boundary whole, whatever the code page.
std::string narrow(const wchar_t* text) {
    char buffer[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    return buffer;
}

void readText(int id) {
    HWND window = control(id);
    wchar_t buffer[512] = {};
    DWORD_PTR result = 0;
    if (window == nullptr ||
        !SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, SendTimeoutMs, &result)) {
        answer("error no control %d", id);
        return;
    }
    answer("ok %s", narrow(buffer).c_str());
}

void countEntries(int id) {
    HWND box = control(id);
    DWORD_PTR result = 0;
    if (box == nullptr || !send(box, CB_GETCOUNT, 0, 0, &result)) {
        answer("error no selector %d", id);
        return;
    }
    answer("ok %d", static_cast<int>(static_cast<LRESULT>(result)));
}

// The text of one entry of a combo box, asked with the given pair of messages;
// false when there is no such entry.
bool entryText(HWND box, UINT lengthMessage, UINT textMessage, int index, std::string& text) {
    DWORD_PTR length = 0;
    wchar_t buffer[512] = {};
    if (box == nullptr ||
        !SendMessageTimeoutW(box, lengthMessage, static_cast<WPARAM>(index), 0, SMTO_ABORTIFHUNG,
                             SendTimeoutMs, &length) ||
        static_cast<LRESULT>(length) < 0 || length >= 512) {
        return false;
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutW(box, textMessage, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, SendTimeoutMs, &result);
    text = narrow(buffer);
    return true;
}

void readEntry(int id, int index) {
    std::string text;
    if (!entryText(control(id), CB_GETLBTEXTLEN, CB_GETLBTEXT, index, text)) {
        answer("error no entry %d of %d", index, id);
        return;
    }
    answer("ok %s", text.c_str());
}

void readRect(HWND window) {
    RECT outer;
    if (window == nullptr || !GetWindowRect(window, &outer)) {
        answer("error no window");
        return;
    }
    answer("ok %ld %ld %ld %ld", outer.left, outer.top, outer.right, outer.bottom);
}

void postSystemCommand(int id) {
    if (!PostMessageA(dialog, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0)) {
        answer("error no dialog");
        return;
    }
    answer("ok");
}

// The About box counts only while the bridge dialog owns it.
HWND findAbout() {
    HWND about = FindWindowA(DialogClass, AboutCaption);
    return about != nullptr && GetWindow(about, GW_OWNER) == dialog && IsWindowVisible(about)
               ? about
               : nullptr;
}

void readAbout(int timeoutMs) {
    const DWORD start = GetTickCount();
    HWND about;
    while ((about = findAbout()) == nullptr) {
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
            answer("error no About box owned by the dialog");
            return;
        }
        Sleep(50);
    }
    DWORD_PTR icon = 0;
    send(GetDlgItem(about, AboutIconId), STM_GETICON, 0, 0, &icon);
    std::string texts = icon != 0 ? "1" : "0";
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t buffer[512] = {};
        DWORD_PTR result = 0;
        SendMessageTimeoutW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer),
                            SMTO_ABORTIFHUNG, SendTimeoutMs, &result);
        texts += "\t" + narrow(buffer);
    }
    answer("ok %s", texts.c_str());
}

void pressAboutOk() {
    HWND about = findAbout();
    if (about == nullptr || !PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                                          reinterpret_cast<LPARAM>(GetDlgItem(about, IDOK)))) {
        answer("error no About box");
        return;
    }
    answer("ok");
}

void closeDialog() {
    if (dialog == nullptr || !PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0)) {
        answer("error no dialog");
        return;
    }
    answer("ok");
}

// What a search of the dialog's process's windows looks for, and what it found.
struct Search {
    const wchar_t* caption;
    HWND found;
};

// A shown top-level window of the dialog's process whose caption begins with the one searched.
BOOL CALLBACK findProgramWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD process = 0;
    DWORD dialogProcess = 0;
    GetWindowThreadProcessId(window, &process);
    GetWindowThreadProcessId(dialog, &dialogProcess);
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    const std::size_t length = std::wcslen(search->caption);
    if (process == dialogProcess && IsWindowVisible(window) &&
        std::wcsncmp(caption, search->caption, length) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Waits up to timeoutMs for such a window; nullptr when none came.
HWND waitForProgramWindow(const wchar_t* caption, int timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        Search search = {caption, nullptr};
        EnumWindows(findProgramWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
            return search.found;
        }
        Sleep(50);
    }
}

void findLog(int timeoutMs) {
    eventLog = waitForProgramWindow(LogCaption, timeoutMs);
    if (eventLog == nullptr) {
        answer("error no Event Log");
        return;
    }
    answer("ok %p", static_cast<void*>(eventLog));
}

void openSaveBox(int timeoutMs) {
    if (eventLog == nullptr || !PostMessageW(eventLog, WM_COMMAND, EventSaveId, 0)) {
        answer("error no Event Log");
        return;
    }
    HWND box = waitForProgramWindow(SaveCaption, timeoutMs);
    if (box == nullptr) {
        answer("error no Save box");
        return;
    }
    answer("ok %p", static_cast<void*>(box));
}

HWND logList() {
    return eventLog != nullptr ? GetDlgItem(eventLog, EventListId) : nullptr;
}

int logLineCount() {
    DWORD_PTR result = 0;
    HWND list = logList();
    return list != nullptr && send(list, LVM_GETITEMCOUNT, 0, 0, &result)
               ? static_cast<int>(static_cast<LRESULT>(result))
               : -1;
}

void countLogLines() {
    const int count = logLineCount();
    if (count < 0) {
        answer("error no Event Log");
        return;
    }
    answer("ok %d", count);
}

// The Event Log's list view answers with the text in a buffer of its own process: the request
// and its buffer are written there, and the answer read back.
void readLogLine(int index) {
    struct Request {
        LVITEMW item;
        wchar_t text[512];
    };
    HWND list = logList();
    DWORD process = 0;
    GetWindowThreadProcessId(list, &process);
    HANDLE bridge =
        index >= 0 && index < logLineCount()
            ? OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process)
            : nullptr;
    void* remote = bridge != nullptr ? VirtualAllocEx(bridge, nullptr, sizeof(Request),
                                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                     : nullptr;
    Request request = {};
    request.item.pszText =
        remote != nullptr
            ? reinterpret_cast<wchar_t*>(static_cast<char*>(remote) + offsetof(Request, text))
            : nullptr;
    request.item.cchTextMax = 512;
    DWORD_PTR length = 0;
    const bool read = remote != nullptr &&
                      WriteProcessMemory(bridge, remote, &request, sizeof request, nullptr) &&
                      send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(index),
                           reinterpret_cast<LPARAM>(remote), &length) &&
                      ReadProcessMemory(bridge, remote, &request, sizeof request, nullptr);
    if (remote != nullptr) {
        VirtualFreeEx(bridge, remote, 0, MEM_RELEASE);
    }
    if (bridge != nullptr) {
        CloseHandle(bridge);
    }
    if (!read) {
        answer("error no line %d", index);
        return;
    }
    request.text[511] = L'\0';
    answer("ok %s", narrow(request.text).c_str());
}

// How long the dialog's thread takes to answer a message, measured here, without the pipe to the
// caller: what a user would feel as the dialog's responsiveness.
void ping() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    DWORD_PTR result = 0;
    const bool answered = send(dialog, WM_NULL, 0, 0, &result);
    QueryPerformanceCounter(&after);
    if (!answered) {
        answer("error no answer");
        return;
    }
    answer("ok %lld", (after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart);
}

} // namespace

int main() {
    char line[512];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        char verb[32] = {};
        int first = 0;
        int second = 0;
        const int fields = std::sscanf(line, "%31s %d %d", verb, &first, &second);
        if (fields < 1) {
            continue;
        }
        const std::string command = verb;
        if (command == "quit") {
            answer("ok");
            return 0;
        }
        if (command == "find" && fields == 2) {
            findDialog(first);
        } else if (dialog == nullptr) {
            answer("error no dialog found yet");
        } else if (command == "select" && fields == 3) {
            chooseEntry(first, second);
        } else if (command == "click" && fields == 2) {
            clickButton(first);
        } else if (command == "text" && fields == 2) {
            readText(first);
        } else if (command == "entries" && fields == 2) {
            countEntries(first);
        } else if (command == "entry" && fields == 3) {
            readEntry(first, second);
        } else if (command == "rect") {
            readRect(dialog);
        } else if (command == "logsave" && fields == 2) {
            openSaveBox(first);
        } else if (command == "logrect") {
            readRect(eventLog);
        } else if (command == "about" && fields == 2) {
            readAbout(first);
        } else if (command == "about-ok") {
            pressAboutOk();
        } else if (command == "close") {
            closeDialog();
        } else if (command == "syscommand" && fields == 2) {
            postSystemCommand(first);
        } else if (command == "logfind" && fields == 2) {
            findLog(first);
        } else if (command == "loglines") {
            countLogLines();
        } else if (command == "logline" && fields == 2) {
            readLogLine(first);
        } else if (command == "ping") {
            ping();
        } else if (command == "alive") {
            answer("ok %d", IsWindow(dialog) ? 1 : 0);
        } else {
            answer("error unknown command");
        }
    }
    return 0;
}
