#include "platform/System.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Clock.h"

extern char** environ;

namespace
{
thread_local std::uint32_t t_lastError = 0;

bool Fail()
{
    t_lastError = static_cast<std::uint32_t>(errno);
    return false;
}
} // namespace

SLocalTime GetLocalTimeNow()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm parts{};
    const time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &parts);
    SLocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(tv.tv_usec / 1000);
    return t;
}

bool SetOwnProcessPriorityHigh()
{
    // HIGH_PRIORITY_CLASS; raising the priority needs privileges an ordinary
    // user does not have, which is not an error worth stopping for.
    return setpriority(PRIO_PROCESS, 0, -10) == 0 || Fail();
}

std::string GetWorkingDirectory()
{
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr)
    {
        Fail();
        return {};
    }
    return buffer;
}

bool SetWorkingDirectory(const std::string& path)
{
    return chdir(path.c_str()) == 0 || Fail();
}

bool DeleteFilePath(const std::string& path)
{
    return unlink(path.c_str()) == 0 || Fail();
}

bool FileExists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

bool CreateDirectories(const std::string& path)
{
    if (path.empty())
        return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos)
    {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return Fail();
    }
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string GetProgramPath()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
    {
        Fail();
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string GetProgramDirectory()
{
    const std::string path = GetProgramPath();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

char PathSeparator()
{
    return '/';
}

bool RunProcessAndWait(const std::vector<std::string>& argv, std::uint32_t timeoutMs, std::uint32_t* exitCode,
                       const std::string& workingDirectory)
{
    if (argv.empty())
    {
        errno = EINVAL;
        return Fail();
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
#endif
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
    {
        errno = rc;
        return Fail();
    }

    CDeadline deadline(timeoutMs);
    int status = 0;
    for (;;)
    {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return Fail();
        if (deadline.IsExpired())
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            errno = ETIMEDOUT;
            return Fail();
        }
        os::SleepMicroseconds(1000);
    }
    if (exitCode != nullptr)
    {
        if (WIFEXITED(status))
            *exitCode = static_cast<std::uint32_t>(WEXITSTATUS(status));
        else
            *exitCode = 0x80u | static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return true;
}

int ToProcessExitStatus(std::int32_t returnCode)
{
    if (returnCode >= 0)
        return returnCode;
    return 0x80 | (static_cast<int>(static_cast<std::uint32_t>(returnCode) & 0x7Fu));
}

std::uint32_t GetLastSystemError()
{
    return t_lastError;
}
