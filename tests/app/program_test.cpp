// Tests of the whole program: start the real exe, drive its dialog from outside, and watch it end.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/power_throttling.h"
#include "resources/resource.h"
#include "support/peer_line.h"

namespace {

constexpr const char* Caption = "Quillfen Autoguider Bridge";

// The program's path as Windows sees it; under Wine the build's own path lies on drive Z:.
std::string programPath() {
    std::string path = BRIDGE_PROGRAM;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

// One run of the program, ended by force if a test leaves it running.
class RunningProgram {
public:
    RunningProgram() {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + programPath() + "\"";
        started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &info) != FALSE;
    }
    ~RunningProgram() {
        if (started) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info.hProcess, 99);
                WaitForSingleObject(info.hProcess, 10000);
            }
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }

    // Waits for the program's dialog to come up; nullptr after the deadline.
    HWND waitForDialog(int timeoutMs = 30000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (started && std::chrono::steady_clock::now() < deadline) {
            for (HWND window = FindWindowExA(nullptr, nullptr, "#32770", Caption);
                 window != nullptr; window = FindWindowExA(nullptr, window, "#32770", Caption)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == info.dwProcessId && IsWindowVisible(window)) {
                    return window;
                }
            }
            if (WaitForSingleObject(info.hProcess, 50) == WAIT_OBJECT_0) {
                return nullptr;
            }
        }
        return nullptr;
    }

    // Waits for the process to end; true with its exit code when it did in time.
    bool waitForExit(int timeoutMs, DWORD& exitCode) {
        if (WaitForSingleObject(info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            return false;
        }
        GetExitCodeProcess(info.hProcess, &exitCode);
        return true;
    }

    bool started = false;
    PROCESS_INFORMATION info = {};
};

std::string fieldText(HWND dialog, int id) {
    char text[128] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text,
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &result);
    return text;
}

bool waitForField(HWND dialog, int id, const std::string& wanted, int timeoutMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (fieldText(dialog, id) == wanted) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void connect(HWND dialog, int selector, int port, int button) {
    SendMessageA(GetDlgItem(dialog, selector), CB_SETCURSEL, port - 1, 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

TEST(Program, OkAndCancelEndItPromptlyWithoutTouchingAnyPort) {
    std::vector<std::unique_ptr<PeerLine>> lines;
    for (int port : {3, 4, 5, 6, 12}) {
        lines.push_back(std::make_unique<PeerLine>(port));
        ASSERT_TRUE(lines.back()->ok()) << port;
    }
    for (int id : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(id);
        RunningProgram program;
        ASSERT_TRUE(program.started) << programPath();
        HWND dialog = program.waitForDialog();
        ASSERT_NE(dialog, nullptr);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        DWORD exitCode = 1234;
        ASSERT_TRUE(program.waitForExit(10000, exitCode));
        EXPECT_EQ(exitCode, 0u);
        // The process is gone, so anything it wrote is already on its way.
        for (const auto& line : lines) {
            EXPECT_EQ(line->read(1, 500), "");
        }
    }
}

TEST(Program, ClosingDuringAWestPulseHaltsTheMount) {
    PeerLine autoguider(3);
    PeerLine mount(4);
    ASSERT_TRUE(autoguider.ok());
    ASSERT_TRUE(mount.ok());
    RunningProgram program;
    ASSERT_TRUE(program.started) << programPath();
    HWND dialog = program.waitForDialog();
    ASSERT_NE(dialog, nullptr);

    connect(dialog, IDC_INCOMING_PORT, 3, IDC_INCOMING_CONNECT);
    ASSERT_TRUE(waitForField(dialog, IDC_INCOMING_STATUS, "Waiting..."));
    connect(dialog, IDC_OUTGOING_PORT, 4, IDC_OUTGOING_CONNECT);
    ASSERT_TRUE(waitForField(dialog, IDC_OUTGOING_STATUS, "Port opened"));

    // A west pulse of ten minutes: the mount starts moving and would not be told to stop for
    // a long while, unless the program's shutdown does it.
    autoguider.write(":Mgw600000#");
    ASSERT_EQ(mount.read(4, 10000), ":Mw#");
    EXPECT_TRUE(waitForField(dialog, IDC_COMMAND_COUNT, "1"));

    PostMessageA(dialog, WM_CLOSE, 0, 0);
    DWORD exitCode = 1234;
    ASSERT_TRUE(program.waitForExit(10000, exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(mount.read(4, 5000), ":Qw#");
    EXPECT_EQ(mount.read(1, 500), "");
}

// A Windows 10 that refuses any request naming the newer timer-resolution flag.
std::vector<ULONG> powerRequests;
BOOL WINAPI windows10SetProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS type, LPVOID data,
                                           DWORD) {
    const auto* state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(data);
    powerRequests.push_back(type == ProcessPowerThrottling ? state->ControlMask : 0);
    return (state->ControlMask & PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION) == 0;
}

TEST(PowerThrottling, TheExecutionSpeedOptOutIsAskedAloneFirstSoANewerFlagCannotCostIt) {
    EXPECT_FALSE(optOutOfPowerThrottling(windows10SetProcessInformation));
    EXPECT_EQ(powerRequests,
              (std::vector<ULONG>{PROCESS_POWER_THROTTLING_EXECUTION_SPEED,
                                  PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION}));
    EXPECT_FALSE(optOutOfPowerThrottling(nullptr)) << "Windows 7: no such call";
}

} // namespace
