// The Linux front end: the dialog on the terminal, played through standard
// input and read back from standard error.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "app/FlashDlg.h"
#include "platform/Clock.h"
#include "platform/DialogView.h"
#include "platform/Thread.h"
#include "resources/StringTable.h"
#include "tests/TestSupport.h"
#include "tests/app/FakeUpgrader.h"

namespace
{
class CFoundImage : public IResourceProvider
{
public:
    EResourceResult FindRcData(const std::string&, SResourceData* out, std::uint32_t*) override
    {
        *out = {m_bytes, sizeof m_bytes};
        return EResourceResult::Found;
    }

private:
    std::uint8_t m_bytes[300] = {};
};

// Standard input from a pipe the test writes (or a terminal: a pseudo-
// terminal whose keyboard side the test types on), standard error into a file.
class CConsoleRedirect
{
public:
    explicit CConsoleRedirect(const std::string& errorFile, bool terminal = false) : m_errorFile(errorFile)
    {
        int fds[2] = {-1, -1};
        if (terminal)
        {
            fds[1] = posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_GE(fds[1], 0);
            EXPECT_EQ(grantpt(fds[1]), 0);
            EXPECT_EQ(unlockpt(fds[1]), 0);
            fds[0] = open(ptsname(fds[1]), O_RDWR | O_NOCTTY);
            EXPECT_GE(fds[0], 0);
        }
        else
        {
            EXPECT_EQ(pipe(fds), 0);
        }
        m_savedIn = dup(STDIN_FILENO);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        m_input = fds[1];
        std::fflush(stderr);
        m_savedErr = dup(STDERR_FILENO);
        const int file = open(errorFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        dup2(file, STDERR_FILENO);
        close(file);
    }
    ~CConsoleRedirect()
    {
        CloseInput();
        std::fflush(stderr);
        dup2(m_savedIn, STDIN_FILENO);
        dup2(m_savedErr, STDERR_FILENO);
        close(m_savedIn);
        close(m_savedErr);
    }
    void Type(const std::string& text) { EXPECT_EQ(write(m_input, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    void CloseInput()
    {
        if (m_input >= 0)
            close(m_input);
        m_input = -1;
    }
    std::string Output() const { return ReadFileBytes(m_errorFile); }
    // Waits (about 20 s real at most) until the output holds the text (count times).
    bool WaitForOutput(const std::string& text, int count = 1) const
    {
        CDeadline deadline(RealSeconds(20));
        for (;;)
        {
            const std::string output = Output();
            int found = 0;
            for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
                ++found;
            if (found >= count)
                return true;
            if (deadline.IsExpired())
                return false;
            CClock::Sleep(10);
        }
    }

private:
    std::string m_errorFile;
    int m_input = -1;
    int m_savedIn = -1;
    int m_savedErr = -1;
};

struct SConsoleRun
{
    int result = 0;
    std::int32_t code = 0;
};

SConsoleRun RunConsole(bool silent, CFoundImage& image)
{
    CFlashDlg dialog(CreatePlatformDialogView());
    dialog.SetResourceProvider(&image);
    SDialogSettings settings;
    settings.SilentMode = silent;
    dialog.SetSettings(settings);
    SConsoleRun run;
    run.result = dialog.DoModal();
    run.code = dialog.GetReturnCode();
    return run;
}
} // namespace

TEST(ConsoleViewTest, InteractiveUpgradeIsPlayedWithKeysAndEnter)
{
    InstallFakeUpgrader(SFakeUpgraderConfig{});
    const std::string folder = MakeTestFolder("console-interactive");
    CFoundImage image;
    SConsoleRun run;
    std::string output;
    {
        CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
        // The user: Upgrade, then Enter once the success box is there.
        CThread user;
        user.Start([&console] {
            console.WaitForOutput("[U] Upgrade");
            console.Type("u\n");
            console.WaitForOutput("Press Enter to continue...");
            console.Type("\n");
            return 0u;
        });
        run = RunConsole(false, image);
        user.Wait(kInfinite);
        output = console.Output();
    }
    CFirmwareUpgrade::SetConstructor(nullptr);
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_EQ(run.code, kReturnSuccess);
    for (const std::string& text :
         {std::string("== Tamsel Mic Device Firmware Upgrade =="), std::string("Current Version: 1.0.130521"),
          std::string(LoadResourceString(123)) + "Tamsel Mic", std::string("[U] Upgrade  [C] Close  [A] About"),
          std::string(LoadResourceString(135)), std::string(LoadResourceString(105)), std::string("Progress: 0%"),
          std::string(LoadResourceString(138))})
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
}

// The upgrader's replug prompt comes from the upgrade thread while the
// dialog's GUI thread reads the keys: one reader owns standard input, so the
// Enter typed for the prompt answers the prompt (and the upgrade goes on),
// never the dialog.
TEST(ConsoleViewTest, ReplugPromptOfTheUpgradeThreadGetsItsEnter)
{
    SFakeUpgraderConfig config;
    config.replugPrompt = true;
    for (int round = 0; round < 5; ++round)
    {
        SCOPED_TRACE(round);
        std::shared_ptr<SFakeUpgraderRecord> record = InstallFakeUpgrader(config);
        const std::string folder = MakeTestFolder("console-replug-" + std::to_string(round));
        CFoundImage image;
        SConsoleRun run;
        std::string output;
        {
            CConsoleRedirect console(JoinPath(folder, "stderr.txt"), true);
            CThread user;
            user.Start([&console] {
                EXPECT_TRUE(console.WaitForOutput("[U] Upgrade"));
                console.Type("u\n");
                EXPECT_TRUE(console.WaitForOutput(std::string(kFakeReplugText) + "\nPress Enter to continue..."));
                console.Type("\n");
                EXPECT_TRUE(console.WaitForOutput("Press Enter to continue...", 2)); // the success box
                console.Type("\n");
                return 0u;
            });
            run = RunConsole(false, image);
            user.Wait(kInfinite);
            output = console.Output();
        }
        CFirmwareUpgrade::SetConstructor(nullptr);
        EXPECT_TRUE(record->Called("replug OK")) << output;
        EXPECT_EQ(run.code, kReturnSuccess) << output;
        EXPECT_EQ(run.result, kModalComplete);
    }
}

// Without a terminal nobody can answer the prompt: it is printed, not
// confirmed, and the upgrade fails instead of going on unasked.
TEST(ConsoleViewTest, ReplugPromptWithoutATerminalIsNotConfirmed)
{
    SFakeUpgraderConfig config;
    config.replugPrompt = true;
    std::shared_ptr<SFakeUpgraderRecord> record = InstallFakeUpgrader(config);
    const std::string folder = MakeTestFolder("console-replug-pipe");
    CFoundImage image;
    SConsoleRun run;
    std::string output;
    {
        CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
        CThread user;
        user.Start([&console] {
            EXPECT_TRUE(console.WaitForOutput("[U] Upgrade"));
            console.Type("u\n\n");
            EXPECT_TRUE(console.WaitForOutput("Press Enter to continue...")); // the failure box
            console.Type("\n");
            console.CloseInput();
            return 0u;
        });
        run = RunConsole(false, image);
        user.Wait(kInfinite);
        output = console.Output();
    }
    CFirmwareUpgrade::SetConstructor(nullptr);
    EXPECT_TRUE(record->Called("replug not answered")) << output;
    EXPECT_EQ(run.code, kReturnUpgradeFailed) << output;
}

TEST(ConsoleViewTest, NoDeviceAndEndOfInputCloses)
{
    CFirmwareUpgrade::SetConstructor(nullptr);
    const std::string folder = MakeTestFolder("console-nodevice");
    CFoundImage image;
    SConsoleRun run;
    std::string output;
    {
        CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
        console.Type("a\n");
        console.CloseInput();
        run = RunConsole(false, image);
        output = console.Output();
    }
    EXPECT_EQ(run.result, kModalCancel);
    EXPECT_EQ(run.code, kReturnNoDevice);
    EXPECT_NE(output.find(LoadResourceString(110)), std::string::npos) << output;
    EXPECT_EQ(output.find("[U] Upgrade"), std::string::npos) << output;
}

// A non-terminal gets a status line when the words change, not one per
// block: the byte counts of the download move the bar, not the log.
TEST(ConsoleViewTest, StatusLinesFollowTheWordsNotTheNumbers)
{
    const std::string folder = MakeTestFolder("console-words");
    std::string output;
    {
        CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
        std::unique_ptr<IDialogView> view = CreatePlatformDialogView();
        class CEvents : public IDialogEvents
        {
        public:
            explicit CEvents(IDialogView& v) : m_view(v) {}
            void OnInitDialog() override
            {
                m_view.SetControlText(IDC_VERSION, "Current Version: 1.05.3");
                m_view.SetControlText(IDC_STATUS, "Ready");
            }
            void OnCommand(int id) override
            {
                if (id != IDC_UPGRADE)
                    return m_view.EndDialog(2);
                m_view.EnableControl(IDC_UPGRADE, false);
                m_view.SetProgressRange(0, 100);
                for (int done = 0; done <= 1000; done += 100)
                {
                    m_view.SetControlText(IDC_STATUS, "Upgrading in progress, please wait...\n" + std::to_string(done) +
                                                          " of 1000 bytes");
                    m_view.SetProgressPos(done / 10);
                }
                m_view.SetControlText(IDC_STATUS, "Verifying firmware in progress, please wait...");
                m_view.SetControlText(IDC_VERSION, "Current Version: 1.05.4");
                m_view.EndDialog(8);
            }
            void OnSysCommand(std::uint32_t) override {}

        private:
            IDialogView& m_view;
        } events(*view);
        view->EnableControl(IDC_UPGRADE, true);
        console.Type("U\n");
        EXPECT_EQ(view->RunModal(events), 8);
        output = console.Output();
    }
    auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("Upgrading in progress, please wait..."), 1u) << output;
    EXPECT_EQ(count("Verifying firmware in progress, please wait..."), 1u) << output;
    // The version label is printed whenever it changes, numbers included.
    EXPECT_EQ(count("Current Version: 1.05.4"), 1u) << output;
    EXPECT_EQ(count("Progress: 100%"), 1u) << output;
}

// Without its wake-up pipe (no file descriptors left), and even when poll
// itself fails, a silent run still ends with its outcome instead of hanging.
TEST(ConsoleViewTest, NoPipeAndFailingPollDoNotHang)
{
    for (const bool pollFails : {false, true})
    {
        SCOPED_TRACE(pollFails ? "poll fails" : "no pipe");
        InstallFakeUpgrader(SFakeUpgraderConfig{});
        const std::string folder = MakeTestFolder(pollFails ? "console-nopoll" : "console-nopipe");
        CFoundImage image;
        SConsoleRun run;
        {
            CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
            rlimit saved{};
            ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
            rlimit none = saved;
            none.rlim_cur = 0; // pipe() fails; poll() of any descriptor fails with EINVAL
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
            CFlashDlg dialog(CreatePlatformDialogView());
            if (!pollFails)
                setrlimit(RLIMIT_NOFILE, &saved);
            dialog.SetResourceProvider(&image);
            SDialogSettings settings;
            settings.SilentMode = true;
            dialog.SetSettings(settings);
            run.result = dialog.DoModal();
            run.code = dialog.GetReturnCode();
            setrlimit(RLIMIT_NOFILE, &saved);
        }
        CFirmwareUpgrade::SetConstructor(nullptr);
        EXPECT_EQ(run.result, kModalComplete);
        EXPECT_EQ(run.code, kReturnSuccess);
    }
}

TEST(ConsoleViewTest, SilentRunPrintsNothing)
{
    InstallFakeUpgrader(SFakeUpgraderConfig{});
    const std::string folder = MakeTestFolder("console-silent");
    CFoundImage image;
    SConsoleRun run;
    std::string output;
    {
        CConsoleRedirect console(JoinPath(folder, "stderr.txt"));
        run = RunConsole(true, image);
        output = console.Output();
    }
    CFirmwareUpgrade::SetConstructor(nullptr);
    EXPECT_EQ(run.result, kModalComplete);
    EXPECT_EQ(run.code, kReturnSuccess);
    EXPECT_EQ(output, "");
}
#endif
