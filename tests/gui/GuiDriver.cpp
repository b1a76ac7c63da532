// Drives the test build of the program under wine as a user would: finds
// its dialog, reads the controls, presses the buttons, answers the message
// boxes and checks the exit codes. Asks the calling script for screenshots
// through flag files.
//
//   gui_driver <scenario> <program> <flag folder>
//   scenarios: ready, fail, newer, nodevice, silent, progress, second, dpi (at ORVO_GUI_DPI); bench,
//   bench-progress (program: the bench program)
// Exit code: the number of failed checks (0: all passed).
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace
{
int g_failures = 0;
std::string g_flags;
std::string g_lock; // the single-instance lock of this run's programs

void Check(bool ok, const std::string& what)
{
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++g_failures;
}

std::string WinPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
    {
        for (char& c : path)
            c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
    return path;
}

std::string Text(HWND hwnd)
{
    char buffer[1024] = {};
    if (hwnd != nullptr)
        GetWindowTextA(hwnd, buffer, sizeof buffer);
    return buffer;
}

std::string ClassOf(HWND hwnd)
{
    char buffer[256] = {};
    GetClassNameA(hwnd, buffer, sizeof buffer);
    return buffer;
}

struct SFind
{
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM lParam)
{
    auto* find = reinterpret_cast<SFind*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == find->pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == "#32770")
        find->windows.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> VisibleDialogs(DWORD pid)
{
    SFind find{pid, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&find));
    return find.windows;
}

// A visible dialog of the process that is a message box (text control 0xFFFF).
HWND FindMessageBox(DWORD pid)
{
    for (HWND hwnd : VisibleDialogs(pid))
    {
        if (GetDlgItem(hwnd, 0xFFFF) != nullptr && Text(hwnd).empty())
            return hwnd;
    }
    return nullptr;
}

HWND FindByCaption(DWORD pid, const std::string& caption)
{
    for (HWND hwnd : VisibleDialogs(pid))
    {
        if (Text(hwnd) == caption)
            return hwnd;
    }
    return nullptr;
}

HWND FindMainDialog(DWORD pid)
{
    for (HWND hwnd : VisibleDialogs(pid))
    {
        if (GetDlgItem(hwnd, 1001) != nullptr && GetDlgItem(hwnd, 1003) != nullptr)
            return hwnd;
    }
    return nullptr;
}

template <typename F>
HWND WaitFor(F find, double seconds = 30)
{
    CDeadline deadline(static_cast<std::uint32_t>(seconds * 1000));
    while (!deadline.IsExpired())
    {
        if (HWND hwnd = find())
            return hwnd;
        CClock::Sleep(50);
    }
    return nullptr;
}

template <typename F>
bool WaitUntil(F condition, double seconds = 30)
{
    CDeadline deadline(static_cast<std::uint32_t>(seconds * 1000));
    while (!deadline.IsExpired())
    {
        if (condition())
            return true;
        CClock::Sleep(50);
    }
    return false;
}

void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Lets the script take a screenshot now.
void Screenshot(const std::string& name)
{
    const std::string flag = g_flags + "\\" + name + ".flag";
    const std::string done = g_flags + "\\" + name + ".done";
    CClock::Sleep(500); // let the window paint
    if (FILE* f = std::fopen(flag.c_str(), "w"))
        std::fclose(f);
    const bool taken = WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; });
    Check(taken, "screenshot " + name + " taken");
}

struct SProcess
{
    PROCESS_INFORMATION info{};
    bool started = false;

