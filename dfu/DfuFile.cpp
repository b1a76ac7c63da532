#include "dfu/DfuFile.h"

#include <array>

namespace
{
std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i)
    {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}

std::uint16_t Le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLe16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
} // namespace

const char* DfuFileResultText(EDfuFileResult result)
{
    switch (result)
    {
    case EDfuFileResult::Ok: return "ok";
    case EDfuFileResult::TooShort: return "file too short for a DFU suffix";
    case EDfuFileResult::NoSuffix: return "no DFU suffix";
    case EDfuFileResult::BadSuffixLength: return "bad DFU suffix length";
    case EDfuFileResult::UnsupportedVersion: return "unsupported DFU version";
    case EDfuFileResult::BadCrc: return "DFU file CRC mismatch";
    }
    return "unknown";
}

std::uint32_t DfuCrc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc)
{
    static const std::array<std::uint32_t, 256> table = MakeCrcTable();
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

EDfuFileResult ParseDfuFile(const std::uint8_t* data, std::size_t size, SDfuSuffix* suffix,
                            std::size_t* payloadSize)
{
    if (data == nullptr || size < kDfuSuffixLength)
        return EDfuFileResult::TooShort;
    const std::uint8_t* s = data + size - kDfuSuffixLength;
    if (s[8] != 'U' || s[9] != 'F' || s[10] != 'D')
        return EDfuFileResult::NoSuffix;
    SDfuSuffix parsed;
    parsed.bcdDevice = Le16(s + 0);
    parsed.idProduct = Le16(s + 2);
    parsed.idVendor = Le16(s + 4);
    parsed.bcdDFU = Le16(s + 6);
    parsed.bLength = s[11];
    parsed.dwCRC = Le32(s + 12);
    if (parsed.bLength < kDfuSuffixLength || parsed.bLength > size)
        return EDfuFileResult::BadSuffixLength;
    if (parsed.bcdDFU != 0x0100 && parsed.bcdDFU != 0x0110 && parsed.bcdDFU != 0x011A)
        return EDfuFileResult::UnsupportedVersion;
    if (DfuCrc32(data, size - 4) != parsed.dwCRC)
        return EDfuFileResult::BadCrc;
    if (suffix)
        *suffix = parsed;
    if (payloadSize)
        *payloadSize = size - parsed.bLength;
    return EDfuFileResult::Ok;
}

void AppendDfuSuffix(std::vector<std::uint8_t>& image, std::uint16_t bcdDevice, std::uint16_t idProduct,
                     std::uint16_t idVendor)
{
    PutLe16(image, bcdDevice);
    PutLe16(image, idProduct);
    PutLe16(image, idVendor);
    PutLe16(image, kDfuVersion11);
    image.push_back('U');
    image.push_back('F');
    image.push_back('D');
    image.push_back(static_cast<std::uint8_t>(kDfuSuffixLength));
    const std::uint32_t crc = DfuCrc32(image.data(), image.size());
    for (int i = 0; i < 4; ++i)
        image.push_back(static_cast<std::uint8_t>((crc >> (8 * i)) & 0xFF));
}
