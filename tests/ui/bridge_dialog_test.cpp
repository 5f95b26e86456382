// Tests of the bridge dialog, built from the program's own template, wired to a running engine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/heartbeat.h"
#include "engine/controller.h"
#include "resources/resource.h"
#include "support/peer_line.h"
#include "support/recording_listener.h"
#include "ui/app_model.h"
#include "ui/bridge_dialog.h"
#include "ui/program_hooks.h"
#include "ui/difference_graph.h"
#include "ui/event_log_window.h"
#include "engine/status_code.h"

namespace {

struct ControlRow {
    int id;
    int atom; // predefined class atom, or 0 for the strip-chart class
    const char* text;
    short x, y, cx, cy;
    DWORD style;
};

const ControlRow Table[17] = {
    {1000, 0x80, "Incoming", 4, 2, 220, 41, 0x50000007},
    {1001, 0x82, "Port:", 8, 14, 40, 12, 0x50020002},
    {100, 0x85, "", 50, 12, 50, 200, 0x50210003},
    {101, 0x80, "Connect", 102, 12, 50, 13, 0x50010000},
    {102, 0x80, "Disconnect", 154, 12, 50, 13, 0x50010000},
    {103, 0x81, "", 8, 27, 180, 12, 0x50810880},
    {104, 0x81, "", 190, 27, 30, 12, 0x50810880},
    {1002, 0x80, "Outgoing", 4, 45, 220, 41, 0x50000007},
    {1003, 0x82, "Port:", 8, 55, 40, 12, 0x50020002},
    {110, 0x85, "", 50, 53, 50, 200, 0x50210003},
    {111, 0x80, "Connect", 102, 53, 50, 13, 0x50010000},
    {112, 0x80, "Disconnect", 154, 53, 50, 13, 0x50010000},
    {113, 0x81, "", 8, 68, 212, 12, 0x50810880},
    {1004, 0x82, "Ra:", 4, 98, 20, 10, 0x50020002},
    {1005, 0x82, "De:", 4, 126, 20, 10, 0x50020002},
    {120, 0, "", 28, 90, 196, 26, 0x50800000},
    {121, 0, "", 28, 118, 196, 26, 0x50800000},
};

const char* className(int atom) {
    switch (atom) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x85:
        return "ComboBox";
    default:
        return "control_autoguider_difference_graph";
    }
}

// Reads an extended dialog template in the order the dialog manager does.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : data(data) {}
    WORD word() {
        WORD value;
        memcpy(&value, data + offset, 2);
        offset += 2;
        return value;
    }
    DWORD dword() {
        DWORD value;
        memcpy(&value, data + offset, 4);
        offset += 4;
        return value;
    }
    BYTE byte() { return data[offset++]; }
    // A name or an ordinal: "#n" for an ordinal n.
    std::wstring nameOrOrdinal() {
        if (WORD first = word(); first == 0xFFFF) {
            return L"#" + std::to_wstring(word());
        } else {
            std::wstring text;
            for (WORD c = first; c != 0; c = word()) {
                text += static_cast<wchar_t>(c);
            }
            return text;
        }
    }
    void alignToDword() { offset = (offset + 3) & ~size_t(3); }
    size_t offset = 0;

private:
    const BYTE* data;
};

std::wstring widen(const char* text) {
    return std::wstring(text, text + strlen(text));
}

