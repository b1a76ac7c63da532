#pragma once
// What a device upgrader may use of the upgrade dialog through its back
// pointer m_pFlashDlg while an upgrade runs.
//
// Threads: every operation may be called from the upgrade worker thread and
// from threads of outside libraries (the DFU engine's callbacks). Control
// updates reach the window as window messages that the GUI thread serves
// while its modal loop runs; after the dialog ended they are ignored.

#include <cstdint>
#include <string>

class IUpgradeDialog
{
public:
    virtual bool IsSilentMode() const = 0;

    // The dialog's progress bar.
    virtual int GetProgressPos() = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressStep(int step) = 0;
    virtual void StepProgress() = 0;

    // The dialog window itself.
    virtual void RedrawDialog() = 0;
    virtual void ShowDialog() = 0;

    // The status label.
    virtual void SetStatusText(const std::string& text) = 0;

    // The progress window of progress mode (switch P), where the main dialog
    // stays hidden: an upgrader that reports its progress as a share of the
    // whole (0..100) moves it here, silent or not. Nothing happens when the
    // run has no progress window.
    virtual void SetProgressWindowPercent(int /*percent*/) {}

    // Signals the CompletionEvent of the running upgrade: an asynchronous
    // FirmwareUpgradeWrite has ended. False when no event exists.
    virtual bool SetCompletionEvent() = 0;

protected:
    ~IUpgradeDialog() = default;
};
