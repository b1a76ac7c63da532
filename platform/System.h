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
// then killed). workingDirectory empty: inherit.
bool RunProcessAndWait(const std::vector<std::string>& argv, std::uint32_t timeoutMs,
                       std::uint32_t* exitCode, const std::string& workingDirectory = {});

// The process exit status for a 32-bit return code. Windows keeps all 32
// bits. Linux keeps 8: non-negative codes stay as they are, a negative code
// becomes 0x80 | (code & 0x7F).
int ToProcessExitStatus(std::int32_t returnCode);

// The error number of the last failed system call of this thread.
std::uint32_t GetLastSystemError();
