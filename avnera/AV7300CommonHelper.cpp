#include "avnera/AV7300CommonHelper.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "app/DiagnosticLog.h"
#include "avnera/SerialMemory.h"

const SAV7300FlashPart CAV7300CommonHelper::kFlashParts[kPartRows] = {
    {0, 0, 0, 0, 0},
    {1, 128, 4, 0, 0},
    {1, 128, 8, 0, 0},
    {1, 256, 8, 0, 0},
    {1, 512, 16, 1, 0},
    {1, 1024, 16, 3, 0},
    {1, 2048, 16, 7, 0},
    {1, 2048, 16, 0, 0},
    {1, 4096, 32, 0, 0},
    {1, 8192, 32, 0, 0},
    {1, 16384, 64, 4, 0},
    {1, 16384, 64, 0, 0},
    {1, 32768, 64, 4, 0},
    {1, 32768, 64, 0, 0},
    {1, 65536, 64, 4, 0},
    {1, 65536, 128, 0, 0},
    {1, 65536, 128, 0, 0},
    {1, 131072, 256, 1, 0},
    {0, 128, 8, 1, 0},
    {0, 256, 8, 1, 0},
    {0, 512, 8, 1, 0},
    {0, 1024, 32, 2, 0},
    {0, 2048, 32, 2, 0},
    {0, 4096, 32, 2, 0},
    {0, 8192, 32, 2, 0},
    {0, 16384, 64, 2, 0},
    {0, 32768, 64, 2, 0},
    {0, 65536, 128, 2, 4096},
    {0, 65536, 128, 3, 4096},
    {0, 65536, 256, 3, 32768},
    {0, 65536, 256, 3, 32768},
    {0, 131072, 256, 3, 65536},
    {0, 131072, 256, 3, 4096},
    {0, 262144, 256, 3, 4096},
    {0, 524288, 256, 3, 4096},
    {0, 65536, 1, 3, 4096}, // SST25VF512A
};

namespace
{
constexpr std::uint8_t kMaxSizeCode = 11;   // 128 KB
constexpr std::uint8_t kMaxSectorCode = 10; // 64 KB

// A hexadecimal digit's value, either case.
std::uint8_t Nibble(std::uint8_t c)
{
    return static_cast<std::uint8_t>((c + ((c & 0x40) != 0 ? 9 : 0)) & 0x0F);
}

bool IsHexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Text after the last line feed that carries no byte: editors leave a CR,
// blanks or an end-of-file mark there.
bool IsTrailingFiller(const std::uint8_t* p, std::uint32_t length)
{
    for (std::uint32_t i = 0; i < length; ++i)
        if (p[i] != '\r' && p[i] != ' ' && p[i] != '\t' && p[i] != 0x1A)
            return false;
    return true;
}

// sector is a power of two (64 << code).
std::uint32_t RoundUp(std::uint32_t value, std::uint32_t sector)
{
    return (value + sector - 1) & ~(sector - 1);
}
} // namespace

CAV7300CommonHelper::CAV7300CommonHelper(std::uint32_t flashPart, AV7300ReadCallback readCallback,
                                         void* callbackContext)
    : m_flashPart(flashPart), m_readCallback(readCallback), m_callbackContext(callbackContext)
{
    LogPrintf("CAV7300CommonHelper::CAV7300CommonHelper - flashPart[%d]\n", static_cast<int>(m_flashPart));
}

CAV7300CommonHelper::~CAV7300CommonHelper()
{
    LogPrintf("CAV7300CommonHelper::~CAV7300CommonHelper");
}

std::uint32_t CAV7300CommonHelper::LookupFlashPart(std::uint32_t flashSize, std::uint32_t pageSize,
                                                   std::uint32_t sectorSize, std::uint32_t addressBytes)
{
    std::uint32_t found = 0;
    for (std::uint32_t row = 18; row < kPartRows; ++row)
    {
        const SAV7300FlashPart& part = kFlashParts[row];
        const bool pageMatches = part.page == pageSize || (part.page == 1 && pageSize == 2);
        if (part.size == flashSize && part.sector == sectorSize && part.addressInfo == addressBytes && pageMatches)
            found = row;
    }
    return found;
}

