// Memory, EEPROM and serial-memory exports against the simulated chip.
#include <cstring>
#include <numeric>
#include <vector>

#include "avnera/SerialMemory.h"
#include "platform/Clock.h"
#include "tests/avnera/AvneraTestSupport.h"

namespace
{
std::vector<uint8_t> Pattern(std::size_t length, uint8_t seed)
{
    std::vector<uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return data;
}

// The chip's firmware finishes a triggered write after the host has moved on.
void Settle()
{
    CClock::Sleep(100);
}

SAvneraChipConfig RowConfig(uint32_t row)
{
    const avnera::SSerialPart& part = avnera::kSerialParts[row];
    SAvneraChipConfig config;
    config.serialKind = part.memType == 0 ? EAvneraSerialKind::SpiFlash : EAvneraSerialKind::I2cEeprom;
    config.serialSize = part.size;
    config.serialPage = part.page;
    config.serialSector = part.sector;
    return config;
}
} // namespace

TEST_F(CAvneraBench, PeekPokeRoundTripsOnBothFacesAndRemotes)
{
    auto generic = PlugChip(false);
    auto vendor = PlugChip(true);
    for (uint32_t type : {0u, 1u})
    {
        AvDeviceHandle* handle = Open(type);
        auto& chip = type == 0 ? generic : vendor;
        const std::vector<uint8_t> data = Pattern(16, static_cast<uint8_t>(type));
        ASSERT_EQ(0, MemoryPoke(handle, 0x2000, 16, data.data()));
        EXPECT_EQ(data, chip->Ram(0x2000, 16));
        uint8_t back[16] = {};
        ASSERT_EQ(0, MemoryPeek(handle, 0x2000, 16, back));
        EXPECT_EQ(0, std::memcmp(back, data.data(), 16));

        const uint8_t remote[3] = {9, 8, 7};
        ASSERT_EQ(0, RemotePoke(handle, 2, 0x0100, 3, remote));
        EXPECT_EQ(std::vector<uint8_t>({9, 8, 7}), chip->RemoteRam(2, 0x0100, 3));
        EXPECT_EQ(std::vector<uint8_t>({0, 0, 0}), chip->Ram(0x0100, 3));
        uint8_t remoteBack[3] = {};
        ASSERT_EQ(0, RemotePeek(handle, 2, 0x0100, 3, remoteBack));
        EXPECT_EQ(0, std::memcmp(remoteBack, remote, 3));
        // No device paired as 5: nothing answers.
        EXPECT_EQ(-1, RemotePeek(handle, 5, 0x0100, 3, remoteBack));

        EXPECT_EQ(-4, MemoryPeek(nullptr, 0, 1, back));
        EXPECT_EQ(-4, MemoryPeek(handle, 0, 0, back));
        EXPECT_EQ(-4, MemoryPoke(handle, 0, 1, nullptr));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, EepromPiecesOfEightEightFourAtTheRightAddresses)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    const std::vector<uint8_t> data = Pattern(20, 0x30);
    ASSERT_EQ(0, eepromWrite(handle, 0x0100, 20, data.data()));
    EXPECT_EQ(data, chip->Eeprom(0x0100, 20));
    EXPECT_EQ(3u, chip->CommandCount(0xFF));
    EXPECT_EQ(std::vector<uint8_t>(4, 0xFF), chip->Eeprom(0x0114, 4));
    std::vector<uint8_t> back(20);
    ASSERT_EQ(0, eepromRead(handle, 0x0100, 20, back.data()));
    EXPECT_EQ(data, back);
    // A read that does not start on a 256-byte boundary gets its own bytes.
    std::vector<uint8_t> middle(5);
    ASSERT_EQ(0, eepromRead(handle, 0x0109, 5, middle.data()));
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 9, data.begin() + 14), middle);
    EXPECT_EQ(-3, eepromRead(nullptr, 0, 1, back.data()));
    EXPECT_EQ(-4, eepromWrite(handle, 0, 1, nullptr));
}

