// The Nembo HID helper as the BCSP transport, over the bench USB world with
// the simulated chip as the HID bridge's model.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "bcsp/BCSP_DFUDownload.h"
#include "bcsp/BCSP_DFUUpgrade.h"
#include "bcsp/NemboHIDHelper.h"
#include "bench/bluecore/BlueCoreHidModel.h"
#include "bench/usb/BenchUsbWorld.h"
#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/TestSupport.h"
#include "tests/bcsp/BcspTestSupport.h"

using namespace bluecore;

namespace
{
struct SWorld
{
    explicit SWorld(SChipConfig config = SChipConfig())
    {
        config.pacing = false;
        chip = std::make_shared<CBlueCoreChip>(config);
        const BenchId hc = world.AddHostController();
        device = world.Plug(world.RootHub(hc), 1, MakeBlueCoreBridgeDevice(chip));
    }
    CTimeScale scale{kDfuTestTimeScale}; // the link set-up's waits need their margin here too
    CBenchUsbWorld world;
    std::shared_ptr<CBlueCoreChip> chip;
    BenchId device = 0;
};
} // namespace

TEST(NemboHIDHelperTest, DownloadsAnImageThroughTheBridge)
{
    CCapturedLog log;
    SWorld w;
    CNemboHIDHelper helper(w.world);
    ASSERT_EQ(helper.Open(w.world.HidInterfacePath(w.device)), HR_OK);
    std::vector<std::uint8_t> image(3000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    {
        CBCSP_DFUUpgrade dfu;
        ASSERT_EQ(dfu.Init(&helper), HR_OK);
        EXPECT_EQ(DownloadDFUImage(dfu, image.data(), image.size()), HR_OK);
    }
    EXPECT_EQ(w.chip->FirmwareImage(), image);
    EXPECT_EQ(w.chip->Mode(), EChipMode::Runtime);
    helper.Close();
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);
}

TEST(NemboHIDHelperTest, BaudRatesAndReportsOutsideAStack)
{
    SWorld w;
    CNemboHIDHelper helper(w.world);
    EXPECT_EQ(helper.Open(L"\\\\?\\hid#vid_0000&pid_0000#none#{4d1e55b2-f16f-11cf-88cb-001111000030}"), HR_FAIL);
    ASSERT_EQ(helper.Open(w.world.HidInterfacePath(w.device)), HR_OK);
    EXPECT_FALSE(helper.SetBaudRate(9600));
    EXPECT_TRUE(w.chip->Stats().baudRequests.empty());
    EXPECT_TRUE(helper.SetBaudRate(57600));
    EXPECT_EQ(w.chip->BridgeBaudRate(), 57600u);
    EXPECT_TRUE(helper.SetBaudRate(38400));
    EXPECT_EQ(w.chip->Stats().baudRequests, (std::vector<std::uint32_t>{57600, 38400}));
    // No byte layer linked: an input report goes nowhere.
    const std::uint8_t report[32] = {1, 0, 0x28, 2, 0xC0, 0xC0};
    EXPECT_FALSE(helper.ReceiveReport(report, sizeof(report)));
    // A chunk reaches the chip as a data-out report.
    const std::uint8_t chunk[3] = {0xC0, 0x00, 0xC0};
    EXPECT_TRUE(helper.SendChunk(chunk, sizeof(chunk)));
    EXPECT_FALSE(helper.SendChunk(chunk, 61));
    EXPECT_EQ(w.chip->Stats().outputReports, 1u);
}

TEST(NemboHIDHelperTest, UnpluggedBridgeFailsWritesAndEndsTheReader)
{
    SWorld w;
    CNemboHIDHelper helper(w.world);
    ASSERT_EQ(helper.Open(w.world.HidInterfacePath(w.device)), HR_OK);
    ASSERT_TRUE(w.world.Unplug(w.device));
    const std::uint8_t chunk[3] = {0xC0, 0x00, 0xC0};
    EXPECT_FALSE(helper.SendChunk(chunk, sizeof(chunk)));
    EXPECT_FALSE(helper.SetBaudRate(115200));
    helper.Close(); // joins the reader, which saw the device go
    EXPECT_FALSE(helper.IsOpen());
}

