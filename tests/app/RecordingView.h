#pragma once
// A dialog view that records every call and plays the user from a script.
// Any thread may call it; the script runs on the thread of RunModal.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DialogView.h"

struct SRecordedBox
{
    std::string text;
    std::uint32_t style;
};

class CRecordingView : public IDialogView
{
public:
    using Step = std::function<void(IDialogEvents&, CRecordingView&)>;

    // Shared state, readable after the run (copied out under the lock).
    struct SState
    {
        bool silent = false;
        bool ended = false;
        int result = 0;
        int endCount = 0;
        std::string caption;
        std::map<int, std::string> texts;
        std::map<int, std::vector<std::string>> textHistory;
        std::vector<std::uint32_t> statusColours;
        std::uint32_t statusBackground = 0xFFFFFFFFu; // not set
        std::map<int, bool> enabled{{IDC_UPGRADE, false}, {IDC_CLOSE, true}};
        std::map<int, bool> visible{{IDC_READBACK, true}};
        std::vector<SRecordedBox> boxes;
        std::vector<std::string> notices;
        std::vector<std::pair<std::uint32_t, std::string>> menuItems;
        bool closeRemoved = false;
        bool iconSet = false;
        bool shown = false;
        int showTrueCount = 0;
        int progressLower = 0;
        int progressUpper = 100;
        int progressStep = 10;
        int progressPos = 0;
        int progressStepIts = 0;
        bool progressWindow = false;
        int progressWindowSteps = -1;
        int progressWindowStepIts = 0;
        std::pair<int, int> progressWindowRange{0, 0};
        std::vector<int> progressWindowPositions;
        std::vector<std::string> about;
        std::vector<int> ignoredPresses;
    };

    explicit CRecordingView(std::vector<Step> script = {}) : m_script(std::move(script)) {}

    SState State()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state;
    }

    // Waits (real time, bounded) until the predicate holds; false on time-out.
    bool WaitUntil(const std::function<bool(const SState&)>& predicate, int seconds = 20)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] { return predicate(m_state); });
    }

    // Script steps.
    static Step Press(int id)
    {
        return [id](IDialogEvents& events, CRecordingView& view) {
            bool enabled;
            {
                std::lock_guard<std::mutex> lock(view.m_mutex);
                enabled = view.m_state.enabled[id];
                if (!enabled)
                    view.m_state.ignoredPresses.push_back(id);
            }
            if (enabled)
                events.OnCommand(id);
        };
    }
    static Step WaitEnabled(int id)
    {
        return [id](IDialogEvents&, CRecordingView& view) {
            view.WaitUntil([id](const SState& s) { return s.ended || (s.enabled.count(id) && s.enabled.at(id)); });
        };
    }
    static Step SysCommand(std::uint32_t id)
    {
        return [id](IDialogEvents& events, CRecordingView&) { events.OnSysCommand(id); };
    }

    void SetSilentMode(bool silent) override { Change([&](SState& s) { s.silent = silent; }); }

    int RunModal(IDialogEvents& events) override
    {
        events.OnInitDialog();
        Change([](SState& s) {
            if (!s.silent && !s.ended)
                s.shown = true;
        });
        for (Step& step : m_script)
        {
            if (State().ended)
                break;
            step(events, *this);
        }
        // Nothing more from the user: the run must end by itself.
        if (!WaitUntil([](const SState& s) { return s.ended; }))
            return -1;
        return State().result;
    }

    void EndDialog(int result) override
    {
        Change([&](SState& s) {
            ++s.endCount;
            if (!s.ended)
            {
                s.ended = true;
                s.result = result;
            }
        });
    }

    void AddSystemMenuItem(std::uint32_t command, const std::string& text) override
    {
        Change([&](SState& s) { s.menuItems.emplace_back(command, text); });
    }
    void RemoveSystemMenuClose() override { Change([](SState& s) { s.closeRemoved = true; }); }
    void SetIcon() override { Change([](SState& s) { s.iconSet = true; }); }

    void SetControlText(int id, const std::string& text) override
    {
        Change([&](SState& s) {
            s.texts[id] = text;
            s.textHistory[id].push_back(text);
        });
    }
    void SetTextColour(int id, std::uint32_t colour) override
    {
        Change([&](SState& s) {
            if (id == IDC_STATUS)
                s.statusColours.push_back(colour);
        });
    }
    void SetBackgroundColour(int id, std::uint32_t colour) override
    {
        Change([&](SState& s) {
            if (id == IDC_STATUS)
                s.statusBackground = colour;
        });
    }
    void EnableControl(int id, bool enable) override { Change([&](SState& s) { s.enabled[id] = enable; }); }
    void ShowControl(int id, bool show) override { Change([&](SState& s) { s.visible[id] = show; }); }
    void BringControlToTop(int) override {}

    void SetProgressPos(int pos) override { Change([&](SState& s) { s.progressPos = pos; }); }
    int GetProgressPos() override { return State().progressPos; }
    void SetProgressRange(int lower, int upper) override
    {
        Change([&](SState& s) {
            s.progressLower = lower;
            s.progressUpper = upper;
        });
    }
    void SetProgressStep(int step) override { Change([&](SState& s) { s.progressStep = step; }); }
    void StepProgress() override
    {
        Change([](SState& s) {
            ++s.progressStepIts;
            s.progressPos += s.progressStep;
        });
    }

    void SetCaption(const std::string& caption) override { Change([&](SState& s) { s.caption = caption; }); }
    void ShowWindow(bool show) override
    {
        Change([&](SState& s) {
            if (show)
                ++s.showTrueCount;
            s.shown = show && !s.silent;
        });
    }
    void RedrawWindow() override {}

    void ShowNotice(const std::string& text) override
    {
        Change([&](SState& s) { s.notices.push_back(text); });
    }

    int ShowMessageBox(const std::string& text, std::uint32_t style) override
    {
        Change([&](SState& s) { s.boxes.push_back({text, style}); });
        return kIdOk;
    }

    bool CreateProgressWindow(std::uint16_t steps) override
    {
        Change([&](SState& s) {
            s.progressWindow = true;
            s.progressWindowSteps = steps;
        });
        return true;
    }
    void StepProgressWindow() override { Change([](SState& s) { ++s.progressWindowStepIts; }); }
    void SetProgressWindowPos(int lower, int upper, int pos) override
    {
        Change([&](SState& s) {
            s.progressWindowRange = {lower, upper};
            s.progressWindowPositions.push_back(pos);
        });
    }

    void ShowAbout(const std::string& versionLine, const std::string& noticeLine) override
    {
        Change([&](SState& s) { s.about = {versionLine, noticeLine}; });
    }

private:
    template <typename F>
    void Change(F&& change)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change(m_state);
        }
        m_changed.notify_all();
    }

    std::vector<Step> m_script;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    SState m_state;
};