    bool Start(const std::string& program, const std::string& args)
    {
        std::string commandLine = "\"" + program + "\" " + args;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, g_flags.c_str(),
                                 &startup, &info) != 0;
        return started;
    }
    DWORD Pid() const { return info.dwProcessId; }
    // The exit code, or 0xDEADBEEF when it did not end in time (it is then killed).
    DWORD Wait(double seconds = 30)
    {
        if (!started)
            return 0xDEADBEEF;
        if (WaitForSingleObject(info.hProcess, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0)
        {
            TerminateProcess(info.hProcess, 0xDEADBEEF);
            WaitForSingleObject(info.hProcess, 5000);
            return 0xDEADBEEF;
        }
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
    ~SProcess()
    {
        if (started)
        {
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }
};

void CheckCode(DWORD code, DWORD expected, const std::string& what)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s: exit code 0x%08lx (expected 0x%08lx)", what.c_str(), code, expected);
    Check(code == expected, text);
}

const char* const kReady = "This program will upgrade the firmware of your Tamsel Mic. Press Upgrade to begin.\n"
                           "Do not unplug cable during upgrading process !";

// Answers the next message box of the process, checking its text.
void AnswerBox(DWORD pid, const std::string& expected, const std::string& what)
{
    HWND box = WaitFor([&] { return FindMessageBox(pid); });
    Check(box != nullptr, what + ": message box shown");
    if (box == nullptr)
        return;
    const std::string text = Text(GetDlgItem(box, 0xFFFF));
    Check(text == expected, what + ": message box text [" + text + "]");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Check(WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }), what + ": message box closed");
}

void ReadyScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "ready");
    SProcess process;
    Check(process.Start(program, ""), "ready: started");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); });
    Check(dialog != nullptr, "ready: dialog found");
    if (dialog == nullptr)
    {
        process.Wait(1);
        return;
    }
    Check(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) != 0; }), "ready: Upgrade enabled");
    Check(Text(dialog) == "Tamsel Mic Device Firmware Upgrade", "ready: caption [" + Text(dialog) + "]");
    Check(Text(GetDlgItem(dialog, 1000)) == kReady, "ready: status text [" + Text(GetDlgItem(dialog, 1000)) + "]");
    Check(Text(GetDlgItem(dialog, 1003)) == "Current Version: 1.0.130521",
          "ready: version label [" + Text(GetDlgItem(dialog, 1003)) + "]");
    Check(IsWindowEnabled(GetDlgItem(dialog, 2)) != 0, "ready: Close enabled");
    Check(!IsWindowVisible(GetDlgItem(dialog, 1010)), "ready: Readback hidden");
    Check(!IsWindowVisible(GetDlgItem(dialog, 1008)) && !IsWindowVisible(GetDlgItem(dialog, 1009)),
          "ready: second version label and combo hidden");
    Screenshot("ready");

    PostMessageA(dialog, WM_SYSCOMMAND, 16, 0);
    HWND about = WaitFor([&] { return FindByCaption(process.Pid(), "About Veritane Device HID Firmware Upgrade"); });
    Check(about != nullptr, "about: box shown");
    if (about != nullptr)
    {
        Check(Text(GetDlgItem(about, 1011)) == "Veritane Device HID Firmware Upgrade Version 1.1.151124.164914",
              "about: version line [" + Text(GetDlgItem(about, 1011)) + "]");
        Check(Text(GetDlgItem(about, 1012)).find("2015") != std::string::npos,
              "about: notice [" + Text(GetDlgItem(about, 1012)) + "]");
        Screenshot("about");
        PostMessageA(about, WM_COMMAND, IDOK, 0);
        Check(WaitUntil([&] { return !IsWindow(about); }), "about: closed with OK");
    }

    Press(dialog, 1);
    AnswerBox(process.Pid(), "Firmware has been upgraded successfully. Please unplug the USB device from the computer.",
              "ready: upgrade");
    CheckCode(process.Wait(), 0, "ready: upgrade");
}

void FailScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "fail");
    SProcess process;
    Check(process.Start(program, ""), "fail: started");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); });
    Check(dialog != nullptr, "fail: dialog found");
    if (dialog == nullptr)
    {
        process.Wait(1);
        return;
    }
    WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) != 0; });
    Press(dialog, 1);
    AnswerBox(process.Pid(), "Firmware upgrading failed!", "fail: upgrade");
    Check(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 2)) != 0; }), "fail: Close enabled again");
    Check(IsWindowEnabled(GetDlgItem(dialog, 1)) == 0, "fail: Upgrade stays disabled");
    Press(dialog, 2);
    CheckCode(process.Wait(), 0x80000007u, "fail: closed");
}

