// OrvoHIDFlash.exe as an outside tool loads it: LoadLibrary of the program,
// every export of the host interface and of hidapi looked up by name, and
// calls into the loaded program.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/DynamicLibrary.h"

namespace
{
const char* const kHostNames[] = {
    "AvDllInitialize", "AvDllShutdown", "AvDllGetVersion", "AvDllListDevices", "AvDllOpenDevice", "AvDllCloseHandle",
    "AvDllQueryDevice", "AvDllRefreshDevice", "AvDllFindDevice", "commandSend", "commandGetResponse",
    "commandSendAndGetResponse", "commandSetTimeout", "getAssertCode", "inithostapi_vmi", "MemoryPeek", "MemoryPoke",
    "RemotePeek", "RemotePoke", "deviceVersion", "deviceReset", "eepromWrite", "eepromRead", "SerialMemRead",
    "SerialMemWrite", "SerialMemErase", "SerialMemRead2", "SerialMemWrite2", "SerialMemErase2",
    "SerialMemEnterFlashMode", "SerialMemDownload", "SetFlashType", "FlashWrite", "FlashRead", "batmanStopCharger",
    "batmanStartCharger", "batmanGetChargerCal", "batmanSetChargerCal", "batmanSampleDvm", "batmanGetBattState",
    "systemDeviceIdGet", "systemDeviceIdSet", "systemPairedArbDeviceIdGet", "systemPairedArbDeviceIdSet",
    "systemDeviceIdsCommit", "systemPeerDeviceInfoGet", "systemVersionAppNameGet", "systemReset", "systemDefaultLI",
    "systemPair", "systemPairCancel", "systemStandby", "macGetLinkStatus", "macGetMACState", "macGetBer",
    "macGetBerEx", "macGetStats", "macEnableStats", "macClearStats", "macRfFixedChannelSetup", "macWlanChannelTables",
    "macDebugTables", "rfFixedChannelSetup", "rfDynamicChannelSetup", "rfAntennaDiversitySetup",
    "rfContinuousTransmitEnable", "rfRevertToFlashSettings", "rfSetTxPower"};
const char* const kHidNames[] = {"hid_init", "hid_enumerate", "hid_open", "hid_open_path", "hid_write",
                                 "hid_read_timeout", "hid_read", "hid_send_feature_report", "hid_get_feature_report",
                                 "hid_get_manufacturer_string", "hid_get_product_string",
                                 "hid_get_serial_number_string", "hid_get_indexed_string", "hid_set_nonblocking",
                                 "hid_close", "hid_free_enumeration", "hid_error", "hid_exit"};
} // namespace

TEST(CHostApiExports, TheProgramExportsEveryNameAndAnswersThroughThem)
{
    CDynamicLibrary program;
    ASSERT_TRUE(program.Open("OrvoHIDFlash.exe")) << program.LastError();
    for (const char* name : kHostNames)
        EXPECT_NE(nullptr, program.Symbol(name)) << name;
    for (const char* name : kHidNames)
        EXPECT_NE(nullptr, program.Symbol(name)) << name;
    EXPECT_EQ(68u, sizeof(kHostNames) / sizeof(kHostNames[0]));
    EXPECT_EQ(nullptr, program.Symbol("AardvarkApi"));

    auto getVersion = reinterpret_cast<std::int32_t (*)(std::uint32_t*)>(program.Symbol("AvDllGetVersion"));
    ASSERT_NE(nullptr, getVersion);
    std::uint32_t version[2] = {};
    EXPECT_EQ(0, getVersion(version));
    EXPECT_EQ(1u, version[0]);
    EXPECT_EQ(18u, version[1]);
    auto peer = reinterpret_cast<std::int32_t (*)(void*, std::uint8_t, std::uint32_t*, std::uint8_t*, std::uint8_t*)>(
        program.Symbol("systemPeerDeviceInfoGet"));
    std::uint32_t id = 0;
    std::uint8_t second = 0, third = 0;
    EXPECT_EQ(0, peer(nullptr, 3, &id, &second, &third));
    EXPECT_EQ(0xDDDDDDDDu, id);
}

