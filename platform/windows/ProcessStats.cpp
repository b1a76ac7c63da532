#include "platform/ProcessStats.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

bool GetProcessStats(SProcessStats* stats)
{
    if (stats == nullptr)
        return false;
    bool ok = true;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        stats->peakResidentKiB = counters.PeakWorkingSetSize / 1024;
    else
        ok = false;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        stats->openHandles = static_cast<int>(handles);
    else
        ok = false;

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    const DWORD self = GetCurrentProcessId();
    int threads = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    {
        if (entry.th32OwnerProcessID == self)
            ++threads;
        entry.dwSize = sizeof(entry);
    }
    CloseHandle(snapshot);
    stats->threads = threads;
    return ok;
}