void CAV7300CommonHelper::ExpectedHeader(std::uint32_t flashPart, std::uint8_t header[3])
{
    header[0] = header[1] = header[2] = 0;
    if (flashPart >= kPartRows)
        return;
    const SAV7300FlashPart& part = kFlashParts[flashPart];
    header[0] = static_cast<std::uint8_t>(avnera::PartSizeCode(part.size, kMaxSizeCode) | avnera::PartPageCode(part.page) << 4);
    if (part.memType == 0)
    {
        header[1] = static_cast<std::uint8_t>(avnera::PartSizeCode(part.sector, kMaxSectorCode) | (part.addressInfo & 0x0F) << 4);
    }
    else
    {
        std::uint8_t k = 0;
        switch (part.addressInfo)
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
        header[1] =
            static_cast<std::uint8_t>(((part.addressInfo * 2) & 0x0F) | k << 4 | (part.sector != 0 ? 1 : 0) << 7);
    }
    header[2] = static_cast<std::uint8_t>(0xFF - static_cast<std::uint8_t>(header[0] + header[1]));
}

SAV7300ImageHeader CAV7300CommonHelper::DecodeImageHeader(const std::uint8_t header[5])
{
    SAV7300ImageHeader decoded;
    decoded.flashSize = 64u << (header[0] & 0x0F);
    decoded.pageSize = 2u << (header[0] >> 4);
    decoded.sectorSize = 64u << (header[1] & 0x0F);
    decoded.addressBytes = (header[1] >> 4) & 0x03;
    decoded.bootloaderLength = static_cast<std::uint32_t>(header[3] | header[4] << 8);
    decoded.valid = header[2] == static_cast<std::uint8_t>(0xFF - header[1] - header[0]);
    return decoded;
}

SAV7300FileHeader CAV7300CommonHelper::DecodeFileHeader(const std::uint8_t header[4])
{
    SAV7300FileHeader decoded;
    decoded.id = header[0] & 0x7F;
    decoded.aligned = (header[0] & 0x80) != 0;
    decoded.size = static_cast<std::uint32_t>(header[1] | header[2] << 8);
    decoded.checksum = header[3];
    decoded.valid = header[3] == static_cast<std::uint8_t>(0xFF - header[2] - header[1] - header[0]);
    return decoded;
}

