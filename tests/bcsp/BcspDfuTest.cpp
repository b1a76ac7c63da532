// DFU over BCSP against the simulated chip: link establishment, the DFU
// request rules and whole downloads, also over a lossy link.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "bcsp/BCSP_DFUDownload.h"
#include "bcsp/BCSP_DFUUpgrade.h"
#include "bench/bluecore/BlueCoreChip.h"
#include "bench/bluecore/BlueCoreTransport.h"
#include "platform/Clock.h"
#include "tests/bcsp/BcspTestSupport.h"

using namespace bluecore;

namespace
{
std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = seed;
    for (auto& b : image)
    {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    // Make sure the bytes that SLIP escapes are in it.
    if (size > 4)
    {
        image[1] = 0xC0;
        image[2] = 0xDB;
        image[3] = 0xDB;
    }
    return image;
}

// The DFU tests run at a hundredth of real time rather than a thousandth:
// the reply budget of a request (6,000 ms) must stay well above the real
// cost of a round trip through four threads.
class CTimeScale
{
public:
    explicit CTimeScale(double scale) : m_old(CClock::GetTimeScale()) { CClock::SetTimeScale(scale); }
    ~CTimeScale() { CClock::SetTimeScale(m_old); }

private:
    double m_old;
};

struct SRig
{
    explicit SRig(const SChipConfig& config = SChipConfig()) : scale(0.01), chip(config), transport(chip)
    {
        EXPECT_EQ(dfu.Init(&transport), HR_OK);
    }
    CTimeScale scale;
    CBlueCoreChip chip;
    CBlueCoreTransport transport;
    CBCSP_DFUUpgrade dfu; // destroyed first
};
} // namespace

TEST(BcspLinkTest, LinksAt115200WithSyncThenConf)
{
    CCapturedLog log;
    SChipConfig config;
    config.startMode = EChipMode::Dfu;
    SRig rig(config);
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    EXPECT_TRUE(rig.chip.IsLinked());
    const SChipStats stats = rig.chip.Stats();
    EXPECT_EQ(stats.linkMessages[0], 1u); // SYNC
    EXPECT_EQ(stats.linkMessages[2], 1u); // CONF
    ASSERT_EQ(stats.baudRequests.size(), 1u);
    EXPECT_EQ(stats.baudRequests[0], 115200u);
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "***> Send Slip Handshake Packet BT_SYNC_COMMAND"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "######### ***> Received BT_SYNC_RESP_COMMAND Handshake[0]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "***> Send Slip Handshake Packet BT_CONF_COMMAND"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "######### ***> Received BT_CONF_RESP_COMMAND Handshake[1]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "EstablishLink - status[1]"), 1u);
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "EstablishLink - Try BaudRate"), 0u);
}

TEST(BcspLinkTest, FallsBackTo38400)
{
    CCapturedLog log;
    SChipConfig config;
    config.chipBaudRate = 38400;
    config.startMode = EChipMode::Dfu;
    SRig rig(config);
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    EXPECT_EQ(rig.chip.BridgeBaudRate(), 38400u);
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "EstablishLink - Try BaudRate[38400]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "EstablishLink - status[1]"), 1u);
}

TEST(BcspLinkTest, FailsWhen38400IsRefused)
{
    CCapturedLog log;
    SChipConfig config;
    config.chipBaudRate = 38400;
    config.refusedRates = {38400};
    SRig rig(config);
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_FAIL);
    rig.dfu.Stack().DisconnectTransport();
    const SChipStats stats = rig.chip.Stats();
    EXPECT_EQ(stats.baudRequests, (std::vector<std::uint32_t>{115200, 38400}));
    const auto lines = log.Lines();
    // One SYNC at 115200 only: the refused rate is not tried.
    EXPECT_EQ(CCapturedLog::Count(lines, "***> Send Slip Handshake Packet BT_SYNC_COMMAND"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "EstablishLink - Try BaudRate[38400]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "[ERROR] EstablishLink - Failed"), 1u);
}

TEST(BcspDfuTest, DownloadsAnImageFromRuntimeModeAndRestartsIntoIt)
{
    CCapturedLog log;
    SChipConfig config;
    config.transferSize = 1023;
    SRig rig(config);
    const std::vector<std::uint8_t> image = MakeImage(5000, 7);
    EXPECT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_OK);
    EXPECT_EQ(rig.dfu.GetMaxTransferSize(), 1023u);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Runtime);
    EXPECT_EQ(rig.chip.FirmwareVersion(), 0x0101);
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::DFUDetach"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::EndDFUUpgrade - BlockNumber[0x0005] Zero Length block"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[1023] BlockNumber[0x0000] hRes[00000000]Done"), 1u);
}
