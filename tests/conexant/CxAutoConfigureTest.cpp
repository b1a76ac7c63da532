// EEPROM auto-configuration against simulated chips with blank, valid,
// foreign and missing EEPROMs.
#include <gtest/gtest.h>

#include "tests/conexant/CxTestSupport.h"

namespace
{
struct SOutcome
{
    int status;
    std::int32_t detected;
    std::int32_t valid;
    std::int64_t size;
};

SOutcome Configure(const CCxDevicePtr& dev)
{
    const int status = dev->AutoConfigure();
    return {status, dev->GetProperty(kCxPropEepromDetected), dev->GetProperty(kCxPropEepromValid),
            dev->GetEepromSize()};
}

SCxChipConfig WithHeader(ECxBenchChip chip, std::uint8_t m, std::uint8_t s)
{
    SCxChipConfig config = MakeCxChipConfig(chip);
    config.eepromContents = MakeCxEepromImage(config.eepromSize, 0x05);
    config.eepromContents[0] = m;
    config.eepromContents[1] = s;
    config.firmwareSizeCode = s;
    return config;
}
} // namespace

TEST(CxAutoConfigure, HeaderClassification)
{
    const struct
    {
        std::uint8_t m, s;
        std::int32_t detected, valid;
        std::int64_t size;
    } cases[] = {{0x4C, 0x05, 1, 1, 8192},       {0x4C, 0x18, 1, 1, 0},  {0x12, 0x05, 1, 0, -1},
                 {0x00, 0x00, 0, 0, -1},         {0xFF, 0x00, 0, 0, -1}, {0x00, 0x07, 1, 0, -1},
                 {0x4C, 0x17, 1, 1, 2147483648}, {0x4C, 0x16, 1, 1, 1073741824}};
    for (const auto& c : cases)
    {
        CCxBench bench;
        bench.Plug(WithHeader(ECxBenchChip::Cx2070x, c.m, c.s));
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        const SOutcome o = Configure(dev);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.detected, c.detected) << int(c.m) << " " << int(c.s);
        EXPECT_EQ(o.valid, c.valid) << int(c.m) << " " << int(c.s);
        EXPECT_EQ(o.size, c.size) << int(c.m) << " " << int(c.s);
        EXPECT_FALSE(dev->GetOneBytePayload()) << "the firmware knows the size";
        EXPECT_EQ(dev->GetProperty(kCxPropFirmwareKnowsEepromSize), 1);
    }
}

TEST(CxAutoConfigure, LayoutRecordOfAValidEeprom)
{
    CCxBench bench;
    SCxChipConfig config = WithHeader(ECxBenchChip::Cx2077x, 0x4C, 0x05);
    config.eepromContents[44] = 0x34;
    config.eepromContents[45] = 0x12;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    ASSERT_EQ(dev->AutoConfigure(), 0);
    const std::uint8_t* layout = dev->GetEepromLayout();
    EXPECT_EQ(std::vector<std::uint8_t>(layout, layout + 26),
              std::vector<std::uint8_t>(config.eepromContents.begin() + 32, config.eepromContents.begin() + 58));
    EXPECT_EQ(layout[44 - 32], 0x34);
}

TEST(CxAutoConfigure, BlankEepromWriteTest)
{
    // A blank part keeps the test letter: detected, though the header says "No EEPROM".
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.firmwareSizeCode = 0xFF;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    SOutcome o = Configure(dev);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.detected, 1);
    EXPECT_EQ(o.valid, 0);
    EXPECT_EQ(o.size, -1);
    const auto eeprom = chip->Eeprom();
    EXPECT_EQ(eeprom[43], 0xFF) << "the tested cell is restored";
    EXPECT_EQ(eeprom[0], 0xFF);
    EXPECT_EQ(eeprom, std::vector<std::uint8_t>(eeprom.size(), 0xFF));

    // Nothing on the EEPROM bus: the letter does not stay, nothing is written back.
    CCxBench empty;
    SCxChipConfig none = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    none.eepromSize = 0;
    auto chip2 = empty.Plug(none);
    auto dev2 = empty.Connect();
    ASSERT_TRUE(dev2);
    o = Configure(dev2);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.detected, 0);

    // A CX20562 cannot write its EEPROM: no test, no write request.
    CCxBench small;
    auto chip3 = small.Plug(MakeCxChipConfig(ECxBenchChip::Cx20562));
    auto dev3 = small.Connect();
    ASSERT_TRUE(dev3);
    o = Configure(dev3);
    EXPECT_EQ(o.detected, 0);
    for (const auto& r : chip3->Requests())
        EXPECT_EQ(r[1] & 0x80, 0) << "no write";
}

