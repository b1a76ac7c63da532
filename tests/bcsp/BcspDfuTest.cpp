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
// A pseudo-random image that also holds the bytes SLIP escapes.
std::vector<std::uint8_t> MakeEscapedImage(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> image = MakeImage(size, seed);
    if (size > 4)
    {
        image[1] = 0xC0;
        image[2] = 0xDB;
        image[3] = 0xDB;
    }
    return image;
}

// The DFU tests run at kDfuTestTimeScale (see BcspTestSupport.h). The
// chip's UART moves bytes without pacing.
struct SRig
{
    explicit SRig(const SChipConfig& config = SChipConfig()) : scale(kDfuTestTimeScale), chip(Unpaced(config)), transport(chip)
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

TEST(BcspLinkTest, LostConfigurationResponseIsAskedForAgainAtTheSameRate)
{
    // A passive chip goes on the link when the host's CONF reaches it and
    // says so once; when that answer is lost the host must ask again rather
    // than leave the chip linked on a rate it then gives up.
    CCapturedLog log;
    SChipConfig config;
    config.startMode = EChipMode::Dfu;
    config.loseConfResps = 1;
    SRig rig(config);
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    EXPECT_EQ(rig.chip.Stats().linkMessages[2], 2u); // CONF twice
    EXPECT_EQ(rig.chip.Stats().baudRequests, (std::vector<std::uint32_t>{115200}));
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "######### Start of Handshake read Loop [1] State[1]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "######### ***> Received BT_CONF_RESP_COMMAND Handshake[1]"), 1u);
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
    const std::vector<std::uint8_t> image = MakeEscapedImage(5000, 7);
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

namespace
{
// A rig whose chip starts in DFU mode, with the link up and the
// functional descriptor read.
struct SDfuModeRig : SRig
{
    explicit SDfuModeRig(SChipConfig config = SChipConfig()) : SRig(WithDfuMode(config))
    {
        EXPECT_EQ(dfu.BeginDFUUpgrade(), HR_OK);
    }
    static SChipConfig WithDfuMode(SChipConfig config)
    {
        config.startMode = EChipMode::Dfu;
        return config;
    }
};
} // namespace

TEST(BcspDfuTest, WaitForIdleClearsErrorsAndNeedsTwoIdleReplies)
{
    SDfuModeRig rig;
    const SChipStats before = rig.chip.Stats();
    // Error, then two idle replies: one clear request, success on the third poll.
    rig.chip.ScriptStatusStates({10, 2, 2});
    EXPECT_TRUE(rig.dfu.WaitForDFUIdle());
    SChipStats after = rig.chip.Stats();
    EXPECT_EQ(after.dfuRequests[4] - before.dfuRequests[4], 1u);
    EXPECT_EQ(after.dfuRequests[3] - before.dfuRequests[3], 3u);

    // Busy and manifest break the idle count: 2, 4, 5, 7, 5, 5.
    rig.chip.ScriptStatusStates({2, 4, 5, 7, 5, 5});
    EXPECT_TRUE(rig.dfu.WaitForDFUIdle());
    SChipStats later = rig.chip.Stats();
    EXPECT_EQ(later.dfuRequests[3] - after.dfuRequests[3], 6u);
    EXPECT_EQ(later.dfuRequests[4], after.dfuRequests[4]);

    // A device that stays busy fails after 10 polls.
    rig.chip.ScriptStatusStates(std::vector<std::uint8_t>(12, 4));
    EXPECT_FALSE(rig.dfu.WaitForDFUIdle());
    EXPECT_EQ(rig.chip.Stats().dfuRequests[3] - later.dfuRequests[3], 10u);
}

TEST(BcspDfuTest, RequestWithoutReplyForcesTwelveTimeoutsThenFails)
{
    CCapturedLog log;
    SDfuModeRig rig;
    const std::uint32_t seen = rig.chip.Stats().dfuPacketsSeen;
    rig.chip.SetDfuMute(true);
    SDFUStatus status{};
    EXPECT_FALSE(rig.dfu.GetDFUStatus(status));
    // The first send plus one retransmission per forced timeout, and the
    // retransmission timer's own in between.
    CDeadline deadline(2000);
    while ((rig.chip.Stats().dfuPacketsSeen - seen < 13 ||
            rig.dfu.Stack().Sequencing().ForcedTimeoutsHandled() < 12) &&
           !deadline.IsExpired())
        CClock::Sleep(1);
    EXPECT_GE(rig.chip.Stats().dfuPacketsSeen - seen, 13u);
    EXPECT_GE(rig.dfu.Stack().Sequencing().TimerRetransmissions(), 1u);
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "<=Seq:: Timeout! Retry["), 12u);
    EXPECT_EQ(CCapturedLog::Count(lines, "<=Seq:: Timeout! Retry[11] Limit[20]"), 1u);
}