TEST_F(CAvneraBench, SerialFlashRoundTripWithPartHeaderOnBothFaces)
{
    // Row 35: SPI flash, 128 KiB, 256-byte pages, 64 KiB sectors.
    auto generic = PlugChip(false, RowConfig(35));
    auto vendor = PlugChip(true, RowConfig(35));
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        AvDeviceHandle* handle = Open(type);
        std::vector<uint8_t> data = Pattern(300, static_cast<uint8_t>(0x40 + type));
        ASSERT_EQ(0, SerialMemWrite(handle, 0, 300, data.data(), 35));
        EXPECT_EQ(0x7B, data[0]);
        EXPECT_EQ(0x3A, data[1]);
        EXPECT_EQ(0x4A, data[2]);
        Settle();
        EXPECT_EQ(data, chip->Serial(0, 300));
        std::vector<uint8_t> back(300);
        ASSERT_EQ(0, SerialMemRead(handle, 0, 300, back.data(), 35));
        EXPECT_EQ(data, back);

        // Writing over programmed flash only clears bits: the flash does not
        // hold what was asked, and the write says so. Erase brings 0xFF back.
        std::vector<uint8_t> ones(16, 0xF0);
        EXPECT_EQ(-1, SerialMemWrite(handle, 0x100, 16, ones.data(), 35));
        Settle();
        std::vector<uint8_t> anded(16);
        for (int i = 0; i < 16; ++i)
            anded[i] = static_cast<uint8_t>(data[0x100 + i] & 0xF0);
        EXPECT_EQ(anded, chip->Serial(0x100, 16));
        ASSERT_EQ(0, SerialMemErase(handle, 0, 300, data.data(), 35));
        EXPECT_EQ(std::vector<uint8_t>(300, 0xFF), chip->Serial(0, 300));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, SerialEepromRowRoundTrip)
{
    // Row 13: I2C EEPROM, 32 KiB, 64-byte pages, address info 4.
    auto chip = PlugChip(true, RowConfig(13));
    AvDeviceHandle* handle = Open(1);
    std::vector<uint8_t> data = Pattern(100, 0x11);
    ASSERT_EQ(0, SerialMemWrite(handle, 0x40, 100, data.data(), 13));
    EXPECT_EQ(data, chip->Serial(0x40, 100));
    // I2C EEPROM is written, not ANDed.
    std::vector<uint8_t> again = Pattern(100, 0x99);
    ASSERT_EQ(0, SerialMemWrite(handle, 0x40, 100, again.data(), 13));
    EXPECT_EQ(again, chip->Serial(0x40, 100));
    std::vector<uint8_t> back(100);
    ASSERT_EQ(0, SerialMemRead(handle, 0x40, 100, back.data(), 13));
    EXPECT_EQ(again, back);
    std::vector<uint8_t> blank(15, 0xFF);
    ASSERT_EQ(0, SerialMemErase(handle, 0x40, 15, blank.data(), 13));
    EXPECT_EQ(blank, chip->Serial(0x40, 15));
}

TEST_F(CAvneraBench, PartBlockThatDoesNotDescribeTheChipsMemoryChangesNothing)
{
    auto chip = PlugChip(true, RowConfig(35));
    AvDeviceHandle* handle = Open(1);
    std::vector<uint8_t> data = Pattern(64, 1);
    // Row 36 has 4 KiB sectors: the firmware refuses the block, without a
    // word. Nothing is written, and the write does not say it was.
    EXPECT_EQ(-1, SerialMemWrite(handle, 0x1000, 64, data.data(), 36));
    EXPECT_EQ(std::vector<uint8_t>(64, 0xFF), chip->Serial(0x1000, 64));
    EXPECT_EQ(-1, SerialMemErase(handle, 0x1000, 64, data.data(), 36));
    EXPECT_EQ(-4, SerialMemRead2(handle, 0, 16, data.data(), 2, 65536, 256, 3, 4096));
    EXPECT_EQ(-3, SerialMemRead(nullptr, 0, 16, data.data(), 35));
    EXPECT_EQ(-4, SerialMemRead(handle, 0, 16, nullptr, 35));
}

