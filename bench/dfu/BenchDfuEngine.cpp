// Benchmark of the DFU engine's download against a simulated device: the time
// a 1 MiB image takes, compared with the least time the device allows (the
// sum of its poll time-outs and simulated transfer times). The last line is
// "dfu-ratio R", R = measured / minimum.
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

int main()
{
    CClock::SetTimeScale(1.0);
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
    std::shared_ptr<CSimDfuDevice> device = bus->AddDevice(config);
    DFUEngine::InitDLL(bus);

    CStringListX names;
    if (DFUEngine::GetUSBDeviceNames(names) != 1)
    {
        std::printf("no simulated device\n");
        return 1;
    }
    CStringListX::POSITION pos = names.GetHeadPosition();
    const CStringX name = names.GetNext(pos);

    DFUEngine engine;
    CWaiter waiter;
    engine.SetCallback(&waiter);
    if (!engine.CreateUSB(name.c_str()))
    {
        std::printf("CreateUSB failed\n");
        return 1;
    }
    const std::wstring widePath = Widen(path);
    device->ResetStatistics();
    const std::uint64_t start = CClock::NowMs();
    HResult result = HR_FAIL;
    if (!engine.StartDownload(widePath.c_str()) || !waiter.Wait(&result) || IsFailure(result))
    {
        std::printf("download failed, hRes[%08x], device state %u status %u, %d blocks, %d early polls\n", static_cast<unsigned>(result), device->State(), device->Status(), device->BlocksReceived(), device->EarlyPolls());
        return 1;
    }
    const double measured = static_cast<double>(CClock::NowMs() - start);
    const double minimum = device->MinimumDownloadMs();
    DeleteFilePath(path);

    std::printf("image %zu bytes, wTransferSize %u, bwPollTimeout %u ms, %.2f ms per KiB\n", image.size(),
                config.wTransferSize, config.pollTimeoutMs, config.transferMsPerKiB);
    std::printf("blocks %d, early polls %d\n", device->BlocksReceived(), device->EarlyPolls());
    std::printf("measured %.1f ms, device minimum %.1f ms\n", measured, minimum);
    std::printf("dfu-ratio %.4f\n", minimum > 0.0 ? measured / minimum : 0.0);
    return 0;
}
