// The AV7300 file-chain walks on any image: in a buffer (no read outside it)
// and in a device's flash through the read callback (never asked for bytes
// outside the flash its header describes; erased beyond the input); a found
// file's content and version text never read past the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "avnera/AV7300CommonHelper.h"

namespace
{
struct SFlash
{
    const std::vector<std::uint8_t>* bytes;
    std::uint32_t flashSize;
};

bool Read(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination, void* context)
{
    const auto* flash = static_cast<const SFlash*>(context);
    if (offset > flash->flashSize || flash->flashSize - offset < length)
        __builtin_trap();
    for (std::uint32_t i = 0; i < length; ++i)
    {
        const std::size_t at = static_cast<std::size_t>(offset) + i;
        destination[i] = at < flash->bytes->size() ? (*flash->bytes)[at] : 0xFF;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1 || size > 1 << 20)
        return 0;
    const std::uint32_t wanted = data[0] & 0x7F;
    // An exact-size copy, so ASan sees any read past the image.
    const std::vector<std::uint8_t> image(data + 1, data + size);
    const auto imageSize = static_cast<std::uint32_t>(image.size());

    for (std::uint32_t id : {wanted, 5u, 12u, 16u})
    {
        std::uint32_t offset = 0x12345678;
        if (CAV7300CommonHelper::FindFileInFWImage(id, &offset, imageSize, image.data()))
        {
            if (id == 0 || offset < CAV7300CommonHelper::kImageHeaderSize || offset > imageSize - 4 ||
                (image[offset] & 0x7F) != id)
                __builtin_trap();
            const std::uint8_t* content = nullptr;
            std::uint32_t contentSize = 0;
            if (CAV7300CommonHelper::FileContentInFWImage(offset, imageSize, image.data(), &content, &contentSize))
            {
                std::string version;
                CAV7300CommonHelper::VersionFileMinor(content, contentSize);
                CAV7300CommonHelper::VersionFileString(content, contentSize, &version);
            }
        }
    }

    if (image.size() < CAV7300CommonHelper::kImageHeaderSize)
        return 0;
    SFlash flash{&image, CAV7300CommonHelper::DecodeImageHeader(image.data()).flashSize};
    if (flash.flashSize < CAV7300CommonHelper::kImageHeaderSize)
        return 0;
    CAV7300CommonHelper helper(31, &Read, &flash);
    for (std::uint32_t id : {wanted, 12u})
    {
        std::uint32_t offset = 0x12345678;
        const bool found = helper.FindFileInDeviceFWImage(id, &offset);
        if (found && (offset > flash.flashSize - 4))
            __builtin_trap();
        if (!found && offset != CAV7300CommonHelper::kNoFreeSector && offset >= flash.flashSize)
            __builtin_trap();
    }
    return 0;
}