std::string itemText(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// Runs the thread's message loop until the condition holds; false after the deadline.
bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

TEST(BridgeTemplate, MatchesTheDialogTableWordForWord) {
    HRSRC found = FindResourceExA(nullptr, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(100),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr) << "template 100, language 1033";
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    TemplateReader in(data);
    EXPECT_EQ(in.word(), 1);
    EXPECT_EQ(in.word(), 0xFFFF);
    EXPECT_EQ(in.dword(), 0u);          // help id
    EXPECT_EQ(in.dword(), 0x00000200u); // WS_EX_CLIENTEDGE
    EXPECT_EQ(in.dword(), 0x90CC00C0u); // style
    ASSERT_EQ(in.word(), 17);
    EXPECT_EQ(in.word(), 32);
    EXPECT_EQ(in.word(), 32);
    EXPECT_EQ(in.word(), 228);
    EXPECT_EQ(in.word(), 146);
    EXPECT_EQ(in.nameOrOrdinal(), L""); // no menu
    EXPECT_EQ(in.nameOrOrdinal(), L""); // the system's dialog class
    EXPECT_EQ(in.nameOrOrdinal(), L"Quillfen Autoguider Bridge");
    EXPECT_EQ(in.word(), 8);
    EXPECT_EQ(in.word(), 0);
    EXPECT_EQ(in.byte(), 0);
    EXPECT_EQ(in.byte(), 0);
    EXPECT_EQ(in.nameOrOrdinal(), L"MS Shell Dlg");
    for (const ControlRow& row : Table) {
        SCOPED_TRACE(row.id);
        // Each item starts on a 32-bit boundary, after a zero padding word where needed.
        if (in.offset % 4 != 0) {
            EXPECT_EQ(in.word(), 0);
        }
        EXPECT_EQ(in.dword(), 0u); // help id
        EXPECT_EQ(in.dword(), 0u); // extended style
        EXPECT_EQ(in.dword(), row.style);
        EXPECT_EQ(static_cast<short>(in.word()), row.x);
        EXPECT_EQ(static_cast<short>(in.word()), row.y);
        EXPECT_EQ(static_cast<short>(in.word()), row.cx);
        EXPECT_EQ(static_cast<short>(in.word()), row.cy);
        EXPECT_EQ(in.dword(), DWORD(row.id));
        const std::wstring expectedClass =
            row.atom != 0 ? L"#" + std::to_wstring(row.atom) : widen(className(0));
        EXPECT_EQ(in.nameOrOrdinal(), expectedClass);
        EXPECT_EQ(in.nameOrOrdinal(), widen(row.text));
        EXPECT_EQ(in.word(), 0); // no creation data
    }
    EXPECT_EQ(in.offset, SizeofResource(nullptr, found));
}

TEST(BridgeTemplate, CarriesVersionInformationAndAManifest) {
    HRSRC version = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_NE(version, nullptr);
    HRSRC manifest = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(nullptr, manifest)));
    const std::string xml(text, SizeofResource(nullptr, manifest));
    EXPECT_NE(xml.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(xml.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(xml.find("<dpiAware"), std::string::npos);
}

// The dialog as the program makes it, run modeless so that the test can drive it: the real
// template and procedure, a running engine whose reports reach the dialog through the model, and
// a recording of every report the engine makes.
class BridgeDialog : public ::testing::Test {
protected:
    void SetUp() override {
        registerGraphClass(GetModuleHandleA(nullptr));
        reports.onReport = [this](const Report& report) {
            switch (report.kind) {
            case 1:
                model.onIncomingStatus(static_cast<std::int32_t>(report.code), report.count);
                break;
            case 2:
                model.onOutgoingStatus(static_cast<std::int32_t>(report.code), report.count);
                break;
            default:
                model.onGuideState(report.code, report.dec, report.count);
                break;
            }
        };
        controller.start();
        dialog = std::make_unique<DlgAutoGuiderBridge>(GetModuleHandleA(nullptr), &graphPalette,
                                                       &model, &controller);
        window = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(100), nullptr,
                                    DlgAutoGuiderBridge::dialogProcedure,
                                    reinterpret_cast<LPARAM>(dialog.get()));
        ASSERT_NE(window, nullptr);
    }

    void TearDown() override {
        if (window != nullptr) {
            DestroyWindow(window);
        }
        if (ticking) {
            heartBeat.clearListener();
            heartBeat.stop();
        }
        controller.stop();
        dialog.reset();
    }

    void choose(int selector, int index) {
        SendDlgItemMessageA(window, selector, CB_SETCURSEL, index, 0);
    }

    void command(int id, int code = BN_CLICKED) {
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    }

    void notify(int kind, NotificationWord word) {
        SendMessageA(window, WM_USER, static_cast<WPARAM>(kind), static_cast<LPARAM>(word));
    }

    // Paints whatever waits to be painted, so that a later invalidation can be seen.
    void settle() { RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); }

    bool showsEventually(int id, const std::string& text) {
        return pumpUntil([&] { return itemText(window, id) == text; });
    }

    bool hasReport(const Report& wanted) {
        for (const Report& report : reports.reports()) {
            if (report == wanted) {
                return true;
            }
        }
        return false;
    }

    RecordingListener reports;
    AppModel model;
    Controller controller{&reports};
    HeartBeat heartBeat;
    bool ticking = false;
    std::unique_ptr<DlgAutoGuiderBridge> dialog;
    HWND window = nullptr;
};

TEST_F(BridgeDialog, HasTheSeventeenControlsOfTheTable) {
    int index = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT), ++index) {
        ASSERT_LT(index, 17);
        const ControlRow& row = Table[index];
        SCOPED_TRACE(row.id);
        EXPECT_EQ(GetDlgCtrlID(child), row.id);
        char name[64] = {};
        GetClassNameA(child, name, sizeof name);
        EXPECT_STRCASEEQ(name, className(row.atom));
        const DWORD style = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
        // The dialog manager may turn a border into a client edge, and a combo box hands its
        // scroll bar to its list; every other bit stays.
        const DWORD wanted = row.style & ~DWORD(WS_BORDER | WS_VSCROLL);
        EXPECT_EQ(style & wanted, wanted) << std::hex << style;
        if (row.atom == 0x80 || row.atom == 0x82) {
            EXPECT_EQ(itemText(window, row.id), row.text);
        }
    }
    EXPECT_EQ(index, 17);
    char caption[64] = {};
    GetWindowTextA(window, caption, sizeof caption);
    EXPECT_STREQ(caption, "Quillfen Autoguider Bridge");
    // A minimize box, which template 100 does not have; no maximize box.
    EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & (WS_MAXIMIZEBOX | WS_MINIMIZEBOX),
              WS_MINIMIZEBOX);
    EXPECT_EQ(GetDlgItem(window, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(window, IDCANCEL), nullptr);
}

TEST_F(BridgeDialog, InitialisationFillsThePortListsAndBindsTheCharts) {
    EXPECT_EQ(dialog->window, window);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(dialog.get()));
    for (int selector : {IDC_INCOMING_PORT, IDC_OUTGOING_PORT}) {
        SCOPED_TRACE(selector);
        EXPECT_EQ(SendDlgItemMessageA(window, selector, CB_GETCOUNT, 0, 0), 256);
        EXPECT_EQ(SendDlgItemMessageA(window, selector, CB_GETCURSEL, 0, 0), 0);
        for (int index : {0, 2, 11, 99, 254, 255}) {
            char entry[32] = {};
            SendDlgItemMessageA(window, selector, CB_GETLBTEXT, index,
                                reinterpret_cast<LPARAM>(entry));
            EXPECT_EQ(entry, "COM" + std::to_string(index + 1));
        }
    }
    EXPECT_EQ(GetFocus(), GetDlgItem(window, IDC_INCOMING_PORT));

    HWND ra = GetDlgItem(window, IDC_RA_GRAPH);
    HWND dec = GetDlgItem(window, IDC_DEC_GRAPH);
    EXPECT_EQ(dialog->raGraph->window, ra);
    EXPECT_EQ(dialog->decGraph->window, dec);
    EXPECT_EQ(GetWindowLongPtrW(ra, GWLP_USERDATA),
              reinterpret_cast<LONG_PTR>(dialog->raGraph.get()));
    EXPECT_EQ(GetWindowLongPtrW(dec, GWLP_USERDATA),
              reinterpret_cast<LONG_PTR>(dialog->decGraph.get()));
    EXPECT_EQ(dialog->raGraph->count, 0);

    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(dialog->minWidth, outer.right - outer.left);
    EXPECT_EQ(dialog->minHeight, outer.bottom - outer.top);
    for (int field : {IDC_INCOMING_STATUS, IDC_COMMAND_COUNT, IDC_OUTGOING_STATUS}) {
        EXPECT_EQ(itemText(window, field), "");
    }
}

