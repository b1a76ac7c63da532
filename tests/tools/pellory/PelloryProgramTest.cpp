// The built driver-update program: exit codes, and on Linux the rules file
// it installs.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/System.h"
#include "tests/TestSupport.h"

namespace
{
std::uint32_t RunTool(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{ORVO_PELLORY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::uint32_t exitCode = 0xDEADBEEFu;
    EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(60), &exitCode));
    return exitCode;
}

const std::uint32_t kRefused = static_cast<std::uint32_t>(ToProcessExitStatus(-1));
} // namespace

TEST(PelloryProgram, MalformedCommandLinesExitWithMinusOne)
{
    EXPECT_EQ(kRefused, RunTool({}));
    EXPECT_EQ(kRefused, RunTool({"/ID:USB\\VID_0A12&PID_0001", "/INF:x.inf"}));
    EXPECT_EQ(kRefused, RunTool({"/INF:x.inf"}));
#ifndef _WIN32
    // Longer than any Windows command line can be.
    EXPECT_EQ(kRefused, RunTool({"/INF:" + std::string(40000, 'a') + ".inf", "/ID:USB\\VID_0A12&PID_0001"}));
#endif
}

TEST(PelloryProgram, DriverPackageLiesBesideTheProgram)
{
    const std::string bin = ORVO_PELLORY_DIR;
#if defined(_WIN32)
    EXPECT_TRUE(FileExists(bin + "\\Driver\\Driver\\win32\\CSRBlueCoreUSB.inf"));
    const std::string inf = ReadFileBytes(bin + "\\Driver\\Driver\\win64\\CSRBlueCoreUSB.inf");
#else
    const std::string inf = ReadFileBytes(bin + "/Driver/Driver/linux/70-orvo-tavik.rules");
#endif
    std::string lower = inf;
    for (char& c : lower)
        c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    EXPECT_NE(std::string::npos, lower.find("0a12"));
}

#if defined(_WIN32)
#include "families/tavik/FirmwareUpgradeTavik.h"

// The program started from a folder of 200 characters with blanks (Explorer's
// "Extract All" into a nested Downloads folder): the tool, copied there with
// its driver package, is started as the program starts it, with the command
// line the program builds, and takes it whole. wine's installer then fails
// to find a device (no DFU device is attached): any code but the -1 of a
// refused command line, and not the "file not found" of a cut INF path.
TEST(PelloryProgram, StartedFromADeepFolderWithBlanksTakesItsWholeCommandLine)
{
    std::string folder = HostPath(MakeTestFolder("deep folder"));
    folder += "\\Downloads\\orvohidflash-1.1 windows x64\\";
    // Folder names with blanks inside (Windows drops a blank at a name's end).
    while (folder.size() < 199)
        folder += folder.size() % 30 == 29 && folder.back() != ' ' ? "\\" : (folder.size() % 6 == 0 ? " " : "d");
    if (folder.back() == ' ')
        folder.back() = 'd';
    folder += "\\";
    ASSERT_EQ(200u, folder.size()) << folder;
    const SDriverToolPaths p = BuildDriverToolPaths(folder, true);
    ASSERT_TRUE(CreateDirectories(folder + "Driver\\Driver\\win64"));
    ASSERT_TRUE(WriteFileBytes(p.toolPath, ReadFileBytes(ORVO_PELLORY_PATH)));
    ASSERT_TRUE(WriteFileBytes(p.infPath, ReadFileBytes(std::string(ORVO_PELLORY_DIR) + "/Driver/Driver/win64/CSRBlueCoreUSB.inf")));
    ASSERT_GT(p.commandLine.size(), 400u);

    std::uint32_t exitCode = 0xDEADBEEFu;
    ASSERT_TRUE(RunCommandLineAndWait(p.toolPath, p.commandLine, RealSeconds(60), &exitCode)) << GetLastSystemError();
    EXPECT_NE(exitCode, kRefused) << p.commandLine;
    EXPECT_NE(exitCode, 2u) << "the INF path was not found whole";

    // The same line with the identifier cut off, as a 260-character buffer
    // cut it, is refused.
    std::uint32_t cutCode = 0;
    ASSERT_TRUE(RunCommandLineAndWait(p.toolPath, p.commandLine.substr(0, 259), RealSeconds(60), &cutCode));
    EXPECT_EQ(cutCode, kRefused);
}

// Installing a driver needs administrator rights: the tool's manifest asks
// for them, so Windows shows the consent prompt when it is started.
TEST(PelloryProgram, ManifestRequiresAdministrator)
{
    const std::string program = ReadFileBytes(ORVO_PELLORY_PATH);
    ASSERT_FALSE(program.empty());
    EXPECT_NE(program.find("requestedExecutionLevel level=\"requireAdministrator\""), std::string::npos);
}
#endif