// True when the control shows at least a few reddish pixels on the screen
// (text is drawn smoothed, so the red of the glyphs is not always pure).
bool ShowsRed(HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    HDC dc = GetDC(nullptr);
    if (dc == nullptr)
        return false;
    int red = 0;
    for (int y = rect.top; y < rect.bottom; ++y)
    {
        for (int x = rect.left; x < rect.right; ++x)
        {
            const COLORREF c = GetPixel(dc, x, y);
            if (c != CLR_INVALID && GetRValue(c) > 150 && GetGValue(c) < 90 && GetBValue(c) < 90)
                ++red;
        }
    }
    ReleaseDC(nullptr, dc);
    return red > 20;
}

// The device runs newer firmware: the status label turns red, Upgrade is
// disabled, the dialog stays until Close (code 4).
void NewerScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "newer");
    SProcess process;
    Check(process.Start(program, ""), "newer: started");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); });
    Check(dialog != nullptr, "newer: dialog found");
    if (dialog == nullptr)
    {
        process.Wait(1);
        return;
    }
    WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) != 0; });
    HWND status = GetDlgItem(dialog, 1000);
    Check(!ShowsRed(status), "newer: ready text is not red");
    Press(dialog, 1);
    const std::string newer = "No upgrade performed. Device has the newer firmware.";
    const bool shown = WaitUntil([&] { return Text(status) == newer; });
    Check(shown, "newer: status text [" + Text(status) + "]");
    Check(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) == 0; }), "newer: Upgrade disabled");
    Check(WaitUntil([&] { return ShowsRed(status); }, 5), "newer: status text drawn in red");
    Screenshot("newer");
    Press(dialog, 2);
    CheckCode(process.Wait(), 4, "newer: closed");
}

void NoDeviceScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", nullptr);
    SProcess process;
    Check(process.Start(program, ""), "nodevice: started");
    AnswerBox(process.Pid(),
              "Your device is not connected, please connect the device and restart the application.",
              "nodevice");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); });
    Check(dialog != nullptr, "nodevice: dialog found");
    if (dialog != nullptr)
    {
        Check(Text(GetDlgItem(dialog, 1000)) == "No device found!", "nodevice: status text");
        Check(IsWindowEnabled(GetDlgItem(dialog, 1)) == 0, "nodevice: Upgrade disabled");
        Press(dialog, 1); // disabled: nothing happens
        Press(dialog, 2);
    }
    CheckCode(process.Wait(), 0x80000001u, "nodevice: closed");
}

void SilentScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "ready");
    SProcess process;
    Check(process.Start(program, "/S"), "silent: started");
    bool windowSeen = false;
    while (WaitForSingleObject(process.info.hProcess, 20) == WAIT_TIMEOUT)
        windowSeen = windowSeen || !VisibleDialogs(process.Pid()).empty();
    Check(!windowSeen, "silent: no window appeared");
    CheckCode(process.Wait(), 0, "silent: upgrade");
}

// Progress mode: the main dialog stays hidden; the caption-less progress
// window appears with the first validation step, centred near the bottom.
void ProgressScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "validate");
    SProcess process;
    Check(process.Start(program, "/P"), "progress: started");
    HWND progress = WaitFor([&]() -> HWND {
        for (HWND hwnd : VisibleDialogs(process.Pid()))
        {
            if (GetDlgItem(hwnd, 1001) != nullptr && GetDlgItem(hwnd, 1003) == nullptr)
                return hwnd;
        }
        return nullptr;
    });
    Check(progress != nullptr, "progress: window shown");
    if (progress != nullptr)
    {
        RECT rect{};
        GetWindowRect(progress, &rect);
        const int width = rect.right - rect.left;
        const int height = rect.bottom - rect.top;
        const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2;
        const int y = GetSystemMetrics(SM_CYSCREEN) - height / 2 - 150;
        char text[160];
        std::snprintf(text, sizeof text, "progress: placed at %ld,%ld (expected %d,%d), %dx%d", rect.left, rect.top, x, y,
                      width, height);
        Check(rect.left == x && rect.top == y, text);
        Check(GetWindowLongA(progress, GWL_STYLE) & WS_CAPTION ? false : true, "progress: no caption");
        Check(FindMainDialog(process.Pid()) == nullptr, "progress: main dialog hidden");
        Screenshot("progress");
    }
    CheckCode(process.Wait(), 0, "progress: upgrade");
}

