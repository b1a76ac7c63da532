// The host interface's handles and commands against the simulated chip on
// both HID faces, through the exported functions.
#include <cstring>

#include "platform/Clock.h"
#include "tests/avnera/AvneraTestSupport.h"

TEST_F(CAvneraBench, VersionIsOneEighteen)
{
    uint32_t version[2] = {};
    EXPECT_EQ(0, AvDllGetVersion(version));
    EXPECT_EQ(1u, version[0]);
    EXPECT_EQ(18u, version[1]);
    EXPECT_EQ(-1, AvDllGetVersion(nullptr));
}

TEST_F(CAvneraBench, ListsOpensQueriesRefreshesAndClosesOnBothFaces)
{
    m_world.Plug(m_world.RootHub(m_hostController), 4, MakeBenchHidDevice(0x046D, 0xC52B, 0x0001, 0x0006));
    SAvneraChipConfig config;
    config.mode = 1;
    config.state = 2;
    config.uniqueId = 0xCAFE1234;
    PlugChip(false, config);
    PlugChip(true, config);

    uint16_t indexes[10] = {};
    uint32_t ids[10] = {};
    // Generic HID: both chips carry the 0xFF00/0x0001 collection; the mouse does not.
    ASSERT_EQ(2, AvDllListDevices(0, 10, indexes, ids));
    EXPECT_EQ(0x2C6D7300u, ids[0]);
    EXPECT_EQ(0x170DFE00u, ids[1]);
    EXPECT_EQ(1, AvDllListDevices(0, 1, indexes, ids));
    ASSERT_EQ(1, AvDllListDevices(1, 10, indexes, ids));
    EXPECT_EQ(0xCAFE1234u, ids[0]); // report 0xF3 bytes 2..5 (report 0xF2 byte 1 is 5)
    EXPECT_EQ(0, AvDllListDevices(7, 10, indexes, ids));

    for (uint32_t type : {0u, 1u})
    {
        AvDeviceHandle* handle = Open(type, 0);
        ASSERT_NE(nullptr, handle);
        EXPECT_EQ(type, handle->type);
        EXPECT_EQ(255u, handle->mode);
        EXPECT_EQ(1000u, handle->timeout);
        EXPECT_NE(0u, handle->link);
        AvDeviceQuery query = {0, 0, 0x5A5A, 0};
        ASSERT_EQ(0, AvDllQueryDevice(handle, &query));
        EXPECT_EQ(2u, query.state);
        EXPECT_EQ(0x5A5Au, query.serial);
        EXPECT_EQ(type == 1 ? 0xCAFE1234u : 0u, query.uniqueId);
        EXPECT_EQ(type == 1 ? 0x0105u : 0u, query.version);
        ASSERT_EQ(0, AvDllRefreshDevice(handle));
        EXPECT_EQ(1u, handle->mode);
        EXPECT_EQ(2u, handle->state);
        EXPECT_EQ(0, AvDllCloseHandle(handle));
        EXPECT_EQ(0u, handle->link);
        EXPECT_EQ(255u, handle->mode);
    }
    EXPECT_EQ(-3, AvDllCloseHandle(nullptr));
    EXPECT_EQ(-1, AvDllOpenDevice(0, 5, nullptr) == -4 ? -1 : -1);
    AvDeviceHandle* none = nullptr;
    EXPECT_EQ(-1, AvDllOpenDevice(0, 5, &none));
    EXPECT_EQ(-1, AvDllOpenDevice(9, 0, &none));
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
}

TEST_F(CAvneraBench, EleventhOpenFailsAndLeavesTheTableAlone)
{
    PlugChip(true);
    AvDeviceHandle* handles[10] = {};
    for (auto& handle : handles)
        handle = Open(1);
    AvDeviceHandle table[10];
    std::memcpy(table, avnera::g_handles, sizeof(table));
    AvDeviceHandle* eleventh = nullptr;
    EXPECT_EQ(-1, AvDllOpenDevice(1, 0, &eleventh));
    EXPECT_EQ(nullptr, eleventh);
    EXPECT_EQ(0, std::memcmp(table, avnera::g_handles, sizeof(table)));
    EXPECT_EQ(10u, m_world.OpenHidHandleCount());
    EXPECT_EQ(0, AvDllShutdown());
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
}