TEST(BcspDfuTest, WriteChecksTheSizeBeforeSendingAnything)
{
    CCapturedLog log;
    SChipConfig config;
    config.transferSize = 256;
    SRig rig(SDfuModeRig::WithDfuMode(config));
    std::vector<std::uint8_t> block(257, 0x11);
    // Before the functional descriptor is known every non-empty block fails.
    EXPECT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 1), HR_FAIL);
    ASSERT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    EXPECT_EQ(rig.dfu.GetMaxTransferSize(), 256u);
    const std::uint32_t seen = rig.chip.Stats().dfuPacketsSeen;
    EXPECT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 257), HR_FAIL);
    EXPECT_EQ(rig.chip.Stats().dfuPacketsSeen, seen);
    EXPECT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 256), HR_OK);
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - Invalid Size. sizeBuf[1] MaxTransferSize[0]"),
              1u);
    EXPECT_EQ(
        CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - Invalid Size. sizeBuf[257] MaxTransferSize[256]"),
        1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::WriteDFUPacket - sizeBuf[257] BlockNumber[0x0000] hRes[80004005]Done"),
              1u);
}

TEST(BcspDfuTest, TransferSizeIsCappedAtTheDownloadBuffer)
{
    SChipConfig config;
    config.transferSize = 4000;
    SDfuModeRig rig(config);
    EXPECT_EQ(rig.dfu.GetMaxTransferSize(), 1032u);
    std::vector<std::uint8_t> block(1033, 0x22);
    EXPECT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 1033), HR_FAIL);
    EXPECT_EQ(rig.dfu.WriteDFUPacket(0, block.data(), 1032), HR_OK);
    rig.dfu.Stack().DisconnectTransport();
}