void SecondCopyScenario(const std::string& program)
{
    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "ready");
    SProcess first;
    first.Start(program, "");
    HWND dialog = WaitFor([&] { return FindMainDialog(first.Pid()); });
    Check(dialog != nullptr, "second: first copy runs");
    SProcess second;
    Check(second.Start(program, ""), "second: started");
    AnswerBox(second.Pid(), "Another instance of this program is already running.", "second");
    CheckCode(second.Wait(), 0, "second: refused");
    if (dialog != nullptr)
        Press(dialog, 2);
    CheckCode(first.Wait(), 4, "second: first copy closed in the Ready state");
}
// The bench program: the real Tavik upgrader against the simulated headset,
// driven interactively: Upgrade, progress, message 138, exit code 0.
void BenchScenario(const std::string& program)
{
    SProcess process;
    // Twice as slow as real time, so the download lasts seconds and is seen under way.
    Check(process.Start(program, "--scenario normal --time-scale 2 --instance-name " + g_lock), "bench: started");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); }, 60);
    Check(dialog != nullptr, "bench: dialog found");
    if (dialog == nullptr)
    {
        process.Wait(1);
        return;
    }
    Check(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) != 0; }), "bench: Upgrade enabled");
    Check(Text(dialog) == "Veritane Tamsel Mic Device Firmware Upgrade", "bench: caption [" + Text(dialog) + "]");
    Check(Text(GetDlgItem(dialog, 1003)) == "Current Version: 1.05.3",
          "bench: version label [" + Text(GetDlgItem(dialog, 1003)) + "]");
    Press(dialog, 1);
    HWND bar = GetDlgItem(dialog, 1001);
    // The bar follows the bytes sent: seen part-way on a 0..100 range, then full.
    auto position = [&] { return static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)); };
    Check(WaitUntil([&] { return position() >= 5 && position() < 100; }, 120), "bench: progress moves part-way");
    Check(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 100, "bench: progress range 0..100");
    const int before = position();
    Screenshot("bench-download");
    Check(WaitUntil([&] { return position() > before; }, 60), "bench: progress moves on");
    Check(WaitUntil([&] { return Text(GetDlgItem(dialog, 1000)).find(" bytes") != std::string::npos; }, 60),
          "bench: status counts the bytes [" + Text(GetDlgItem(dialog, 1000)) + "]");
    HWND box = WaitFor([&] { return FindMessageBox(process.Pid()); }, 180);
    Check(box != nullptr, "bench: message box shown");
    if (box != nullptr)
    {
        Screenshot("bench-done");
        const std::string text = Text(GetDlgItem(box, 0xFFFF));
        Check(text == "Firmware has been upgraded successfully. Please unplug the USB device from the computer.",
              "bench: message box text [" + text + "]");
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    CheckCode(process.Wait(120), 0, "bench: upgrade");
}

