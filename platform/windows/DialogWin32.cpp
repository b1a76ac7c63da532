// Windows: the upgrade dialog as a real Win32 modal dialog (template 102),
// with the About box (template 100) and the progress window (template 134).
//
// Calls from other threads reach the controls as window messages (SetWindow
// Text, EnableWindow and the progress bar's messages are sent to the GUI
// thread, which serves them in its modal loop). EndDialog from another
// thread is posted to the dialog. The progress window is created on the GUI
// thread so that thread serves it too.
//
// Without a desktop (no display) the dialog cannot be created: the logic
// then runs windowless: the init handler runs, a silent run ends as its
// worker decides, and an interactive run is closed as soon as Close is
// enabled (nobody can press it).
#include <windows.h>
#include <commctrl.h>

#include <atomic>

#include "platform/DialogView.h"
#include "platform/Sync.h"

namespace
{
constexpr UINT WM_ORVO_END = WM_APP + 1;
constexpr UINT WM_ORVO_CREATE_PROGRESS = WM_APP + 2;
constexpr int kIconResource = 144;

HINSTANCE Instance()
{
    return GetModuleHandleA(nullptr);
}

class CWin32DialogView : public IDialogView
{
public:
    CWin32DialogView()
    {
        m_background = GetSysColor(COLOR_BTNFACE);
        m_wantedBackground.store(m_background);
        m_brush = CreateSolidBrush(m_background);
        m_wake.Create(false, false);
    }

    ~CWin32DialogView() override
    {
        if (m_brush != nullptr)
            DeleteObject(m_brush);
        if (m_icon != nullptr)
            DestroyIcon(m_icon);
    }

    void SetSilentMode(bool silent) override { m_silent.store(silent); }

    int RunModal(IDialogEvents& events) override
    {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        m_events = &events;
        m_guiThread = GetCurrentThreadId();
        const INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(102), nullptr, DialogProc,
                                               reinterpret_cast<LPARAM>(this));
        m_hwnd.store(nullptr);
        m_progress.store(nullptr);
        m_ended.store(true);
        if (result == -1 && !m_initCalled)
            return RunWindowless(events);
        return static_cast<int>(result);
    }

    void EndDialog(int result) override
    {
        bool expected = false;
        if (!m_ended.compare_exchange_strong(expected, true))
            return;
        m_result.store(result);
        HWND hwnd = m_hwnd.load();
        if (hwnd != nullptr)
        {
            if (GetCurrentThreadId() == m_guiThread)
                ::EndDialog(hwnd, result);
            else
                PostMessageA(hwnd, WM_ORVO_END, static_cast<WPARAM>(result), 0);
        }
        m_wake.Set();
    }

