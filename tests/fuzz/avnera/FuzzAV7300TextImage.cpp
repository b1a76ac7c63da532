// The AV7300 text image converter on any text: the first byte chooses the
// flash part (0: the part the image names), the rest is the file. No read
// outside the text; an accepted image carries the part's header, one byte
// per line, and holds up as a whole (size, chain). The whole-image check
// and the part an image names also run on the raw bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "avnera/AV7300CommonHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 65536)
        return 0;
    const std::uint32_t part = data[0] % (CAV7300CommonHelper::kPartRows + 1);
    // An exact-size copy, so ASan sees any read past the text.
    const std::vector<std::uint8_t> text(data + 1, data + size);
    // The raw bytes as an image.
    const auto rawSize = static_cast<std::uint32_t>(text.size());
    const std::uint32_t named = CAV7300CommonHelper::PartOfImage(text.data(), rawSize);
    std::uint8_t header[3];
    CAV7300CommonHelper::ExpectedHeader(named, header);
    if (named != 0 && std::memcmp(header, text.data(), 3) != 0)
        __builtin_trap();
    std::uint32_t chainEnd = 0;
    std::string problem;
    CAV7300CommonHelper::ExpectedHeader(part, header);
    if (CAV7300CommonHelper::CheckImage(part, text.data(), rawSize, &chainEnd, &problem) &&
        (part == 0 || std::memcmp(header, text.data(), 3) != 0 ||
         rawSize > CAV7300CommonHelper::kFlashParts[part].size || chainEnd < CAV7300CommonHelper::kImageHeaderSize))
        __builtin_trap();
    CAV7300CommonHelper helper(part, nullptr, nullptr);
    std::uint32_t imageSize = 0;
    std::uint8_t* image = nullptr;
    const HResult hr =
        helper.PrepareFirmwareImage(static_cast<std::uint32_t>(text.size()), text.data(), &imageSize, &image);
    if (hr != HR_OK)
    {
        if (image != nullptr || imageSize != 0 || (hr != HR_INVALIDARG && hr != HR_OUTOFMEMORY))
            __builtin_trap();
        return 0;
    }
    std::uint8_t expected[3];
    const std::uint32_t checked = helper.ImagePart();
    CAV7300CommonHelper::ExpectedHeader(checked, expected);
    if (image == nullptr || imageSize < CAV7300CommonHelper::kImageHeaderSize || checked == 0 ||
        (part != 0 && checked != part) || std::memcmp(image, expected, 3) != 0 ||
        imageSize > text.size() / 2 + 1 ||
        imageSize > CAV7300CommonHelper::kFlashParts[checked].size ||
        !CAV7300CommonHelper::CheckImage(checked, image, imageSize, nullptr, nullptr))
        __builtin_trap();
    delete[] image;
    return 0;
}
