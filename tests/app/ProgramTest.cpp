// The program itself, started as a user or a production script would.
#include <gtest/gtest.h>

#include <regex>

#include "app/FlashApp.h"
#include "platform/Clock.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"
#include "tests/TestSupport.h"

namespace
{
std::string ProgramPath()
{
    std::string path = ORVO_PROGRAM_PATH;
#ifdef _WIN32
    // The build hands us a Unix path; under wine the Z: drive maps the Unix root.
    if (!path.empty() && path[0] == '/')
    {
        for (char& c : path)
            c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
#endif
    return path;
}

std::uint32_t ExpectedStatus(std::uint32_t code)
{
    return static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(code)));
}

// The program's waits run at the test scale; its driver tool installs into
// a folder of the test's, not the machine's udev rules.
std::vector<std::string> ProgramEnvironment(const std::string& folder)
{
    return {"ORVO_TIME_SCALE=0.001", "ORVO_PELLORY_RULES_DIR=" + JoinPath(folder, "rules"),
            "XDG_DATA_HOME=" + JoinPath(folder, "appdata")};
}

std::vector<std::string> LogFilesIn(const std::string& folder)
{
    std::vector<std::string> logs;
    for (const std::string& name : ListFolder(folder))
    {
        if (std::regex_match(name, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
            logs.push_back(name);
    }
    return logs;
}
} // namespace

TEST(ProgramTest, SilentRunWithoutDeviceEndsWithNoDeviceAndKeepsTheLog)
{
    const std::string folder = MakeTestFolder("program-silent");
    std::uint32_t status = 0;
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S"}, RealSeconds(120), &status, folder, {}, ProgramEnvironment(folder)));
    EXPECT_EQ(status, ExpectedStatus(0x80000001u));

    const std::vector<std::string> logs = LogFilesIn(folder);
    ASSERT_EQ(logs.size(), 1u);
    const std::string bytes = ReadFileBytes(JoinPath(folder, logs[0]));
    EXPECT_TRUE(std::regex_search(
        bytes, std::regex(R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3}\] Start of Log - Utility Version 1\.1\.151124\.164914\r\n\r\r\n)")));
    EXPECT_NE(bytes.find("] CFlashDlg::No HIDDevice\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("] CFlashApp::ExitInstance - code[0x80000001] success[0]\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("] End of Log\r\n\r\r\n"), std::string::npos);
    EXPECT_EQ(bytes.size() - bytes.rfind("End of Log"), std::string("End of Log\r\n\r\r\n").size());
}

TEST(ProgramTest, SecondCopyIsRefusedWithCodeZeroAndNoLog)
{
#ifdef _WIN32
    GTEST_SKIP() << "the refusal shows a message box; the GUI test under Xvfb answers it";
#else
    CSingleInstanceLock first;
    ASSERT_EQ(first.Create(kSingleInstanceMutexName), CSingleInstanceLock::EResult::Created);

    const std::string folder = MakeTestFolder("program-second");
    std::uint32_t status = 99;
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S"}, RealSeconds(120), &status, folder, {}, ProgramEnvironment(folder)));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(LogFilesIn(folder).empty());

    // A production command line may run beside other copies.
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S", "/Ustation-3"}, RealSeconds(120), &status, folder, {}, ProgramEnvironment(folder)));
    EXPECT_EQ(status, ExpectedStatus(0x80000001u));
    EXPECT_EQ(LogFilesIn(folder).size(), 1u);
#endif
}