TEST_F(BridgeDialog, ConnectOpensTheChosenPortsAndMinimizedTheChartsGoOn) {
    PeerLine autoguider(3);
    PeerLine mount(12);
    ASSERT_TRUE(autoguider.ok());
    ASSERT_TRUE(mount.ok());
    heartBeat.setListener(&controller);
    heartBeat.start();
    ticking = true;

    choose(IDC_INCOMING_PORT, 2);
    command(IDC_INCOMING_CONNECT);
    ASSERT_TRUE(showsEventually(IDC_INCOMING_STATUS, "Waiting..."));
    choose(IDC_OUTGOING_PORT, 11);
    command(IDC_OUTGOING_CONNECT);
    ASSERT_TRUE(showsEventually(IDC_OUTGOING_STATUS, "Port opened"));

    // The autoguider's end of COM3 gets the identity reply, and a west pulse sent there moves the
    // mount on COM12; the dialog follows with the count and a chart sample.
    autoguider.write(":GVF#");
    EXPECT_EQ(autoguider.read(19, 10000), "Meade Autostar 497#");
    autoguider.write(":Mgw0100#");
    EXPECT_EQ(mount.read(8, 10000), ":Mw#:Qw#");
    EXPECT_TRUE(showsEventually(IDC_INCOMING_STATUS, "Ready"));
    EXPECT_TRUE(showsEventually(IDC_COMMAND_COUNT, "2"));
    EXPECT_TRUE(pumpUntil([&] { return dialog->raGraph->count > 0; }));
    EXPECT_TRUE(hasReport(incoming(StatusOpening)));
    EXPECT_TRUE(hasReport(outgoing(StatusPortOpened)));

    // Minimized and restored, as the caption's box and the taskbar button do: the samples go on.
    for (WPARAM size : {WPARAM(SC_MINIMIZE), WPARAM(SC_RESTORE)}) {
        SendMessageA(window, WM_SYSCOMMAND, size, 0);
        EXPECT_EQ(IsIconic(window) != FALSE, size == SC_MINIMIZE);
        const int before = dialog->raGraph->count;
        EXPECT_TRUE(pumpUntil([&] { return dialog->raGraph->count > before; }));
    }
}

TEST_F(BridgeDialog, ConnectIgnoresTheNotificationCode) {
    choose(IDC_INCOMING_PORT, 2);
    command(IDC_INCOMING_CONNECT, 0xABCD);
    ASSERT_TRUE(reports.waitFor(incoming(StatusWaiting)));
    command(IDC_INCOMING_DISCONNECT, 0x1234);
    ASSERT_TRUE(reports.waitFor(incoming(StatusClosed)));
    reports.clear();
    command(IDC_INCOMING_CONNECT, 0xFFFF);
    EXPECT_TRUE(reports.waitFor(incoming(StatusWaiting)));
    EXPECT_TRUE(showsEventually(IDC_INCOMING_STATUS, "Waiting..."));
}

TEST_F(BridgeDialog, LastPortEntryIsRefusedWithoutReachingTheEngine) {
    choose(IDC_INCOMING_PORT, 255);
    command(IDC_INCOMING_CONNECT);
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Cannot open port.");
    choose(IDC_OUTGOING_PORT, 255);
    command(IDC_OUTGOING_CONNECT);
    EXPECT_EQ(itemText(window, IDC_OUTGOING_STATUS), "Cannot open port.");
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "");

    // The engine takes commands in order: by the time it answers these disconnects, it would
    // have reported any connect attempt before them.
    command(IDC_INCOMING_DISCONNECT);
    command(IDC_OUTGOING_DISCONNECT);
    ASSERT_TRUE(reports.waitFor(incoming(StatusNotOpened)));
    ASSERT_TRUE(reports.waitFor(outgoing(StatusNotOpened)));
    const std::vector<Report> expected = {incoming(StatusNotOpened), outgoing(StatusNotOpened)};
    EXPECT_EQ(reports.reports(), expected);
}

TEST_F(BridgeDialog, StatusWordsSetTheirOwnFieldsOnly) {
    notify(KindIncomingStatus, 0x8);
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Port is not opened yet.");
    EXPECT_EQ(itemText(window, IDC_OUTGOING_STATUS), "");
    notify(KindOutgoingStatus, 0x8);
    EXPECT_EQ(itemText(window, IDC_OUTGOING_STATUS), "Port is not opened yet.");

    notify(KindIncomingStatus, 0x184);
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Ready");
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "1");
    notify(KindIncomingStatus, 0x280);
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "2");
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Ready");

    // Codes without a text leave both status fields as they are.
    for (NotificationWord code = 0; code < 64; code = code == 0 ? 9 : code + 1) {
        notify(KindIncomingStatus, code);
        notify(KindOutgoingStatus, code);
    }
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Ready");
    EXPECT_EQ(itemText(window, IDC_OUTGOING_STATUS), "Port is not opened yet.");

    // An outgoing word carries a count like any other, but the count field is the incoming link's.
    notify(KindOutgoingStatus, 0x582);
    EXPECT_EQ(itemText(window, IDC_OUTGOING_STATUS), "Port opened");
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "2");

    // The count is shown unsigned, all 24 bits of it.
    notify(KindIncomingStatus, 0xFFFFFF80u);
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "16777215");

    // Unknown kinds change nothing.
    for (int kind : {0, 4, -1}) {
        notify(kind, 0x385);
    }
    EXPECT_EQ(itemText(window, IDC_INCOMING_STATUS), "Ready");
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "16777215");
}

