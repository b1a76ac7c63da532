#include <gtest/gtest.h>

#include "platform/SingleInstance.h"
#include "platform/System.h"
#include "tests/TestSupport.h"

TEST(SingleInstanceTest, SecondCreateSeesTheFirstUntilItCloses)
{
    const std::string name = "Global\\{7E3C4B7A-0000-4000-8000-SYSTEMTEST01}";
    CSingleInstanceLock first;
    ASSERT_EQ(first.Create(name), CSingleInstanceLock::EResult::Created);
    EXPECT_TRUE(first.IsHeld());

    CSingleInstanceLock second;
    EXPECT_EQ(second.Create(name), CSingleInstanceLock::EResult::AlreadyExists);
    EXPECT_EQ(second.GetCreateError(), 183u);
    second.Close();

    first.Close();
    CSingleInstanceLock third;
    EXPECT_EQ(third.Create(name), CSingleInstanceLock::EResult::Created);
}

TEST(SystemTest, ExitStatusKeepsTheOutcomeDistinct)
{
#ifdef _WIN32
    EXPECT_EQ(static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(0x80000001u))), 0x80000001u);
    EXPECT_EQ(ToProcessExitStatus(4), 4);
#else
    EXPECT_EQ(ToProcessExitStatus(0), 0);
    EXPECT_EQ(ToProcessExitStatus(1), 1);
    EXPECT_EQ(ToProcessExitStatus(2), 2);
    EXPECT_EQ(ToProcessExitStatus(4), 4);
    EXPECT_EQ(ToProcessExitStatus(static_cast<std::int32_t>(0x80000001u)), 129);
    EXPECT_EQ(ToProcessExitStatus(static_cast<std::int32_t>(0x80000006u)), 134);
    EXPECT_EQ(ToProcessExitStatus(static_cast<std::int32_t>(0x80000007u)), 135);
    EXPECT_EQ(ToProcessExitStatus(static_cast<std::int32_t>(0x80000008u)), 136);
    EXPECT_EQ(ToProcessExitStatus(static_cast<std::int32_t>(0x8000000Bu)), 139);
#endif
}

TEST(SystemTest, FilesAndFolders)
{
    const std::string base = MakeTestFolder("system-files");
    const std::string nested = JoinPath(JoinPath(base, "a"), "b");
    ASSERT_TRUE(CreateDirectories(nested));
    EXPECT_TRUE(CreateDirectories(nested)); // already there
    const std::string file = JoinPath(nested, "x.txt");
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(DeleteFilePath(file));
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(DeleteFilePath(file));
    EXPECT_NE(GetLastSystemError(), 0u);

    EXPECT_FALSE(GetProgramPath().empty());
    EXPECT_TRUE(FileExists(GetProgramPath()));
    EXPECT_EQ(GetProgramPath().rfind(GetProgramDirectory(), 0), 0u);

    const std::string cwd = GetWorkingDirectory();
    ASSERT_TRUE(SetWorkingDirectory(base));
    EXPECT_NE(GetWorkingDirectory(), cwd);
    ASSERT_TRUE(SetWorkingDirectory(cwd));
}

TEST(SystemTest, RunsAProcessAndReadsItsExitCode)
{
    std::uint32_t code = 0;
#ifdef _WIN32
    const std::vector<std::string> exit7 = {"C:\\windows\\system32\\cmd.exe", "/c", "exit 7"};
#else
    const std::vector<std::string> exit7 = {"/bin/sh", "-c", "exit 7"};
#endif
    ASSERT_TRUE(RunProcessAndWait(exit7, RealSeconds(60), &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(RunProcessAndWait({JoinPath(MakeTestFolder("no-such"), "missing-program")}, 1000, &code));
    EXPECT_FALSE(RunProcessAndWait({}, 1000, &code));
}

TEST(SystemTest, CapturesOutputAndPassesEnvironment)
{
    const std::string out = JoinPath(MakeTestFolder("system-capture"), "out.txt");
    std::uint32_t code = 99;
#ifdef _WIN32
    const std::vector<std::string> argv = {"C:\\windows\\system32\\cmd.exe", "/c", "echo %ORVO_PROBE%& echo to-stderr 1>&2"};
#else
    const std::vector<std::string> argv = {"/bin/sh", "-c", "echo $ORVO_PROBE; echo to-stderr >&2"};
#endif
    ASSERT_TRUE(RunProcessAndWait(argv, RealSeconds(60), &code, {}, out, {"ORVO_PROBE=probe-value"}));
    EXPECT_EQ(code, 0u);
    const std::string bytes = ReadFileBytes(out);
    EXPECT_NE(bytes.find("probe-value"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("to-stderr"), std::string::npos) << bytes;
}

TEST(SystemTest, LocalTimeIsPlausible)
{
    const SLocalTime t = GetLocalTimeNow();
    EXPECT_GE(t.year, 2024);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_LT(t.millisecond, 1000);
}

// The driver tool is started by its path, so a program folder with blanks
// ("Program Files", "My Tools") still starts it, and the tool gets the whole
// command line; a program that is not there is a failure with its reason.
TEST(SystemTest, CommandLineProgramInAFolderWithBlanks)
{
    const std::string folder = JoinPath(MakeTestFolder("system-space"), "My Orvo Tools");
    ASSERT_TRUE(CreateDirectories(folder));
#ifdef _WIN32
    const std::string program = JoinPath(folder, "cmd.exe");
    ASSERT_TRUE(WriteFileBytes(program, ReadFileBytes("C:\\windows\\system32\\cmd.exe")));
    const std::string line = program + " /c exit 5";
#else
    const std::string program = JoinPath(folder, "tool");
    ASSERT_TRUE(WriteFileBytes(program, "#!/bin/sh\nprintf '%s' \"$*\" > \"$(dirname \"$0\")/args.txt\"\nexit 5\n"));
    std::uint32_t chmod = 1;
    ASSERT_TRUE(RunProcessAndWait({"/bin/chmod", "+x", program}, RealSeconds(30), &chmod));
    const std::string arguments = "/INF:" + JoinPath(folder, "x.rules") + " /ID:USB\\VID_0A12&PID_0001";
    const std::string line = program + " " + arguments;
#endif
    std::uint32_t code = 0;
    ASSERT_TRUE(RunCommandLineAndWait(program, line, RealSeconds(60), &code));
    EXPECT_EQ(code, 5u);
#ifndef _WIN32
    EXPECT_EQ(ReadFileBytes(JoinPath(folder, "args.txt")), arguments);
#endif
    const std::string missing = JoinPath(folder, "missing-tool");
    EXPECT_FALSE(RunCommandLineAndWait(missing, missing + " /INF:x /ID:y", RealSeconds(60), &code));
    EXPECT_NE(GetLastSystemError(), 0u);
}

TEST(SystemTest, CommandLineArgumentsFollowTheProgram)
{
    EXPECT_EQ(CommandLineArguments("C:\\Program Files\\Orvo\\Pellory64.exe /INF:C:\\Program Files\\a.inf /ID:X",
                                   "C:\\Program Files\\Orvo\\Pellory64.exe"),
              "/INF:C:\\Program Files\\a.inf /ID:X");
    EXPECT_EQ(CommandLineArguments("\"C:\\My Tools\\t.exe\"   /a b", "other"), "/a b");
    EXPECT_EQ(CommandLineArguments("tool /a", ""), "/a");
    EXPECT_EQ(CommandLineArguments("tool", "tool"), "");
    EXPECT_EQ(CommandLineArguments("toolbox /a", "tool"), "/a"); // not a prefix of the first word
}