HResult CAV7300CommonHelper::PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* pRaw,
                                                  std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    if (rawSize == 0 || pRaw == nullptr || pImageSize == nullptr || ppImage == nullptr)
    {
        LogPrintf("Invalid Parameters");
        return HR_FAIL;
    }
    *pImageSize = 0;
    *ppImage = nullptr;

    // One byte per line. A last line without its line feed still carries a
    // byte, unless it holds nothing but filler.
    std::uint32_t size = 0;
    std::uint32_t lastLineStart = 0;
    for (std::uint32_t i = 0; i < rawSize; ++i)
        if (pRaw[i] == '\n')
        {
            ++size;
            lastLineStart = i + 1;
        }
    const bool unterminatedLine = !IsTrailingFiller(pRaw + lastLineStart, rawSize - lastLineStart);
    if (unterminatedLine)
        ++size;
    LogPrintf("size of firmware[%d]", static_cast<int>(size));

    std::uint8_t* image = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size];
    if (image == nullptr)
    {
        LogPrintf("CAV7300CommonHelper::PrepareFirmwareImage - ImageSize[%d] hRes[%08x]", static_cast<int>(size),
                  static_cast<unsigned>(HR_OUTOFMEMORY));
        return HR_OUTOFMEMORY;
    }
    std::memset(image, 0, size == 0 ? 1 : size);

    // Each line must begin with two hexadecimal digits: a short or blank line
    // would otherwise take its digits from the next line (or past the text).
    HResult hr = HR_OK;
    std::uint32_t line = 0;
    std::uint32_t start = 0;
    while (line < size)
    {
        std::uint32_t end = start;
        while (end < rawSize && pRaw[end] != '\n')
            ++end;
        if (end - start < 2 || !IsHexDigit(pRaw[start]) || !IsHexDigit(pRaw[start + 1]))
        {
            LogPrintf("CAV7300CommonHelper::PrepareFirmwareImage - malformed line[%d]\n", static_cast<int>(line + 1));
            hr = HR_INVALIDARG;
            break;
        }
        image[line] = static_cast<std::uint8_t>(Nibble(pRaw[start]) << 4 | Nibble(pRaw[start + 1]));
        ++line;
        start = end + 1;
    }

    std::uint32_t part = m_flashPart;
    if (hr == HR_OK && part == 0)
    {
        // The chip could not name its memory: the image names the part it
        // is made for, and the upgrade proves it against the memory.
        part = PartOfImage(image, size);
        LogPrintf("Flash part unknown: the image names part[%d]\n", static_cast<int>(part));
    }
    if (hr == HR_OK)
    {
        std::uint8_t expected[3];
        ExpectedHeader(part, expected);
        std::uint8_t actual[3] = {0, 0, 0};
        std::memcpy(actual, image, size < 3 ? size : 3);
        LogPrintf("Expected Header [%02X %02X %02x]", expected[2], expected[1], expected[0]);
        LogPrintf("Image Header [%02X %02X %02x]", actual[2], actual[1], actual[0]);
        // An image shorter than its own header fits no part.
        if (part == 0 || size < kImageHeaderSize || std::memcmp(actual, expected, 3) != 0)
        {
            LogPrintf("Incorrect Image for flash type");
            hr = HR_INVALIDARG;
        }
    }
    if (hr == HR_OK)
    {
        // Nothing is erased for an image that is cut short, corrupt or
        // larger than the memory.
        std::string problem;
        if (!CheckImage(part, image, size, nullptr, &problem))
        {
            LogPrintf("Incorrect Image - %s\n", problem.c_str());
            hr = HR_INVALIDARG;
        }
    }
    if (hr == HR_OK)
        m_imagePart = part;

    if (hr == HR_OK)
    {
        *pImageSize = size;
        *ppImage = image;
    }
    else
    {
        delete[] image;
    }
    LogPrintf("CAV7300CommonHelper::PrepareFirmwareImage - ImageSize[%d] hRes[%08x]", static_cast<int>(size),
              static_cast<unsigned>(hr));
    return hr;
}

std::uint32_t CAV7300CommonHelper::PartOfImage(const std::uint8_t* pImage, std::uint32_t imageSize)
{
    if (pImage == nullptr || imageSize < kImageHeaderSize)
        return 0;
    const SAV7300ImageHeader header = DecodeImageHeader(pImage);
    const std::uint32_t part =
        LookupFlashPart(header.flashSize, header.pageSize, header.sectorSize, header.addressBytes);
    std::uint8_t expected[3];
    ExpectedHeader(part, expected);
    return part != 0 && std::memcmp(expected, pImage, 3) == 0 ? part : 0;
}

