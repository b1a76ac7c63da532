// The AV7201 (.rcf) and AV6201 (one byte per line) text image converters on
// any text, and the AV7201 file-chain walk and firmware-information decoding
// on what they give: no read outside the text or the image; an accepted
// image is one byte per line or per four characters (plus a last short one).
// The whole-image checks of both families run on both too: an image they
// accept fits the memory and its file chain lies inside it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "avnera/AvneraImageFiles.h"

namespace
{
void CheckWhole(const std::uint8_t* image, std::uint32_t size, std::uint32_t memory)
{
    std::string problem;
    if (avnera::CheckAV7201Image(image, size, memory, &problem))
    {
        if (size > memory || size < avnera::kAV7201FirstFileOffset)
            __builtin_trap();
        // Every file the header counts lies inside the image.
        std::uint32_t offset = avnera::kAV7201FirstFileOffset;
        for (std::uint32_t file = 0; file < image[avnera::kAV7201ImageHeaderOffset + 1]; ++file)
        {
            const std::uint32_t length = static_cast<std::uint32_t>(image[offset] | image[offset + 1] << 8);
            if (length < 4 || length > size - offset)
                __builtin_trap();
            offset += length;
        }
    }
    const std::uint8_t header[3] = {0x58, 0x00, 0xA7};
    if (avnera::CheckAV62xxImage(image, size, memory, header, &problem) && (size > memory || size < 3))
        __builtin_trap();
}

void WalkImage(const std::uint8_t* image, std::uint32_t size, std::uint8_t type, std::uint32_t index)
{
    const std::uint8_t* content = nullptr;
    std::uint32_t contentSize = 0;
    if (!avnera::FindAV7201FileInImage(type, index, size, image, &content, &contentSize))
        return;
    if (content < image || content + contentSize > image + size)
        __builtin_trap();
    avnera::SAV7201FirmwareInfo info;
    if (avnera::DecodeAV7201FirmwareInfo(content, contentSize, &info))
        (void)avnera::FormatAV7201Version(info);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 1 << 18)
        return 0;
    const bool rcf = (data[0] & 1) != 0;
    const std::uint8_t type = (data[0] & 2) != 0 ? 0x80 : data[1];
    // An exact-size copy, so ASan sees any read past the text.
    const std::vector<std::uint8_t> text(data + 1, data + size);
    std::uint32_t imageSize = 0;
    std::uint8_t* image = nullptr;
    const auto rawSize = static_cast<std::uint32_t>(text.size());
    const HResult hr = rcf ? avnera::ConvertRcfImage(rawSize, text.data(), &imageSize, &image)
                           : avnera::ConvertLineImage(rawSize, text.data(), &imageSize, &image);
    if (hr != HR_OK)
    {
        if (image != nullptr || imageSize != 0 || (hr != HR_INVALIDARG && hr != HR_OUTOFMEMORY))
            __builtin_trap();
    }
    else
    {
        if (image == nullptr || imageSize == 0 || (rcf ? imageSize > rawSize / 4 + 1 : imageSize > rawSize / 2 + 1))
            __builtin_trap();
        // Exact-size again for the walk.
        const std::vector<std::uint8_t> bytes(image, image + imageSize);
        delete[] image;
        WalkImage(bytes.data(), static_cast<std::uint32_t>(bytes.size()), type, data[0] >> 6);
        CheckWhole(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 2048u << (data[0] >> 6));
    }
    // The raw bytes as an EEPROM image too.
    WalkImage(text.data(), rawSize, type, data[0] >> 6);
    CheckWhole(text.data(), rawSize, 2048u << (data[0] >> 6));
    return 0;
}
