// Throughput of a firmware download over DFU over BCSP to the simulated
// BlueCore chip at 115200 baud, with and without a lossy link.
//
// Usage: bench-bcsp-dfu [--scale S] [--size BYTES] [--drop RATE] [--corrupt RATE]
// Times are product time (CClock); the default scale is 1.0 (real time, about a
// minute in all); a smaller scale makes the run shorter but lets the real
// cost of the threads weigh more in product time.
// The download phase (the WriteDFUPacket calls) is timed; link set-up,
// detach and the final manifestation are reported apart.
// Runs the default chip and a chip that acknowledges only on its replies,
// each loss-free and lossy. The last lines are "ratio R" (the default chip's
// loss-free firmware bytes per second / 11,520, the raw byte rate of a
// 115200-baud UART) and "loss-ratio L" (its lossy rate / its loss-free
// rate). Exits with 1 when any run failed or left the image not intact.
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
    std::uint32_t chipResends = 0;
};

SResult Run(const SChipConfig& chipConfig, const std::vector<std::uint8_t>& image, const SLossConfig* loss)
{
    SChipConfig config = chipConfig;
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
        result.downloadSeconds = written > begun ? static_cast<double>(written - begun) / 1000.0 : 0;
        result.totalSeconds = static_cast<double>(end - start) / 1000.0;
        result.timeouts = dfu.Stack().Sequencing().TimerRetransmissions();
    }
    result.intact = chip.FirmwareImage() == image;
    result.chipResends = chip.Stats().timerResends;
    return result;
}

double Rate(const SResult& r, std::size_t size)
{
    return r.ok && r.downloadSeconds > 0 ? static_cast<double>(size) / r.downloadSeconds : 0;
}

// One chip, loss-free and lossy: prints both and returns their rates.
bool RunChip(const char* name, const SChipConfig& config, const std::vector<std::uint8_t>& image,
             const SLossConfig& loss, double* cleanRate, double* lossyRate)
{
    const SResult clean = Run(config, image, nullptr);
    *cleanRate = Rate(clean, image.size());
    std::printf("%s, loss-free: %s, image %s, download %.2f s = %.0f B/s, whole upgrade %.2f s, %u timer "
                "retransmissions\n",
                name, clean.ok ? "ok" : "FAILED", clean.intact ? "intact" : "NOT intact", clean.downloadSeconds,
                *cleanRate, clean.totalSeconds, clean.timeouts);
    std::fflush(stdout);
    const SResult lossy = Run(config, image, &loss);
    *lossyRate = Rate(lossy, image.size());
    std::printf("%s, lossy (drop %.1f%%, corrupt %.1f%% of reports each way): %s, image %s, download %.2f s = %.0f B/s, "
                "whole upgrade %.2f s, %u timer retransmissions, the chip's timer resent %u times\n",
                name, loss.dropRate * 100, loss.corruptRate * 100, lossy.ok ? "ok" : "FAILED",
                lossy.intact ? "intact" : "NOT intact", lossy.downloadSeconds, *lossyRate, lossy.totalSeconds,
                lossy.timeouts, lossy.chipResends);
    std::fflush(stdout);
    return clean.ok && clean.intact && lossy.ok && lossy.intact;
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

    // The default chip acknowledges with acknowledgement-only packets; the
    // strict one only in the header of its replies.
    SChipConfig strict;
    strict.ackStyle = EAckStyle::Piggyback;
    double clean = 0, lossy = 0, strictClean = 0, strictLossy = 0;
    bool ok = RunChip("default chip", SChipConfig(), image, loss, &clean, &lossy);
    ok = RunChip("chip acknowledging on its replies", strict, image, loss, &strictClean, &strictLossy) && ok;
    CloseLog();
    std::printf("chip acknowledging on its replies: ratio %.3f, loss-ratio %.3f\n", strictClean / 11520.0,
                strictClean > 0 ? strictLossy / strictClean : 0.0);
    std::printf("ratio %.3f\n", clean / 11520.0);
    std::printf("loss-ratio %.3f\n", clean > 0 ? lossy / clean : 0.0);
    return ok ? 0 : 1;
}
