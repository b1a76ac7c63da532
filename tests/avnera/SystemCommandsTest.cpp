// System, radio, MAC and battery exports against the simulated chip.
#include <cstring>
#include <string>

#include "avnera/VersionRecord.h"
#include "tests/avnera/AvneraTestSupport.h"

TEST_F(CAvneraBench, VersionRecordExampleGivesVersionAndName)
{
    PlugChip(false); // listed first by generic HID (the vendor face has the same collection)
    PlugChip(true);
    for (uint32_t type : {0u, 1u})
    {
        AvDeviceHandle* handle = Open(type);
        char version[32];
        char name[95];
        std::memset(version, 'x', sizeof(version));
        std::memset(name, 'x', sizeof(name));
        ASSERT_EQ(0, systemVersionAppNameGet(handle, version, name));
        EXPECT_STREQ("1.2 (build7)", version);
        EXPECT_STREQ("HeadsetApp (tool/name.bin)", name);
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, LongVersionRecordIsReadInPiecesAndCut)
{
    SAvneraChipConfig config;
    config.versionRecord = "10.20.30.40.50.60.70.80,AVeryLongApplicationNameThatGoesOnAndOnAndOnForeverAndEverMoreThanNinetyFour"
                           "Characters,build-2026-12-08-long-identifier,/home/builder/work/firmware/out/app.bin#";
    PlugChip(true, config);
    AvDeviceHandle* handle = Open(1);
    char version[32];
    char name[95];
    ASSERT_EQ(0, systemVersionAppNameGet(handle, version, name));
    EXPECT_EQ(31u, std::strlen(version));
    EXPECT_EQ(std::string("10.20.30.40.50.60.70.80 (build-"), version);
    EXPECT_EQ(94u, std::strlen(name));
    EXPECT_EQ(0, std::strncmp(name, "AVeryLongApplicationName", 24));
}

TEST(AvneraVersionRecord, RecordsWithoutFieldsOrSlashesGiveEmptyParts)
{
    char version[32];
    char name[95];
    avnera::ParseVersionRecord("1.2", 3, version, name);
    EXPECT_STREQ("1.2 ()", version);
    EXPECT_STREQ(" ()", name);
    avnera::ParseVersionRecord("", 0, version, name);
    EXPECT_STREQ(" ()", version);
    avnera::ParseVersionRecord("a,b,c,noslash", 13, version, name);
    EXPECT_STREQ("a (c)", version);
    EXPECT_STREQ("b ()", name);
    avnera::ParseVersionRecord("a,b,c,/x", 8, version, name);
    EXPECT_STREQ("b ()", name);
    avnera::ParseVersionRecord("a,b,c,p/q/r!", 12, version, name);
    EXPECT_STREQ("b (q/r)", name);
}

TEST_F(CAvneraBench, LinkStatusReadsByteEightInStateThree)
{
    SAvneraChipConfig config;
    config.linkValue = 9;
    auto chip = PlugChip(true, config);
    AvDeviceHandle* handle = Open(1);
    uint8_t link = 0xEE, state = 0;
    ASSERT_EQ(0, macGetLinkStatus(handle, &link));
    EXPECT_EQ(1, link);
    ASSERT_EQ(0, macGetMACState(handle, &state));
    EXPECT_EQ(9, state);
    AvDllCloseHandle(handle);

    chip->SetState(3);
    handle = Open(1);
    ASSERT_EQ(0, macGetMACState(handle, &state));
    EXPECT_EQ(9, state); // byte 8 in state 3; byte 6 holds something else there
    AvDllCloseHandle(handle);

    SAvneraChipConfig two;
    two.linkValue = 2;
    PlugChip(true, two);
    handle = Open(1, 1);
    ASSERT_EQ(0, macGetLinkStatus(handle, &link));
    EXPECT_EQ(0, link);
    EXPECT_EQ(-4, macGetLinkStatus(handle, nullptr));
}

TEST_F(CAvneraBench, BitErrorRateWindow)
{
    SAvneraChipConfig config;
    config.berErrors = 12;
    config.berBits = 48000;
    auto chip = PlugChip(false, config);
    AvDeviceHandle* handle = Open(0);
    float ratio = -1;
    uint32_t bits = 0;
    ASSERT_EQ(0, macGetBer(handle, &ratio, &bits, 0x25));
    EXPECT_EQ(48000u, bits);
    EXPECT_FLOAT_EQ(12.0f / 48000.0f, ratio);
    EXPECT_EQ(std::vector<uint8_t>({0x50}), chip->Ram(0xF426, 1));

    SAvneraChipConfig silent;
    silent.berBits = 0;
    PlugChip(false, silent);
    AvDeviceHandle* other = Open(0, 1);
    ratio = 0.5f;
    bits = 7;
    EXPECT_EQ(-1, macGetBerEx(other, &ratio, &bits, 100, 1));
    EXPECT_EQ(0u, bits);
    EXPECT_EQ(0.5f, ratio);
}

TEST_F(CAvneraBench, PeerTableNeedsNoDevice)
{
    uint32_t id = 0;
    uint8_t second = 0, third = 0;
    ASSERT_EQ(0, systemPeerDeviceInfoGet(nullptr, 2, &id, &second, &third));
    EXPECT_EQ(0xCCCCCCCCu, id);
    EXPECT_EQ(6, second);
    EXPECT_EQ(2, third);
    EXPECT_EQ(-1, systemPeerDeviceInfoGet(nullptr, 4, &id, &second, &third));
}

TEST_F(CAvneraBench, IdentitiesByMode)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    uint8_t id[4] = {}, deviceByte = 0;
    ASSERT_EQ(0, systemDeviceIdGet(handle, id, &deviceByte));
    EXPECT_EQ(0x11, id[0]);
    EXPECT_EQ(0x44, id[3]);
    const uint32_t before = chip->CommandCount(0xFD);
    EXPECT_EQ(-1, systemPairedArbDeviceIdGet(handle, id)); // mode 0
    EXPECT_EQ(before, chip->CommandCount(0xFD));
    const uint32_t newId = 0x01020304;
    ASSERT_EQ(0, systemDeviceIdSet(handle, &newId));
    ASSERT_EQ(0, systemDeviceIdGet(handle, id, &deviceByte));
    EXPECT_EQ(0x04, id[0]);
    EXPECT_EQ(0x01, id[3]);
    ASSERT_EQ(0, systemDeviceIdsCommit(handle));
    EXPECT_EQ(1u, chip->DeviceIdsCommitted());

    SAvneraChipConfig modeOne;
    modeOne.mode = 1;
    auto arbiter = PlugChip(true, modeOne);
    AvDeviceHandle* second = Open(1, 1);
    const uint32_t arb = 0xA1B2C3D4;
    ASSERT_EQ(0, systemPairedArbDeviceIdSet(second, &arb));
    ASSERT_EQ(0, systemPairedArbDeviceIdGet(second, id));
    EXPECT_EQ(0xD4, id[0]);
    EXPECT_EQ(0xA1, id[3]);
}

