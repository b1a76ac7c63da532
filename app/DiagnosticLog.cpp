#include "app/DiagnosticLog.h"

#include <atomic>
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

// One queued line, allocated to the size of its text: the record is followed
// by its length characters and a zero.
struct LogRecord
{
    LogRecord* next;
    std::size_t length;
};

char* TextOf(LogRecord* record)
{
    return reinterpret_cast<char*>(record + 1);
}

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

// Whether a log is open, readable without the queue lock: a line logged while
// none is open is dropped before it is formatted (library code logs a great
// deal where no program opened a log: the host interface, tests, fuzzers).
std::atomic<bool> g_logOpen{false};

void AppendDiskBytes(std::string& out, const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
    {
        if (text[i] == '\n')
            out += '\r';
        out += text[i];
    }
}

// Takes every queued record off the queue and writes it out, in append
// order. Only one thread flushes at a time (the writer, or CloseLog once the
// writer has stopped), so lines reach the file in the order they were queued;
// the queue lock is held only to take the records, never while writing, so
// callers of LogPrintf do not wait for the disk.
void FlushQueue(SLogState& s)
{
    LogRecord* records = nullptr;
    {
        CMutexLock lock(QueueMutex());
        records = s.head;
        s.head = nullptr;
        s.tail = nullptr;
    }
    if (records == nullptr)
        return;
    constexpr std::size_t kBatchBytes = 64 * 1024;
    std::string batch;
    batch.reserve(kBatchBytes + 2 * kTextSize);
    while (records != nullptr)
    {
        LogRecord* record = records;
        records = record->next;
        AppendDiskBytes(batch, TextOf(record), record->length);
        std::free(record);
        if (batch.size() >= kBatchBytes)
        {
            s.file.Write(batch.data(), batch.size());
            batch.clear();
        }
    }
    if (!batch.empty())
        s.file.Write(batch.data(), batch.size());
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

namespace
{
// The record of a message into buffer (kTextSize bytes); returns its length,
// at most kTextSize - 1.
std::size_t FormatRecordInto(char* buffer, const SLocalTime& t, const char* message)
{
    const int n = std::snprintf(buffer, kTextSize, "[%02d/%02d/%04d %02d:%02d:%02d:%03d] %s\r\n", t.day, t.month,
                                t.year, t.hour, t.minute, t.second, t.millisecond, message);
    if (n < 0)
    {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < kTextSize ? static_cast<std::size_t>(n) : kTextSize - 1;
}
} // namespace

std::string FormatLogRecord(const SLocalTime& t, const char* message)
{
    char record[kTextSize];
    const std::size_t length = FormatRecordInto(record, t, message);
    return std::string(record, length);
}

std::string ToDiskBytes(const char* record)
{
    std::string bytes;
    const std::size_t length = std::strlen(record);
    bytes.reserve(length + 16);
    AppendDiskBytes(bytes, record, length);
    return bytes;
}

namespace
{
// Opens the log with the file the caller opened (opener), then the events and
// the writer. Returns 0, or 0x80004005 with everything closed again.
template <typename Opener>
HResult OpenLogWith(Opener opener)
{
    SLogState& s = State();
    {
        CMutexLock lock(QueueMutex());
        if (!s.closed)
            return HR_OK;
    }
    if (!opener(s.file))
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
        g_logOpen.store(true);
    }
    LogPrintf("Start of Log - Utility Version %s\n", kUtilityVersion);
    return HR_OK;
}
} // namespace

HResult OpenLog(const char* fileName)
{
    return OpenLogWith([fileName](CLogFile& file) { return fileName != nullptr && file.Open(fileName); });
}

ENewLog OpenNewLog(const std::string& path)
{
    bool exists = false;
    bool created = false;
    const HResult hr = OpenLogWith([&](CLogFile& file) {
        created = file.CreateNew(path, &exists);
        return created;
    });
    if (hr == HR_OK)
        return ENewLog::Opened;
    if (created)
        DeleteFilePath(path); // ours, but no writer could be started for it
    return exists ? ENewLog::Exists : ENewLog::Failed;
}

void LogPrintf(const char* format, ...)
{
    // A line that races with OpenLog or CloseLog is dropped or kept, as the
    // queue lock below decides; one logged with no log open never costs more.
    if (!g_logOpen.load(std::memory_order_relaxed))
        return;
    char message[kTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    char record[kTextSize];
    const std::size_t length = FormatRecordInto(record, GetLocalTimeNow(), message);

    auto* entry = static_cast<LogRecord*>(std::malloc(sizeof(LogRecord) + length + 1));
    if (entry == nullptr)
        return; // out of memory: the line is dropped
    entry->next = nullptr;
    entry->length = length;
    std::memcpy(TextOf(entry), record, length);
    TextOf(entry)[length] = '\0';

    SLogState& s = State();
    CMutexLock lock(QueueMutex());
    if (s.closed)
    {
        std::free(entry);
        return;
    }
    // The writer is woken for the first line of an empty queue only: it
    // resets the event before it takes the queue, so every later line is
    // either taken with that batch or finds the queue empty again.
    const bool wasEmpty = s.head == nullptr;
    if (s.tail != nullptr)
        s.tail->next = entry;
    else
        s.head = entry;
    s.tail = entry;
    if (wasEmpty)
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
        g_logOpen.store(false);
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
