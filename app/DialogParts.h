#pragma once
// The small windows of the shell, as portable logic over the dialog view:
// the colour status label, the progress window of progress mode and the
// About box. Each may be driven from the upgrade worker thread as well as
// from the GUI thread; the view turns the calls into window messages.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/DialogView.h"

// A static text with its own text colour (the dialog's status label). The
// background stays the system's button-face colour unless set.
class CColorStatic
{
public:
    CColorStatic(IDialogView& view, int id) : m_view(view), m_id(id) {}

    void SetTextColor(std::uint32_t colour);
    std::uint32_t GetTextColor() const { return m_textColour.load(); }
    void SetBkColor(std::uint32_t colour) { m_view.SetBackgroundColour(m_id, colour); }
    void SetWindowText(const std::string& text) { m_view.SetControlText(m_id, text); }

private:
    IDialogView& m_view;
    int m_id;
    std::atomic<std::uint32_t> m_textColour{kColourBlack};
};

// The caption-less progress window of progress mode (template 134). Created
// hidden; it appears with its first step and goes with the main dialog.
class CProg
{
public:
    explicit CProg(IDialogView& view) : m_view(view) {}

    // Creates and places the window; range 0..steps, step 1.
    bool Start(std::uint16_t steps) { return m_view.CreateProgressWindow(steps); }
    // Shows the window, advances the bar by one step and redraws at once.
    void Step() { m_view.StepProgressWindow(); }
    // Shows the window with the bar at percent of 0..100, redrawn at once.
    void SetPercent(int percent) { m_view.SetProgressWindowPos(0, 100, percent); }

private:
    IDialogView& m_view;
};

// The About box (template 100) opened from the system menu.
class CAboutDlg
{
public:
    // String 139 filled with the program's version text.
    static std::string VersionLine();
    // String 140.
    static std::string NoticeLine();

    static void DoModal(IDialogView& view) { view.ShowAbout(VersionLine(), NoticeLine()); }
};
