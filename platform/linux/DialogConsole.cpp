// Linux: the upgrade dialog drawn on the terminal.
//
// Everything goes to standard error. The version label is printed when it
// changes, the status text when its words change (a byte count moving on
// is the progress bar's business, not a new line per block); the progress
// bar is redrawn in place on a terminal and printed as plain lines (every
// 10 %) otherwise. Without its wake-up pipe, or when poll fails, the view
// falls back to bounded waits instead of hanging (standard input then counts
// as ended). Interactive
// runs offer the enabled buttons as keys read from standard input (U
// Upgrade, C Close, A About, each followed by Enter); the end of the input
// counts as Close once Close is enabled. Message boxes are printed and, in
// an interactive run, confirmed with Enter; the GUI thread reads that Enter,
// also for boxes that other threads show (they wait until it was read).
// Silent runs print only message boxes, notices and the progress window of
// progress mode, and never read standard input.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/DialogView.h"
#include "platform/MessageBox.h"
#include "platform/Thread.h"

namespace
{
constexpr std::uint32_t kFallbackWaitMs = 50;

struct SProgress
{
    int lower = 0;
    int upper = 100;
    int step = 10;
    int pos = 0;
};

struct SMessageRequest
{
    std::string text;
    std::uint32_t style = 0;
    bool done = false;
    // A prompt that only a user at a terminal answers (the replug prompt):
    // it waits for its Enter even in a silent run, and tells whether it came.
    bool confirm = false;
    bool answered = false;
};

class CConsoleDialogView : public IDialogView, private IMessageBoxOwner
{
public:
    CConsoleDialogView()
    {
        m_tty = isatty(STDERR_FILENO) != 0;
        if (pipe(m_wake) == 0)
        {
            fcntl(m_wake[0], F_SETFL, O_NONBLOCK);
            fcntl(m_wake[1], F_SETFL, O_NONBLOCK);
        }
        else
        {
            m_wake[0] = m_wake[1] = -1;
        }
        m_enabled[IDC_CLOSE] = true;
    }

    ~CConsoleDialogView() override
    {
        ReleaseOwnership();
        if (m_wake[0] >= 0)
            close(m_wake[0]);
        if (m_wake[1] >= 0)
            close(m_wake[1]);
    }

    void SetSilentMode(bool silent) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_silent = silent;
    }

    int RunModal(IDialogEvents& events) override;

    void EndDialog(int result) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_ended)
        {
            m_ended = true;
            m_result = result;
        }
        Wake();
    }

    void AddSystemMenuItem(std::uint32_t, const std::string&) override {}
    void RemoveSystemMenuClose() override {}
    void SetIcon() override {}

    void SetControlText(int id, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended)
            return;
        const bool changed = m_texts[id] != text;
        m_texts[id] = text;
        if (!changed || !m_shown || text.empty() || (id != IDC_STATUS && id != IDC_VERSION))
            return;
        if (id == IDC_STATUS)
        {
            const std::string words = Words(text);
            if (words == m_statusWords)
                return;
            m_statusWords = words;
        }
        PrintLine(text);
    }

    void SetTextColour(int, std::uint32_t) override {}
    void SetBackgroundColour(int, std::uint32_t) override {}

    void EnableControl(int id, bool enable) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || m_enabled[id] == enable)
            return;
        m_enabled[id] = enable;
        m_buttonsChanged = true;
        Wake();
    }

    void ShowControl(int, bool) override {}
    void BringControlToTop(int) override {}

    void SetProgressPos(int pos) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bar.pos = pos;
        DrawBar(m_bar, m_shown);
    }
    int GetProgressPos() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ended ? 0 : m_bar.pos;
    }
    void SetProgressRange(int lower, int upper) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bar.lower = lower;
        m_bar.upper = upper;
    }
    void SetProgressStep(int step) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bar.step = step;
    }
    void StepProgress() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Step(m_bar);
        DrawBar(m_bar, m_shown);
    }

    void SetCaption(const std::string& caption) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_caption = caption;
    }

    void ShowWindow(bool show) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || m_silent)
            return;
        if (!m_running)
        {
            // During the init handler: decides whether the window appears.
            m_hiddenAtStart = !show;
            return;
        }
        if (show && !m_shown)
            ShowAll();
        m_shown = show;
    }

    void RedrawWindow() override {}

    int ShowMessageBox(const std::string& text, std::uint32_t style) override;
    int ShowOwnedMessageBox(const char* text, std::uint32_t style) override;

    void ShowNotice(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PrintLine(text);
    }

    bool CreateProgressWindow(std::uint16_t steps) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_prog = SProgress{0, steps, 1, 0};
        m_progCreated = true;
        return true;
    }

    void StepProgressWindow() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_progCreated || m_ended)
            return;
        Step(m_prog);
        DrawBar(m_prog, true);
    }

    void SetProgressWindowPos(int lower, int upper, int pos) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_progCreated || m_ended)
            return;
        m_prog.lower = lower;
        m_prog.upper = upper;
        m_prog.pos = pos;
        DrawBar(m_prog, true);
    }

    void ShowAbout(const std::string& versionLine, const std::string& noticeLine) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PrintLine(versionLine);
        PrintLine(noticeLine);
    }

