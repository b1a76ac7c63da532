#include "platform/ProcessStats.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

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
    // VmHWM, the high-water mark of this program's memory. (getrusage's
    // ru_maxrss would also count the process image before execve, such as a
    // large parent that forked it.)
    bool ok = false;
    if (std::FILE* status = std::fopen("/proc/self/status", "r"))
    {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr)
        {
            unsigned long long kib = 0;
            if (std::strncmp(line, "VmHWM:", 6) == 0 && std::sscanf(line + 6, "%llu", &kib) == 1)
            {
                stats->peakResidentKiB = kib;
                ok = true;
                break;
            }
        }
        std::fclose(status);
    }
    stats->openHandles = CountEntries("/proc/self/fd", true);
    stats->threads = CountEntries("/proc/self/task", false);
    return ok && stats->openHandles >= 0 && stats->threads >= 0;
}
