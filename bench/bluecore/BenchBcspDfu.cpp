// Throughput of a firmware download over DFU over BCSP to the simulated
// BlueCore chip at 115200 baud, with and without a lossy link.
//
// Usage: bench-bcsp-dfu [--scale S] [--size BYTES] [--drop RATE] [--corrupt RATE]
//        bench-bcsp-dfu --system-hid VID:PID --image FILE [--scale S]
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
//
// With --system-hid VID:PID --image FILE it downloads FILE instead into the
// chip behind a real HID bridge of this machine (Linux: hidraw), for
// example the simulated chip that orvo-usb-device --family bluecore serves
// to a real kernel: the BCSP stack and the DFU requests are the code base's
// own, the bridge is reached through the platform's HID class and the Nembo
// HID helper, as a family upgrader would reach it. Exits 0 only when the
// download, its last block and the manifestation were confirmed by the chip.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_DFUDownload.h"
#include "bcsp/BCSP_DFUUpgrade.h"
#include "bench/bluecore/BlueCoreChip.h"
#include "bench/bluecore/BlueCoreTransport.h"
#include "bcsp/NemboHIDHelper.h"
#include "platform/Clock.h"
#include "platform/HidSystem.h"

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

const char* TextArg(int argc, char** argv, const char* name)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return nullptr;
}

// The first HID interface of the system with this identity.
bool FindBridge(IHidSystem& system, std::uint16_t vendorId, std::uint16_t productId, std::wstring* path)
{
    std::vector<std::wstring> paths;
    if (system.EnumerateInterfaces(paths) != EHidResult::Ok)
        return false;
    for (const std::wstring& candidate : paths)
    {
        SHidOpenOptions options;
        options.access = kHidAccessNone;
        CHidDevicePtr device;
        SHidAttributes attributes;
        if (system.Open(candidate, options, device) == EHidResult::Ok &&
            device->GetAttributes(attributes) == EHidResult::Ok && attributes.vendorId == vendorId &&
            attributes.productId == productId)
        {
            *path = candidate;
            return true;
        }
    }
    return false;
}

// --system-hid VID:PID --image FILE: one download through the system's HID class.
int RunOnSystemHid(const char* identity, const char* imagePath)
{
    unsigned vendorId = 0, productId = 0;
    char extra = 0;
    if (std::sscanf(identity, "%x:%x%c", &vendorId, &productId, &extra) != 2 || vendorId > 0xFFFF ||
        productId > 0xFFFF)
    {
        std::fprintf(stderr, "bench-bcsp-dfu: --system-hid takes VID:PID in hexadecimal, not %s\n", identity);
        return 2;
    }
    if (imagePath == nullptr)
    {
        std::fprintf(stderr, "bench-bcsp-dfu: --system-hid needs --image FILE\n");
        return 2;
    }
    std::ifstream in(imagePath, std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
    {
        std::fprintf(stderr, "bench-bcsp-dfu: cannot read %s\n", imagePath);
        return 2;
    }
    std::unique_ptr<IHidSystem> system = CreateSystemHid();
    std::wstring path;
    if (!system || !FindBridge(*system, static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId),
                               &path))
    {
        std::fprintf(stderr, "bench-bcsp-dfu: no HID interface %04X:%04X on this machine\n", vendorId, productId);
        return 3;
    }
    std::printf("bench-bcsp-dfu: %zu bytes to the BlueCore chip behind %04X:%04X (%ls)\n", image.size(), vendorId,
                productId, path.c_str());
    std::fflush(stdout);
    HResult hr = HR_FAIL;
    {
        CNemboHIDHelper bridge(*system);
        hr = bridge.Open(path);
        if (IsFailure(hr))
        {
            std::fprintf(stderr, "bench-bcsp-dfu: cannot open %ls (hRes %08x)\n", path.c_str(),
                         static_cast<unsigned>(hr));
            return 3;
        }
        CBCSP_DFUUpgrade dfu;
        hr = dfu.Init(&bridge);
        if (!IsFailure(hr))
        {
            int lastTenth = -1;
            SDFUDownloadHooks hooks;
            hooks.onProgress = [&lastTenth](std::size_t done, std::size_t total) {
                const int tenth = total == 0 ? 10 : static_cast<int>(done * 10 / total);
                if (tenth != lastTenth)
                    std::printf("bench-bcsp-dfu: %zu of %zu bytes\n", done, total);
                lastTenth = tenth;
                std::fflush(stdout);
            };
            const std::uint64_t start = CClock::NowMs();
            hr = DownloadDFUImage(dfu, image.data(), image.size(), &hooks);
            std::printf("bench-bcsp-dfu: download %s after %llu ms\n", IsFailure(hr) ? "failed" : "done",
                        static_cast<unsigned long long>(CClock::NowMs() - start));
        }
        bridge.Close();
    }
    std::printf("bench-bcsp-dfu: hRes %08x\n", static_cast<unsigned>(hr));
    return IsFailure(hr) ? 1 : 0;
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
    if (const char* identity = TextArg(argc, argv, "--system-hid"))
    {
        const int status = RunOnSystemHid(identity, TextArg(argc, argv, "--image"));
        CloseLog();
        return status;
    }

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