TEST_F(BridgeDialog, GuideWordsFeedTheChartsAndRepaintThem) {
    HWND ra = GetDlgItem(window, IDC_RA_GRAPH);
    HWND dec = GetDlgItem(window, IDC_DEC_GRAPH);
    settle();
    ASSERT_FALSE(GetUpdateRect(ra, nullptr, FALSE));

    notify(KindGuideState, 0xCE7);
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "12");
    ASSERT_EQ(dialog->raGraph->count, 1);
    ASSERT_EQ(dialog->decGraph->count, 1);
    EXPECT_EQ(dialog->raGraph->samples[0], 3);
    EXPECT_EQ(dialog->decGraph->samples[0], 0);
    EXPECT_TRUE(GetUpdateRect(ra, nullptr, FALSE));
    EXPECT_TRUE(GetUpdateRect(dec, nullptr, FALSE));

    // East and north: the lowest and highest values.
    notify(KindGuideState, 0xC0 | 0 | (7 << 3) | (13u << 8));
    EXPECT_EQ(dialog->raGraph->samples[1], -4);
    EXPECT_EQ(dialog->decGraph->samples[1], 3);

    // Without the sample flag: the count moves, the charts do not.
    settle();
    ASSERT_FALSE(GetUpdateRect(ra, nullptr, FALSE));
    notify(KindGuideState, 0x80 | 7 | (14u << 8));
    EXPECT_EQ(itemText(window, IDC_COMMAND_COUNT), "14");
    EXPECT_EQ(dialog->raGraph->count, 2);
    EXPECT_EQ(dialog->decGraph->count, 2);
    EXPECT_FALSE(GetUpdateRect(ra, nullptr, FALSE));
    EXPECT_FALSE(GetUpdateRect(dec, nullptr, FALSE));
}

TEST_F(BridgeDialog, WindowMayGrowWiderButNeverNarrowerOrTaller) {
    RECT outer;
    GetWindowRect(window, &outer);
    const LONG width = outer.right - outer.left;
    const LONG height = outer.bottom - outer.top;
    MINMAXINFO info;
    info.ptReserved = {11, 12};
    info.ptMaxSize = {13, 14};
    info.ptMaxPosition = {15, 16};
    info.ptMinTrackSize = {17, 18};
    info.ptMaxTrackSize = {5000, 19};
    SendMessageA(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, width);
    EXPECT_EQ(info.ptMinTrackSize.y, height);
    EXPECT_EQ(info.ptMaxTrackSize.x, 5000);
    EXPECT_EQ(info.ptMaxTrackSize.y, height);
    EXPECT_EQ(info.ptReserved.x, 11);
    EXPECT_EQ(info.ptMaxSize.y, 14);
    EXPECT_EQ(info.ptMaxPosition.x, 15);

    // Wider: every control keeps its place and size.
    std::vector<RECT> before;
    for (const ControlRow& row : Table) {
        RECT rect;
        GetWindowRect(GetDlgItem(window, row.id), &rect);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
        before.push_back(rect);
    }
    SetWindowPos(window, nullptr, 0, 0, width + 120, height, SWP_NOMOVE | SWP_NOZORDER);
    for (size_t i = 0; i < before.size(); ++i) {
        RECT rect;
        GetWindowRect(GetDlgItem(window, Table[i].id), &rect);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_TRUE(EqualRect(&rect, &before[i])) << Table[i].id;
    }
}

TEST_F(BridgeDialog, AMoveToA192DpiMonitorDoublesTheChartsTheLimitsAndTheEventLogsLayout) {
    RECT outer;
    GetWindowRect(window, &outer);
    const RECT suggested = {outer.left, outer.top, outer.left + 2 * (outer.right - outer.left),
                            outer.top + 2 * (outer.bottom - outer.top)};
    const int width = dialog->minWidth;
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(dialog->raGraph->dpi, 192);
    EXPECT_EQ(dialog->decGraph->dpi, 192);
    EXPECT_EQ(dialog->minWidth, 2 * width);
    EXPECT_EQ(dialog->minHeight, suggested.bottom - suggested.top);
    GetWindowRect(window, &outer);
    EXPECT_TRUE(EqualRect(&outer, &suggested));

    // The Event Log: its buttons keep twice their distance from the corner, and its least size
    // doubles.
    SendMessageW(window, WM_SYSCOMMAND, WindowMenuEventLog, 0);
    ASSERT_TRUE(dialog->eventLog);
    HWND log = dialog->eventLog->window;
    auto fromCorner = [&] {
        RECT client;
        RECT button;
        GetClientRect(log, &client);
        GetWindowRect(GetDlgItem(log, IDC_EVENT_SAVE), &button);
        MapWindowPoints(nullptr, log, reinterpret_cast<POINT*>(&button), 2);
        return SIZE{client.right - button.left, client.bottom - button.top};
    };
    const SIZE before = fromCorner();
    MINMAXINFO least = {};
    SendMessageW(log, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&least));
    GetWindowRect(log, &outer);
    const RECT doubled = {outer.left, outer.top, outer.left + 2 * (outer.right - outer.left),
                          outer.top + 2 * (outer.bottom - outer.top)};
    SendMessageW(log, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&doubled));
    const SIZE after = fromCorner();
    EXPECT_EQ(after.cx, 2 * before.cx);
    EXPECT_EQ(after.cy, 2 * before.cy);
    MINMAXINFO doubledLeast = {};
    SendMessageW(log, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&doubledLeast));
    EXPECT_EQ(doubledLeast.ptMinTrackSize.x, 2 * least.ptMinTrackSize.x);
    EXPECT_EQ(doubledLeast.ptMinTrackSize.y, 2 * least.ptMinTrackSize.y);
    // Both windows' icons are drawn for the new scale.
    for (HWND scaled : {window, log}) {
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(
            reinterpret_cast<HICON>(SendMessageW(scaled, WM_GETICON, ICON_BIG, 0)), &info));
        BITMAP colour = {};
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(colour.bmWidth, 2 * GetSystemMetrics(SM_CXICON));
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
}

