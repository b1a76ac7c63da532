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
    EXPECT_EQ(-4, AvDllOpenDevice(0, 5, nullptr));
    AvDeviceHandle* none = nullptr;
    EXPECT_EQ(-1, AvDllOpenDevice(0, 5, &none));
    EXPECT_EQ(-1, AvDllOpenDevice(9, 0, &none));
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
}

TEST_F(CAvneraBench, EleventhOpenFailsAndLeavesTheTableAlone)
{
    PlugChip(true);
    AvDeviceHandle* handles[10] = {};
    AvDeviceHandle table[10];
    for (std::size_t i = 0; i < 10; ++i)
    {
        handles[i] = Open(1);
        ASSERT_NE(nullptr, handles[i]);
        table[i] = *handles[i];
    }
    AvDeviceHandle* eleventh = nullptr;
    EXPECT_EQ(-1, AvDllOpenDevice(1, 0, &eleventh));
    EXPECT_EQ(nullptr, eleventh);
    for (std::size_t i = 0; i < 10; ++i)
    {
        EXPECT_EQ(0, std::memcmp(&table[i], handles[i], sizeof(AvDeviceHandle))) << i;
        EXPECT_TRUE(avnera::IsOpenHandle(handles[i])) << i;
    }
    EXPECT_EQ(10u, avnera::OpenHandleCount());
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

TEST_F(CAvneraBench, AnAssertedChipIsMinusFiveOnBothFacesAndKeepsItsCode)
{
    const uint8_t code[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    const uint8_t expected[5] = {0x40, 0xDE, 0xAD, 0xBE, 0xEF};
    auto generic = PlugChip(false);
    auto vendor = PlugChip(true);
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        AvDeviceHandle* handle = Open(type);
        ASSERT_NE(nullptr, handle);
        const std::vector<uint8_t> ram = chip->Ram(0x2000, 4);
        chip->Assert(code);
        // The status report of an asserted chip carries the assertion, not data.
        uint8_t peek[4] = {0x11, 0x22, 0x33, 0x44};
        EXPECT_EQ(-5, MemoryPeek(handle, 0x2000, 4, peek)) << "type " << type;
        EXPECT_EQ(0x11, peek[0]);
        uint32_t version = 0x5A5A;
        EXPECT_EQ(-5, deviceVersion(handle, &version)) << "type " << type;
        EXPECT_EQ(0x5A5Au, version);
        const uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_EQ(-5, MemoryPoke(handle, 0x2000, 4, data)) << "type " << type;
        EXPECT_EQ(ram, chip->Ram(0x2000, 4));
        // A command without an answer is not sent into the void either.
        EXPECT_EQ(-5, systemPair(handle)) << "type " << type;
        uint8_t answer[24] = {};
        EXPECT_EQ(-5, commandGetResponse(handle, answer)) << "type " << type;
        EXPECT_EQ(0, std::memcmp(answer, expected, 5));
        uint8_t assertion[5] = {};
        ASSERT_EQ(0, getAssertCode(handle, assertion)) << "type " << type;
        EXPECT_EQ(0, std::memcmp(assertion, expected, 5));
        chip->ClearAssertion();
        EXPECT_EQ(-1, getAssertCode(handle, assertion));
        EXPECT_EQ(0, MemoryPeek(handle, 0x2000, 4, peek));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, AnAnswerThatIsNotTheCommandsIsAFailure)
{
    auto generic = PlugChip(false);
    auto vendor = PlugChip(true);
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        chip->SetRam(0x3000, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6});
        AvDeviceHandle* handle = Open(type);
        uint8_t peek[16] = {};
        struct SCase
        {
            EAvneraFault fault;
            uint32_t param;
        };
        for (const SCase& c : {SCase{EAvneraFault::ShortAnswer, 1}, SCase{EAvneraFault::ShortAnswer, 9},
                               SCase{EAvneraFault::WrongOpcode, 0}, SCase{EAvneraFault::NoAnswer, 0},
                               SCase{EAvneraFault::Lost, 0}})
        {
            chip->ArmFault(c.fault, 1, c.param);
            std::memset(peek, 0xEE, sizeof(peek));
            EXPECT_EQ(-1, MemoryPeek(handle, 0x3000, 16, peek))
                << "type " << type << " fault " << static_cast<int>(c.fault) << " " << c.param;
            chip->ArmFault(c.fault, 1, c.param);
            uint32_t version = 0;
            EXPECT_EQ(-1, deviceVersion(handle, &version)) << "type " << type << " fault " << static_cast<int>(c.fault);
            chip->ArmFault(c.fault, 1, c.param);
            uint8_t answer[24] = {};
            uint8_t packet[24] = {0xFD, static_cast<uint8_t>(type == 0 ? 4 : 2), 0, 0, 2, 0x83};
            const int32_t raw = commandSendAndGetResponse(handle, packet, answer);
            if (c.fault != EAvneraFault::ShortAnswer)
            {
                EXPECT_EQ(-1, raw);
            }
        }
        // The answer of an earlier command is never taken for this one's.
        uint8_t other[4] = {};
        ASSERT_EQ(0, MemoryPeek(handle, 0x3004, 4, other));
        chip->ArmFault(EAvneraFault::Lost, 1);
        EXPECT_EQ(-1, MemoryPeek(handle, 0x3000, 4, peek));
        ASSERT_EQ(0, MemoryPeek(handle, 0x3000, 16, peek));
        EXPECT_EQ(chip->Ram(0x3000, 16), std::vector<uint8_t>(peek, peek + 16));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, AClosedHandleNeverNamesTheDeviceOpenedAfterIt)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* first = Open(1);
    ASSERT_NE(nullptr, first);
    const AvDeviceHandle copy = *first;
    EXPECT_NE(0u, first->reserved);
    ASSERT_EQ(0, AvDllShutdown());
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
    EXPECT_EQ(0u, first->reserved);
    AvDeviceHandle* second = Open(1);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_NE(copy.reserved, second->reserved);
    // The first handle is closed: nothing it is given reaches the second device.
    EXPECT_EQ(-3, AvDllCloseHandle(first));
    EXPECT_EQ(1u, m_world.OpenHidHandleCount());
    uint8_t value = 0;
    EXPECT_EQ(-3, MemoryPeek(first, 0xF002, 1, &value));
    uint8_t packet[24] = {0xFD, 2, 0, 0, 2, 0x83};
    EXPECT_EQ(-3, commandSend(first, packet));
    EXPECT_EQ(-3, deviceReset(first, 0));
    EXPECT_EQ(-3, SetFlashType(first, 1));
    EXPECT_EQ(-3, AvDllRefreshDevice(first));
    uint32_t version = 0;
    EXPECT_EQ(0, deviceVersion(second, &version));
    // A copy of an open handle is not a handle either.
    AvDeviceHandle mine = *second;
    EXPECT_EQ(-3, deviceVersion(&mine, &version));
    EXPECT_EQ(-3, AvDllCloseHandle(&mine));
    EXPECT_EQ(0, AvDllCloseHandle(second));
    EXPECT_EQ(-3, AvDllCloseHandle(second));
    // Ten opens later, a slot that came round again still gets a handle of its own.
    AvDeviceHandle* seen[30] = {};
    for (auto& handle : seen)
    {
        handle = Open(1);
        ASSERT_NE(nullptr, handle);
        for (AvDeviceHandle* before : seen)
        {
            if (before != handle && before != nullptr)
            {
                EXPECT_EQ(-3, AvDllCloseHandle(before));
            }
        }
        AvDllCloseHandle(handle);
    }
    EXPECT_EQ(0u, m_world.OpenHidHandleCount());
}