private:
    // The text without its numbers: "12 of 400 bytes" and "24 of 400 bytes"
    // say the same words.
    static std::string Words(const std::string& text)
    {
        std::string words;
        for (char c : text)
        {
            if (c < '0' || c > '9')
                words += c;
        }
        return words;
    }

    // Caller holds m_mutex.
    void Wake()
    {
        if (m_wake[1] >= 0)
        {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = write(m_wake[1], &byte, 1);
        }
        m_wakeCondition.notify_all();
    }

    void DrainWake()
    {
        char buffer[64];
        while (m_wake[0] >= 0 && read(m_wake[0], buffer, sizeof buffer) > 0)
        {
        }
    }

    static void Step(SProgress& bar)
    {
        bar.pos += bar.step;
        // Like a progress control: past the end it starts again.
        if (bar.pos > bar.upper)
            bar.pos = bar.lower + (bar.pos - bar.upper);
    }

    // Caller holds m_mutex.
    void EndBarLine()
    {
        if (m_barOnLine)
        {
            std::fputc('\n', stderr);
            m_barOnLine = false;
        }
    }

    void PrintLine(const std::string& text)
    {
        EndBarLine();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    void DrawBar(const SProgress& bar, bool visible)
    {
        if (!visible || m_ended)
            return;
        const int span = bar.upper - bar.lower;
        int percent = span > 0 ? (bar.pos - bar.lower) * 100 / span : 0;
        percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
        if (m_tty)
        {
            constexpr int kWidth = 40;
            std::string cells(static_cast<std::size_t>(kWidth), ' ');
            for (int i = 0; i < percent * kWidth / 100; ++i)
                cells[static_cast<std::size_t>(i)] = '#';
            std::fprintf(stderr, "\r[%s] %3d%%\033[K", cells.c_str(), percent);
            m_barOnLine = true;
        }
        else if (percent / 10 != m_lastPlainDecile)
        {
            m_lastPlainDecile = percent / 10;
            std::fprintf(stderr, "Progress: %d%%\n", percent);
        }
        std::fflush(stderr);
    }

    void ShowAll()
    {
        m_shown = true;
        if (!m_caption.empty())
            PrintLine("== " + m_caption + " ==");
        for (int id : {IDC_VERSION, IDC_STATUS})
        {
            if (!m_texts[id].empty())
                PrintLine(m_texts[id]);
        }
        m_statusWords = Words(m_texts[IDC_STATUS]);
    }

    void PrintPrompt()
    {
        std::string keys;
        if (m_enabled[IDC_UPGRADE])
            keys += "[U] Upgrade  ";
        if (m_enabled[IDC_CLOSE])
            keys += "[C] Close  ";
        keys += "[A] About";
        PrintLine("Press a key and Enter: " + keys);
    }

    static std::string BoxText(const std::string& text, std::uint32_t style)
    {
        const char* kind = (style & 0xF0u) == kMbIconExclamation ? "Warning: "
                           : (style & 0xF0u) == kMbIconError    ? "Error: "
                                                                : "";
        return std::string("\n") + kind + text;
    }

    // Reads one line from standard input (GUI thread only, without m_mutex
    // held); false when no line is there (at the end of the input, or when not blocking).
    bool ReadLine(std::string* line, bool block);
    bool WaitForWork(bool readInput);
    // Shows a box on the GUI thread; a confirm box waits for its Enter in any
    // mode. True when an Enter answered it.
    bool ShowBoxOnGuiThread(const std::string& text, std::uint32_t style, bool confirm = false);
    void ReleaseOwnership()
    {
        if (m_owning)
        {
            SetMessageBoxOwner(m_previousOwner);
            m_owning = false;
        }
    }

    bool m_owning = false;
    IMessageBoxOwner* m_previousOwner = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_boxDone;
    std::condition_variable m_wakeCondition; // the fallback when the pipe or poll failed
    bool m_pollFailed = false;
    std::string m_statusWords;
    bool m_tty = false;
    int m_wake[2] = {-1, -1};
    bool m_silent = false;
    bool m_running = false;
    bool m_ended = false;
    int m_result = 0;
    bool m_hiddenAtStart = false;
    bool m_shown = false;
    bool m_barOnLine = false;
    int m_lastPlainDecile = -1;
    std::string m_caption;
    std::map<int, std::string> m_texts;
    std::map<int, bool> m_enabled;
    bool m_buttonsChanged = true;
    SProgress m_bar;
    SProgress m_prog;
    bool m_progCreated = false;
    std::deque<SMessageRequest*> m_boxes;
    std::uint32_t m_guiThread = 0;
    bool m_inputEnded = false;
    std::string m_input;
};

