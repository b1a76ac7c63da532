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
#include <cstdlib>
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
                       const std::string& workingDirectory, const std::string& outputPath,
                       const std::vector<std::string>& environment)
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
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    if (!outputPath.empty())
    {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    // The environment: ours, with the given settings replacing or adding names.
    std::vector<std::string> envStrings;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& setting : environment)
            replaced = replaced || setting.substr(0, setting.find('=')) == name;
        if (!replaced)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
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

bool RunCommandLineAndWait(const std::string& programPath, const std::string& commandLine, std::uint32_t timeoutMs,
                           std::uint32_t* exitCode)
{
    std::vector<std::string> argv = {programPath};
    std::string word;
    for (char c : CommandLineArguments(commandLine, programPath))
    {
        if (c == ' ' || c == '\t')
        {
            if (!word.empty())
                argv.push_back(word);
            word.clear();
        }
        else
        {
            word += c;
        }
    }
    if (!word.empty())
        argv.push_back(word);
    return RunProcessAndWait(argv, timeoutMs, exitCode);
}

bool IsWow64Process32On64()
{
    return false;
}

HResult GetLocalAppDataFolder(std::wstring* folder)
{
    if (folder == nullptr)
        return HR_INVALIDARG;
    std::string path;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/')
    {
        path = xdg;
    }
    else
    {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0')
            return HR_FAIL;
        path = std::string(home) + "/.local/share";
    }
    if (!CreateDirectories(path))
        return static_cast<HResult>(0x80070000u | (GetLastSystemError() & 0xFFFFu));
    *folder = NarrowToWidePath(path);
    return HR_OK;
}

// UTF-8 both ways; invalid sequences become U+FFFD.
std::string WideToNarrowPath(const std::wstring& path)
{
    std::string out;
    for (wchar_t wc : path)
    {
        auto c = static_cast<std::uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80)
        {
            out += static_cast<char>(c);
        }
        else if (c < 0x800)
        {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        else if (c < 0x10000)
        {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        else
        {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring NarrowToWidePath(const std::string& path)
{
    std::wstring out;
    std::size_t i = 0;
    while (i < path.size())
    {
        const auto b = static_cast<unsigned char>(path[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80)
            c = b;
        else if ((b & 0xE0) == 0xC0)
            n = 2, c = b & 0x1Fu;
        else if ((b & 0xF0) == 0xE0)
            n = 3, c = b & 0x0Fu;
        else if ((b & 0xF8) == 0xF0)
            n = 4, c = b & 0x07u;
        if (n > 1)
        {
            if (i + n > path.size())
            {
                c = 0xFFFD;
                n = 1;
            }
            else
            {
                for (std::size_t k = 1; k < n; ++k)
                {
                    const auto cont = static_cast<unsigned char>(path[i + k]);
                    if ((cont & 0xC0) != 0x80)
                    {
                        c = 0xFFFD;
                        n = k;
                        break;
                    }
                    c = (c << 6) | (cont & 0x3Fu);
                }
            }
        }
        out += static_cast<wchar_t>(c);
        i += n;
    }
    return out;
}

CExclusiveFile::~CExclusiveFile()
{
    Close();
}

bool CExclusiveFile::Create(const std::wstring& path)
{
    Close();
    const int fd = open(WideToNarrowPath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail();
    m_handle = static_cast<std::uintptr_t>(fd);
    return true;
}

bool CExclusiveFile::Write(const void* data, std::size_t size, std::size_t* written)
{
    if (written != nullptr)
        *written = 0;
    if (!IsOpen())
        return false;
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size)
    {
        const ssize_t n = write(static_cast<int>(m_handle), p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr)
        *written = done;
    return done == size || Fail();
}

void CExclusiveFile::Close()
{
    if (IsOpen())
    {
        close(static_cast<int>(m_handle));
        m_handle = kInvalid;
    }
}
