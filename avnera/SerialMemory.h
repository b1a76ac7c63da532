#pragma once
// Serial-memory parts and the chip firmware's layout tables.

#include <cstdint>

namespace avnera
{
struct SSerialPart
{
    std::uint32_t memType; // 0 SPI serial flash, 1 I2C serial EEPROM
    std::uint32_t size;
    std::uint32_t page;
    std::uint32_t addressInfo;
    std::uint32_t sector; // 0: no sector erase
};

constexpr std::uint32_t kPartRows = 41;
extern const SSerialPart kSerialParts[kPartRows];

// Layout of the chip firmware by (mode, state): index mode * 4 + state.
struct SFirmwareLayout
{
    std::uint16_t parameterBlock;
    std::uint16_t ramBuffer;      // generic HID when genericHid, else the other transports
    std::uint16_t chunkSize;
    std::uint8_t memoryKindOffset;
    std::uint16_t downloadBase;
};
// False when mode or state is out of range.
bool FirmwareLayout(std::uint32_t mode, std::uint32_t state, bool genericHid, SFirmwareLayout& layout);

// The codes of a part header: a size of 128 << (code - 1) bytes, for codes
// 1..maxCode (0 for any other size), and the page code of 1, 4, 8 ... 256
// bytes (0 for any other page).
std::uint8_t PartSizeCode(std::uint32_t size, std::uint8_t maxCode);
std::uint8_t PartPageCode(std::uint32_t page);

// The three part-header bytes (size/page code, sector or address code, check).
void PartHeader(std::uint32_t memType, std::uint32_t size, std::uint32_t page, std::uint32_t addressInfo,
                std::uint32_t sector, std::uint8_t header[3]);
} // namespace avnera