int lineCount(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring listLine(HWND list, int index) {
    wchar_t text[300] = {};
    LVITEMW item = {};
    item.pszText = text;
    item.cchTextMax = 300;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
    return text;
}

int topLine(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
}

// "HH:MM:SS.mmm  " and then the wanted text.
bool isLine(const std::wstring& line, const std::wstring& wanted) {
    const std::wstring shape = L"00:00:00.000  ";
    if (line.size() != shape.size() + wanted.size() || line.substr(shape.size()) != wanted) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= L'0' && line[i] <= L'9';
        if (shape[i] == L'0' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

TEST_F(BridgeDialog, WindowMenuOpensTheEventLogWhichClosesWithTheDialog) {
    HMENU menu = GetSystemMenu(window, FALSE);
    wchar_t name[64] = {};
    ASSERT_GT(GetMenuStringW(menu, WindowMenuEventLog, name, 64, MF_BYCOMMAND), 0);
    EXPECT_STREQ(name, L"Event Log");
    int position = 0;
    while (GetMenuItemID(menu, position) != WindowMenuEventLog) {
        ++position;
    }
    MENUITEMINFOW before = {};
    before.cbSize = sizeof before;
    before.fMask = MIIM_FTYPE;
    ASSERT_TRUE(GetMenuItemInfoW(menu, static_cast<UINT>(position - 1), TRUE, &before));
    EXPECT_TRUE(before.fType & MFT_SEPARATOR);

    // Something to show: a port that cannot be opened. The low bits of the command are ignored.
    choose(IDC_INCOMING_PORT, 199);
    command(IDC_INCOMING_CONNECT);
    ASSERT_TRUE(reports.waitFor(incoming(StatusCannotOpen)));
    SendMessageW(window, WM_SYSCOMMAND, WindowMenuEventLog | 3, 0);
    ASSERT_TRUE(dialog->eventLog);
    HWND log = dialog->eventLog->window;
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(IsWindowVisible(log));
    EXPECT_EQ(GetWindow(log, GW_OWNER), window);
    wchar_t caption[64] = {};
    GetWindowTextW(log, caption, 64);
    EXPECT_EQ(std::wstring(caption).rfind(L"Event Log", 0), 0u);
    EXPECT_TRUE(GetWindowLongW(log, GWL_STYLE) & WS_THICKFRAME);
    EXPECT_NE(SendMessageW(log, WM_GETICON, ICON_SMALL, 0), 0);

    HWND list = GetDlgItem(log, IDC_EVENT_LIST);
    wchar_t kind[32] = {};
    GetClassNameW(list, kind, 32);
    EXPECT_EQ(lstrcmpiW(kind, WC_LISTVIEWW), 0);
    const LONG style = GetWindowLongW(list, GWL_STYLE);
    EXPECT_EQ(style & (LVS_TYPEMASK | LVS_OWNERDATA | LVS_SINGLESEL), LVS_REPORT | LVS_OWNERDATA);
    ASSERT_TRUE(pumpUntil([&] { return lineCount(list) >= 3; }));
    EXPECT_EQ(listLine(list, 0).rfind(L"---- 20", 0), 0u) << "the date comes first";
    EXPECT_TRUE(isLine(listLine(list, 1), L"Incoming COM200: Opening port..."));
    EXPECT_TRUE(isLine(listLine(list, 2), L"Incoming COM200: Cannot open port."));

    // Escape hides it and keeps its lines; the window menu shows it again.
    SendMessageW(log, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindowVisible(log));
    PostMessageW(window, WM_SYSCOMMAND, WindowMenuEventLog, 0);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(log) != FALSE; }));
    EXPECT_EQ(dialog->eventLog->window, log);
    EXPECT_GE(lineCount(list), 2);

    DestroyWindow(window);
    window = nullptr;
    EXPECT_FALSE(IsWindow(log));
    EXPECT_EQ(dialog->eventLog->window, nullptr);
}

std::wstring clipboardText() {
    std::wstring text;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
            text = static_cast<const wchar_t*>(GlobalLock(data));
            GlobalUnlock(data);
        }
        CloseClipboard();
    }
    return text;
}

// Counts the lines whose text the Event Log's list asks for, to draw them.
struct TextAsks {
    static inline WNDPROC before = nullptr;
    static inline int lines = 0;
    static LRESULT CALLBACK count(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->code == LVN_GETDISPINFOW) {
            ++lines;
        }
        return CallWindowProcW(before, window, message, wParam, lParam);
    }
};

// Runs what waits in the thread's queue, then paints what waits to be painted.
void settle(HWND list) {
    for (int round = 0; round < 2; ++round) {
        pumpUntil([] { return true; });
        UpdateWindow(list);
    }
}