TEST_F(CAvneraBench, EraseOfTenThousandBytesWithFourKiBSectorsTakesThreeSectors)
{
    auto chip = PlugChip(false, RowConfig(36));
    AvDeviceHandle* handle = Open(0);
    std::vector<uint8_t> data = Pattern(16384, 0);
    ASSERT_EQ(0, SerialMemWrite(handle, 0, 16384, data.data(), 36));
    Settle();
    ASSERT_EQ(data, chip->Serial(0, 16384));
    const std::uint64_t start = CClock::NowMs();
    ASSERT_EQ(0, SerialMemErase(handle, 0, 10000, data.data(), 36));
    EXPECT_GE(CClock::NowMs() - start, 4500u);
    EXPECT_EQ(3u, chip->EraseCount());
    EXPECT_EQ(std::vector<uint8_t>(12288, 0xFF), chip->Serial(0, 12288));
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 12288, data.end()), chip->Serial(12288, 4096));
}

TEST_F(CAvneraBench, FlashModeReEnumeratesOnGenericHidAndDownloadLandsOnTheNewDevice)
{
    auto chip = PlugChip(false);
    AvDeviceHandle* handle = Open(0);
    ASSERT_EQ(0, SerialMemEnterFlashMode(&handle));
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(chip->InFlashMode());
    uint16_t indexes[10];
    uint32_t ids[10];
    ASSERT_EQ(1, AvDllListDevices(0, 10, indexes, ids));
    EXPECT_EQ(0x170D0100u, ids[0]);
    EXPECT_EQ(0, AvDllCloseHandle(handle));
}

TEST_F(CAvneraBench, DownloadOnGenericHidContinuesOnTheReopenedDevice)
{
    SAvneraChipConfig config;
    config.mode = 1;
    auto chip = PlugChip(false, config);
    AvDeviceHandle* handle = Open(0);
    const std::vector<uint8_t> image = Pattern(700, 0x5A);
    ASSERT_EQ(0, SerialMemDownload(handle, 0, 700, image.data()));
    EXPECT_TRUE(chip->Running());
    EXPECT_EQ(image, chip->DownloadedImage());
    uint16_t indexes[10];
    uint32_t ids[10];
    ASSERT_EQ(1, AvDllListDevices(0, 10, indexes, ids));
    EXPECT_EQ(0x170D0101u, ids[0]);
}

TEST_F(CAvneraBench, DownloadOnVendorHidWritesAtTheDownloadBase)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    const std::vector<uint8_t> image = Pattern(300, 0x21);
    ASSERT_EQ(0, SerialMemDownload(handle, 0, 300, image.data()));
    EXPECT_TRUE(chip->Running());
    EXPECT_EQ(image, chip->DownloadedImage());
    EXPECT_EQ(image, chip->Ram(0xC756, 300));
    EXPECT_EQ(-3, SerialMemDownload(nullptr, 0, 1, image.data()));
    EXPECT_EQ(-4, SerialMemDownload(handle, 0, 1, nullptr));
}

TEST_F(CAvneraBench, FlashWriteAndReadThroughTheMemoryReport)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    const std::vector<uint8_t> data = Pattern(600, 0x77);
    ASSERT_EQ(0, SetFlashType(handle, 1));
    EXPECT_EQ(1u, handle->flashType);
    ASSERT_EQ(0, FlashWrite(handle, 0x3000, 600, data.data()));
    EXPECT_EQ(data, chip->Serial(0x3000, 600));
    std::vector<uint8_t> back(600);
    ASSERT_EQ(0, FlashRead(handle, 0x3000, 600, back.data()));
    EXPECT_EQ(data, back);
    EXPECT_EQ(-3, FlashRead(nullptr, 0, 1, back.data()));
}

