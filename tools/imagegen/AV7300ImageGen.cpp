#include "tools/imagegen/AV7300ImageGen.h"

#include "avnera/AV7300CommonHelper.h"

namespace
{
std::uint8_t Code(std::uint32_t value, std::uint32_t first, std::uint8_t firstCode, std::uint8_t maxCode)
{
    std::uint8_t code = firstCode;
    for (std::uint32_t v = first; code <= maxCode; v <<= 1, ++code)
        if (v == value)
            return code;
    return 0;
}

struct SFile
{
    std::uint8_t id;
    bool aligned;
    std::vector<std::uint8_t> content;
};

std::vector<SFile> Files(const SAV7300ImageSpec& spec)
{
    std::string version = std::to_string(spec.minorVersion % 10) + ",AV7300 bench," + spec.date;
    std::vector<SFile> files;
    files.push_back({5, false, std::vector<std::uint8_t>(version.begin(), version.end())});
    // The device tells its version by file 16: with a secondary image it
    // travels there, so that a secondary-only update brings the new version
    // along; without one it follows file 5.
    const SFile deviceVersion{16, false, std::vector<std::uint8_t>(version.begin(), version.end())};
    if (!spec.withSecondary && spec.withDeviceVersion)
        files.push_back(deviceVersion);
    std::uint32_t x = spec.seed * 2654435761u + 1;
    auto bytes = [&](std::uint32_t n) {
        std::vector<std::uint8_t> v(n);
        for (auto& b : v)
        {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        return v;
    };
    files.push_back({1, spec.alignPrimary, bytes(spec.primarySize)});
    if (spec.withSecondary)
    {
        files.push_back({12, spec.alignSecondary, bytes(spec.secondarySize)});
        if (spec.withDeviceVersion)
            files.push_back(deviceVersion);
    }
    return files;
}

std::uint32_t SectorOf(std::uint32_t flashPart)
{
    const SAV7300FlashPart& part = CAV7300CommonHelper::kFlashParts[flashPart];
    return part.memType == 0 && part.sector != 0 ? part.sector : 64;
}
} // namespace

void AV7300PartHeader(std::uint32_t flashPart, std::uint8_t header[3])
{
    header[0] = header[1] = header[2] = 0;
    if (flashPart >= CAV7300CommonHelper::kPartRows)
        return;
    const SAV7300FlashPart& part = CAV7300CommonHelper::kFlashParts[flashPart];
    const std::uint8_t pageCode = part.page == 1 ? 0 : Code(part.page, 4, 1, 7);
    header[0] = static_cast<std::uint8_t>(Code(part.size, 128, 1, 11) | pageCode << 4);
    if (part.memType == 0)
    {
        header[1] = static_cast<std::uint8_t>(Code(part.sector, 128, 1, 10) | (part.addressInfo & 0x0F) << 4);
    }
    else
    {
        const std::uint32_t a = part.addressInfo;
        const std::uint8_t k = (a == 1 || a == 2 || a == 4) ? 1 : (a == 3 || a == 5 || a == 6) ? 2 : a == 7 ? 3 : 0;
        header[1] = static_cast<std::uint8_t>(((a * 2) & 0x0F) | k << 4 | (part.sector != 0 ? 0x80 : 0));
    }
    header[2] = static_cast<std::uint8_t>(0xFF - header[0] - header[1]);
}

std::vector<std::uint8_t> BuildAV7300Image(const SAV7300ImageSpec& spec)
{
    if (spec.flashPart == 0 || spec.flashPart >= CAV7300CommonHelper::kPartRows || spec.bootloaderSize > 0xFFFF)
        return {};
    const std::uint32_t flashSize = CAV7300CommonHelper::kFlashParts[spec.flashPart].size;
    const std::uint32_t sector = SectorOf(spec.flashPart);
    std::vector<std::uint8_t> image(5, 0);
    AV7300PartHeader(spec.flashPart, image.data());
    image[3] = static_cast<std::uint8_t>(spec.bootloaderSize);
    image[4] = static_cast<std::uint8_t>(spec.bootloaderSize >> 8);
    for (std::uint32_t i = 0; i < spec.bootloaderSize; ++i)
        image.push_back(static_cast<std::uint8_t>(0xB0 + i * 7));
    const std::vector<SFile> files = Files(spec);
    for (std::size_t f = 0; f < files.size(); ++f)
    {
        const SFile& file = files[f];
        if (file.content.size() > 0xFFFF)
            return {};
        const std::uint8_t b0 = static_cast<std::uint8_t>(file.id | (file.aligned ? 0x80 : 0));
        const std::uint8_t b1 = static_cast<std::uint8_t>(file.content.size());
        const std::uint8_t b2 = static_cast<std::uint8_t>(file.content.size() >> 8);
        image.push_back(b0);
        image.push_back(b1);
        image.push_back(b2);
        image.push_back(static_cast<std::uint8_t>(0xFF - b0 - b1 - b2));
        image.insert(image.end(), file.content.begin(), file.content.end());
        // Alignment pads with erased bytes up to the next sector, unless
        // nothing follows.
        if (file.aligned && f + 1 < files.size())
            while (image.size() % sector != 0)
                image.push_back(0xFF);
    }
    if (image.size() > flashSize)
        return {};
    return image;
}

std::uint32_t AV7300FileOffset(const SAV7300ImageSpec& spec, std::uint32_t fileId)
{
    const std::vector<std::uint8_t> image = BuildAV7300Image(spec);
    if (image.empty())
        return 0xFFFFFFFFu;
    const std::uint32_t sector = SectorOf(spec.flashPart);
    std::size_t at = 5 + spec.bootloaderSize;
    while (at + 4 <= image.size())
    {
        const std::uint32_t id = image[at] & 0x7F;
        const bool aligned = (image[at] & 0x80) != 0;
        const std::uint32_t size = image[at + 1] | image[at + 2] << 8;
        if (id == fileId)
            return static_cast<std::uint32_t>(at);
        at += 4 + size;
        if (aligned)
            at = (at + sector - 1) / sector * sector;
    }
    return 0xFFFFFFFFu;
}

std::string AV7300TextImage(const std::vector<std::uint8_t>& image, bool crlf)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(image.size() * (crlf ? 4 : 3));
    for (std::uint8_t b : image)
    {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0F]);
        if (crlf)
            text.push_back('\r');
        text.push_back('\n');
    }
    return text;
}