// Waits until something may have changed; true when standard input is ready
// to be read. Without the wake-up pipe the wait is bounded and standard input
// is polled alone; when poll itself fails, standard input counts as ended
// and the view waits on its condition, so it never blocks for good.
bool CConsoleDialogView::WaitForWork(bool readInput)
{
    bool pollFailed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pollFailed = m_pollFailed;
    }
    if (pollFailed)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wakeCondition.wait_for(lock, std::chrono::milliseconds(CClock::ToRealMilliseconds(kFallbackWaitMs)),
                                 [&] { return m_ended || !m_boxes.empty() || m_buttonsChanged; });
        return false;
    }
    const bool havePipe = m_wake[0] >= 0;
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    pollfd* first = havePipe ? &fds[0] : &fds[1];
    const nfds_t count = static_cast<nfds_t>((havePipe ? 1 : 0) + (readInput ? 1 : 0));
    if (count == 0)
    {
        // Nothing to poll (no pipe, no input to read): a bounded wait.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wakeCondition.wait_for(lock, std::chrono::milliseconds(CClock::ToRealMilliseconds(kFallbackWaitMs)),
                                 [&] { return m_ended || !m_boxes.empty() || m_buttonsChanged; });
        return false;
    }
    const int timeout = havePipe ? -1 : static_cast<int>(CClock::ToRealMilliseconds(kFallbackWaitMs));
    const int ready = poll(first, count, timeout);
    if (ready < 0)
    {
        if (errno == EINTR)
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pollFailed = true;
        m_inputEnded = true; // it can no longer be watched
        return false;
    }
    DrainWake();
    return readInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool CConsoleDialogView::ReadLine(std::string* line, bool block)
{
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const std::size_t newline = m_input.find('\n');
            if (newline != std::string::npos)
            {
                *line = m_input.substr(0, newline);
                m_input.erase(0, newline + 1);
                return true;
            }
            if (m_inputEnded)
            {
                if (m_input.empty())
                    return false;
                *line = m_input;
                m_input.clear();
                return true;
            }
        }
        if (!block)
            return false;
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (n <= 0)
            m_inputEnded = true;
        else
            m_input.append(buffer, static_cast<std::size_t>(n));
    }
}

bool CConsoleDialogView::ShowBoxOnGuiThread(const std::string& text, std::uint32_t style, bool confirm)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PrintLine(BoxText(text, style));
        if ((m_silent && !confirm) || m_inputEnded)
            return false;
        std::fprintf(stderr, "Press Enter to continue...\n");
        std::fflush(stderr);
    }
    std::string ignored;
    return ReadLine(&ignored, true);
}

