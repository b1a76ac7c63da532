#include "platform/System.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

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
    // A deep folder may be longer than MAX_PATH: ask for the length first.
    const DWORD length = GetCurrentDirectoryA(0, nullptr);
    if (length == 0)
    {
        Fail();
        return {};
    }
    std::string buffer(length, '\0');
    const DWORD n = GetCurrentDirectoryA(length, buffer.data());
    if (n == 0 || n >= length)
    {
        Fail();
        return {};
    }
    buffer.resize(n);
    return buffer;
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
    // The program may lie in a folder deeper than MAX_PATH: the buffer grows
    // until the whole path fits (a path holds 32,767 characters at most).
    for (DWORD size = MAX_PATH + 1; size <= 32768; size *= 2)
    {
        std::string buffer(size, '\0');
        const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (n == 0)
            break;
        if (n < size)
        {
            buffer.resize(n);
            return buffer;
        }
    }
    Fail();
    return {};
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
                       const std::string& workingDirectory, const std::string& outputPath,
                       const std::vector<std::string>& environment)
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
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!outputPath.empty())
    {
        SECURITY_ATTRIBUTES sa{};
        sa.nLength = sizeof sa;
        sa.bInheritHandle = TRUE;
        output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE)
            return Fail();
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = output;
        si.hStdError = output;
    }
    // The environment block: ours, with the given settings replacing or adding names.
    std::string block;
    if (!environment.empty())
    {
        char* current = GetEnvironmentStringsA();
        for (const char* e = current; e != nullptr && *e != '\0'; e += std::strlen(e) + 1)
        {
            const std::string entry = e;
            const std::string name = entry.substr(0, entry.find('=', 1));
            bool replaced = false;
            for (const std::string& setting : environment)
                replaced = replaced || _stricmp(setting.substr(0, setting.find('=')).c_str(), name.c_str()) == 0;
            if (!replaced)
                block += entry + '\0';
        }
        if (current != nullptr)
            FreeEnvironmentStringsA(current);
        for (const std::string& setting : environment)
            block += setting + '\0';
        block += '\0';
    }
    PROCESS_INFORMATION pi{};
    const BOOL created = CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, output != INVALID_HANDLE_VALUE,
                                        0, block.empty() ? nullptr : block.data(),
                                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si, &pi);
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (!created)
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

namespace
{
// The program's manifest requires elevation (winerror.h; older headers lack it).
constexpr DWORD kErrorElevationRequired = 740;

// Waits for a started process and reads its exit code; closes the handle.
bool WaitForProcess(HANDLE process, std::uint32_t timeoutMs, std::uint32_t* exitCode)
{
    const DWORD r = WaitForSingleObject(process, CClock::ToRealMilliseconds(timeoutMs));
    if (r != WAIT_OBJECT_0)
    {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
    }
    DWORD code = 0;
    const BOOL ok = r == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ok)
    {
        SetLastError(r == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_GEN_FAILURE);
        return Fail();
    }
    if (exitCode != nullptr)
        *exitCode = code;
    return true;
}
} // namespace

bool RunCommandLineAndWait(const std::string& programPath, const std::string& commandLine, std::uint32_t timeoutMs,
                           std::uint32_t* exitCode)
{
    std::string line = commandLine; // CreateProcessA may write into it
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const char* program = programPath.empty() ? nullptr : programPath.c_str();
    if (CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        CloseHandle(pi.hThread);
        return WaitForProcess(pi.hProcess, timeoutMs, exitCode);
    }
    if (GetLastError() != kErrorElevationRequired || program == nullptr)
        return Fail();
    // The program's manifest asks for administrator rights: the shell shows
    // the consent prompt and starts it elevated (ERROR_CANCELLED when the
    // user says no).
    const std::string parameters = CommandLineArguments(commandLine, programPath);
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = program;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info))
        return Fail();
    if (info.hProcess == nullptr)
    {
        SetLastError(ERROR_GEN_FAILURE);
        return Fail();
    }
    return WaitForProcess(info.hProcess, timeoutMs, exitCode);
}

bool IsWow64Process32On64()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr)
        return false;
    auto fn = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return fn != nullptr && fn(GetCurrentProcess(), &wow64) && wow64;
}

HResult GetLocalAppDataFolder(std::wstring* folder)
{
    if (folder == nullptr)
        return HR_INVALIDARG;
    wchar_t path[MAX_PATH] = {};
    const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path);
    if (FAILED(hr))
        return static_cast<HResult>(hr);
    *folder = path;
    return HR_OK;
}

std::string WideToNarrowPath(const std::wstring& path)
{
    if (path.empty())
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring NarrowToWidePath(const std::string& path)
{
    if (path.empty())
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), out.data(), n);
    return out;
}

CExclusiveFile::~CExclusiveFile()
{
    Close();
}

bool CExclusiveFile::Create(const std::wstring& path)
{
    Close();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Fail();
    m_handle = reinterpret_cast<std::uintptr_t>(h);
    return true;
}

bool CExclusiveFile::Write(const void* data, std::size_t size, std::size_t* written)
{
    if (written != nullptr)
        *written = 0;
    if (!IsOpen() || size > 0xFFFFFFFFu)
        return false;
    DWORD n = 0;
    const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(m_handle), data, static_cast<DWORD>(size), &n, nullptr);
    if (written != nullptr)
        *written = n;
    return (ok && n == size) || Fail();
}

void CExclusiveFile::Close()
{
    if (IsOpen())
    {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
        m_handle = kInvalid;
    }
}
