#pragma once
// Synthetic images for the AV7201 and AV6201/AV6302 headsets, for tests and
// the bench: the bytes, and the text files the upgraders read.
//
// AV7201: the EEPROM image layout (128 configuration bytes, the image header
// at 0x80, a chain of files with the firmware-information file of type 0x80
// among them), as an ".rcf" file (two hex digits and CR LF per byte).
// AV6201/AV6302: a boot image whose first three bytes are the part header of
// the serial memory (SPI flash row 36, I2C EEPROM row 12), as a text file of
// one byte per line.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct SAV7201ImageSpec
{
    int major = 2;
    int minor = 5;
    int year = 15;
    int month = 11;
    int day = 24;
    bool longInfo = false; // the longer firmware-information text (34 characters)
    // Files besides the firmware information: type and content size.
    std::vector<std::pair<std::uint8_t, std::uint32_t>> files = {{0x01, 700}, {0x02, 250}};
    std::uint32_t totalSize = 0; // pad with 0xFF up to this size (0: no padding)
    std::uint32_t seed = 1;      // content bytes
};

// The 128 configuration bytes every AV7201 EEPROM image starts with.
std::vector<std::uint8_t> AV7201ConfigBlock();
std::vector<std::uint8_t> MakeAV7201Image(const SAV7201ImageSpec& spec = {});
std::string ToRcfText(const std::vector<std::uint8_t>& image);

struct SAV62xxImageSpec
{
    std::uint32_t partRow = 36; // 36 (AV6201 SPI flash) or 12 (AV6302 I2C EEPROM)
    std::uint32_t size = 8192;
    std::uint32_t seed = 1;
};

std::vector<std::uint8_t> MakeAV62xxImage(const SAV62xxImageSpec& spec = {});
// One byte per line, two upper-case hex digits and CR LF.
std::string ToLineText(const std::vector<std::uint8_t>& image);
