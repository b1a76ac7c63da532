// The simulated chip's own rules: the lossy link repeats itself for a seed,
// and nothing crosses the UART at the wrong rate.
#include <gtest/gtest.h>

#include <cstring>

#include "bench/bluecore/BlueCoreChip.h"

using namespace bluecore;

namespace
{
// Sends count SYNC datagrams as data-out reports and returns what the chip decoded.
SChipStats SendSyncs(CBlueCoreChip& chip, int count)
{
    SWirePacket p;
    p.channel = 1;
    p.payload.assign(kSync, kSync + 4);
    const std::vector<std::uint8_t> frame = EncodeFrame(p);
    for (int i = 0; i < count; ++i)
    {
        std::uint8_t report[kOutputReportLength] = {0x00, 0x20, 0x00, 0x11, static_cast<std::uint8_t>(frame.size())};
        std::memcpy(report + 5, frame.data(), frame.size());
        EXPECT_TRUE(chip.WriteOutputReport(report, sizeof(report)));
    }
    return chip.Stats();
}

SChipConfig Unpaced()
{
    SChipConfig config;
    config.pacing = false;
    return config;
}
} // namespace

TEST(BlueCoreChipTest, LossyLinkRepeatsItselfForASeed)
{
    SLossConfig loss;
    loss.dropRate = 0.2;
    loss.corruptRate = 0.2;
    loss.seed = 99;
    CBlueCoreChip a(Unpaced());
    CBlueCoreChip b(Unpaced());
    a.SetLoss(loss, loss);
    b.SetLoss(loss, loss);
    const SChipStats sa = SendSyncs(a, 200);
    const SChipStats sb = SendSyncs(b, 200);
    EXPECT_EQ(sa.linkMessages[0], sb.linkMessages[0]);
    EXPECT_EQ(sa.framesBad, sb.framesBad);
    EXPECT_LT(sa.linkMessages[0], 200u);
    EXPECT_GT(sa.linkMessages[0], 100u);
    // Another seed gives another pattern.
    loss.seed = 100;
    CBlueCoreChip c(Unpaced());
    c.SetLoss(loss, loss);
    const SChipStats sc = SendSyncs(c, 200);
    EXPECT_TRUE(sc.linkMessages[0] != sa.linkMessages[0] || sc.framesBad != sa.framesBad);
}

TEST(BlueCoreChipTest, NothingCrossesAtTheWrongRate)
{
    SChipConfig config = Unpaced();
    config.chipBaudRate = 38400;
    CBlueCoreChip chip(config);
    EXPECT_EQ(SendSyncs(chip, 3).linkMessages[0], 0u);
    std::uint8_t feature[kFeatureReportLength] = {0x00, 0x3E, 0x0E, 0x00};
    EXPECT_TRUE(chip.SetFeatureReport(feature, sizeof(feature)));
    EXPECT_EQ(SendSyncs(chip, 3).linkMessages[0], 3u);
    // Each SYNC was answered with a SYNC_RESP report.
    std::uint8_t report[kInputReportLength];
    std::size_t read = 0;
    ASSERT_TRUE(chip.ReadInputReport(report, sizeof(report), 1000, &read));
    EXPECT_EQ(read, kInputReportLength);
    EXPECT_EQ(report[2], kDataInMarker);
    feature[3] = 7; // unknown rate code
    EXPECT_FALSE(chip.SetFeatureReport(feature, sizeof(feature)));
}
