#pragma once
// Process-level services: priority, local time, files and folders, child
// processes, the exit status.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

struct SLocalTime
{
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The local wall-clock time (not scaled).
SLocalTime GetLocalTimeNow();

// Raises the priority class of the own process to high.
bool SetOwnProcessPriorityHigh();

// Files and folders. Paths are narrow strings in the system's file-name
// encoding (UTF-8 on Linux, the ANSI code page on Windows).
std::string GetWorkingDirectory();
bool SetWorkingDirectory(const std::string& path);
bool DeleteFilePath(const std::string& path);
bool FileExists(const std::string& path);
// Creates the folder and its missing parents.
bool CreateDirectories(const std::string& path);
// Full path of the running program, and its folder.
std::string GetProgramPath();
std::string GetProgramDirectory();
// The folder separator of the system: '\\' on Windows, '/' on Linux.
char PathSeparator();

// Runs a program with the given arguments (argv[0] is the program's path),
// waits up to timeoutMs (product time) for it and reports its exit code.
// Returns false when it could not be started or did not end in time (it is
// then killed). workingDirectory empty: inherit. outputPath not empty: the
// program's standard output and standard error go to that file (created or
// emptied). environment: NAME=VALUE settings added for the program.
bool RunProcessAndWait(const std::vector<std::string>& argv, std::uint32_t timeoutMs,
                       std::uint32_t* exitCode, const std::string& workingDirectory = {},
                       const std::string& outputPath = {}, const std::vector<std::string>& environment = {});

// Runs a program by its path with a whole command line, as the driver tool is
// started: programPath names the program (so a folder with blanks needs no
// quoting to be found), commandLine is what the program receives, its first
// word the program (quoted or as programPath stands), unquoted arguments
// after it. Windows: CreateProcess with the program name; when the program's
// manifest requires administrator rights (ERROR_ELEVATION_REQUIRED) it is
// started again through the shell's "runas" verb, so the consent prompt
// appears, and waited for the same way. Linux: the words after the program
// are its arguments. Waits up to timeoutMs and reports the exit code; false
// when it could not be started (GetLastSystemError: the reason, 1223
// ERROR_CANCELLED when the user refused the prompt) or did not end in time.
bool RunCommandLineAndWait(const std::string& programPath, const std::string& commandLine, std::uint32_t timeoutMs,
                           std::uint32_t* exitCode);

// The part of a command line after its program: after a quoted first word,
// after programPath when the line starts with it, else after the first word.
// Leading blanks of the rest are dropped.
std::string CommandLineArguments(const std::string& commandLine, const std::string& programPath);

// True when a 32-bit program runs on 64-bit Windows (IsWow64Process, looked
// up by name in kernel32; a missing function counts as not). Always false on
// Linux.
bool IsWow64Process32On64();

// The user's local application-data folder, created when missing. Windows:
// SHGetFolderPathW(CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE). Linux:
// $XDG_DATA_HOME, else ~/.local/share. Returns the folder's status: 0, or the
// failure (HRESULT style).
HResult GetLocalAppDataFolder(std::wstring* folder);

// Wide and narrow paths: UTF-8 on Linux, the ANSI code page on Windows.
std::string WideToNarrowPath(const std::wstring& path);
std::wstring NarrowToWidePath(const std::string& path);

// A file created anew (an existing one is replaced) for reading and writing,
// shared with nobody while it is open (Windows; Linux has no sharing modes).
class CExclusiveFile
{
public:
    CExclusiveFile() = default;
    ~CExclusiveFile();
    CExclusiveFile(const CExclusiveFile&) = delete;
    CExclusiveFile& operator=(const CExclusiveFile&) = delete;

    bool Create(const std::wstring& path);
    bool IsOpen() const { return m_handle != kInvalid; }
    // The OS handle value, for log lines (all ones when not open).
    std::uintptr_t GetHandleValue() const { return m_handle; }
    // Writes everything in one call; false when not all bytes were written.
    bool Write(const void* data, std::size_t size, std::size_t* written);
    void Close();

private:
    static constexpr std::uintptr_t kInvalid = ~static_cast<std::uintptr_t>(0);
    std::uintptr_t m_handle = kInvalid;
};

// The process exit status for a 32-bit return code. Windows keeps all 32
// bits. Linux keeps 8: non-negative codes stay as they are, a negative code
// becomes 0x80 | (code & 0x7F).
int ToProcessExitStatus(std::int32_t returnCode);

// The error number of the last failed system call of this thread.
std::uint32_t GetLastSystemError();
