// Benchmark (not a test): S37 analysis throughput of MemoryPatch on a file
// of 1 MiB of data, beside the time srec_cat (Debian's srecord) takes to
// read and check the same file. Build it in the release preset:
//
//   cmake --build --preset linux-release --target bench-cx-s37
//   build/linux-release/bin/bench-cx-s37 [--records-of N] [--runs N] [--no-log]
//
// The diagnostic log is open, as in the product, in a folder of the run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"
#include "platform/Clock.h"
#include "platform/System.h"

namespace
{
std::string Line(std::uint32_t address, const std::uint8_t* data, std::size_t n)
{
    char buf[600];
    const std::uint32_t count = static_cast<std::uint32_t>(n) + 5;
    int pos = std::snprintf(buf, sizeof buf, "S3%02X%08X", count, address);
    std::uint32_t sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
    for (std::size_t i = 0; i < n; ++i)
    {
        pos += std::snprintf(buf + pos, sizeof buf - pos, "%02X", data[i]);
        sum += data[i];
    }
    std::snprintf(buf + pos, sizeof buf - pos, "%02X\n", 0xFF - (sum & 0xFF));
    return buf;
}

// srec_cat's full path from PATH (the process runner does not search it).
std::string FindOnPath(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/bin";
    while (!rest.empty())
    {
        const std::size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        const std::filesystem::path candidate = std::filesystem::path(dir) / program;
        std::error_code ec;
        if (!dir.empty() && std::filesystem::exists(candidate, ec))
            return candidate.string();
    }
    return program;
}

double Seconds(std::uint64_t fromMs, std::uint64_t toMs)
{
    return static_cast<double>(toMs - fromMs) / 1000.0;
}
} // namespace

int main(int argc, char** argv)
{
    std::size_t perRecord = 32;
    int runs = 3;
    bool log = true;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        if (a == "--no-log")
        {
            log = false; // lines are still formatted, not queued or written
            continue;
        }
        if (i + 1 >= argc)
            break;
        if (a == "--records-of")
            perRecord = std::clamp<std::size_t>(std::strtoul(argv[i + 1], nullptr, 10), 1, 250);
        else if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        ++i;
    }
    const std::string folder = "bench-cx-s37";
    CreateDirectories(folder);
    const std::string file = folder + "/data-1MiB.s37";
    constexpr std::size_t kData = 1024 * 1024;
    {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        if (f == nullptr)
        {
            std::fprintf(stderr, "bench-cx-s37: cannot write %s\n", file.c_str());
            return 1;
        }
        std::vector<std::uint8_t> data(perRecord);
        std::uint32_t seed = 12345;
        for (std::size_t at = 0; at < kData; at += perRecord)
        {
            const std::size_t n = std::min(perRecord, kData - at);
            for (std::size_t i = 0; i < n; ++i)
            {
                seed = seed * 1103515245u + 12345u;
                data[i] = static_cast<std::uint8_t>(seed >> 16);
                if (data[i] == 0x4C)
                    data[i] = 0x4D;
            }
            const std::string line = Line(0x10000 + static_cast<std::uint32_t>(at), data.data(), n);
            std::fwrite(line.data(), 1, line.size(), f);
        }
        std::fputs("S70500000000FA\n", f);
        std::fclose(f);
    }

    if (log)
        OpenLog((folder + "/bench.log").c_str());
    CxAudioHidDevice* device = CreateCxChipObject(kCxChip2070x, SCxIdentityRecord(), SCxDeviceHandles());
    double best = 1e9;
    for (int r = 0; r < runs; ++r)
    {
        S37File result{};
        result.size = sizeof(result);
        const std::uint64_t start = CClock::NowMs();
        const int status = device->MemoryPatch(1, 0, file.c_str(), nullptr, 0, &result);
        const std::uint64_t end = CClock::NowMs();
        if (status != CXHID_STATUS_OK || result.totalDataBytes != kData)
        {
            std::fprintf(stderr, "bench-cx-s37: analysis gave %d (%s), %u data bytes\n", status, CxStatusText(status),
                         result.totalDataBytes);
            return 1;
        }
        best = std::min(best, std::max(Seconds(start, end), 0.001));
    }
    device->Release();
    CloseLog();
    const double ours = kData / 1e6 / best;
    std::printf("MemoryPatch analysis: %zu bytes of data in records of %zu, log %s, %.3f s, %.1f MB/s\n", kData,
                perRecord, log ? "open" : "closed", best, ours);

    double srecBest = 1e9;
    for (int r = 0; r < runs; ++r)
    {
        std::uint32_t exitCode = 1;
        const std::uint64_t start = CClock::NowMs();
        const bool ran = RunProcessAndWait({FindOnPath("srec_cat"), file, "-Motorola", "-o", folder + "/out.bin", "-Binary"},
                                           120000, &exitCode, {}, folder + "/srec_cat.txt");
        const std::uint64_t end = CClock::NowMs();
        if (!ran || exitCode != 0)
        {
            std::printf("srec_cat: not available or failed (install Debian's srecord); no ratio\n");
            return 0;
        }
        srecBest = std::min(srecBest, std::max(Seconds(start, end), 0.001));
    }
    const double theirs = kData / 1e6 / srecBest;
    std::printf("srec_cat read and check: %.3f s, %.1f MB/s\n", srecBest, theirs);
    std::printf("ratio %.2f\n", ours / theirs);
    return 0;
}
