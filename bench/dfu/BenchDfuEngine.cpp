// Benchmark of the DFU engine's download against a simulated device: the time
// a 1 MiB image takes, compared with the least time the device allows (the
// sum of its poll time-outs and simulated transfer times). The last line is
// "dfu-ratio R", R = measured / minimum.
//
// With --libusb VVVV:PPPP the engine drives that device through the system's
// USB stack instead (libusb; in the kernel tier a simulated device served
// over USB/IP, whose server reports the least time): the last line is then
// "dfu-measured-ms M".
#include <cstdio>
#include <string>
#include <vector>

#include "bench/dfu/SimDfuBus.h"
#include "dfu/DFUEngine.h"
#include "dfu/DfuFile.h"
#include "platform/Clock.h"
#include "platform/DfuTransport.h"
#include "platform/Sync.h"
#include "platform/System.h"

namespace
{
class CWaiter : public DFUEngine::Callback
{
public:
    CWaiter() { m_done.Create(false, false); }
    void Complete(DFUEngine*, const DFUEngine::ProgressRecord& record) override
    {
        m_result = record.result;
        m_done.Set();
    }
    bool Wait(HResult* result)
    {
        const bool ok = m_done.Wait(600000) == EWaitResult::Signalled;
        *result = m_result;
        return ok;
    }

private:
    CEvent m_done;
    HResult m_result = HR_FAIL;
};

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}
} // namespace

int main(int argc, char** argv)
{
    CClock::SetTimeScale(1.0);
    unsigned vendor = 0, product = 0;
    const bool system = argc == 3 && std::string(argv[1]) == "--libusb" &&
                        std::sscanf(argv[2], "%x:%x", &vendor, &product) == 2;
    if (argc > 1 && !system)
    {
        std::printf("usage: bench-dfu-engine [--libusb VVVV:PPPP]\n");
        return 2;
    }
    const std::size_t imageSize = 1024 * 1024;
    std::vector<std::uint8_t> image(imageSize - kDfuSuffixLength);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>((i * 131u) ^ (i >> 9));
    AppendDfuSuffix(image, 0xFFFF, 0xFFFF, 0xFFFF);

    const std::string path = GetWorkingDirectory() + PathSeparator() + "bench-dfu-engine.dfu";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(image.data(), 1, image.size(), file) != image.size())
    {
        std::printf("cannot write %s\n", path.c_str());
        if (file)
            std::fclose(file);
        return 1;
    }
    std::fclose(file);

    SSimDfuConfig config;
    config.wTransferSize = 4096;
    config.pollTimeoutMs = 2;
    config.transferMsPerKiB = 1.0; // about 1 MB/s, a full-speed control pipe
    auto bus = std::make_shared<CSimDfuBus>();
    std::shared_ptr<CSimDfuDevice> device;
    if (system)
        DFUEngine::InitDLL(CreateLibusbDfuTransportFactory());
    else
    {
        device = bus->AddDevice(config);
        DFUEngine::InitDLL(bus);
    }

    CStringListX names;
    DFUEngine::GetUSBDeviceNames(names);
    CStringX name;
    for (CStringListX::POSITION pos = names.GetHeadPosition(); pos != 0;)
    {
        const CStringX candidate = names.GetNext(pos);
        std::uint16_t v = 0, p = 0;
        if (!system || (ParseDfuDeviceName(candidate.c_str(), &v, &p, nullptr) && v == vendor && p == product))
        {
            name = candidate;
            break;
        }
    }
    if (name.GetLength() == 0)
    {
        std::printf("no DFU device%s\n", system ? " with those identifiers" : "");
        return 1;
    }

    DFUEngine engine;
    CWaiter waiter;
    engine.SetCallback(&waiter);
    if (!engine.CreateUSB(name.c_str()))
    {
        std::printf("CreateUSB failed\n");
        return 1;
    }
    const std::wstring widePath = Widen(path);
    if (device)
        device->ResetStatistics();
    const std::uint64_t start = CClock::NowMs();
    HResult result = HR_FAIL;
    if (!engine.StartDownload(widePath.c_str()) || !waiter.Wait(&result) || IsFailure(result))
    {
        std::printf("download failed, hRes[%08x]\n", static_cast<unsigned>(result));
        if (device)
            std::printf("device state %u status %u, %d blocks, %d early polls\n", device->State(), device->Status(),
                        device->BlocksReceived(), device->EarlyPolls());
        return 1;
    }
    const double measured = static_cast<double>(CClock::NowMs() - start);
    if (system)
    {
        DeleteFilePath(path);
        std::printf("image %zu bytes through the system's USB stack to %ls\n", image.size(), name.c_str());
        std::printf("dfu-measured-ms %.1f\n", measured);
        return 0;
    }
    const double minimum = device->MinimumDownloadMs();
    DeleteFilePath(path);

    std::printf("image %zu bytes, wTransferSize %u, bwPollTimeout %u ms, %.2f ms per KiB\n", image.size(),
                config.wTransferSize, config.pollTimeoutMs, config.transferMsPerKiB);
    std::printf("blocks %d, early polls %d\n", device->BlocksReceived(), device->EarlyPolls());
    std::printf("measured %.1f ms, device minimum %.1f ms\n", measured, minimum);
    std::printf("dfu-ratio %.4f\n", minimum > 0.0 ? measured / minimum : 0.0);
    return 0;
}
