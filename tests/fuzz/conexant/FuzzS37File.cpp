// A whole S37 file: read from disk as a text file and analysed, and its
// lines handed over in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "conexant/CxAudioHidDevice.h"
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
    static CxAudioHidDevice* device = CreateCxChipObject(kCxChip20562, SCxIdentityRecord(), SCxDeviceHandles());
    if (size > 64 * 1024)
        return 0;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    S37File file{};
    file.size = sizeof(file);
    const std::uint32_t memoryType = size > 0 ? data[0] % 2 : 0;
    const int status = device->MemoryPatch(memoryType, 0, path.c_str(), nullptr, 0, &file);
    if (status < 0 || status > kCxStatusLast || file.size != sizeof(file))
        __builtin_trap();
    if (file.chipFamily < 0 || file.chipFamily > 3 || file.fileType < 0 || file.fileType > 4)
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
        SCxPatchStatistics stats{};
        stats.size = sizeof(stats);
        // Writing reaches no device: memory access fails without one.
        const int s = device->MemoryPatch(1, 0x21, nullptr, pointers.data(), static_cast<std::uint32_t>(pointers.size()), &stats);
        if (s < 0 || s > kCxStatusLast)
            __builtin_trap();
    }
    return 0;
}
