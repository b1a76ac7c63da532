// A whole S37 file: read from disk as a text file and analysed, and its
// lines handed over in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxPatch.h"
#include "platform/Clock.h"

namespace
{
std::string TempFile()
{
    char name[] = "/tmp/fuzz_cx_s37_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    static std::string path = name;
    std::atexit([] { std::remove(path.c_str()); });
    return name;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = TempFile();
    // Writes pause between records; the fuzzer runs them at test speed.
    static const bool scaled = (CClock::SetTimeScale(0.0001), true);
    (void)scaled;
    // Chips without a device behind them: the checks against the chip run,
    // the first report fails.
    static CxAudioHidDevice* cx20562 = CreateCxChipObject(kCxChip20562, SCxIdentityRecord(), SCxDeviceHandles());
    static CxAudioHidDevice* cx2070x = CreateCxChipObject(kCxChip2070x, SCxIdentityRecord(), SCxDeviceHandles());
    if (size > 64 * 1024)
        return 0;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

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
    std::string current;
    for (std::size_t i = 0; i < size; ++i)
    {
        current.push_back(static_cast<char>(data[i]));
        if (data[i] == '\n')
        {
            lines.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        lines.push_back(current);
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
