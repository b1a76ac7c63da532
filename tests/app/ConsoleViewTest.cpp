// The Linux front end: the dialog on the terminal, played through standard
// input and read back from standard error.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
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

// Standard input from a pipe the test writes, standard error into a file.
class CConsoleRedirect
{
public:
    explicit CConsoleRedirect(const std::string& errorFile) : m_errorFile(errorFile)
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
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
    // Waits (about 20 s real at most) until the output holds the text.
    bool WaitForOutput(const std::string& text) const
    {
        CDeadline deadline(RealSeconds(20));
        while (Output().find(text) == std::string::npos)
        {
            if (deadline.IsExpired())
                return false;
            CClock::Sleep(10);
        }
        return true;
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
