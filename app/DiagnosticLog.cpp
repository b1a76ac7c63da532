#include "app/DiagnosticLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/LogFile.h"
#include "platform/Sync.h"
#include "platform/System.h"
#include "platform/Thread.h"

namespace
{
constexpr std::size_t kTextSize = 4096; // at most 4,095 characters and the zero

struct LogRecord
{
    char text[kTextSize];
    LogRecord* next;
};

// The queue lock lives as long as the process, so a LogPrintf racing with
// CloseLog on another thread always finds it and sees the log closed.
CMutex& QueueMutex()
{
    static CMutex* mutex = new CMutex; // never destroyed: late loggers may still use it
    return *mutex;
}

struct SLogState
{
    // Guarded by the queue mutex.
    bool closed = true;
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;

    // Owned by OpenLog/CloseLog (one caller at a time) and the writer.
    CLogFile file;
    CThread writer;
    CEvent stopRequest;
    CEvent writerStopped;
    CEvent dataQueued;
};

SLogState& State()
{
    static SLogState* state = new SLogState;
    return *state;
}

void WriteRecord(CLogFile& file, const char* text)
{
    const std::string bytes = ToDiskBytes(text);
    file.Write(bytes.data(), bytes.size());
}

// Writes out and frees every queued record. Holds the queue mutex throughout,
// so lines reach the file in append order.
void FlushQueue(SLogState& s)
{
    CMutexLock lock(QueueMutex());
    while (s.head != nullptr)
    {
        LogRecord* record = s.head;
        s.head = record->next;
        WriteRecord(s.file, record->text);
        std::free(record);
    }
    s.tail = nullptr;
    s.file.Flush();
}

std::uint32_t WriterThread(SLogState& s)
{
    const CEvent* events[] = {&s.stopRequest, &s.dataQueued};
    for (;;)
    {
        const int which = CEvent::WaitAny(events, 2, kInfinite);
        if (which == 1)
        {
            s.dataQueued.Reset();
            FlushQueue(s);
            continue;
        }
        FlushQueue(s); // stop request, or the wait failed
        break;
    }
    s.writerStopped.Set();
    return 0;
}
} // namespace

std::string FormatLogRecord(const SLocalTime& t, const char* message)
{
    char record[kTextSize];
    std::snprintf(record, sizeof record, "[%02d/%02d/%04d %02d:%02d:%02d:%03d] %s\r\n", t.day, t.month, t.year, t.hour,
                  t.minute, t.second, t.millisecond, message);
    return record;
}

std::string ToDiskBytes(const char* record)
{
    std::string bytes;
    bytes.reserve(std::strlen(record) + 16);
    for (const char* p = record; *p != '\0'; ++p)
    {
        if (*p == '\n')
            bytes += '\r';
        bytes += *p;
    }
    return bytes;
}

HResult OpenLog(const char* fileName)
{
    SLogState& s = State();
    {
        CMutexLock lock(QueueMutex());
        if (!s.closed)
            return HR_OK;
    }
    if (fileName == nullptr || !s.file.Open(fileName))
        return HR_FAIL;
    if (!s.stopRequest.Create(true, false) || !s.writerStopped.Create(true, false) || !s.dataQueued.Create(true, false))
    {
        s.file.Close();
        return HR_FAIL;
    }
    if (!s.writer.Start([&s] { return WriterThread(s); }))
    {
        s.file.Close();
        s.stopRequest.Close();
        s.writerStopped.Close();
        s.dataQueued.Close();
        return HR_FAIL;
    }
    {
        CMutexLock lock(QueueMutex());
        s.closed = false;
    }
    LogPrintf("Start of Log - Utility Version %s\n", kUtilityVersion);
    return HR_OK;
}

void LogPrintf(const char* format, ...)
{
    char message[kTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    const std::string record = FormatLogRecord(GetLocalTimeNow(), message);

    auto* entry = static_cast<LogRecord*>(std::calloc(1, sizeof(LogRecord)));
    if (entry == nullptr)
        return; // out of memory: the line is dropped
    std::memcpy(entry->text, record.data(), record.size() < kTextSize ? record.size() : kTextSize - 1);

    SLogState& s = State();
    CMutexLock lock(QueueMutex());
    if (s.closed)
    {
        std::free(entry);
        return;
    }
    if (s.tail != nullptr)
        s.tail->next = entry;
    else
        s.head = entry;
    s.tail = entry;
    s.dataQueued.Set();
}

void CloseLog()
{
    SLogState& s = State();
    if (!s.writer.IsValid())
        return;
    {
        // From here on new lines are dropped; everything queued so far is written.
        CMutexLock lock(QueueMutex());
        s.closed = true;
    }
    if (s.writer.IsRunning())
    {
        s.stopRequest.Set();
        s.writerStopped.Wait(kInfinite);
    }
    s.writer.Wait(kInfinite);
    FlushQueue(s);
    s.file.Close();
    s.writer.Close();
    s.stopRequest.Close();
    s.writerStopped.Close();
    s.dataQueued.Close();
}