TEST(EventLogWindow, ListsWhatTheStoreHoldsFollowsTheBottomKeepsTheReaderInPlaceAndCopies) {
    // The store overwrites its oldest; the list keeps 1/64 of it clear of the writer.
    EventLog store(1024);
    auto pulses = [&](int count) {
        for (int i = 0; i < count; ++i) {
            store.record(EventPulse, static_cast<std::uint32_t>(store.recorded() + 1), 1, "w", 1);
        }
    };
    pulses(3000);
    EventLogWindow log(GetModuleHandleA(nullptr), &store);
    log.show(nullptr);
    ASSERT_NE(log.window, nullptr);
    HWND list = GetDlgItem(log.window, IDC_EVENT_LIST);
    ASSERT_EQ(lineCount(list), 2 + 1008);
    EXPECT_EQ(listLine(list, 0), L"---- 1992 events missing ----");
    EXPECT_EQ(listLine(list, 1).rfind(L"---- 20", 0), 0u);
    EXPECT_TRUE(isLine(listLine(list, 2), L"Pulse west 1993 ms, 1 tick"));
    EXPECT_TRUE(isLine(listLine(list, 1009), L"Pulse west 3000 ms, 1 tick"));
    wchar_t dropped[64] = {};
    GetDlgItemTextW(log.window, IDC_EVENT_DROPPED, dropped, 64);
    EXPECT_STREQ(dropped, L"1992 older lines dropped");

    // The oldest go a chunk at a time, with their date, and the list still starts with one. At
    // the bottom, the view follows the new lines, and only they are drawn.
    pulses(30);
    log.drain();
    ASSERT_EQ(lineCount(list), 1 + (3030 - 2039 + 1));
    EXPECT_EQ(listLine(list, 0).rfind(L"---- 20", 0), 0u);
    EXPECT_TRUE(isLine(listLine(list, 1), L"Pulse west 2039 ms, 1 tick"));
    const int page = static_cast<int>(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
    ASSERT_GT(page, 3);
    EXPECT_GE(topLine(list) + page, lineCount(list));
    GetDlgItemTextW(log.window, IDC_EVENT_DROPPED, dropped, 64);
    EXPECT_STREQ(dropped, L"2038 older lines dropped");
    settle(list);
    TextAsks::before = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(log.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TextAsks::count)));
    TextAsks::lines = 0;
    pulses(3);
    log.drain();
    UpdateWindow(list);
    EXPECT_GE(topLine(list) + page, lineCount(list));
    EXPECT_LT(TextAsks::lines, page / 2) << "the lines already drawn were drawn again";

    // Further up, the lines in view, and those chosen, stay as older ones go.
    RECT row = {LVIR_BOUNDS, 0, 0, 0};
    SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    SendMessageW(list, LVM_SCROLL, 0, (500 - topLine(list)) * (row.bottom - row.top));
    ASSERT_EQ(topLine(list), 500);
    const std::wstring reading = listLine(list, 500);
    LVITEMW chosen = {};
    chosen.stateMask = LVIS_SELECTED;
    chosen.state = LVIS_SELECTED;
    for (int index : {200, 300}) {
        SendMessageW(list, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&chosen));
    }
    const std::wstring both = listLine(list, 200) + L"\r\n" + listLine(list, 300) + L"\r\n";
    pulses(100);
    log.drain();
    EXPECT_EQ(topLine(list), 500 - 103) << "the events to 2141 went";
    EXPECT_EQ(listLine(list, 500 - 103), reading);

    // Copy: the chosen lines, each ending in CR LF.
    SendMessageW(log.window, WM_COMMAND, IDC_EVENT_COPY, 0);
    EXPECT_EQ(clipboardText(), both);
    log.close();
    EXPECT_EQ(log.window, nullptr);
}

std::string fileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    std::string bytes;
    char piece[65536];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, piece, sizeof piece, &got, nullptr) &&
           got > 0) {
        bytes.append(piece, got);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return bytes;
}

