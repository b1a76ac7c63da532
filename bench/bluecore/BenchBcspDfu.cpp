// Throughput of a firmware download over DFU over BCSP to the simulated
// BlueCore chip at 115200 baud, with and without a lossy link.
//
// Usage: bench-bcsp-dfu [--scale S] [--size BYTES] [--drop RATE] [--corrupt RATE]
// Times are product time (CClock); the default scale is 1.0 (real time, about a
// minute in all); a smaller scale makes the run shorter but lets the real
// cost of the threads weigh more in product time.
// The download phase (the WriteDFUPacket calls) is timed; link set-up,
// detach and the final manifestation are reported apart.
// The last line is "ratio R": loss-free firmware bytes per second / 11,520
// (the raw byte rate of a 115200-baud UART).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_DFUDownload.h"
#include "bcsp/BCSP_DFUUpgrade.h"
#include "bench/bluecore/BlueCoreChip.h"
#include "bench/bluecore/BlueCoreTransport.h"
#include "platform/Clock.h"

using namespace bluecore;

namespace
{
struct SResult
{
    bool ok = false;
    bool intact = false;
    double downloadSeconds = 0;
    double totalSeconds = 0;
    std::uint32_t timeouts = 0;
};

SResult Run(const std::vector<std::uint8_t>& image, const SLossConfig* loss)
{
    SChipConfig config;
    config.chipBaudRate = 115200;
    config.startMode = EChipMode::Dfu; // the download is measured; no detach needed
    CBlueCoreChip chip(config);
    CBlueCoreTransport transport(chip);
    SResult result;
    {
        CBCSP_DFUUpgrade dfu;
        if (IsFailure(dfu.Init(&transport)))
            return result;
        std::uint64_t begun = 0;
        std::uint64_t written = 0;
        SDFUDownloadHooks hooks;
        hooks.onBegun = [&]() {
            if (loss != nullptr)
                chip.SetLoss(*loss, *loss);
            begun = CClock::NowMs();
        };
        hooks.onBeforeEnd = [&]() {
            written = CClock::NowMs();
            chip.ClearLoss();
        };
        const std::uint64_t start = CClock::NowMs();
        const HResult hr = DownloadDFUImage(dfu, image.data(), image.size(), &hooks);
        const std::uint64_t end = CClock::NowMs();
        result.ok = hr == HR_OK;
        result.downloadSeconds = static_cast<double>(written - begun) / 1000.0;
        result.totalSeconds = static_cast<double>(end - start) / 1000.0;
    }
    result.intact = chip.FirmwareImage() == image;
    return result;
}

double Arg(int argc, char** argv, const char* name, double fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atof(argv[i + 1]);
    return fallback;
}
} // namespace

int main(int argc, char** argv)
{
    const double scale = Arg(argc, argv, "--scale", 1.0);
    const std::size_t size = static_cast<std::size_t>(Arg(argc, argv, "--size", 32768));
    SLossConfig loss;
    loss.dropRate = Arg(argc, argv, "--drop", 0.02);
    loss.corruptRate = Arg(argc, argv, "--corrupt", 0.02);
    loss.seed = 12345;
    CClock::SetTimeScale(scale);
    if (const char* log = std::getenv("BENCH_BCSP_LOG"))
        OpenLog(log);

    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 1;
    for (auto& b : image)
    {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }

    std::printf("bench-bcsp-dfu: image %zu bytes, 115200 baud, link paced in product time, time scale %.3g\n", size,
                scale);
    std::printf("(times below are product seconds; the download phase is BeginDFUUpgrade's end to the last block)\n");
    std::fflush(stdout);

    const SResult clean = Run(image, nullptr);
    const double cleanRate = clean.downloadSeconds > 0 ? static_cast<double>(size) / clean.downloadSeconds : 0;
    std::printf("loss-free: %s, image %s, download %.2f s = %.0f B/s, whole upgrade %.2f s\n",
                clean.ok ? "ok" : "FAILED", clean.intact ? "intact" : "NOT intact", clean.downloadSeconds, cleanRate,
                clean.totalSeconds);
    std::fflush(stdout);

    const SResult lossy = Run(image, &loss);
    const double lossyRate = lossy.downloadSeconds > 0 ? static_cast<double>(size) / lossy.downloadSeconds : 0;
    std::printf("lossy (drop %.1f%%, corrupt %.1f%% of reports each way): %s, image %s, download %.2f s = %.0f B/s, "
                "whole upgrade %.2f s\n",
                loss.dropRate * 100, loss.corruptRate * 100, lossy.ok ? "ok" : "FAILED",
                lossy.intact ? "intact" : "NOT intact", lossy.downloadSeconds, lossyRate, lossy.totalSeconds);
    CloseLog();
    std::printf("ratio %.3f\n", cleanRate / 11520.0);
    return clean.ok && clean.intact ? 0 : 1;
}
