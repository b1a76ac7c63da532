#pragma once
// The diagnostic log: a printf-style call that any thread may make. Each line
// is stamped with the local time of the call and queued; a writer thread
// appends the queued lines to the file in the order their appends took the
// queue lock. LF bytes reach the disk as CR LF on every platform.
//
// While no log is open (before OpenLog, after a failed open, after CloseLog)
// LogPrintf drops the line; it never blocks on a log that is not there.

#include <string>

#include "platform/System.h"
#include "platform/Types.h"

// Opens the log file (created or emptied). 0 on success or when a log is
// already open; 0x80004005 when the file or the writer could not be set up.
HResult OpenLog(const char* fileName);

// Opens the log in a file that does not exist yet, created exclusively: an
// existing file of that name (another run's log) is never opened, emptied,
// appended to or deleted. Exists: the name is taken; Failed: the folder
// cannot take the file (or the writer could not be set up). Opened also when
// a log is already open.
enum class ENewLog
{
    Opened,
    Exists,
    Failed,
};
ENewLog OpenNewLog(const std::string& path);

void LogPrintf(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);

// Stops the writer after it wrote every queued line, then closes the file.
void CloseLog();

// The record that LogPrintf queues for a message, without the time stamp's
// source: exposed for tests and for the fuzzer.
std::string FormatLogRecord(const SLocalTime& time, const char* message);

// The bytes a record becomes on disk (LF -> CR LF).
std::string ToDiskBytes(const char* record);

// The program's version text, first line of every log.
constexpr const char* kUtilityVersion = ORVO_VERSION_TEXT;
