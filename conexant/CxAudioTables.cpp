// The chip-type table, the memory tables and the status texts.
#include "conexant/CxAudioTypes.h"

namespace
{

// Rows: type, access, lowest start, highest start, size, highest end,
// request id, reply id, chunk unit, largest payload, request offset, reply
// offset, reserved, write delay, read delay.
constexpr SCxMemoryDescriptor kTableA[kCxMemoryTypeCount] = {
    {0, 0x1, 0x0000, 0x1FFF, 0x2000, 0x1FFF, 0x08, 0x09, 1, 1, 4, 2, {0, 0}, 0, 0},
    {1, 0x3, 0x0000, 0x1BFF, 0x1C00, 0x1FFF, 0x08, 0x09, 1, 1, 4, 2, {0, 0}, 0, 0},
    {2, 0x1, 0x1C00, 0x7BFF, 0x6000, 0x1FFF, 0x08, 0x09, 1, 1, 4, 2, {0, 0}, 0, 0},
    {3, 0x7, 0x0000, 0x27FF, 0x2800, 0x1FFF, 0x08, 0x09, 2, 2, 3, 1, {0, 0}, 0, 0},
    {4, 0x5, 0x0000, 0x27FF, 0x2800, 0x1FFF, 0x08, 0x09, 2, 2, 3, 1, {0, 0}, 0, 0},
};

constexpr SCxMemoryDescriptor kTableB[kCxMemoryTypeCount] = {
    {0, 0x3, 0x00000, 0x1FFFF, 0x20000, 0x1FFFF, 0x04, 0x05, 1, 0x20, 5, 1, {0, 0}, 0, 0},
    {1, 0x3, 0x0000, 0x27FF, 0x2800, 0xFFFF, 0x04, 0x05, 1, 0x20, 5, 1, {0, 0}, 0, 0},
    {2, 0x1, 0x0000, 0x27FF, 0x2800, 0xFFFF, 0x04, 0x05, 1, 0x20, 5, 1, {0, 0}, 0, 0},
    {3, 0x7, 0x0000, 0x27FF, 0x2800, 0x0FFF, 0x04, 0x05, 2, 2, 4, 1, {0, 0}, 0, 0},
    {4, 0x5, 0x0000, 0x27FF, 0x2800, 0x0FFF, 0x04, 0x05, 2, 2, 4, 1, {0, 0}, 0, 0},
};

constexpr SCxMemoryDescriptor kTableC[kCxMemoryTypeCount] = {
    {0, 0x3, 0x00000, 0x1FFFF, 0x20000, 0x1FFFF, 0x04, 0x05, 1, 1, 5, 1, {0, 0}, 0, 0},
    kTableB[1],
    kTableB[2],
    kTableB[3],
    kTableB[4],
};

// Rows: flags, memory table, write bit, memory type 3 bit, memory type 0
// bit, reserved, usage page, usage, feature, input and output lengths,
// reserved, signature, its length, signature required.
constexpr SCxProtocolDescriptor kProtocols[kCxChipTypeCount] = {
    {0x30, 0, 0x80, 0x40, 0x20, 0, 0x000C, 0x0001, 0, 3, 6, 0, "CAT_V033", 8, 0, {}},
    {0x01, 1, 0x40, 0x80, 0x20, 0, 0x000C, 0x0001, 0, 0x21, 0x25, 0, "CHAN_", 5, 0, {}},
    {0x01, 2, 0x40, 0x80, 0x20, 0, 0x000C, 0x0001, 0, 0x21, 0x25, 0, "CATP_", 5, 1, {}},
    {0x30, 0, 0x80, 0x40, 0x20, 0, 0x000C, 0x0001, 0, 3, 6, 0, "TIKI_", 5, 1, {}},
    {0x00, -1, 0, 0, 0, 0, 0x000C, 0x0001, 0, 0x3E, 0x3E, 0, "CAPE", 4, 0, {}},
};

const char* const kStatusTexts[kCxStatusLast + 1] = {
    "OK",
    "Operation aborted by user",
    "System (OS) error",
    "Device not found",
    "Insufficient memory",
    "Feature not implemented",
    "Invalid (null) pointer",
    "Invalid handle",
    "Invalid interface",
    "Invalid device type",
    "Invalid operation",
    "Invalid parameter",
    "Invalid memory type",
    "Invalid memory access",
    "Invalid memory address",
    "Invalid (null) buffer",
    "Invalid (zero) buffer size",
    "Insufficient (too small) buffer size",
    "Invalid bit field",
    "Invalid bit field value",
    "Device read error",
    "Device write error",
    "File open error",
    "File read error",
    "File write error",
    "File close error",
    "Invalid patch file",
    "Incompatible patch file (conflict with EEPROM size)",
    "Incompatible patch file (wrong device)",
    "Incompatible patch file (wrong FW version)",
    "Incompatible patch file (unsafe contents)",
    "Patch verification failed",
    "Memory is not patchable",
    "Serial number is not supported",
    "Serial number is not programmed",
    "Serial number is already programmed",
    "Serial number is too long",
    "Serial number is too short",
    "Invalid serial number",
    "EEPROM not detected",
    "EEPROM size is unknown",
};

const char* const kChipNames[kCxChipTypeCount] = {"CX20562", "CX2070x", "CX2077x", "CX2076x", "CX20805"};
} // namespace

const char* CxStatusText(int status)
{
    if (status < 0 || status > kCxStatusLast)
        return "Invalid status";
    return kStatusTexts[status];
}

const SCxProtocolDescriptor& CxProtocolDescriptor(int chipType)
{
    return kProtocols[chipType];
}

const SCxMemoryDescriptor* CxMemoryTable(int table)
{
    switch (table)
    {
    case 0: return kTableA;
    case 1: return kTableB;
    case 2: return kTableC;
    default: return nullptr;
    }
}

const char* CxChipName(int chipType)
{
    if (chipType < 0 || chipType >= kCxChipTypeCount)
        return "unknown";
    return kChipNames[chipType];
}

std::uint8_t CxRequestChecksum(const std::uint8_t* request, std::size_t end)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < end; ++i)
        sum += 0xFFu - request[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}
