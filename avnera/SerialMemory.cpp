#include "avnera/SerialMemory.h"

namespace avnera
{
const SSerialPart kSerialParts[kPartRows] = {
    {0, 0, 0, 0, 0},
    {1, 128, 4, 0, 0},       {1, 128, 8, 0, 0},       {1, 256, 8, 0, 0},       {1, 512, 16, 1, 0},
    {1, 1024, 16, 3, 0},     {1, 2048, 16, 7, 0},     {1, 2048, 16, 0, 0},     {1, 4096, 32, 0, 0},
    {1, 8192, 32, 0, 0},     {1, 16384, 64, 4, 0},    {1, 16384, 1, 0, 0},     {1, 16384, 64, 0, 0},
    {1, 32768, 64, 4, 0},    {1, 32768, 64, 0, 0},    {1, 65536, 64, 4, 0},    {1, 65536, 128, 0, 0},
    {1, 65536, 128, 0, 0},   {1, 65536, 128, 0, 0},   {1, 65536, 128, 0, 0},   {1, 65536, 128, 0, 0},
    {1, 131072, 256, 1, 0},  {0, 128, 8, 1, 0},       {0, 256, 8, 1, 0},       {0, 512, 8, 1, 0},
    {0, 1024, 32, 2, 0},     {0, 2048, 32, 2, 0},     {0, 4096, 32, 2, 0},     {0, 8192, 32, 2, 0},
    {0, 16384, 64, 2, 0},    {0, 32768, 64, 2, 0},    {0, 65536, 128, 2, 4096}, {0, 65536, 128, 3, 4096},
    {0, 65536, 256, 3, 32768}, {0, 65536, 256, 3, 32768}, {0, 131072, 256, 3, 65536}, {0, 131072, 256, 3, 4096},
    {0, 262144, 256, 3, 4096}, {0, 262144, 256, 3, 65536}, {0, 524288, 256, 3, 4096}, {0, 65536, 1, 3, 4096},
};

namespace
{
constexpr std::uint16_t kParameterBlock[12] = {0xC41B, 0xC41B, 0xC44A, 0xC42D, 0xC416, 0xC416,
                                               0xC451, 0xB53A, 0xC42D, 0xC42D, 0xFFFF, 0xFFFF};
constexpr std::uint8_t kKindOffset[12] = {0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1};
constexpr std::uint16_t kDownloadBase[12] = {0xC756, 0xC756, 0xC764, 0xD312, 0xC628, 0xC628,
                                             0xC771, 0xBB5C, 0xC62F, 0xC627, 0xFFFF, 0xFFFF};
} // namespace

bool FirmwareLayout(std::uint32_t mode, std::uint32_t state, bool genericHid, SFirmwareLayout& layout)
{
    if (mode > 2 || state > 3)
        return false;
    const std::uint32_t index = mode * 4 + state;
    layout.parameterBlock = kParameterBlock[index];
    layout.ramBuffer = genericHid || index < 10 ? 0xE900 : 0xFFFF;
    layout.chunkSize = 1024;
    layout.memoryKindOffset = kKindOffset[index];
    layout.downloadBase = kDownloadBase[index];
    return true;
}

std::uint8_t PartSizeCode(std::uint32_t size, std::uint8_t maxCode)
{
    std::uint32_t value = 128;
    for (std::uint8_t code = 1; code <= maxCode; ++code, value <<= 1)
        if (size == value)
            return code;
    return 0;
}

std::uint8_t PartPageCode(std::uint32_t page)
{
    switch (page)
    {
    case 1: return 0;
    case 4: return 1;
    case 8: return 2;
    case 16: return 3;
    case 32: return 4;
    case 64: return 5;
    case 128: return 6;
    case 256: return 7;
    default: return 0;
    }
}

void PartHeader(std::uint32_t memType, std::uint32_t size, std::uint32_t page, std::uint32_t addressInfo,
                std::uint32_t sector, std::uint8_t header[3])
{
    header[0] = static_cast<std::uint8_t>(PartSizeCode(size, 15) | PartPageCode(page) << 4);
    if (memType == 0)
    {
        header[1] = static_cast<std::uint8_t>(PartSizeCode(sector, 15) | (addressInfo & 0x0F) << 4);
    }
    else
    {
        std::uint8_t k = 0;
        switch (addressInfo)
        {
        case 1:
        case 2:
        case 4: k = 1; break;
        case 3:
        case 5:
        case 6: k = 2; break;
        case 7: k = 3; break;
        default: k = 0; break;
        }
        header[1] = static_cast<std::uint8_t>(((addressInfo * 2) & 0x0F) | k << 4 | (sector != 0 ? 1 : 0) << 7);
    }
    header[2] = static_cast<std::uint8_t>(0xFF - static_cast<std::uint8_t>(header[0] + header[1]));
}
} // namespace avnera
