#include "platform/ProcessStats.h"

#include <dirent.h>
#include <sys/resource.h>

namespace
{
// Entries of a /proc folder, less "." and "..", and less the descriptor the
// listing itself holds when counting /proc/self/fd.
int CountEntries(const char* path, bool selfDescriptor)
{
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return selfDescriptor && count > 0 ? count - 1 : count;
}
} // namespace

bool GetProcessStats(SProcessStats* stats)
{
    if (stats == nullptr)
        return false;
    bool ok = true;
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        stats->peakResidentKiB = static_cast<std::uint64_t>(usage.ru_maxrss); // KiB on Linux
    else
        ok = false;
    stats->openHandles = CountEntries("/proc/self/fd", true);
    stats->threads = CountEntries("/proc/self/task", false);
    return ok && stats->openHandles >= 0 && stats->threads >= 0;
}