    void AddSystemMenuItem(std::uint32_t command, const std::string& text) override
    {
        HMENU menu = Menu();
        if (menu == nullptr)
            return;
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, command, text.c_str());
    }

    void RemoveSystemMenuClose() override
    {
        HMENU menu = Menu();
        if (menu != nullptr)
            DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND);
    }

    void SetIcon() override
    {
        HWND hwnd = m_hwnd.load();
        if (hwnd == nullptr)
            return;
        if (m_icon == nullptr)
            m_icon = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(kIconResource), IMAGE_ICON, 0, 0, 0));
        HICON small = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(kIconResource), IMAGE_ICON,
                                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
        SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
        SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small != nullptr ? small : m_icon));
    }

    void SetControlText(int id, const std::string& text) override
    {
        if (HWND control = Control(id))
            SetWindowTextA(control, text.c_str());
    }

    void SetTextColour(int id, std::uint32_t colour) override
    {
        m_textColour.store(colour);
        if (HWND control = Control(id))
            ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    void SetBackgroundColour(int id, std::uint32_t colour) override
    {
        // The brush is replaced on the GUI thread when the label is drawn next.
        m_wantedBackground.store(colour);
        if (HWND control = Control(id))
            ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    void EnableControl(int id, bool enable) override
    {
        if (id == IDC_CLOSE)
            m_closeEnabled.store(enable);
        if (HWND control = Control(id))
            EnableWindow(control, enable ? TRUE : FALSE);
        m_wake.Set();
    }

    void ShowControl(int id, bool show) override
    {
        if (HWND control = Control(id))
            ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }

    void BringControlToTop(int id) override
    {
        if (HWND control = Control(id))
            SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }

    void SetProgressPos(int pos) override { SendProgress(PBM_SETPOS, static_cast<WPARAM>(pos), 0); }
    int GetProgressPos() override { return static_cast<int>(SendProgress(PBM_GETPOS, 0, 0)); }
    void SetProgressRange(int lower, int upper) override
    {
        SendProgress(PBM_SETRANGE, 0, MAKELPARAM(static_cast<WORD>(lower), static_cast<WORD>(upper)));
    }
    void SetProgressStep(int step) override { SendProgress(PBM_SETSTEP, static_cast<WPARAM>(step), 0); }
    void StepProgress() override { SendProgress(PBM_STEPIT, 0, 0); }

    void SetCaption(const std::string& caption) override
    {
        if (HWND hwnd = Window())
            SetWindowTextA(hwnd, caption.c_str());
    }

    void ShowWindow(bool show) override
    {
        if (HWND hwnd = Window())
            ::ShowWindow(hwnd, show ? SW_SHOW : SW_HIDE);
    }

    void RedrawWindow() override
    {
        if (HWND hwnd = Window())
            ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    }

    int ShowMessageBox(const std::string& text, std::uint32_t style) override
    {
        return ::MessageBoxA(Window(), text.c_str(), "", style | MB_SYSTEMMODAL);
    }

    bool CreateProgressWindow(std::uint16_t steps) override
    {
        HWND hwnd = Window();
        if (hwnd == nullptr)
            return false;
        if (GetCurrentThreadId() == m_guiThread)
            return CreateProgressOnGuiThread(steps);
        return SendMessageA(hwnd, WM_ORVO_CREATE_PROGRESS, steps, 0) != 0;
    }

    void StepProgressWindow() override
    {
        HWND progress = m_progress.load();
        if (progress == nullptr || m_ended.load())
            return;
        ::ShowWindow(progress, SW_SHOWNOACTIVATE);
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_STEPIT, 0, 0);
        UpdateWindow(progress);
    }

    void SetProgressWindowPos(int lower, int upper, int pos) override
    {
        HWND progress = m_progress.load();
        if (progress == nullptr || m_ended.load())
            return;
        ::ShowWindow(progress, SW_SHOWNOACTIVATE);
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
        UpdateWindow(progress);
    }

    void ShowAbout(const std::string& versionLine, const std::string& noticeLine) override
    {
        SAboutTexts texts{versionLine, noticeLine};
        DialogBoxParamA(Instance(), MAKEINTRESOURCEA(100), m_hwnd.load(), AboutProc, reinterpret_cast<LPARAM>(&texts));
    }

private:
    struct SAboutTexts
    {
        std::string version;
        std::string notice;
    };

    HWND Window() const { return m_ended.load() ? nullptr : m_hwnd.load(); }

    HWND Control(int id) const
    {
        HWND hwnd = Window();
        return hwnd != nullptr ? GetDlgItem(hwnd, id) : nullptr;
    }

    HMENU Menu() const
    {
        HWND hwnd = m_hwnd.load();
        return hwnd != nullptr ? GetSystemMenu(hwnd, FALSE) : nullptr;
    }

    LRESULT SendProgress(UINT message, WPARAM wParam, LPARAM lParam)
    {
        HWND control = Control(IDC_PROGRESS);
        return control != nullptr ? SendMessageA(control, message, wParam, lParam) : 0;
    }

    bool CreateProgressOnGuiThread(std::uint16_t steps)
    {
        HWND hwnd = m_hwnd.load();
        HWND progress = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(134), hwnd, ProgressProc, 0);
        if (progress == nullptr)
            return false;
        ::ShowWindow(progress, SW_HIDE);
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_SETPOS, 0, 0);
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, steps));
        SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
        // The template puts the window at the owner's client origin; the
        // placement wants its edges as if it stood at the screen's origin.
        RECT rect{};
        GetWindowRect(progress, &rect);
        const SWindowPosition at = ProgressWindowPosition(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                                          rect.right - rect.left, rect.bottom - rect.top);
        SetWindowPos(progress, hwnd, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        m_progress.store(progress);
        return true;
    }

    int RunWindowless(IDialogEvents& events)
    {
        m_ended.store(false);
        m_initCalled = true;
        events.OnInitDialog();
        while (!m_ended.load())
        {
            if (!m_silent.load() && m_closeEnabled.load())
            {
                events.OnCommand(IDC_CLOSE);
                continue;
            }
            m_wake.Wait(kInfinite);
        }
        return m_result.load();
    }

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG)
        {
            SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
            auto* self = reinterpret_cast<CWin32DialogView*>(lParam);
            self->m_hwnd.store(hwnd);
            self->m_initCalled = true;
            self->m_events->OnInitDialog();
            return TRUE;
        }
        auto* self = reinterpret_cast<CWin32DialogView*>(GetWindowLongPtrA(hwnd, DWLP_USER));
        if (self == nullptr)
            return FALSE;
        switch (message)
        {
        case WM_COMMAND:
        {
            const int id = LOWORD(wParam);
            if (id == IDC_UPGRADE || id == IDC_CLOSE || id == IDC_READBACK)
            {
                self->m_events->OnCommand(id);
                return TRUE;
            }
            return FALSE;
        }
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0u) == kIdmAboutBox)
            {
                self->m_events->OnSysCommand(static_cast<std::uint32_t>(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_WINDOWPOSCHANGING:
            if (self->m_silent.load())
                reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
            return FALSE;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == GetDlgItem(hwnd, IDC_STATUS))
            {
                HDC dc = reinterpret_cast<HDC>(wParam);
                const COLORREF wanted = self->m_wantedBackground.load();
                if (wanted != self->m_background || self->m_brush == nullptr)
                {
                    if (HBRUSH brush = CreateSolidBrush(wanted))
                    {
                        if (self->m_brush != nullptr)
                            DeleteObject(self->m_brush);
                        self->m_brush = brush;
                        self->m_background = wanted;
                    }
                }
                SetTextColor(dc, self->m_textColour.load());
                SetBkColor(dc, self->m_background);
                return reinterpret_cast<INT_PTR>(self->m_brush);
            }
            return FALSE;
        case WM_ORVO_END:
            ::EndDialog(hwnd, static_cast<INT_PTR>(wParam));
            return TRUE;
        case WM_ORVO_CREATE_PROGRESS:
            SetWindowLongPtrA(hwnd, DWLP_MSGRESULT,
                              self->CreateProgressOnGuiThread(static_cast<std::uint16_t>(wParam)) ? 1 : 0);
            return TRUE;
        case WM_PAINT:
            if (IsIconic(hwnd) && self->m_icon != nullptr)
            {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(hwnd, &paint);
                RECT client;
                GetClientRect(hwnd, &client);
                const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
                const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
                DrawIcon(dc, x, y, self->m_icon);
                EndPaint(hwnd, &paint);
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(self->m_icon);
        default:
            return FALSE;
        }
    }

    static INT_PTR CALLBACK ProgressProc(HWND, UINT message, WPARAM, LPARAM)
    {
        return message == WM_INITDIALOG ? TRUE : FALSE;
    }

    static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        switch (message)
        {
        case WM_INITDIALOG:
        {
            const auto* texts = reinterpret_cast<const SAboutTexts*>(lParam);
            SetDlgItemTextA(hwnd, 1011, texts->version.c_str());
            SetDlgItemTextA(hwnd, 1012, texts->notice.c_str());
            HICON icon = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(kIconResource), IMAGE_ICON, 0, 0, LR_SHARED));
            if (icon != nullptr)
                SendDlgItemMessageA(hwnd, 143, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            {
                ::EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
        }
    }

    IDialogEvents* m_events = nullptr;
    DWORD m_guiThread = 0;
    std::atomic<HWND> m_hwnd{nullptr};
    std::atomic<HWND> m_progress{nullptr};
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_ended{false};
    std::atomic<int> m_result{0};
    std::atomic<bool> m_closeEnabled{true};
    std::atomic<std::uint32_t> m_textColour{0};
    bool m_initCalled = false;
    COLORREF m_background = 0; // the brush's colour (GUI thread)
    std::atomic<std::uint32_t> m_wantedBackground{0};
    HBRUSH m_brush = nullptr;
    HICON m_icon = nullptr;
    CEvent m_wake;
};
} // namespace

std::unique_ptr<IDialogView> CreatePlatformDialogView()
{
    return std::make_unique<CWin32DialogView>();
}
