#include "avnera/AvneraImageFiles.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace avnera
{
namespace
{
bool IsHexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint8_t Nibble(std::uint8_t c)
{
    return static_cast<std::uint8_t>((c + ((c & 0x40) != 0 ? 9 : 0)) & 0x0F);
}

// Spaces, tabs, CR and ^Z (editors and old tools leave them at the end).
bool IsTrailingFiller(const std::uint8_t* p, std::uint32_t n)
{
    for (std::uint32_t i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != '\t' && p[i] != '\r' && p[i] != 0x1A)
            return false;
    return true;
}

bool BadArguments(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    if (rawSize == 0 || pRaw == nullptr || pImageSize == nullptr || ppImage == nullptr)
        return true;
    *pImageSize = 0;
    *ppImage = nullptr;
    return false;
}

int Digit(std::uint8_t c)
{
    return static_cast<int>(c) - '0';
}
int TwoDigits(const std::uint8_t* p)
{
    return Digit(p[0]) * 10 + Digit(p[1]);
}
} // namespace

HResult ConvertLineImage(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize,
                         std::uint8_t** ppImage)
{
    if (BadArguments(rawSize, pRaw, pImageSize, ppImage))
        return HR_FAIL;
    std::uint32_t size = 0;
    std::uint32_t lastLineStart = 0;
    for (std::uint32_t i = 0; i < rawSize; ++i)
        if (pRaw[i] == '\n')
        {
            ++size;
            lastLineStart = i + 1;
        }
    if (!IsTrailingFiller(pRaw + lastLineStart, rawSize - lastLineStart))
        ++size;
    if (size == 0)
        return HR_INVALIDARG;
    std::uint8_t* image = new (std::nothrow) std::uint8_t[size];
    if (image == nullptr)
        return HR_OUTOFMEMORY;
    std::uint32_t start = 0;
    for (std::uint32_t line = 0; line < size; ++line)
    {
        std::uint32_t end = start;
        while (end < rawSize && pRaw[end] != '\n')
            ++end;
        // A short line must not take its digits from the next one.
        if (end - start < 2 || !IsHexDigit(pRaw[start]) || !IsHexDigit(pRaw[start + 1]))
        {
            delete[] image;
            return HR_INVALIDARG;
        }
        image[line] = static_cast<std::uint8_t>(Nibble(pRaw[start]) << 4 | Nibble(pRaw[start + 1]));
        start = end + 1;
    }
    *pImageSize = size;
    *ppImage = image;
    return HR_OK;
}

HResult ConvertRcfImage(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize,
                        std::uint8_t** ppImage)
{
    if (BadArguments(rawSize, pRaw, pImageSize, ppImage))
        return HR_FAIL;
    // A last byte without its line end still counts; any other remainder
    // must be filler.
    const std::uint32_t whole = rawSize / 4;
    const std::uint32_t rest = rawSize % 4;
    const std::uint8_t* tail = pRaw + 4 * whole;
    const bool lastWithoutLineEnd = rest >= 2 && IsHexDigit(tail[0]) && IsHexDigit(tail[1]) &&
                                    IsTrailingFiller(tail + 2, rest - 2);
    if (!lastWithoutLineEnd && !IsTrailingFiller(tail, rest))
        return HR_INVALIDARG;
    const std::uint32_t size = whole + (lastWithoutLineEnd ? 1 : 0);
    if (size == 0)
        return HR_INVALIDARG;
    std::uint8_t* image = new (std::nothrow) std::uint8_t[size];
    if (image == nullptr)
        return HR_OUTOFMEMORY;
    for (std::uint32_t i = 0; i < size; ++i)
    {
        const std::uint8_t* p = pRaw + 4 * i;
        // Two digits and a line end: anything else means the file is not
        // what it claims to be, and the bytes after it would be misread.
        if (!IsHexDigit(p[0]) || !IsHexDigit(p[1]) || (i < whole && (IsHexDigit(p[2]) || IsHexDigit(p[3]))))
        {
            delete[] image;
            return HR_INVALIDARG;
        }
        image[i] = static_cast<std::uint8_t>(Nibble(p[0]) << 4 | Nibble(p[1]));
    }
    *pImageSize = size;
    *ppImage = image;
    return HR_OK;
}

bool DecodeAV7201FirmwareInfo(const std::uint8_t* pText, std::uint32_t size, SAV7201FirmwareInfo* pInfo)
{
    if (pText == nullptr || pInfo == nullptr || size < kAV7201FirmwareInfoMinText)
        return false;
    int year = 0;
    int month = 0;
    int day = 0;
    if (size == kAV7201FirmwareInfoMinText)
    {
        pInfo->major = Digit(pText[24]);
        pInfo->minor = TwoDigits(pText + 26);
        year = TwoDigits(pText + 20);
        month = TwoDigits(pText + 16);
        day = TwoDigits(pText + 18);
    }
    else
    {
        if (size < 34)
            return false; // the longer layout reads up to character 33
        pInfo->major = Digit(pText[31]);
        pInfo->minor = TwoDigits(pText + 32);
        year = TwoDigits(pText + 27);
        month = TwoDigits(pText + 23);
        day = TwoDigits(pText + 25);
    }
    pInfo->build = static_cast<std::uint32_t>(year) << 9 | (static_cast<std::uint32_t>(month) & 0x0F) << 5 |
                   (static_cast<std::uint32_t>(day) & 0x1F);
    return true;
}

std::string FormatAV7201Version(const SAV7201FirmwareInfo& info)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d%02d%02d", info.major, info.minor,
                  static_cast<int>(info.build >> 9), static_cast<int>((info.build >> 5) & 0x0F),
                  static_cast<int>(info.build & 0x1F));
    return text;
}