TEST(AvneraPartHeader, CodesSizePageSectorAndCheck)
{
    uint8_t header[3];
    const avnera::SSerialPart& row35 = avnera::kSerialParts[35];
    avnera::PartHeader(row35.memType, row35.size, row35.page, row35.addressInfo, row35.sector, header);
    EXPECT_EQ(0x7B, header[0]);
    EXPECT_EQ(0x3A, header[1]);
    EXPECT_EQ(0x4A, header[2]);
    for (uint32_t row = 0; row < avnera::kPartRows; ++row)
    {
        const avnera::SSerialPart& p = avnera::kSerialParts[row];
        avnera::PartHeader(p.memType, p.size, p.page, p.addressInfo, p.sector, header);
        EXPECT_EQ(0xFF, static_cast<uint8_t>(header[0] + header[1] + header[2])) << row;
    }
    // I2C EEPROM row 5: 1024 bytes (code 4), page 16 (code 3), address info 3 (k = 2).
    const avnera::SSerialPart& row5 = avnera::kSerialParts[5];
    avnera::PartHeader(row5.memType, row5.size, row5.page, row5.addressInfo, row5.sector, header);
    EXPECT_EQ(0x34, header[0]);
    EXPECT_EQ(0x26, header[1]);
}

TEST_F(CAvneraBench, SlowChipStillRoundTrips)
{
    // Answers show only after a while, transfers take most of the host's
    // 200 ms, a sector erase most of its 1500 ms. At a twentieth of real
    // time a held-up test thread does not look like a chip that missed its
    // time-out.
    CClock::SetTimeScale(0.05);
    SAvneraChipConfig config = RowConfig(36);
    config.answerDelayMs = 30;
    config.serialCopyMs = 150;
    config.eraseMs = 1200;
    auto generic = PlugChip(false, config);
    auto vendor = PlugChip(true, config);
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        AvDeviceHandle* handle = Open(type);
        const std::vector<uint8_t> data = Pattern(16, 3);
        ASSERT_EQ(0, MemoryPoke(handle, 0x2100, 16, data.data()));
        uint8_t back[16] = {};
        ASSERT_EQ(0, MemoryPeek(handle, 0x2100, 16, back));
        EXPECT_EQ(0, std::memcmp(back, data.data(), 16));
        std::vector<uint8_t> image = Pattern(1200, static_cast<uint8_t>(type + 9));
        ASSERT_EQ(0, SerialMemWrite(handle, 0x1000, 1200, image.data(), 36));
        std::vector<uint8_t> read(1200);
        ASSERT_EQ(0, SerialMemRead(handle, 0x1000, 1200, read.data(), 36)) << "type " << type;
        EXPECT_EQ(image, read);
        ASSERT_EQ(0, SerialMemErase(handle, 0x1000, 1200, image.data(), 36));
        EXPECT_EQ(std::vector<uint8_t>(1200, 0xFF), chip->Serial(0x1000, 1200));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, VendorChipDropsPacketsForTheGenericDestination)
{
    auto chip = PlugChip(true);
    AvDeviceHandle* handle = Open(1);
    uint8_t packet[24] = {0xFD, 4, 0, 0, 2, 0x83};
    uint8_t answer[24] = {};
    EXPECT_EQ(-1, commandSendAndGetResponse(handle, packet, answer));
    packet[1] = 2;
    EXPECT_EQ(0, commandSendAndGetResponse(handle, packet, answer));
}