// A box of the upgrader shown outside the dialog (the replug prompt). Only a
// user at a terminal can answer it; the Enter is read by the one reader of
// standard input, the GUI thread, whichever thread shows the box.
int CConsoleDialogView::ShowOwnedMessageBox(const char* text, std::uint32_t style)
{
    const std::string message = text != nullptr ? text : "";
    std::unique_lock<std::mutex> lock(m_mutex);
    if (isatty(STDIN_FILENO) == 0 || m_inputEnded)
    {
        PrintLine(BoxText(message, style));
        return 0; // nobody can press OK
    }
    if (CThread::CurrentId() == m_guiThread)
    {
        lock.unlock();
        return ShowBoxOnGuiThread(message, style, true) ? kIdOk : 0;
    }
    if (m_ended)
    {
        // The GUI thread reads no more: this thread is the only reader.
        lock.unlock();
        return ShowUnownedMessageBox(text, style);
    }
    SMessageRequest request{message, style, false, true, false};
    m_boxes.push_back(&request);
    Wake();
    m_boxDone.wait(lock, [&] { return request.done; });
    return request.answered ? kIdOk : 0;
}

int CConsoleDialogView::ShowMessageBox(const std::string& text, std::uint32_t style)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_silent || m_ended || m_inputEnded)
    {
        PrintLine(BoxText(text, style));
        return kIdOk;
    }
    if (CThread::CurrentId() == m_guiThread)
    {
        lock.unlock();
        ShowBoxOnGuiThread(text, style);
        return kIdOk;
    }
    if (!m_running)
    {
        PrintLine(BoxText(text, style));
        return kIdOk;
    }
    // Another thread: the GUI thread shows it and reads the Enter.
    SMessageRequest request{text, style, false};
    m_boxes.push_back(&request);
    Wake();
    m_boxDone.wait(lock, [&] { return request.done; });
    return kIdOk;
}

int CConsoleDialogView::RunModal(IDialogEvents& events)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_guiThread = CThread::CurrentId();
        m_ended = false;
        m_inputEnded = false;
    }
    // From here on this view is the one reader of standard input.
    m_previousOwner = SetMessageBoxOwner(this);
    m_owning = true;
    events.OnInitDialog();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = true;
        if (!m_ended && !m_silent && !m_hiddenAtStart)
            ShowAll();
    }

    for (;;)
    {
        SMessageRequest* box = nullptr;
        bool prompt = false;
        bool closeNow = false;
        bool readInput = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_boxes.empty())
            {
                box = m_boxes.front();
                m_boxes.pop_front();
            }
            else if (m_ended)
            {
                break;
            }
            else if (!m_silent)
            {
                prompt = m_buttonsChanged && m_shown;
                m_buttonsChanged = false;
                closeNow = m_inputEnded && m_enabled[IDC_CLOSE];
                readInput = !m_inputEnded;
            }
        }
        if (box != nullptr)
        {
            const bool answered = ShowBoxOnGuiThread(box->text, box->style, box->confirm);
            std::lock_guard<std::mutex> lock(m_mutex);
            box->answered = answered;
            box->done = true;
            m_boxDone.notify_all();
            continue;
        }
        if (closeNow)
        {
            events.OnCommand(IDC_CLOSE);
            continue;
        }
        if (prompt)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            PrintPrompt();
        }

        if (!WaitForWork(readInput))
            continue;

        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n <= 0)
                m_inputEnded = true;
            else
                m_input.append(buffer, static_cast<std::size_t>(n));
        }
        std::string line;
        while (ReadLine(&line, false))
        {
            char key = 0;
            for (char c : line)
            {
                if (c != ' ' && c != '\t' && c != '\r')
                {
                    key = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
                    break;
                }
            }
            bool upgrade;
            bool closeEnabled;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                upgrade = m_enabled[IDC_UPGRADE];
                closeEnabled = m_enabled[IDC_CLOSE];
                m_buttonsChanged = true;
            }
            if (key == 'U' && upgrade)
                events.OnCommand(IDC_UPGRADE);
            else if (key == 'C' && closeEnabled)
                events.OnCommand(IDC_CLOSE);
            else if (key == 'A')
                events.OnSysCommand(kIdmAboutBox);
        }
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        EndBarLine();
        std::fflush(stderr);
    }
    ReleaseOwnership();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_result;
}
} // namespace

std::unique_ptr<IDialogView> CreatePlatformDialogView()
{
    return std::make_unique<CConsoleDialogView>();
}
