#pragma once
// Synthetic AV7300 boot images for tests and the bench: the image header of a
// part-table row, a bootloader, a chain of files (the version file 5, a
// primary image 1, the secondary image 12 and the device's version file 16
// after it; without a secondary image file 16 follows file 5), each file
// aligned to the next sector or not, with a chosen minor version and date;
// as bytes, or as the text image file (".ff": one line per byte, two hex
// digits).

#include <cstdint>
#include <string>
#include <vector>

struct SAV7300ImageSpec
{
    std::uint32_t flashPart = 31;       // row of the AV7300 part table
    std::uint32_t bootloaderSize = 300; // bytes after the 5-byte header
    std::uint32_t minorVersion = 5;     // first character of the version files (0..9)
    std::string date = "2015/11/24";    // after the version files' second comma
    std::uint32_t primarySize = 2500;   // file 1
    bool alignPrimary = true;           // the file after the primary starts at a sector
    bool withSecondary = true;          // file 12
    std::uint32_t secondarySize = 1800;
    bool alignSecondary = false;
    bool withDeviceVersion = true;      // file 16 (the device's version file)
    std::uint32_t seed = 1;             // content bytes
};

// The image's bytes; empty when an image of that shape does not fit the part.
std::vector<std::uint8_t> BuildAV7300Image(const SAV7300ImageSpec& spec);

// The three leading header bytes of an image for a part row.
void AV7300PartHeader(std::uint32_t flashPart, std::uint8_t header[3]);

// The text image file of an image, lines ending in "\r\n" or "\n".
std::string AV7300TextImage(const std::vector<std::uint8_t>& image, bool crlf = false);

// Where the chain's file with this ID starts in an image built from those settings
// (its 4-byte header), or 0xFFFFFFFF when it holds none.
std::uint32_t AV7300FileOffset(const SAV7300ImageSpec& spec, std::uint32_t fileId);
