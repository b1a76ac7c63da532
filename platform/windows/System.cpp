#include "platform/System.h"

#include <windows.h>

#include "platform/Clock.h"

namespace
{
thread_local std::uint32_t t_lastError = 0;

bool Fail()
{
    t_lastError = GetLastError();
    return false;
}

// Quotes one argument so that the C runtime's parser gives it back unchanged.
void AppendQuoted(std::string& commandLine, const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
    {
        commandLine += arg;
        return;
    }
    commandLine += '"';
    std::size_t backslashes = 0;
    for (char c : arg)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            commandLine.append(backslashes * 2 + 1, '\\');
        else
            commandLine.append(backslashes, '\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(backslashes * 2, '\\');
    commandLine += '"';
}
} // namespace

SLocalTime GetLocalTimeNow()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    SLocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

bool SetOwnProcessPriorityHigh()
{
    return SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS) != FALSE || Fail();
}

std::string GetWorkingDirectory()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n == 0 || n >= sizeof buffer)
    {
        Fail();
        return {};
    }
    return std::string(buffer, n);
}

bool SetWorkingDirectory(const std::string& path)
{
    return SetCurrentDirectoryA(path.c_str()) != FALSE || Fail();
}

bool DeleteFilePath(const std::string& path)
{
    return DeleteFileA(path.c_str()) != FALSE || Fail();
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateDirectories(const std::string& path)
{
    if (path.empty())
        return false;
    std::size_t pos = 0;
    for (;;)
    {
        pos = path.find_first_of("\\/", pos + 1);
        const std::string partial = path.substr(0, pos);
        // Skip drive roots such as "C:".
        if (!(partial.size() == 2 && partial[1] == ':'))
        {
            if (!CreateDirectoryA(partial.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return Fail();
        }
        if (pos == std::string::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string GetProgramPath()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer)
    {
        Fail();
        return {};
    }
    return std::string(buffer, n);
}

std::string GetProgramDirectory()
{
    const std::string path = GetProgramPath();
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

char PathSeparator()
{
    return '\\';
}

bool RunProcessAndWait(const std::vector<std::string>& argv, std::uint32_t timeoutMs, std::uint32_t* exitCode,
                       const std::string& workingDirectory)
{
    if (argv.empty())
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Fail();
    }
    std::string commandLine;
    for (std::size_t i = 0; i < argv.size(); ++i)
    {
        if (i != 0)
            commandLine += ' ';
        AppendQuoted(commandLine, argv[i]);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si, &pi))
        return Fail();
    CloseHandle(pi.hThread);
    const DWORD r = WaitForSingleObject(pi.hProcess, CClock::ToRealMilliseconds(timeoutMs));
    if (r != WAIT_OBJECT_0)
    {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        SetLastError(r == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_GEN_FAILURE);
        return Fail();
    }
    DWORD code = 0;
    const BOOL ok = GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (!ok)
        return Fail();
    if (exitCode != nullptr)
        *exitCode = code;
    return true;
}

int ToProcessExitStatus(std::int32_t returnCode)
{
    return returnCode;
}

std::uint32_t GetLastSystemError()
{
    return t_lastError;
}