bool CAV7300CommonHelper::CheckImage(std::uint32_t flashPart, const std::uint8_t* pImage, std::uint32_t imageSize,
                                     std::uint32_t* pChainEnd, std::string* pProblem)
{
    char text[160];
    auto fail = [&](const char* format, std::uint32_t a, std::uint32_t b) {
        std::snprintf(text, sizeof(text), format, static_cast<unsigned>(a), static_cast<unsigned>(b));
        if (pProblem != nullptr)
            *pProblem = text;
        return false;
    };
    if (pImage == nullptr || flashPart == 0 || flashPart >= kPartRows)
        return fail("no image or no part (part %u, %u bytes)", flashPart, imageSize);
    std::uint8_t expected[3];
    ExpectedHeader(flashPart, expected);
    if (imageSize < kImageHeaderSize || std::memcmp(expected, pImage, 3) != 0)
        return fail("the header is not the one of part %u (%u bytes)", flashPart, imageSize);
    const SAV7300ImageHeader header = DecodeImageHeader(pImage);
    const std::uint32_t memory = kFlashParts[flashPart].size;
    // What the header says and what the part holds must agree: a NOR part
    // wraps an address beyond its end, so a longer image would overwrite its
    // own beginning.
    if (header.flashSize != memory)
        return fail("the header names a memory of %u bytes, the part holds %u", header.flashSize, memory);
    if (imageSize > memory)
        return fail("the image has %u bytes, the memory holds %u", imageSize, memory);
    std::uint32_t index = kImageHeaderSize + header.bootloaderLength;
    if (index > imageSize)
        return fail("the bootloader of %u bytes runs past the image's end at %u", header.bootloaderLength, imageSize);
    const std::uint32_t sector = header.sectorSize;
    for (;;)
    {
        if (index >= imageSize)
            break;
        // What follows the chain in an image is erased padding or nothing.
        auto erasedFrom = [&](std::uint32_t from) {
            for (std::uint32_t i = from; i < imageSize; ++i)
                if (pImage[i] != 0xFF)
                    return false;
            return true;
        };
        if (imageSize - index < kFileHeaderSize)
        {
            if (erasedFrom(index))
                break;
            return fail("the image ends inside the file header at %u (%u bytes)", index, imageSize);
        }
        const SAV7300FileHeader file = DecodeFileHeader(pImage + index);
        if (!file.valid)
        {
            if (erasedFrom(index))
                break;
            return fail("the file header at %u fails its checksum (id %u)", index, file.id);
        }
        if (imageSize - index - kFileHeaderSize < file.size)
            return fail("file %u at %u runs past the image's end", file.id, index);
        index += kFileHeaderSize + file.size;
        if (file.aligned && sector != 0)
        {
            const std::uint64_t rounded = (static_cast<std::uint64_t>(index) + sector - 1) / sector * sector;
            index = rounded > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rounded);
        }
    }
    if (pChainEnd != nullptr)
        *pChainEnd = index;
    return true;
}

bool CAV7300CommonHelper::FindFileInDeviceFWImage(std::uint32_t fileId, std::uint32_t* pOffset,
                                                  std::uint32_t* pChainEnd)
{
    if (pChainEnd != nullptr)
        *pChainEnd = kNoFreeSector;
    if (pOffset == nullptr || m_readCallback == nullptr)
        return false;
    // Whatever ends the walk without a free sector to offer leads the owner
    // to a full update.
    *pOffset = kNoFreeSector;

    std::uint8_t raw[kImageHeaderSize];
    if (!m_readCallback(0, kImageHeaderSize, raw, m_callbackContext))
        return false;
    const SAV7300ImageHeader header = DecodeImageHeader(raw);
    LogPrintf("Firmware File Header\n");
    LogPrintf("Flash Size[%d] Page Size[%d] Sector Size[%d] Address Bytes[%d] Checksum[%02x] Valid[%d]\n",
              static_cast<int>(header.flashSize), static_cast<int>(header.pageSize),
              static_cast<int>(header.sectorSize), static_cast<int>(header.addressBytes), raw[2],
              header.valid ? 1 : 0);
    LogPrintf("First File is Bootloader\n");
    LogPrintf("Bootloader Size[%d]\n", static_cast<int>(header.bootloaderLength));
    if (!header.valid)
        return false;

    std::uint32_t index = kImageHeaderSize + header.bootloaderLength;
    // A file header must lie wholly inside the flash.
    while (index < header.flashSize && header.flashSize - index >= kFileHeaderSize)
    {
        std::uint8_t fileRaw[kFileHeaderSize];
        if (!m_readCallback(index, kFileHeaderSize, fileRaw, m_callbackContext))
        {
            *pOffset = kNoFreeSector;
            return false;
        }
        const SAV7300FileHeader file = DecodeFileHeader(fileRaw);
        if (!file.valid)
        {
            if (pChainEnd != nullptr)
                *pChainEnd = index;
            const std::uint32_t next = RoundUp(index, header.sectorSize);
            *pOffset = next < header.flashSize ? next : kNoFreeSector;
            return false;
        }
        if (file.id == fileId)
        {
            LogPrintf("Set FileOffset to [%d]\n", static_cast<int>(index));
            *pOffset = index;
            return true;
        }
        index += kFileHeaderSize + file.size;
        if (file.aligned)
            index = RoundUp(index, header.sectorSize);
        LogPrintf("Next Idx at [%d]\n", static_cast<int>(index));
    }
    // The chain filled the flash without the file: no free sector either.
    *pOffset = kNoFreeSector;
    return false;
}

