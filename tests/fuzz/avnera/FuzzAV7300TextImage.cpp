// The AV7300 text image converter on any text: the first byte chooses the
// flash part, the rest is the file. No read outside the text; an accepted
// image carries the part's header and one byte per line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "avnera/AV7300CommonHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 65536)
        return 0;
    const std::uint32_t part = data[0] % (CAV7300CommonHelper::kPartRows + 1);
    // An exact-size copy, so ASan sees any read past the text.
    const std::vector<std::uint8_t> text(data + 1, data + size);
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
    CAV7300CommonHelper::ExpectedHeader(part, expected);
    if (image == nullptr || imageSize < CAV7300CommonHelper::kImageHeaderSize ||
        std::memcmp(image, expected, 3) != 0 || imageSize > text.size() / 2 + 1)
        __builtin_trap();
    delete[] image;
    return 0;
}
