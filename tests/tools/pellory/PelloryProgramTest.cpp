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
    EXPECT_EQ(kRefused, RunTool({"/INF:" + std::string(300, 'a') + ".inf", "/ID:USB\\VID_0A12&PID_0001"}));
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
// Installing a driver needs administrator rights: the tool's manifest asks
// for them, so Windows shows the consent prompt when it is started.
TEST(PelloryProgram, ManifestRequiresAdministrator)
{
    const std::string program = ReadFileBytes(ORVO_PELLORY_PATH);
    ASSERT_FALSE(program.empty());
    EXPECT_NE(program.find("requestedExecutionLevel level=\"requireAdministrator\""), std::string::npos);
}
#endif
