#pragma once
// DFU files: a firmware image followed by the 16-byte suffix of USB DFU 1.1.
//
// Suffix layout (little-endian, last 16 bytes of the file):
//   bcdDevice(2) idProduct(2) idVendor(2) bcdDFU(2) "UFD"(3, stored reversed:
//   'U','F','D') bLength(1) dwCRC(4)
// dwCRC is the CRC-32 (reflected, polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, no final inversion) over every byte of the file except the CRC
// field itself.
//
// Portable; no OS headers. ParseDfuFile only reads inside the given buffer.

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t kDfuSuffixLength = 16;
constexpr std::uint16_t kDfuSuffixAnyId = 0xFFFF;
constexpr std::uint16_t kDfuVersion11 = 0x0100;

enum class EDfuFileResult
{
    Ok,
    TooShort,          // fewer bytes than a suffix
    NoSuffix,          // the "UFD" signature is missing
    BadSuffixLength,   // bLength smaller than 16 or longer than the file
    UnsupportedVersion, // bcdDFU is not 1.0/1.1
    BadCrc,            // signature fine, CRC-32 does not match
};

const char* DfuFileResultText(EDfuFileResult result);

struct SDfuSuffix
{
    std::uint16_t bcdDevice = kDfuSuffixAnyId;
    std::uint16_t idProduct = kDfuSuffixAnyId;
    std::uint16_t idVendor = kDfuSuffixAnyId;
    std::uint16_t bcdDFU = kDfuVersion11;
    std::uint8_t bLength = kDfuSuffixLength;
    std::uint32_t dwCRC = 0;
};

// CRC-32 as DFU files use it (see above). Chainable: pass the previous
// result as crc to continue over more bytes.
std::uint32_t DfuCrc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0xFFFFFFFFu);

// Checks the suffix and CRC of a whole DFU file. On Ok, suffix holds the
// fields and payloadSize the bytes before the suffix (bLength counted from
// the end; extra suffix bytes beyond 16 are not part of the payload).
EDfuFileResult ParseDfuFile(const std::uint8_t* data, std::size_t size, SDfuSuffix* suffix,
                            std::size_t* payloadSize);

// Appends a 16-byte suffix with a correct CRC to image.
void AppendDfuSuffix(std::vector<std::uint8_t>& image, std::uint16_t bcdDevice, std::uint16_t idProduct,
                     std::uint16_t idVendor);
