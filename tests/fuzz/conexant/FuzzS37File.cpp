// A whole S37 file: read from disk as a text file and analysed, and its
// lines handed over in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxPatch.h"
#include "platform/Clock.h"

namespace
{
// The file lives in memory (a memfd, opened by its /proc path as any file
// is): a file on the disk cost more than the analysis itself in truncating
// and writing it for every input.
int MemoryFile()
{
    static const int fd = memfd_create("fuzz_cx_s37", MFD_CLOEXEC);
    return fd;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/proc/self/fd/" + std::to_string(MemoryFile());
    // Writes pause between records and wait for the chip: no real time at all
    // (at a ten-thousandth each pause still slept half a millisecond, most of
    // the time of a run).
    static const bool scaled = (CClock::SetTimeScale(1e-7), true);
    (void)scaled;
    // Chips without a device behind them: the checks against the chip run,
    // the first report fails.
    static CxAudioHidDevice* cx20562 = CreateCxChipObject(kCxChip20562, SCxIdentityRecord(), SCxDeviceHandles());
    static CxAudioHidDevice* cx2070x = CreateCxChipObject(kCxChip2070x, SCxIdentityRecord(), SCxDeviceHandles());
    if (size > 64 * 1024)
        return 0;
    const int fd = MemoryFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        return 0;

    // The analysis, with and without a chip.
    S37File file{};
    file.size = sizeof(file);
    const std::uint32_t memoryType = size > 0 ? data[0] % 2 : 0;
    const int status = cx20562->MemoryPatch(memoryType, 0, path.c_str(), nullptr, 0, &file);
    if (status < 0 || status > kCxStatusLast || file.size != sizeof(file))
        __builtin_trap();
    if (file.chipFamily < 0 || file.chipFamily > 3 || file.fileType < 0 || file.fileType > 4)
        __builtin_trap();
    S37File offline{};
    offline.size = sizeof(offline);
    if (CxAnalyseS37(memoryType, path.c_str(), nullptr, 0, &offline) != status ||
        std::memcmp(&offline, &file, sizeof(file)) != 0)
        __builtin_trap(); // the analysis needs no chip and gives the same
    if (status == 0 && file.totalDataBytes > 0 && file.s7Records == 0)
        __builtin_trap(); // a file without its termination record passed
    // A NUL before the end of the text (Ctrl-Z ends a text file) hides the
    // rest of its line: such a file is malformed.
    const void* textEnd = std::memchr(data, 0x1A, size);
    const std::size_t textSize = textEnd != nullptr ? static_cast<const std::uint8_t*>(textEnd) - data : size;
    if (status == 0 && std::memchr(data, 0, textSize) != nullptr)
        __builtin_trap();

    // The same bytes as lines in memory.
    std::vector<std::string> lines;
    const char* text = reinterpret_cast<const char*>(data);
    for (std::size_t start = 0; start < size;)
    {
        const void* newline = std::memchr(text + start, '\n', size - start);
        const std::size_t end = newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - text) + 1 : size;
        lines.emplace_back(text + start, end - start);
        start = end;
    }
    std::vector<const char*> pointers;
    for (const auto& l : lines)
        pointers.push_back(l.c_str());
    if (!pointers.empty())
    {
        // Written and verified: every check before the first report, which fails without a device.
        for (CxAudioHidDevice* device : {cx20562, cx2070x})
        {
            SCxPatchStatistics stats{};
            stats.size = sizeof(stats);
            const std::uint32_t options = 0x23 | (size > 1 && (data[1] & 1) ? kCxPatchAllowMagicBytes : 0u);
            const int s = device->MemoryPatch(size > 1 ? data[1] % 4 : 1, options, nullptr, pointers.data(),
                                              static_cast<std::uint32_t>(pointers.size()), &stats);
            if (s < 0 || s > kCxStatusLast || stats.bytesDone != 0)
                __builtin_trap();
        }
    }
    return 0;
}
