// Message boxes outside the dialog report what really happened: without a
// terminal nobody pressed OK.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/MessageBox.h"
#include "tests/TestSupport.h"

namespace
{
// Standard input from the given descriptor and standard error into a file
// while it lives.
class CStdioSwap
{
public:
    CStdioSwap(int input, const std::string& errorFile)
    {
        std::fflush(stderr);
        m_in = dup(STDIN_FILENO);
        m_err = dup(STDERR_FILENO);
        dup2(input, STDIN_FILENO);
        const int file = open(errorFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        dup2(file, STDERR_FILENO);
        close(file);
        std::clearerr(stdin);
    }
    ~CStdioSwap()
    {
        std::fflush(stderr);
        dup2(m_in, STDIN_FILENO);
        dup2(m_err, STDERR_FILENO);
        close(m_in);
        close(m_err);
        std::clearerr(stdin);
    }

private:
    int m_in;
    int m_err;
};
} // namespace

TEST(MessageBoxTest, WithoutATerminalNobodyAnswers)
{
    const std::string folder = MakeTestFolder("messagebox-pipe");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "\n", 1), 1); // even a line waiting in a pipe is no user
    int answer = -1;
    {
        CStdioSwap swap(fds[0], JoinPath(folder, "stderr.txt"));
        answer = ShowSystemMessageBox("Please unplug and plug in the device.", kMbOk | kMbIconInformation);
    }
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(ReadFileBytes(JoinPath(folder, "stderr.txt")), "Please unplug and plug in the device.\n");
}

TEST(MessageBoxTest, AtATerminalEnterIsOkAndTheEndOfInputIsNot)
{
    for (const bool enter : {true, false})
    {
        SCOPED_TRACE(enter ? "Enter" : "end of input");
        const std::string folder = MakeTestFolder(enter ? "messagebox-tty-enter" : "messagebox-tty-eof");
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        // Enter, or the terminal's end-of-file character (Ctrl-D) on an empty line.
        const char* typed = enter ? "\n" : "\x04";
        ASSERT_EQ(write(master, typed, 1), 1);
        int answer = -1;
        {
            CStdioSwap swap(slave, JoinPath(folder, "stderr.txt"));
            answer = ShowSystemMessageBox("Replug", kMbOk);
        }
        close(slave);
        close(master);
        EXPECT_EQ(answer, enter ? 1 : 0);
    }
}
#endif