TEST_F(CAvneraBench, SerialReadsGiveTheChipsBytesOrFailNeverStaleOnes)
{
    SAvneraChipConfig config = RowConfig(36);
    auto generic = PlugChip(false, config);
    auto vendor = PlugChip(true, config);
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        const std::vector<uint8_t> image = Pattern(2048, static_cast<uint8_t>(0x60 + type));
        chip->SerialProgram(0, image.data(), image.size());
        AvDeviceHandle* handle = Open(type);
        // A read fills the chip's RAM buffer with the first kilobyte.
        std::vector<uint8_t> back(1024);
        ASSERT_EQ(0, SerialMemRead(handle, 0, 1024, back.data(), 36));
        EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 1024), back);
        // Past the part's end: refused before anything is sent, the buffer untouched.
        std::vector<uint8_t> outside(32, 0x77);
        EXPECT_EQ(-4, SerialMemRead(handle, 131072 - 16, 32, outside.data(), 36));
        EXPECT_EQ(-4, SerialMemRead(handle, 131072, 1, outside.data(), 36));
        EXPECT_EQ(-4, SerialMemWrite(handle, 131072 - 16, 32, outside.data(), 36));
        EXPECT_EQ(-4, SerialMemErase(handle, 131000, 4096, outside.data(), 36));
        EXPECT_EQ(std::vector<uint8_t>(32, 0x77), outside);
        // A part the chip refuses (64 KiB sectors): the RAM buffer still holds
        // the first kilobyte, which is not the second one.
        std::vector<uint8_t> refused(1024, 0x77);
        EXPECT_EQ(-1, SerialMemRead(handle, 1024, 1024, refused.data(), 35));
        // A copy trigger that got lost leaves the buffer as it was: the read
        // sees that and copies once more, and gives the chip's bytes.
        chip->ArmFault(EAvneraFault::Lost, 8); // kind, sector, geometry, marker, address, RAM, length: the trigger
        ASSERT_EQ(0, SerialMemRead(handle, 1024, 1024, refused.data(), 36));
        EXPECT_EQ(std::vector<uint8_t>(image.begin() + 1024, image.end()), refused);
        // The marker's own value in the chip's memory is no failure.
        std::vector<uint8_t> marked(1024, 0xA5);
        chip->SerialProgram(4096, marked.data(), marked.size());
        ASSERT_EQ(0, SerialMemRead(handle, 4096, 1024, back.data(), 36));
        EXPECT_EQ(marked, back);
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, SerialWritesAreReadBackAndCutAtPageBoundaries)
{
    // Row 13: I2C EEPROM, 32 KiB, 64-byte pages. The firmware writes a
    // transfer in page writes counted from its own address, and the EEPROM
    // wraps each inside its page: a transfer that starts inside a page and
    // runs past it would land on the page's start.
    auto eeprom = PlugChip(true, RowConfig(13));
    AvDeviceHandle* handle = Open(1);
    std::vector<uint8_t> data = Pattern(300, 0x21);
    ASSERT_EQ(0, SerialMemWrite(handle, 0x30, 300, data.data(), 13));
    EXPECT_EQ(data, eeprom->Serial(0x30, 300));
    EXPECT_EQ(std::vector<uint8_t>(0x30, 0xFF), eeprom->Serial(0, 0x30));
    // A write trigger that got lost: the part does not hold the bytes.
    std::vector<uint8_t> other = Pattern(40, 0x99);
    const std::vector<uint8_t> before = eeprom->Serial(0x200, 40);
    eeprom->ArmFault(EAvneraFault::Lost, 14); // kind, select, sector, header, geometry, address, RAM, 3 pieces, address, RAM, length: the trigger
    EXPECT_EQ(-1, SerialMemWrite(handle, 0x200, 40, other.data(), 13));
    EXPECT_EQ(before, eeprom->Serial(0x200, 40));
    AvDllCloseHandle(handle);

    // SPI flash with 256-byte pages: the same across a page boundary.
    auto flash = PlugChip(false, RowConfig(36));
    handle = Open(0, 1);
    std::vector<uint8_t> spi = Pattern(700, 0x42);
    ASSERT_EQ(0, SerialMemWrite(handle, 0x1F80, 700, spi.data(), 36));
    EXPECT_EQ(spi, flash->Serial(0x1F80, 700));
    AvDllCloseHandle(handle);
}