bool CheckAV7201Image(const std::uint8_t* pImage, std::uint32_t imageSize, std::uint32_t eepromSize,
                      std::string* pProblem)
{
    char text[160];
    auto fail = [&](const char* format, unsigned a, unsigned b) {
        std::snprintf(text, sizeof text, format, a, b);
        if (pProblem != nullptr)
            *pProblem = text;
        return false;
    };
    if (pImage == nullptr)
        return fail("no image (%u, %u)", 0, 0);
    if (imageSize > eepromSize)
        return fail("the image has %u bytes, the EEPROM holds %u", imageSize, eepromSize);
    if (imageSize < kAV7201FirstFileOffset)
        return fail("the image has %u bytes, its header ends at %u", imageSize, kAV7201FirstFileOffset);
    const std::uint32_t files = pImage[kAV7201ImageHeaderOffset + 1];
    if (files == 0 || files == 0xFF)
        return fail("the image header names %u files (%u)", files, 0);
    std::uint32_t offset = kAV7201FirstFileOffset;
    for (std::uint32_t file = 0; file < files; ++file)
    {
        if (imageSize - offset < kAV7201FileHeaderSize)
            return fail("the image ends inside the header of file %u at %u", file + 1, offset);
        const std::uint32_t size = static_cast<std::uint32_t>(pImage[offset] | pImage[offset + 1] << 8);
        if (size < kAV7201FileHeaderSize)
            return fail("file %u at %u is shorter than its header", file + 1, offset);
        if (size > imageSize - offset)
            return fail("file %u at %u runs past the image's end", file + 1, offset);
        offset += size;
    }
    return true;
}

bool CheckAV62xxImage(const std::uint8_t* pImage, std::uint32_t imageSize, std::uint32_t memorySize,
                      const std::uint8_t partHeader[3], std::string* pProblem)
{
    char text[160];
    auto fail = [&](const char* format, unsigned a, unsigned b) {
        std::snprintf(text, sizeof text, format, a, b);
        if (pProblem != nullptr)
            *pProblem = text;
        return false;
    };
    if (pImage == nullptr || imageSize < 3)
        return fail("the image has %u bytes, a part header %u", imageSize, 3);
    if (imageSize > memorySize)
        return fail("the image has %u bytes, the memory holds %u", imageSize, memorySize);
    const bool isHeader = pImage[0] != 0 && pImage[0] != 0xFF &&
                          static_cast<std::uint8_t>(pImage[0] + pImage[1] + pImage[2]) == 0xFF;
    if (isHeader && std::memcmp(pImage, partHeader, 3) != 0)
        return fail("the image is made for another memory (its header %02X %02X ...)", pImage[0], pImage[1]);
    return true;
}

bool FindAV7201FileInImage(std::uint8_t type, std::uint32_t index, std::uint32_t imageSize,
                           const std::uint8_t* pImage, const std::uint8_t** ppContent, std::uint32_t* pContentSize)
{
    if (pImage == nullptr || ppContent == nullptr || pContentSize == nullptr ||
        imageSize < kAV7201FirstFileOffset)
        return false;
    const std::uint32_t files = pImage[kAV7201ImageHeaderOffset + 1];
    std::uint32_t offset = kAV7201FirstFileOffset;
    std::uint32_t matches = 0;
    for (std::uint32_t file = 0; file < files; ++file)
    {
        if (imageSize - offset < kAV7201FileHeaderSize)
            return false;
        const std::uint8_t* header = pImage + offset;
        const std::uint32_t size = static_cast<std::uint32_t>(header[0] | header[1] << 8);
        if (size < kAV7201FileHeaderSize || size > imageSize - offset)
            return false;
        if (header[2] == type && matches++ == index)
        {
            *ppContent = header + kAV7201FileHeaderSize;
            *pContentSize = size - kAV7201FileHeaderSize;
            return true;
        }
        offset += size;
    }
    return false;
}
} // namespace avnera
