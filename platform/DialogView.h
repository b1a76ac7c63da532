#pragma once
// The window of the upgrade dialog, as the portable dialog logic sees it.
//
// The logic (app/FlashDlg) decides what is shown; a view only shows it:
// Windows builds a real dialog from template 102 (platform/windows), Linux
// draws the dialog on the terminal (platform/linux), tests record the calls.
//
// Threads: RunModal runs on the calling (GUI) thread and calls the events
// back on that thread only. Every other operation may be called from any
// thread (the upgrade worker, callbacks of outside libraries) while RunModal
// runs; on Windows such calls reach the controls as window messages that the
// GUI thread serves in its modal loop. Once the dialog has ended, control
// updates are ignored and queries answer 0. EndDialog may be called from any
// thread, also from inside the init handler.

#include <cstdint>
#include <memory>
#include <string>

// Control identifiers of dialog template 102.
enum : int
{
    IDC_UPGRADE = 1,      // IDOK
    IDC_CLOSE = 2,        // IDCANCEL
    IDC_STATUS = 1000,    // status label
    IDC_PROGRESS = 1001,  // progress bar
    IDC_VERSION = 1003,   // version label
    IDC_VERSION2 = 1008,  // second version label, never shown
    IDC_MCU_COMBO = 1009, // never shown
    IDC_READBACK = 1010,
};

// System-menu command of the About item.
constexpr std::uint32_t kIdmAboutBox = 16;

// Colours 0x00BBGGRR.
constexpr std::uint32_t kColourBlack = 0x00000000u;
constexpr std::uint32_t kColourRed = 0x000000FFu;

// Message-box answers (Win32 values).
constexpr int kIdOk = 1;

// What the view reports to the dialog logic (on the GUI thread).
class IDialogEvents
{
public:
    // The window exists with the template's controls; the logic sets it up.
    virtual void OnInitDialog() = 0;
    // A button was pressed (IDC_UPGRADE, IDC_CLOSE, IDC_READBACK). Enter and
    // Escape arrive as IDC_UPGRADE and IDC_CLOSE whatever the buttons' state,
    // so the logic checks that the button is enabled.
    virtual void OnCommand(int id) = 0;
    // A system-menu command of the logic's own (kIdmAboutBox).
    virtual void OnSysCommand(std::uint32_t id) = 0;

protected:
    ~IDialogEvents() = default;
};

class IDialogView
{
public:
    virtual ~IDialogView() = default;

    // Silent mode: the window never becomes visible, whatever shows it, and
    // nothing waits for the user.
    virtual void SetSilentMode(bool silent) = 0;

    // Creates the window, calls OnInitDialog and serves the user until
    // EndDialog; returns the modal result.
    virtual int RunModal(IDialogEvents& events) = 0;
    virtual void EndDialog(int result) = 0;

    // Window set-up (GUI thread, from OnInitDialog).
    virtual void AddSystemMenuItem(std::uint32_t command, const std::string& text) = 0;
    virtual void RemoveSystemMenuClose() = 0;
    virtual void SetIcon() = 0;

    // Controls.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void SetTextColour(int id, std::uint32_t colour) = 0;
    // Background of a colour label; the system's button-face colour until set.
    virtual void SetBackgroundColour(int id, std::uint32_t colour) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual void ShowControl(int id, bool show) = 0;
    virtual void BringControlToTop(int id) = 0;

    // The progress bar (IDC_PROGRESS).
    virtual void SetProgressPos(int pos) = 0;
    virtual int GetProgressPos() = 0;
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressStep(int step) = 0;
    virtual void StepProgress() = 0;

    // The window.
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void ShowWindow(bool show) = 0;
    virtual void RedrawWindow() = 0;

    // A message box with an empty caption; style bits as in platform/MessageBox.h.
    // Returns the answer (kIdOk).
    virtual int ShowMessageBox(const std::string& text, std::uint32_t style) = 0;

    // A text for the user that needs no answer, shown also in a silent run
    // where the system has a place for it without a window (Linux: the
    // console); elsewhere nothing (the log holds it).
    virtual void ShowNotice(const std::string& text) { (void)text; }

    // The progress window of progress mode: created hidden, placed near the
    // bottom of the screen (ProgressWindowPosition), with range 0..steps and
    // step 1; appears with its first step. False when it cannot be created.
    virtual bool CreateProgressWindow(std::uint16_t steps) = 0;
    virtual void StepProgressWindow() = 0;
    // Sets the progress window's range and position at once (a share of the
    // whole); the window appears with it, as with a step.
    virtual void SetProgressWindowPos(int lower, int upper, int pos) = 0;

    // The About box (template 100), modal, with its two text lines.
    virtual void ShowAbout(const std::string& versionLine, const std::string& noticeLine) = 0;
};

// Where the progress window goes: centred horizontally, 150 pixels plus half
// its height above the bottom of the screen (divisions round toward zero).
struct SWindowPosition
{
    int x;
    int y;
};
inline SWindowPosition ProgressWindowPosition(int screenWidth, int screenHeight, int right, int bottom)
{
    return {screenWidth / 2 - right / 2, screenHeight - bottom / 2 - 150};
}

// The view of this platform (Windows: the Win32 dialog; Linux: the console).
std::unique_ptr<IDialogView> CreatePlatformDialogView();
