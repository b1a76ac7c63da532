// DFU over BCSP against the strict variants of the simulated chip: a chip
// that acknowledges only on its replies, refuses a block, answers late,
// sends bad escapes and frames that outgrow the host's buffers.
#include <gtest/gtest.h>

#include "bcsp/BCSP_DFUDownload.h"
#include "bcsp/BCSP_DFUUpgrade.h"
#include "bench/bluecore/BlueCoreChip.h"
#include "bench/bluecore/BlueCoreTransport.h"
#include "platform/Clock.h"
#include "tests/bcsp/BcspTestSupport.h"

using namespace bluecore;

namespace
{
// As in the DFU tests: kDfuTestTimeScale, the chip's UART unpaced.
struct SRig
{
    explicit SRig(SChipConfig config) : scale(kDfuTestTimeScale), chip(Unpaced(config)), transport(chip)
    {
        EXPECT_EQ(dfu.Init(&transport), HR_OK);
    }
    static SChipConfig Unpaced(SChipConfig config)
    {
        config.pacing = false;
        return config;
    }
    CTimeScale scale;
    CBlueCoreChip chip;
    CBlueCoreTransport transport;
    CBCSP_DFUUpgrade dfu; // destroyed first
};

SChipConfig DfuMode(SChipConfig config)
{
    config.startMode = EChipMode::Dfu;
    return config;
}
} // namespace

TEST(BcspStrictChipTest, ChipThatAcknowledgesOnlyOnItsRepliesTakesAWholeDownload)
{
    SChipConfig config;
    config.ackStyle = EAckStyle::Piggyback;
    config.transferSize = 256;
    SRig rig(config);
    const auto image = MakeImage(3000, 21);
    ASSERT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Runtime);
    EXPECT_EQ(rig.chip.Stats().ackOnlySent, 0u);
}

TEST(BcspStrictChipTest, BadEscapesFromTheChipCostOnlyTheirFrames)
{
    SChipConfig config;
    config.badEscapeEvery = 5; // both 0xDB 0xDB and 0xDB 0x41, in turn
    config.transferSize = 256;
    SRig rig(config);
    const auto image = MakeImage(3000, 22);
    ASSERT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    EXPECT_GE(rig.chip.Stats().badFramesSent, 10u);
}

TEST(BcspStrictChipTest, ResetWhoseReplyIsLostStillEndsInTheNewFirmware)
{
    CCapturedLog log;
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 256;
    config.loseResetReplies = 1;
    SRig rig(config);
    const auto image = MakeImage(1000, 26);
    ASSERT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Runtime);
    const auto lines = log.Lines();
    // The first reset took: no second one was needed.
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::EndDFUUpgrade - Reset"), 1u);
}

TEST(BcspStrictChipTest, RefusedBlockFailsTheDownload)
{
    CCapturedLog log;
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 256;
    config.refuseBlock = 2;
    SRig rig(config);
    const auto image = MakeImage(2000, 23);
    EXPECT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_FAIL);
    EXPECT_TRUE(rig.chip.FirmwareImage().empty());
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Dfu);
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::DFUDownload - BlockNumber[2] sizeBuffer[256] refused: "
                                         "wStatus[0001] (expected 0000)"),
              1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[256] BlockNumber[0x0002] hRes[80004005]Done"), 1u);
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[256] BlockNumber[0x0003]"), 0u);
}

TEST(BcspStrictChipTest, BlockRefusedOnlyInTheNextStatusFailsTheDownload)
{
    CCapturedLog log;
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 256;
    config.refuseBlock = 1;
    config.refuseQuietly = true;
    SRig rig(config);
    const auto image = MakeImage(2000, 24);
    EXPECT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_FAIL);
    EXPECT_TRUE(rig.chip.FirmwareImage().empty());
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WaitForDFUIdle - error state during the download: "
                                         "bStatus[03] bState[0A]"),
              1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::ClearDFUStatus"), 0u);
}

TEST(BcspStrictChipTest, ErrorReplyAfterTheResetIsNoProofOfNewFirmware)
{
    CCapturedLog log;
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 128;
    config.manifestFails = true; // the chip stays in DFU mode
    SRig rig(config);
    ASSERT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    const auto image = MakeImage(128, 25);
    ASSERT_EQ(rig.dfu.WriteDFUPacket(0, image.data(), 128), HR_OK);
    // Every descriptor request after the resets is answered with an error.
    rig.chip.RefuseNext(8, 100);
    EXPECT_EQ(rig.dfu.EndDFUUpgrade(1), HR_FAIL);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Dfu);
    const auto lines = log.Lines();
    EXPECT_GE(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::EndDFUUpgrade - descriptor reply wStatus[0001] bytes[4] "
                                         "(expected 0000, 16)"),
              1u);
}