TEST_F(CAvneraBench, EraseTakesEverySectorTheRangeTouchesAndIsReadBack)
{
    auto chip = PlugChip(true, RowConfig(36));
    const std::vector<uint8_t> image = Pattern(16384, 3);
    chip->SerialProgram(0, image.data(), image.size());
    AvDeviceHandle* handle = Open(1);
    std::vector<uint8_t> buffer(16, 0xFF);
    // 0x0800..0x17FF touches sectors 0 and 1.
    ASSERT_EQ(0, SerialMemErase(handle, 0x0800, 0x1000, buffer.data(), 36));
    EXPECT_EQ(std::vector<uint8_t>(0x2000, 0xFF), chip->Serial(0, 0x2000));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x2000, image.end()), chip->Serial(0x2000, 16384 - 0x2000));
    // An erase answered but never done: the sector still holds its bytes.
    chip->ArmFault(EAvneraFault::Lost, 6); // kind, sector, geometry, address, length: the erase
    EXPECT_EQ(-1, SerialMemErase(handle, 0x2000, 16, buffer.data(), 36));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x2000, image.begin() + 0x3000), chip->Serial(0x2000, 0x1000));
    AvDllCloseHandle(handle);
}

TEST_F(CAvneraBench, FlashTypeZeroPassesNothingThroughAndIsRefused)
{
    auto generic = PlugChip(false);
    auto vendor = PlugChip(true);
    for (uint32_t type : {0u, 1u})
    {
        auto& chip = type == 0 ? generic : vendor;
        AvDeviceHandle* handle = Open(type);
        const std::vector<uint8_t> data = Pattern(300, 0x10);
        std::vector<uint8_t> back(300, 0x77);
        EXPECT_EQ(0u, handle->flashType);
        EXPECT_EQ(-4, FlashWrite(handle, 0x2000, 300, data.data())) << "type " << type;
        EXPECT_EQ(-4, FlashRead(handle, 0x2000, 300, back.data())) << "type " << type;
        EXPECT_EQ(std::vector<uint8_t>(300, 0x77), back);
        EXPECT_EQ(std::vector<uint8_t>(300, 0xFF), chip->Serial(0x2000, 300));
        // With a flash type the flash is reached, across a page boundary too,
        // and read back: flash that was not erased fails.
        ASSERT_EQ(0, SetFlashType(handle, 1));
        ASSERT_EQ(0, FlashWrite(handle, 0x20C0, 300, data.data())) << "type " << type;
        EXPECT_EQ(data, chip->Serial(0x20C0, 300));
        const std::vector<uint8_t> zeros(16, 0x0F);
        EXPECT_EQ(-1, FlashWrite(handle, 0x20C0, 16, zeros.data())) << "type " << type;
        ASSERT_EQ(0, SetFlashType(handle, 0));
        EXPECT_EQ(-4, FlashRead(handle, 0x20C0, 1, back.data()));
        AvDllCloseHandle(handle);
    }
}

TEST_F(CAvneraBench, EepromPiecesStayInsideTheirPageAndAreReadBack)
{
    // The EEPROM takes each write packet as one page write: a piece that ran
    // over a page boundary would wrap onto the page's start.
    SAvneraChipConfig config;
    config.eepromPage = 16;
    auto chip = PlugChip(false, config);
    AvDeviceHandle* handle = Open(0);
    const std::vector<uint8_t> data = Pattern(37, 0x50);
    ASSERT_EQ(0, eepromWrite(handle, 0x010C, 37, data.data()));
    EXPECT_EQ(data, chip->Eeprom(0x010C, 37));
    EXPECT_EQ(std::vector<uint8_t>(12, 0xFF), chip->Eeprom(0x0100, 12));
    // A write packet that got lost: nothing says so but the read-back.
    chip->ArmFault(EAvneraFault::Lost, 2);
    EXPECT_EQ(-1, eepromWrite(handle, 0x0400, 20, data.data()));
    // Past 0xFFFF the address would start again at 0.
    EXPECT_EQ(-4, eepromWrite(handle, 0xFFF8, 9, data.data()));
    EXPECT_EQ(-4, eepromRead(handle, 0xFFF8, 9, std::vector<uint8_t>(9).data()));
    std::vector<uint8_t> back(8);
    EXPECT_EQ(0, eepromRead(handle, 0xFFF8, 8, back.data()));
    AvDllCloseHandle(handle);
}
