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
// The test build of the program (reads the test settings of the environment).
std::string ProgramPath()
{
    return HostPath(ORVO_PROGRAM_PATH);
}

// The program's waits run at the test scale, its single-instance lock is the
// test's own, and its driver tool installs into a folder of the test's, not
// the machine's udev rules.
std::vector<std::string> ProgramEnvironment(const std::string& folder, const std::string& lockName)
{
    return {"ORVO_TIME_SCALE=0.001", "ORVO_TEST_INSTANCE_NAME=" + lockName,
            "ORVO_PELLORY_RULES_DIR=" + JoinPath(folder, "rules"), "XDG_DATA_HOME=" + JoinPath(folder, "appdata")};
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
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S"}, RealSeconds(120), &status, folder, {},
                                  ProgramEnvironment(folder, UniqueTestLockName("silent"))));
    EXPECT_EQ(status, ExitStatusOf(0x80000001u));

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

// Started in a folder it cannot write (/proc, which refuses new files even to
// root), the program writes its log into the user's local application-data
// folder and says so at the end of a failed silent run.
TEST(ProgramTest, LogGoesToTheUsersFolderWhenTheWorkingDirectoryCannotTakeIt)
{
#ifdef _WIN32
    GTEST_SKIP() << "the in-process test covers the Windows build (wine's prefix holds the user's folder)";
#else
    const std::string folder = MakeTestFolder("program-unwritable");
    std::uint32_t status = 0;
    const std::string output = JoinPath(folder, "output.txt");
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S"}, RealSeconds(120), &status, "/proc", output,
                                  ProgramEnvironment(folder, UniqueTestLockName("unwritable"))));
    EXPECT_EQ(status, ExitStatusOf(0x80000001u));
    const std::string appData = JoinPath(folder, "appdata");
    const std::vector<std::string> logs = LogFilesIn(appData);
    ASSERT_EQ(logs.size(), 1u);
    const std::string bytes = ReadFileBytes(JoinPath(appData, logs[0]));
    EXPECT_NE(bytes.find("] CFlashApp::ExitInstance - code[0x80000001] success[0]\r\n"), std::string::npos);
    EXPECT_NE(ReadFileBytes(output).find("The diagnostic log is in " + JoinPath(appData, logs[0])), std::string::npos)
        << ReadFileBytes(output);
#endif
}

// A script waits for the GUI program with "start /wait" and reads its exit
// code from %ERRORLEVEL% (the full 32-bit code, shown signed by cmd); without
// the wait cmd goes on at once. Run by wine's cmd here, as the README says.
TEST(ProgramTest, ScriptWaitsWithStartAndReadsTheExitCode)
{
#ifndef _WIN32
    GTEST_SKIP() << "a Windows script";
#else
    const std::string folder = MakeTestFolder("program-script");
    const std::string script = JoinPath(HostPath(folder), "upgrade.cmd");
    ASSERT_TRUE(WriteFileBytes(script, "@echo off\r\n"
                                       "start \"\" /wait \"" + ProgramPath() + "\" /S\r\n"
                                       "echo exit code %ERRORLEVEL%\r\n"
                                       "if %ERRORLEVEL% EQU -2147483647 echo no device found\r\n"));
    std::uint32_t status = 0;
    const std::string output = JoinPath(folder, "output.txt");
    ASSERT_TRUE(RunProcessAndWait({"C:\\windows\\system32\\cmd.exe", "/c", script}, RealSeconds(120), &status,
                                  HostPath(folder), output, ProgramEnvironment(folder, UniqueTestLockName("script"))));
    const std::string printed = ReadFileBytes(output);
    EXPECT_NE(printed.find("exit code -2147483647"), std::string::npos) << printed; // 0x80000001
    EXPECT_NE(printed.find("no device found"), std::string::npos) << printed;
#endif
}

TEST(ProgramTest, SecondCopyIsRefusedWithCodeZeroAndNoLog)
{
#ifdef _WIN32
    GTEST_SKIP() << "the refusal shows a message box; the GUI test under Xvfb answers it";
#else
    const std::string lockName = UniqueTestLockName("second");
    CSingleInstanceLock first;
    ASSERT_EQ(first.Create(lockName), CSingleInstanceLock::EResult::Created);

    const std::string folder = MakeTestFolder("program-second");
    std::uint32_t status = 99;
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S"}, RealSeconds(120), &status, folder, {},
                                  ProgramEnvironment(folder, lockName)));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(LogFilesIn(folder).empty());

    // A production command line may run beside other copies.
    ASSERT_TRUE(RunProcessAndWait({ProgramPath(), "/S", "/Ustation-3"}, RealSeconds(120), &status, folder, {},
                                  ProgramEnvironment(folder, lockName)));
    EXPECT_EQ(status, ExitStatusOf(0x80000001u));
    EXPECT_EQ(LogFilesIn(folder).size(), 1u);
#endif
}

// The shipped program has no test settings: it cannot be sped up by a stray
// ORVO_TIME_SCALE (every device wait would end in milliseconds) nor moved to
// another lock; only its test build reads them.
TEST(ProgramTest, ShippedProgramReadsNoTestSettings)
{
    const std::string shipped = ReadFileBytes(HostPath(ORVO_SHIPPED_PROGRAM_PATH));
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(shipped.find("ORVO_TIME_SCALE"), std::string::npos);
    EXPECT_EQ(shipped.find("ORVO_TEST_INSTANCE_NAME"), std::string::npos);
    EXPECT_NE(shipped.find("{D2B45C67-FC2B-4269-AE40-BFD8B580246B}"), std::string::npos);

    const std::string testBuild = ReadFileBytes(ProgramPath());
    EXPECT_NE(testBuild.find("ORVO_TIME_SCALE"), std::string::npos);
}