TEST(BcspStrictChipTest, LateReplyIsNotTakenForTheNextRequest)
{
    CCapturedLog log;
    SRig rig(DfuMode(SChipConfig()));
    ASSERT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    // The status reply comes well after the request was given up (6,000 ms)
    // and the next one has been sent (whose reply the chip sends after it),
    // with room on both sides for a loaded machine's scheduling.
    rig.chip.DelayNextReply(3, 9000);
    SDFUStatus status{};
    EXPECT_FALSE(rig.dfu.GetDFUStatus(status));
    SDFUDeviceDescriptor descriptor{};
    ASSERT_TRUE(rig.dfu.GetDeviceDescriptor(descriptor));
    EXPECT_EQ(descriptor.wLength, 12);
    EXPECT_TRUE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(descriptor));
    EXPECT_EQ(rig.dfu.LateRepliesDiscarded(), 1u);
    rig.dfu.AbortDFUUpgrade();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade - late reply [3] discarded, awaiting [4]"), 1u);
}

TEST(BcspStrictChipTest, RepliesThatComeAfterTheHostAskedAgainStillDownload)
{
    SChipConfig config = SChipConfig::Strict();
    config.transferSize = 256;
    config.replyDelayMs = 700; // after the first 500-ms slice of every wait
    SRig rig(config);
    const auto image = MakeImage(1200, 26);
    ASSERT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
}

TEST(BcspStrictChipTest, BlockThatDoublesWhenEscapedIsSentWhole)
{
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 1032;
    SRig rig(config);
    ASSERT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    ASSERT_EQ(rig.dfu.GetMaxTransferSize(), 1032u);
    std::vector<std::uint8_t> block(1032);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = i % 2 == 0 ? 0xC0 : 0xDB;
    ASSERT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 1032), HR_OK);
    ASSERT_EQ(rig.dfu.EndDFUUpgrade(1), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), block);
}

TEST(BcspStrictChipTest, FrameTooLongForTheHostIsDroppedAndTheLinkGoesOn)
{
    SRig rig(DfuMode(SChipConfig()));
    ASSERT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    // 1,500 bytes that all need escaping: over 3,000 on the line.
    rig.chip.SendOversizedDatagram(5, 1500);
    rig.chip.SendNoise({0xDB, 0xDB, 0x00, 0xC0, 0xDB, 0x41, 0xC0});
    SDFUStatus status{};
    ASSERT_TRUE(rig.dfu.GetDFUStatus(status));
    EXPECT_EQ(status.bState, 2);
    SDFUDeviceDescriptor descriptor{};
    ASSERT_TRUE(rig.dfu.GetDeviceDescriptor(descriptor));
    EXPECT_TRUE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(descriptor));
    rig.dfu.AbortDFUUpgrade();
}

TEST(BcspStrictChipTest, StrictChipOverALossyLinkGetsTheWholeImage)
{
    SChipConfig config = SChipConfig::Strict();
    config.transferSize = 256;
    SRig rig(config);
    SLossConfig loss;
    loss.dropRate = 0.02;
    loss.corruptRate = 0.02;
    loss.seed = 99;
    const auto image = MakeImage(4000, 27);
    SDFUDownloadHooks hooks;
    hooks.onBegun = [&]() { rig.chip.SetLoss(loss, loss); };
    hooks.onBeforeEnd = [&]() { rig.chip.ClearLoss(); };
    CCapturedLog log;
    const HResult result = DownloadDFUImage(rig.dfu, image.data(), image.size(), &hooks);
    std::string tail;
    if (result != HR_OK)
    {
        // The log's last lines, a repeated line once.
        const auto lines = log.Lines();
        std::vector<std::string> kept;
        for (const std::string& line : lines)
            if (kept.empty() || kept.back() != line)
                kept.push_back(line);
        for (std::size_t i = kept.size() > 60 ? kept.size() - 60 : 0; i < kept.size(); ++i)
            tail += kept[i] + "\n";
    }
    ASSERT_EQ(result, HR_OK) << tail;
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
}

TEST(BcspStrictChipTest, FailedDownloadLeavesTheTransportUnlinked)
{
    SChipConfig config = DfuMode(SChipConfig());
    config.transferSize = 256;
    config.refuseBlock = 0;
    SRig rig(config);
    const auto image = MakeImage(600, 28);
    EXPECT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size()), HR_FAIL);
    // Nothing the chip sends reaches the stack any more.
    const std::uint8_t report[32] = {0x01, 0x00, 0x28, 0x03, 0xC0, 0x00, 0xC0};
    EXPECT_FALSE(rig.transport.ReceiveReport(report, sizeof(report)));
}