// The dialog at the system's DPI (the script sets 96 or 192 and names it in
// ORVO_GUI_DPI): the program is system-DPI aware, so its dialog measures the
// same in inches at every DPI (a program Windows stretches as a bitmap, or
// one drawn at 96 DPI on a 192-DPI screen, does not), and its visible
// controls lie inside the client area without overlapping.
void DpiScenario(const std::string& program)
{
    char value[16] = {};
    GetEnvironmentVariableA("ORVO_GUI_DPI", value, sizeof value);
    const int wanted = std::atoi(value);
    const std::string tag = "dpi-" + std::string(value);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    Check(dpi == wanted, tag + ": the system runs at " + std::to_string(dpi) + " DPI");

    SetEnvironmentVariableA("ORVO_FAKE_UPGRADER", "ready");
    SProcess process;
    Check(process.Start(program, ""), tag + ": started");
    HWND dialog = WaitFor([&] { return FindMainDialog(process.Pid()); });
    Check(dialog != nullptr, tag + ": dialog found");
    if (dialog == nullptr)
    {
        process.Wait(1);
        return;
    }
    WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, 1)) != 0; });
    RECT client{};
    GetClientRect(dialog, &client);
    const double inches = static_cast<double>(client.right) / dpi;
    char text[200];
    std::snprintf(text, sizeof text, "%s: dialog client area %ldx%ld pixels, %.2f inches wide", tag.c_str(), client.right,
                  client.bottom, inches);
    // 321 dialog units of an 8-point font: about 5 inches at any DPI. A
    // program that is not DPI aware is drawn at 96 DPI: 2.5 inches at 192.
    Check(inches > 4.0 && inches < 6.5, text);
    RECT window{};
    GetWindowRect(dialog, &window);
    Check(window.right - window.left <= GetSystemMetrics(SM_CXSCREEN), tag + ": the dialog fits the screen");

    std::vector<std::pair<int, RECT>> controls;
    for (int id : {1, 2, 1000, 1001, 1003})
    {
        HWND control = GetDlgItem(dialog, id);
        RECT r{};
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        Check(IsWindowVisible(control) && r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom,
              tag + ": control " + std::to_string(id) + " lies inside the dialog");
        controls.push_back({id, r});
    }
    for (std::size_t i = 0; i < controls.size(); ++i)
    {
        for (std::size_t j = i + 1; j < controls.size(); ++j)
        {
            RECT overlap{};
            const bool overlaps = IntersectRect(&overlap, &controls[i].second, &controls[j].second) != 0;
            Check(!overlaps, tag + ": controls " + std::to_string(controls[i].first) + " and " +
                                 std::to_string(controls[j].first) + " do not overlap");
        }
    }
    Screenshot(tag);
    Press(dialog, 2);
    CheckCode(process.Wait(), 4, tag + ": closed");
}

// The bench program in progress mode (/P): no main dialog, and the progress
// window follows the download part-way to its end; exit code 0.
void BenchProgressScenario(const std::string& program)
{
    SProcess process;
    Check(process.Start(program, "--scenario normal --time-scale 2 --instance-name " + g_lock + " /P"),
          "bench-progress: started");
    HWND window = WaitFor([&]() -> HWND {
        for (HWND hwnd : VisibleDialogs(process.Pid()))
        {
            if (GetDlgItem(hwnd, 1001) != nullptr && GetDlgItem(hwnd, 1003) == nullptr)
                return hwnd;
        }
        return nullptr;
    }, 120);
    Check(window != nullptr, "bench-progress: progress window shown");
    if (window == nullptr)
    {
        process.Wait(1);
        return;
    }
    HWND bar = GetDlgItem(window, 1001);
    auto position = [&] { return static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)); };
    Check(WaitUntil([&] { return position() >= 5 && position() < 100; }, 120), "bench-progress: the bar moves part-way");
    Check(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 100, "bench-progress: range 0..100");
    Check(FindMainDialog(process.Pid()) == nullptr, "bench-progress: main dialog hidden");
    const int before = position();
    Screenshot("bench-progress");
    Check(WaitUntil([&] { return position() > before; }, 60), "bench-progress: the bar moves on");
    CheckCode(process.Wait(180), 0, "bench-progress: upgrade");
}
} // namespace

int main(int argc, char** argv)
{
    // Reads the program's windows in real pixels at any DPI.
    SetProcessDPIAware();
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: gui_driver <scenario> <program> <flag folder>\n");
        return 100;
    }
    const std::string scenario = argv[1];
    const std::string program = WinPath(argv[2]);
    g_flags = WinPath(argv[3]);
    // The programs it starts share a single-instance lock of this run's own.
    g_lock = "Local\\orvo-gui-test-" + std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableA("ORVO_TEST_INSTANCE_NAME", g_lock.c_str());
    if (scenario == "ready")
        ReadyScenario(program);
    else if (scenario == "fail")
        FailScenario(program);
    else if (scenario == "newer")
        NewerScenario(program);
    else if (scenario == "nodevice")
        NoDeviceScenario(program);
    else if (scenario == "silent")
        SilentScenario(program);
    else if (scenario == "progress")
        ProgressScenario(program);
    else if (scenario == "second")
        SecondCopyScenario(program);
    else if (scenario == "bench")
        BenchScenario(program);
    else if (scenario == "dpi")
        DpiScenario(program);
    else if (scenario == "bench-progress")
        BenchProgressScenario(program);
    else
        Check(false, "unknown scenario " + scenario);
    return g_failures;
}