std::wstring testFolder(const wchar_t* name) {
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    const std::wstring folder = std::wstring(temporary) + name + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

TEST(EventLogWindow, HoldsANightOf130000EventsListsThemInOrderAndSavesEveryOne) {
    // Twelve hours of a pulse and a query every 2 s, in the store the program has.
    constexpr std::uint32_t Night = 130000;
    EventLog store;
    for (std::uint32_t i = 1; i <= Night; ++i) {
        store.record(EventPulse, i, 1, "w", 1);
    }
    EventLogWindow log(GetModuleHandleA(nullptr), &store);
    log.show(nullptr);
    HWND list = GetDlgItem(log.window, IDC_EVENT_LIST);
    ASSERT_EQ(lineCount(list), static_cast<int>(Night) + 1);
    EXPECT_TRUE(isLine(listLine(list, 1), L"Pulse west 1 ms, 1 tick"));
    EXPECT_TRUE(isLine(listLine(list, Night), L"Pulse west 130000 ms, 1 tick"));

    const std::wstring path = testFolder(L"event-log-night-test") + L"night.txt";
    ASSERT_EQ(log.saveTo(path.c_str()), DWORD(ERROR_SUCCESS));
    const std::string saved = fileBytes(path);
    DeleteFileW(path.c_str());
    // The header ends with the lines dropped and a blank line; then the date and every event.
    std::size_t at = saved.find("\r\n0 older lines dropped\r\n\r\n---- 20");
    ASSERT_NE(at, std::string::npos);
    at = saved.find("\r\n", at + 27);
    std::uint32_t next = 1;
    for (std::size_t lineEnd; (lineEnd = saved.find("\r\n", at + 2)) != std::string::npos;
         at = lineEnd) {
        const std::string line = saved.substr(at + 2, lineEnd - at - 2);
        if (line.size() < 12 ||
            line.substr(12) != "  Pulse west " + std::to_string(next) + " ms, 1 tick") {
            break;
        }
        ++next;
    }
    EXPECT_EQ(next, Night + 1) << "the saved lines end or stray after the event before this";
    EXPECT_EQ(at + 2, saved.size());
    log.close();
}

TEST(EventLogWindow, SavesUtf8InPlaceOfTheOldFileOrLeavesItWhole) {
    const std::wstring folder = testFolder(L"event-log-save-test");
    const std::wstring path = folder + L"log.txt";
    ASSERT_EQ(saveUtf8(path.c_str(), L"old\r\n"), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(saveUtf8(path.c_str(), L"12:00:00.000  Sent P\r\n\u00e9\u20ac\r\n"),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(fileBytes(path), "12:00:00.000  Sent P\r\n\xc3\xa9\xe2\x82\xac\r\n");

    // A file that cannot be replaced (another program holds it open, sharing all but its deletion)
    // keeps every byte, and nothing is left beside it.
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_NE(saveUtf8(path.c_str(), L"new"), DWORD(ERROR_SUCCESS));
    CloseHandle(held);
    EXPECT_EQ(fileBytes(path), "12:00:00.000  Sent P\r\n\xc3\xa9\xe2\x82\xac\r\n");

    // A hidden or a read-only file keeps its attributes; or it stays as it was, and the system's
    // reason is given.
    for (DWORD attribute : {DWORD(FILE_ATTRIBUTE_HIDDEN), DWORD(FILE_ATTRIBUTE_READONLY)}) {
        SCOPED_TRACE(attribute);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        const std::string before = fileBytes(path);
        const DWORD error = saveUtf8(path.c_str(), L"new\r\n");
        EXPECT_EQ(GetFileAttributesW(path.c_str()) & attribute, attribute);
        EXPECT_EQ(fileBytes(path), error == ERROR_SUCCESS ? "new\r\n" : before);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    int files = 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    }
    FindClose(search);
    EXPECT_EQ(files, 1);
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_NE(saveUtf8((folder + L"no-such-folder\\log.txt").c_str(), L"x"), DWORD(ERROR_SUCCESS));
}

// The test's time zone: the wall clock from the first event on is 2026-03-29 01:59:59.000 and
// on, an hour later from switchAt on, and a day later once nextDay is set.
struct TestZone {
    static inline std::int64_t base = 0;
    static inline std::int64_t switchAt = INT64_MAX;
    static inline bool nextDay = false;
    static LocalTime at(std::int64_t wall) {
        std::int64_t ms = (1 * 3600 + 59 * 60 + 59) * 1000LL + (wall - base) / 10000;
        ms += wall >= switchAt ? 3600000 : 0;
        return {2026,
                3,
                nextDay ? 30 : 29,
                static_cast<int>(ms / 3600000 % 24),
                static_cast<int>(ms / 60000 % 60),
                static_cast<int>(ms / 1000 % 60),
                static_cast<int>(ms % 1000),
                wall >= switchAt ? 120 : 60};
    }
};

TEST(EventLogWindow, LinesTakeTheZoneInForceMarkTheDaysAndTheGapsAndCopyNothingFromNothing) {
    EventLog store(8);
    EventLogWindow log(GetModuleHandleA(nullptr), &store);
    log.localTime = TestZone::at;
    log.show(nullptr);
    ASSERT_NE(log.window, nullptr);
    HWND list = GetDlgItem(log.window, IDC_EVENT_LIST);

    // An empty log copies nothing, and the clipboard keeps what it held.
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL kept = GlobalAlloc(GMEM_MOVEABLE, sizeof L"kept");
    std::memcpy(GlobalLock(kept), L"kept", sizeof L"kept");
    GlobalUnlock(kept);
    SetClipboardData(CF_UNICODETEXT, kept);
    CloseClipboard();
    SendMessageW(log.window, WM_COMMAND, IDC_EVENT_COPY, 0);
    EXPECT_EQ(clipboardText(), L"kept");

    // A move before the clocks go forward and its halt after: the halt shows in the new local
    // time, and the time between them is still what it was.
    store.record(EventMountWrite, 0, 0, ":Mw#", 4);
    Sleep(25); // a pulse of a few tens of milliseconds, longer than a step of any system clock
    store.record(EventMountWrite, 0, 0, ":Qw#", 4);
    EventCursor peek;
    Event both[2];
    ASSERT_EQ(store.take(peek, both, 2), 2);
    TestZone::base = both[0].wall;
    TestZone::switchAt = both[1].wall;
    log.drain();
    ASSERT_EQ(lineCount(list), 4);
    EXPECT_EQ(listLine(list, 0), L"---- 2026-03-29 UTC+01:00 ----");
    EXPECT_EQ(listLine(list, 1), L"01:59:59.000  Move :Mw#");
    EXPECT_EQ(listLine(list, 2), L"---- UTC+02:00 from here ----");
    // An hour after the move's 01:59:59.000, and the time between them.
    const std::int64_t ms =
        (2 * 3600 + 59 * 60 + 59) * 1000LL + (both[1].wall - both[0].wall) / 10000;
    wchar_t halt[64];
    wsprintfW(halt, L"%02d:%02d:%02d.%03d  Halt :Qw#", static_cast<int>(ms / 3600000 % 24),
              static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
              static_cast<int>(ms % 1000));
    EXPECT_EQ(listLine(list, 3), halt);

    // Hidden while the ring wrapped: the lines of the events overwritten go, a line says how many
    // are missing, and the next day has its date.
    SendMessageW(log.window, WM_COMMAND, IDCANCEL, 0);
    TestZone::nextDay = true;
    for (std::uint32_t i = 0; i < 20; ++i) {
        store.record(EventPulse, i, 1, "w", 1);
    }
    log.show(nullptr);
    ASSERT_EQ(lineCount(list), 2 + 8);
    EXPECT_EQ(listLine(list, 0), L"---- 12 events missing ----");
    EXPECT_EQ(listLine(list, 1), L"---- 2026-03-30 UTC+02:00 ----");
    EXPECT_EQ(listLine(list, 2).substr(12), L"  Pulse west 12 ms, 1 tick");
    wchar_t dropped[64] = {};
    GetDlgItemTextW(log.window, IDC_EVENT_DROPPED, dropped, 64);
    EXPECT_STREQ(dropped, L"14 older lines dropped");
    log.close();
}

TEST_F(BridgeDialog, CarriesTheProgramIconAtTheSystemSizes) {
    for (const auto& [which, metric] :
         {std::make_pair(ICON_BIG, SM_CXICON), std::make_pair(ICON_SMALL, SM_CXSMICON)}) {
        SCOPED_TRACE(which);
        HICON icon = reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, which, 0));
        ASSERT_NE(icon, nullptr);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP colour = {};
        GetObjectA(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(colour.bmWidth, GetSystemMetrics(metric));
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
}

TEST_F(BridgeDialog, WindowMenuEndsWithTheAboutItemAndLeavesSystemCommandsAlone) {
    HMENU menu = GetSystemMenu(window, FALSE);
    const int items = GetMenuItemCount(menu);
    ASSERT_GE(items, 3);
    EXPECT_EQ(GetMenuState(menu, items - 3, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
    EXPECT_EQ(GetMenuItemID(menu, items - 2), WindowMenuEventLog);
    EXPECT_EQ(GetMenuItemID(menu, items - 1), WindowMenuAbout);
    char text[64] = {};
    GetMenuStringA(menu, items - 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "About Quillfen Autoguider Bridge");
    // Everything else goes on to the dialog manager, which moves, sizes and closes the window.
    for (WPARAM command : {WPARAM(SC_MOVE), WPARAM(SC_CLOSE), WPARAM(SC_KEYMENU)}) {
        EXPECT_EQ(DlgAutoGuiderBridge::dialogProcedure(window, WM_SYSCOMMAND, command, 0), FALSE);
    }
}

TEST(BridgeDialogProcedure, SizeQueryBeforeInitialisationIsLeftAlone) {
    HWND plain = CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(plain, nullptr);
    MINMAXINFO info = {};
    info.ptMinTrackSize = {21, 22};
    info.ptMaxTrackSize = {23, 24};
    EXPECT_EQ(DlgAutoGuiderBridge::dialogProcedure(plain, WM_GETMINMAXINFO, 0,
                                                   reinterpret_cast<LPARAM>(&info)),
              FALSE);
    EXPECT_EQ(info.ptMinTrackSize.x, 21);
    EXPECT_EQ(info.ptMinTrackSize.y, 22);
    EXPECT_EQ(info.ptMaxTrackSize.x, 23);
    EXPECT_EQ(info.ptMaxTrackSize.y, 24);
    DestroyWindow(plain);
}

// Records when the dialog asks the program to end the engine: at the click, its window still up.
struct ClosingProgram final : ProgramHooks {
    void closing() override { windowUp.push_back(IsWindow(dialog->window) != FALSE); }
    void endSession(DWORD, DWORD) override {}
    const DlgAutoGuiderBridge* dialog = nullptr;
    std::vector<bool> windowUp;
};

TEST(BridgeDialogProcedure, OkAndCancelAskForTheEndAndEndTheModalDialog) {
    registerGraphClass(GetModuleHandleA(nullptr));
    AppModel model;
    RecordingListener reports;
    Controller controller(&reports);
    controller.start();
    for (int id : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(id);
        DlgAutoGuiderBridge dialog(GetModuleHandleA(nullptr), &graphPalette, &model, &controller);
        ClosingProgram program;
        program.dialog = &dialog;
        dialog.program = &program;
        EXPECT_EQ(model.callback, &dialog);
        // Once the dialog is up, a thread timer presses the button through the message loop.
        static int pressed;
        pressed = id;
        UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
            if (HWND up = FindWindowA("#32770", "Quillfen Autoguider Bridge")) {
                PostMessageA(up, WM_COMMAND, MAKEWPARAM(pressed, BN_CLICKED), 0);
            }
        });
        const INT_PTR result = DialogBoxParamA(
            GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_AUTOGUIDER_BRIDGE), nullptr,
            DlgAutoGuiderBridge::dialogProcedure, reinterpret_cast<LPARAM>(&dialog));
        KillTimer(nullptr, timer);
        EXPECT_EQ(result, id == IDOK ? TRUE : FALSE);
        EXPECT_FALSE(IsWindow(dialog.window));
        EXPECT_EQ(program.windowUp, std::vector<bool>{true}) << "asked once, at the click";
    }
    EXPECT_EQ(model.callback, nullptr);
    controller.stop();
    EXPECT_EQ(reports.size(), 0u);
}

// Which box the close test opens above the bridge dialog, and what it saw.
struct BoxAbove {
    static inline bool save = false;
    static inline HWND seen = nullptr;
    static inline DWORD closedAt = 0;
    static inline bool leftOpen = false;
};

TEST(BridgeDialogProcedure, ClosingTheDialogAlsoClosesTheBoxesAboveIt) {
    // The About box and the Event Log's Save box each run a message loop of their own inside the
    // bridge dialog's; a close that left one open would keep the program running, unseen, behind a
    // box the user did not ask to close.
    registerGraphClass(GetModuleHandleA(nullptr));
    AppModel model;
    RecordingListener reports;
    Controller controller(&reports);
    controller.start();
    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "Save" : "About");
        DlgAutoGuiderBridge dialog(GetModuleHandleA(nullptr), &graphPalette, &model, &controller);
        BoxAbove::save = save;
        BoxAbove::seen = nullptr;
        BoxAbove::leftOpen = false;
        // Once the box is up, the timer closes the bridge dialog; should the box outlive that by
        // ten seconds (Wine may wait two for a window manager at each window it hides), it closes
        // the box itself, so that a failure ends the test instead of
        // hanging it.
        UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
            HWND up = FindWindowA("#32770", "Quillfen Autoguider Bridge");
            HWND log = FindWindowA("#32770", "Event Log");
            HWND box = FindWindowA("#32770", BoxAbove::save ? "Save the Event Log"
                                                            : "About Quillfen Autoguider Bridge");
            if (BoxAbove::seen != nullptr) {
                if (IsWindow(BoxAbove::seen) && GetTickCount() - BoxAbove::closedAt > 10000) {
                    BoxAbove::leftOpen = true;
                    PostMessageA(BoxAbove::seen, WM_COMMAND, IDCANCEL, 0);
                }
            } else if (up != nullptr && box != nullptr && IsWindowVisible(box)) {
                BoxAbove::seen = box;
                BoxAbove::closedAt = GetTickCount();
                PostMessageA(up, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            } else if (up != nullptr && !BoxAbove::save && box == nullptr) {
                PostMessageA(up, WM_SYSCOMMAND, WindowMenuAbout, 0);
            } else if (up != nullptr && BoxAbove::save && log == nullptr) {
                PostMessageA(up, WM_SYSCOMMAND, WindowMenuEventLog, 0);
            } else if (log != nullptr && IsWindowEnabled(log)) {
                PostMessageA(log, WM_COMMAND, IDC_EVENT_SAVE, 0);
            }
        });
        const INT_PTR result = DialogBoxParamA(
            GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_AUTOGUIDER_BRIDGE), nullptr,
            DlgAutoGuiderBridge::dialogProcedure, reinterpret_cast<LPARAM>(&dialog));
        KillTimer(nullptr, timer);
        EXPECT_EQ(result, FALSE);
        ASSERT_NE(BoxAbove::seen, nullptr);
        EXPECT_FALSE(BoxAbove::leftOpen);
        EXPECT_FALSE(IsWindow(BoxAbove::seen));
        EXPECT_FALSE(IsWindow(dialog.window));
    }
    controller.stop();
}

} // namespace