TEST(CxAutoConfigure, FirmwareUnawareOfTheEepromSizeGetsOneBytePayloads)
{
    CCxBench bench;
    SCxChipConfig config = WithHeader(ECxBenchChip::Cx2070x, 0x4C, 0x05);
    config.firmwareSizeCode = 0x03;
    auto chip = bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    ASSERT_EQ(dev->AutoConfigure(), 0);
    EXPECT_TRUE(dev->GetOneBytePayload());
    EXPECT_EQ(dev->GetProperty(kCxPropFirmwareKnowsEepromSize), 0);
    const std::uint32_t before = chip->RequestCount();
    std::uint8_t buf[8] = {};
    ASSERT_EQ(dev->EepromRead(0, buf, 8), 0);
    EXPECT_EQ(chip->RequestCount() - before, 8u);
    EXPECT_EQ(buf[0], 0x4C);
    // Chip memory keeps its block size.
    const std::uint32_t ram = chip->RequestCount();
    ASSERT_EQ(dev->MemoryRead(1, 0, 0, buf, 8, nullptr), 0);
    EXPECT_EQ(chip->RequestCount() - ram, 1u);
}

TEST(CxAutoConfigure, PatchVersionAndSignatureAddress)
{
    CCxBench bench;
    SCxChipConfig config = WithHeader(ECxBenchChip::Cx2070x, 0x4C, 0x05);
    config.patchVersion[0] = 0x01;
    config.patchVersion[1] = 0x2A;
    config.patchVersion[2] = 0x03;
    config.eepromContents[56] = 0x00;
    config.eepromContents[57] = 0x02; // text at 0x200
    const char text[] = "Headset";
    std::copy(text, text + sizeof(text), config.eepromContents.begin() + 0x200);
    config.eepromContents[0x208] = 'C';
    config.eepromContents[0x209] = 'X';
    config.eepromContents[0x20A] = '2';
    bench.Plug(config);
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->GetProperty(kCxPropSignatureAddress), -1) << "not before the EEPROM is known";
    ASSERT_EQ(dev->AutoConfigure(), 0);
    char version[9] = {};
    ASSERT_EQ(dev->GetPatchVersion(version, sizeof(version)), 0);
    EXPECT_STREQ(version, "01-2A-03");
    EXPECT_EQ(dev->GetProperty(kCxPropPatchLoaded), 1);
    EXPECT_EQ(dev->GetProperty(kCxPropSignatureAddress), 0x20A);
    EXPECT_EQ(dev->GetProperty(kCxPropEepromSizeCodeAddress), 4755);
    EXPECT_EQ(dev->GetProperty(36), -1);
    EXPECT_EQ(dev->GetProperty(-1), -1);

    CCxBench plain;
    plain.Plug(WithHeader(ECxBenchChip::Cx2070x, 0x4C, 0x05));
    auto dev2 = plain.Connect();
    ASSERT_EQ(dev2->AutoConfigure(), 0);
    EXPECT_EQ(dev2->GetProperty(kCxPropPatchLoaded), 0) << "00-00-00";
    EXPECT_EQ(dev2->GetProperty(kCxPropSignatureAddress), -1);
}

TEST(CxAutoConfigure, FailuresEndWithTheAccessStatus)
{
    CCxBench bench;
    bench.Plug(MakeCxChipConfig(ECxBenchChip::Cx20805));
    auto dev = bench.Connect();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->AutoConfigure(), CXHID_STATUS_INVALID_OPERATION);

    CCxBench lost;
    auto chip = lost.Plug(WithHeader(ECxBenchChip::Cx2070x, 0x4C, 0x05));
    auto dev2 = lost.Connect();
    SCxChipFaults faults;
    faults.dropReplies = -1;
    chip->SetFaults(faults);
    EXPECT_EQ(dev2->AutoConfigure(), CXHID_STATUS_DEVICE_READ_ERROR);
    EXPECT_EQ(dev2->GetProperty(kCxPropEepromDetected), 0);
}