bool CAV7300CommonHelper::FindFileInFWImage(std::uint32_t fileId, std::uint32_t* pOffset, std::uint32_t imageSize,
                                            const std::uint8_t* pImage)
{
    if (pOffset == nullptr || pImage == nullptr || imageSize <= kImageHeaderSize)
        return false;
    if (fileId == 0)
    {
        *pOffset = 0;
        return false;
    }
    const SAV7300ImageHeader header = DecodeImageHeader(pImage);
    const std::uint32_t end = header.flashSize < imageSize ? header.flashSize : imageSize;
    std::uint32_t index = kImageHeaderSize + header.bootloaderLength;
    while (index < end && end - index >= kFileHeaderSize)
    {
        const SAV7300FileHeader file = DecodeFileHeader(pImage + index);
        if (file.id == fileId)
        {
            *pOffset = index;
            return true;
        }
        index += kFileHeaderSize + file.size;
        if (file.aligned)
            index = RoundUp(index, header.sectorSize);
    }
    return false;
}

bool CAV7300CommonHelper::FileContentInFWImage(std::uint32_t offset, std::uint32_t imageSize,
                                               const std::uint8_t* pImage, const std::uint8_t** ppContent,
                                               std::uint32_t* pContentSize)
{
    if (pImage == nullptr || ppContent == nullptr || pContentSize == nullptr || offset > imageSize ||
        imageSize - offset < kFileHeaderSize)
        return false;
    const SAV7300FileHeader file = DecodeFileHeader(pImage + offset);
    if (imageSize - offset - kFileHeaderSize < file.size)
        return false;
    *ppContent = pImage + offset + kFileHeaderSize;
    *pContentSize = file.size;
    return true;
}

std::uint32_t CAV7300CommonHelper::VersionFileMinor(const std::uint8_t* pContent, std::uint32_t size)
{
    if (pContent == nullptr || size == 0 || pContent[0] < '0' || pContent[0] > '9')
        return 0;
    return static_cast<std::uint32_t>(pContent[0] - '0');
}

bool CAV7300CommonHelper::VersionFileString(const std::uint8_t* pContent, std::uint32_t size, std::string* pVersion)
{
    if (pVersion == nullptr)
        return false;
    pVersion->clear();
    if (pContent == nullptr)
        return false;
    std::uint32_t j = size;
    std::uint32_t commas = 0;
    for (std::uint32_t i = 0; i < size; ++i)
        if (pContent[i] == ',' && ++commas == 2)
        {
            j = i;
            break;
        }
    // The date's six characters lie at j+3 .. j+10; content that ends before
    // them gives no version string rather than bytes from beyond the file.
    if (j >= size || size - j <= 10)
        return false;
    char text[32];
    std::snprintf(text, sizeof(text), "1.%d.%c%c%c%c%c%c", static_cast<int>(VersionFileMinor(pContent, size)),
                  pContent[j + 3], pContent[j + 4], pContent[j + 6], pContent[j + 7], pContent[j + 9],
                  pContent[j + 10]);
    *pVersion = text;
    return true;
}