TEST_F(CAvneraBench, BatteryCommands)
{
    auto chip = PlugChip(false);
    AvDeviceHandle* handle = Open(0);
    AvBattState state = {};
    ASSERT_EQ(0, batmanGetBattState(handle, 1, &state));
    EXPECT_EQ(0x00030003u, state.state);
    EXPECT_EQ(3900, state.value);
    ASSERT_EQ(0, batmanStartCharger(handle, 1));
    EXPECT_EQ(1, chip->ChargerOn(1));
    ASSERT_EQ(0, batmanStopCharger(handle, 1));
    EXPECT_EQ(0, chip->ChargerOn(1));
    ASSERT_EQ(0, batmanSetChargerCal(handle, 0, 0x1234, 0xABCD));
    uint16_t first = 0, second = 0;
    ASSERT_EQ(0, batmanGetChargerCal(handle, 0, &first, &second));
    EXPECT_EQ(0x1234, first);
    EXPECT_EQ(0xABCD, second);
    uint16_t dvm = 0;
    ASSERT_EQ(0, batmanSampleDvm(handle, 0, 1, 2, 3, &dvm));
    EXPECT_EQ(123, dvm);
    EXPECT_EQ(-4, batmanGetBattState(nullptr, 0, &state));
    EXPECT_EQ(-4, batmanGetBattState(handle, 0, nullptr));
}

TEST_F(CAvneraBench, MacStatisticsAndTables)
{
    PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    AvMacStats stats = {};
    ASSERT_EQ(0, macGetStats(handle, 0, &stats, 1));
    // Query k answers 0x10 * (k + 1) + j at data byte j (answer byte 6 + j).
    EXPECT_EQ(0x20 + 6, stats.counter[0]);
    EXPECT_EQ(0x2120, stats.counter[1]);
    EXPECT_EQ(0x1110, stats.counter[3]);
    EXPECT_EQ(0x2524, stats.counter[6]);
    EXPECT_EQ(0x3130, stats.counter[7]);
    EXPECT_EQ(0x3736, stats.counter[10]);
    EXPECT_EQ(0x3B3A3938u, stats.total);
    uint16_t a = 0, b = 0;
    ASSERT_EQ(0, macWlanChannelTables(handle, &a, &b));
    EXPECT_EQ(0x0102, a);
    EXPECT_EQ(0x0304, b);
    ASSERT_EQ(0, macDebugTables(handle, &a));
    EXPECT_EQ(0x0506, a);
    EXPECT_EQ(0, macEnableStats(handle, 0, 5));
    EXPECT_EQ(0, macClearStats(handle, 0, 0));
}

