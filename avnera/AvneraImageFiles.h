#pragma once
// Image files and EEPROM images of the AV7201 and AV6201/AV6302 headsets.
//
// Text image files (untrusted input, every byte is checked):
// - one byte per line (AV6201/AV6302): each line begins with two hexadecimal
//   digits; the number of bytes is the number of line feeds (a last line
//   without its line feed still counts unless it holds only filler);
// - ".rcf" (AV7201): every byte takes four characters, two hexadecimal
//   digits and a two-character line end; the image is raw size / 4 bytes.
// Hexadecimal digits are converted as (c + (c & 0x40 ? 9 : 0)) & 0x0F.
//
// AV7201 EEPROM image layout (also the layout of an .rcf image):
//   0x00..0x7F  the chip's own configuration; an upgrade never writes it
//   0x80        image header, 4 bytes: byte 1 = number of files
//   0x84        chain of files: bytes 0-1 size S including this 4-byte
//               header (little-endian), byte 2 type, byte 3 unused; the
//               next file starts S bytes further on
// The firmware-information file has type 0x80: text of at least 28 bytes
// with the date and the version at fixed places.

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace avnera
{
// Both converters: 0 with a new[] image the caller owns; 0x80004005 for null
// or zero arguments; 0x80070057 for a malformed line or an empty result;
// 0x8007000E without memory. Nothing is handed out on failure.
HResult ConvertLineImage(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize,
                         std::uint8_t** ppImage);
HResult ConvertRcfImage(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize,
                        std::uint8_t** ppImage);

constexpr std::uint32_t kAV7201ImageHeaderOffset = 0x80;
constexpr std::uint32_t kAV7201FirstFileOffset = 0x84;
constexpr std::uint32_t kAV7201FileHeaderSize = 4;
constexpr std::uint8_t kAV7201FirmwareInfoType = 0x80;
constexpr std::uint32_t kAV7201FirmwareInfoMinText = 28;

struct SAV7201FirmwareInfo
{
    int major = 0;
    int minor = 0;
    std::uint32_t build = 0; // year << 9 | month << 5 | day
};

// Decodes the firmware-information text; false when it is shorter than 28 bytes.
bool DecodeAV7201FirmwareInfo(const std::uint8_t* pText, std::uint32_t size, SAV7201FirmwareInfo* pInfo);
// "%d.%d.%02d%02d%02d" of major, minor and the build's year, month and day.
std::string FormatAV7201Version(const SAV7201FirmwareInfo& info);

// The whole AV7201 image before anything is written: it fits an EEPROM of
// eepromSize bytes (an EEPROM decodes only its own address bits, so a longer
// image would wrap over the configuration at 0), holds the image header and
// a number of files other than 0 and 0xFF, and every one of those files
// (size at least its 4-byte header) lies wholly inside it. false with the
// reason in *pProblem (may be null).
bool CheckAV7201Image(const std::uint8_t* pImage, std::uint32_t imageSize, std::uint32_t eepromSize,
                      std::string* pProblem);

// The whole AV6201/AV6302 image: at least a part header's three bytes, no
// larger than the memory, and, when its first three bytes are a part header
// (they sum to 0xFF, the first neither 0 nor 0xFF), the header of this part.
bool CheckAV62xxImage(const std::uint8_t* pImage, std::uint32_t imageSize, std::uint32_t memorySize,
                      const std::uint8_t partHeader[3], std::string* pProblem);

// The content of the index-th file (from 0) of the type in an image buffer.
// The walk follows at most the header's number of files and stays inside
// the buffer: a size below 4 or a file that runs past the end ends it.
bool FindAV7201FileInImage(std::uint8_t type, std::uint32_t index, std::uint32_t imageSize,
                           const std::uint8_t* pImage, const std::uint8_t** ppContent, std::uint32_t* pContentSize);
} // namespace avnera