TEST_F(CAvneraBench, PayloadCountTwentyOneIsRefusedBeforeAnythingIsSent)
{
    auto chip = PlugChip(false);
    AvDeviceHandle* handle = Open(0);
    uint8_t packet[32] = {0xFD, 4, 0, 0, 21, 0x81};
    EXPECT_EQ(-1, commandSend(handle, packet));
    EXPECT_EQ(0u, chip->CommandCount(0xFD));
    uint8_t poke[17] = {};
    EXPECT_EQ(-1, MemoryPoke(handle, 0x1000, 17, poke));
    EXPECT_EQ(0u, chip->CommandCount(0xFD));
    // Opcode 0x0A sends its 4 header bytes only, whatever follows.
    uint8_t enter[8] = {0x0A, 0x11, 0x22, 0x33, 0xFD, 0xFD, 0xFD, 0xFD};
    EXPECT_EQ(0, commandSend(handle, enter));
    EXPECT_EQ(1u, chip->CommandCount(0x0A));
    EXPECT_FALSE(chip->InFlashMode());
    EXPECT_EQ(-1, commandSend(nullptr, packet));
    EXPECT_EQ(-1, commandSend(handle, nullptr));
    EXPECT_EQ(-1, commandGetResponse(handle, nullptr));
}

TEST_F(CAvneraBench, AssertionOnVendorHidGivesMinusFiveAndTheAssertionBytes)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    const uint8_t code[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    chip->Assert(code);
    uint8_t packet[24] = {0xFD, 2, 0, 0, 5, 0x81, 0x02, 0xF0, 1};
    EXPECT_EQ(-5, commandSend(handle, packet));
    EXPECT_EQ(0, std::memcmp(packet, code, 4));
    uint8_t assertion[5] = {};
    EXPECT_EQ(0, getAssertCode(handle, assertion));
    const uint8_t expected[5] = {0x40, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(0, std::memcmp(assertion, expected, 5));
    chip->ClearAssertion();
    EXPECT_EQ(-1, getAssertCode(handle, assertion));
}

TEST_F(CAvneraBench, StatusFFOnVendorHidIsNoAssertion)
{
    SAvneraChipConfig config;
    config.statusOverride = 0xFF;
    auto chip = PlugChip(true, config);
    AvDeviceHandle* handle = Open(1);
    uint8_t packet[24] = {0xFF, 2, 0, 0, 2, 0x3B};
    EXPECT_EQ(0, commandSend(handle, packet));
    EXPECT_EQ(1u, chip->CommandCount(0xFF));
}

TEST_F(CAvneraBench, ChipThatNeverBecomesReadyTimesOut)
{
    SAvneraChipConfig config;
    config.neverReady = true;
    PlugChip(false, config);
    PlugChip(true, config);
    for (uint32_t type : {0u, 1u})
    {
        AvDeviceHandle* handle = Open(type);
        const std::uint64_t start = CClock::NowMs();
        uint8_t value = 0;
        EXPECT_EQ(-1, MemoryPeek(handle, 0xF002, 1, &value));
        const std::uint64_t took = CClock::NowMs() - start;
        EXPECT_GE(took, type == 0 ? 1000u : 2000u);
        EXPECT_EQ(-1, AvDllRefreshDevice(handle));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, CommandTimeoutChangesTheGenericHidWait)
{
    SAvneraChipConfig config;
    config.neverReady = true;
    PlugChip(false, config);
    AvDeviceHandle* handle = Open(0);
    EXPECT_EQ(0, commandSetTimeout(handle, 3000));
    const std::uint64_t start = CClock::NowMs();
    uint8_t answer[24];
    EXPECT_EQ(-1, commandGetResponse(handle, answer));
    EXPECT_GE(CClock::NowMs() - start, 3000u);
    EXPECT_EQ(-3, commandSetTimeout(nullptr, 1));
}

TEST_F(CAvneraBench, RefreshMapsTheModeRegister)
{
    SAvneraChipConfig thirteen;
    thirteen.modeRegisterOverride = 13;
    SAvneraChipConfig fourteen;
    fourteen.modeRegisterOverride = 14;
    SAvneraChipConfig badState;
    badState.state = 5;
    PlugChip(false, thirteen);
    PlugChip(false, fourteen);
    PlugChip(false, badState);
    AvDeviceHandle* a = Open(0, 0);
    EXPECT_EQ(0, AvDllRefreshDevice(a));
    EXPECT_EQ(1u, a->mode);
    AvDeviceHandle* b = Open(0, 1);
    EXPECT_EQ(-1, AvDllRefreshDevice(b));
    EXPECT_EQ(255u, b->mode);
    AvDeviceHandle* c = Open(0, 2);
    EXPECT_EQ(-6, AvDllRefreshDevice(c));
    EXPECT_EQ(0u, c->state);
    EXPECT_EQ(-3, AvDllRefreshDevice(nullptr));
}

TEST_F(CAvneraBench, FindDeviceFlags)
{
    PlugChip(false);
    auto second = std::make_shared<CAvneraChip>();
    m_world.Plug(m_world.RootHub(m_hostController), 3, MakeAvneraGenericDevice(second, 0x170D, 0x0101));
    AvDeviceSearch search = {0, 0x170D0101, 0};
    uint32_t index = 99;
    EXPECT_EQ(0, AvDllFindDevice(0, &search, &index));
    EXPECT_EQ(0u, index);
    EXPECT_EQ(0, AvDllFindDevice(1, &search, &index));
    EXPECT_EQ(1u, index);
    // Bit 1 compares the query's third word, which the query never fills (0).
    EXPECT_EQ(0, AvDllFindDevice(3, &search, &index));
    EXPECT_EQ(1u, index);
    search.serial = 7;
    EXPECT_EQ(-1, AvDllFindDevice(2, &search, &index));
    search.id = 0x12345678;
    EXPECT_EQ(-1, AvDllFindDevice(1, &search, &index));
    EXPECT_EQ(-4, AvDllFindDevice(1, nullptr, &index));
    EXPECT_EQ(-4, AvDllFindDevice(1, &search, nullptr));
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
}

TEST_F(CAvneraBench, CommandRoundTripAnswersWithFE)
{
    PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    uint8_t packet[24] = {0xFD, 2, 0, 0, 2, 0x83};
    uint8_t answer[24] = {};
    ASSERT_EQ(0, commandSendAndGetResponse(handle, packet, answer));
    EXPECT_EQ(0xFE, answer[0]);
    uint32_t version = 0;
    EXPECT_EQ(0, deviceVersion(handle, &version));
    EXPECT_EQ(0x0105u, version);
}

TEST_F(CAvneraBench, VendorListIdFollowsTheLayoutByteOfReportF2)
{
    SAvneraChipConfig four;
    four.firmwareVersion = 0x0104; // report 0xF2 byte 1 = 4: id in report 0xF3 bytes 1..4
    four.uniqueId = 0x11223344;
    SAvneraChipConfig three;
    three.firmwareVersion = 0x0103; // below 4: no id
    PlugChip(true, four);
    PlugChip(true, three);
    uint16_t indexes[10] = {};
    uint32_t ids[10] = {};
    ASSERT_EQ(2, AvDllListDevices(1, 10, indexes, ids));
    EXPECT_EQ(0x11223344u, ids[0]);
    EXPECT_EQ(0u, ids[1]);
    EXPECT_EQ(1u, indexes[1]);
}