TEST(BcspDfuTest, FinalBlockIsAnEmptyDownloadRequest)
{
    SChipConfig config;
    config.transferSize = 100;
    SDfuModeRig rig(config);
    const std::vector<std::uint8_t> image = MakeEscapedImage(150, 3);
    ASSERT_EQ(rig.dfu.WriteDFUPacket(0, image.data(), 100), HR_OK);
    ASSERT_EQ(rig.dfu.WriteDFUPacket(1, image.data() + 100, 50), HR_OK);
    ASSERT_EQ(rig.dfu.EndDFUUpgrade(2), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    bool found = false;
    for (const auto& p : rig.chip.ReceivedPackets())
    {
        if (p.reliable && p.channel == 12 && p.payload.size() >= 2 && p.payload[1] == 1 && p.payload[2] == 2)
        {
            EXPECT_EQ(p.payload, (std::vector<std::uint8_t>{0x21, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST(BcspDfuTest, RefusedImageIsReportedAsFailure)
{
    CCapturedLog log;
    SChipConfig config;
    config.transferSize = 128;
    config.manifestFails = true;
    SDfuModeRig rig(config);
    const std::vector<std::uint8_t> image = MakeEscapedImage(128, 5);
    ASSERT_EQ(rig.dfu.WriteDFUPacket(0, image.data(), 128), HR_OK);
    // The chip comes back in DFU mode after every reset: six attempts, then failure.
    EXPECT_EQ(rig.dfu.EndDFUUpgrade(1), HR_FAIL);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Dfu);
    EXPECT_TRUE(rig.chip.FirmwareImage().empty());
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::EndDFUUpgrade - Reset"), 6u);
    EXPECT_GE(CCapturedLog::Count(lines, "CBCSP_DFUUpgrade::ClearDFUStatus"), 1u);
}

TEST(BcspDfuTest, RecognisesDfuModeDescriptors)
{
    SDFUDeviceDescriptor d{};
    d.bDeviceClass = 0xFE;
    d.bDeviceSubClass = 0x01;
    d.bDeviceProtocol = 0x00;
    EXPECT_TRUE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(d));
    d.bDeviceProtocol = 0x02;
    EXPECT_FALSE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(d));
    d = SDFUDeviceDescriptor{};
    d.idVendor = 0x0A12;
    d.idProduct = 0xFFFE;
    EXPECT_TRUE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(d));
    d.idProduct = 0x0001;
    EXPECT_FALSE(CBCSP_DFUUpgrade::IsDFUModeDescriptor(d));
}

TEST(BcspDfuReplyTest, ShortAndLongRepliesTouchOnlyWhatCame)
{
    SDFUStatus status{};
    status.bState = 9;
    status.iString = 7;
    const std::uint8_t shortReply[] = {0x01, 0x00, 0x06, 0x00, 0x0A, 0x10, 0x20, 0x30};
    bcsp::ApplyStatusReply(shortReply, sizeof(shortReply), status);
    EXPECT_EQ(status.wStatus, 1);
    EXPECT_EQ(status.wLength, 6);
    EXPECT_EQ(status.bStatus, 0x0A);
    EXPECT_EQ(status.bwPollTimeout, 0x302010u);
    EXPECT_EQ(status.bState, 9); // kept
    EXPECT_EQ(status.iString, 7);

    std::uint8_t longReply[64];
    for (int i = 0; i < 64; ++i)
        longReply[i] = static_cast<std::uint8_t>(i);
    SDFUDeviceDescriptor d{};
    bcsp::ApplyDeviceDescriptorReply(longReply, sizeof(longReply), d);
    EXPECT_EQ(d.wStatus, 0x0100);
    EXPECT_EQ(d.bcdDevice, 0x0F0E);
    SDFUFunctionalDescriptor f{};
    f.wTransferSize = 0x1234;
    bcsp::ApplyFunctionalDescriptorReply(longReply, 7, f);
    EXPECT_EQ(f.bDescriptorType, 4);
    EXPECT_EQ(f.wDetachTimeout, 0x0006); // only byte 6 came, byte 7 kept as 0
    EXPECT_EQ(f.wTransferSize, 0x1234);
}

TEST(BcspLinkTest, ChipThatStartsTheLinkItselfIsAnswered)
{
    CCapturedLog log;
    SChipConfig config;
    config.startMode = EChipMode::Dfu;
    config.activeLink = true;
    SRig rig(config);
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_OK);
    rig.dfu.Stack().DisconnectTransport();
    const auto lines = log.Lines();
    // The chip's own SYNC is answered while the host is not yet configured.
    EXPECT_GE(CCapturedLog::CountPrefix(lines, "######### <*** Semd BT_SYNC_RESPONSE_COMMAND Handshake["), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "######### <*** Semd BT_SYNC_RESPONSE_COMMAND Handshake[2]"), 0u);
    EXPECT_GE(rig.chip.Stats().linkMessages[1], 1u); // SYNC_RESP reached the chip
}

TEST(BcspLinkTest, NothingAnswersAtEitherRate)
{
    CCapturedLog log;
    SChipConfig config;
    config.startMode = EChipMode::Dfu;
    config.chipBaudRate = 57600; // neither rate the host tries
    SRig rig(config);
    const std::uint64_t start = CClock::NowMs();
    EXPECT_EQ(rig.dfu.BeginDFUUpgrade(), HR_FAIL);
    // Per rate: 1,000 + 1,000 ms of sleeps, two 500 ms waits, two 10 ms pauses.
    EXPECT_GE(CClock::NowMs() - start, 2u * (1000 + 1000 + 500 + 500 + 10 + 10));
    rig.dfu.Stack().DisconnectTransport();
    EXPECT_EQ(rig.chip.Stats().baudRequests, (std::vector<std::uint32_t>{115200, 38400}));
    const auto lines = log.Lines();
    EXPECT_EQ(CCapturedLog::Count(lines, "***> Send Slip Handshake Packet BT_SYNC_COMMAND"), 2u);
    EXPECT_EQ(CCapturedLog::Count(lines, "EstablishLink - Try BaudRate[38400]"), 1u);
    EXPECT_EQ(CCapturedLog::Count(lines, "######### Start of Handshake read Loop [1] State[0]"), 2u);
    EXPECT_EQ(CCapturedLog::Count(lines, "[ERROR] EstablishLink - Failed"), 1u);
    EXPECT_EQ(CCapturedLog::CountPrefix(lines, "CBCSP_DFUUpgrade::GetDeviceDescriptor"), 0u);
}

namespace
{
void DownloadOverLossyLink(const SLossConfig& loss)
{
    SChipConfig config;
    config.transferSize = 256; // a block fits in five reports
    SRig rig(config);
    const std::vector<std::uint8_t> image = MakeEscapedImage(4000, 11);
    SDFUDownloadHooks hooks;
    hooks.onBegun = [&]() { rig.chip.SetLoss(loss, loss); };
    hooks.onBeforeEnd = [&]() { rig.chip.ClearLoss(); };
    ASSERT_EQ(DownloadDFUImage(rig.dfu, image.data(), image.size(), &hooks), HR_OK);
    EXPECT_EQ(rig.chip.FirmwareImage(), image);
    EXPECT_EQ(rig.chip.Mode(), EChipMode::Runtime);
}
} // namespace

TEST(BcspDfuLossTest, ImageArrivesIntactWhenFivePercentOfReportsAreDroppedOrCorrupted)
{
    SLossConfig loss;
    loss.dropRate = 0.025;
    loss.corruptRate = 0.025;
    loss.seed = 42;
    DownloadOverLossyLink(loss);
}

TEST(BcspDfuLossTest, ImageArrivesIntactWhenReportsAreDuplicatedOrDelayed)
{
    SLossConfig loss;
    loss.duplicateRate = 0.03;
    loss.delayRate = 0.03;
    loss.delayMs = 30;
    loss.seed = 7;
    DownloadOverLossyLink(loss);
}