TEST(NemboHIDHelperTest, ClosingTheBridgeWhileTheStackSendsFailsTheDownloadAndUnlinksIt)
{
    // Threads: the download in a thread of its own, the stack's multiplexer
    // writing blocks through the helper, the helper's reader, and this thread
    // closing the helper in the middle of it all.
    SChipConfig config;
    config.startMode = EChipMode::Dfu;
    SWorld w(config);
    CNemboHIDHelper helper(w.world);
    ASSERT_EQ(helper.Open(w.world.HidInterfacePath(w.device)), HR_OK);
    std::vector<std::uint8_t> image(40 * 1023);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    CBCSP_DFUUpgrade dfu;
    ASSERT_EQ(dfu.Init(&helper), HR_OK);
    CEvent progressed;
    ASSERT_TRUE(progressed.Create(true, false));
    SDFUDownloadHooks hooks;
    hooks.onProgress = [&](std::size_t done, std::size_t) {
        if (done >= 2 * 1023)
            progressed.Set();
    };
    std::atomic<HResult> result{HR_OK};
    CThread download;
    ASSERT_TRUE(download.Start([&]() -> std::uint32_t {
        result.store(DownloadDFUImage(dfu, image.data(), image.size(), &hooks));
        return 0;
    }));
    ASSERT_EQ(progressed.Wait(kInfinite), EWaitResult::Signalled);
    // Wait until the next block is on its way, then pull the bridge away.
    const std::uint32_t reports = w.chip->Stats().outputReports;
    CDeadline deadline(RealSeconds(5));
    while (w.chip->Stats().outputReports < reports + 6 && !deadline.IsExpired())
        CClock::Sleep(0);
    helper.Close();
    EXPECT_FALSE(helper.IsOpen());
    ASSERT_TRUE(download.Wait(kInfinite));
    EXPECT_EQ(result.load(), HR_FAIL);
    // The failed download left nothing linked to the closed helper: an input
    // report goes nowhere.
    const std::uint8_t report[32] = {1, 0, 0x28, 2, 0xC0, 0xC0};
    EXPECT_FALSE(helper.ReceiveReport(report, sizeof(report)));
    EXPECT_EQ(w.world.OpenHidHandleCount(), 0u);
}

// The bridge pulled out as the download starts: the link gives up resending
// after its retry limit, and the download fails then, instead of asking the
// dead link for the chip's status again and again, 6 s for each answer
// (a minute through the real kernel).
TEST(NemboHIDHelperTest, ABridgePulledOutAsTheDownloadStartsFailsItWithinSeconds)
{
    SWorld w;
    CNemboHIDHelper helper(w.world);
    ASSERT_EQ(helper.Open(w.world.HidInterfacePath(w.device)), HR_OK);
    std::vector<std::uint8_t> image(8 * 1023, 0x5A);
    CBCSP_DFUUpgrade dfu;
    ASSERT_EQ(dfu.Init(&helper), HR_OK);
    std::uint64_t pulledAtMs = 0;
    SDFUDownloadHooks hooks;
    hooks.onProgress = [&](std::size_t done, std::size_t) {
        if (done == 1023 && pulledAtMs == 0)
        {
            pulledAtMs = CClock::NowMs();
            EXPECT_TRUE(w.world.Unplug(w.device));
        }
    };
    EXPECT_EQ(DownloadDFUImage(dfu, image.data(), image.size(), &hooks), HR_FAIL);
    ASSERT_NE(pulledAtMs, 0u);
    const std::uint64_t tookMs = CClock::NowMs() - pulledAtMs;
    // The retry limit (20 resends, at most 250 ms apart) and one answer's wait.
    EXPECT_LT(tookMs, 20u * 250u + CBCSP_DFUUpgrade::kReplyTimeoutMs + 2000u);
    EXPECT_NE(w.chip->FirmwareImage(), image);
    helper.Close();
}