TEST_F(CAvneraBench, RadioCommandsAndSystemCommands)
{
    auto chip = PlugChip(false);
    AvDeviceHandle* handle = Open(0);
    ASSERT_EQ(0, rfFixedChannelSetup(handle, 17));
    EXPECT_EQ(std::vector<uint8_t>({7, 0x01, 1, 17, 0, 1, 0}), chip->LastChannelSetup());
    ASSERT_EQ(0, macRfFixedChannelSetup(handle, 3));
    EXPECT_EQ(std::vector<uint8_t>({7, 0x01, 0, 3, 1, 0, 1}), chip->LastChannelSetup());
    ASSERT_EQ(0, rfDynamicChannelSetup(handle));
    EXPECT_EQ(0, rfAntennaDiversitySetup(handle, 2));
    EXPECT_EQ(std::vector<uint8_t>({0x81}), chip->Ram(0xF3CA, 1));
    EXPECT_EQ(-4, rfAntennaDiversitySetup(handle, 7));
    EXPECT_EQ(std::vector<uint8_t>({0x81}), chip->Ram(0xF3CA, 1));
    EXPECT_EQ(0, rfContinuousTransmitEnable(handle, 1));
    EXPECT_EQ(std::vector<uint8_t>({0x42}), chip->Ram(0xF4B0, 1));
    EXPECT_EQ(std::vector<uint8_t>({0xFF}), chip->Ram(0xF401, 1));
    EXPECT_EQ(std::vector<uint8_t>({0x00}), chip->Ram(0xF010, 1));
    EXPECT_EQ(0, rfContinuousTransmitEnable(handle, 0));
    EXPECT_EQ(std::vector<uint8_t>({0x0A}), chip->Ram(0xF010, 1));
    EXPECT_EQ(-2, rfSetTxPower(handle, 5));
    EXPECT_EQ(-3, rfRevertToFlashSettings(nullptr));
    // A generic-HID device has no reset line to pulse.
    EXPECT_EQ(-2, rfRevertToFlashSettings(handle));
    EXPECT_EQ(-2, deviceReset(handle, 0));

    EXPECT_EQ(0, systemPair(handle));
    EXPECT_EQ(0, systemPairCancel(handle));
    EXPECT_EQ(0, systemDefaultLI(handle));
    EXPECT_EQ(0, systemStandby(handle));
    EXPECT_EQ(1u, chip->CommandCount(0x40));
    EXPECT_EQ(1u, chip->CommandCount(0x49));
    EXPECT_EQ(1u, chip->CommandCount(0x3B));
    EXPECT_EQ(1u, chip->CommandCount(0x3C));
    EXPECT_EQ(-1, systemPair(nullptr));
    const uint32_t resets = chip->ResetCount();
    EXPECT_EQ(0, systemReset(handle));
    EXPECT_EQ(resets + 1, chip->ResetCount());
    EXPECT_EQ(-1, systemReset(nullptr));
}

TEST_F(CAvneraBench, RevertToFlashSettingsPulsesTheResetLineAndTheChipRunsAgain)
{
    // The vendor face drives the chip's reset line: 0 holds the chip in
    // reset, 1 releases it.
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    ASSERT_EQ(0, deviceReset(handle, 0));
    uint32_t version = 0;
    EXPECT_EQ(-1, deviceVersion(handle, &version));
    ASSERT_EQ(0, deviceReset(handle, 1));
    EXPECT_EQ(1u, chip->ResetCount());
    ASSERT_EQ(0, deviceVersion(handle, &version));
    ASSERT_EQ(0, rfRevertToFlashSettings(handle));
    EXPECT_EQ(2u, chip->ResetCount());
    EXPECT_EQ(0, deviceVersion(handle, &version));
    EXPECT_EQ(0x0105u, version);
    // A chip that does not come back is no success.
    SAvneraChipConfig dead;
    dead.neverReady = true;
    PlugChip(true, dead);
    AvDeviceHandle* other = Open(1, 1);
    EXPECT_EQ(-1, rfRevertToFlashSettings(other));
}

TEST_F(CAvneraBench, RadioPokeSequencesReportTheFirstPokeThatFailed)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    chip->ArmFault(EAvneraFault::NoAnswer, 3);
    EXPECT_EQ(-1, rfContinuousTransmitEnable(handle, 1));
    // Every poke still went out.
    EXPECT_EQ(std::vector<uint8_t>({0x00}), chip->Ram(0xF010, 1));
    EXPECT_EQ(std::vector<uint8_t>({0xFF}), chip->Ram(0xF40B, 1));
    chip->ArmFault(EAvneraFault::WrongOpcode, 1);
    EXPECT_EQ(-1, rfAntennaDiversitySetup(handle, 1));
    const uint8_t code[4] = {1, 2, 3, 4};
    chip->Assert(code);
    float ratio = 0;
    uint32_t bits = 7;
    EXPECT_EQ(-5, macGetBerEx(handle, &ratio, &bits, 10, 1));
    EXPECT_EQ(0u, bits);
}
